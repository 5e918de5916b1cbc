// Temporary file mappings used by the catalogue: a file <tmpdir>/fmap%09d.tmp (tmpdir =
// TMPDIR or /tmp) created exclusively with mode 0600, its space reserved up front so that a
// full directory fails the creation instead of faulting later, mapped shared. Closing
// unmaps, closes and deletes it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class TempMapping {
 public:
  // Creates a mapping of `size` bytes (at least 1), zero-filled. Null on failure.
  static std::unique_ptr<TempMapping> Create(uint64_t size);
  ~TempMapping();  // Close()
  TempMapping(const TempMapping&) = delete;
  TempMapping& operator=(const TempMapping&) = delete;

  uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  void Close();

 private:
  TempMapping() = default;
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  int fd_ = -1;
  std::string path_;
};

// The temporary directory with a trailing '/'.
std::string TempDirectory();

}  // namespace platform
