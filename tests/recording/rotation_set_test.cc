// The scan of existing files at START: which files make up the set (from the path list or a
// header file) and which of them was written last.
#include "recording/rotation_set.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/recording_host.h"

namespace {

using namespace testsupport;

struct Info {
  std::string path;
  int hour;  // start time on 2024-03-10, -1: the no-time value
  uint32_t dataBytes;
};

std::vector<std::string> Paths(const RotationSet& set) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < set.size(); ++i) paths.push_back(set[i].path);
  return paths;
}

TEST(RotationSetTest, HeaderFileListsRecordsWithAPathAndTheLatestStartWithDataIsNewest) {
  const std::string cut(259, 'p');
  const struct {
    const char* name;
    uint32_t count;
    std::vector<Info> records;
    uint64_t size;  // of the file, 0: whole
    bool loaded;
    std::vector<std::string> paths;
    int32_t newest;  // list position
  } rows[] = {
      // clang-format off
      {"latest start with data, a tie to the later record", 5,
       {{"/r/0", 8, 100}, {"/r/1", 9, 100}, {"/r/2", -1, 100}, {"/r/3", 9, 100}, {"/r/4", 7, 100}},
       0, true, {"/r/0", "/r/1", "/r/2", "/r/3", "/r/4"}, 3},
      {"no data, negative as signed, or no start time", 4,
       {{"/r/0", 8, 0}, {"/r/1", 9, 0}, {"/r/2", 10, 0x80000000u}, {"/r/3", -1, 100}},
       0, true, {"/r/0", "/r/1", "/r/2", "/r/3"}, -1},
      {"an empty path shifts the positions", 4,
       {{"/r/0", 8, 100}, {"", 11, 100}, {"/r/2", 7, 100}, {"/r/3", 9, 100}},
       0, true, {"/r/0", "/r/2", "/r/3"}, 2},
      {"short head", 1, {}, storage::kHeaderFileHeadSize - 1, false, {}, -1},
      {"huge count: read to the file's end", 0xFFFFFFFFu,
       {{"/r/0", 8, 100}, {"/r/1", 10, 100}, {"/r/2", 9, 100}, {"/r/3", 12, 100}},
       storage::kHeaderFileHeadSize + 3 * storage::kFileInfoSize + 100, true,
       {"/r/0", "/r/1", "/r/2"}, 1},
      {"unterminated path cut at 259", 1, {{std::string(300, 'p'), 8, 100}}, 0, true, {cut}, 0},
      // clang-format on
  };
  ScratchDir dir;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<storage::FileInfo> infos;
    for (const Info& i : r.records) {
      infos.push_back(MakeFileInfo(
          i.path.substr(0, 259),
          i.hour < 0 ? platform::CTime::NoTime().seconds() : LocalSeconds(2024, 3, 10, i.hour, 0),
          i.dataBytes));
      if (i.path.size() > 259)
        std::memcpy(infos.back().path, i.path.data(), storage::kFileInfoPathSize);
    }
    WriteHeaderFile(dir / "h", r.count, infos);
    if (r.size != 0) std::filesystem::resize_file(dir / "h", r.size);
    auto file = platform::File::OpenReadOnly(dir / "h");
    RotationSet set;
    EXPECT_EQ(set.LoadFromHeaderFile(*file), r.loaded);
    EXPECT_EQ(std::make_pair(Paths(set), set.FindNewestOfHeaderFile(*file)),
              std::make_pair(r.paths, r.newest));
  }
}

// Only existing files count and directories are no files; the newest is the last written
// (within one second the later nanosecond, a tie the later file), but a file whose index
// counts no records (one prepared for the next rotation) loses to one whose index does.
TEST(RotationSetTest, NewestOfThePathsIsTheLastWrittenFilesWithRecordsFirst) {
  ScratchDir dir;
  std::vector<std::string> p;
  for (const char* name : {"a.VDB", "b.VDB", "c.VDB", "d.VDB", "e.VDB"}) p.push_back(dir / name);
  RotationSet set;
  EXPECT_TRUE(!set.LoadFromPaths({dir.root()}) && set.FindNewestOfPaths() == -1);
  SetWritten(p[0], 1700000060);
  SetWritten(p[2], 1700003600, 5);
  SetWritten(p[3], 1700003600, 5);
  SetWritten(p[4], 1700003600, 4);
  EXPECT_TRUE(set.LoadFromPaths({p[0], dir.root(), p[1], p[2], p[3], p[4]}));
  EXPECT_EQ(std::make_pair(Paths(set), set.FindNewestOfPaths()), std::make_pair(p, 3));
  storage::IndexSummary counted = storage::MakeEmptySummary();
  counted.dataBytes = 100;
  WriteIndexFile(dir / "a.FIH", {MakeRecord("a.VDB", counted)});
  WriteIndexFile(dir / "d.FIH", {MakeRecord("d.VDB", storage::MakeEmptySummary())});
  EXPECT_EQ(set.FindNewestOfPaths(), 0);
}

}  // namespace
