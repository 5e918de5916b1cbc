#include "api/event_lock.h"

CEventLock::CEventLock()
    : event(std::make_unique<platform::Event>(/*manualReset=*/false,
                                              /*initiallySignalled=*/true)) {}

CEventLock::~CEventLock() { event.reset(); }

int32_t CEventLock::Lock(uint32_t timeout) {
  event->Wait(timeout);
  return 1;
}

void CEventLock::Unlock() { event->Set(); }
