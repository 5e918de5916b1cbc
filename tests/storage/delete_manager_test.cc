// The deletion worker: which files a scan removes (with the recorder's odd reading of file
// times as local), what it reports, what it never touches, and how its thread starts, stops
// and ends.
#include "storage/delete_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "storage/recent_recordings.h"
#include "support/event_log.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace {

using Names = std::vector<std::string>;

constexpr int64_t kHour = 3600;
constexpr int64_t kFakeNow = 1700000000;  // 2023-11-14 22:13:20 UTC
const RECORDER_HANDLE kOwner = reinterpret_cast<RECORDER_HANDLE>(uintptr_t{0x5A5A0});

// A fresh directory without a dot, a fake wall clock and a chosen time zone.
class DeleteManagerTest : public ::testing::TestWithParam<std::pair<const char*, int64_t>> {
 protected:
  std::string Path(const std::string& name) const { return dir_ / name; }
  // A file (a directory when the name ends in '/') last written `age` seconds before the
  // fake now (negative: in the future).
  void Make(const std::string& name, int64_t age) {
    if (name.back() == '/') std::filesystem::create_directories(Path(name));
    testsupport::SetWritten(Path(name), static_cast<time_t>(kFakeNow - age));
  }
  // A new worker over `entries`, with retention set but its thread not waited for (its
  // default period is ten minutes); with `days` >= 0 it scans once at once.
  void Scan(Names entries, int32_t days, int32_t hours = 0,
            uint32_t periodMs = CDeleteManager::kDefaultPeriodMs) {
    manager_ = std::make_unique<CDeleteManager>(
        kOwner, [entries = std::move(entries)]() { return entries; }, periodMs);
    manager_->SetCallback(log_.Context(), &testsupport::EventLog::Callback);
    if (days < 0) return;
    manager_->Start(days, hours);
    manager_->RunDeletionScan();
  }
  // The paths of the deleted-file reports with status 0 from the recorder (each with its
  // length); any other report shows as "bad".
  Names Paths() {
    Names paths;
    for (const testsupport::RecorderEvent& e : log_.Events()) {
      const bool good = e.recorder == kOwner && e.code == RECORDER_EVENT_FILE_DELETED && !e.status;
      paths.push_back(good ? e.path : "bad");
    }
    return paths;
  }

  testsupport::ScratchDir dir_;
  testsupport::ScopedTimeZone utc_{"UTC"};
  testsupport::ScopedTestClock clock_{kFakeNow};
  testsupport::EventLog log_;
  std::unique_ptr<CDeleteManager> manager_;
};

// Retention in a zone without offset and in one eight hours east of UTC, where every file
// looks that much older to the scan: thirty years (262800 hours) and more does not wrap round to a
// short retention; two days twelve hours, with the entry written the Windows way (the scan
// normalises it); then zero, which deletes every data file at least one second old with its
// index whatever the index's age. Never candidates: a directory named like a data file, nor
// its index; other suffixes; files under empty or missing entries. An index held open is
// skipped without an event while its data file goes, and a dotted name keeps its own index
// (b.FIH is not that of b.day1.VDB). Without a callback files go quietly.
TEST_P(DeleteManagerTest, DataFilesOlderThanTheRetentionGoWithTheirIndex) {
  testsupport::ScopedTimeZone zone(GetParam().first);
  const int64_t shift = GetParam().second;
  // Name (a directory when it ends in '/'), then how many hours and seconds old it looks.
  const std::vector<std::tuple<std::string, int64_t, int64_t>> files = {
      {"keep.VDB", 60, 0},     {"gone.VDB", 60, 1},   {"0001.VDB", 0, 1},     {"0001.FIH", 0, 1},
      {"0002.VDB", 0, 0},      {"0002.FIH", 100, 0},  {"0003.VDB", 10, 0},    {"0003.FIH", 0, 0},
      {"old.VDB", 262800, 0},  {"notes.txt", 100, 0}, {"sub/x.VDB/", 100, 0}, {"sub/x.FIH", 1, 0},
      {"sub/lower.vdb", 1, 0}, {"sub/a.VDBX", 1, 0},  {"b.day1.VDB", 1, 0},   {"b.day1.FIH", 1, 0},
      {"b.FIH", 1, 0}};
  for (const auto& [name, hours, seconds] : files) Make(name, hours * kHour + seconds - shift);
  std::string entry = dir_.path();
  std::replace(entry.begin(), entry.end(), '/', '\\');
  Scan({dir_.root()}, INT32_MAX, INT32_MAX);
  Scan({entry}, 2, 12);
  EXPECT_EQ(Paths(), (Names{Path("gone.VDB"), Path("old.VDB")}));
  {
    auto heldIndex = platform::File::OpenReadOnly(Path("0001.FIH"));
    ASSERT_NE(heldIndex, nullptr);
    Scan({"", Path("missing/"), Path("missing/new.VDB"), Path("sub"), dir_.root()}, 0);
  }
  EXPECT_EQ(Paths(),
            (Names{Path("gone.VDB"), Path("old.VDB"), Path("0001.VDB"), Path("0003.VDB"),
                   Path("0003.FIH"), Path("b.day1.VDB"), Path("b.day1.FIH"), Path("keep.VDB")}));
  Make("0004.VDB", kHour);
  manager_->SetCallback(0, nullptr);
  manager_->RunDeletionScan();
  EXPECT_EQ(Paths().size(), 8u) << "reported without a callback";
  std::set<std::string> left;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path()))
    left.insert(std::filesystem::relative(e.path(), dir_.path()));
  EXPECT_EQ(left, (std::set<std::string>{"0001.FIH", "0002.VDB", "0002.FIH", "notes.txt", "sub",
                                         "sub/x.VDB", "sub/x.FIH", "sub/lower.vdb", "sub/a.VDBX",
                                         "b.FIH"}));
}

// Someone who can write the directory plants a link to a file outside (also a dangling one), a
// hard link to one and a FIFO, all named like data files and older than the retention: none
// is followed, opened or deleted, and the scan goes on past them to the real old file.
TEST_F(DeleteManagerTest, LinksAndFifosAreNeverFollowedOrDeletedAndTheScanGoesOn) {
  testsupport::ScratchDir outside;
  const std::string victim = outside / "victim.VDB", hard = outside / "hard.VDB";
  Make("old.VDB", kHour);
  for (const std::string& f : {victim, hard, outside / "victim.FIH"}) {
    testsupport::WriteBytes(f, {1, 2, 3});
  }
  ASSERT_EQ(::symlink(victim.c_str(), Path("link.VDB").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "victim.FIH").c_str(), Path("old.FIH").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "none").c_str(), Path("dangling.VDB").c_str()), 0);
  ASSERT_EQ(::link(hard.c_str(), Path("hard.VDB").c_str()), 0);
  ASSERT_EQ(::mkfifo(Path("fifo.VDB").c_str(), 0600), 0);
  for (const char* name : {"hard.VDB", "fifo.VDB"}) Make(name, kHour);
  Scan({dir_.root()}, -1);  // made here, scanned on a thread of its own
  std::thread scan([&] {
    manager_->Start(0, 0);
    manager_->RunDeletionScan();
  });
  // A scan stuck opening the FIFO is let go by a writer, so the test ends either way.
  if (!testsupport::WaitUntil([&] { return manager_->CompletedScans() == 1; })) {
    ::close(::open(Path("fifo.VDB").c_str(), O_WRONLY | O_NONBLOCK));
    ADD_FAILURE() << "the scan blocked on the FIFO";
  }
  scan.join();
  EXPECT_EQ(Paths(), Names{Path("old.VDB")});
  for (const std::string& f : {victim, hard, outside / "victim.FIH"}) {
    EXPECT_EQ(testsupport::ReadBytes(f), (std::vector<uint8_t>{1, 2, 3})) << f;
  }
  for (const char* name : {"link.VDB", "old.FIH", "dangling.VDB", "hard.VDB", "fifo.VDB"}) {
    EXPECT_TRUE(std::filesystem::is_symlink(Path(name)) || std::filesystem::exists(Path(name)))
        << name;
  }
}

// The wall clock set forward by days (or a boot at 2000 corrected later) must not make fresh
// footage look old. A file this process recorded into within the period of elapsed time
// stays, however old its last-write time looks, until that much elapsed time has passed. A
// file numbered later in the set than another is at least as recent as that one's last write
// (a file counts as recorded into only under the name it was recorded under):
// "boot" (numbered 3, stamped 2000) stays while "before" (numbered 2) is recent; an unnumbered
// file, or a set whose older files are old too, goes by its own time.
TEST_F(DeleteManagerTest, RetentionCountsElapsedTimeAndTheSetsOwnOrderNotJustTheClock) {
  static std::atomic<double> perf{1000};
  platform::SetPerfSecondsForTest([] { return perf.load(); });
  const auto numbered = [&](const std::string& title, uint32_t sequence, int64_t age) {
    Make(title + ".VDB", age);
    testsupport::WriteIndexFile(Path(title + ".FIH"), {}, 1, sequence);
    Make(title + ".FIH", age);
  };
  numbered("fresh", 0, 30 * 24 * kHour);
  numbered("before", 2, kHour);
  numbered("boot", 3, 24 * 365 * 30 * kHour);
  numbered("stale1", 1, 50 * kHour);
  numbered("plain", 0, 50 * kHour);
  auto fresh = platform::File::OpenReadOnly(Path("fresh.VDB"));
  ASSERT_NE(fresh, nullptr);
  storage::NoteRecordedInto(fresh->id(), fresh->path());
  fresh.reset();
  // "plain" holds the inode of a file recorded into and deleted behind the recorder's back:
  // another name, so not our footage.
  auto plain = platform::File::OpenReadOnly(Path("plain.VDB"));
  ASSERT_NE(plain, nullptr);
  storage::NoteRecordedInto(plain->id(), Path("removed.VDB"));
  plain.reset();
  perf = 1000 + 23 * kHour;
  Scan({dir_.root()}, 1);
  EXPECT_EQ(Paths(),
            (Names{Path("plain.VDB"), Path("plain.FIH"), Path("stale1.VDB"), Path("stale1.FIH")}));
  perf = 1000 + 25 * kHour;
  Make("before.VDB", 2 * 24 * kHour);
  Make("before.FIH", 2 * 24 * kHour);
  manager_->RunDeletionScan();
  EXPECT_EQ(Paths().size(), 10u) << "fresh, before and boot are old now";
  platform::SetPerfSecondsForTest(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Zones, DeleteManagerTest,
                         ::testing::Values(std::pair("UTC", 0),
                                           std::pair("Asia/Shanghai", 8 * kHour)));

// The worker scans every period only while enabled; Stop ends the scans and Start resumes
// them; destruction is quick in the ten-minute wait.
TEST_F(DeleteManagerTest, WorkerScansEveryPeriodWhileEnabledAndEndsQuickly) {
  Make("0001.VDB", kHour);
  Scan({dir_.root()}, -1, 0, /*periodMs=*/20);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(manager_->CompletedScans(), 0u) << "scanned before it was enabled";
  manager_->Start(0, 0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return manager_->CompletedScans() >= 3; }));
  EXPECT_EQ(Paths(), Names{Path("0001.VDB")});
  manager_->Stop();
  const uint64_t atStop = manager_->CompletedScans();
  // A period already being waited may still end in one scan; nothing after that. Enough
  // time for dozens of periods if Stop did not stop the loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(manager_->CompletedScans(), atStop + 1);
  manager_->Start(0, 0);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return manager_->CompletedScans() > atStop + 1; }));
  Scan({dir_.root()}, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it enter the wait
  const auto begin = std::chrono::steady_clock::now();
  manager_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
}

}  // namespace
