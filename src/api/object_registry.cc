#include "api/object_registry.h"

#include <algorithm>

#include "platform/clock.h"

namespace {

// Handles are serial << 1 | kind; the serial's low bits pick the slot.
constexpr uintptr_t kSlotMask = CObjectRegistry::kSlotCount - 1;
static_assert((CObjectRegistry::kSlotCount & kSlotMask) == 0, "slot count is a power of two");
// The largest serial that still fits a handle with the kind bit beside it.
constexpr uintptr_t kLastSerial = UINTPTR_MAX >> 1;

}  // namespace

CObjectRegistry::CObjectRegistry(uint32_t kind) : kind_(kind & 1u) {}

CObjectRegistry::~CObjectRegistry() = default;

const CObjectRegistry::Slot* CObjectRegistry::SlotOf(uintptr_t handle) const {
  if (handle == 0 || (handle & 1u) != kind_) return nullptr;
  return &slots_[(handle >> 1) & kSlotMask];
}

CObjectRegistry::Slot* CObjectRegistry::SlotOf(uintptr_t handle) {
  return const_cast<Slot*>(static_cast<const CObjectRegistry*>(this)->SlotOf(handle));
}

uintptr_t CObjectRegistry::Reserve() {
  platform::MutexLock hold(&lock);
  // The next serial whose slot is free. Serials only grow, so a handle is never handed out
  // again (a 32-bit process would have to create two thousand million objects first).
  for (uint32_t tried = 0; tried < kSlotCount; ++tried) {
    const uintptr_t serial = nextSerial;
    nextSerial = serial == kLastSerial ? 1 : serial + 1;
    const uintptr_t slot = serial & kSlotMask;
    if (inUse[slot]) continue;
    inUse[slot] = true;
    return serial << 1 | kind_;
  }
  return 0;
}

void CObjectRegistry::Publish(uintptr_t handle, void* object) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr || object == nullptr) return;
  platform::MutexLock hold(&lock);
  slot->object.store(object, std::memory_order_relaxed);
  // Sequentially consistent, like every store and load of `handle` and `calls`: an Enter
  // that counts itself in and then sees the handle is seen by a Remove's WaitForCalls.
  slot->handle.store(handle);
  ++count;
}

void* CObjectRegistry::Remove(uintptr_t handle) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr) return nullptr;
  platform::MutexLock hold(&lock);
  if (slot->handle.load() != handle) return nullptr;
  slot->removed.store(handle);
  slot->handle.store(0);
  --count;
  return slot->object.load(std::memory_order_relaxed);
}

void CObjectRegistry::WaitForCalls(uintptr_t handle) const {
  const Slot* slot = SlotOf(handle);
  if (slot == nullptr) return;
  // Calls inside an object are short or bounded (the longest wait a frame export makes is
  // the slot wait); a 1 ms nap keeps this from spinning a core meanwhile.
  while (slot->calls.load() != 0) platform::SleepMs(1);
}

void CObjectRegistry::Release(uintptr_t handle) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr) return;
  platform::MutexLock hold(&lock);
  if (slot->handle.load() == handle) return;  // still live: Remove comes first
  slot->removed.store(0);
  slot->destroy.store(nullptr);
  slot->claimed.store(false);
  slot->object.store(nullptr, std::memory_order_relaxed);
  inUse[(handle >> 1) & kSlotMask] = false;
}

void CObjectRegistry::DestroyWhenIdle(uintptr_t handle, void (*destroy)(void*)) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr || destroy == nullptr || slot->removed.load() != handle) return;
  slot->destroy.store(destroy);
  DestroyIfIdle(slot);
}

void CObjectRegistry::DestroyIfIdle(Slot* slot) {
  // Sequentially consistent: a leaving call that finds no destroyer set yet was seen here as
  // a call inside, and the one that finds it set claims the slot, or this does.
  if (slot->destroy.load() == nullptr || slot->calls.load() != 0) return;
  if (slot->claimed.exchange(true)) return;
  const uintptr_t handle = slot->removed.load();
  slot->destroy.load()(slot->object.load(std::memory_order_relaxed));
  Release(handle);
}

void CObjectRegistry::LeaveSlot(Slot* slot) {
  if (slot->calls.fetch_sub(1) == 1) DestroyIfIdle(slot);
}

void* CObjectRegistry::PeekRemoved(uintptr_t handle) const {
  const Slot* slot = SlotOf(handle);
  if (slot == nullptr || slot->removed.load() != handle) return nullptr;
  return slot->object.load(std::memory_order_relaxed);
}

int32_t CObjectRegistry::GetCount() {
  platform::MutexLock hold(&lock);
  return count;
}

std::vector<std::pair<uintptr_t, void*>> CObjectRegistry::Entries() {
  std::vector<std::pair<uintptr_t, void*>> entries;
  {
    platform::MutexLock hold(&lock);
    for (const Slot& slot : slots_) {
      const uintptr_t handle = slot.handle.load();
      if (handle != 0) entries.emplace_back(handle, slot.object.load(std::memory_order_relaxed));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

void* CObjectRegistry::Enter(uintptr_t handle) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr) return nullptr;
  slot->calls.fetch_add(1);
  if (slot->handle.load() != handle) {
    LeaveSlot(slot);
    return nullptr;
  }
  return slot->object.load(std::memory_order_relaxed);
}

void CObjectRegistry::Leave(uintptr_t handle) {
  Slot* slot = SlotOf(handle);
  if (slot != nullptr) LeaveSlot(slot);
}

void* CObjectRegistry::Peek(uintptr_t handle) const {
  const Slot* slot = SlotOf(handle);
  if (slot == nullptr || slot->handle.load() != handle) return nullptr;
  return slot->object.load(std::memory_order_relaxed);
}
