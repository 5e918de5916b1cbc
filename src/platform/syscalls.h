// The one table through which the file layer makes its system calls. Tests replace entries
// to inject ENOSPC, EIO, short writes or failed opens (as SQLite's os_unix.c does);
// production code never touches it. No file outside src/platform makes a system call.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <type_traits>

namespace platform {

struct Syscalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  // Every read and write of a file names its offset; nothing uses the descriptor's position.
  ssize_t (*pread)(int fd, void* buf, size_t count, off_t offset);
  ssize_t (*pwrite)(int fd, const void* buf, size_t count, off_t offset);
  int (*fsync)(int fd);  // used as fdatasync
  int (*ftruncate)(int fd, off_t length);
  int (*fstat)(int fd, struct stat* st);
  int (*unlink)(const char* path);
  void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
  // fallocate(fd, 0, offset, length): reserves blocks; EOPNOTSUPP where the file system
  // cannot.
  int (*fallocate)(int fd, int mode, off_t offset, off_t length);
  // flock: the shared lock every open file holds, the deletion worker's exclusive one.
  int (*flock)(int fd, int operation);
  // fcntl with a struct flock argument (the open-file-description record locks).
  int (*fcntlLock)(int fd, int command, struct flock* lock);

  // Path and directory look-ups, the file flags, reservations of temporary files, mappings
  // given back and the process's file-size limit.
  int (*stat)(const char* path, struct stat* st);
  int (*fstatat)(int dirFd, const char* name, struct stat* st, int flags);
  // fcntl with an int argument (F_GETFL, F_SETFL).
  int (*fcntlFlags)(int fd, int command, int argument);
  DIR* (*opendir)(const char* path);
  struct dirent* (*readdir)(DIR* dir);
  int (*closedir)(DIR* dir);
  // Returns the error number (not -1 with errno), as posix_fallocate does.
  int (*posixFallocate)(int fd, off_t offset, off_t length);
  int (*munmap)(void* addr, size_t length);
  int (*getrlimit)(int resource, struct rlimit* limit);
  // ---- Durability of names ----
  // Opens the directory `path` and syncs it (fsync), so entries created, renamed or removed
  // in it survive a power cut.
  int (*syncDirectory)(const char* path);
};

// The table in use. Tests may assign members; RestoreSyscalls() puts the real ones back.
Syscalls& ActiveSyscalls();
void RestoreSyscalls();
// The real system calls, whatever the active table holds.
const Syscalls& RealSyscalls();

// Replaces one entry while other threads may be making calls through the table (a writer
// thread, say): ActiveSyscalls().pwrite = ... is only safe while no other thread uses the
// file layer. Example: SetSyscall(&Syscalls::pwrite, &FailingWrite); a lambda without
// captures works too.
template <typename Fn>
void SetSyscall(Fn Syscalls::*entry, std::type_identity_t<Fn> fn) {
  std::atomic_ref<Fn>(ActiveSyscalls().*entry).store(fn, std::memory_order_release);
}

// Reads one entry; the file layer calls through this so that SetSyscall is race-free.
template <typename Fn>
Fn LoadSyscall(Fn Syscalls::*entry) {
  return std::atomic_ref<Fn>(ActiveSyscalls().*entry).load(std::memory_order_acquire);
}

}  // namespace platform
