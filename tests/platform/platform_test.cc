// The platform layer under the recorder. Files: positioned reads and writes under injected
// faults, the shared lock that keeps the deletion worker off open files, the path helpers
// that take the host's Windows-style paths and the catalogue's temporary mappings. Threads:
// events and semaphores against a reference without threads, the wake-ups and bounded joins
// the recorder relies on. Time: the clocks tests replace, and the local-time conversions
// behind every stamp, file time and day table, in UTC, in Shanghai (UTC+8, no daylight
// saving) and in Berlin (both changes of the clock), and against localtime_r in zones with
// half-hour and odd offsets.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "platform/semaphore.h"
#include "platform/syscall_faults.h"
#include "platform/syscalls.h"
#include "platform/temp_mapping.h"
#include "platform/thread.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/test_seed.h"
#include "support/wait_until.h"

namespace platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testsupport::TestSeed;
using Call = ScopedSyscallFault::Call;
constexpr uint32_t kLongWaitMs = 30000;

std::string Failure(const char* operation, const std::string& path, int error) {
  return std::string(operation) + " " + path + ": " + std::strerror(error);
}

// Unlinks the file right after opening it, as a deletion racing the open would.
int OpenThenUnlink(const char* path, int flags, mode_t mode) {
  const int fd = RealSyscalls().open(path, flags, mode);
  if (fd >= 0) ::unlink(path);
  return fd;
}

// Random positioned writes, cut short, interrupted or failing on the way, and random reads,
// against a string that holds what the file should: a write either writes its whole block or
// reports why, keeping the bytes the system did write; a read gets exactly its bytes or says
// where the file ended.
TEST(FileTest, PositionedReadsAndWritesUnderFaultsMatchAReferenceAndOpenFilesStay) {
  testsupport::ScratchDir dir;
  const std::string path = dir / "0001.VDB";
  std::mt19937 random(TestSeed());
  auto file = File::Open(path, File::Mode::kOpenOrCreate, /*writeThrough=*/true);
  ASSERT_NE(file, nullptr);
  std::string model;
  for (int step = 0; step < 300; ++step) {
    SCOPED_TRACE(testing::Message() << "seed " << TestSeed() << " step " << step);
    const uint64_t offset = random() % 3000, length = random() % 2000;
    std::string block(length, ' ');
    for (uint64_t i = 0; i < length; ++i) block[i] = static_cast<char>('a' + (step + i) % 26);
    // The first `cut` write calls write at most `most` bytes, later ones fail with `error` (0:
    // they write nothing); EINTR interrupts the first `cut` calls instead.
    const uint64_t most = 1 + random() % 700;
    const int cut = static_cast<int>(random() % 5),
              error = (int[]){0, ENOSPC, EIO, EINTR}[random() % 4];
    const uint64_t needed = std::max<uint64_t>(1, (length + most - 1) / most);
    const bool whole = error == EINTR || needed <= static_cast<uint64_t>(cut);
    const uint64_t kept = whole ? length : most * cut;
    std::optional<ScopedSyscallFault> fault;
    fault.emplace(error == EINTR ? ScopedSyscallFault(Call::kWrite, EINTR, 0, cut)
                                 : ScopedSyscallFault::ShortWritesThenFail(most, cut, error));
    const Status status = file->WriteAt(offset, block.data(), length);
    fault.reset();
    EXPECT_EQ(status.ToString(), whole ? "ok" : Failure("write", path, error ? error : ENOSPC));
    if (kept > 0) model.resize(std::max<uint64_t>(model.size(), offset + kept), '\0');
    if (kept > 0) model.replace(offset, kept, block, 0, kept);

    const uint64_t at = random() % 5200, count = random() % 700;
    std::string got(count, '?');
    uint64_t n = 99;
    const Status read = file->ReadAt(at, got.data(), count, &n);
    const uint64_t expected = at >= model.size() ? 0 : std::min(count, model.size() - at);
    EXPECT_EQ(std::make_tuple(read.error(), read.IsEndOfFile(), n),
              std::make_tuple(0, expected < count, expected));
    EXPECT_EQ(got.substr(0, std::min(n, count)),
              model.substr(std::min<uint64_t>(at, model.size()), expected));
  }
  EXPECT_EQ(file->Size(), static_cast<int64_t>(model.size()));
  EXPECT_EQ(file->ReadAt(0, nullptr, 8).ToString(), Failure("read", path, EINVAL));
  // Length, reservation and flush report their failures too; a file system that cannot
  // reserve gets a sparse file of the size instead.
  {
    ScopedSyscallFault cannot(Call::kFallocate, EOPNOTSUPP);
    EXPECT_TRUE(file->SetLength(5).ok() && file->Reserve(4096).ok() && file->Size() == 4096);
  }
  ScopedSyscallFault full(Call::kFallocate, ENOSPC);
  EXPECT_EQ(file->Reserve(8192).ToString(), Failure("reserve", path, ENOSPC));
  ScopedSyscallFault flushFault(Call::kFsync, EIO);
  EXPECT_EQ(file->Flush().ToString(), Failure("flush", path, EIO));
  // Open files are never deleted; a file unlinked while it is being opened is not opened.
  file.reset();
  Status status;
  for (const bool readOnly : {false, true}) {
    auto held =
        readOnly ? File::OpenReadOnly(path) : File::Open(path, File::Mode::kOpenOrCreate, false);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(DeleteFileIfUnused(path));
  }
  EXPECT_TRUE(IsRegularFile(path) && DeleteFileIfUnused(path));
  EXPECT_FALSE(DeleteFileIfUnused(path) || std::filesystem::exists(path));
  testsupport::ScratchDir::WriteText(path, "x");
  SetSyscall(&Syscalls::open, &OpenThenUnlink);
  EXPECT_EQ(File::Open(path, File::Mode::kOpenExisting, true, &status), nullptr);
  RestoreSyscalls();
  EXPECT_EQ(std::make_pair(errno, status.error()), std::make_pair(ENOENT, ENOENT));
}

TEST(PathsTest, SplitAndNormalizeHostPaths) {
  // input, NormalizeDirectory, FileTitleOf, DirectoryOf
  const char* const cases[][4] = {
      {"D:\\rec\\file0001.VDB", "D:/rec/file0001.VDB/", "file0001", "D:/rec/"},
      {"D:\\rec\\", "D:/rec/", "", "D:/rec/"},
      {"", "", "", ""},
      {"\\\\server\\share/x.VDB", "//server/share/x.VDB/", "x", "//server/share/"},
      {"1:/rec/a.VDB", "1:/rec/a.VDB/", "a", "1:/rec/"},
      {"/data/v1.2/file0001", "/data/v1.2/file0001/", "file0001", "/data/v1.2/"}};
  for (const auto& c : cases) {
    EXPECT_EQ(std::make_tuple(NormalizeDirectory(c[0]), FileTitleOf(c[0]), DirectoryOf(c[0])),
              std::make_tuple(c[1], c[2], c[3]))
        << c[0];
  }
}

// With O_TMPFILE and with the named fallback (its first open refused, as on a file system
// without O_TMPFILE) a mapping is zero-filled, writable and never named in
// the temporary directory. (The catalogue's tests check that closing releases it and that a
// failed mapping leaves nothing.)
TEST(TempMappingTest, MappingsAreZeroFilledWritableOwnFilesAndNeverNamed) {
  testsupport::ScratchDir dir;
  testsupport::ScopedEnv tmp("TMPDIR", dir.root());
  for (const int openError : {0, EOPNOTSUPP}) {
    ScopedSyscallFault noTmpfile(Call::kOpen, openError, 0, openError != 0 ? 1 : 0);
    auto mapping = TempMapping::Create(100000);
    ASSERT_TRUE(mapping);
    mapping->data()[5] = 0x5A;
    EXPECT_EQ(std::make_tuple(mapping->data()[0] + mapping->data()[99999], mapping->data()[5],
                              mapping->size(), noTmpfile.faults()),
              std::make_tuple(0, 0x5A, 100000u, openError != 0 ? 1 : 0));
    EXPECT_TRUE(std::filesystem::is_empty(dir.root()));
  }
}

// Random Set, Reset, Wait(0) and WaitAny(0) on an auto-reset and a manual-reset event, Release
// and Acquire(0) on a semaphore of at most 5, against what each should hold.
TEST(SyncModelTest, EventsAndSemaphoreHoldWhatAReferenceSays) {
  std::mt19937 random(TestSeed());  // RECORDER_TEST_SEED picks another sequence
  Event events[2] = {Event(/*manualReset=*/false, true), Event(/*manualReset=*/true, false)};
  bool set[2] = {true, false};
  Semaphore semaphore(9, 5);  // an initial count above the maximum is cut to it
  int32_t count = 5;
  for (int step = 0; step < 4000; ++step) {
    const int e = static_cast<int>(random() % 2), op = static_cast<int>(random() % 6);
    if (op <= 1) {
      op == 0 ? events[e].Set() : events[e].Reset();
      set[e] = op == 0;
    } else if (op == 2) {  // a wait consumes the signal of the auto-reset event only
      ASSERT_EQ(events[e].Wait(0), set[e]) << step;
      set[0] = set[0] && e != 0;
    } else if (op == 3) {  // the first signalled event wins; the other keeps its signal
      const int first = set[0] ? 0 : (set[1] ? 1 : -1);
      ASSERT_EQ(WaitAny(events[0], events[1], 0), first) << step;
      set[0] = set[0] && first != 0;
    } else if (op == 4) {  // beyond the maximum nothing changes
      const int32_t n = static_cast<int32_t>(random() % 4);
      const bool fits = n > 0 && count + n <= 5;
      ASSERT_EQ(semaphore.Release(n), fits) << step;
      count += fits ? n : 0;
    } else {
      ASSERT_EQ(semaphore.Acquire(0), count > 0) << step;
      count -= count > 0 ? 1 : 0;
    }
    ASSERT_EQ(std::make_tuple(events[0].IsSet(), events[1].IsSet(), semaphore.Count()),
              std::make_tuple(set[0], set[1], count))
        << step;
  }
}

// A plain wait and a WaitAny on one event: a Set of an auto-reset event ends exactly one of
// them, a Set of a manual-reset event both, and it stays set. An untimed Acquire sleeps until a
// unit comes; timed waits with nothing coming end after their bound.
TEST(WakeUpTest, SetsAndReleasesEndTheRightWaitsAndTimedWaitsEndAfterTheirBound) {
  for (const bool manual : {false, true}) {
    Event event(manual, false), other(false, false);
    Semaphore semaphore(0, 2);
    std::atomic<int> ended{0};
    const auto wait = [&](bool any) {
      if (any ? WaitAny(other, event, kLongWaitMs) == 1 : event.Wait(kLongWaitMs)) ++ended;
      if (semaphore.Acquire(kInfinite)) ++ended;
    };
    const auto start = steady_clock::now();
    std::thread first(wait, true), second(wait, false);
    std::this_thread::sleep_for(milliseconds(50));  // most likely both asleep; either way
    event.Set();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return ended.load() >= 1; }));
    std::this_thread::sleep_for(milliseconds(50));  // a second wait ended by it shows here
    EXPECT_EQ(ended.load(), manual ? 2 : 1);
    if (!manual) event.Set();
    // Two units at once must wake both sleepers, one at a time each of them.
    EXPECT_TRUE(manual ? semaphore.Release(2) : semaphore.Release(1) && semaphore.Release(1));
    first.join();
    second.join();
    EXPECT_EQ(std::make_tuple(ended.load(), event.IsSet(), semaphore.Count()),
              std::make_tuple(4, manual, 0));
    EXPECT_FALSE(manual ? semaphore.Acquire(80) : other.Wait(80) || WaitAny(event, other, 80) >= 0);
    const auto waited = steady_clock::now() - start;
    // Two naps of 50 ms and timed waits of 80 ms; a lost wake-up would cost 30 s (or the
    // test's time-out, for the untimed Acquire).
    EXPECT_TRUE(waited >= milliseconds(manual ? 175 : 255) && waited < std::chrono::seconds(20));
  }
}

TEST(ThreadTest, BoundedJoinAbandonsAThreadThatDoesNotEnd) {
  // The body owns its event through a shared_ptr, so it stays safe after being abandoned.
  auto release = std::make_shared<Event>(true, false);
  auto stuck = Thread::Start([release] { release->Wait(kInfinite); });
  EXPECT_FALSE(stuck->Join(150) || stuck->Finished() || stuck->Join(0));
  stuck.reset();  // does not block: the thread was abandoned
  release->Set();
  // A body that throws ends its thread, not the process.
  auto throwing = Thread::Start([] { throw std::runtime_error("worker failed"); });
  EXPECT_TRUE(throwing && throwing->Join(30000) && throwing->Finished() && throwing->Join(0));
}

std::vector<int> Fields(const LocalFields& f) {
  return {f.year, f.month, f.day, f.hour, f.minute, f.second};
}

// Local fields as the zone gives them, whatever was converted before: instants around the
// clock changes of zones with whole-hour, half-hour and odd offsets, in random order, each
// against localtime_r, with the zone switched between conversions.
TEST(LocalTimeTest, LocalFieldsAreTheZonesWhateverWasConvertedBefore) {
  const unsigned seed = TestSeed(99);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  // Zones, and instants near their changes in 2024 (Lord Howe moves by half an hour at 2:00
  // local, which is no whole UTC hour; Kathmandu is 5:45 ahead).
  const char* zones[] = {"UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe",
                         "Asia/Kathmandu"};
  const int32_t changes[] = {1711846800, 1729990800, 1710054000, 1730613600,
                             1712415600, 1728142200, 1704067200};
  for (int n = 0; n < 4000; ++n) {
    const char* zone = zones[rng() % std::size(zones)];
    testsupport::ScopedTimeZone tz(zone);
    // A few conversions in a row in one zone, near one change.
    const int32_t change = changes[rng() % std::size(changes)];
    for (int k = 0; k < 3; ++k) {
      const time_t t = change - 7200 + int32_t(rng() % 14400);
      struct tm f {};
      tzset();
      localtime_r(&t, &f);
      const LocalFields got = CTime(static_cast<int32_t>(t)).Local();
      ASSERT_EQ(std::make_pair(Fields(got), got.isDst),
                std::make_pair(std::vector<int>{f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
                                                f.tm_hour, f.tm_min, f.tm_sec},
                               f.tm_isdst))
          << zone << " at " << t;
    }
  }
}

TEST(LocalTimeTest, FieldsMakeTheInstantAndComeBack) {
  const char* const zones[] = {"UTC", "Asia/Shanghai", "Europe/Berlin"};
  // Zone; local fields and DST flag given to FromLocal; the instant; the fields Local() shows
  // for it; its local midnight.
  const int64_t cases[][16] = {
      // Times are unsigned: past the last signed second (2038-01-19 03:14:07 UTC) up to
      // 2106-02-07 06:28:15 UTC; after that the no-time value, local 2000-01-01 00:00:00.
      {0, 2038, 1, 19, 3, 14, 7, -1, INT32_MAX, 2038, 1, 19, 3, 14, 7, 2147472000},
      {0, 2040, 1, 1, 0, 0, 0, -1, 2208988800, 2040, 1, 1, 0, 0, 0, 2208988800},
      {0, 2106, 2, 7, 6, 28, 15, -1, UINT32_MAX, 2106, 2, 7, 6, 28, 15, 4294944000},
      {0, 2106, 2, 7, 6, 28, 16, -1, 946684800, 2000, 1, 1, 0, 0, 0, 946684800},
      // An hour of 30 runs into the next day.
      {1, 2024, 1, 15, 30, 0, 0, -1, 1705356000, 2024, 1, 16, 6, 0, 0, 1705334400},
      // 02:30 of the spring change does not exist: as standard time it is 03:30 summer time.
      {2, 2024, 3, 31, 2, 30, 0, 0, 1711848600, 2024, 3, 31, 3, 30, 0, 1711839600},
      {2, 2024, 3, 30, 30, 0, 0, -1, 1711857600, 2024, 3, 31, 6, 0, 0, 1711839600},
      // 02:30 of the autumn change exists twice: the flag picks the summer or the winter one.
      {2, 2024, 10, 27, 2, 30, 0, 1, 1729989000, 2024, 10, 27, 2, 30, 0, 1729980000},
      {2, 2024, 10, 27, 2, 30, 0, 0, 1729992600, 2024, 10, 27, 2, 30, 0, 1729980000}};
  for (const auto& c : cases) {
    testsupport::ScopedTimeZone zone(zones[c[0]]);
    const CTime t = CTime::FromLocal(c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    const LocalFields f = t.Local();
    EXPECT_EQ(std::make_tuple(t.seconds(), Fields(f), t.LocalMidnight().seconds()),
              std::make_tuple(c[8], std::vector<int>(c + 9, c + 15), c[15]))
        << zones[c[0]] << " " << c[1] << "-" << c[2] << "-" << c[3] << " " << c[4] << ":" << c[5];
    // Rebuilt with the flag localtime gave, the fields name the same instant.
    EXPECT_EQ(CTime::FromLocal(f.year, f.month, f.day, f.hour, f.minute, f.second, f.isDst), t);
  }
  testsupport::ScopedTimeZone zone("Asia/Shanghai");  // 2024-01-15 12:00:00 UTC read as local
  EXPECT_EQ(CTime::FromUtcFieldsAsLocal(1705320000).seconds(), 1705320000 - 8 * 3600);
  EXPECT_EQ(CTime::FromUtcFieldsAsLocal(int64_t{1} << 40), CTime::NoTime());
}

std::atomic<int64_t> g_now{0};

// What intake stamps on a frame: the local fields of the current second and the instant
// rebuilt from them, converted once per second and zone on each thread. A change of zone
// within the second is seen by this thread, which converted the second before it, and by a
// thread that has converted nothing yet.
TEST(LocalStampTest, StampsFollowTheSecondAndTheZoneOnEveryThread) {
  SetNowSecondsForTest([] { return g_now.load(); });
  g_now = 1700000000;  // 2023-11-14 22:13:20 UTC
  for (const char* name : {"Asia/Shanghai", "UTC", "Asia/Shanghai"}) {
    testsupport::ScopedTimeZone zone(name);
    int hour = -1;
    std::thread([&hour] { hour = NowLocalStamp().fields.hour; }).join();
    const int expected = name[0] == 'U' ? 22 : 6;
    EXPECT_EQ(std::make_pair(hour, NowLocalStamp().fields.hour),
              std::make_pair(expected, expected));
  }
  // The second pass through the repeated autumn hour keeps its own instant; the next second
  // is converted afresh.
  testsupport::ScopedTimeZone zone("Europe/Berlin");
  g_now = int64_t{1} << 33;  // beyond 2106: no time
  EXPECT_EQ(CTime::Now(), CTime::NoTime());
  g_now = 1729992600;  // 2024-10-27 01:30 UTC, the second 02:30 in Berlin
  EXPECT_EQ(std::make_pair(NowLocalStamp().time.seconds(), Fields(NowLocalStamp().fields)),
            std::make_pair(1729992600u, std::vector<int>{2024, 10, 27, 2, 30, 0}));
  SetNowSecondsForTest(nullptr);
}

}  // namespace
}  // namespace platform
