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

#include "platform/paths.h"
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
// A file opened for writing must also have exactly one name: a second (hard) link could be
// anyone's file, which the recorder would overwrite, grow or later delete (EMLINK).
int RefusalOf(int fd, bool forWriting) {
  struct stat st;
  if (LoadSyscall(&Sys::fstat)(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  const int flags = LoadSyscall(&Sys::fcntlFlags)(fd, F_GETFL, 0);
  if (flags == -1 || LoadSyscall(&Sys::fcntlFlags)(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return errno;
  }
  if (RetryInterrupted([fd] { return LoadSyscall(&Sys::flock)(fd, LOCK_SH); }) != 0) return errno;
  if (LoadSyscall(&Sys::fstat)(fd, &st) != 0) return errno;
  if (st.st_nlink == 0) return ENOENT;
  return forWriting && st.st_nlink != 1 ? EMLINK : 0;
}

int OpenOnce(const std::string& path, int flags) {
  // Non-blocking, so a FIFO or a device named as a data or index file cannot hold the open
  // up; anything but a regular file is refused. A symbolic link as the last component is
  // never followed (ELOOP): neither its target nor, when it dangles, a new file there.
  return RetryInterrupted([&] {
    return LoadSyscall(&Sys::open)(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0644);
  });
}

// Opens `path` with the shared lock taken; -1 with errno set (and `*status`) on failure.
// `*created` tells whether this open made the file (its name is then not yet durable).
int OpenLocked(const std::string& path, int flags, Status* status, bool* created = nullptr) {
  if (created != nullptr) *created = false;
  int fd = OpenOnce(path, flags & ~O_CREAT);
  if (fd < 0 && errno == ENOENT && (flags & O_CREAT) != 0) {
    // Made here and only here, so the caller knows to make the new name durable.
    fd = OpenOnce(path, flags | O_EXCL);
    if (fd >= 0 && created != nullptr) *created = true;
    if (fd < 0 && errno == EEXIST) fd = OpenOnce(path, flags & ~O_CREAT);  // made meanwhile
  }
  const bool forWriting = (flags & O_ACCMODE) != O_RDONLY;
  int error = fd < 0 ? errno : RefusalOf(fd, forWriting);
  if (fd >= 0 && error != 0) CloseQuietly(fd);
  if (error == 0) return fd;
  if (status != nullptr) *status = Status::FromErrno("open", path, error);
  errno = error;
  return -1;
}

FileId IdOf(int fd) {
  struct stat st;
  if (LoadSyscall(&Sys::fstat)(fd, &st) != 0) return FileId();
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
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
  bool created = false;
  const int fd = OpenLocked(path, flags, status, &created);
  if (fd < 0) return nullptr;
  std::unique_ptr<File> file(new File(fd, path));
  file->created_ = created;
  file->id_ = IdOf(fd);
  return file;
}

std::unique_ptr<File> File::OpenReadOnly(const std::string& path, Status* status) {
  const int fd = OpenLocked(path, O_RDONLY, status);
  if (fd < 0) return nullptr;
  std::unique_ptr<File> file(new File(fd, path));
  file->id_ = IdOf(fd);
  return file;
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
    // A link is described as itself, never as what it points to.
    if (LoadSyscall(&Sys::fstatat)(dirFd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // vanished
    }
    DirectoryEntry entry;
    entry.name = name;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.isRegular = S_ISREG(st.st_mode);
    entry.id = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
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
  // The name itself: a link to a regular file is no recorder file (it is never opened).
  struct stat st;
  return !path.empty() &&
         LoadSyscall(&Sys::fstatat)(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
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
  // Never through a link, never blocking on a FIFO or a device, and only a regular file with
  // one name: what the recorder made and nothing else.
  const int fd = RetryInterrupted([&] {
    return LoadSyscall(&Sys::open)(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
  });
  if (fd < 0) return false;
  struct stat st;
  if (LoadSyscall(&Sys::fstat)(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    CloseQuietly(fd);
    return false;
  }
  // Every File holds a shared lock while open, so an exclusive one means nobody uses it.
  if (RetryInterrupted([fd] { return LoadSyscall(&Sys::flock)(fd, LOCK_EX | LOCK_NB); }) != 0) {
    CloseQuietly(fd);
    return false;
  }
  const bool removed = LoadSyscall(&Sys::unlink)(path.c_str()) == 0;
  CloseQuietly(fd);
  // The deletion counts once it is durable: a power cut must not bring the name back.
  return removed && SyncDirectoryOf(path).ok();
}

Status SyncDirectoryOf(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  const char* name = directory.empty() ? "." : directory.c_str();
  if (RetryInterrupted([&] { return LoadSyscall(&Sys::syncDirectory)(name); }) != 0 &&
      errno != EINVAL) {  // EINVAL: a file system whose directories need no sync
    return Status::FromErrno("sync directory", name, errno);
  }
  return Status();
}

}  // namespace platform
