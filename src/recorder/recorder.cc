#include "recorder/recorder.h"

#include "recording/file_closer.h"

CRecorder::CRecorder() = default;

CRecorder::~CRecorder() {
  // Recording stops first: the buffer is written out and the closer thread is signalled and
  // joined before any file closes. The same hold of writeLock keeps the writers from
  // rotating (and starting another closer) in between.
  EventLockHolder hold(writeLock);
  StopLocked();
  EndCloserThread();
}
