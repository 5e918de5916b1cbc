// dvrtool verify on a real recording: each kind of damage is reported with the file it is in
// and the byte offset where it is, and every record the parser rejects is counted once.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>

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
  for (const auto& r : testsupport::ScanRecords(data, ReadSummary(index).dataBytes)) {
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
    testsupport::WriteBytes(data, cleanData);
    testsupport::WriteBytes(index, cleanIndex);
  }
  EXPECT_EQ(Dvrtool({"verify", dir.root()}).status, 0);
}

}  // namespace
}  // namespace tooltest
