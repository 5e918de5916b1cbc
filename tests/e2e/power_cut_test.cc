// Power cuts at every step of a recording. A layer over the syscall table records each call
// that changes a file or a directory (creating, writing, syncing, sizing, deleting) while a
// set of three files is recorded: a first run fills two files, a second run continues the
// set in a new file for twenty minutes and across a change of minute and midnight into a
// reused file. For every point between two
// calls of the second run the test rebuilds what the disk may hold after a cut there, under
// two models:
//   - ext4 (data=ordered): everything done up to the cut, sizes only once synced;
//   - POSIX, as an adversary: also names created or removed since their directory was last
//     synced are undone (a new file is lost with its data, a deleted one comes back).
// Writes are all made with O_DSYNC, so each is on disk when its call returns; a summary
// rewritten over several sectors may also be cut in the middle of its write, torn either side
// of its first sector. Last-write times are never durable, so the rebuilt files get them in
// the reverse of their real order.
// In every state: `dvrtool verify` finds nothing wrong, no frame accepted two seconds or
// more before the cut is missing, and a new recording started there goes into the file with
// the oldest footage (never over newer footage) and leaves the set clean as well.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "data_set_verifier.h"
#include "platform/file.h"
#include "platform/syscalls.h"
#include "support/data_file_reserve.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;

constexpr int kFiles = 3;
constexpr uint32_t kChannels = 2;
constexpr int kFramesPerSecond = 4;

// ---- The trace ----

struct Op {
  enum Kind { kCreate, kWrite, kSync, kSize, kUnlink, kDirSync } kind;
  std::string name;  // file name within the directory
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
  int64_t time = 0;  // the test clock when the call was made

  Op(Kind k, std::string n, uint64_t at = 0, std::vector<uint8_t> b = {})
      : kind(k), name(std::move(n)), offset(at), bytes(std::move(b)) {}
};

struct Tracer {
  std::mutex mu;
  std::vector<Op> ops;
  std::map<int, std::string> names;  // open descriptors
  bool fast = false;                 // no syncs at all (for the reopens, not under test)
};
Tracer* g_tracer = nullptr;

std::string NameOf(const char* path) { return std::filesystem::path(path).filename(); }

std::string NameOfFd(int fd) {
  std::lock_guard<std::mutex> hold(g_tracer->mu);
  auto it = g_tracer->names.find(fd);
  return it == g_tracer->names.end() ? std::string() : it->second;
}

// Logs a call that did something: returned 0 or a descriptor, or wrote bytes.
template <typename Rc>
Rc Log(Rc rc, Op::Kind kind, std::string name, uint64_t at = 0, const void* bytes = nullptr) {
  if (rc < 0 || (bytes != nullptr && rc == 0) || g_tracer->fast) return rc;
  const int saved = errno;
  const auto* b = static_cast<const uint8_t*>(bytes);
  Op op(kind, std::move(name), at,
        b != nullptr ? std::vector<uint8_t>(b, b + rc) : std::vector<uint8_t>());
  op.time = g_testNow.load();
  std::lock_guard<std::mutex> hold(g_tracer->mu);
  g_tracer->ops.push_back(std::move(op));
  errno = saved;
  return rc;
}

const platform::Syscalls& Real() { return platform::RealSyscalls(); }

class ScopedTracer {
 public:
  explicit ScopedTracer(Tracer* tracer) {
    g_tracer = tracer;
    platform::Syscalls& table = platform::ActiveSyscalls();
    table.open = [](const char* path, int flags, mode_t mode) {
      const int fd = Real().open(path, g_tracer->fast ? flags & ~O_DSYNC : flags, mode);
      if (fd >= 0) {
        std::lock_guard<std::mutex> hold(g_tracer->mu);
        g_tracer->names[fd] = NameOf(path);
      }
      // Every file the recorder makes is made with O_EXCL.
      return (flags & O_CREAT) != 0 && (flags & O_EXCL) != 0 ? Log(fd, Op::kCreate, NameOf(path))
                                                             : fd;
    };
    table.close = [](int fd) {
      {
        std::lock_guard<std::mutex> hold(g_tracer->mu);
        g_tracer->names.erase(fd);
      }
      return Real().close(fd);
    };
    table.pwrite = [](int fd, const void* buf, size_t count, off_t offset) {
      return Log(Real().pwrite(fd, buf, count, offset), Op::kWrite, NameOfFd(fd), offset, buf);
    };
    table.fsync = [](int fd) {
      return g_tracer->fast ? 0 : Log(Real().fsync(fd), Op::kSync, NameOfFd(fd));
    };
    table.ftruncate = [](int fd, off_t length) {
      return Log(Real().ftruncate(fd, length), Op::kSize, NameOfFd(fd), length);
    };
    table.fallocate = [](int fd, int mode, off_t offset, off_t length) {
      return Log(Real().fallocate(fd, mode, offset, length), Op::kSize, NameOfFd(fd),
                 offset + length);
    };
    table.unlink = [](const char* path) {
      return Log(Real().unlink(path), Op::kUnlink, NameOf(path));
    };
    table.syncDirectory = [](const char* path) {
      return g_tracer->fast ? 0 : Log(Real().syncDirectory(path), Op::kDirSync, "");
    };
  }
  ~ScopedTracer() {
    platform::RestoreSyscalls();
    g_tracer = nullptr;
  }
  ScopedTracer(const ScopedTracer&) = delete;
  ScopedTracer& operator=(const ScopedTracer&) = delete;
};

// ---- The disk after a cut ----

struct FileState {
  std::vector<uint8_t> content;  // what was written, from offset 0
  uint64_t size = 0;             // the length the file keeps
  uint64_t pendingSize = 0;      // set but not yet synced
  bool named = false;            // the name is in the directory
  bool nameDurable = false;      // ... and survives a cut (POSIX model)
  bool removed = false;          // unlinked, the directory not yet synced since
  int order = 0;                 // when the file was made
};
using DiskState = std::map<std::string, FileState>;

void Apply(DiskState& disk, const Op& op, int* made) {
  if (op.kind == Op::kDirSync) {
    for (auto& [name, f] : disk) {
      f.nameDurable = f.named;
      f.removed = false;
    }
    return;
  }
  FileState& f = disk[op.name];
  switch (op.kind) {
    case Op::kCreate:
      f = FileState{};
      f.named = true;
      f.order = ++*made;
      break;
    case Op::kWrite: {
      const uint64_t end = op.offset + op.bytes.size();
      if (f.content.size() < end) f.content.resize(end);
      std::copy(op.bytes.begin(), op.bytes.end(), f.content.begin() + op.offset);
      // O_DSYNC: the data and the length that reaches it are on disk at return.
      f.size = std::max({f.size, end, f.pendingSize});
      break;
    }
    case Op::kSync:
      f.size = std::max(f.size, f.pendingSize);
      break;
    case Op::kSize:
      f.pendingSize = std::max(f.pendingSize, op.offset);
      break;
    case Op::kUnlink:
      f.named = false;
      f.removed = f.nameDurable;
      break;
    case Op::kDirSync:
      break;
  }
}

// Writes the state a model keeps into `dir`; false when it equals one already seen.
bool Materialise(const DiskState& disk, bool posix, const std::string& dir,
                 std::set<std::string>* seen) {
  std::string key = posix ? "p" : "e";
  std::vector<std::pair<int, std::string>> present;
  for (const auto& [name, f] : disk) {
    const bool there = posix ? (f.named && f.nameDurable) || f.removed : f.named;
    if (!there) continue;
    present.emplace_back(f.order, name);
    key += name + ":" + std::to_string(f.size) + ":" + std::to_string(f.content.size()) + ":" +
           std::to_string(std::hash<std::string_view>()(std::string_view(
               reinterpret_cast<const char*>(f.content.data()), f.content.size()))) +
           ";";
  }
  if (!seen->insert(key.substr(1)).second) return false;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  // Last-write times are not durable: here the newest file looks the oldest.
  std::sort(present.begin(), present.end());
  time_t mtime = 1700000000;
  for (const auto& [order, name] : present) {
    const FileState& f = disk.at(name);
    const std::string path = dir + "/" + name;
    WriteBytes(path, std::vector<uint8_t>(
                         f.content.begin(),
                         f.content.begin() +
                             static_cast<ptrdiff_t>(std::min<uint64_t>(f.size, f.content.size()))));
    std::filesystem::resize_file(path, f.size);
    SetWritten(path, mtime--);
  }
  return true;
}

// ---- Frames ----

// The id a frame carries in its first payload bytes: run, then a serial over the runs.
struct FrameId {
  uint32_t run, serial;
  auto operator<=>(const FrameId&) const = default;
};

uint32_t g_serial = 0;

// Frames readable through the index files of `dir`, by data file.
std::map<std::string, std::vector<FrameId>> ReadFrames(const std::string& dir) {
  std::map<std::string, std::vector<FrameId>> frames;
  for (int n = 0; n < kFiles; ++n) {
    const std::string data = dir + "/file" + std::to_string(n) + ".VDB";
    const IndexFileView index = ReadIndexFile(storage::IndexFileName(data));
    if (!index.complete || !std::filesystem::exists(data)) continue;
    for (const StoredRecord& r : ReadRecords(data, index.record.summary.dataBytes)) {
      const std::vector<uint8_t> payload = r.VideoPayload();
      FrameId id{};
      if (payload.size() >= sizeof(id)) std::memcpy(&id, payload.data(), sizeof(id));
      frames[data].push_back(id);
    }
  }
  return frames;
}

std::string Verify(const std::string& dir) {
  std::ostringstream out;
  return dvrtool::CDataSetVerifier(out).VerifyDirectory(dir).problems == 0 ? "" : out.str();
}

// The seconds from `from` on, `count` of them, `step` apart.
std::vector<int64_t> Seconds(int64_t from, int count, int step = 1) {
  std::vector<int64_t> seconds;
  for (int k = 0; k < count; ++k) seconds.push_back(from + int64_t{k} * step);
  return seconds;
}

// One run of recording: the frames of each of `seconds`, on the set's three files; the
// serials the recorder takes in go to `sent` with their second.
void Record(const std::string& dir, const std::vector<int64_t>& seconds, uint32_t run,
            std::map<uint32_t, int64_t>* sent) {
  RECORDER_HANDLE handle = _RECORDER_INIT("cut", 0, nullptr);
  for (int n = 0; n < kFiles; ++n) {
    _RECORDER_ADDFILEPATH(handle, (dir + "/file" + std::to_string(n) + ".VDB").c_str());
  }
  for (uint32_t c = 0; c < kChannels; ++c) _RECORDER_SETRECORD(handle, c, 1);
  g_testNow = seconds.front();
  ASSERT_EQ(_RECORDER_START(handle), 1);
  CRecorder* recorder = CRecorder::FromHandle(handle);
  for (int64_t second : seconds) {
    g_testNow = second;
    for (int i = 0; i < kFramesPerSecond * static_cast<int>(kChannels); ++i) {
      const uint32_t serial = ++g_serial;
      std::vector<uint8_t> payload = Pattern(150 + serial % 200, serial);
      const uint32_t id[2] = {run, serial};
      std::memcpy(payload.data(), id, sizeof(id));
      FrameDescriptor d = VideoFrame(payload, 0, 1, i < static_cast<int>(kChannels));
      if (_RECORDER_WRITEVIDEO(handle, i % kChannels, &d) == 1 && sent != nullptr)
        (*sent)[serial] = second;
    }
    ASSERT_TRUE(WaitUntil([&] { return recorder->WaitForRingsToDrain(0); }));
  }
  _RECORDER_STOP(handle);
  _RECORDER_END(handle);
}

TEST(PowerCutTest, EveryStateACutLeavesVerifiesKeepsTheFramesAndReopensIntoTheOldestFile) {
  const auto began = std::chrono::steady_clock::now();
  ScopedTimeZone utc("UTC");
  ScopedTestClock clock(0);
  ScratchDir scratch;
  const std::string live = scratch / "live", state = scratch / "state";
  std::filesystem::create_directories(live);
  const ScopedDataFileReserve reserve(1 << 16);
  Tracer tracer;
  std::map<uint32_t, int64_t> sent;  // the second run's accepted frames and their times
  size_t secondRun = 0;
  const int64_t midnight = LocalSeconds(2024, 3, 11, 0, 0, 0);
  ScopedTracer traced(&tracer);
  {
    // The first run fills file0 and file1 (a day each); the second makes file2, goes on in it
    // and, at midnight, reuses file0.
    Record(live, Seconds(midnight - 86400 - 20, 40), 1, nullptr);
    // The file prepared for the next rotation (when the closer got to it before STOP) is
    // deleted, as retention might, so the second run makes a file anew too.
    for (const char* name : {"/file2.VDB", "/file2.FIH"}) {
      if (std::filesystem::exists(live + name)) {
        ASSERT_TRUE(platform::DeleteFileIfUnused(live + name)) << name;
      }
    }
    secondRun = tracer.ops.size();
    // One second a minute for 20 minutes first, so the summary's entry in use moves past
    // its first disk sector, then every second across a minute and midnight.
    std::vector<int64_t> seconds = Seconds(midnight - 22 * 60, 20, 60);
    for (int64_t t : Seconds(midnight - 70, 75)) seconds.push_back(t);
    Record(live, seconds, 2, &sent);
  }
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(Verify(live), "");

  std::vector<int64_t> sentSeconds;
  for (const auto& [serial, time] : sent) sentSeconds.push_back(time);
  sentSeconds.erase(std::unique(sentSeconds.begin(), sentSeconds.end()), sentSeconds.end());
  DiskState disk;
  int made = 0;
  for (size_t i = 0; i < secondRun; ++i) Apply(disk, tracer.ops[i], &made);
  std::set<std::string> seen;
  size_t states = 0, cuts = 0, torn = 0;
  // Recorded seconds between the oldest frame a state lacks and its cut, at most.
  int64_t mostLater = 0;
  for (size_t i = secondRun; i <= tracer.ops.size(); ++i) {
    if (i > secondRun) Apply(disk, tracer.ops[i - 1], &made);
    ++cuts;
    const int64_t cutTime = tracer.ops[std::max(i, size_t{1}) - 1].time;
    // The disk as the calls left it, and, when the next call rewrites a summary over several
    // sectors, torn in the middle of that write: only its first sector written, or all but it.
    std::vector<std::pair<std::string, DiskState>> disks{{"", disk}};
    if (i < tracer.ops.size()) {
      const Op& next = tracer.ops[i];
      const uint64_t boundary = (next.offset / 512 + 1) * 512;
      if (next.kind == Op::kWrite && next.name.ends_with(".FIH") &&
          next.offset + next.bytes.size() > boundary) {
        const auto split = next.bytes.begin() + static_cast<ptrdiff_t>(boundary - next.offset);
        for (bool head : {true, false}) {
          Op part(Op::kWrite, next.name, head ? next.offset : boundary,
                  head ? std::vector<uint8_t>(next.bytes.begin(), split)
                       : std::vector<uint8_t>(split, next.bytes.end()));
          disks.emplace_back(head ? ", its next write torn after the first sector"
                                  : ", its next write torn before the first sector",
                             disk);
          Apply(disks.back().second, part, &made);
          ++torn;
        }
      }
    }
    for (const auto& [tearing, cutDisk] : disks)
      for (bool posix : {false, true}) {
        if (!Materialise(cutDisk, posix, state, &seen)) continue;
        ++states;
        SCOPED_TRACE(std::string(posix ? "POSIX" : "ext4") + " state after call " +
                     std::to_string(i - secondRun) + " of the second run" + tearing);
        ASSERT_EQ(Verify(state), "");
        // Frames accepted two seconds or more before the cut are all there.
        std::set<uint32_t> found;
        std::map<std::string, std::pair<uint32_t, uint32_t>> span;  // file: oldest, newest serial
        for (const auto& [file, ids] : ReadFrames(state)) {
          for (FrameId id : ids) {
            if (id.run == 2) found.insert(id.serial);
            auto [it, fresh] = span.try_emplace(file, id.serial, id.serial);
            it->second = {std::min(it->second.first, id.serial),
                          std::max(it->second.second, id.serial)};
          }
        }
        // A second's frames are written when the next second's arrive: a cut may take the
        // frames of the last second sent and of the one before it, no older ones (in the
        // dense part, nothing accepted two seconds or more before the cut).
        for (const auto& [serial, time] : sent) {
          if (found.count(serial) != 0) continue;
          const auto later =
              std::distance(std::upper_bound(sentSeconds.begin(), sentSeconds.end(), time),
                            std::upper_bound(sentSeconds.begin(), sentSeconds.end(), cutTime));
          EXPECT_LT(later, 2) << "frame " << serial << " of " << time << " lost";
          mostLater = std::max<int64_t>(mostLater, later);
        }
        // A new recording goes into the file with the oldest footage, never over newer footage,
        // and leaves nothing for verify either.
        tracer.fast = true;
        Record(state, Seconds(midnight + 3600, 2), 3, nullptr);
        tracer.fast = false;
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(Verify(state), "") << "after the reopen";
        for (const auto& [file, ids] : ReadFrames(state)) {
          if (std::none_of(ids.begin(), ids.end(), [](FrameId id) { return id.run == 3; }))
            continue;
          auto it = span.find(file);
          if (it == span.end()) continue;  // an empty file: nothing overwritten
          for (const auto& [other, range] : span) {
            EXPECT_TRUE(other == file || it->second.second < range.first)
                << file << " was reopened over frames newer than those of " << other;
          }
        }
      }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf(
      "power cuts: %zu cut points and %zu torn summary writes, %zu distinct states, "
      "%zu frames sent; frames missing after a cut at most %lld recorded second(s) before "
      "it; %.1f s\n",
      cuts, torn / 2, states, sent.size(), static_cast<long long>(mostLater), seconds);
}

}  // namespace
