#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/syscalls.h"

namespace platform {
namespace {

using Sys = Syscalls;

void CloseQuietly(int fd) {
  const int saved = errno;
  LoadSyscall (&Sys::close)(fd);
  errno = saved;
}

int LockWithRetry(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Opens `path` and takes the shared lock that keeps the deletion worker away. A file that
// the deletion worker unlinked between our open and our lock has no name any more: writing
// into it would lose the data, so it counts as not opened.
int OpenLocked(const std::string& path, int flags) {
  int fd;
  // Non-blocking, so a FIFO or a device named as a data or index file cannot hold the open
  // up; anything but a regular file is refused below.
  do {
    fd = LoadSyscall(&Sys::open)(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat kind;
  if (::fstat(fd, &kind) != 0 || !S_ISREG(kind.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    CloseQuietly(fd);
    errno = EINVAL;
    return -1;
  }
  if (LockWithRetry(fd, LOCK_SH) != 0) {
    CloseQuietly(fd);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    CloseQuietly(fd);
    return -1;
  }
  if (st.st_nlink == 0) {
    CloseQuietly(fd);
    errno = ENOENT;
    return -1;
  }
  return fd;
}

bool StatPath(const std::string& path, struct stat* st) {
  return !path.empty() && ::stat(path.c_str(), st) == 0;
}

// One read or write call moves at most SSIZE_MAX bytes (2 GiB on a 32-bit target); a larger
// count becomes a short transfer instead of being cut to its low 32 bits.
size_t OneCallCount(uint64_t count) {
  return static_cast<size_t>(std::min<uint64_t>(count, static_cast<uint64_t>(SSIZE_MAX)));
}

}  // namespace

std::unique_ptr<File> File::Open(const std::string& path, Mode mode, bool writeThrough) {
  int flags = O_RDWR;
  if (mode == Mode::kOpenOrCreate) flags |= O_CREAT;
  if (writeThrough) flags |= O_DSYNC;
  const int fd = OpenLocked(path, flags);
  if (fd < 0) return nullptr;
  return std::unique_ptr<File>(new File(fd, path));
}

std::unique_ptr<File> File::OpenReadOnly(const std::string& path) {
  const int fd = OpenLocked(path, O_RDONLY);
  if (fd < 0) return nullptr;
  return std::unique_ptr<File>(new File(fd, path));
}

File::~File() {
  if (fd_ >= 0) LoadSyscall (&Sys::close)(fd_);  // also drops the shared lock
}

int64_t File::Read(void* buffer, uint64_t count) {
  ssize_t got;
  do {
    got = LoadSyscall(&Sys::read)(fd_, buffer, OneCallCount(count));
  } while (got < 0 && errno == EINTR);
  return got;
}

int64_t File::Write(const void* data, uint64_t count) {
  ssize_t put;
  do {
    put = LoadSyscall(&Sys::write)(fd_, data, OneCallCount(count));
  } while (put < 0 && errno == EINTR);
  return put;
}

int64_t File::Seek(int64_t offset, SeekOrigin origin) {
  int whence = SEEK_SET;
  switch (origin) {
    case SeekOrigin::kBegin:
      whence = SEEK_SET;
      break;
    case SeekOrigin::kCurrent:
      whence = SEEK_CUR;
      break;
    case SeekOrigin::kEnd:
      whence = SEEK_END;
      break;
    default:
      errno = EINVAL;
      return -1;
  }
  const off_t pos = LoadSyscall(&Sys::lseek)(fd_, static_cast<off_t>(offset), whence);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t File::Size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File::Flush() {
  int rc;
  do {
    rc = LoadSyscall(&Sys::fsync)(fd_);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool File::SetLength(int64_t length) {
  if (length < 0) {
    errno = EINVAL;
    return false;
  }
  int rc;
  do {
    rc = LoadSyscall(&Sys::ftruncate)(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool File::Reserve(int64_t length) {
  if (length < 0) {
    errno = EINVAL;
    return false;
  }
  if (length == 0) return true;
  int rc;
  do {
    rc = LoadSyscall(&Sys::fallocate)(fd_, 0, 0, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
  // No reservation here: a sparse extension reads back as zeros all the same.
  const int64_t size = Size();
  return size >= length || SetLength(length);
}

bool File::LockForWriting() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  int rc;
  do {
    rc = LoadSyscall(&Sys::fcntlLock)(fd_, F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

std::vector<DirectoryEntry> FindFiles(const std::string& directory, const std::string& suffix) {
  std::vector<DirectoryEntry> entries;
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return entries;
  const int dirFd = ::dirfd(dir);
  while (const struct dirent* ent = ::readdir(dir)) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    if (name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    struct stat st;
    if (::fstatat(dirFd, ent->d_name, &st, 0) != 0) continue;  // vanished meanwhile
    DirectoryEntry entry;
    entry.name = name;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.lastWriteUtc = static_cast<int64_t>(st.st_mtime);
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  // Directory order is arbitrary on Linux; sorted names make scans repeatable.
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return entries;
}

bool LastWriteTime(const std::string& path, int64_t* utcSeconds) {
  struct stat st;
  if (!StatPath(path, &st)) return false;
  if (utcSeconds != nullptr) *utcSeconds = static_cast<int64_t>(st.st_mtime);
  return true;
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

bool DeleteFile(const std::string& path) {
  if (path.empty()) return false;
  return LoadSyscall(&Sys::unlink)(path.c_str()) == 0;
}

bool DeleteFileIfUnused(const std::string& path) {
  if (path.empty()) return false;
  int fd;
  do {
    fd = LoadSyscall(&Sys::open)(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // Every File holds a shared lock while open, so an exclusive one means nobody uses it.
  if (LockWithRetry(fd, LOCK_EX | LOCK_NB) != 0) {
    CloseQuietly(fd);
    return false;
  }
  const bool removed = LoadSyscall(&Sys::unlink)(path.c_str()) == 0;
  CloseQuietly(fd);
  return removed;
}

}  // namespace platform
