#include "recording/prerecord_buffer.h"

#include <algorithm>
#include <cstring>

namespace {

// The first allocation; the ring grows by half of itself at a time after that, so a channel
// pays for little more than what its rate and the kept seconds need.
constexpr uint32_t kInitialCapacity = 256 * 1024;

}  // namespace

int64_t PreRecordBuffer::PlaceFor(uint32_t size) const {
  if (items_.empty()) return size <= capacity_ ? 0 : -1;
  const int64_t head = items_.front().offset;
  const int64_t tail = int64_t{items_.back().offset} + items_.back().size;
  if (head < tail) {
    if (capacity_ - tail >= size) return tail;
    return size <= head ? 0 : -1;  // the end is too short: the record goes to the start
  }
  return head - tail >= size ? tail : -1;
}

bool PreRecordBuffer::Grow(uint32_t size) {
  if (capacity_ >= limit_) return false;
  const uint64_t wanted =
      std::max({uint64_t{capacity_} + capacity_ / 2, used_ + size, uint64_t{kInitialCapacity}});
  const auto grown = static_cast<uint32_t>(std::min<uint64_t>(wanted, limit_));
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[grown]);
  // The kept records move to the start of the new ring, in order.
  uint32_t offset = 0;
  for (Item& item : items_) {
    std::memcpy(bytes.get() + offset, bytes_.get() + item.offset, item.size);
    item.offset = offset;
    offset += item.size;
  }
  bytes_ = std::move(bytes);
  capacity_ = grown;
  return true;
}

void PreRecordBuffer::DropOldestGroup() {
  if (groups_.empty()) return;
  for (size_t n = groups_.front().records; n > 0 && !items_.empty(); --n) {
    used_ -= items_.front().size;
    items_.pop_front();
  }
  groups_.pop_front();
  if (groups_.empty()) open_ = false;
}

uint8_t* PreRecordBuffer::Append(uint32_t size, int64_t time, bool startsGroup, Tag tag) {
  if (!startsGroup && !open_) return nullptr;
  if (size > limit_) {
    // A missing record breaks its group: what follows it would not decode.
    open_ = false;
    return nullptr;
  }
  int64_t place = PlaceFor(size);
  while (place < 0) {
    if (!Grow(size)) {
      // At the limit: the oldest group goes, but never the one this record joins.
      if (groups_.size() <= (startsGroup ? 0u : 1u)) {
        Clear();
        return nullptr;
      }
      DropOldestGroup();
    }
    place = PlaceFor(size);
  }
  items_.push_back(Item{static_cast<uint32_t>(place), size, time, tag});
  used_ += size;
  if (startsGroup) {
    groups_.push_back(Group{time, 1});
    open_ = true;
  } else {
    groups_.back().records += 1;
  }
  return bytes_.get() + place;
}

void PreRecordBuffer::Trim(int64_t now, int32_t seconds) {
  if (seconds <= 0) {
    Clear();
    return;
  }
  // The newest group that starts at or before now - seconds is the first one needed.
  while (groups_.size() >= 2 && groups_[1].time <= now - seconds) DropOldestGroup();
}

void PreRecordBuffer::Clear(bool release) {
  items_.clear();
  groups_.clear();
  used_ = 0;
  open_ = false;
  if (release) {
    bytes_.reset();
    capacity_ = 0;
  }
}
