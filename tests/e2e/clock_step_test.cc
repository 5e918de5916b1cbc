// The wall clock moved under a running recording: set back an hour or a day, forward three
// days, or a boot with a dead real-time clock at 2000-01-01 corrected to today. Every frame
// must be on disk and shown by the date and day tables at its own time at once, dvrtool verify
// must find nothing wrong, a restart must go on after the newest recording, and retention
// must delete nothing recorded within its period of elapsed time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "catalog/file_catalog.h"
#include "data_set_verifier.h"
#include "support/data_file_reserve.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;

constexpr int kFiles = 4;
constexpr int kSeconds = 10;

using Stamp = std::pair<int, int32_t>;  // channel, time

// Records kSeconds of frames on two channels from `from`, as stamped by the library's clock.
void RecordFrom(RecordingHost& host, int64_t from, std::vector<Stamp>* sent) {
  for (int64_t t = from; t < from + kSeconds; ++t) {
    host.SetTime(t);
    for (uint32_t c = 0; c < 2; ++c) {
      if (host.Video(c, 200, true, static_cast<uint32_t>(t)) == 1) {
        sent->emplace_back(static_cast<int>(c), static_cast<int32_t>(t));
      }
    }
    ASSERT_TRUE(host.Drain());
  }
}

// Every stored frame, by data file.
std::vector<std::vector<Stamp>> Stored(RecordingHost& host) {
  std::vector<std::vector<Stamp>> files(kFiles);
  for (int n = 0; n < kFiles; ++n) {
    if (!std::filesystem::exists(host.Index(n))) continue;
    for (const StoredRecord& r : ReadRecords(host.Data(n), ReadSummary(host.Index(n)).dataBytes)) {
      files[static_cast<size_t>(n)].emplace_back(r.header.channel, r.header.time);
    }
  }
  return files;
}

TEST(ClockStepTest, FootageAroundAClockStepIsKeptListedVerifiedAndContinuedAfter) {
  const int64_t today = LocalSeconds(2024, 3, 10, 10, 0, 0);
  const int64_t y2000 = LocalSeconds(2000, 1, 1, 0, 0, 5);
  const struct {
    const char* name;
    int64_t first, second;  // where each part of the recording starts
    int32_t retentionDays;
  } rows[] = {
      {"set back an hour", today, today + kSeconds - 3600, 1},
      {"set back a day", today, today + kSeconds - 86400, 1},
      {"set forward three days", today, today + kSeconds + 3 * 86400, 1},
      {"a boot at 2000 corrected to today", y2000, today, 7},
  };
  const ScopedDataFileReserve reserve(1 << 16);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    RecordingHost host("UTC", r.first);
    host.AddFiles(kFiles, 2);
    std::vector<Stamp> sent;
    ASSERT_EQ(_RECORDER_START(host.handle), 1);
    RecordFrom(host, r.first, &sent);
    RecordFrom(host, r.second, &sent);
    _RECORDER_STOP(host.handle);

    // Every frame is on disk, the two parts in files of their own.
    std::vector<std::vector<Stamp>> files = Stored(host);
    std::vector<Stamp> all;
    for (const auto& f : files) all.insert(all.end(), f.begin(), f.end());
    std::sort(all.begin(), all.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(all, sent);
    EXPECT_EQ(files[0].size() + files[1].size(), sent.size()) << "not in files 0 and 1";

    // The date table lists both days, the day tables both minutes.
    CFileCatalog catalog;
    for (int n = 0; n < kFiles; ++n) {
      if (std::filesystem::exists(host.Index(n))) {
        catalog.AddIndexFile(host.dir.root(), "file" + std::to_string(n) + ".FIH");
      }
    }
    ASSERT_TRUE(catalog.Build().ok());
    int32_t count = 0;
    std::vector<uint32_t> dates(8);
    catalog.GetDateTable(dates.data(), &count);
    dates.resize(static_cast<size_t>(count));
    for (int64_t start : {r.first, r.second}) {
      const platform::CTime day = platform::CTime(static_cast<int32_t>(start)).LocalMidnight();
      EXPECT_NE(std::find(dates.begin(), dates.end(), static_cast<uint32_t>(day.seconds())),
                dates.end());
      std::vector<uint32_t> any(kDayTableSlots), r1(any), r2(any), r4(any), audio(any);
      std::vector<uint32_t> dst(kDayTableRows);
      int32_t kind = 0, hours = 0;
      catalog.GetDayTable(day.seconds(), any.data(), r1.data(), r2.data(), r4.data(), audio.data(),
                          dst.data(), &kind, &hours);
      EXPECT_EQ(any[static_cast<size_t>((start - day.seconds()) / 60)], 3u);
    }

    std::ostringstream report;
    EXPECT_EQ(dvrtool::CDataSetVerifier(report).VerifyDirectory(host.dir.root()).problems, 0)
        << report.str();

    // A restart goes on after the newest recording, whatever the clock says of it.
    std::vector<Stamp> more;
    ASSERT_EQ(_RECORDER_START(host.handle), 1);
    RecordFrom(host, r.second + kSeconds, &more);
    _RECORDER_STOP(host.handle);
    files = Stored(host);
    EXPECT_EQ(files[2].size(), more.size()) << "the restart did not go on in file 2";

    // Retention judges by elapsed time: the files get the last-write times the wall clock gave
    // them, and a scan at the clock's latest deletes none.
    for (int n = 0; n < 3; ++n) {
      const int64_t written = (n == 0 ? r.first : r.second) + 2 * kSeconds;
      SetWritten(host.Data(n), written);
      SetWritten(host.Index(n), written);
    }
    _RECORDER_DELETEMAN_START(host.handle, r.retentionDays, 0);
    CRecorder::FromHandle(host.handle)->RunDeletionScanForTest();
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_DELETED), 0u);
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(std::filesystem::exists(host.Data(n))) << n;
  }
}

}  // namespace
