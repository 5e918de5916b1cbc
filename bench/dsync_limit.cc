// The disk's limit for recording: how fast 8 MiB blocks reach files like the recorder's data
// files when every block is written through O_DSYNC and followed by fdatasync, the way the
// writer thread writes its buffer. The files are made as the rotation makes data files:
// opened read-write, created when missing, O_DSYNC, a shared flock, extended sparsely to
// 209,715,200 bytes with ftruncate and flushed; each file takes 25 blocks (200 MiB, past the
// recorder's 199 MiB rotation point) and the next one is opened when it is full.
//
//   dsync_limit --dir DIR --bytes N [--kind new|reused] [--files N] [--block BYTES]
//
//   --dir DIR     directory of the files (must exist; no '.' needed, none is made)
//   --bytes N     bytes to write in the timed part (suffixes K, M, G in powers of 1024)
//   --kind new    (default) remove the files first, so every block fills fresh, sparse space
//   --kind reused write into files that were already written once; missing or never-filled
//                 files are created and filled once before the timed part
//   --files N     files in the set (default 5); the timed part goes round them in order
//   --block B     block size (default 8 MiB)
//   --keep        leave the files behind (record_bench keeps the reused set between runs)
//
// Prints one line "LIMIT <kind> <bytes> <seconds> <MB/s>" (tab separated) for record_bench,
// after a human-readable line. Exits 0 when it measured, 1 when it could not.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

constexpr int64_t kFileSize = 209715200;  // nominal size of a data file
constexpr int64_t kMiB = 1024 * 1024;
// A file counted as "written once" carries this marker in a small side file of the set.
constexpr const char* kFilledMark = "/dsync_filled";

struct Options {
  std::string dir;
  int64_t bytes = 0;
  bool reused = false;
  int files = 5;
  int64_t block = 8 * kMiB;
  bool keep = false;
};

int64_t ParseBytes(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  double scale = 1;
  if (end != nullptr && *end != '\0') {
    switch (*end) {
      case 'K':
      case 'k':
        scale = 1024.0;
        break;
      case 'M':
      case 'm':
        scale = 1024.0 * 1024.0;
        break;
      case 'G':
      case 'g':
        scale = 1024.0 * 1024.0 * 1024.0;
        break;
      default:
        return -1;
    }
  }
  return value > 0 ? static_cast<int64_t>(value * scale) : -1;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  std::string bytes, kind = "new", block;
  if (!bench::ParseFlags(argc, argv,
                         {{"--dir", &options->dir},
                          {"--bytes", &bytes},
                          {"--kind", &kind},
                          {"--files", &options->files},
                          {"--block", &block},
                          {"--keep", &options->keep}})) {
    return false;
  }
  if (kind != "new" && kind != "reused") return false;
  options->reused = kind == "reused";
  if (!bytes.empty()) options->bytes = ParseBytes(bytes.c_str());
  if (!block.empty()) options->block = ParseBytes(block.c_str());
  return !options->dir.empty() && options->bytes > 0 && options->files > 0 && options->block > 0 &&
         options->block <= kFileSize;
}

std::string FilePath(const Options& options, int n) {
  return options.dir + "/dsync" + std::to_string(n) + ".VDB";
}

// The rotation's open of a data file: read-write, created when missing, write-through, and
// the shared lock every recorder file holds; then the sparse extension to the nominal size.
int OpenDataFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_DSYNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat st;
  if (::flock(fd, LOCK_SH) != 0 || ::fstat(fd, &st) != 0 ||
      (st.st_size < kFileSize && (::ftruncate(fd, kFileSize) != 0 || ::fdatasync(fd) != 0))) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WriteBlock(int fd, const uint8_t* data, int64_t length) {
  while (length > 0) {
    const ssize_t put = ::write(fd, data, static_cast<size_t>(length));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    length -= put;
  }
  return ::fdatasync(fd) == 0;
}

// Writes `bytes` in blocks, `kFileSize` per file, going round the set from file 0.
bool WriteSet(const Options& options, int64_t bytes, const std::vector<uint8_t>& block) {
  int file = 0;
  while (bytes > 0) {
    const int fd = OpenDataFile(FilePath(options, file));
    if (fd < 0) {
      std::perror(FilePath(options, file).c_str());
      return false;
    }
    int64_t inFile = 0;
    while (bytes > 0 && inFile < kFileSize) {
      const int64_t length = std::min<int64_t>({options.block, bytes, kFileSize - inFile});
      if (!WriteBlock(fd, block.data(), length)) {
        std::perror("write");
        ::close(fd);
        return false;
      }
      inFile += length;
      bytes -= length;
    }
    ::close(fd);
    file = (file + 1) % options.files;
  }
  return true;
}

void RemoveSet(const Options& options) {
  for (int n = 0; n < options.files; ++n) ::unlink(FilePath(options, n).c_str());
  ::unlink((options.dir + kFilledMark).c_str());
}

bool SetFilledOnce(const Options& options) {
  if (::access((options.dir + kFilledMark).c_str(), F_OK) != 0) return false;
  for (int n = 0; n < options.files; ++n) {
    struct stat st;
    if (::stat(FilePath(options, n).c_str(), &st) != 0 || st.st_size < kFileSize) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s --dir DIR --bytes N [--kind new|reused] [--files N] [--block BYTES] "
                 "[--keep]\n",
                 argv[0]);
    return 1;
  }
  // Blocks of recorded video are not zeros; a pattern keeps any compressing layer honest.
  std::vector<uint8_t> block(static_cast<size_t>(options.block));
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131 + (i >> 12));

  if (!options.reused) {
    RemoveSet(options);
  } else if (!SetFilledOnce(options)) {
    // Every file of the set is written whole once, untimed, so the timed part only overwrites.
    RemoveSet(options);
    if (!WriteSet(options, kFileSize * options.files, block)) return 1;
    const int mark = ::open((options.dir + kFilledMark).c_str(), O_WRONLY | O_CREAT, 0644);
    if (mark >= 0) ::close(mark);
  }
  // Space freed by a removal is discarded as the file system commits: finish that first.
  ::sync();

  const auto begin = std::chrono::steady_clock::now();
  const bool written = WriteSet(options, options.bytes, block);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (!options.keep) {
    RemoveSet(options);
    ::sync();
  }
  if (!written || seconds <= 0) return 1;

  const char* kind = options.reused ? "reused" : "new";
  const double mbPerSecond = static_cast<double>(options.bytes) / seconds / 1e6;
  std::printf("O_DSYNC %lld MiB blocks, %s files: %.1f MB in %.2f s = %.1f MB/s\n",
              static_cast<long long>(options.block / kMiB), kind,
              static_cast<double>(options.bytes) / 1e6, seconds, mbPerSecond);
  std::printf("LIMIT\t%s\t%lld\t%.6f\t%.3f\n", kind, static_cast<long long>(options.bytes), seconds,
              mbPerSecond);
  return 0;
}
