#include "platform/syscalls.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace platform {
namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealFallocate(int fd, int mode, off_t offset, off_t length) {
  return ::fallocate(fd, mode, offset, length);
}
int RealFcntlLock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }

Syscalls MakeRealSyscalls() {
  Syscalls table{};
  table.open = &RealOpen;
  table.close = &::close;
  table.read = &::read;
  table.write = &::write;
  table.lseek = &::lseek;
  // Data must be on disk; the file's times need not be, so the cheaper call does.
  table.fsync = &::fdatasync;
  table.ftruncate = &::ftruncate;
  table.unlink = &::unlink;
  table.mmap = &::mmap;
  table.fallocate = &RealFallocate;
  table.fcntlLock = &RealFcntlLock;
  return table;
}

Syscalls g_active = MakeRealSyscalls();

template <typename Fn>
void StoreEntry(Fn* entry, Fn fn) {
  std::atomic_ref<Fn>(*entry).store(fn, std::memory_order_release);
}

}  // namespace

Syscalls& ActiveSyscalls() { return g_active; }

const Syscalls& RealSyscalls() {
  static const Syscalls real = MakeRealSyscalls();
  return real;
}

void RestoreSyscalls() {
  const Syscalls& real = RealSyscalls();
  StoreEntry(&g_active.open, real.open);
  StoreEntry(&g_active.close, real.close);
  StoreEntry(&g_active.read, real.read);
  StoreEntry(&g_active.write, real.write);
  StoreEntry(&g_active.lseek, real.lseek);
  StoreEntry(&g_active.fsync, real.fsync);
  StoreEntry(&g_active.ftruncate, real.ftruncate);
  StoreEntry(&g_active.unlink, real.unlink);
  StoreEntry(&g_active.mmap, real.mmap);
  StoreEntry(&g_active.fallocate, real.fallocate);
  StoreEntry(&g_active.fcntlLock, real.fcntlLock);
}

}  // namespace platform
