// The search source: which index files the host's SETPATH calls put in the list.
#include <sys/stat.h>

#include "catalog_test_util.h"

namespace catalog_test {
namespace {

using SourceTest = CatalogTest;

TEST_F(SourceTest, SetDiscardsTheListAndOnlyAnAddWithItsDataFileSwitchesBack) {
  WriteBytes(dir + "a.VDB", "", 0);
  WriteBytes(dir + "b.VDB", "", 0);
  catalog->AddIndexFile(dir, "a.FIH");
  catalog->AddIndexFile(dir, "b.FIH");
  catalog->SetIndexFile(dir, "h.FIH");
  EXPECT_EQ(catalog->sourceMode, 1);
  EXPECT_EQ(catalog->headerPath, dir + "h.FIH");
  EXPECT_TRUE(catalog->indexPaths.empty());
  EXPECT_TRUE(catalog->dataPaths.empty());

  catalog->AddIndexFile(dir, "y.FIH");  // no y.VDB: nothing changes, mode stays 1
  EXPECT_EQ(catalog->sourceMode, 1);
  EXPECT_TRUE(catalog->indexPaths.empty());
  catalog->AddIndexFile(dir, "b.FIH");
  EXPECT_EQ(catalog->sourceMode, 0);
  EXPECT_EQ(catalog->indexPaths, std::vector<std::string>{dir + "b.FIH"});
  EXPECT_EQ(catalog->dataPaths, std::vector<std::string>{dir + "b.VDB"});
}

// A directory in the name stays in the index path only; the host's directory is normalised.
TEST_F(SourceTest, PathsAreNormalised) {
  WriteBytes(dir + "x.VDB", "", 0);
  catalog->AddIndexFile(dir, "sub\\x.FIH");
  std::string windowsStyle = dir.substr(0, dir.size() - 1);  // no trailing separator
  for (char& c : windowsStyle) {
    if (c == '/') c = '\\';
  }
  catalog->AddIndexFile(windowsStyle, "x.FIH");
  EXPECT_EQ(catalog->indexPaths, (std::vector<std::string>{dir + "sub/x.FIH", dir + "x.FIH"}));
  EXPECT_EQ(catalog->dataPaths, (std::vector<std::string>{dir + "x.VDB", dir + "x.VDB"}));
  catalog->SetIndexFile(dir.substr(0, dir.size() - 1), "a.FIH");
  EXPECT_EQ(catalog->headerPath, dir + "a.FIH");
}

TEST_F(SourceTest, CallsWhileACatalogueStandsChangeNothing) {
  AddPair("a", MakeSummary({{Local(2021, 3, 5, 10, 0), 100}}));
  ASSERT_EQ(catalog->Build(), 1);
  WriteBytes(dir + "b.VDB", "", 0);
  catalog->AddIndexFile(dir, "b.FIH");
  catalog->SetIndexFile(dir, "h.FIH");
  EXPECT_EQ(catalog->sourceMode, 0);
  EXPECT_EQ(catalog->indexPaths, std::vector<std::string>{dir + "a.FIH"});
  EXPECT_TRUE(catalog->headerPath.empty());

  // Once cleared, the list takes additions again and survives for the next build.
  catalog->Clear();
  catalog->AddIndexFile(dir, "b.FIH");
  EXPECT_EQ(catalog->indexPaths, (std::vector<std::string>{dir + "a.FIH", dir + "b.FIH"}));
}

}  // namespace
}  // namespace catalog_test
