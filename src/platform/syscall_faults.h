// Fault injection for tests of the file layer's callers: a ScopedSyscallFault replaces one
// entry of the syscall table (see syscalls.h) for its lifetime, letting the first `skip`
// calls through and then failing `times` calls (kPersistent = every later call) with an
// errno such as ENOSPC or EIO, or cutting write calls short. Safe to install and remove
// while writer threads run. One fault per call kind at a time; never used by the library.
#pragma once

#include <string>

namespace platform {

class ScopedSyscallFault {
 public:
  // kRead fails pread calls, kWrite pwrite calls: the file layer's only reads and writes.
  // One kind per entry of the syscall table; calls that release something (close, closedir,
  // munmap) release it and then report the failure.
  enum class Call {
    kOpen,
    kRead,
    kWrite,
    kFsync,
    kFtruncate,
    kUnlink,
    kMmap,
    kFallocate,
    kClose,
    kFstat,
    kFlock,
    kFcntlLock,
    kStat,
    kFstatat,
    kFcntlFlags,
    kOpendir,
    kReaddir,
    kClosedir,
    kPosixFallocate,
    kMunmap,
    kGetrlimit,
  };
  static constexpr int kCallKinds = static_cast<int>(Call::kGetrlimit) + 1;
  static constexpr int kPersistent = -1;

  // Fails calls of `call` with `error` after `skip` calls have passed. When `pathPart` is
  // not empty, only open, unlink and stat calls whose path contains it count (and fail).
  ScopedSyscallFault(Call call, int error, int skip = 0, int times = kPersistent,
                     const std::string& pathPart = std::string());
  // Write calls after `skip` write at most `maxBytes` bytes (0: they report 0 bytes written
  // without an error), `times` times.
  static ScopedSyscallFault ShortWrites(unsigned maxBytes, int skip = 0, int times = kPersistent);
  // `shortCalls` write calls write at most `maxBytes` each, then every later write call
  // fails with `error` (0: reports 0 bytes written without an error): a disk that fills
  // up in the middle of a block.
  static ScopedSyscallFault ShortWritesThenFail(unsigned maxBytes, int shortCalls, int error);
  ~ScopedSyscallFault();  // puts the real entry back
  ScopedSyscallFault(ScopedSyscallFault&& other) noexcept;
  ScopedSyscallFault(const ScopedSyscallFault&) = delete;
  ScopedSyscallFault& operator=(const ScopedSyscallFault&) = delete;
  ScopedSyscallFault& operator=(ScopedSyscallFault&&) = delete;

  // Calls of this kind seen (counted ones only, with a path filter) and calls that failed
  // or were cut short.
  int calls() const;
  int faults() const;

 private:
  ScopedSyscallFault() = default;
  Call call_ = Call::kOpen;
  bool active_ = false;
};

}  // namespace platform
