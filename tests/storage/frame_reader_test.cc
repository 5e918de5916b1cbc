// The frame reader over data files built record by record: seeking, forward and backward
// play with key-frame injection, and files that are short, reused, missing or damaged, where
// every damaged record is reported with what is wrong with it.
#include "storage/frame_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include "catalog/file_catalog.h"
#include "platform/local_time.h"
#include "platform/syscall_faults.h"
#include "recording/frame_ring.h"
#include "recording/intake.h"
#include "storage/summary_builder.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"

namespace reader_test {
namespace {

using platform::CTime;
using storage::RecordStatus;
using testsupport::LocalSeconds;

// The longest frame the reader hands out is the longest a recorder stores: a key frame whose
// record fills the recorder's video ring.
static_assert(storage::kMaxFrameLength ==
              Intake::kVideoRingCapacity - CFrameRing::kRecordHeaderSize -
                  (storage::kRecordOverhead - storage::kFrameHeaderSize));

// Composes data files record by record with the builders of storage/formats.h and keeps the
// index summary beside them the way the writer threads do (storage::SummaryBuilder), so tests
// get files the reader cannot tell from recorded ones and can then damage them on purpose.
// With `olderEntries` it keeps the summary older writers left instead: a new minute entry
// whenever a record's local minute differs from the previous record's, a late record going
// back a minute included.
class DataFileBuilder {
 public:
  explicit DataFileBuilder(bool olderEntries = false) : older_(olderEntries) {}
  DataFileBuilder(const DataFileBuilder&) = delete;
  // Append a record with a payload no two records share.
  void AddVideo(uint32_t channel, int32_t time, bool keyFrame, uint32_t type = 1,
                uint32_t payloadLength = 24) {
    const uint32_t n = static_cast<uint32_t>(records_.size());
    Append({channel, time, type, 0x100 + n, keyFrame, storage::kReasonRecorded, 0xA5000000u + n},
           false, payloadLength);
  }
  void AddAudio(uint32_t channel, int32_t time, uint32_t type = 0, uint32_t payloadLength = 40) {
    Append({channel, time, type, 0, false, storage::kReasonRecorded, 0}, true, payloadLength);
  }
  // Appends `count` zero bytes, booked to the minute of `time` in no channel's mask.
  void AddZeros(size_t count, int32_t time) {
    bytes_.resize(bytes_.size() + count);
    storage::FrameHeader header{};
    header.time = time;
    header.channel = storage::kChannelCount;
    Book(header, count);
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  const storage::IndexSummary& Summary() const { return summary_; }
  // Record i as the reader hands it out: FrameHeader followed by the body.
  std::vector<uint8_t> Frame(size_t i) const {
    const auto [offset, size] = records_.at(i);
    return {bytes_.begin() + offset + storage::kStartMarkerSize,
            bytes_.begin() + offset + size - storage::kRecordTrailerSize};
  }
  // Adds `value` to the 32-bit field at `at` of record i (from its end when `at` < 0).
  void Damage(size_t i, int64_t at, uint32_t value) {
    const auto [offset, size] = records_.at(i);
    uint8_t* field = &bytes_[offset + static_cast<size_t>(at >= 0 ? at : int64_t(size) + at)];
    storage::StoreU32(field, storage::LoadU32(field) + value);
  }
  // Writes <dir><title>.VDB (the bytes, then `tail`) and <dir><title>.FIH with `summary`.
  void Write(const std::string& dir, const std::string& title, const storage::IndexSummary& summary,
             const std::vector<uint8_t>& tail = {}) const {
    std::vector<uint8_t> data = bytes_;
    data.insert(data.end(), tail.begin(), tail.end());
    testsupport::WriteBytes(dir + title + ".VDB", data);
    testsupport::WriteIndexFile(dir + title + ".FIH",
                                {testsupport::MakeRecord(title + ".VDB", summary)});
  }

 private:
  void Append(const storage::RecordFields& fields, bool audio, uint32_t length) {
    const std::vector<uint8_t> payload =
        testsupport::Pattern(length, static_cast<uint32_t>(records_.size() * 64 + fields.channel));
    const size_t offset = bytes_.size();
    bytes_.resize(offset + (audio ? storage::AudioRecordSize(length)
                                  : storage::VideoRecordSize(length, fields.keyFrame)));
    uint8_t* at = &bytes_[offset];
    const size_t size = bytes_.size() - offset;
    records_.push_back(
        {offset, audio ? storage::BuildAudioRecord(at, size, fields, payload.data(), length)
                       : storage::BuildVideoRecord(at, size, fields, payload.data(), length)});
    storage::FrameHeader header;
    storage::ParseRecordHead(at, &header);
    Book(header, records_.back().second);
  }
  void Book(const storage::FrameHeader& header, uint64_t size) {
    const platform::LocalFields local = CTime(header.time).Local();
    const int minute = local.hour * 60 + local.minute;
    if (!older_ || lastMinute_ < 0) {
      builder_.Add(header, static_cast<uint32_t>(size));
    } else {
      if (minute != lastMinute_) builder_.NextEntry(header.time);
      builder_.Count(header, static_cast<uint32_t>(size));
    }
    lastMinute_ = minute;
  }

  const bool older_;
  std::vector<uint8_t> bytes_;
  std::vector<std::pair<size_t, size_t>> records_;  // offset and size of each record
  storage::IndexSummary summary_ = storage::MakeEmptySummary();
  storage::SummaryBuilder builder_{&summary_};
  int lastMinute_ = -1;
};

int32_t At(int hour, int minute, int second = 0) {
  return LocalSeconds(2024, 3, 5, hour, minute, second);
}

// A frame the reader handed out, and whether it went to the sink (a key frame injected
// before the frame it belongs to).
using Got = std::pair<bool, std::vector<uint8_t>>;
struct Want {
  const DataFileBuilder* file;
  size_t record;
  bool injected = false;
};
std::vector<Got> Frames(const std::vector<Want>& want) {
  std::vector<Got> frames;
  for (const Want& w : want) frames.push_back({w.injected, w.file->Frame(w.record)});
  return frames;
}

class ReaderTest : public ::testing::Test, public storage::FrameSink, public storage::Reporter {
 protected:
  void OnPrecedingKeyFrame(const uint8_t* frame, int32_t length) override {
    got_.push_back({true, {frame, frame + length}});
  }
  void Corruption(const std::string& file, uint64_t, RecordStatus status) override {
    EXPECT_EQ(file.rfind(dir_.path(), 0), 0u) << file;
    ++damage_[static_cast<size_t>(status)];
  }
  // Writes each builder (none: written already) as <title>.VDB/.FIH and lists them in order.
  void Catalogue(const std::vector<std::pair<const DataFileBuilder*, std::string>>& files) {
    for (const auto& [file, title] : files) {
      if (file != nullptr) file->Write(dir_.path(), title, file->Summary());
      catalog_.AddIndexFile(dir_.path(), title + ".FIH");
    }
    ASSERT_EQ(catalog_.Build(), 1);
  }
  // All the reader hands out playing the day of `day` at `rate` (from its end when < 0).
  std::vector<Got> Play(int32_t day, float rate, uint32_t capacity = 614400) {
    got_.clear();
    damage_ = {};
    EXPECT_EQ(reader_.OpenDay(CTime(day)), 1);
    if (rate < 0) reader_.ResetReadPosition(-1);
    reader_.SetPlayRate(rate);
    std::vector<uint8_t> buffer(capacity);
    for (int guard = 0; guard < 100000; ++guard) {
      const int32_t n = reader_.ReadNextFrame(buffer.data(), capacity);
      maxOpen_ = std::max(maxOpen_, reader_.OpenDataFileCount());
      if (n < 0) return got_;
      if (n > 0) got_.push_back({false, {buffer.begin(), buffer.begin() + n}});
    }
    ADD_FAILURE() << "the reader did not reach the end of the day";
    return got_;
  }
  std::vector<uint8_t> Next(float rate) {
    reader_.SetPlayRate(rate);
    std::vector<uint8_t> buffer(614400);
    buffer.resize(static_cast<size_t>(std::max(reader_.ReadNextFrame(buffer.data(), 614400), 0)));
    return buffer;
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  testsupport::ScratchDir dir_;
  CFileCatalog catalog_;
  storage::CFrameReader reader_{&catalog_.view, this, this};
  std::vector<Got> got_;
  std::array<int, 6> damage_{};  // reports per RecordStatus
  int32_t maxOpen_ = 0;
};

// Forward: each delivered record of the day once, files in start-time order, each only as
// far as its recorded bytes; other kinds, channels and days are passed over, and a file
// whose data ends early (bytes booked but never written) is left for the next.
TEST_F(ReaderTest, ForwardPlaysEachDeliveredRecordOfTheDayOnceInOrder) {
  DataFileBuilder early, middle, reused, old, gap, late, otherDay;
  early.AddVideo(0, At(8, 0), true);
  early.AddVideo(3, At(8, 0, 1), true, 160);  // stored but never delivered
  early.AddAudio(1, At(8, 0, 2), 18);
  middle.AddAudio(2, At(9, 0), 161);          // idem
  middle.AddVideo(5, At(9, 0, 1), false, 5);  // unknown type
  middle.AddVideo(31, At(9, 0, 2), false, 6);
  middle.AddAudio(40, At(9, 0, 3), 0);  // channel above 31
  middle.AddAudio(7, At(9, 0, 4), 19);
  reused.AddVideo(0, At(9, 30), true);
  old.AddVideo(0, At(7, 0), true);  // left in the reused file from the previous cycle
  gap.AddVideo(0, At(9, 45), true);
  gap.AddZeros(500, At(9, 45, 1));
  gap.AddVideo(0, At(9, 45, 2), false);
  late.AddVideo(2, At(10, 0), true, 4);
  otherDay.AddVideo(0, LocalSeconds(2024, 3, 6, 0, 0, 5), true);
  reused.Write(dir_.path(), "r", reused.Summary(), old.Bytes());
  Catalogue(
      {{&late, "c"}, {&otherDay, "d"}, {&early, "a"}, {&gap, "g"}, {nullptr, "r"}, {&middle, "b"}});
  const std::vector<Want> want = {{&early, 0},  {&early, 2}, {&middle, 2}, {&middle, 4},
                                  {&reused, 0}, {&gap, 0},   {&late, 0}};
  EXPECT_EQ(Play(At(12, 0), 1.0f), Frames(want));
  EXPECT_EQ(damage_, (std::array<int, 6>{0, 0, 1, 0, 0, 0}));  // the zeros: no start marker
}

TEST_F(ReaderTest, BackwardInjectsEachGroupsKeyFrameFirstAndPlaysAudioInReverse) {
  // Oldest first: file a = K0 A1; file b = P0 K1 A2 K' P2 P3 A3 (video on channel 0, K' on
  // channel 2, audio on channel 1). The search for K0 has to cross back into file a.
  DataFileBuilder a, b;
  a.AddVideo(0, At(10, 0, 0), true);
  a.AddAudio(1, At(10, 0, 1));
  b.AddVideo(0, At(10, 0, 2), false);
  b.AddVideo(0, At(10, 0, 3), true, 3);
  b.AddVideo(0, At(10, 0, 4), true, 160);  // recording data with the key bit: never decoded
  b.AddAudio(1, At(10, 0, 4));
  b.AddVideo(2, At(10, 0, 4), true);  // another channel's key frame: not channel 0's group
  b.AddVideo(0, At(10, 0, 5), false, 2);
  b.AddVideo(0, At(10, 0, 6), false);
  b.AddAudio(1, At(10, 0, 7), 33);
  Catalogue({{&a, "a"}, {&b, "b"}});
  const std::vector<Want> want = {{&b, 7}, {&b, 1, true}, {&b, 6}, {&b, 5}, {&b, 4}, {&b, 3},
                                  {&b, 1}, {&a, 0, true}, {&b, 0}, {&a, 1}, {&a, 0}};
  EXPECT_EQ(Play(At(10, 0), -1.0f), Frames(want));
}

// One index file listing a rotation set: positions of another day, without bytes, or whose
// data file is gone (deleted by retention) are passed over both ways and by the seek.
TEST_F(ReaderTest, PositionsOfOtherDaysWithoutBytesOrFilesArePassedOver) {
  DataFileBuilder morning, nextDay, gone, evening, never;
  morning.AddVideo(0, At(8, 0), true);
  morning.AddAudio(1, At(8, 0, 1));
  nextDay.AddVideo(0, LocalSeconds(2024, 3, 6, 1, 0), true);
  gone.AddVideo(0, At(10, 0), true);
  evening.AddVideo(0, At(20, 0), true);
  evening.AddVideo(0, At(20, 0, 1), false);
  std::vector<storage::IndexRecord> records;
  const std::vector<std::pair<DataFileBuilder*, std::string>> set = {
      {&morning, "m"}, {&nextDay, "n"}, {&never, "never"}, {&gone, "gone"}, {&evening, "e"}};
  for (const auto& [file, title] : set) {
    if (file != &never) file->Write(dir_.path(), title, file->Summary());
    records.push_back(testsupport::MakeRecord(title + ".VDB", file->Summary()));
  }
  std::filesystem::remove(dir_.path() + "gone.VDB");
  testsupport::WriteIndexFile(dir_.path() + "set.FIH", records);
  catalog_.SetIndexFile(dir_.path(), "set.FIH");
  ASSERT_EQ(catalog_.Build(), 1);
  EXPECT_EQ(Play(At(12, 0), 1.0f),
            Frames({{&morning, 0}, {&morning, 1}, {&evening, 0}, {&evening, 1}}));
  EXPECT_EQ(
      Play(At(12, 0), -1.0f),
      Frames({{&evening, 0, true}, {&evening, 1}, {&evening, 0}, {&morning, 1}, {&morning, 0}}));
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 0))), 1);
  EXPECT_EQ(Next(1.0f), evening.Frame(0));
}

TEST_F(ReaderTest, ADayOfManyFilesKeepsAtMost64OpenAndReadsAllOfThemUnlessReadsFail) {
  constexpr size_t kFiles = 70;
  std::vector<DataFileBuilder> files(kFiles);
  std::vector<std::pair<const DataFileBuilder*, std::string>> list;
  for (size_t i = 0; i < kFiles; ++i) {
    files[i].AddAudio(1, At(1, 0) + 10 * static_cast<int32_t>(i));
    files[i].AddVideo(0, At(1, 0) + 10 * static_cast<int32_t>(i) + 1, true);
    list.push_back({&files[i], "f" + std::to_string(i)});
  }
  Catalogue(list);
  EXPECT_EQ(Play(At(1, 0), 1.0f).size(), 2 * kFiles);
  const std::vector<Got> backward = Play(At(1, 0), -1.0f);
  ASSERT_EQ(backward.size(), 2 * kFiles);
  EXPECT_EQ(backward.front().second, files.back().Frame(1));
  EXPECT_EQ(backward.back().second, files.front().Frame(0));
  EXPECT_LE(maxOpen_, storage::CFrameReader::kMaxOpenDataFiles);
  // When every read fails the day ends at once, each file reported.
  platform::ScopedSyscallFault failing(platform::ScopedSyscallFault::Call::kRead, EIO);
  for (float rate : {1.0f, -1.0f}) {
    EXPECT_TRUE(Play(At(1, 0), rate).empty());
    EXPECT_EQ(damage_, (std::array<int, 6>{0, int(kFiles), 0, 0, 0, 0})) << rate;
  }
}

// Files that start just before and after local midnight, on ordinary days and on the days
// Berlin changes its clocks: a day's play reads only the files that start on it.
class MidnightTest : public ReaderTest, public ::testing::WithParamInterface<int> {};

TEST_P(MidnightTest, ADayReadsOnlyTheFilesStartingOnIt) {
  testsupport::ScopedTimeZone berlin("Europe/Berlin");
  const int32_t midnight = LocalSeconds(2024, GetParam() / 100, GetParam() % 100, 0, 0, 0);
  const int32_t next = LocalSeconds(2024, GetParam() / 100, GetParam() % 100 + 1, 0, 0, 0);
  DataFileBuilder before, first, last, after;
  for (auto [file, time] : {std::pair{&before, midnight - 1},
                            {&first, midnight},
                            {&first, midnight + 60},
                            {&last, next - 1},
                            {&after, next}}) {
    file->AddVideo(0, time, true);
  }
  Catalogue({{&before, "w"}, {&first, "x"}, {&last, "y"}, {&after, "z"}});
  EXPECT_EQ(Play(midnight + 3600, 1.0f), Frames({{&first, 0}, {&first, 1}, {&last, 0}}));
}

INSTANTIATE_TEST_SUITE_P(Days, MidnightTest, ::testing::Values(305, 331, 1027, 1231));

// A damaged record costs that record and what follows it up to the next record start the
// index knows of (the next minute entry's first record), forwards, backwards and in the
// seek's walk, and is reported once each way.
struct Damage {
  int64_t at;    // field of record 1 (from its end when < 0) that `add` is added to; with
  uint32_t add;  // add 0 the index claims `at` recorded bytes instead, more than the file has
  RecordStatus forwardStatus, backwardStatus;
};

// Records small enough to be checked whole in the reader's window, and larger ones whose
// head and trailer it checks apart.
class DamageTest : public ReaderTest,
                   public ::testing::WithParamInterface<std::tuple<Damage, uint32_t>> {};

TEST_P(DamageTest, CostsOnlyTheDamagedRecordsAndIsReported) {
  const Damage d = std::get<0>(GetParam());
  DataFileBuilder before, damaged, after;  // damaged: 3 records in each of 10:00 and 10:01
  before.AddVideo(0, At(9, 0), true);
  for (int s = 0; s < 6; ++s) damaged.AddAudio(1, At(10, s / 3, s), 0, std::get<1>(GetParam()));
  after.AddAudio(1, At(11, 0));
  storage::IndexSummary summary = damaged.Summary();
  if (d.add != 0) damaged.Damage(1, d.at, d.add);
  if (d.add == 0) summary.dataBytes = static_cast<uint32_t>(d.at);
  damaged.Write(dir_.path(), "b", summary);
  Catalogue({{&before, "a"}, {nullptr, "b"}, {&after, "c"}});
  for (float rate : {1.0f, -1.0f}) {
    std::vector<Want> want = {{rate > 0 ? &before : &after, 0}};
    for (size_t k = 0; k < 6; ++k) {
      // Record 1 is lost, and forwards record 2 with it: the next start known is record 3.
      const size_t i = rate > 0 ? k : 5 - k;
      if (d.add == 0 || (i != 1 && (rate < 0 || i != 2))) want.push_back({&damaged, i});
    }
    want.push_back({rate > 0 ? &after : &before, 0});
    EXPECT_EQ(Play(At(10, 0), rate), Frames(want)) << rate;
    std::array<int, 6> reported{};
    ++reported[static_cast<size_t>(rate > 0 ? d.forwardStatus : d.backwardStatus)];
    EXPECT_EQ(damage_, reported) << rate;
  }
  // The seek's walk passes the damage too, and goes on with the next file after the last.
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 0, 1))), 1);
  EXPECT_EQ(Next(1.0f), damaged.Frame(d.add != 0 ? 3 : 1));
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 1, 6))), 1);
  EXPECT_EQ(Next(1.0f), after.Frame(0));
}

using S = RecordStatus;
INSTANTIATE_TEST_SUITE_P(
    Damages, DamageTest,
    ::testing::Combine(::testing::Values(Damage{0, 1, S::kBadStartMarker, S::kBadStartMarker},
                                         Damage{storage::kRecordBodySizeOffset, 0x80000000u,
                                                S::kBodyOverrun, S::kBodyOverrun},
                                         Damage{-8, 1000000, S::kBadTrailerSize,
                                                S::kBadTrailerSize},
                                         Damage{-8, 8, S::kBadTrailerSize, S::kBadStartMarker},
                                         Damage{-4, 1, S::kBadEndMarker, S::kBadEndMarker},
                                         // The head of the record after the last cannot be read.
                                         Damage{0x7FFFFF00, 0, S::kShortHead, S::kShortHead},
                                         Damage{0xFFFFFFFF, 0, S::kShortHead, S::kShortHead}),
                       ::testing::Values(40u, 40000u)));

// Seeks land on the first record stamped at or after the target (backwards: the last at or
// before it), with records of every size relative to the reader's window, and files long
// enough to be narrowed by halving.
class SeekTest : public ReaderTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SeekTest, EverySecondOfAMinuteIsReachedExactlyBothWays) {
  DataFileBuilder file;
  for (int n = 0; n < 180; ++n) {
    file.AddVideo(static_cast<uint32_t>(n % 4), At(10, n / 120, n / 2 % 60), n % 2 == 0, 1,
                  GetParam() + static_cast<uint32_t>((n * 977) % 301));
  }
  Catalogue({{&file, "a"}});
  for (int s : {0, 1, 17, 30, 59, 60, 61, 75, 89}) {
    SCOPED_TRACE(s);
    ASSERT_EQ(reader_.SeekToTime(CTime(At(10, s / 60, s % 60))), 1);
    EXPECT_EQ(Next(1.0f), file.Frame(static_cast<size_t>(2 * s)));
    ASSERT_EQ(reader_.SeekToTime(CTime(At(10, s / 60, s % 60)), -1), 1);
    EXPECT_EQ(Next(-1.0f), file.Frame(static_cast<size_t>(2 * s + 1)));
  }
  ASSERT_EQ(reader_.SeekToTime(CTime(At(23, 0)), -1), 1);  // after the day's last record
  EXPECT_EQ(Next(-1.0f), file.Frame(179));
  EXPECT_EQ(reader_.SeekToTime(CTime(At(10, 1, 30))), 0);
  EXPECT_EQ(reader_.SeekToTime(CTime(LocalSeconds(2024, 3, 6, 10, 0))), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SeekTest, ::testing::Values(24u, 4000u, 32700u, 33000u, 70000u));

// The jump never lands past its target: not in an older file whose writer opened a second
// entry for a late record of the minute before, nor in the repeated hour of an autumn clock
// change, whose two passes share their local minutes.
TEST_F(ReaderTest, TheJumpNeverLandsPastTheTarget) {
  testsupport::ScopedTimeZone berlin("Europe/Berlin");
  constexpr int32_t kChange = 1729990800;  // 2024-10-27 01:00 UTC: 03:00 CEST back to 02:00
  DataFileBuilder older(true), autumn;
  older.AddVideo(0, kChange - 30, true);
  older.AddVideo(0, kChange + 1, false, 1, 400);
  older.AddAudio(1, kChange - 1, 0, 40);  // a second entry for the minute before
  older.AddVideo(0, kChange + 20, false);
  for (int32_t t = kChange - 3600; t < kChange + 3600; t += 20) autumn.AddVideo(0, t, true);
  Catalogue({{&older, "a"}});
  ASSERT_EQ(reader_.SeekToTime(CTime(kChange + 15)), 1);
  EXPECT_EQ(Next(1.0f), older.Frame(3));
  reader_.Close();
  catalog_.Clear();
  catalog_.SetIndexFile(dir_.path(), "b.FIH");
  Catalogue({{&autumn, "b"}});
  for (int32_t target : {kChange - 1800, kChange - 10, kChange + 1800}) {
    ASSERT_EQ(reader_.SeekToTime(CTime(target)), 1);
    EXPECT_EQ(Next(1.0f), autumn.Frame(static_cast<size_t>(target - kChange + 3600 + 19) / 20));
  }
}

// A forward seek with lead starts at the channel's last key frame before the target and
// marks the frames before the target as lead; a channel whose first frame is a key frame
// needs none. A paused read sleeps and keeps the position; a record larger than the
// caller's buffer is passed over, and a growable buffer grows for it.
TEST_F(ReaderTest, LeadFramesPausesAndRecordsLargerThanTheBuffer) {
  DataFileBuilder file;
  for (int s = 0; s < 8; ++s) file.AddVideo(0, At(10, 0, s), s % 4 == 0);
  file.AddVideo(1, At(10, 0, 6), true);
  file.AddVideo(0, At(10, 0, 8), false, 1, 3000);
  Catalogue({{&file, "a"}});
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 0, 6)), 1, 0b11), 1);
  std::vector<std::pair<std::vector<uint8_t>, bool>> read, want;
  for (size_t i = 0; i < 5; ++i) {
    read.push_back({Next(1.0f), reader_.LastFrameIsLead()});
    want.push_back({file.Frame(i + 4), i < 2});  // lead: channel 0 from its key frame
  }
  EXPECT_EQ(read, want);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Next(0.0f).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
  EXPECT_EQ(Next(1.0f), file.Frame(9)) << "the pause kept the position";
  std::vector<Want> fitting;
  for (size_t i = 0; i < 9; ++i) fitting.push_back({&file, i});
  EXPECT_EQ(Play(At(10, 0), 1.0f, 1000), Frames(fitting));
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 0, 8))), 1);
  std::vector<uint8_t> grown(1000);
  EXPECT_EQ(reader_.ReadNextFrame(&grown, 4000), static_cast<int32_t>(file.Frame(9).size()));
  EXPECT_EQ(grown, file.Frame(9));
}

}  // namespace
}  // namespace reader_test
