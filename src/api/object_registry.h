// CObjectRegistry: the live objects of one kind (recorders or file searches) and the handles
// the host knows them by. A handle is an opaque pointer-sized value, never 0 and never handed
// out twice in the process: a serial number that only grows, with the slot that holds the
// object in its low bits and the kind in its lowest bit (so a recorder handle never names a
// file search). A stale or foreign handle therefore finds no object instead of a freed one.
//
// Every export that takes a handle enters the object through the registry (Enter/Leave, no
// lock: an atomic count of the calls inside the slot and an atomic load of the slot's
// handle), so the per-frame path never waits for a global lock. Ending an object is three
// steps: Remove (under the global lock: new calls are refused from here on and exactly one
// caller gets the object), WaitForCalls (no lock: the calls already inside return), then the
// caller destroys the object and gives the slot back with Release. A caller that must not
// wait (it may be what a call inside is waiting for: an END from an event callback, whose
// recorder's own call is inside the object ending) hands the object over with
// DestroyWhenIdle instead, and the last call to leave destroys it.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/mutex.h"

class CObjectRegistry {
 public:
  // Live objects of one kind the registry can hold at once.
  static constexpr uint32_t kSlotCount = 1024;

  // kind is 0 or 1 and becomes the lowest bit of every handle.
  explicit CObjectRegistry(uint32_t kind);
  virtual ~CObjectRegistry();
  CObjectRegistry(const CObjectRegistry&) = delete;
  CObjectRegistry& operator=(const CObjectRegistry&) = delete;

  // A new handle with a slot kept for it, not live yet (its object can be built knowing its
  // handle); 0 when every slot is in use. Publish makes it live; a reserved handle that is
  // never published goes back with Release.
  uintptr_t Reserve();
  void Publish(uintptr_t handle, void* object);
  // Takes a live handle out: calls that enter from now on are refused. Returns its object, or
  // null when the handle is not live (never was, already removed, of the other kind), so
  // exactly one caller gets an object for a handle.
  void* Remove(uintptr_t handle);
  // Waits until no call that entered with `handle` is still inside its object. Call it only
  // after Remove, and never from inside such a call.
  void WaitForCalls(uintptr_t handle) const;
  // The slot of a removed (or never published) handle becomes free for a later Reserve.
  void Release(uintptr_t handle);
  // After Remove, instead of WaitForCalls, the destruction and Release: `destroy` runs with
  // the object at once when no call is inside, else on the thread of the last call to leave.
  void DestroyWhenIdle(uintptr_t handle, void (*destroy)(void*));
  // The object of a handle that was removed and not yet released, for a thread that knows
  // the object is alive meanwhile (its destruction is under way on this thread); else null.
  void* PeekRemoved(uintptr_t handle) const;

  int32_t GetCount();
  // The live handles and their objects in ascending handle order. An object listed here stays
  // alive while the caller holds the global lock under which every Remove happens.
  std::vector<std::pair<uintptr_t, void*>> Entries();

  // Enters the object behind a live handle: the object, or null when the handle is not live.
  // A non-null result must be matched by Leave with the same handle; until then the object is
  // not destroyed. Lock-free.
  void* Enter(uintptr_t handle);
  void Leave(uintptr_t handle);
  // The object behind a live handle without entering it (tests, and comparisons that never
  // follow the pointer); null when the handle is not live.
  void* Peek(uintptr_t handle) const;

 private:
  struct alignas(64) Slot {
    std::atomic<uintptr_t> handle{0};  // the live handle, 0 when none
    std::atomic<void*> object{nullptr};
    std::atomic<int32_t> calls{0};      // calls inside (and callers briefly checking the slot)
    std::atomic<uintptr_t> removed{0};  // the handle Remove took out, until Release
    // Set by DestroyWhenIdle; the destroyer is whoever claims the slot first once it is idle.
    std::atomic<void (*)(void*)> destroy{nullptr};
    std::atomic<bool> claimed{false};
  };

  // One call leaves the slot (or an Enter backs out); the last to leave an orphaned object
  // destroys it.
  void LeaveSlot(Slot* slot);
  void DestroyIfIdle(Slot* slot);

  const Slot* SlotOf(uintptr_t handle) const;
  Slot* SlotOf(uintptr_t handle);

  const uintptr_t kind_;
  platform::Mutex lock;
  uintptr_t nextSerial GUARDED_BY(lock) = 1;
  int32_t count GUARDED_BY(lock) = 0;
  // Reserved or live, or removed and not yet released.
  bool inUse[kSlotCount] GUARDED_BY(lock) = {};
  Slot slots_[kSlotCount];
};
