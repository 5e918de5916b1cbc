// The seek's walk over a minute of records, which reads record heads through a window of
// the data file: records of every size relative to that window, walks that run into the
// next file or off a file shorter than its recorded bytes, and the test of a position's day
// next to midnight and on the days a zone changes its clocks.
#include "storage/frame_reader_test.h"

namespace reader_test {
namespace {

using SeekWalkTest = FrameReaderTest;

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
  WriteList({{&file, "a"}});

  for (int s : {0, 1, 17, 30, 59, 60, 61, 75, 89}) {
    SCOPED_TRACE(s);
    ASSERT_EQ(reader_->SeekToTime(CTime(At(10, s / 60, s % 60))), 1);
    // The first record of that second is read next.
    EXPECT_EQ(NextFrame(1.0f), file.Frame(static_cast<size_t>(2 * s)));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordSizeTest,
                         ::testing::Values(24u, 4000u, 32700u, 33000u, 70000u));

// A walk that finds nothing in file a goes on at the start of b: at the end of a's data,
// or where it ends early for the walk, because its index claims more bytes than the data
// file holds or because a record's trailer disagrees with its head. The walk reads what it
// can pass, then goes on with b, as a record-by-record walk would.
struct ShortFileCase {
  const char* name;
  uint32_t payload;
  int readableRecords;  // of a's 20 records, one a second from 10:00:00
  void (*damage)(DataFileBuilder* a, storage::IndexSummary* claimed);
};

class ShortFileTest : public SeekWalkTest, public ::testing::WithParamInterface<ShortFileCase> {};

TEST_P(ShortFileTest, TheWalkGoesOnWithTheNextFile) {
  DataFileBuilder a, b;
  for (int s = 0; s < 20; ++s) a.AddVideo(0, At(10, 0, s), true, 1, GetParam().payload);
  for (int s = 30; s < 40; ++s) b.AddVideo(0, At(10, 0, s), true);
  storage::IndexSummary claimed = a.Summary();
  GetParam().damage(&a, &claimed);
  a.Write(dir_.path(), "a", claimed);
  b.Write(dir_.path(), "b");
  BuildList({"a", "b"});

  const int last = GetParam().readableRecords - 1;
  ASSERT_EQ(reader_->SeekToTime(CTime(At(10, 0, last))), 1);
  EXPECT_EQ(NextFrame(1.0f), a.Frame(static_cast<size_t>(last)));
  ASSERT_EQ(reader_->SeekToTime(CTime(At(10, 0, last + 1))), 1);
  EXPECT_EQ(NextFrame(1.0f), b.Frame(0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortFileTest,
    ::testing::Values(
        ShortFileCase{"Undamaged", 24, 20, [](DataFileBuilder*, storage::IndexSummary*) {}},
        ShortFileCase{"RecordedBytesBeyondTheData", 3000, 20,
                      [](DataFileBuilder*, storage::IndexSummary* s) { s->dataBytes += 5000000; }},
        ShortFileCase{"TrailerDisagreesWithItsHead", 5000, 10,
                      [](DataFileBuilder* a, storage::IndexSummary*) {
                        a->PutU32(DataFileBuilder::TrailerBodySizeOffset(a->Records()[10]), 7);
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

// Files that start just before and just after local midnight, on ordinary days and on the
// days Berlin changes its clocks: forward play of a day reads only the files that start on
// it.
struct MidnightCase {
  int month;
  int day;
};

class DayOfPositionTest : public FrameReaderTest,
                          public ::testing::WithParamInterface<MidnightCase> {
 protected:
  testsupport::ScopedTimeZone berlin_{"Europe/Berlin"};
};

TEST_P(DayOfPositionTest, ForwardPlayOfADayReadsOnlyTheFilesStartingOnIt) {
  const MidnightCase c = GetParam();
  const int32_t midnight = LocalSeconds(2024, c.month, c.day, 0, 0, 0);
  const int32_t next = LocalSeconds(2024, c.month, c.day + 1, 0, 0, 0);
  DataFileBuilder before, first, last, after;
  for (auto [file, time] : {std::pair{&before, midnight - 1},
                            {&first, midnight},
                            {&first, midnight + 60},
                            {&last, next - 1},
                            {&after, next}}) {
    file->AddVideo(0, time, true);
  }
  WriteList({{&before, "w"}, {&first, "x"}, {&last, "y"}, {&after, "z"}});

  ASSERT_EQ(reader_->OpenDay(CTime(midnight + 3600)), 1);
  ReadToEnd(1.0f);
  std::vector<int32_t> times;
  for (const Event& e : events_) times.push_back(TimeOf(e.bytes));
  EXPECT_EQ(times, (std::vector<int32_t>{midnight, midnight + 60, next - 1}));
}

INSTANTIATE_TEST_SUITE_P(Days, DayOfPositionTest,
                         ::testing::Values(MidnightCase{3, 5}, MidnightCase{3, 31},
                                           MidnightCase{10, 27}, MidnightCase{12, 31}));

}  // namespace
}  // namespace reader_test
