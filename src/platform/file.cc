#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/syscalls.h"

namespace platform {
namespace {

using Sys = Syscalls;

// Largest offset a file can have (off_t is 64-bit on every target: _FILE_OFFSET_BITS=64).
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);

// Repeats a system call that a signal interrupted; every call here fails with -1.
template <typename Call>
auto RetryInterrupted(Call call) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc == -1 && errno == EINTR);
  return rc;
}

void CloseQuietly(int fd) {
  const int saved = errno;
  LoadSyscall (&Sys::close)(fd);
  errno = saved;
}

// Why an open descriptor cannot serve as a recorder file, or 0 when it can. It must be a
// regular file, made blocking again, and hold the shared lock that keeps the deletion worker
// away; a file that the deletion worker unlinked between our open and our lock has no name
// any more, and writing into it would lose the data, so it counts as not opened (ENOENT).
int RefusalOf(int fd) {
  struct stat st;
  if (LoadSyscall(&Sys::fstat)(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  const int flags = LoadSyscall(&Sys::fcntlFlags)(fd, F_GETFL, 0);
  if (flags == -1 || LoadSyscall(&Sys::fcntlFlags)(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return errno;
  }
  if (RetryInterrupted([fd] { return LoadSyscall(&Sys::flock)(fd, LOCK_SH); }) != 0) return errno;
  if (LoadSyscall(&Sys::fstat)(fd, &st) != 0) return errno;
  return st.st_nlink == 0 ? ENOENT : 0;
}

// Opens `path` with the shared lock taken; -1 with errno set (and `*status`) on failure.
int OpenLocked(const std::string& path, int flags, Status* status) {
  // Non-blocking, so a FIFO or a device named as a data or index file cannot hold the open
  // up; anything but a regular file is refused.
  const int fd = RetryInterrupted(
      [&] { return LoadSyscall(&Sys::open)(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644); });
  int error = fd < 0 ? errno : RefusalOf(fd);
  if (fd >= 0 && error != 0) CloseQuietly(fd);
  if (error == 0) return fd;
  if (status != nullptr) *status = Status::FromErrno("open", path, error);
  errno = error;
  return -1;
}

bool StatPath(const std::string& path, struct stat* st) {
  return !path.empty() && LoadSyscall(&Sys::stat)(path.c_str(), st) == 0;
}

// One read or write call moves at most SSIZE_MAX bytes (2 GiB on a 32-bit target); a larger
// count becomes a short transfer instead of being cut to its low 32 bits.
size_t OneCallCount(uint64_t count) {
  return static_cast<size_t>(std::min<uint64_t>(count, static_cast<uint64_t>(SSIZE_MAX)));
}

bool RangeFits(uint64_t offset, uint64_t count) {
  return offset <= kMaxOffset && count <= kMaxOffset - offset;
}

}  // namespace

std::unique_ptr<File> File::Open(const std::string& path, Mode mode, bool writeThrough,
                                 Status* status) {
  int flags = O_RDWR;
  if (mode == Mode::kOpenOrCreate) flags |= O_CREAT;
  if (writeThrough) flags |= O_DSYNC;
  const int fd = OpenLocked(path, flags, status);
  if (fd < 0) return nullptr;
  return std::unique_ptr<File>(new File(fd, path));
}

std::unique_ptr<File> File::OpenReadOnly(const std::string& path, Status* status) {
  const int fd = OpenLocked(path, O_RDONLY, status);
  if (fd < 0) return nullptr;
  return std::unique_ptr<File>(new File(fd, path));
}

File::~File() {
  if (fd_ >= 0) LoadSyscall (&Sys::close)(fd_);  // also drops the shared lock
}

Status File::ReadAt(uint64_t offset, void* buffer, uint64_t count, uint64_t* got) const {
  if (got != nullptr) *got = 0;
  if ((buffer == nullptr && count != 0) || !RangeFits(offset, count)) {
    return Status::FromErrno("read", path_, EINVAL);
  }
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  Status status;
  // A regular file gives all it has in one call; the loop covers calls cut short anyway.
  while (done < count) {
    const ssize_t n = RetryInterrupted([&] {
      return LoadSyscall(&Sys::pread)(fd_, out + done, OneCallCount(count - done),
                                      static_cast<off_t>(offset + done));
    });
    if (n < 0) {
      status = Status::FromErrno("read", path_, errno);
      break;
    }
    if (n == 0) {
      status = Status::EndOfFile("read", path_);
      break;
    }
    done += std::min(static_cast<uint64_t>(n), count - done);
  }
  if (got != nullptr) *got = done;
  return status;
}

Status File::WriteAt(uint64_t offset, const void* data, uint64_t length) {
  if ((data == nullptr && length != 0) || !RangeFits(offset, length)) {
    return Status::FromErrno("write", path_, data == nullptr ? EINVAL : EFBIG);
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t done = 0;
  do {
    const uint64_t rest = length - done;
    const ssize_t n = RetryInterrupted([&] {
      return LoadSyscall(&Sys::pwrite)(fd_, bytes + done, OneCallCount(rest),
                                       static_cast<off_t>(offset + done));
    });
    if (n < 0) return Status::FromErrno("write", path_, errno);
    // Nothing written of a non-empty rest: repeating the call would spin for ever, and a
    // file system that answers so has no room.
    if (n == 0 && rest != 0) return Status::FromErrno("write", path_, ENOSPC);
    done += std::min(static_cast<uint64_t>(n), rest);
  } while (done < length);
  return Status();
}

Status File::Flush() {
  if (RetryInterrupted([this] { return LoadSyscall(&Sys::fsync)(fd_); }) != 0) {
    return Status::FromErrno("flush", path_, errno);
  }
  return Status();
}

Status File::SetLength(int64_t length) {
  if (length < 0) return Status::FromErrno("truncate", path_, EINVAL);
  if (RetryInterrupted(
          [&] { return LoadSyscall(&Sys::ftruncate)(fd_, static_cast<off_t>(length)); }) != 0) {
    return Status::FromErrno("truncate", path_, errno);
  }
  return Status();
}

Status File::Reserve(int64_t length) {
  if (length < 0) return Status::FromErrno("reserve", path_, EINVAL);
  if (length == 0) return Status();
  if (RetryInterrupted([&] {
        return LoadSyscall(&Sys::fallocate)(fd_, 0, 0, static_cast<off_t>(length));
      }) == 0) {
    return Status();
  }
  if (errno != EOPNOTSUPP && errno != ENOSYS) return Status::FromErrno("reserve", path_, errno);
  // No reservation here: a sparse extension reads back as zeros all the same.
  if (Size() >= length) return Status();
  return SetLength(length);
}

int64_t File::Size() const {
  struct stat st;
  if (LoadSyscall(&Sys::fstat)(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File::LockForWriting() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  return RetryInterrupted([&] { return LoadSyscall(&Sys::fcntlLock)(fd_, F_OFD_SETLK, &lock); }) ==
         0;
}

std::vector<DirectoryEntry> FindFiles(const std::string& directory, const std::string& suffix) {
  std::vector<DirectoryEntry> entries;
  DIR* dir = LoadSyscall(&Sys::opendir)(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return entries;
  const int dirFd = ::dirfd(dir);  // no system call: the descriptor the stream holds
  while (const struct dirent* ent = LoadSyscall(&Sys::readdir)(dir)) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    if (name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    struct stat st;
    if (LoadSyscall(&Sys::fstatat)(dirFd, ent->d_name, &st, 0) != 0) continue;  // vanished
    DirectoryEntry entry;
    entry.name = name;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.lastWriteUtc = static_cast<int64_t>(st.st_mtime);
    entries.push_back(std::move(entry));
  }
  LoadSyscall (&Sys::closedir)(dir);
  // Directory order is arbitrary on Linux; sorted names make scans repeatable.
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return entries;
}

bool LastWriteTimeNs(const std::string& path, int64_t* utcNanoseconds) {
  struct stat st;
  if (!StatPath(path, &st)) return false;
  if (utcNanoseconds != nullptr) {
    *utcNanoseconds = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return StatPath(path, &st) && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return StatPath(path, &st) && S_ISREG(st.st_mode);
}

Status CheckFileSizeLimit(const std::string& path, uint64_t size) {
  struct rlimit limit {};
  if (LoadSyscall(&Sys::getrlimit)(RLIMIT_FSIZE, &limit) != 0) {
    return Status::FromErrno("getrlimit", path, errno);
  }
  if (limit.rlim_cur != RLIM_INFINITY && static_cast<uint64_t>(limit.rlim_cur) < size) {
    return Status::FromErrno("reserve", path, EFBIG);
  }
  return Status();
}

bool DeleteFileIfUnused(const std::string& path) {
  if (path.empty()) return false;
  const int fd = RetryInterrupted(
      [&] { return LoadSyscall(&Sys::open)(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0); });
  if (fd < 0) return false;
  // Every File holds a shared lock while open, so an exclusive one means nobody uses it.
  if (RetryInterrupted([fd] { return LoadSyscall(&Sys::flock)(fd, LOCK_EX | LOCK_NB); }) != 0) {
    CloseQuietly(fd);
    return false;
  }
  const bool removed = LoadSyscall(&Sys::unlink)(path.c_str()) == 0;
  CloseQuietly(fd);
  return removed;
}

}  // namespace platform
