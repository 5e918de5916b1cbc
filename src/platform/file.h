// Files of the recorder: data, index and header files, opened read-write with an optional
// write-through mode (O_DSYNC), flushed with fdatasync. Every open file holds a shared
// flock for as long as it is open, so the deletion worker (which needs an exclusive lock)
// never removes a file that is being recorded or played.
//
// Reads and writes name their offset (pread/pwrite): the descriptor has no position that a
// failed write would have to be moved back from, and two threads may use one file at
// different offsets. Operations that can fail return a Status that names the operation, the
// path and the errno.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace platform {

// A file's identity on its file system (device and inode numbers).
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  auto operator<=>(const FileId&) const = default;
};

class File {
 public:
  enum class Mode {
    kOpenExisting,  // fail when the file does not exist
    kOpenOrCreate,  // create an empty file when missing
  };
  // Opens `path` read-write. writeThrough adds O_DSYNC. Returns null on failure (errno set,
  // and `*status` when given). A file that was unlinked between open and lock counts as not
  // opened. Only a regular file is opened, never through a symbolic link as the last
  // component (ELOOP), and, for writing, only one with a single name (EMLINK).
  static std::unique_ptr<File> Open(const std::string& path, Mode mode, bool writeThrough,
                                    Status* status = nullptr);
  // Opens read-only (catalogue and reader side); still holds the shared lock.
  static std::unique_ptr<File> OpenReadOnly(const std::string& path, Status* status = nullptr);
  ~File();  // closes
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads exactly `count` bytes at `offset` into `buffer`. When the file ends first the
  // result IsEndOfFile(); `*got` (when given) is the number of bytes read in every case.
  // Interrupted and short calls are repeated.
  Status ReadAt(uint64_t offset, void* buffer, uint64_t count, uint64_t* got = nullptr) const;
  // Writes all `length` bytes of `data` at `offset`: interrupted calls are repeated, partial
  // writes continued, and a call that writes nothing of a non-empty rest fails (ENOSPC: it
  // would be repeated forever). A length of 0 is one write call of 0 bytes. After a failure
  // the bytes the system did write stay in the file.
  Status WriteAt(uint64_t offset, const void* data, uint64_t length);
  // fdatasync.
  Status Flush();
  // Sets the file's length (sparse extension or truncation).
  Status SetLength(int64_t length);
  // Reserves disk blocks for the first `length` bytes, growing the file to at least that
  // size (never shrinking it), so later writes there cannot fail for lack of space. Where the
  // file system cannot reserve, the file is extended sparsely instead. Fails (ENOSPC, say)
  // when the space is not there.
  Status Reserve(int64_t length);
  // Current size in bytes, or -1.
  int64_t Size() const;
  // Takes the writer lock of the file: an exclusive record lock of this open file description
  // (F_OFD_SETLK over the whole file), so a second writer, in this process or another, is
  // refused. It does not touch the shared flock that keeps the deletion worker away, nor
  // readers, who never ask for it. Held until the file is closed. false when another open of
  // the file holds it.
  bool LockForWriting();

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // true when Open made the file: its name is durable only once its directory is synced.
  bool created() const { return created_; }
  // Which file this is, whatever name it was opened by.
  const FileId& id() const { return id_; }

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
  bool created_ = false;
  FileId id_;
};

struct DirectoryEntry {
  std::string name;  // file name without directory
  bool isDirectory = false;
  bool isRegular = false;  // a regular file itself, not a link to one
  FileId id;
  int64_t lastWriteUtc = 0;  // seconds since 1970 (UTC), st_mtime
};

// Entries of `directory` whose names end exactly (case-sensitive) with `suffix` (empty =
// all), directories included and flagged. An unreadable or missing directory gives none.
std::vector<DirectoryEntry> FindFiles(const std::string& directory, const std::string& suffix);
// Last-write time of a path at the file system's full precision, in nanoseconds since 1970
// (UTC); false when it cannot be read.
bool LastWriteTimeNs(const std::string& path, int64_t* utcNanoseconds);
bool IsDirectory(const std::string& path);
// A regular file under that very name (a symbolic link to one is not).
bool IsRegularFile(const std::string& path);
// Whether the process may make `path` `size` bytes long: a file-size limit (RLIMIT_FSIZE)
// below it fails with EFBIG here, where writing past it would raise SIGXFSZ and kill the
// process.
Status CheckFileSizeLimit(const std::string& path, uint64_t size);
// Deletes a file only when nobody holds it open through File: takes an exclusive
// non-blocking flock first. Only a regular file with one name is deleted (a link, a FIFO or
// a hard-linked file never), and the deletion is made durable (its directory synced) before
// it counts. false when it is in use or cannot be deleted.
bool DeleteFileIfUnused(const std::string& path);
// Syncs the directory that holds `path`, so names created or removed there survive a power
// cut.
Status SyncDirectoryOf(const std::string& path);

}  // namespace platform
