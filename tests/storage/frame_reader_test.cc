// The frame reader over data files built record by record: seeking, forward and backward
// play with key-frame injection, and files that are short, reused, missing or damaged, where
// every damaged record is reported with what is wrong with it.
#include "storage/frame_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>

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
#include "support/test_seed.h"

namespace {

using platform::CTime;
using testsupport::LocalSeconds;

// The longest frame the reader hands out is the longest a recorder stores, which its video
// ring holds.
static_assert(storage::kMaxFrameLength ==
              storage::kMaxRecordSize - (storage::kRecordOverhead - storage::kFrameHeaderSize));
static_assert(storage::kMaxRecordSize + CFrameRing::kRecordHeaderSize <=
              Intake::kVideoRingCapacity);

// A data file composed record by record (payloads no two records share), with the index
// summary the writer threads keep beside it (storage::SummaryBuilder). Never copied: the
// builder books into this object's own summary.
class DataFile {
 public:
  void AddVideo(uint32_t channel, uint32_t time, bool key, uint32_t type = 1,
                uint32_t length = 24) {
    const auto n = static_cast<uint32_t>(records.size());
    Add({channel, time, type, 0x100 + n, key, storage::kReasonRecorded, 0xA5000000u + n}, length,
        storage::VideoRecordSize(length, key), storage::BuildVideoRecord);
  }
  void AddAudio(uint32_t channel, uint32_t time, uint32_t type = 0, uint32_t length = 40) {
    Add({channel, time, type, 0, false, storage::kReasonRecorded, 0}, length,
        storage::AudioRecordSize(length), storage::BuildAudioRecord);
  }
  // Record i as the reader hands it out: FrameHeader followed by the body.
  std::vector<uint8_t> Frame(size_t i) const {
    const auto [offset, size] = records.at(i);
    return {bytes.begin() + offset + storage::kStartMarkerSize,
            bytes.begin() + offset + size - storage::kRecordTrailerSize};
  }
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, size_t>> records;  // offset and size of each record
  storage::IndexSummary summary = storage::MakeEmptySummary();

 private:
  template <typename Builder>
  void Add(const storage::RecordFields& fields, uint32_t length, uint64_t size, Builder build) {
    const std::vector<uint8_t> payload =
        testsupport::Pattern(length, static_cast<uint32_t>(records.size() * 64 + fields.channel));
    records.push_back({bytes.size(), size});
    bytes.resize(bytes.size() + size);
    uint8_t* at = &bytes[records.back().first];
    ASSERT_EQ(build(at, size, fields, payload.data(), length), size);
    builder_.Add(storage::LoadAs<storage::FrameHeader>(at + storage::kStartMarkerSize),
                 static_cast<uint32_t>(size));
  }

  storage::SummaryBuilder builder_{&summary};
};

int32_t At(int h, int m, int s = 0) { return LocalSeconds(2024, 3, 5, h, m, s); }

// A frame the reader handed out, and whether it went to the sink (a key frame injected
// before the frame it belongs to).
using Got = std::pair<bool, std::vector<uint8_t>>;
Got F(const DataFile& file, size_t i, bool injected = false) { return {injected, file.Frame(i)}; }

class ReaderTest : public ::testing::Test, public storage::FrameSink, public storage::Reporter {
 protected:
  void OnPrecedingKeyFrame(const uint8_t* frame, int32_t length) override {
    got_.push_back({true, {frame, frame + length}});
  }
  void Corruption(const std::string&, uint64_t, storage::RecordStatus status) override {
    ++damage_[static_cast<size_t>(status)];
  }
  void OpenFailed(const platform::Status& status) override {
    std::string text = status.ToString();  // the path within the directory
    if (const size_t at = text.find(dir_.path()); at != std::string::npos)
      text.erase(at, dir_.path().size());
    unopened_.insert(text);
  }
  // Writes file i as <i>.VDB with its index <i>.FIH and lists them in order.
  void Catalogue(const std::vector<std::reference_wrapper<const DataFile>>& files) {
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string title = std::to_string(i);
      testsupport::WriteBytes(dir_.path() + title + ".VDB", files[i].get().bytes);
      testsupport::WriteIndexFile(
          dir_.path() + title + ".FIH",
          {testsupport::MakeRecord(title + ".VDB", files[i].get().summary)});
      catalog_.AddIndexFile(dir_.path(), title + ".FIH");
    }
    ASSERT_TRUE(catalog_.Build().ok());
  }
  // The first `most` frames the reader hands out at `rate` up to the end of the recording:
  // from its start (its end when rate < 0) when `whole`, else from where it is; a lead frame
  // is marked as injected.
  std::vector<Got> Play(bool whole, float rate, size_t most = SIZE_MAX, uint32_t room = 614400) {
    got_.clear();
    damage_ = {};
    EXPECT_TRUE(!whole || reader_.ResetReadPosition(rate < 0 ? -1 : 1) == 1);
    reader_.SetPlayRate(rate);
    std::vector<uint8_t> buffer(room);
    for (int32_t n = 0, guard = 0; n >= 0 && got_.size() < most && ++guard < 100000;) {
      n = reader_.ReadNextFrame(buffer.data(), room);
      maxOpen_ = std::max(maxOpen_, reader_.OpenDataFileCount());
      if (n > 0) got_.push_back({reader_.LastFrameIsLead(), {buffer.begin(), buffer.begin() + n}});
    }
    return got_;
  }
  // The frame a seek to `t` lands on, read in the seek's direction.
  std::vector<uint8_t> SeekRead(int32_t t, int32_t direction = 1) {
    EXPECT_EQ(reader_.SeekToTime(CTime(t), direction), 1);
    return Play(false, static_cast<float>(direction), 1).at(0).second;
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  testsupport::ScratchDir dir_;
  CFileCatalog catalog_;
  storage::CFrameReader reader_{&catalog_.view, this, this};
  std::vector<Got> got_;
  std::array<int, 6> damage_{};     // reports per RecordStatus
  std::set<std::string> unopened_;  // data files the reader could not open, and why
  int32_t maxOpen_ = 0;
};

// Each delivered record is played once each way, files in start-time order across days, each only
// as far as its recorded bytes (a reused file's older tail is not read); other kinds and channels
// are passed over, and so are positions without bytes or whose data file is gone (deleted by
// retention), both ways and by the seek. Backwards each group's key frame is injected first, found
// across files when it lies in an earlier one, never recording data with the key bit nor another
// channel's key frame; audio plays in reverse.
TEST_F(ReaderTest, EachDeliveredRecordPlaysOnceEachWay) {
  DataFile a, b, c, reused, old, nextDay, never, gone, late;
  a.AddVideo(0, At(8, 0), true);
  a.AddVideo(3, At(8, 0, 1), true, 160);  // stored but never delivered
  a.AddAudio(1, At(8, 0, 2), 18);
  b.AddAudio(2, At(9, 0), 161);          // idem
  b.AddVideo(5, At(9, 0, 1), false, 5);  // unknown type
  b.AddVideo(31, At(9, 0, 2), true, 6);
  b.AddAudio(32, At(9, 0, 3), 0);  // channel above 31
  b.AddAudio(7, At(9, 0, 4), 19);
  // Video on channel 0: P K X (recording data with the key bit) P P, K' on channel 2,
  // audio on channel 1.
  c.AddVideo(0, At(10, 0, 2), false);
  c.AddVideo(0, At(10, 0, 3), true, 3);
  c.AddVideo(0, At(10, 0, 4), true, 160);
  c.AddAudio(1, At(10, 0, 4));
  c.AddVideo(2, At(10, 0, 4), true);
  c.AddVideo(0, At(10, 0, 5), false, 2);
  c.AddVideo(0, At(10, 0, 6), false);
  c.AddAudio(1, At(10, 0, 7), 33);
  reused.AddVideo(0, At(10, 30), true);
  old.AddVideo(0, At(7, 0), true);  // left in the reused file from the previous cycle
  reused.bytes.insert(reused.bytes.end(), old.bytes.begin(), old.bytes.end());
  gone.AddVideo(0, At(10, 40), true);
  late.AddVideo(2, At(11, 0), true, 4, 3000);  // larger than some callers' buffers
  nextDay.AddVideo(0, LocalSeconds(2024, 3, 6, 1, 0), true);
  Catalogue({a, b, c, reused, never, gone, late, nextDay});
  std::filesystem::remove(dir_.path() + "5.VDB");
  const std::vector<Got> forward = {F(a, 0), F(a, 2),      F(b, 2),    F(b, 4),      F(c, 0),
                                    F(c, 1), F(c, 3),      F(c, 4),    F(c, 5),      F(c, 6),
                                    F(c, 7), F(reused, 0), F(late, 0), F(nextDay, 0)};
  EXPECT_EQ(Play(true, 1.0f), forward);
  const std::vector<Got> backward = {
      F(nextDay, 0), F(late, 0), F(reused, 0),  F(c, 7), F(c, 1, true), F(c, 6), F(c, 5), F(c, 4),
      F(c, 3),       F(c, 1),    F(a, 0, true), F(c, 0), F(b, 4),       F(b, 2), F(a, 2), F(a, 0)};
  EXPECT_EQ(Play(true, -1.0f), backward);
  EXPECT_EQ(damage_, (std::array<int, 6>{}));
  // A record larger than the caller's buffer is passed over; a growable buffer grows for it.
  std::vector<Got> fitting = forward;
  fitting.erase(fitting.end() - 2);
  EXPECT_EQ(Play(true, 1.0f, SIZE_MAX, 1000), fitting);
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 35))), 1);
  std::vector<uint8_t> grown(1000);
  for (float rate : {0.0f, 1.0f}) {  // paused: nothing read, the position kept
    reader_.SetPlayRate(rate);
    EXPECT_EQ(reader_.ReadNextFrame(&grown, 4000), rate > 0 ? int32_t(late.Frame(0).size()) : 0);
  }
  EXPECT_EQ(grown, late.Frame(0));
}

// A data file that cannot be opened is reported with the operation, its path and the errno,
// and play goes on with the files around it, each way.
TEST_F(ReaderTest, ADataFileThatCannotBeOpenedIsReportedWithItsErrnoAndPlayGoesOnPastIt) {
  DataFile a, b, c;
  a.AddVideo(0, At(8, 0), true);
  b.AddVideo(0, At(9, 0), true);
  c.AddVideo(0, At(10, 0), true);
  Catalogue({a, b, c});
  const std::pair<int, std::string> rows[] = {
      {EACCES, "Permission denied"},   {ENOENT, "No such file or directory"},
      {EMFILE, "Too many open files"}, {ELOOP, "Too many levels of symbolic links"},
      {EIO, "Input/output error"},
  };
  for (const auto& [error, text] : rows) {
    SCOPED_TRACE(text);
    reader_.Close();
    unopened_.clear();
    platform::ScopedSyscallFault failing(platform::ScopedSyscallFault::Call::kOpen, error, 0,
                                         platform::ScopedSyscallFault::kPersistent, "1.VDB");
    EXPECT_EQ(Play(true, 1.0f), (std::vector<Got>{F(a, 0), F(c, 0)}));
    EXPECT_EQ(Play(true, -1.0f), (std::vector<Got>{F(c, 0), F(a, 0)}));
    EXPECT_EQ(unopened_, std::set<std::string>{"open 1.VDB: " + text});
    EXPECT_EQ(damage_, (std::array<int, 6>{}));
  }
}

TEST_F(ReaderTest, ADayOfManyFilesKeepsAFewOpenAndReadsAllOfThemUnlessReadsFail) {
  constexpr size_t kFiles = 70;
  std::vector<DataFile> files(kFiles);
  std::vector<Got> forward;
  for (size_t i = 0; i < kFiles; ++i) {
    files[i].AddAudio(1, At(1, 0) + 10 * static_cast<int32_t>(i));
    files[i].AddVideo(0, At(1, 0) + 10 * static_cast<int32_t>(i) + 1, true);
    forward.insert(forward.end(), {F(files[i], 0), F(files[i], 1)});
  }
  Catalogue({files.begin(), files.end()});
  EXPECT_EQ(Play(true, 1.0f), forward);
  reader_.ResetReadPosition(-1);  // back over the files still open
  EXPECT_EQ(Play(false, -1.0f), std::vector(forward.rbegin(), forward.rend()));
  EXPECT_LE(maxOpen_, storage::CFrameReader::kMaxOpenDataFiles);
  // When every read fails play ends at once, each file reported.
  reader_.Close();  // nothing left in its window
  platform::ScopedSyscallFault failing(platform::ScopedSyscallFault::Call::kRead, EIO);
  for (float rate : {1.0f, -1.0f}) {
    EXPECT_TRUE(Play(true, rate).empty());
    EXPECT_EQ(damage_, (std::array<int, 6>{0, int(kFiles), 0, 0, 0, 0})) << rate;
  }
}

// A damaged record costs that record and what follows it up to the next record start the
// index knows of (the next minute entry's first record), forwards, backwards and in the
// seek's walk, and is reported once each way. Records small enough to be checked whole in
// the reader's window, and larger ones whose head and trailer it checks apart.
// Field of record 1 (from its end when < 0) and what is added to it (with 0 the index claims
// that many recorded bytes instead, more than the file has); the status reported forwards
// and backwards.
using S = storage::RecordStatus;
using Damage = std::tuple<int64_t, uint32_t, S, S>;

class DamageTest : public ReaderTest,
                   public ::testing::WithParamInterface<std::tuple<Damage, uint32_t>> {};

TEST_P(DamageTest, CostsOnlyTheDamagedRecordsAndIsReported) {
  const auto& [at, add, forwardStatus, backwardStatus] = std::get<0>(GetParam());
  DataFile before, damaged, after;  // damaged: 3 records in each of 10:00 and 10:01
  before.AddVideo(0, At(9, 0), true);
  for (int s = 0; s < 6; ++s) damaged.AddAudio(1, At(10, s / 3, s), 0, std::get<1>(GetParam()));
  after.AddAudio(1, At(11, 0));
  if (add != 0) {
    const auto [offset, size] = damaged.records[1];
    uint8_t* field = &damaged.bytes[offset + static_cast<size_t>(at >= 0 ? at : size + at)];
    storage::StoreU32(field, storage::LoadU32(field) + add);
  } else {
    damaged.summary.dataBytes = static_cast<uint32_t>(at);
  }
  Catalogue({before, damaged, after});
  for (float rate : {1.0f, -1.0f}) {
    std::vector<Got> want = {F(rate > 0 ? before : after, 0)};
    // Record 1 is lost, and forwards record 2 with it: the next start known is record 3.
    for (size_t k = 0; k < 6; ++k)
      if (const size_t i = rate > 0 ? k : 5 - k; add == 0 || (i != 1 && (rate < 0 || i != 2)))
        want.push_back(F(damaged, i));
    want.push_back(F(rate > 0 ? after : before, 0));
    EXPECT_EQ(Play(true, rate), want) << rate;
    std::array<int, 6> reported{};
    ++reported[static_cast<size_t>(rate > 0 ? forwardStatus : backwardStatus)];
    EXPECT_EQ(damage_, reported) << rate;
  }
  // The seek's walk passes the damage too, and goes on with the next file after the last.
  EXPECT_EQ(SeekRead(At(10, 0, 1)), damaged.Frame(add != 0 ? 3 : 1));
  EXPECT_EQ(SeekRead(At(10, 1, 6)), after.Frame(0));
}

const Damage kDamages[] = {
    {0, 1, S::kBadStartMarker, S::kBadStartMarker},
    {storage::kRecordBodySizeOffset, 0x80000000u, S::kBodyOverrun, S::kBodyOverrun},
    {-8, 1000000, S::kBadTrailerSize, S::kBadTrailerSize},
    {-8, 8, S::kBadTrailerSize, S::kBadStartMarker},
    {-4, 1, S::kBadEndMarker, S::kBadEndMarker},
    {0x7FFFFF00, 0, S::kShortHead, S::kShortHead},  // the head after the last cannot be read
    {0xFFFFFFFF, 0, S::kShortHead, S::kShortHead}};
INSTANTIATE_TEST_SUITE_P(Damages, DamageTest,
                         ::testing::Combine(::testing::ValuesIn(kDamages),
                                            ::testing::Values(40u, 40000u)));

// A forward seek for lead channels starts each one whose first video frame from the target
// is not a key frame at its last key frame before the target (found past thousands of other
// records) and marks the frames up to the target as lead; other records before the target
// are passed over. A reset then plays the day from its start without lead.
TEST_F(ReaderTest, ASeekWithLeadStartsAChannelAtItsKeyFrame) {
  DataFile f;
  f.AddVideo(0, At(9, 59, 52), true);  // lead of channel 0
  f.AddVideo(1, At(9, 59, 53), true);  // channel 1 starts at the target with a key frame
  for (int n = 0; n < 4100; ++n) f.AddAudio(n == 0 ? 0 : 5, At(9, 59, 54));  // records 2..4101
  f.AddVideo(0, At(9, 59, 55), false);
  f.AddVideo(0, At(10, 0), false);
  f.AddVideo(1, At(10, 0, 1), true);
  f.AddVideo(3, At(10, 0, 2), true, 1, storage::kMaxFrameLength);  // too long to be a frame
  f.AddVideo(3, At(10, 0, 3), false);
  Catalogue({f});
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 0)), 1, 0b111), 1);  // channel 2 has no video
  reader_.SetPlayRate(0.0f);  // a pause before play keeps the lead
  EXPECT_EQ(Play(false, 1.0f), (std::vector<Got>{F(f, 0, true), F(f, 4102, true), F(f, 4103),
                                                 F(f, 4104), F(f, 4106)}));
  reader_.ResetReadPosition(1);
  EXPECT_EQ(Play(false, 1.0f).size(), f.records.size() - 1);
  reader_.ResetReadPosition(-1);  // no key frame can be handed over for channel 3
  EXPECT_EQ(Play(false, -1.0f, 1), std::vector<Got>{F(f, 4106)});
}

// The look back for a lead channel's key frame crosses minutes of other records and a file
// boundary and takes the channel's last key frame before the target, also when a record on
// the way is damaged.
TEST_F(ReaderTest, TheLookBackFindsTheLastKeyFrameMinutesBackInAnEarlierFile) {
  for (const bool damage : {false, true}) {
    DataFile a, b;
    a.AddVideo(0, At(9, 50), true);
    a.AddVideo(0, At(9, 52, 0), true);
    a.AddVideo(0, At(9, 52, 30), true);  // the one the seek needs
    a.AddVideo(1, At(9, 52, 40), true);
    for (int m = 55; m < 60; ++m) {
      for (int s = 0; s < 60; s += 3) b.AddVideo(1, At(9, m, s), true, 1, 3000);
      if (m == 56) b.AddVideo(0, At(9, m, 59), false);
    }
    b.AddVideo(0, At(10, 0), false);
    b.AddVideo(1, At(10, 0, 1), true);
    const size_t lead = 2 * 20, target = b.records.size() - 2;
    if (damage) {
      const size_t offset = b.records[3 * 20 + 5].first;
      storage::StoreU32(&b.bytes[offset], storage::LoadU32(&b.bytes[offset]) + 1);
    }
    Catalogue({a, b});
    ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 0)), 1, 0b1), 1);
    EXPECT_EQ(Play(false, 1.0f),
              (std::vector<Got>{F(a, 2, true), F(b, lead, true), F(b, target), F(b, target + 1)}))
        << damage;
  }
}

// Seeks land on the first record stamped at or after the target (backwards: the last at or
// before it), with records of every size relative to the reader's window, and files long
// enough to be narrowed by halving.
class SeekTest : public ReaderTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SeekTest, EverySecondOfAMinuteIsReachedExactlyBothWays) {
  DataFile file;
  for (int n = 0; n < 180; ++n)
    file.AddVideo(static_cast<uint32_t>(n % 4), At(10, n / 120, n / 2 % 60), n % 2 == 0, 1,
                  GetParam() + static_cast<uint32_t>((n * 977) % 301));
  Catalogue({file});
  for (int s : {0, 1, 17, 30, 59, 60, 61, 75, 89}) {
    EXPECT_EQ(SeekRead(At(10, s / 60, s % 60)), file.Frame(static_cast<size_t>(2 * s))) << s;
    EXPECT_EQ(SeekRead(At(10, s / 60, s % 60), -1), file.Frame(static_cast<size_t>(2 * s + 1)));
  }
  EXPECT_EQ(SeekRead(At(23, 0), -1), file.Frame(179));  // after the day's last record
  EXPECT_EQ(reader_.SeekToTime(CTime(At(10, 1, 30))), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SeekTest, ::testing::Values(24u, 4000u, 32700u, 33000u, 100000u));

// Files that start just before and after local midnight, on the days Berlin changes its
// clocks and an ordinary one, are one time line: play goes on from one day into the next as
// from one file into the next, and a seek just before midnight goes on past it; in the
// repeated autumn hour, whose two passes share their local minutes, the jump never lands past
// its target.
TEST_F(ReaderTest, DaysAreOneTimeLineAndTheJumpNeverPassesItsTarget) {
  testsupport::ScopedTimeZone berlin("Europe/Berlin");
  constexpr int32_t kChange = 1729990800;  // 2024-10-27 01:00 UTC: 03:00 CEST back to 02:00
  const int64_t days[] = {LocalSeconds(2024, 3, 31, 0, 0),  LocalSeconds(2024, 4, 1, 0, 0),
                          LocalSeconds(2024, 10, 27, 0, 0), LocalSeconds(2024, 10, 28, 0, 0),
                          LocalSeconds(2024, 12, 31, 0, 0), LocalSeconds(2025, 1, 1, 0, 0)};
  std::array<DataFile, 9> files;  // for each day: before it, on it, after it
  for (size_t d = 0; d < 3; ++d) {
    files[3 * d].AddVideo(0, days[2 * d] - 1, true);
    files[3 * d + 1].AddVideo(0, days[2 * d], true);
    for (int32_t t = kChange - 3600; d == 1 && t < kChange + 3600; t += 20)
      files[4].AddVideo(0, t, true);
    files[3 * d + 1].AddVideo(0, days[2 * d + 1] - 1, true);
    files[3 * d + 2].AddVideo(0, days[2 * d + 1], true);
  }
  Catalogue({files.begin(), files.end()});
  std::vector<Got> all;
  for (const DataFile& f : files)
    for (size_t k = 0; k < f.records.size(); ++k) all.push_back(F(f, k));
  EXPECT_EQ(Play(true, 1.0f), all);
  EXPECT_EQ(Play(true, -1.0f), std::vector(all.rbegin(), all.rend()));
  for (size_t d = 0; d < 3; ++d) {
    ASSERT_EQ(reader_.SeekToTime(CTime(days[2 * d] - 1)), 1);
    EXPECT_EQ(Play(false, 1.0f, 2), (std::vector<Got>{F(files[3 * d], 0), F(files[3 * d + 1], 0)}));
  }
  for (int32_t target : {kChange - 1800, kChange - 10, kChange + 1800})
    EXPECT_EQ(SeekRead(target), files[4].Frame(size_t(target - kChange + 3600 + 19) / 20 + 1));
}

// Records written up to half a minute late (recording around a trigger writes a channel's kept
// seconds when the trigger comes) are read in time order with the others, and a seek finds
// the late record at its target.
TEST_F(ReaderTest, RecordsWrittenLateAreReadInTimeOrder) {
  DataFile f;
  for (int s = 0; s <= 25; s += 5) f.AddVideo(0, At(10, 0, s), true);  // records 0..5
  for (int s : {2, 7, 12}) f.AddVideo(1, At(10, 0, s), true);          // records 6..8, late
  Catalogue({f});
  EXPECT_EQ(Play(true, 1.0f), (std::vector<Got>{F(f, 0), F(f, 6), F(f, 1), F(f, 7), F(f, 2),
                                                F(f, 8), F(f, 3), F(f, 4), F(f, 5)}));
  EXPECT_EQ(SeekRead(At(10, 0, 11)), f.Frame(8));
}

// Everything a reader of the catalogue hands out over the whole recording, played by a
// forked child as user and group 65534 (nobody): its frames one after the other, or nothing
// when it fails. `single`: one index file (SETPATH flag 0) rather than a list of them.
std::vector<uint8_t> PlayAsNobody(const std::string& dir, bool single, size_t files) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);  // never outlives the test
    close(out[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    CFileCatalog catalog;
    if (single) {
      catalog.SetIndexFile(dir, "all.FIH");
    } else {
      for (size_t i = 0; i < files; ++i) catalog.AddIndexFile(dir, std::to_string(i) + ".FIH");
    }
    if (!catalog.Build().ok()) _exit(3);
    storage::CFrameReader reader(&catalog.view, nullptr);
    reader.ResetReadPosition(1);
    reader.SetPlayRate(1.0f);
    std::vector<uint8_t> buffer(614400);
    for (int32_t n; (n = reader.ReadNextFrame(buffer.data(), 614400)) > 0;)
      if (write(out[1], buffer.data(), size_t(n)) != n) _exit(4);
    _exit(0);
  }
  close(out[1]);
  std::vector<uint8_t> got;
  uint8_t chunk[4096];
  for (ssize_t n; (n = read(out[0], chunk, sizeof(chunk))) > 0;)
    got.insert(got.end(), chunk, chunk + n);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return got;
}

// A recording copied to 0444 files in a 0555 directory lists and plays, for a user who may
// not write them, exactly as its writable original, from a list of index files and from one.
TEST_F(ReaderTest, ARecordingOnReadOnlyMediaPlaysAsItsOriginal) {
  if (geteuid() != 0) GTEST_SKIP() << "playing as another user needs root";
  DataFile a, b;
  a.AddVideo(0, At(9, 0), true);
  a.AddAudio(1, At(9, 0, 1));
  b.AddVideo(0, At(23, 59, 59), true);
  b.AddVideo(0, LocalSeconds(2024, 3, 6, 0, 0, 1), false);
  Catalogue({a, b});
  std::vector<uint8_t> original;
  for (const Got& got : Play(true, 1.0f))
    original.insert(original.end(), got.second.begin(), got.second.end());
  ASSERT_FALSE(original.empty());
  testsupport::WriteIndexFile(
      dir_.path() + "all.FIH",
      {testsupport::MakeRecord("0.VDB", a.summary), testsupport::MakeRecord("1.VDB", b.summary)});
  for (const auto& entry : std::filesystem::directory_iterator(dir_.root()))
    ASSERT_EQ(chmod(entry.path().c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.root().c_str(), 0555), 0);
  for (bool single : {false, true})
    EXPECT_EQ(PlayAsNobody(dir_.path(), single, 2), original) << single;
  ASSERT_EQ(chmod(dir_.root().c_str(), 0700), 0);
}

// Random recordings over several files and days, some records damaged, against a plain model:
// every record in time order, less what a damaged record costs (forwards: it and what follows
// up to the next whole record the index knows of; backwards: it and what lies between it and
// the first damage after the last whole record the index knows of before it). The
// whole recording is read both ways, and seeks land on the first surviving record at or after
// their target. A seek with lead hands each lead channel whose first video frame from the
// target is not a key frame its surviving frames from its last surviving key frame before,
// however far back (key frames are sparse in some recordings), just before that frame, also
// when the data files cannot be mapped and the look back reads them instead.
class ModelTest : public ReaderTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(ModelTest, RandomRecordingsReadAsTheModelSays) {
  const unsigned seed = testsupport::TestSeed(2718) + GetParam();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  {
    const size_t fileCount = 1 + rng() % 5;
    std::vector<DataFile> files(fileCount);
    std::vector<std::vector<bool>> damaged(fileCount);
    int32_t t = LocalSeconds(2024, 3, 4, 23, 58) + static_cast<int32_t>(rng() % 120);
    const uint32_t keyEvery = rng() % 2 == 0 ? 3 : 60;
    for (size_t f = 0; f < fileCount; ++f) {
      for (size_t n = 1 + rng() % 40; n > 0; --n) {
        const uint32_t channel = rng() % 4;
        if (rng() % 4 == 0) {
          files[f].AddAudio(channel, t);
        } else {
          files[f].AddVideo(channel, t, rng() % keyEvery == 0, 1, 24 + rng() % 3000);
        }
        damaged[f].push_back(rng() % 12 == 0);
        t += static_cast<int32_t>(rng() % 25);
      }
      if (rng() % 3 == 0) t += 86400 / 2;  // the next file a day or so later
    }
    for (size_t f = 0; f < fileCount; ++f)
      for (size_t i = 0; i < damaged[f].size(); ++i)
        if (damaged[f][i]) ++files[f].bytes[files[f].records[i].first];  // its start marker
    // The model: forward and backward survivors, with their times.
    std::vector<std::pair<int32_t, Got>> forward;
    std::vector<Got> backward;
    for (size_t f = 0; f < fileCount; ++f) {
      std::vector<uint64_t> starts;  // offsets of the minute entries' first records
      uint64_t sum = 0;
      for (int k = 0; k <= files[f].summary.lastEntry; ++k) {
        starts.push_back(sum);
        sum += files[f].summary.entries[k].bytes;
      }
      uint64_t lostUntil = 0;
      for (size_t i = 0; i < damaged[f].size(); ++i) {
        const uint64_t offset = files[f].records[i].first;
        if (damaged[f][i] && offset >= lostUntil) {
          lostUntil = files[f].bytes.size();
          for (uint64_t start : starts) {
            const auto next = std::find_if(files[f].records.begin(), files[f].records.end(),
                                           [&](auto& r) { return r.first == start; });
            if (start > offset && !damaged[f][size_t(next - files[f].records.begin())]) {
              lostUntil = start;
              break;
            }
          }
        }
        const int32_t time = storage::LoadAs<storage::FrameHeader>(files[f].Frame(i).data()).time;
        if (offset >= lostUntil) forward.push_back({time, F(files[f], i)});
      }
      // Backwards, from the file's end.
      std::vector<Got> kept;
      for (size_t i = damaged[f].size(); i-- > 0;) {
        if (!damaged[f][i]) {
          kept.push_back(F(files[f], i));
          continue;
        }
        // Back to the last entry start before it that holds a whole record, then forwards to
        // the first damage from there: the reader goes on before that damage.
        size_t from = 0;
        bool found = false;
        for (size_t j = 0; j <= i; ++j)
          if (!damaged[f][j] && std::count(starts.begin(), starts.end(), files[f].records[j].first))
            from = j, found = true;
        if (!found) break;
        while (!damaged[f][from]) ++from;
        i = from;
      }
      backward.insert(backward.end(), kept.rbegin(), kept.rend());
    }
    Catalogue({files.begin(), files.end()});
    // Frames are named "file.record" in failures.
    std::map<std::vector<uint8_t>, std::string> names;
    for (size_t f = 0; f < fileCount; ++f)
      for (size_t i = 0; i < files[f].records.size(); ++i)
        names[files[f].Frame(i)] = std::to_string(f) + "." + std::to_string(i);
    const auto named = [&](const std::vector<Got>& frames) {
      std::vector<std::string> out;
      for (const Got& got : frames)
        if (!got.first) out.push_back(names[got.second]);  // key frames handed to the sink aside
      return out;
    };
    std::vector<Got> want;
    for (const auto& [time, got] : forward) want.push_back(got);
    EXPECT_EQ(named(Play(true, 1.0f)), named(want));
    EXPECT_EQ(named(Play(true, -1.0f)), named(std::vector(backward.rbegin(), backward.rend())));
    for (int s = 0; s < 10 && !forward.empty(); ++s) {
      const int32_t target =
          forward.front().first - 30 +
          int32_t(rng() % uint32_t(forward.back().first - forward.front().first + 60));
      const auto first =
          std::find_if(forward.begin(), forward.end(), [&](auto& r) { return r.first >= target; });
      if (first == forward.end()) {
        EXPECT_EQ(reader_.SeekToTime(CTime(target)), 0);
      } else {
        EXPECT_EQ(names[SeekRead(target)], names[first->second.second]) << "at " << target;
      }
    }
    const auto header = [](const Got& got) {
      return storage::LoadAs<storage::FrameHeader>(got.second.data());
    };
    const auto isVideo = [&](const Got& got, uint32_t channel) {
      return header(got).channel == channel && storage::IsDeliveredVideoType(header(got).type);
    };
    for (int s = 0; s < 10 && !forward.empty(); ++s) {
      const uint32_t lead = 1 + rng() % 15;
      const int32_t target =
          forward.front().first +
          int32_t(rng() % uint32_t(forward.back().first - forward.front().first + 1));
      const size_t landing = size_t(
          std::find_if(forward.begin(), forward.end(), [&](auto& r) { return r.first >= target; }) -
          forward.begin());
      std::array<std::vector<Got>, 4> leadOf;
      for (uint32_t c = 0; c < 4; ++c) {
        if ((lead & (1u << c)) == 0) continue;
        size_t i = landing;
        while (i < forward.size() && forward[i].first <= target + 60 &&
               !isVideo(forward[i].second, c))
          ++i;
        if (i == forward.size() || forward[i].first > target + 60 ||
            header(forward[i].second).keyFrame != 0)
          continue;
        size_t key = landing;
        while (key-- > 0 &&
               !(isVideo(forward[key].second, c) && header(forward[key].second).keyFrame))
          ;
        for (size_t j = key; key < landing && j < landing; ++j)
          if (isVideo(forward[j].second, c)) leadOf[c].push_back({true, forward[j].second.second});
      }
      std::vector<Got> want;
      for (size_t i = landing; i < forward.size(); ++i) {
        const uint32_t c = header(forward[i].second).channel;
        if (c < 4 && isVideo(forward[i].second, c)) {
          want.insert(want.end(), leadOf[c].begin(), leadOf[c].end());
          leadOf[c].clear();
        }
        want.push_back(forward[i].second);
      }
      const auto all = [&](const std::vector<Got>& frames) {
        std::vector<std::string> out;
        for (const Got& got : frames) out.push_back((got.first ? "lead " : "") + names[got.second]);
        return out;
      };
      {
        std::optional<platform::ScopedSyscallFault> noMapping;
        if (s % 2 == 1) noMapping.emplace(platform::ScopedSyscallFault::Call::kMmap, ENOMEM);
        ASSERT_EQ(reader_.SeekToTime(CTime(target), 1, lead), 1);
      }
      EXPECT_EQ(all(Play(false, 1.0f)), all(want)) << "at " << target << " lead " << lead;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, ::testing::Range(0u, 12u));

}  // namespace
