// The frame reader over data files built record by record: seeking, forward and backward
// play with key-frame injection, and files that are short, reused or damaged.
#include "storage/frame_reader_test.h"

#include <chrono>
#include <filesystem>

namespace reader_test {
namespace {

// ---------------------------------------------------------------------------------------
// Seeking.

// One file from 09:58:00 to 10:35:00, a record every 10 s, video and audio alternating.
// The last record of 10:29 and a record of 09:59 are damaged, so only a jump straight to
// the first byte of 10:30 can reach the records behind them.
TEST_F(FrameReaderTest, SeekJumpsToTheMinuteAndLandsOnTheFirstRecordAtOrAfterTheTarget) {
  DataFileBuilder file;
  for (int32_t t = At(9, 58); t <= At(10, 35); t += 10) {
    if ((t / 10) % 2 == 0) {
      file.AddVideo(0, t, (t / 10) % 6 == 0);
    } else {
      file.AddAudio(1, t);
    }
  }
  for (const BuiltRecord& r : file.Records()) {
    if (r.time == At(9, 59, 30) || r.time == At(10, 29, 50)) file.PutU32(r.offset, 0);
  }
  WriteList({{&file, "a"}});

  // Forwards: the first record at or after the target comes next; on a record, that one.
  for (const auto& [target, next] : std::vector<std::pair<int32_t, int32_t>>{
           {At(10, 30, 15), At(10, 30, 20)}, {At(10, 31, 0), At(10, 31, 0)}}) {
    ASSERT_EQ(reader_->SeekToTime(CTime(target)), 1);
    EXPECT_EQ(TimeOf(NextFrame(1.0f)), next);
  }
  // Backwards: the last record at or before the target comes next, also after the day's
  // last record.
  for (const auto& [target, next] :
       std::vector<std::pair<int32_t, int32_t>>{{At(10, 30, 15), At(10, 30, 10)},
                                                {At(10, 31, 0), At(10, 31, 0)},
                                                {At(23, 0, 0), At(10, 35, 0)}}) {
    ASSERT_EQ(reader_->SeekToTime(CTime(target), -1), 1);
    EXPECT_EQ(TimeOf(NextFrame(-1.0f)), next);
  }
  // A day without files, or a forward seek after the day's last record, has nothing.
  EXPECT_EQ(reader_->SeekToTime(CTime(LocalSeconds(2024, 3, 6, 10, 30))), 0);
  EXPECT_EQ(reader_->SeekToTime(CTime(At(10, 35, 1))), 0);
}

// The jump never lands past its target: not in an older file whose writer opened a second
// entry for a late record of the minute before, nor in the repeated hour of an autumn
// clock change, whose two passes share their local minutes.
TEST_F(FrameReaderTest, TheJumpNeverLandsPastTheTarget) {
  {
    DataFileBuilder file;
    file.AddVideo(0, At(10, 29, 50), true);
    file.AddVideo(0, At(10, 30, 1), false, 1, 400);
    file.AddAudio(1, At(10, 29, 59), 0, 40);  // a second entry for 10:29
    file.AddVideo(0, At(10, 30, 20), false);
    file.AddVideo(0, At(10, 30, 40), false);
    WriteList({{&file, "a"}});
    ASSERT_EQ(reader_->SeekToTime(CTime(At(10, 30, 15))), 1);
    EXPECT_EQ(NextFrame(1.0f), file.Frame(3));
  }
  testsupport::ScopedTimeZone berlin("Europe/Berlin");
  reader_.reset();
  catalog_ = std::make_unique<CFileCatalog>();
  reader_ = std::make_unique<storage::CFrameReader>(&catalog_->view, this, this);
  // 2024-10-27 00:00 UTC is 02:00 CEST; at 01:00 UTC the clocks go back to 02:00 CET.
  constexpr int32_t kChange = 1729990800;
  DataFileBuilder file;
  for (int32_t t = kChange - 3600; t < kChange + 3600; t += 20) file.AddVideo(0, t, true);
  WriteList({{&file, "b"}});
  for (int32_t target : {kChange - 1800, kChange - 10, kChange + 1800}) {
    ASSERT_EQ(reader_->SeekToTime(CTime(target)), 1);
    EXPECT_EQ(TimeOf(NextFrame(1.0f)), (target + 19) / 20 * 20);
  }
}

// ---------------------------------------------------------------------------------------
// Forward play.

TEST_F(FrameReaderTest, ForwardDeliversEveryRecordOfTheDayOnceInFileOrder) {
  DataFileBuilder early, middle, late, otherDay;
  early.AddVideo(0, At(8, 0), true);
  early.AddVideo(3, At(8, 0, 1), true, 160);  // stored but never delivered
  early.AddAudio(1, At(8, 0, 2), 18);
  middle.AddAudio(2, At(9, 0), 161);          // idem
  middle.AddVideo(5, At(9, 0, 1), false, 5);  // unknown type
  middle.AddVideo(31, At(9, 0, 2), false, 6);
  middle.AddAudio(40, At(9, 0, 3), 0);  // channel above 31
  middle.AddAudio(7, At(9, 0, 4), 19);
  late.AddVideo(2, At(10, 0), true, 4);
  otherDay.AddVideo(0, LocalSeconds(2024, 3, 6, 0, 0, 5), true);
  WriteList({{&late, "c"}, {&otherDay, "d"}, {&early, "a"}, {&middle, "b"}});

  PlayDay(At(12, 0));
  ExpectEvents({{&early, 0}, {&early, 2}, {&middle, 2}, {&middle, 4}, {&late, 0}});
}

// A reused file is read only up to its recorded bytes, and a file whose data ends early
// (bytes booked but never written) is left for the next.
TEST_F(FrameReaderTest, EachFileIsReadOnlyAsFarAsItsRecordedDataIsWhole) {
  DataFileBuilder reused, old, gap, next;
  reused.AddVideo(0, At(9, 0), true);
  reused.AddVideo(0, At(9, 0, 1), false);
  old.AddVideo(0, At(7, 0, 2), true);  // left in the reused file from the previous cycle
  old.AddVideo(0, At(7, 0, 3), false);
  gap.AddVideo(0, At(10, 0), true);
  gap.AddRaw(std::vector<uint8_t>(500, 0), At(10, 0, 1));  // never written after all
  gap.AddVideo(0, At(10, 0, 2), false);
  next.AddVideo(0, At(11, 0), true);
  reused.Write(dir_.path(), "a", reused.Summary(), old.Bytes());
  gap.Write(dir_.path(), "b");
  next.Write(dir_.path(), "c");
  BuildList({"a", "b", "c"});

  PlayDay(At(10, 0));
  ExpectEvents({{&reused, 0}, {&reused, 1}, {&gap, 0}, {&next, 0}});
}

TEST_F(FrameReaderTest, RateZeroSleepsAndKeepsThePosition) {
  DataFileBuilder file;
  file.AddVideo(0, At(10, 0), true);
  WriteList({{&file, "a"}});
  ASSERT_EQ(reader_->OpenDay(CTime(At(10, 0))), 1);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(NextFrame(0.0f).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
  EXPECT_EQ(NextFrame(1.0f), file.Frame(0));
}

TEST_F(FrameReaderTest, ARecordLargerThanTheBufferIsPassedOver) {
  DataFileBuilder file;
  file.AddVideo(0, At(10, 0), true, 1, 3000);
  file.AddVideo(0, At(10, 0, 1), false, 1, 10);
  WriteList({{&file, "a"}});
  ASSERT_EQ(reader_->OpenDay(CTime(At(10, 0))), 1);
  ReadToEnd(1.0f, 1000);
  ExpectEvents({{&file, 1}});
}

// ---------------------------------------------------------------------------------------
// Backward play.

TEST_F(FrameReaderTest, BackwardInjectsEachGroupsKeyFrameFirstAndPlaysAudioInReverse) {
  // Oldest first: file a = K0 A1; file b = P0 K1 A2 P2 P3 A3 (video on channel 0, audio on
  // channel 1). The search for K0 has to cross back into file a.
  DataFileBuilder a, b;
  const size_t k0 = a.AddVideo(0, At(10, 0, 0), true);
  const size_t a1 = a.AddAudio(1, At(10, 0, 1));
  const size_t p0 = b.AddVideo(0, At(10, 0, 2), false);
  const size_t k1 = b.AddVideo(0, At(10, 0, 3), true, 3);
  // Recording data of the same channel that carries the key bit: never handed to a decoder.
  b.AddVideo(0, At(10, 0, 4), true, 160);
  const size_t a2 = b.AddAudio(1, At(10, 0, 4));
  const size_t p2 = b.AddVideo(0, At(10, 0, 5), false, 2);
  const size_t p3 = b.AddVideo(0, At(10, 0, 6), false);
  const size_t a3 = b.AddAudio(1, At(10, 0, 7), 33);
  WriteList({{&a, "a"}, {&b, "b"}});

  PlayDay(At(10, 0), -1.0f);
  ExpectEvents({{&b, a3},
                {&b, k1, true},
                {&b, p3},
                {&b, p2},
                {&b, a2},
                {&b, k1},
                {&a, k0, true},
                {&b, p0},
                {&a, a1},
                {&a, k0}});
}

// ---------------------------------------------------------------------------------------
// Catalogues with gaps and many files.

TEST_F(FrameReaderTest, PositionsOfOtherDaysOrWithoutBytesArePassedOverBothWays) {
  // One index file listing a rotation set: the oldest record first, then a file of the
  // next day, a file never written (its data file does not even exist), and one more file
  // of the first day.
  DataFileBuilder morning, nextDay, evening;
  morning.AddVideo(0, At(8, 0), true);
  morning.AddAudio(1, At(8, 0, 1));
  nextDay.AddVideo(0, LocalSeconds(2024, 3, 6, 1, 0), true);
  evening.AddAudio(1, At(20, 0));
  evening.AddVideo(0, At(20, 0, 1), true);
  std::vector<storage::IndexRecord> records;
  const auto add = [&](const DataFileBuilder& f, const std::string& title, bool write) {
    if (write) f.Write(dir_.path(), title);
    storage::IndexRecord r = storage::MakeIndexRecord(title + ".VDB");
    r.summary = write ? f.Summary() : storage::MakeEmptySummary();
    records.push_back(r);
  };
  add(morning, "m", true);
  add(nextDay, "n", true);
  add(DataFileBuilder(), "never", false);
  add(evening, "e", true);
  testsupport::WriteIndexFile(dir_.path() + "set.FIH", records);
  catalog_->SetIndexFile(dir_.path(), "set.FIH");
  ASSERT_EQ(catalog_->Build(), 1);

  PlayDay(At(12, 0));
  ExpectEvents({{&morning, 0}, {&morning, 1}, {&evening, 0}, {&evening, 1}});

  // Backwards a key frame needs nothing injected before it.
  ReadAll(-1.0f);
  ExpectEvents({{&evening, 1}, {&evening, 0}, {&morning, 1}, {&morning, 0}});
}

// A data file that cannot be opened (deleted by retention after the catalogue was built) is
// stepped over in both directions and by the seek; the rest of the day still plays.
TEST_F(FrameReaderTest, ADataFileThatCannotBeOpenedIsSteppedOver) {
  DataFileBuilder a, b, c;
  a.AddVideo(0, At(9, 0), true);
  b.AddVideo(0, At(10, 0), true);
  c.AddVideo(0, At(11, 0), true);
  c.AddVideo(0, At(11, 0, 1), false);
  WriteList({{&a, "a"}, {&b, "b"}, {&c, "c"}});
  std::filesystem::remove(dir_.path() + "b.VDB");

  PlayDay(At(12, 0));
  ExpectEvents({{&a, 0}, {&c, 0}, {&c, 1}});
  ReadAll(-1.0f);
  ExpectEvents({{&c, 0, true}, {&c, 1}, {&c, 0}, {&a, 0}});
  ASSERT_EQ(reader_->SeekToTime(CTime(At(10, 0))), 1);
  EXPECT_EQ(NextFrame(1.0f), c.Frame(0));
}

TEST_F(FrameReaderTest, ADayOfManyFilesKeepsAtMost64OpenAndReadsAllOfThem) {
  constexpr int kFiles = 70;
  std::vector<DataFileBuilder> files(kFiles);
  std::vector<std::string> titles;
  for (int i = 0; i < kFiles; ++i) {
    files[i].AddAudio(1, At(1, 0) + 10 * i);
    files[i].AddVideo(0, At(1, 0) + 10 * i + 1, true);
    titles.push_back("f" + std::to_string(i));
    files[i].Write(dir_.path(), titles.back());
  }
  BuildList(titles);
  PlayDay(At(1, 0));
  EXPECT_EQ(events_.size(), 2u * kFiles);
  EXPECT_LE(maxOpenFiles_, storage::CFrameReader::kMaxOpenDataFiles);

  ReadAll(-1.0f);
  EXPECT_LE(maxOpenFiles_, storage::CFrameReader::kMaxOpenDataFiles);
  ASSERT_EQ(events_.size(), 2u * kFiles);
  EXPECT_EQ(events_.front().bytes, files[kFiles - 1].Frame(1));
  EXPECT_EQ(events_.back().bytes, files[0].Frame(0));
}

// ---------------------------------------------------------------------------------------
// Hostile lengths: a damaged record costs that record and what follows it up to the next
// record start the index knows of (the next minute entry's first record), forwards and
// backwards; a file whose data ends early is left for the next.

struct Damage {
  const char* name;
  // A length in record 1 of the damaged file (three records) set to `value`, or without an
  // offset, the recorded bytes of its index summary.
  uint64_t (*offset)(const BuiltRecord& r);
  uint32_t value;
  const char* forward;   // records of the damaged file read forwards, in order
  const char* backward;  // and backwards
};

class HostileLengthTest : public FrameReaderTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(HostileLengthTest, CostsOnlyTheDamagedRecords) {
  // The damaged file has three records in each of the minutes 10:00 and 10:01.
  DataFileBuilder before, damaged, after;
  before.AddVideo(0, At(9, 0), true);
  for (int s = 0; s < 6; ++s) damaged.AddAudio(1, At(10, s / 3, s));
  after.AddAudio(1, At(11, 0));
  storage::IndexSummary summary = damaged.Summary();
  if (GetParam().offset != nullptr) {
    damaged.PutU32(GetParam().offset(damaged.Records()[1]), GetParam().value);
  } else {
    summary.dataBytes = GetParam().value;
  }
  before.Write(dir_.path(), "a");
  damaged.Write(dir_.path(), "b", summary);
  after.Write(dir_.path(), "c");
  BuildList({"a", "b", "c"});

  PlayDay(At(10, 0));
  std::vector<Expect> forward = {{&before, 0}};
  for (const char* i = GetParam().forward; *i != 0; ++i)
    forward.push_back({&damaged, size_t(*i - '0')});
  forward.push_back({&after, 0});
  ExpectEvents(forward);

  ReadAll(-1.0f);
  std::vector<Expect> backward = {{&after, 0}};
  for (const char* i = GetParam().backward; *i != 0; ++i)
    backward.push_back({&damaged, size_t(*i - '0')});
  backward.push_back({&before, 0});
  ExpectEvents(backward);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, HostileLengthTest,
    ::testing::Values(
        Damage{"HeadBodySizeBeyondTheFile", &DataFileBuilder::BodySizeOffset, 0xFFFFFFF0u, "0345",
               "54320"},
        Damage{"TrailerBodySizeBeforeTheFileStart", &DataFileBuilder::TrailerBodySizeOffset,
               1000000, "0345", "54320"},
        Damage{"TrailerDisagreesWithHead", &DataFileBuilder::TrailerBodySizeOffset, 8, "0345",
               "54320"},
        Damage{"TrailerWithoutItsEndMarker", &DataFileBuilder::EndMarkerOffset, 99, "0345",
               "54320"},
        Damage{"RecordedBytesBeyondTheFile", nullptr, 0x7FFFFF00u, "012345", "543210"},
        Damage{"RecordedBytesBeyondTwoGigabytes", nullptr, 0xFFFFFFFFu, "012345", "543210"}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace reader_test
