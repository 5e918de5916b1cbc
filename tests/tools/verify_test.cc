// dvrtool verify on a real recording: each kind of damage is reported with the file it is in
// and the byte offset where it is, and every record the parser rejects is counted once.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>

#include "support/recording_host.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

struct Damage {
  int record;      // of dvr00.VDB; -1: dvr00.FIH is patched at `at` (summary fields)
  int64_t at;      // from the record's start (>= 0) or its end (< 0)
  uint32_t value;  // added to the 4 bytes there; 0: the data file is cut there
  const char* line;
  int damaged;
};

TEST(VerifyTest, EachDamageIsReportedWhereItIsAndCounted) {
  ScratchDir dir;
  ASSERT_EQ(Dvrtool({"record", "--dir", dir.root(), "--files", "3", "--channels", "2", "--seconds",
                     "2", "--fast", "--audio", "--quiet"})
                .status,
            0);
  const std::string data = dir / "dvr00.VDB", index = dir / "dvr00.FIH";
  std::vector<uint64_t> starts;
  for (const auto& r : ScanRecords(data, ReadSummary(index).dataBytes)) {
    starts.push_back(r.offset);
  }
  ASSERT_EQ(starts.size(), 150u);  // 2 s at 25 fps on 2 channels, and channel 0's audio
  const std::vector<uint8_t> cleanData = ReadBytes(data), cleanIndex = ReadBytes(index);
  const Damage rows[] = {
      {37, 0, 1, "offset S: no record starts here", 1},
      {37, storage::kRecordChannelOffset, 0x80, "offset S: record has", 0},
      {37, storage::kRecordBodySizeOffset, 0xFF000000u, "offset S: body size", 1},
      {37, -8, 1, "offset S: the trailer's body size differs", 1},
      {37, -4, 1, "offset S: bad end marker", 1},
      {100, 20, 0, "offset S: record cut short", 1},
      {-1, 108, 4096, "offset 108: dataBytes", 1},
      {-1, 120, 1, "offset 120: entry 0 bytes", 0},
      {-1, 128, 0x80, "offset 128: entry 0", 0}};
  for (const Damage& row : rows) {
    SCOPED_TRACE(row.line);
    const std::string& path = row.record < 0 ? index : data;
    const uint64_t start = row.record < 0 ? 0 : starts[row.record];
    const uint64_t at = row.at >= 0 ? start + row.at : starts[row.record + 1] + row.at;
    const uint32_t word = storage::LoadU32(ReadBytes(path, at, 4).data()) + row.value;
    row.value != 0 ? PatchBytes(path, at, &word, 4) : std::filesystem::resize_file(path, at);
    std::string line = row.line;
    if (line.find('S') != std::string::npos) line.replace(line.find('S'), 1, std::to_string(start));
    const RunResult text = Dvrtool({"verify", dir.root()});
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.output.find(path + ": " + line), std::string::npos) << text.output;
    EXPECT_NE(Dvrtool({"verify", "--json", dir.root()})
                  .output.find("\"damaged_records\": " + std::to_string(row.damaged)),
              std::string::npos);
    WriteBytes(data, cleanData);
    WriteBytes(index, cleanIndex);
  }
  EXPECT_EQ(Dvrtool({"verify", dir.root()}).status, 0);
}

// And on a set recorded through the exports across midnight, with a STOP and a
// START in the same second before and after it (as the restarting settings do) and records of
// the two rings stored out of order: every file of the set is consistent, and the recording
// went on in the file after the one just stopped.
TEST(MidnightRestartVerifyTest, SetRecordedAcrossMidnightWithRestartsVerifiesClean) {
  RecordingHost host("UTC", LocalSeconds(2024, 6, 1, 23, 59, 50));
  host.AddFiles(4, 2);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  int taken = 0;
  for (int s = 0; s < 20; ++s) {
    if (s == 5 || s == 15) {  // restart within the second
      _RECORDER_STOP(host.handle);
      ASSERT_EQ(_RECORDER_START(host.handle), 1);
    }
    for (int f = 0; f < 5; ++f) {
      taken +=
          host.Video(0, 1500, f == 0, 3) + host.Video(1, 1500, f == 0, 3) + host.Audio(0, 320, 4);
    }
    // The clock moves on while the writers still hold records of the second before: the
    // audio writer may store some after the video writer stored a later second's (also the
    // first records of the new day's file).
    host.SetTime(g_testNow + 1);
  }
  host.End();
  EXPECT_EQ(taken, 20 * 15);
  // START, the restart before midnight, midnight, the restart after it: four files in turn.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(host.log.Count(RECORDER_EVENT_FILE_OPENED, 0, host.Data(i)), 1u) << i;
  }
  const RunResult r = Dvrtool({"verify", host.dir.root()});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(std::to_string(taken) + " records, 0 problem(s)"), std::string::npos)
      << r.output;
}

}  // namespace
}  // namespace tooltest
