#include "platform/syscall_faults.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/mutex.h"
#include "platform/syscalls.h"

namespace platform {
namespace {

constexpr int kCallKinds = ScopedSyscallFault::kCallKinds;

struct FaultSlot {
  std::atomic<int> skip{0};
  std::atomic<int> remaining{0};  // < 0: persistent
  std::atomic<int> error{0};
  std::atomic<long> shortLimit{-1};  // >= 0: a short-write fault
  std::atomic<int> afterError{-1};   // >= 0: how write calls fail once the budget is spent
  std::atomic<int> calls{0};
  std::atomic<int> faults{0};
};

FaultSlot g_slots[kCallKinds];
Mutex g_pathMu;
std::string g_pathPart[kCallKinds] GUARDED_BY(g_pathMu);

FaultSlot& SlotOf(ScopedSyscallFault::Call call) { return g_slots[static_cast<int>(call)]; }

bool PathMatches(ScopedSyscallFault::Call call, const char* path) {
  MutexLock lock(&g_pathMu);
  const std::string& part = g_pathPart[static_cast<int>(call)];
  return part.empty() || (path != nullptr && std::strstr(path, part.c_str()) != nullptr);
}

enum class Verdict { kPass, kFault, kAfter };

// Decides what happens to this call: counts it, consumes the countdown and the budget.
Verdict TakeFault(FaultSlot& slot) {
  slot.calls.fetch_add(1);
  if (slot.skip.load() > 0 && slot.skip.fetch_sub(1) > 0) return Verdict::kPass;
  int left = slot.remaining.load();
  while (left > 0 && !slot.remaining.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) {
    if (slot.afterError.load() < 0) return Verdict::kPass;
    slot.faults.fetch_add(1);
    return Verdict::kAfter;
  }
  slot.faults.fetch_add(1);
  return Verdict::kFault;
}

bool Hit(FaultSlot& slot) { return TakeFault(slot) != Verdict::kPass; }

template <typename Result>
Result Fail(FaultSlot& slot, Result value) {
  errno = slot.error.load();
  return value;
}

using C = ScopedSyscallFault::Call;

int FaultyOpen(const char* path, int flags, mode_t mode) {
  FaultSlot& slot = SlotOf(C::kOpen);
  if (PathMatches(C::kOpen, path) && Hit(slot)) return Fail(slot, -1);
  return ::open(path, flags, mode);
}
ssize_t FaultyPread(int fd, void* buf, size_t count, off_t offset) {
  FaultSlot& slot = SlotOf(C::kRead);
  if (Hit(slot)) return Fail<ssize_t>(slot, -1);
  return ::pread(fd, buf, count, offset);
}
ssize_t FaultyPwrite(int fd, const void* buf, size_t count, off_t offset) {
  FaultSlot& slot = SlotOf(C::kWrite);
  const Verdict verdict = TakeFault(slot);
  if (verdict == Verdict::kPass) return ::pwrite(fd, buf, count, offset);
  if (verdict == Verdict::kAfter) {
    const int error = slot.afterError.load();
    if (error == 0) return 0;
    errno = error;
    return -1;
  }
  const long limit = slot.shortLimit.load();
  if (limit < 0) return Fail<ssize_t>(slot, -1);
  if (limit == 0) return 0;
  return ::pwrite(fd, buf, std::min(count, static_cast<size_t>(limit)), offset);
}
int FaultyFsync(int fd) {
  FaultSlot& slot = SlotOf(C::kFsync);
  if (Hit(slot)) return Fail(slot, -1);
  return ::fdatasync(fd);
}
int FaultyFtruncate(int fd, off_t length) {
  FaultSlot& slot = SlotOf(C::kFtruncate);
  if (Hit(slot)) return Fail(slot, -1);
  return ::ftruncate(fd, length);
}
int FaultyUnlink(const char* path) {
  FaultSlot& slot = SlotOf(C::kUnlink);
  if (PathMatches(C::kUnlink, path) && Hit(slot)) return Fail(slot, -1);
  return ::unlink(path);
}
void* FaultyMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  FaultSlot& slot = SlotOf(C::kMmap);
  if (Hit(slot)) return Fail(slot, MAP_FAILED);
  return ::mmap(addr, length, prot, flags, fd, offset);
}
int FaultyFallocate(int fd, int mode, off_t offset, off_t length) {
  FaultSlot& slot = SlotOf(C::kFallocate);
  if (Hit(slot)) return Fail(slot, -1);
  return RealSyscalls().fallocate(fd, mode, offset, length);
}

int FaultyClose(int fd) {
  FaultSlot& slot = SlotOf(C::kClose);
  const int rc = RealSyscalls().close(fd);  // a failed close releases the descriptor too
  return Hit(slot) ? Fail(slot, -1) : rc;
}
int FaultyFstat(int fd, struct stat* st) {
  FaultSlot& slot = SlotOf(C::kFstat);
  return Hit(slot) ? Fail(slot, -1) : RealSyscalls().fstat(fd, st);
}
int FaultyFlock(int fd, int operation) {
  FaultSlot& slot = SlotOf(C::kFlock);
  return Hit(slot) ? Fail(slot, -1) : RealSyscalls().flock(fd, operation);
}
int FaultyFcntlLock(int fd, int command, struct flock* lock) {
  FaultSlot& slot = SlotOf(C::kFcntlLock);
  return Hit(slot) ? Fail(slot, -1) : RealSyscalls().fcntlLock(fd, command, lock);
}
int FaultyStat(const char* path, struct stat* st) {
  FaultSlot& slot = SlotOf(C::kStat);
  if (PathMatches(C::kStat, path) && Hit(slot)) return Fail(slot, -1);
  return RealSyscalls().stat(path, st);
}
int FaultyFstatat(int dirFd, const char* name, struct stat* st, int flags) {
  FaultSlot& slot = SlotOf(C::kFstatat);
  return Hit(slot) ? Fail(slot, -1) : RealSyscalls().fstatat(dirFd, name, st, flags);
}
int FaultyFcntlFlags(int fd, int command, int argument) {
  FaultSlot& slot = SlotOf(C::kFcntlFlags);
  return Hit(slot) ? Fail(slot, -1) : RealSyscalls().fcntlFlags(fd, command, argument);
}
DIR* FaultyOpendir(const char* path) {
  FaultSlot& slot = SlotOf(C::kOpendir);
  return Hit(slot) ? Fail<DIR*>(slot, nullptr) : RealSyscalls().opendir(path);
}
struct dirent* FaultyReaddir(DIR* dir) {
  FaultSlot& slot = SlotOf(C::kReaddir);
  return Hit(slot) ? Fail<struct dirent*>(slot, nullptr) : RealSyscalls().readdir(dir);
}
int FaultyClosedir(DIR* dir) {
  FaultSlot& slot = SlotOf(C::kClosedir);
  const int rc = RealSyscalls().closedir(dir);
  return Hit(slot) ? Fail(slot, -1) : rc;
}
int FaultyPosixFallocate(int fd, off_t offset, off_t length) {
  FaultSlot& slot = SlotOf(C::kPosixFallocate);
  return Hit(slot) ? slot.error.load() : RealSyscalls().posixFallocate(fd, offset, length);
}
int FaultyMunmap(void* addr, size_t length) {
  FaultSlot& slot = SlotOf(C::kMunmap);
  const int rc = RealSyscalls().munmap(addr, length);
  return Hit(slot) ? Fail(slot, -1) : rc;
}
int FaultyGetrlimit(int resource, struct rlimit* limit) {
  FaultSlot& slot = SlotOf(C::kGetrlimit);
  return Hit(slot) ? Fail(slot, -1) : RealSyscalls().getrlimit(resource, limit);
}

template <typename Fn>
void Swap(Fn Syscalls::*entry, bool faulty, Fn fault) {
  SetSyscall(entry, faulty ? fault : RealSyscalls().*entry);
}

void Install(C call, bool faulty) {
  switch (call) {
    case C::kOpen:
      Swap(&Syscalls::open, faulty, &FaultyOpen);
      break;
    case C::kRead:
      Swap(&Syscalls::pread, faulty, &FaultyPread);
      break;
    case C::kWrite:
      Swap(&Syscalls::pwrite, faulty, &FaultyPwrite);
      break;
    case C::kFsync:
      Swap(&Syscalls::fsync, faulty, &FaultyFsync);
      break;
    case C::kFtruncate:
      Swap(&Syscalls::ftruncate, faulty, &FaultyFtruncate);
      break;
    case C::kUnlink:
      Swap(&Syscalls::unlink, faulty, &FaultyUnlink);
      break;
    case C::kMmap:
      Swap(&Syscalls::mmap, faulty, &FaultyMmap);
      break;
    case C::kFallocate:
      Swap(&Syscalls::fallocate, faulty, &FaultyFallocate);
      break;
    case C::kClose:
      Swap(&Syscalls::close, faulty, &FaultyClose);
      break;
    case C::kFstat:
      Swap(&Syscalls::fstat, faulty, &FaultyFstat);
      break;
    case C::kFlock:
      Swap(&Syscalls::flock, faulty, &FaultyFlock);
      break;
    case C::kFcntlLock:
      Swap(&Syscalls::fcntlLock, faulty, &FaultyFcntlLock);
      break;
    case C::kStat:
      Swap(&Syscalls::stat, faulty, &FaultyStat);
      break;
    case C::kFstatat:
      Swap(&Syscalls::fstatat, faulty, &FaultyFstatat);
      break;
    case C::kFcntlFlags:
      Swap(&Syscalls::fcntlFlags, faulty, &FaultyFcntlFlags);
      break;
    case C::kOpendir:
      Swap(&Syscalls::opendir, faulty, &FaultyOpendir);
      break;
    case C::kReaddir:
      Swap(&Syscalls::readdir, faulty, &FaultyReaddir);
      break;
    case C::kClosedir:
      Swap(&Syscalls::closedir, faulty, &FaultyClosedir);
      break;
    case C::kPosixFallocate:
      Swap(&Syscalls::posixFallocate, faulty, &FaultyPosixFallocate);
      break;
    case C::kMunmap:
      Swap(&Syscalls::munmap, faulty, &FaultyMunmap);
      break;
    case C::kGetrlimit:
      Swap(&Syscalls::getrlimit, faulty, &FaultyGetrlimit);
      break;
  }
}

void Arm(C call, int error, long shortLimit, int skip, int times, const std::string& pathPart,
         int afterError = -1) {
  FaultSlot& slot = SlotOf(call);
  {
    MutexLock lock(&g_pathMu);
    g_pathPart[static_cast<int>(call)] = pathPart;
  }
  slot.error.store(error);
  slot.shortLimit.store(shortLimit);
  slot.afterError.store(afterError);
  slot.skip.store(skip < 0 ? 0 : skip);
  slot.remaining.store(times);
  slot.calls.store(0);
  slot.faults.store(0);
  Install(call, true);
}

}  // namespace

ScopedSyscallFault::ScopedSyscallFault(Call call, int error, int skip, int times,
                                       const std::string& pathPart)
    : call_(call), active_(true) {
  Arm(call, error, -1, skip, times, pathPart);
}

ScopedSyscallFault ScopedSyscallFault::ShortWrites(unsigned maxBytes, int skip, int times) {
  ScopedSyscallFault fault;
  fault.call_ = Call::kWrite;
  fault.active_ = true;
  Arm(Call::kWrite, 0, static_cast<long>(maxBytes), skip, times, std::string());
  return fault;
}

ScopedSyscallFault ScopedSyscallFault::ShortWritesThenFail(unsigned maxBytes, int shortCalls,
                                                           int error) {
  ScopedSyscallFault fault;
  fault.call_ = Call::kWrite;
  fault.active_ = true;
  Arm(Call::kWrite, 0, static_cast<long>(maxBytes), 0, shortCalls < 0 ? 0 : shortCalls,
      std::string(), error < 0 ? 0 : error);
  return fault;
}

ScopedSyscallFault::ScopedSyscallFault(ScopedSyscallFault&& other) noexcept
    : call_(other.call_), active_(other.active_) {
  other.active_ = false;
}

ScopedSyscallFault::~ScopedSyscallFault() {
  if (!active_) return;
  Install(call_, false);
  SlotOf(call_).remaining.store(0);
  SlotOf(call_).afterError.store(-1);
}

int ScopedSyscallFault::calls() const { return SlotOf(call_).calls.load(); }
int ScopedSyscallFault::faults() const { return SlotOf(call_).faults.load(); }

}  // namespace platform
