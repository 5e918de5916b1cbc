// The deletion worker: which files a scan removes (with the recorder's odd reading of file
// times as local), what it reports, what it never touches, and how its thread starts, stops
// and ends.
#include "storage/delete_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "support/event_log.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/wait_until.h"

namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kFakeNow = 1700000000;  // 2023-11-14 22:13:20 UTC

using testsupport::WaitUntil;

const RECORDER_HANDLE kOwner = reinterpret_cast<RECORDER_HANDLE>(uintptr_t{0x5A5A0});

// A fresh directory without a dot, a fake wall clock and a chosen time zone.
class DeleteManagerTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_ / name; }

  // Creates a file last written `age` seconds before the fake now (negative: in the future).
  void MakeFile(const std::string& name, int64_t age) {
    testsupport::ScratchDir::WriteText(Path(name), "x");
    SetAge(Path(name), age);
  }
  static void SetAge(const std::string& path, int64_t age) {
    const time_t t = static_cast<time_t>(kFakeNow - age);
    const struct timespec times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }
  std::set<std::string> Left() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path())) {
      names.insert(std::filesystem::relative(e.path(), dir_.path()));
    }
    return names;
  }

  void CreateManager(std::vector<std::string> entries,
                     uint32_t periodMs = CDeleteManager::kDefaultPeriodMs) {
    manager_ = std::make_unique<CDeleteManager>(
        kOwner, [entries = std::move(entries)]() { return entries; }, periodMs);
    manager_->SetCallback(log_.Context(), &testsupport::EventLog::Callback);
  }
  // Retention set without waiting for the worker: its default period is ten minutes.
  void Scan(int32_t days, int32_t hours) {
    manager_->Start(days, hours);
    manager_->RunDeletionScan();
  }

  // The deleted paths reported; a report with other arguments than the recorder, the
  // deleted-file event, status 0 and the path with its length shows as "bad".
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const testsupport::RecorderEvent& e : log_.Events()) {
      const bool good = e.recorder == kOwner && e.code == RECORDER_EVENT_FILE_DELETED &&
                        e.status == 0 && e.path.find('\0') == std::string::npos;
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

// --- Retention, in a zone without offset and in one eight hours east of UTC --------------

// Zone, and how much older every file looks to the scan there.
class RetentionTest : public DeleteManagerTest,
                      public ::testing::WithParamInterface<std::pair<const char*, int64_t>> {
 protected:
  testsupport::ScopedTimeZone zone_{GetParam().first};
};

// Two days twelve hours, with the entry written the Windows way (the scan normalises it),
// then zero, which deletes every data file at least one second old.
TEST_P(RetentionTest, DataFilesOlderThanTheRetentionGoWithTheirIndex) {
  const int64_t shift = GetParam().second;
  MakeFile("keep.VDB", 60 * kHour - shift);
  MakeFile("gone.VDB", 60 * kHour - shift + 1);
  MakeFile("0001.VDB", 1 - shift);
  MakeFile("0001.FIH", 1 - shift);
  MakeFile("0002.VDB", -shift);  // looks written this very second: kept
  MakeFile("0002.FIH", 100 * kHour);
  MakeFile("0003.VDB", 10 * kHour);
  MakeFile("0003.FIH", -shift);  // the index goes with its data file whatever its age
  MakeFile("notes.txt", 100 * kHour);
  std::string entry = dir_.root() + "/";
  std::replace(entry.begin(), entry.end(), '/', '\\');
  CreateManager({entry});
  Scan(2, 12);
  EXPECT_EQ(Paths(), std::vector<std::string>{Path("gone.VDB")});
  CreateManager({dir_.root()});
  Scan(0, 0);
  EXPECT_EQ(Paths(),
            (std::vector<std::string>{Path("gone.VDB"), Path("0001.VDB"), Path("0001.FIH"),
                                      Path("0003.VDB"), Path("0003.FIH"), Path("keep.VDB")}));
  EXPECT_EQ(Left(), (std::set<std::string>{"0002.VDB", "0002.FIH", "notes.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Zones, RetentionTest,
                         ::testing::Values(std::pair("UTC", 0),
                                           std::pair("Asia/Shanghai", 8 * kHour)));

// --- Candidates and deletion ---------------------------------------------------------------

TEST_F(DeleteManagerTest, ScansThatMustDeleteNothing) {
  // Never candidates: a directory named like a data file, nor its index; other suffixes.
  std::filesystem::create_directories(Path("sub/x.VDB"));
  testsupport::ScratchDir::WriteText(Path("sub/x.VDB/inner"), "y");
  const std::vector<std::string> files = {"sub/x.FIH", "sub/lower.vdb", "sub/a.VDBX", "new.VDB"};
  for (const std::string& name : files) MakeFile(name, kHour);
  SetAge(Path("sub/x.VDB"), 100 * kHour);
  MakeFile("old.VDB", 30LL * 365 * 24 * kHour);
  // Empty, a missing directory, a data file in a missing directory.
  const std::string root = dir_.root();
  CreateManager({"", root + "/missing/", root + "/missing/new.VDB", Path("sub")});
  Scan(0, 0);
  // A retention of thirty years and more does not wrap round to a short one.
  CreateManager({root});
  Scan(INT32_MAX, INT32_MAX);
  EXPECT_EQ(Left().size(), 8u);  // sub, sub/x.VDB, its inner file, the four files, old.VDB
  EXPECT_TRUE(Paths().empty());
}

// A data file held open is skipped with its index and stays a candidate; an index held open
// is skipped without an event while its data file goes. An entry naming a data file scans
// its directory, and a dotted name keeps its own index (b.FIH is not that of b.day1.VDB).
TEST_F(DeleteManagerTest, FilesHeldOpenAreSkipped) {
  for (const char* name : {"b.day1.VDB", "b.day1.FIH", "b.FIH", "0005.VDB", "0005.FIH"}) {
    MakeFile(name, kHour);
  }
  CreateManager({Path("b.day1.VDB"), Path("other.VDB")});
  {
    auto heldData = platform::File::Open(Path("b.day1.VDB"), platform::File::Mode::kOpenExisting,
                                         /*writeThrough=*/false);
    auto heldIndex = platform::File::OpenReadOnly(Path("0005.FIH"));
    ASSERT_TRUE(heldData != nullptr && heldIndex != nullptr);
    Scan(0, 0);
    EXPECT_EQ(Left(), (std::set<std::string>{"b.day1.VDB", "b.day1.FIH", "b.FIH", "0005.FIH"}));
    EXPECT_EQ(Paths(), std::vector<std::string>{Path("0005.VDB")});
  }
  manager_->RunDeletionScan();
  EXPECT_EQ(Paths(),
            (std::vector<std::string>{Path("0005.VDB"), Path("b.day1.VDB"), Path("b.day1.FIH")}));
  MakeFile("0006.VDB", kHour);  // without a callback files go quietly
  manager_->SetCallback(0, nullptr);
  manager_->RunDeletionScan();
  EXPECT_EQ(Left(), (std::set<std::string>{"0005.FIH", "b.FIH"}));
  EXPECT_EQ(Paths().size(), 3u);
}

// --- The worker thread ---------------------------------------------------------------------

TEST_F(DeleteManagerTest, WorkerScansEveryPeriodWhileEnabledAndStopEndsTheScans) {
  MakeFile("0001.VDB", kHour);
  CreateManager({dir_.root()}, /*periodMs=*/20);
  // Not enabled yet: no scan happens.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(manager_->CompletedScans(), 0u);

  manager_->Start(0, 0);
  ASSERT_TRUE(WaitUntil([&] { return Paths() == std::vector<std::string>{Path("0001.VDB")}; }));
  const uint64_t before = manager_->CompletedScans();
  ASSERT_TRUE(WaitUntil([&] { return manager_->CompletedScans() >= before + 3; }));

  manager_->Stop();
  const uint64_t atStop = manager_->CompletedScans();
  // A period already being waited may still end in one scan; nothing after that. Enough
  // time for dozens of periods if Stop did not stop the loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(manager_->CompletedScans(), atStop + 1);
  manager_->Start(0, 0);
  const uint64_t restarted = manager_->CompletedScans();
  EXPECT_TRUE(WaitUntil([&] { return manager_->CompletedScans() > restarted; }));
}

TEST_F(DeleteManagerTest, DestructionIsQuickWhetherIdleOrInTheTenMinuteWait) {
  for (bool started : {false, true}) {
    CreateManager({dir_.root()});
    if (started) {
      manager_->Start(0, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it enter the wait
    }
    const auto begin = std::chrono::steady_clock::now();
    manager_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1)) << started;
  }
}

}  // namespace
