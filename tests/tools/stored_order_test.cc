// dvrtool export and verify on two data files laid out by hand: a channel's frames come out in
// the order they were recorded in, across the files and past a damaged record, from the key
// frame before --from; verify names the damaged record and where reading goes on after it.
#include <gtest/gtest.h>

#include "storage/summary_builder.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;

// A video frame of channel 0 as a file of the table stores it: its second after the base
// time, whether it is a key frame, and whether its start marker is broken.
struct Stored {
  uint32_t second = 0;
  bool key = false;
  bool damaged = false;
};

// The base time, in the tests' zone; the minute changes 10 s after it.
int64_t Base() { return LocalSeconds(2024, 3, 10, 10, 0, 50); }

std::vector<uint8_t> Payload(uint32_t second) { return Pattern(64 + second, second); }

// Writes <title>.VDB with the frames in file order and its index <title>.FIH with the
// summary the writer keeps for them; returns where each record starts.
std::vector<uint64_t> WritePair(const std::string& dir, const std::string& title,
                                const std::vector<Stored>& frames) {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> starts;
  storage::IndexSummary summary = storage::MakeEmptySummary();
  storage::SummaryBuilder builder(&summary);
  for (const Stored& f : frames) {
    const std::vector<uint8_t> payload = Payload(f.second);
    const uint64_t size = storage::VideoRecordSize(payload.size(), f.key);
    starts.push_back(bytes.size());
    bytes.resize(bytes.size() + size);
    uint8_t* at = &bytes[starts.back()];
    const storage::RecordFields fields{
        0,          static_cast<uint32_t>(Base() + f.second), 1, 0, f.key, storage::kReasonRecorded,
        0xA0000001u};
    EXPECT_EQ(storage::BuildVideoRecord(at, size, fields, payload.data(), payload.size()), size);
    builder.Add(storage::LoadAs<storage::FrameHeader>(at + storage::kStartMarkerSize),
                static_cast<uint32_t>(size));
    if (f.damaged) ++at[0];
  }
  WriteBytes(dir + title + ".VDB", bytes);
  WriteIndexFile(dir + title + ".FIH", {MakeRecord(title + ".VDB", summary)});
  return starts;
}

// The frame in the middle of the first minute is damaged; the next minute starts at second 10.
const std::vector<Stored> kDamagedFirst = {{0, true}, {1}, {2, false, true}, {3}, {10, true}, {11}};

TEST(StoredOrderTest, ExportGivesTheChannelsFramesInRecordedOrderFromTheKeyFrameBeforeFrom) {
  ScopedTimeZone zone("UTC");
  struct Row {
    const char* name;
    std::vector<Stored> first, second;  // the two files, the second starting later
    int64_t from;                       // -1: no --from
    std::vector<uint32_t> preRoll, frames;
    int damagedFiles;
  };
  const Row rows[] = {
      {"a frame written late into the next file",
       {{0, true}, {1}, {3}},
       {{2}, {4}},
       -1,
       {},
       {0, 1, 2, 3, 4},
       0},
      {"a damaged frame in the middle of a file",
       kDamagedFirst,
       {{12}, {13}},
       -1,
       {},
       {0, 1, 10, 11, 12, 13},
       1},
      {"--from after the key frame of the file before",
       {{0, true}, {1}},
       {{2}, {3}},
       2,
       {0, 1},
       {2, 3},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    WritePair(dir.path(), "a", row.first);
    WritePair(dir.path(), "b", row.second);
    std::vector<std::string> args = {"export", dir.root(),       "--channel", "0",
                                     "-o",     dir / "out.h264", "--json"};
    if (row.from >= 0) args.insert(args.end(), {"--from", LocalTime(Base() + row.from)});
    const RunResult r = Dvrtool(args);
    EXPECT_EQ(r.status, row.damagedFiles == 0 ? 0 : 1) << r.output;
    std::vector<uint8_t> expected;
    for (const auto* seconds : {&row.preRoll, &row.frames}) {
      for (uint32_t s : *seconds) {
        const std::vector<uint8_t> payload = Payload(s);
        expected.insert(expected.end(), payload.begin(), payload.end());
      }
    }
    EXPECT_TRUE(ReadBytes(dir / "out.h264") == expected);
    EXPECT_THAT(r.output, HasSubstr("\"frames\": " + std::to_string(row.frames.size()) + ","));
    EXPECT_THAT(r.output,
                HasSubstr("\"pre_roll_frames\": " + std::to_string(row.preRoll.size()) + ","));
    EXPECT_THAT(r.output, HasSubstr("\"damaged_files\": " + std::to_string(row.damagedFiles)));
  }
}

TEST(StoredOrderTest, VerifyNamesADamagedRecordAndTheMinuteWhereReadingGoesOn) {
  ScopedTimeZone zone("UTC");
  ScratchDir dir;
  const std::vector<uint64_t> starts = WritePair(dir.path(), "a", kDamagedFirst);
  WritePair(dir.path(), "b", {{12}, {13}});
  const RunResult text = Dvrtool({"verify", dir.root()});
  EXPECT_EQ(text.status, 1);
  EXPECT_THAT(text.output,
              HasSubstr(dir / "a.VDB: offset " + std::to_string(starts[2]) +
                        ": no record starts here (start marker 0x000000c9, "
                        "expected 200); unreadable up to offset " +
                        std::to_string(starts[4]) + ", where the next minute entry starts\n"));
  EXPECT_THAT(text.output, HasSubstr("verify: 2 file pair(s), 6 records, 1 problem(s)"));
  EXPECT_THAT(Dvrtool({"verify", "--json", dir.root()}).output,
              HasSubstr("\"damaged_records\": 1,"));
}

}  // namespace
