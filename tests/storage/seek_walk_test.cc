// The seek's walk over a minute of records, which reads record heads through a window of
// the data file: records of every size relative to that window, walks that run into the
// next file or off a file shorter than its recorded bytes, and the test of a position's day
// next to midnight and on the days a zone changes its clocks.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "storage/data_file_builder.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"

namespace {

using platform::CTime;
using reader_test::DataFileBuilder;
using testsupport::LocalSeconds;

constexpr uint32_t kFrameBufferSize = 614400;

class SeekWalkTest : public ::testing::Test {
 protected:
  void Build(const std::vector<std::string>& titles) {
    catalog_ = std::make_unique<CFileCatalog>(nullptr, nullptr);
    for (const std::string& title : titles) catalog_->AddIndexFile(dir_.path(), title + ".FIH");
    ASSERT_EQ(catalog_->Build(), 1);
  }
  std::vector<uint8_t> NextFrame() {
    catalog_->SetPlayRate(1.0f);
    std::vector<uint8_t> buffer(kFrameBufferSize);
    const int32_t n = catalog_->ReadNextFrame(buffer.data(), kFrameBufferSize);
    if (n <= 0) return {};
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
  }
  static int32_t TimeOf(const std::vector<uint8_t>& frame) {
    if (frame.size() < sizeof(storage::FrameHeader)) return 0;
    storage::FrameHeader header;
    std::memcpy(&header, frame.data(), sizeof(header));
    return header.time;
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  testsupport::ScratchDir dir_;
  std::unique_ptr<CFileCatalog> catalog_;
};

int32_t At(int hour, int minute, int second) {
  return LocalSeconds(2024, 3, 5, hour, minute, second);
}

// Payload sizes around the walk's window: far below it, just under and over half of it
// (where the walk switches to reading only the trailer and the next head), and beyond it.
class RecordSizeTest : public SeekWalkTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RecordSizeTest, EverySecondOfAMinuteIsReachedExactly) {
  // Two records a second for 90 s from 10:00:00, sizes varying around the parameter so
  // that heads and trailers fall at every place relative to the window's edges.
  DataFileBuilder file;
  const uint32_t base = GetParam();
  int n = 0;
  for (int s = 0; s < 90; ++s) {
    for (int k = 0; k < 2; ++k, ++n) {
      file.AddVideo(static_cast<uint32_t>(n % 4), At(10, s / 60, s % 60), k == 0, 1,
                    base + static_cast<uint32_t>((n * 977) % 301));
    }
  }
  file.Write(dir_.path(), "a");
  Build({"a"});

  for (int s : {0, 1, 17, 30, 59, 60, 61, 75, 89}) {
    SCOPED_TRACE(s);
    ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, s / 60, s % 60))), 1);
    // The first record of that second is passed; the second one is read next.
    const std::vector<uint8_t> frame = NextFrame();
    const size_t second = static_cast<size_t>(2 * s + 1);
    EXPECT_EQ(frame, file.Frame(second));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordSizeTest,
                         ::testing::Values(24u, 4000u, 32700u, 33000u, 70000u));

TEST_F(SeekWalkTest, AWalkThatFindsNothingInItsFileGoesOnAtTheNextFilesStart) {
  DataFileBuilder a, b;
  for (int s = 0; s <= 30; s += 10) a.AddVideo(0, At(10, 0, s), true);
  for (int s = 40; s <= 59; s += 5) b.AddVideo(0, At(10, 0, s), true);
  a.Write(dir_.path(), "a");
  b.Write(dir_.path(), "b");
  Build({"a", "b"});

  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 0, 35))), 1);
  EXPECT_EQ(NextFrame(), b.Frame(1));
  // Past the day's last record there is nothing to stop at.
  EXPECT_EQ(catalog_->SeekToTime(CTime(At(10, 0, 59) + 1)), 0);
}

TEST_F(SeekWalkTest, AFileShorterThanItsRecordedBytesEndsWhereItsDataEnds) {
  // The index of a claims more bytes than its data file holds: the walk reads what is
  // there, then goes on with b, as a record-by-record walk would.
  DataFileBuilder a, b;
  for (int s = 0; s < 20; ++s) a.AddVideo(0, At(10, 0, s), true, 1, 3000);
  for (int s = 30; s < 40; ++s) b.AddVideo(0, At(10, 0, s), true);
  storage::IndexSummary claimed = a.Summary();
  claimed.dataBytes += 5000000;
  a.Write(dir_.path(), "a", claimed);
  b.Write(dir_.path(), "b");
  Build({"a", "b"});

  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 0, 18))), 1);
  EXPECT_EQ(NextFrame(), a.Frame(19));
  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 0, 25))), 1);
  EXPECT_EQ(NextFrame(), b.Frame(1));
}

TEST_F(SeekWalkTest, ARecordWhoseTrailerDisagreesEndsTheFilesDataForTheWalk) {
  DataFileBuilder a, b;
  for (int s = 0; s < 20; ++s) a.AddVideo(0, At(10, 0, s), true, 1, 5000);
  for (int s = 30; s < 40; ++s) b.AddVideo(0, At(10, 0, s), true);
  a.PutU32(DataFileBuilder::TrailerBodySizeOffset(a.Records()[10]), 7);
  a.Write(dir_.path(), "a");
  b.Write(dir_.path(), "b");
  Build({"a", "b"});

  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 0, 5))), 1);
  EXPECT_EQ(NextFrame(), a.Frame(6));
  // Record 10 cannot be passed, so the first readable record at or after 10:00:12 is b's.
  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 0, 12))), 1);
  EXPECT_EQ(NextFrame(), b.Frame(1));
}

// Files that start just before and just after local midnight, on ordinary days and on the
// days Berlin changes its clocks: forward play of a day reads only the files that start on
// it.
struct MidnightCase {
  int month;
  int day;
};

class DayOfPositionTest : public ::testing::TestWithParam<MidnightCase> {
 protected:
  testsupport::ScopedTimeZone tz_{"Europe/Berlin"};
  testsupport::ScratchDir dir_;
};

TEST_P(DayOfPositionTest, ForwardPlayOfADayReadsOnlyTheFilesStartingOnIt) {
  const MidnightCase c = GetParam();
  const int32_t midnight = LocalSeconds(2024, c.month, c.day, 0, 0, 0);
  const int32_t next = LocalSeconds(2024, c.month, c.day + 1, 0, 0, 0);
  DataFileBuilder before, first, last, after;
  before.AddVideo(0, midnight - 1, true);
  first.AddVideo(0, midnight, true);
  first.AddVideo(0, midnight + 60, true);
  last.AddVideo(0, next - 1, true);
  after.AddVideo(0, next, true);
  before.Write(dir_.path(), "w");
  first.Write(dir_.path(), "x");
  last.Write(dir_.path(), "y");
  after.Write(dir_.path(), "z");
  CFileCatalog catalog(nullptr, nullptr);
  for (const char* title : {"w", "x", "y", "z"}) {
    catalog.AddIndexFile(dir_.path(), std::string(title) + ".FIH");
  }
  ASSERT_EQ(catalog.Build(), 1);

  ASSERT_EQ(catalog.OpenDay(CTime(midnight + 3600)), 1);
  catalog.SetPlayRate(1.0f);
  std::vector<uint8_t> buffer(kFrameBufferSize);
  std::vector<int32_t> times;
  for (int32_t n; (n = catalog.ReadNextFrame(buffer.data(), kFrameBufferSize)) > 0;) {
    storage::FrameHeader header;
    std::memcpy(&header, buffer.data(), sizeof(header));
    times.push_back(header.time);
  }
  EXPECT_EQ(times, (std::vector<int32_t>{midnight, midnight + 60, next - 1}));
}

INSTANTIATE_TEST_SUITE_P(Days, DayOfPositionTest,
                         ::testing::Values(MidnightCase{3, 5}, MidnightCase{3, 31},
                                           MidnightCase{10, 27}, MidnightCase{12, 31}));

}  // namespace
