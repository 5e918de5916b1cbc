#include "platform/read_mapping.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "platform/syscalls.h"

namespace platform {

std::unique_ptr<ReadMapping> ReadMapping::Map(const File& file, uint64_t offset, uint64_t length) {
  const int64_t size = file.Size();
  if (size < 0) return nullptr;
  if (offset >= static_cast<uint64_t>(size) || length == 0) {
    errno = EINVAL;
    return nullptr;
  }
  length = std::min(length, static_cast<uint64_t>(size) - offset);
  const long page = ::sysconf(_SC_PAGESIZE);
  const uint64_t pageSize = page > 0 ? static_cast<uint64_t>(page) : 4096;
  const uint64_t mapOffset = offset / pageSize * pageSize;
  const uint64_t mapLength = length + (offset - mapOffset);
  if (mapLength > std::numeric_limits<size_t>::max() ||
      mapOffset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EOVERFLOW;
    return nullptr;
  }
  void* addr = LoadSyscall(&Syscalls::mmap)(nullptr, static_cast<size_t>(mapLength), PROT_READ,
                                            MAP_PRIVATE, file.fd(), static_cast<off_t>(mapOffset));
  if (addr == MAP_FAILED || addr == nullptr) return nullptr;
  std::unique_ptr<ReadMapping> mapping(new ReadMapping());
  mapping->base_ = static_cast<const uint8_t*>(addr);
  mapping->mapOffset_ = mapOffset;
  mapping->mapLength_ = mapLength;
  mapping->offset_ = offset;
  mapping->length_ = length;
  return mapping;
}

ReadMapping::~ReadMapping() {
  LoadSyscall (&Syscalls::munmap)(const_cast<uint8_t*>(base_), static_cast<size_t>(mapLength_));
}

}  // namespace platform
