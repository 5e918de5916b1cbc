#include "common/paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
  const char* input;
  const char* normalized;  // NormalizeDirectory
  const char* title;       // FileTitleOf
  const char* directory;   // DirectoryOf
};

class PathHelpers : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathHelpers, SplitAndNormalize) {
  const PathCase& c = GetParam();
  EXPECT_EQ(NormalizeDirectory(c.input), c.normalized);
  EXPECT_EQ(FileTitleOf(c.input), c.title);
  EXPECT_EQ(DirectoryOf(c.input), c.directory);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathHelpers,
    ::testing::Values(
        PathCase{"D:\\rec\\file0001.VDB", "D:/rec/file0001.VDB/", "file0001", "D:/rec/"},
        PathCase{"D:/rec", "D:/rec/", "rec", "D:/"},
        PathCase{"D:\\rec\\", "D:/rec/", "", "D:/rec/"}, PathCase{"", "", "", ""},
        PathCase{"file0001.VDB", "file0001.VDB/", "file0001", ""},
        PathCase{"/data/rec/file0001", "/data/rec/file0001/", "file0001", "/data/rec/"},
        PathCase{"/data/rec/a.b.FIH", "/data/rec/a.b.FIH/", "a.b", "/data/rec/"},
        PathCase{"C:file.VDB", "C:file.VDB/", "file", "C:"},
        PathCase{"\\\\server\\share/x.VDB", "//server/share/x.VDB/", "x", "//server/share/"},
        PathCase{"/rec/.hidden", "/rec/.hidden/", "", "/rec/"},
        PathCase{"/rec/name.", "/rec/name./", "name", "/rec/"}, PathCase{"/", "/", "", "/"},
        PathCase{"1:/rec/a.VDB", "1:/rec/a.VDB/", "a", "1:/rec/"},
        // Dots in a directory name do not make an extension.
        PathCase{"/data/v1.2/file0001", "/data/v1.2/file0001/", "file0001", "/data/v1.2/"}));

}  // namespace
