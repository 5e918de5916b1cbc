#include "api/object_registry.h"

CObjectRegistry::~CObjectRegistry() { RemoveAll(); }

void CObjectRegistry::Add(uintptr_t key, uintptr_t value) {
  EventLockHolder hold(lock);
  entries[key] = value;
}

uintptr_t CObjectRegistry::Remove(uintptr_t key) {
  EventLockHolder hold(lock);
  auto it = entries.find(key);
  if (it == entries.end()) return 0;
  uintptr_t value = it->second;
  entries.erase(it);
  return value;
}

int32_t CObjectRegistry::GetCount() {
  EventLockHolder hold(lock);
  return static_cast<int32_t>(entries.size());
}

void CObjectRegistry::RemoveAll() {
  EventLockHolder hold(lock);
  entries.clear();
}
