#include "platform/syscalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace platform {
namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealFstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int RealFallocate(int fd, int mode, off_t offset, off_t length) {
  return ::fallocate(fd, mode, offset, length);
}
int RealFlock(int fd, int operation) { return ::flock(fd, operation); }
int RealFcntlLock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }
int RealStat(const char* path, struct stat* st) { return ::stat(path, st); }
int RealFstatat(int dirFd, const char* name, struct stat* st, int flags) {
  return ::fstatat(dirFd, name, st, flags);
}
int RealFcntlFlags(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }
int RealPosixFallocate(int fd, off_t offset, off_t length) {
  return ::posix_fallocate(fd, offset, length);
}
int RealGetrlimit(int resource, struct rlimit* limit) {
  return ::getrlimit(static_cast<__rlimit_resource_t>(resource), limit);
}
int RealSyncDirectory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int rc = ::fsync(fd);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return rc;
}

Syscalls MakeRealSyscalls() {
  Syscalls table{};
  table.open = &RealOpen;
  table.close = &::close;
  table.pread = &::pread;
  table.pwrite = &::pwrite;
  // Data must be on disk; the file's times need not be, so the cheaper call does.
  table.fsync = &::fdatasync;
  table.ftruncate = &::ftruncate;
  table.fstat = &RealFstat;
  table.unlink = &::unlink;
  table.mmap = &::mmap;
  table.fallocate = &RealFallocate;
  table.flock = &RealFlock;
  table.fcntlLock = &RealFcntlLock;
  table.stat = &RealStat;
  table.fstatat = &RealFstatat;
  table.fcntlFlags = &RealFcntlFlags;
  table.opendir = &::opendir;
  table.readdir = &::readdir;
  table.closedir = &::closedir;
  table.posixFallocate = &RealPosixFallocate;
  table.munmap = &::munmap;
  table.getrlimit = &RealGetrlimit;
  table.syncDirectory = &RealSyncDirectory;
  return table;
}

Syscalls g_active = MakeRealSyscalls();

template <typename Fn>
void Restore(Fn Syscalls::*entry) {
  SetSyscall(entry, RealSyscalls().*entry);
}

}  // namespace

Syscalls& ActiveSyscalls() { return g_active; }

const Syscalls& RealSyscalls() {
  static const Syscalls real = MakeRealSyscalls();
  return real;
}

void RestoreSyscalls() {
  Restore(&Syscalls::open);
  Restore(&Syscalls::close);
  Restore(&Syscalls::pread);
  Restore(&Syscalls::pwrite);
  Restore(&Syscalls::fsync);
  Restore(&Syscalls::ftruncate);
  Restore(&Syscalls::fstat);
  Restore(&Syscalls::unlink);
  Restore(&Syscalls::mmap);
  Restore(&Syscalls::fallocate);
  Restore(&Syscalls::flock);
  Restore(&Syscalls::fcntlLock);
  Restore(&Syscalls::stat);
  Restore(&Syscalls::fstatat);
  Restore(&Syscalls::fcntlFlags);
  Restore(&Syscalls::opendir);
  Restore(&Syscalls::readdir);
  Restore(&Syscalls::closedir);
  Restore(&Syscalls::posixFallocate);
  Restore(&Syscalls::munmap);
  Restore(&Syscalls::getrlimit);
  Restore(&Syscalls::syncDirectory);
}

}  // namespace platform
