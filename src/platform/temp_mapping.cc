#include "platform/temp_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/syscalls.h"

namespace platform {
namespace {

// Numbers the fallback names of this process; another process's file with the same name
// makes us move on to the next number.
std::atomic<uint32_t> g_nextMappingNumber{0};

constexpr int kMaxNameAttempts = 100000;
constexpr uint32_t kNumberLimit = 1000000000u;  // nine digits

std::string NextCandidate(const std::string& directory) {
  const uint32_t number =
      g_nextMappingNumber.fetch_add(1, std::memory_order_relaxed) % kNumberLimit;
  char name[32];
  std::snprintf(name, sizeof(name), "fmap%09u.tmp", number);
  return directory + name;
}

// An unnamed file in `directory`: O_TMPFILE where the file system has it, else a fresh name
// that is unlinked as soon as it is open. -1 on failure, with errno set.
int OpenUnnamedFile(const std::string& directory) {
#ifdef O_TMPFILE
  int fd;
  do {
    fd = LoadSyscall(&Syscalls::open)(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;
  // Kernels and file systems without it answer one of these; anything else is a real failure.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return -1;
#endif
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string path = NextCandidate(directory);
    const int named = LoadSyscall(&Syscalls::open)(
        path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named >= 0) {
      if (LoadSyscall(&Syscalls::unlink)(path.c_str()) != 0) {
        // Used with its name, the table would outlive a killed process: refuse it instead.
        const int saved = errno;
        LoadSyscall (&Syscalls::close)(named);
        errno = saved;
        return -1;
      }
      return named;
    }
    if (errno != EEXIST && errno != EINTR) return -1;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && env[0] != '\0') ? env : "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

std::unique_ptr<TempMapping> TempMapping::Create(uint64_t size) {
  if (size == 0) size = 1;
  if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      size > static_cast<uint64_t>(std::numeric_limits<size_t>::max())) {
    errno = EFBIG;
    return nullptr;
  }
  const int fd = OpenUnnamedFile(TempDirectory());
  if (fd < 0) return nullptr;

  const auto fail = [&]() -> std::unique_ptr<TempMapping> {
    const int saved = errno;
    LoadSyscall (&Syscalls::close)(fd);
    errno = saved;
    return nullptr;
  };
  // Reserve the blocks now: a full disk fails here rather than as SIGBUS on first touch.
  int rc;
  do {
    rc = LoadSyscall(&Syscalls::posixFallocate)(fd, 0, static_cast<off_t>(size));
  } while (rc == EINTR);
  if (rc != 0) {
    errno = rc;
    return fail();
  }
  void* addr = LoadSyscall(&Syscalls::mmap)(nullptr, static_cast<size_t>(size),
                                            PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED || addr == nullptr) return fail();

  std::unique_ptr<TempMapping> mapping(new TempMapping());
  mapping->data_ = static_cast<uint8_t*>(addr);
  mapping->size_ = size;
  mapping->fd_ = fd;
  return mapping;
}

TempMapping::~TempMapping() { Close(); }

void TempMapping::Close() {
  if (data_ != nullptr) {
    LoadSyscall (&Syscalls::munmap)(data_, static_cast<size_t>(size_));
    data_ = nullptr;
  }
  if (fd_ >= 0) {
    LoadSyscall (&Syscalls::close)(fd_);
    fd_ = -1;
  }
  size_ = 0;
}

}  // namespace platform
