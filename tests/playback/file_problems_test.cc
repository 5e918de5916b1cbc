// What a file search could not read, kept for the tools and the tests (the host's interface
// has no channel for it): the cause of each index file its START left out, and of each data
// file playback could not open; a new START forgets what the last one met.
#include <cerrno>

#include "platform/syscall_faults.h"
#include "playback_test_util.h"

namespace playtest {
namespace {

using Call = platform::ScopedSyscallFault::Call;
using platform::ScopedSyscallFault;

std::vector<std::string> Causes(const std::vector<platform::Status>& problems,
                                const std::string& dir) {
  std::vector<std::string> causes;
  for (const platform::Status& p : problems) {
    std::string text = p.ToString();
    if (const size_t at = text.find(dir); at != std::string::npos) text.erase(at, dir.size());
    causes.push_back(text);
  }
  return causes;
}

TEST_F(PlaybackTest, StartKeepsWhyAnIndexFileWasLeftOutAndARestartForgetsIt) {
  Record(t0).Stream(t0, 2, 5, 1);
  Open(1, {"file0.FIH"});
  {
    ScopedSyscallFault denied(Call::kOpen, EACCES, 0, ScopedSyscallFault::kPersistent, "file0.FIH");
    ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);  // it starts all the same
  }
  EXPECT_EQ(Object()->CatalogStatus().error(), EACCES);
  EXPECT_EQ(Causes(Object()->FileProblems(), dir_.path()),
            std::vector<std::string>{"open file0.FIH: Permission denied"});
  int32_t days = -1;
  _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &days);
  EXPECT_EQ(days, 0);
  _RECORDER_FILESEARCH_STOP(search_);
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  EXPECT_TRUE(Object()->CatalogStatus().ok());
  EXPECT_TRUE(Object()->FileProblems().empty());
  _RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &days);
  EXPECT_EQ(days, 1);
}

TEST_F(PlaybackTest, PlaybackKeepsWhyADataFileCouldNotBeOpenedOncePerFile) {
  Record(t0).Stream(t0, 2, 5, 1);
  Open(1, {"file0.FIH"});
  ASSERT_EQ(_RECORDER_FILESEARCH_START(search_), 1);
  ScopedSyscallFault failing(Call::kOpen, EIO, 0, ScopedSyscallFault::kPersistent, "file0.VDB");
  Display({1});
  PlayFrom(t0);
  ASSERT_TRUE(WaitUntil([&] { return !Object()->FileProblems().empty(); }, 30000));
  const int tried = failing.faults();
  PlayFrom(t0 + 1);  // and again
  ASSERT_TRUE(WaitUntil([&] { return failing.faults() > tried; }, 30000));
  _RECORDER_FILESEARCH_STOP(search_);
  EXPECT_EQ(Causes(Object()->FileProblems(), dir_.path()),
            std::vector<std::string>{"open file0.VDB: Input/output error"});
  EXPECT_TRUE(Object()->CatalogStatus().ok());
  EXPECT_TRUE(Events(IsShown).empty());
}

}  // namespace
}  // namespace playtest
