// PreRecordBuffer: the last seconds of one channel's records, held in memory while the
// channel waits for a trigger, so that the moments before an alarm can be written once it
// comes. Intake builds each record in place here, exactly as it would in a frame ring, and
// when a trigger arrives hands the kept records, oldest first, to the rings.
//
// Records are kept in groups: a group starts with a video key frame (or with a frame that
// continues a group already on disk) and holds the frames and audio that follow it, so the
// oldest kept record always decodes. Memory is bounded by the limit given at construction:
// the bytes are one contiguous ring, grown on demand up to the limit, and when a record does
// not fit, whole groups go from the oldest end first. Not thread-safe: intake holds the
// channel's lock around every call.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

class PreRecordBuffer {
 public:
  // What intake needs to know again when the record is written.
  struct Tag {
    bool audioRing = false;    // goes to the audio ring (else the video ring)
    bool takesReason = false;  // its reason byte becomes the triggering frame's
  };
  struct Kept {
    const uint8_t* record;
    uint32_t size;
    Tag tag;
  };

  explicit PreRecordBuffer(uint32_t byteLimit) : limit_(byteLimit) {}
  PreRecordBuffer(const PreRecordBuffer&) = delete;
  PreRecordBuffer& operator=(const PreRecordBuffer&) = delete;

  // Room for a record of `size` bytes at `time` (seconds), to be filled by the caller before
  // the next call. `startsGroup` opens a new group; any other record joins the newest group.
  // Null when the record is not kept: it joins no group (none is open), or it is larger than
  // the limit, or its group alone would pass the limit (the group is dropped then, and so
  // are its later records until the next group starts).
  uint8_t* Append(uint32_t size, int64_t time, bool startsGroup, Tag tag);
  // Drops the oldest groups that the newest `seconds` at `now` do not need: a group goes
  // when the next one starts at or before now - seconds. 0 seconds keeps nothing.
  void Trim(int64_t now, int32_t seconds);
  // Hands every kept record to `take`, oldest first, and forgets them; `take` returns false
  // to stop (the rest is dropped).
  template <typename Take>
  void Drain(Take take) {
    for (const Item& item : items_) {
      if (!take(Kept{bytes_.get() + item.offset, item.size, item.tag})) break;
    }
    Clear();
  }
  // Forgets every record; with `release` the memory goes back too.
  void Clear(bool release = false);

  bool empty() const { return items_.empty(); }
  size_t records() const { return items_.size(); }
  uint64_t bytesKept() const { return used_; }
  uint32_t capacity() const { return capacity_; }
  // Time of the oldest kept record; the caller checks empty() first.
  int64_t oldestTime() const { return items_.front().time; }

 private:
  struct Item {
    uint32_t offset;
    uint32_t size;
    int64_t time;
    Tag tag;
  };
  // Where a record of `size` bytes goes without moving anything, or -1 when it does not fit.
  int64_t PlaceFor(uint32_t size) const;
  // Makes the ring bigger (up to the limit) so that `size` more bytes fit; false at the limit.
  bool Grow(uint32_t size);
  void DropOldestGroup();

  struct Group {
    int64_t time;  // of its first record
    size_t records;
  };

  const uint32_t limit_;
  std::unique_ptr<uint8_t[]> bytes_;
  uint32_t capacity_ = 0;
  std::deque<Item> items_;
  std::deque<Group> groups_;
  uint64_t used_ = 0;
  bool open_ = false;  // records may join the newest group
};
