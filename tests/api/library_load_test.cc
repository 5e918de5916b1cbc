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

// Every export, without its "_RECORDER_" prefix.
std::set<std::string> ExportNames() {
  std::istringstream list(
      "INIT END START STOP GETCOUNT GETNAME SETHEADERFILEPATH ADDFILEPATH REMOVEFILEPATH "
      "CLEARFILEPATH GETFILEPATHCOUNT GETFILEPATH GETCURRENTRECFILE SETOVERWRITEMODE "
      "GETOVERWRITEMODE GETOVERWRITECOUNT SETRECORD GETRECORD SETSTATUS GETSTATUS GETBPS "
      "GETFPS SETPREPOSTTIME WRITEVIDEO WRITEAUDIO WRITERECDATA WRITESTREAMHEADER "
      "WRITESTREAMDATA DELETEMAN_START DELETEMAN_STOP FILESEARCH_INIT FILESEARCH_SETPATH "
      "FILESEARCH_START FILESEARCH_STOP FILESEARCH_END FILESEARCH_SETCURRENTCHANNEL "
      "FILESEARCH_SETDISPLAYCHANNELS FILESEARCH_PLAYTIME FILESEARCH_PLAYRATE "
      "FILESEARCH_GETPLAYRATE FILESEARCH_SETSTATUS FILESEARCH_SetDSTRange "
      "FILESEARCH_GetDateTable FILESEARCH_GetDayTable ");
  std::set<std::string> names;
  for (std::string name; list >> name;) names.insert("_RECORDER_" + name);
  return names;
}
const std::set<std::string> kExportNames = ExportNames();

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

// Three rounds of load and unload: the first calls nothing, the second counts the fresh
// registry, the third creates two recorders (which start threads) and ends them first.
TEST(LibraryLoadTest, LoadingAndUnloadingLeavesNoThreadAndNoDescriptor) {
  const int threadsBefore = testsupport::BaselineThreadCount();
  const auto descriptorsBefore = testsupport::OpenDescriptors();
  for (int round = 0; round < 3; ++round) {
    void* library = dlopen(RECORDER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = reinterpret_cast<decltype(&_RECORDER_INIT)>(dlsym(library, "_RECORDER_INIT"));
    auto end = reinterpret_cast<decltype(&_RECORDER_END)>(dlsym(library, "_RECORDER_END"));
    auto count =
        reinterpret_cast<decltype(&_RECORDER_GETCOUNT)>(dlsym(library, "_RECORDER_GETCOUNT"));
    ASSERT_TRUE(init && end && count);
    EXPECT_EQ(round > 0 ? count() : 0, 0);
    if (round == 2) {
      RECORDER_HANDLE a = init("one", 0, nullptr);
      RECORDER_HANDLE b = init("two", 0, nullptr);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(count(), 2);
      EXPECT_GT(testsupport::ThreadCount(), threadsBefore);
      end(a);
      end(b);
      EXPECT_EQ(count(), 0);
    }
    EXPECT_EQ(dlclose(library), 0);
  }
  EXPECT_TRUE(testsupport::WaitForThreadCount(threadsBefore));
  EXPECT_EQ(testsupport::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
