#include "data_set_verifier.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "command_line.h"
#include "data_set.h"
#include "platform/local_time.h"
#include "storage/frame_reader.h"
#include "storage/summary_builder.h"

namespace dvrtool {
namespace {

using storage::IndexEntry;
using storage::IndexSummary;

constexpr int kMaxProblemsPerFile = 20;

constexpr uint64_t SummaryField(size_t offsetInSummary) {
  return storage::kIndexSummaryOffset + offsetInSummary;
}
constexpr uint64_t EntryField(int entry, size_t offsetInEntry) {
  return SummaryField(offsetof(IndexSummary, entries)) +
         static_cast<uint64_t>(entry) * storage::kIndexEntrySize + offsetInEntry;
}

std::string TimeText(uint32_t t) { return FormatLocalDateTime(static_cast<time_t>(t)); }

// The summary the writer would have kept for these records.
class ReplayedSummary {
 public:
  void Add(const storage::FrameHeader& h, uint64_t recordSize) {
    builder_.Add(h, static_cast<uint32_t>(recordSize));
    ++records_;
  }
  const IndexSummary& summary() const { return s_; }
  uint64_t records() const { return records_; }

 private:
  IndexSummary s_ = storage::MakeEmptySummary();
  storage::SummaryBuilder builder_{&s_};
  uint64_t records_ = 0;
};

// A record may reach the writer after later records of the other ring, and is then stored
// after them, also as the first records of a new day's file: this much earlier than the
// file's first record is still a record of that file.
constexpr int32_t kLateRecordSeconds = 60;

// What a well-formed record of this recorder looks like beyond its markers.
std::string RecordFault(const storage::FrameHeader& h, const IndexSummary& summary) {
  if (h.channel >= storage::kChannelCount) return "channel " + std::to_string(h.channel);
  const bool audio = storage::IsStoredAudioType(h.type);
  if (!audio && !storage::IsStoredVideoType(h.type)) return "frame type " + std::to_string(h.type);
  if (h.reason == 0 || h.reason > 7) return "reason flags " + std::to_string(h.reason);
  if (audio) {
    if (h.keyFrame != 0 || h.payloadSize != 0) return "audio record with video fields";
  } else {
    if (h.keyFrame > 1) return "key-frame byte " + std::to_string(h.keyFrame);
    const uint64_t expected =
        uint64_t{h.payloadSize} + (h.keyFrame != 0 ? 0 : storage::kNonKeyLeadSize);
    if (h.payloadSize < storage::kVideoTagSize || expected != h.bodySize) {
      return "payload size " + std::to_string(h.payloadSize) + " does not fit body size " +
             std::to_string(h.bodySize);
    }
  }
  if (int64_t{h.time} < int64_t{summary.startTime} - kLateRecordSeconds ||
      h.time > summary.endTime) {
    return "time " + TimeText(h.time) + " outside the file's " + TimeText(summary.startTime) +
           " to " + TimeText(summary.endTime);
  }
  return "";
}

// Whether a record starts at offset 0 of a data file (a new, never-written file reads as
// zeros there).
bool HoldsARecord(const std::string& dataPath) {
  std::ifstream in(dataPath, std::ios::binary);
  uint8_t head[storage::kStartMarkerSize] = {};
  if (!in.read(reinterpret_cast<char*>(head), sizeof(head))) return false;
  return storage::LoadU32(head) == storage::kRecordStartMarker;
}

// An index file that the recorder was still making when it stopped: shorter than a whole
// index file, or without its header, and counting no records. The recorder writes the empty
// record before the header and counts records only after both.
bool IsHalfMadeIndex(const std::string& indexPath) {
  std::ifstream in(indexPath, std::ios::binary);
  std::vector<char> bytes(storage::kIndexFileSize, 0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const auto got = static_cast<uint64_t>(in.gcount());
  const uint32_t magic = storage::LoadU32(bytes.data());
  const uint32_t dataBytes = storage::LoadU32(bytes.data() + storage::kIndexSummaryOffset +
                                              offsetof(IndexSummary, dataBytes));
  return (got < storage::kIndexFileSize || magic == 0) && dataBytes == 0;
}

// The summary is rewritten in place once a second, 2,896 bytes over several disk sectors; a
// power cut in the middle of that write can leave some sectors of the new summary and some
// of the one before (or, when a drive writes out of order, after). Such a summary is whole
// sector by sector: the sector with `dataBytes` matches the records up to `dataBytes`, and
// every other sector matches either those records or the records up to one other record
// boundary near them (the neighbouring write).
constexpr uint64_t kSectorSize = 512;
// How far from `dataBytes` the neighbouring write can lie: one second's records, at most the
// writer's 8 MiB buffer.
constexpr uint64_t kNeighbourBytes = 8u << 20;

bool SectorsMatch(const IndexSummary& stored, const IndexSummary& a, const IndexSummary* b) {
  const auto* have = reinterpret_cast<const uint8_t*>(&stored);
  const auto* mine = reinterpret_cast<const uint8_t*>(&a);
  const auto* other = reinterpret_cast<const uint8_t*>(b);
  uint64_t at = 0;
  while (at < sizeof(IndexSummary)) {
    const uint64_t fileOffset = storage::kIndexSummaryOffset + at;
    const uint64_t end =
        std::min<uint64_t>(sizeof(IndexSummary), (fileOffset / kSectorSize + 1) * kSectorSize -
                                                     storage::kIndexSummaryOffset);
    const size_t length = static_cast<size_t>(end - at);
    const bool first = fileOffset < kSectorSize;
    if (std::memcmp(have + at, mine + at, length) != 0 &&
        (first || other == nullptr || std::memcmp(have + at, other + at, length) != 0)) {
      return false;
    }
    at = end;
  }
  return true;
}

// `expect` is the summary of the records up to the stored `dataBytes`.
bool IsSummaryCaughtMidWrite(const std::string& dataPath, const IndexSummary& stored,
                             const IndexSummary& expect) {
  ReplayedSummary replay;
  bool found = false;
  uint64_t end = 0;
  const uint64_t from = stored.dataBytes > kNeighbourBytes ? stored.dataBytes - kNeighbourBytes : 0;
  const auto check = [&](uint64_t offset) {
    found = found || (offset >= from && offset != stored.dataBytes &&
                      SectorsMatch(stored, expect, &replay.summary()));
  };
  // Past the counted end the records a later summary would count may follow: read on until
  // the first that is not whole (no damage: nothing there was counted).
  const COneFileCatalog file(dataPath, stored, uint64_t{stored.dataBytes} + kNeighbourBytes);
  storage::CFrameReader reader(file.view(), nullptr);
  reader.WalkFileRecords(0, [&](const storage::CFrameReader::FileRecord& r) {
    if (r.status != storage::RecordStatus::kOk) return false;
    check(r.offset);
    replay.Add(r.header, r.next - r.offset);
    end = r.next;
    return true;
  });
  check(end);
  return found;
}

}  // namespace

void CDataSetVerifier::Problem(const std::string& path, uint64_t offset, const std::string& what) {
  ++totals_.problems;
  if (problemList_ != nullptr) problemList_->push_back({path, offset, what});
  if (++problemsInFile_ > kMaxProblemsPerFile) return;
  out_ << path << ": offset " << offset << ": " << what << "\n";
}

VerifyTotals CDataSetVerifier::VerifyDirectory(const std::string& dir) {
  totals_ = VerifyTotals{};
  const std::vector<FilePair> pairs = ListPairs(dir);
  for (const FilePair& pair : pairs) {
    ++totals_.pairs;
    problemsInFile_ = 0;
    if (pair.indexPath.empty()) {
      // The recorder makes the data file of a pair first: a cut before its index file was
      // made leaves a data file that no record was written into yet.
      if (HoldsARecord(pair.dataPath)) {
        Problem(pair.dataPath, 0, "data file without its index file");
      } else {
        out_ << "ok " << pair.dataPath << ": opened in advance, not used yet\n";
      }
    } else if (pair.dataPath.empty()) {
      // The deletion worker removes the data file first: a cut before it removed the index
      // file leaves that alone, and nothing is left to play.
      out_ << "ok " << pair.indexPath << ": its data file was deleted\n";
    } else {
      VerifyPair(pair.dataPath, pair.indexPath);
    }
    if (pairDone_) pairDone_(pair, static_cast<size_t>(totals_.pairs), pairs.size());
  }
  return totals_;
}

void CDataSetVerifier::VerifyPair(const std::string& dataPath, const std::string& indexPath) {
  std::error_code sizeError;
  if (std::filesystem::file_size(indexPath, sizeError) == 0 && !sizeError) {
    // The recorder opens the next pair ahead of time; until it rotates into it, the index
    // file stays empty.
    out_ << "ok " << dataPath << ": opened in advance, not used yet\n";
    return;
  }
  if (IsHalfMadeIndex(indexPath)) {
    out_ << "ok " << dataPath << ": opened in advance, index file not finished\n";
    return;
  }
  const std::optional<IndexFile> index = ReadIndexFile(indexPath);
  if (!index) {
    Problem(indexPath, 0,
            "unreadable or shorter than an index file (" + std::to_string(storage::kIndexFileSize) +
                " bytes)");
    return;
  }
  if (index->header.magic != storage::kFileHeaderMagic) Problem(indexPath, 0, "no FOH1 magic");
  if (index->header.recordCount != 1) {
    Problem(indexPath, offsetof(storage::FileHeader, recordCount),
            "record count " + std::to_string(index->header.recordCount) + ", expected 1");
  }
  const std::string name = storage::IndexRecordName(index->record);
  if (name != storage::DataFileBaseName(dataPath)) {
    Problem(indexPath, storage::kIndexRecordOffset,
            "names data file '" + name + "', not " + storage::DataFileBaseName(dataPath));
  }
  const IndexSummary& stored = index->record.summary;
  if (stored.lastEntry < 0 || stored.lastEntry > storage::kLastEntryMax) {
    Problem(indexPath, SummaryField(offsetof(IndexSummary, lastEntry)),
            "last entry " + std::to_string(stored.lastEntry) + " outside 0..119");
    return;
  }
  if (stored.dataBytes == 0) {
    out_ << "ok " << dataPath << ": no records\n";
    return;
  }

  std::error_code dataError;
  static_cast<void>(std::filesystem::file_size(dataPath, dataError));
  if (dataError) {
    Problem(dataPath, 0, dataError.message());
    return;
  }
  // The records in file order as playback reads them: a damaged record is reported once,
  // with where reading goes on (the next minute entry's first record that reads whole).
  ReplayedSummary built;
  bool damaged = false;
  const COneFileCatalog file(dataPath, stored, stored.dataBytes);
  storage::CFrameReader reader(file.view(), nullptr, this);
  const bool read = reader.WalkFileRecords(0, [&](const storage::CFrameReader::FileRecord& r) {
    if (r.status == storage::RecordStatus::kOk) {
      built.Add(r.header, r.next - r.offset);
      const std::string fault = RecordFault(r.header, stored);
      if (!fault.empty()) Problem(dataPath, r.offset, "record has " + fault);
      return true;
    }
    const bool resumes = r.next < stored.dataBytes;
    if (!damaged && !resumes && ZerosToLimit(dataPath, r.offset, stored.dataBytes)) {
      Problem(indexPath, SummaryField(offsetof(IndexSummary, dataBytes)),
              "dataBytes " + std::to_string(stored.dataBytes) + " but the records end at byte " +
                  std::to_string(r.offset) + " of " + storage::DataFileBaseName(dataPath));
      damaged = true;
      return false;
    }
    damaged = true;
    Problem(dataPath, r.offset,
            DescribeDamage(dataPath, r.offset, r.status, stored.dataBytes) +
                (resumes ? "; unreadable up to offset " + std::to_string(r.next) +
                               ", where the next minute entry starts"
                         : "; nothing after it can be read"));
    return true;
  });
  totals_.records += built.records();
  if (!read) {
    Problem(dataPath, 0, "cannot read the data file");
    return;
  }
  if (damaged) return;  // the summary cannot be compared with records that cannot be read

  const IndexSummary& expect = built.summary();
  if (std::memcmp(&stored, &expect, sizeof(stored)) != 0 &&
      IsSummaryCaughtMidWrite(dataPath, stored, expect)) {
    out_ << "ok " << dataPath << ": " << built.records() << " records, the summary caught in "
         << "the middle of a write\n";
    return;
  }
  auto compare = [&](uint64_t offset, const char* field, int64_t have, int64_t want, bool isTime) {
    if (have == want) return;
    const std::string h = isTime ? TimeText(static_cast<uint32_t>(have)) : std::to_string(have);
    const std::string w = isTime ? TimeText(static_cast<uint32_t>(want)) : std::to_string(want);
    Problem(indexPath, offset, std::string(field) + " is " + h + ", the records say " + w);
  };
  compare(SummaryField(offsetof(IndexSummary, startTime)), "start time", stored.startTime,
          expect.startTime, true);
  compare(SummaryField(offsetof(IndexSummary, endTime)), "end time", stored.endTime, expect.endTime,
          true);
  compare(SummaryField(offsetof(IndexSummary, lastEntry)), "last entry", stored.lastEntry,
          expect.lastEntry, false);
  for (int i = 0; i < static_cast<int>(storage::kIndexEntryCount); ++i) {
    const IndexEntry& have = stored.entries[i];
    const IndexEntry& want = expect.entries[i];
    const std::string entry = "entry " + std::to_string(i) + " ";
    compare(EntryField(i, offsetof(IndexEntry, time)), (entry + "time").c_str(), have.time,
            want.time, true);
    compare(EntryField(i, offsetof(IndexEntry, bytes)), (entry + "bytes").c_str(), have.bytes,
            want.bytes, false);
    compare(EntryField(i, offsetof(IndexEntry, reason1Mask)), (entry + "reason-1 mask").c_str(),
            have.reason1Mask, want.reason1Mask, false);
    compare(EntryField(i, offsetof(IndexEntry, reason2Mask)), (entry + "trigger-A mask").c_str(),
            have.reason2Mask, want.reason2Mask, false);
    compare(EntryField(i, offsetof(IndexEntry, reason4Mask)), (entry + "trigger-B mask").c_str(),
            have.reason4Mask, want.reason4Mask, false);
    compare(EntryField(i, offsetof(IndexEntry, audioMask)), (entry + "audio mask").c_str(),
            have.audioMask, want.audioMask, false);
  }
  if (problemsInFile_ == 0) {
    out_ << "ok " << dataPath << ": " << built.records() << " records, " << stored.dataBytes
         << " bytes, " << stored.lastEntry + 1 << " minute entries, " << TimeText(stored.startTime)
         << " to " << TimeText(stored.endTime) << "\n";
  }
}

}  // namespace dvrtool
