// The shared library as a host sees it: its exported names, and loading and unloading it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "recorder.h"
#include "support/process_state.h"

namespace {

const std::set<std::string> kExportNames = {
    "_RECORDER_INIT",
    "_RECORDER_END",
    "_RECORDER_START",
    "_RECORDER_STOP",
    "_RECORDER_GETCOUNT",
    "_RECORDER_GETNAME",
    "_RECORDER_SETHEADERFILEPATH",
    "_RECORDER_ADDFILEPATH",
    "_RECORDER_REMOVEFILEPATH",
    "_RECORDER_CLEARFILEPATH",
    "_RECORDER_GETFILEPATHCOUNT",
    "_RECORDER_GETFILEPATH",
    "_RECORDER_GETCURRENTRECFILE",
    "_RECORDER_SETOVERWRITEMODE",
    "_RECORDER_GETOVERWRITEMODE",
    "_RECORDER_GETOVERWRITECOUNT",
    "_RECORDER_SETRECORD",
    "_RECORDER_GETRECORD",
    "_RECORDER_SETSTATUS",
    "_RECORDER_GETSTATUS",
    "_RECORDER_GETBPS",
    "_RECORDER_GETFPS",
    "_RECORDER_SETPREPOSTTIME",
    "_RECORDER_WRITEVIDEO",
    "_RECORDER_WRITEAUDIO",
    "_RECORDER_WRITERECDATA",
    "_RECORDER_WRITESTREAMHEADER",
    "_RECORDER_WRITESTREAMDATA",
    "_RECORDER_DELETEMAN_START",
    "_RECORDER_DELETEMAN_STOP",
    "_RECORDER_FILESEARCH_INIT",
    "_RECORDER_FILESEARCH_SETPATH",
    "_RECORDER_FILESEARCH_START",
    "_RECORDER_FILESEARCH_STOP",
    "_RECORDER_FILESEARCH_END",
    "_RECORDER_FILESEARCH_SETCURRENTCHANNEL",
    "_RECORDER_FILESEARCH_SETDISPLAYCHANNELS",
    "_RECORDER_FILESEARCH_PLAYTIME",
    "_RECORDER_FILESEARCH_PLAYRATE",
    "_RECORDER_FILESEARCH_GETPLAYRATE",
    "_RECORDER_FILESEARCH_SETSTATUS",
    "_RECORDER_FILESEARCH_SetDSTRange",
    "_RECORDER_FILESEARCH_GetDateTable",
    "_RECORDER_FILESEARCH_GetDayTable",
};

TEST(LibraryExportsTest, SharedLibraryDefinesExactlyTheFortyFourFunctions) {
  ASSERT_EQ(kExportNames.size(), 44u);
  const std::string command =
      std::string("nm -D --defined-only ") + RECORDER_LIBRARY_PATH + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> functions;
  std::set<std::string> others;
  std::array<char, 512> line;
  while (fgets(line.data(), line.size(), pipe) != nullptr) {
    std::istringstream fields(line.data());
    std::string address, type, name;
    fields >> address >> type >> name;
    if (name.empty()) continue;
    (type == "T" ? functions : others).insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0) << "nm failed";
  EXPECT_EQ(functions, kExportNames);
  EXPECT_TRUE(others.empty()) << "unexpected symbol " << *others.begin();
}

TEST(LibraryLoadTest, LoadingAndUnloadingLeavesNoThreadAndNoDescriptor) {
  const int threadsBefore = testsupport::BaselineThreadCount();
  const auto descriptorsBefore = testsupport::OpenDescriptors();
  for (int round = 0; round < 3; ++round) {
    void* library = dlopen(RECORDER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto getCount = reinterpret_cast<int32_t (*)()>(dlsym(library, "_RECORDER_GETCOUNT"));
    ASSERT_NE(getCount, nullptr);
    if (round == 0) {
      // The first round calls nothing at all; the later ones count the fresh registry.
      EXPECT_EQ(dlclose(library), 0);
      continue;
    }
    EXPECT_EQ(getCount(), 0);
    EXPECT_EQ(dlclose(library), 0);
  }
  EXPECT_TRUE(testsupport::WaitForThreadCount(threadsBefore));
  EXPECT_EQ(testsupport::OpenDescriptors(), descriptorsBefore);
}

TEST(LibraryLoadTest, RecordersEndedBeforeUnloadLeaveNothingRunning) {
  const int threadsBefore = testsupport::BaselineThreadCount();
  const auto descriptorsBefore = testsupport::OpenDescriptors();
  void* library = dlopen(RECORDER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto init = reinterpret_cast<decltype(&_RECORDER_INIT)>(dlsym(library, "_RECORDER_INIT"));
  auto end = reinterpret_cast<decltype(&_RECORDER_END)>(dlsym(library, "_RECORDER_END"));
  auto count =
      reinterpret_cast<decltype(&_RECORDER_GETCOUNT)>(dlsym(library, "_RECORDER_GETCOUNT"));
  ASSERT_TRUE(init && end && count);
  RECORDER_HANDLE a = init("one", 0, nullptr);
  RECORDER_HANDLE b = init("two", 0, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(count(), 2);
  EXPECT_GT(testsupport::ThreadCount(), threadsBefore);
  end(a);
  end(b);
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(dlclose(library), 0);
  EXPECT_TRUE(testsupport::WaitForThreadCount(threadsBefore));
  EXPECT_EQ(testsupport::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
