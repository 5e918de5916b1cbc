// CObjectRegistry: the lock-protected, ordered list of live handles of one kind (recorders or
// file searches). The exports add a handle when they create its object and remove it when
// they end it; the recorder name enumeration walks it in ascending handle order. It holds
// handles only: removing an entry never stops or destroys the object behind it.
#pragma once

#include <cstdint>
#include <map>

#include "api/event_lock.h"

class CObjectRegistry {
 public:
  CObjectRegistry() = default;
  virtual ~CObjectRegistry();
  CObjectRegistry(const CObjectRegistry&) = delete;
  CObjectRegistry& operator=(const CObjectRegistry&) = delete;

  // Inserts the key, or replaces its value when present.
  void Add(uintptr_t key, uintptr_t value);
  // Erases the key and returns its value; 0 when it was not present.
  uintptr_t Remove(uintptr_t key);
  int32_t GetCount();
  void RemoveAll();

  // The entries in ascending key order. The caller must make sure nothing changes the
  // registry meanwhile (the recorder enumeration holds the global recorder lock, under
  // which every change happens).
  const std::map<uintptr_t, uintptr_t>& EntriesUnlocked() const NO_THREAD_SAFETY_ANALYSIS {
    return entries;
  }

 private:
  CEventLock lock;
  std::map<uintptr_t, uintptr_t> entries GUARDED_BY(lock);
};
