// CRawFile: a data, index or header file as the catalogue, the frame reader and the
// scan of existing files read it: exact reads and 32-bit seeks over a platform::File. It
// either borrows a File that someone else closes, or owns one and closes it in Close() or
// on destruction. A CRawFile without a file (never opened, or closed) fails every call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"

class CRawFile {
 public:
  static constexpr uint32_t kBadPosition = 0xFFFFFFFFu;
  enum Origin : int { kBegin = 0, kCurrent = 1, kEnd = 2 };

  CRawFile() = default;
  // Borrows `file` (may be null): the caller keeps it open for this object's lifetime.
  explicit CRawFile(platform::File* file) : file_(file) {}
  // Takes `file` over (may be null).
  explicit CRawFile(std::unique_ptr<platform::File> file)
      : owned_(std::move(file)), file_(owned_.get()) {}
  virtual ~CRawFile() = default;
  CRawFile(const CRawFile&) = delete;
  CRawFile& operator=(const CRawFile&) = delete;

  // Opens `path` read-only (with the shared lock that keeps the deletion worker off it).
  // Null when the file cannot be opened.
  static std::unique_ptr<CRawFile> OpenForReading(const std::string& path);

  // 1 when exactly `count` bytes were read into `buffer`, else 0 (a short read at the end
  // of the file is a failure). The position moves by the bytes actually read.
  int32_t ReadExact(void* buffer, uint32_t count);
  // Moves the position by a signed 32-bit offset from origin 0 (start), 1 (current) or
  // 2 (end). Returns the new position, or kBadPosition when there is no file, the origin
  // is unknown or the move fails.
  uint32_t SeekTo(int32_t offset, int origin);
  // Whole-block write at the current position (WriteAll). 1 on success.
  int32_t Write(const void* data, uint32_t length);
  // Size of the file in bytes, or -1.
  int64_t GetLength() const;

  // Drops the file: an owned one is closed, a borrowed one is left to its owner.
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  platform::File* file() const { return file_; }

 private:
  std::unique_ptr<platform::File> owned_;
  platform::File* file_ = nullptr;
};
