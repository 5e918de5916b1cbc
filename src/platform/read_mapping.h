// A read-only view of a span of an open file, mapped through the syscall table: a reader
// that looks at a few bytes of many records (their heads) touches only those pages instead
// of copying every byte through a read buffer. The caller bounds the span, so a 32-bit
// process never maps more than that of a 200 MiB file at once. The span is cut to the
// file's size when it is mapped, so no page past the end of the file is ever touched.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/file.h"

namespace platform {

class ReadMapping {
 public:
  // Maps up to `length` bytes of `file` from `offset`, fewer when the file ends first. Null
  // when nothing can be mapped (an offset at or past the end, or the system refused; errno
  // set then).
  static std::unique_ptr<ReadMapping> Map(const File& file, uint64_t offset, uint64_t length);
  ~ReadMapping();
  ReadMapping(const ReadMapping&) = delete;
  ReadMapping& operator=(const ReadMapping&) = delete;

  // The file's bytes [offset(), offset() + length()).
  uint64_t offset() const { return offset_; }
  uint64_t length() const { return length_; }
  // The `n` bytes at file offset `at` when the view holds them all, else null.
  const uint8_t* Bytes(uint64_t at, uint64_t n) const {
    return at >= offset_ && n <= length_ && at - offset_ <= length_ - n
               ? base_ + (offset_ - mapOffset_) + (at - offset_)
               : nullptr;
  }

 private:
  ReadMapping() = default;
  const uint8_t* base_ = nullptr;  // the mapping, from mapOffset_ (a page boundary)
  uint64_t mapOffset_ = 0;
  uint64_t mapLength_ = 0;
  uint64_t offset_ = 0;
  uint64_t length_ = 0;
};

}  // namespace platform
