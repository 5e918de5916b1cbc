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

// The newest file is told by the index files alone: the highest sequence among the files
// that hold records, then (files of an older build) the latest last record, then the later
// file. Last-write times play no part, a data file without an index file holds nothing, and
// a directory in the list is no file of the set; none of the files there: none is newest.
TEST(RotationSetTest, NewestOfThePathsComesFromTheIndexFiles) {
  struct File {
    uint32_t sequence;
    uint32_t dataBytes;  // kNoIndex: no index file
    int endHour;
  };
  constexpr uint32_t kNoIndex = UINT32_MAX;
  const struct {
    const char* name;
    std::vector<File> files;
    int32_t newest;
    uint32_t highest;
  } rows[] = {
      // clang-format off
      {"highest sequence with records", {{1, 9, 10}, {3, 9, 8}, {2, 9, 12}}, 1, 3},
      {"a file without records never wins", {{1, 9, 10}, {5, 0, 0}, {0, 9, 11}}, 0, 5},
      {"unnumbered: the later last record, a tie to the later file",
       {{0, 9, 10}, {0, 9, 11}, {0, 9, 11}, {0, 9, 9}}, 2, 0},
      {"nothing recorded: the highest sequence", {{2, 0, 0}, {1, 0, 0}}, 0, 2},
      {"no index file: holds nothing", {{0, kNoIndex, 0}, {4, kNoIndex, 0}}, 1, 0},
      // clang-format on
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ScratchDir dir;
    std::vector<std::string> paths;
    for (size_t i = 0; i < r.files.size(); ++i) {
      const File& f = r.files[i];
      paths.push_back(dir / ("f" + std::to_string(i) + ".VDB"));
      // The last-write times say the opposite of the sequence.
      SetWritten(paths.back(), 1700000000 - static_cast<time_t>(f.sequence) * 100);
      if (f.dataBytes == kNoIndex) continue;
      storage::IndexSummary s = storage::MakeEmptySummary();
      s.dataBytes = f.dataBytes;
      if (f.dataBytes != 0) s.endTime = LocalSeconds(2024, 3, 10, f.endHour, 0);
      WriteIndexFile(storage::IndexFileName(paths.back()),
                     {MakeRecord(storage::DataFileBaseName(paths.back()), s)}, {}, f.sequence);
    }
    RotationSet none;
    EXPECT_TRUE(none.LoadFromPaths({dir / "missing.VDB"}) && none.FindNewestOfPaths() == -1);
    std::vector<std::string> listed = paths;
    listed.insert(listed.begin() + 1, dir.root());
    RotationSet set;
    EXPECT_TRUE(set.LoadFromPaths(listed));
    EXPECT_EQ(Paths(set), paths);
    EXPECT_EQ(set.FindNewestOfPaths(), r.newest);
    EXPECT_EQ(set.highestSequence(), r.highest);
  }
}

}  // namespace
