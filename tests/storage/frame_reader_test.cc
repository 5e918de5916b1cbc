// The frame reader over data files built record by record: seeking, forward and backward
// play with key-frame injection, and files that are short, reused, missing or damaged, where
// every damaged record is reported with what is wrong with it.
#include "storage/frame_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
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
    ASSERT_EQ(catalog_.Build(), 1);
  }
  // The first `most` frames the reader hands out at `rate` playing the day of `day` (from its
  // end when rate < 0), or from where it is when day is 0; a lead frame is marked as injected.
  std::vector<Got> Play(int32_t day, float rate, size_t most = SIZE_MAX, uint32_t room = 614400) {
    got_.clear();
    damage_ = {};
    EXPECT_TRUE(day == 0 || reader_.OpenDay(CTime(day)) == 1);
    if (day != 0 && rate < 0) reader_.ResetReadPosition(-1);
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
    return Play(0, static_cast<float>(direction), 1).at(0).second;
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  testsupport::ScratchDir dir_;
  CFileCatalog catalog_;
  storage::CFrameReader reader_{&catalog_.view, this, this};
  std::vector<Got> got_;
  std::array<int, 6> damage_{};  // reports per RecordStatus
  int32_t maxOpen_ = 0;
};

// Each delivered record of the day is played once each way, files in start-time order, each only as
// far as its recorded bytes (a reused file's older tail is not read); other kinds, channels and
// days are passed over, and so are positions without bytes or whose data file is gone (deleted by
// retention), both ways and by the seek. Backwards each group's key frame is injected first, found
// across files when it lies in an earlier one, never recording data with the key bit nor another
// channel's key frame; audio plays in reverse.
TEST_F(ReaderTest, EachDeliveredRecordOfTheDayPlaysOnceEachWay) {
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
  const std::vector<Got> forward = {F(a, 0), F(a, 2),      F(b, 2),   F(b, 4), F(c, 0),
                                    F(c, 1), F(c, 3),      F(c, 4),   F(c, 5), F(c, 6),
                                    F(c, 7), F(reused, 0), F(late, 0)};
  EXPECT_EQ(Play(At(12, 0), 1.0f), forward);
  const std::vector<Got> backward = {
      F(late, 0), F(reused, 0),  F(c, 7), F(c, 1, true), F(c, 6), F(c, 5), F(c, 4), F(c, 3),
      F(c, 1),    F(a, 0, true), F(c, 0), F(b, 4),       F(b, 2), F(a, 2), F(a, 0)};
  EXPECT_EQ(Play(At(12, 0), -1.0f), backward);
  EXPECT_EQ(damage_, (std::array<int, 6>{}));
  // A record larger than the caller's buffer is passed over; a growable buffer grows for it.
  EXPECT_EQ(Play(At(12, 0), 1.0f, SIZE_MAX, 1000), std::vector(forward.begin(), forward.end() - 1));
  ASSERT_EQ(reader_.SeekToTime(CTime(At(10, 35))), 1);
  std::vector<uint8_t> grown(1000);
  for (float rate : {0.0f, 1.0f}) {  // paused: nothing read, the position kept
    reader_.SetPlayRate(rate);
    EXPECT_EQ(reader_.ReadNextFrame(&grown, 4000), rate > 0 ? int32_t(late.Frame(0).size()) : 0);
  }
  EXPECT_EQ(grown, late.Frame(0));
}

TEST_F(ReaderTest, ADayOfManyFilesKeepsAtMost64OpenAndReadsAllOfThemUnlessReadsFail) {
  constexpr size_t kFiles = 70;
  std::vector<DataFile> files(kFiles);
  std::vector<Got> forward;
  for (size_t i = 0; i < kFiles; ++i) {
    files[i].AddAudio(1, At(1, 0) + 10 * static_cast<int32_t>(i));
    files[i].AddVideo(0, At(1, 0) + 10 * static_cast<int32_t>(i) + 1, true);
    forward.insert(forward.end(), {F(files[i], 0), F(files[i], 1)});
  }
  Catalogue({files.begin(), files.end()});
  EXPECT_EQ(Play(At(1, 0), 1.0f), forward);
  reader_.ResetReadPosition(-1);  // back over the files still open
  EXPECT_EQ(Play(0, -1.0f), std::vector(forward.rbegin(), forward.rend()));
  EXPECT_LE(maxOpen_, storage::CFrameReader::kMaxOpenDataFiles);
  // When every read fails the day ends at once, each file reported.
  platform::ScopedSyscallFault failing(platform::ScopedSyscallFault::Call::kRead, EIO);
  for (float rate : {1.0f, -1.0f}) {
    EXPECT_TRUE(Play(At(1, 0), rate).empty());
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
    EXPECT_EQ(Play(At(10, 0), rate), want) << rate;
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
  EXPECT_EQ(Play(0, 1.0f), (std::vector<Got>{F(f, 0, true), F(f, 4102, true), F(f, 4103),
                                             F(f, 4104), F(f, 4106)}));
  reader_.ResetReadPosition(1);
  EXPECT_EQ(Play(0, 1.0f).size(), f.records.size() - 1);
  reader_.ResetReadPosition(-1);  // no key frame can be handed over for channel 3
  EXPECT_EQ(Play(0, -1.0f, 1), std::vector<Got>{F(f, 4106)});
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
  EXPECT_EQ(reader_.OpenDay(CTime(LocalSeconds(2024, 4, 5, 10, 0))), 0);  // another month
}

INSTANTIATE_TEST_SUITE_P(Sizes, SeekTest, ::testing::Values(24u, 4000u, 32700u, 33000u, 100000u));

// Files that start just before and after local midnight, on the days Berlin changes its
// clocks and an ordinary one: a day's play reads only the files that start on it; in the
// repeated autumn hour, whose two passes share their local minutes, the jump never lands past
// its target.
TEST_F(ReaderTest, ADayReadsOnlyItsFilesAndTheJumpNeverPassesItsTarget) {
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
  for (size_t d = 0; d < 3; ++d) {
    std::vector<Got> day;
    for (size_t k = 0; k < files[3 * d + 1].records.size(); ++k)
      day.push_back(F(files[3 * d + 1], k));
    EXPECT_EQ(Play(days[2 * d] + 3600, 1.0f), day) << d;
  }
  for (int32_t target : {kChange - 1800, kChange - 10, kChange + 1800})
    EXPECT_EQ(SeekRead(target), files[4].Frame(size_t(target - kChange + 3600 + 19) / 20 + 1));
}

}  // namespace
