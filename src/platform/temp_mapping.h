// Temporary file mappings used by the catalogue: an unnamed file in the temporary directory
// (TMPDIR or /tmp), its space reserved up front so that a full directory fails the creation
// instead of faulting later, mapped shared. The file has no name while it is in use: it is
// made with O_TMPFILE where the file system supports it, otherwise created exclusively as
// <tmpdir>/fmap%09d.tmp (mode 0600) and unlinked at once. So a process that is killed leaves
// nothing behind, and no other process can open or replace the table under us. Closing
// unmaps and closes it, which frees its space.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class TempMapping {
 public:
  // Creates a mapping of `size` bytes (at least 1), zero-filled. Null on failure, with
  // errno set.
  static std::unique_ptr<TempMapping> Create(uint64_t size);
  ~TempMapping();  // Close()
  TempMapping(const TempMapping&) = delete;
  TempMapping& operator=(const TempMapping&) = delete;

  uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }
  void Close();

 private:
  TempMapping() = default;
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  int fd_ = -1;
};

// The temporary directory with a trailing '/'.
std::string TempDirectory();

}  // namespace platform
