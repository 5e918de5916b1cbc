// The frame reader over data files built record by record: seeking, forward and backward
// play with key-frame injection, and files that are short, reused or damaged.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "storage/data_file_builder.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"

namespace {

using platform::CTime;
using reader_test::DataFileBuilder;
using testsupport::LocalSeconds;

constexpr uint32_t kFrameBufferSize = 614400;

int32_t At(int hour, int minute, int second = 0) {
  return LocalSeconds(2024, 3, 5, hour, minute, second);
}

// What the reader handed out, in order: frames from ReadNextFrame and key frames through
// the callback.
struct Event {
  bool injected = false;
  std::vector<uint8_t> bytes;
};

class FrameReaderTest : public ::testing::Test {
 protected:
  // Builds a catalogue of the listed pairs (source mode 0).
  void BuildList(const std::vector<std::string>& titles) {
    catalog_ = std::make_unique<CFileCatalog>(reinterpret_cast<CFileSearch*>(this), &OnKeyFrame);
    for (const std::string& title : titles) catalog_->AddIndexFile(dir_.path(), title + ".FIH");
    ASSERT_EQ(catalog_->Build(), 1);
  }
  // Writes each builder as <title>.VDB/.FIH and catalogues them in this order.
  void WriteList(const std::vector<std::pair<const DataFileBuilder*, std::string>>& files) {
    std::vector<std::string> titles;
    for (const auto& [file, title] : files) {
      file->Write(dir_.path(), title);
      titles.push_back(title);
    }
    BuildList(titles);
  }
  // Builds a catalogue from one index file with several records (source mode 1).
  void BuildSet(const std::string& indexName) {
    catalog_ = std::make_unique<CFileCatalog>(reinterpret_cast<CFileSearch*>(this), &OnKeyFrame);
    catalog_->SetIndexFile(dir_.path(), indexName);
    ASSERT_EQ(catalog_->Build(), 1);
  }

  static void OnKeyFrame(uint8_t* record, int32_t length, CFileSearch* owner) {
    auto* self = reinterpret_cast<FrameReaderTest*>(owner);
    self->events_.push_back({true, std::vector<uint8_t>(record, record + length)});
  }

  // Reads at `rate` until the day's data ends; every frame becomes an event.
  void ReadToEnd(float rate, uint32_t capacity = kFrameBufferSize) {
    catalog_->SetPlayRate(rate);
    std::vector<uint8_t> buffer(capacity);
    for (int guard = 0; guard < 100000; ++guard) {
      const int32_t n = catalog_->ReadNextFrame(buffer.data(), capacity);
      if (n < 0) return;
      if (n > 0)
        events_.push_back({false, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
    }
    FAIL() << "the reader did not reach the end of the day";
  }

  // One frame read now at `rate`.
  std::vector<uint8_t> NextFrame(float rate) {
    catalog_->SetPlayRate(rate);
    std::vector<uint8_t> buffer(kFrameBufferSize);
    const int32_t n = catalog_->ReadNextFrame(buffer.data(), kFrameBufferSize);
    if (n <= 0) return {};
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
  }

  static int32_t TimeOf(const std::vector<uint8_t>& frame) {
    storage::FrameHeader header;
    std::memcpy(&header, frame.data(), sizeof(header));
    return header.time;
  }

  // Expected events: frames of the builders, (builder, record) pairs; injected ones marked.
  struct Expect {
    const DataFileBuilder* file;
    size_t record;
    bool injected = false;
  };
  void ExpectEvents(const std::vector<Expect>& expected) {
    ASSERT_EQ(events_.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(events_[i].injected, expected[i].injected) << "event " << i;
      EXPECT_EQ(events_[i].bytes, expected[i].file->Frame(expected[i].record)) << "event " << i;
    }
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  testsupport::ScratchDir dir_;
  std::unique_ptr<CFileCatalog> catalog_;
  std::vector<Event> events_;
};

// ---------------------------------------------------------------------------------------
// Seeking.

class SeekTest : public FrameReaderTest {
 protected:
  // One file from 09:58:00 to 10:35:00, a record every 10 s, video and audio alternating.
  // The last record of 10:29 and a record of 09:59 are damaged, so only a jump straight
  // to the first byte of 10:30 can reach the records behind them.
  void SetUp() override {
    for (int32_t t = At(9, 58); t <= At(10, 35); t += 10) {
      if ((t / 10) % 2 == 0) {
        file_.AddVideo(0, t, (t / 10) % 6 == 0);
      } else {
        file_.AddAudio(1, t);
      }
    }
    for (const reader_test::BuiltRecord& r : file_.Records()) {
      if (r.time == At(9, 59, 30) || r.time == At(10, 29, 50)) {
        file_.PutU32(DataFileBuilder::StartMarkerOffset(r), 0);
      }
    }
    file_.Write(dir_.path(), "a");
    BuildList({"a"});
  }
  DataFileBuilder file_;
};

TEST_F(SeekTest, JumpsToTheMinuteAndStopsJustAfterTheFirstRecordAtOrAfterTheTarget) {
  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 30, 15))), 1);
  // 10:30:20 was the first record at or after the target; reading goes on behind it.
  EXPECT_EQ(TimeOf(NextFrame(1.0f)), At(10, 30, 30));
  EXPECT_EQ(TimeOf(NextFrame(1.0f)), At(10, 30, 40));
  // A target on a record passes that record.
  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 31, 0))), 1);
  EXPECT_EQ(TimeOf(NextFrame(1.0f)), At(10, 31, 10));
}

TEST_F(SeekTest, ADayWithoutFilesOrATimeAfterTheLastRecordFails) {
  EXPECT_EQ(catalog_->SeekToTime(CTime(LocalSeconds(2024, 3, 6, 10, 30))), 0);
  EXPECT_EQ(catalog_->SeekToTime(CTime(At(10, 35, 1))), 0);
  EXPECT_EQ(catalog_->SeekToTime(CTime(At(11, 0))), 0);
}

TEST_F(FrameReaderTest, AJumpIntoTheMiddleOfARecordFallsBackToTheFileStart) {
  // The audio writer stored a 10:29 record after the first record of 10:30, so the sum of
  // the minutes up to 10:29 points into the second record.
  DataFileBuilder file;
  file.AddVideo(0, At(10, 29, 50), true);
  file.AddVideo(0, At(10, 30, 1), false, 1, 400);
  file.AddAudio(1, At(10, 29, 59), 0, 40);
  file.AddVideo(0, At(10, 30, 20), false);
  file.AddVideo(0, At(10, 30, 40), false);
  WriteList({{&file, "a"}});

  ASSERT_EQ(catalog_->SeekToTime(CTime(At(10, 30, 15))), 1);
  EXPECT_EQ(NextFrame(1.0f), file.Frame(4));
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

  ASSERT_EQ(catalog_->OpenDay(CTime(At(12, 0))), 1);
  ReadToEnd(1.0f);
  ExpectEvents({{&early, 0}, {&early, 2}, {&middle, 2}, {&middle, 4}, {&late, 0}});
}

TEST_F(FrameReaderTest, AReusedFileIsReadOnlyUpToItsRecordedBytes) {
  DataFileBuilder current, old;
  current.AddVideo(0, At(10, 0), true);
  current.AddVideo(0, At(10, 0, 1), false);
  old.AddVideo(0, At(7, 0, 2), true);  // left from the previous cycle
  old.AddVideo(0, At(7, 0, 3), false);
  current.Write(dir_.path(), "a", current.Summary(), old.Bytes());
  BuildList({"a"});

  ASSERT_EQ(catalog_->OpenDay(CTime(At(10, 0))), 1);
  ReadToEnd(1.0f);
  ExpectEvents({{&current, 0}, {&current, 1}});
}

TEST_F(FrameReaderTest, AFileWhoseDataEndsEarlyIsLeftForTheNext) {
  DataFileBuilder first, second;
  first.AddVideo(0, At(10, 0), true);
  first.AddRaw(std::vector<uint8_t>(500, 0), At(10, 0, 1));  // never written after all
  first.AddVideo(0, At(10, 0, 2), false);
  second.AddVideo(0, At(11, 0), true);
  WriteList({{&first, "a"}, {&second, "b"}});

  ASSERT_EQ(catalog_->OpenDay(CTime(At(10, 0))), 1);
  ReadToEnd(1.0f);
  ExpectEvents({{&first, 0}, {&second, 0}});
}

TEST_F(FrameReaderTest, RateZeroSleepsAndKeepsThePosition) {
  DataFileBuilder file;
  file.AddVideo(0, At(10, 0), true);
  WriteList({{&file, "a"}});
  ASSERT_EQ(catalog_->OpenDay(CTime(At(10, 0))), 1);

  catalog_->SetPlayRate(0.0f);
  std::vector<uint8_t> buffer(kFrameBufferSize);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(catalog_->ReadNextFrame(buffer.data(), kFrameBufferSize), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
  EXPECT_EQ(NextFrame(1.0f), file.Frame(0));
}

TEST_F(FrameReaderTest, ARecordLargerThanTheBufferIsPassedOver) {
  DataFileBuilder file;
  file.AddVideo(0, At(10, 0), true, 1, 3000);
  file.AddVideo(0, At(10, 0, 1), false, 1, 10);
  WriteList({{&file, "a"}});
  ASSERT_EQ(catalog_->OpenDay(CTime(At(10, 0))), 1);

  catalog_->SetPlayRate(1.0f);
  std::vector<uint8_t> buffer(1000);
  EXPECT_EQ(catalog_->ReadNextFrame(buffer.data(), 1000), 0);
  const int32_t n = catalog_->ReadNextFrame(buffer.data(), 1000);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + n), file.Frame(1));
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
  const size_t a2 = b.AddAudio(1, At(10, 0, 4));
  const size_t p2 = b.AddVideo(0, At(10, 0, 5), false, 2);
  const size_t p3 = b.AddVideo(0, At(10, 0, 6), false);
  const size_t a3 = b.AddAudio(1, At(10, 0, 7), 33);
  WriteList({{&a, "a"}, {&b, "b"}});

  ASSERT_EQ(catalog_->OpenDay(CTime(At(10, 0))), 1);
  ASSERT_EQ(catalog_->ResetReadPosition(-1), 1);
  ReadToEnd(-1.0f);
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

TEST_F(FrameReaderTest, BackwardStopsTheDayAtATrailerWithoutItsEndMarker) {
  DataFileBuilder first, second;
  first.AddVideo(0, At(9, 0), true);
  second.AddAudio(1, At(10, 0));
  second.AddAudio(1, At(10, 0, 1));
  second.AddAudio(1, At(10, 0, 2));
  second.PutU32(DataFileBuilder::EndMarkerOffset(second.Records()[1]), 99);
  WriteList({{&first, "a"}, {&second, "b"}});

  ASSERT_EQ(catalog_->OpenDay(CTime(At(10, 0))), 1);
  ASSERT_EQ(catalog_->ResetReadPosition(-1), 1);
  ReadToEnd(-1.0f);
  ExpectEvents({{&second, 2}});
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
  BuildSet("set.FIH");

  ASSERT_EQ(catalog_->OpenDay(CTime(At(12, 0))), 1);
  ReadToEnd(1.0f);
  ExpectEvents({{&morning, 0}, {&morning, 1}, {&evening, 0}, {&evening, 1}});

  events_.clear();
  ASSERT_EQ(catalog_->ResetReadPosition(-1), 1);
  ReadToEnd(-1.0f);
  ExpectEvents({{&evening, 1, true},
                {&evening, 1},
                {&evening, 0},
                {&morning, 1},
                {&morning, 0, true},
                {&morning, 0}});
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
  ASSERT_EQ(catalog_->OpenDay(CTime(At(1, 0))), 1);

  catalog_->SetPlayRate(1.0f);
  std::vector<uint8_t> buffer(kFrameBufferSize);
  int frames = 0;
  int32_t n;
  while ((n = catalog_->ReadNextFrame(buffer.data(), kFrameBufferSize)) > 0) {
    ++frames;
    ASSERT_LE(catalog_->OpenDataFileCount(), CFileCatalog::kMaxOpenDataFiles);
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(frames, 2 * kFiles);

  ASSERT_EQ(catalog_->ResetReadPosition(-1), 1);
  ReadToEnd(-1.0f);
  EXPECT_LE(catalog_->OpenDataFileCount(), CFileCatalog::kMaxOpenDataFiles);
  // Backwards every file's key frame is injected before it is played.
  ASSERT_EQ(events_.size(), 3u * kFiles);
  EXPECT_TRUE(events_.front().injected);
  EXPECT_EQ(events_.front().bytes, files[kFiles - 1].Frame(1));
  EXPECT_EQ(events_.back().bytes, files[0].Frame(0));
}

// ---------------------------------------------------------------------------------------
// Hostile lengths: each damaged file ends its readable data cleanly, and the reader goes
// on with the next file (forwards) or ends the day (backwards).

struct Damage {
  const char* name;
  // Applied to record 1 of the damaged file (three records).
  void (*apply)(DataFileBuilder* f, storage::IndexSummary* s);
  int forwardFromDamaged;   // records of the damaged file read forwards
  int backwardFromDamaged;  // records of the damaged file read backwards
};

class HostileLengthTest : public FrameReaderTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(HostileLengthTest, EndsTheReadableDataCleanly) {
  DataFileBuilder before, damaged, after;
  before.AddVideo(0, At(9, 0), true);
  damaged.AddAudio(1, At(10, 0));
  damaged.AddAudio(1, At(10, 0, 1));
  damaged.AddAudio(1, At(10, 0, 2));
  after.AddAudio(1, At(11, 0));
  storage::IndexSummary summary = damaged.Summary();
  GetParam().apply(&damaged, &summary);
  before.Write(dir_.path(), "a");
  damaged.Write(dir_.path(), "b", summary);
  after.Write(dir_.path(), "c");
  BuildList({"a", "b", "c"});

  ASSERT_EQ(catalog_->OpenDay(CTime(At(10, 0))), 1);
  ReadToEnd(1.0f);
  std::vector<Expect> forward = {{&before, 0}};
  for (int i = 0; i < GetParam().forwardFromDamaged; ++i) forward.push_back({&damaged, size_t(i)});
  forward.push_back({&after, 0});
  ExpectEvents(forward);

  events_.clear();
  ASSERT_EQ(catalog_->ResetReadPosition(-1), 1);
  ReadToEnd(-1.0f);
  std::vector<Expect> backward = {{&after, 0}};
  for (int i = 0; i < GetParam().backwardFromDamaged; ++i) {
    backward.push_back({&damaged, size_t(2 - i)});
  }
  ExpectEvents(backward);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, HostileLengthTest,
    ::testing::Values(
        Damage{"HeadBodySizeBeyondTheFile",
               [](DataFileBuilder* f, storage::IndexSummary*) {
                 f->PutU32(DataFileBuilder::BodySizeOffset(f->Records()[1]), 0xFFFFFFF0u);
               },
               1, 1},
        Damage{"TrailerBodySizeBeforeTheFileStart",
               [](DataFileBuilder* f, storage::IndexSummary*) {
                 f->PutU32(DataFileBuilder::TrailerBodySizeOffset(f->Records()[1]), 1000000);
               },
               1, 1},
        Damage{"TrailerDisagreesWithHead",
               [](DataFileBuilder* f, storage::IndexSummary*) {
                 f->PutU32(DataFileBuilder::TrailerBodySizeOffset(f->Records()[1]), 8);
               },
               1, 1},
        Damage{"RecordedBytesBeyondTheFile",
               [](DataFileBuilder*, storage::IndexSummary* s) { s->dataBytes = 0x7FFFFF00u; }, 3,
               0},
        Damage{"RecordedBytesBeyondTwoGigabytes",
               [](DataFileBuilder*, storage::IndexSummary* s) { s->dataBytes = 0xFFFFFFFFu; }, 3,
               0}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

}  // namespace
