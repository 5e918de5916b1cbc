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
      {"latest start with data", 4,
       {{"/r/0", 8, 100}, {"/r/1", 9, 100}, {"/r/2", -1, 100}, {"/r/3", 7, 100}},
       0, true, {"/r/0", "/r/1", "/r/2", "/r/3"}, 1},
      {"ties go to the later record", 2, {{"/r/0", 9, 100}, {"/r/1", 9, 100}},
       0, true, {"/r/0", "/r/1"}, 1},
      {"no data, or negative as signed", 3,
       {{"/r/0", 8, 0}, {"/r/1", 9, 0}, {"/r/2", 10, 0x80000000u}},
       0, true, {"/r/0", "/r/1", "/r/2"}, -1},
      {"an empty path shifts the positions", 4,
       {{"/r/0", 8, 100}, {"", 11, 100}, {"/r/2", 7, 100}, {"/r/3", 9, 100}},
       0, true, {"/r/0", "/r/2", "/r/3"}, 2},
      {"no records", 0, {{"/r/0", 8, 100}}, 0, false, {}, -1},
      {"short head", 1, {}, storage::kHeaderFileHeadSize - 1, false, {}, -1},
      {"huge count: read to the file's end", 0xFFFFFFFFu,
       {{"/r/0", 8, 100}, {"/r/1", 10, 100}, {"/r/2", 9, 100}, {"/r/3", 12, 100}},
       storage::kHeaderFileHeadSize + 3 * storage::kFileInfoSize + 100, true,
       {"/r/0", "/r/1", "/r/2"}, 1},
      {"unterminated path cut at 259", 1, {{std::string(300, 'p'), 8, 100}}, 0, true, {cut}, 0},
      // clang-format on
  };
  for (const char* zone : {"UTC", "Asia/Shanghai"}) {
    ScopedTimeZone tz(zone);
    ScratchDir dir;
    for (const auto& r : rows) {
      SCOPED_TRACE(testing::Message() << zone << ": " << r.name);
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
      ASSERT_TRUE(file);
      RotationSet set;
      EXPECT_EQ(set.LoadFromHeaderFile(*file), r.loaded);
      EXPECT_EQ(Paths(set), r.paths);
      EXPECT_EQ(set.FindNewestOfHeaderFile(*file), r.newest);
    }
  }
}

TEST(RotationSetTest, NewestOfThePathsIsTheLastWrittenFilesWithRecordsFirst) {
  ScratchDir dir;
  const int64_t base = 1700000000;
  const auto p = [&](const char* name) { return dir / name; };
  RotationSet set;
  // Only existing files count; a tie goes to the later file; directories are no files.
  EXPECT_FALSE(set.LoadFromPaths({dir.root()}));
  EXPECT_EQ(set.FindNewestOfPaths(), -1);
  SetWritten(p("a.VDB"), base + 60);
  SetWritten(p("c.VDB"), base + 3600);
  SetWritten(p("d.VDB"), base + 3600);
  SetWritten(p("f.VDB"), base);
  std::vector<std::string> paths;
  for (const char* name : {"a.VDB", "b.VDB", "c.VDB", "d.VDB", "e.VDB", "f.VDB"})
    paths.push_back(p(name));
  std::vector<std::string> withDirectory = paths;
  withDirectory.insert(withDirectory.begin() + 1, dir.root());
  EXPECT_TRUE(set.LoadFromPaths(withDirectory));
  EXPECT_EQ(Paths(set), paths);
  EXPECT_EQ(set.FindNewestOfPaths(), 3);
  // Within one second the later nanosecond wins; a file written an hour later whose index
  // counts no records (one prepared for the next rotation) loses to one whose index does.
  SetWritten(p("a.VDB"), base, 900000000);
  SetWritten(p("b.VDB"), base, 100);
  set.LoadFromPaths({p("a.VDB"), p("b.VDB")});
  EXPECT_EQ(set.FindNewestOfPaths(), 0);
  storage::IndexSummary counted = storage::MakeEmptySummary();
  counted.dataBytes = 100;
  WriteIndexFile(p("b.FIH"), {MakeRecord("b.VDB", counted)});
  WriteIndexFile(p("c.FIH"), {MakeRecord("c.VDB", storage::MakeEmptySummary())});
  set.LoadFromPaths({p("a.VDB"), p("b.VDB"), p("c.VDB")});
  EXPECT_EQ(set.FindNewestOfPaths(), 1);
}

}  // namespace
