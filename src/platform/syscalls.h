// The one table through which the file layer makes its system calls. Tests replace entries
// to inject ENOSPC, EIO, short writes or failed opens (as SQLite's os_unix.c does);
// production code never touches it. No file outside src/platform makes a system call.
#pragma once

#include <sys/types.h>

namespace platform {

struct Syscalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buf, size_t count);
  ssize_t (*write)(int fd, const void* buf, size_t count);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*fsync)(int fd);  // used as fdatasync
  int (*ftruncate)(int fd, off_t length);
  int (*unlink)(const char* path);
  void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
};

// The table in use. Tests may assign members; RestoreSyscalls() puts the real ones back.
Syscalls& ActiveSyscalls();
void RestoreSyscalls();

}  // namespace platform
