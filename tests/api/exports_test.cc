// The export layer against the recorder core linked in: the exported names, every export's
// refusal of a null handle, an ended handle, a handle of the other kind and a bad channel,
// its action on live handles, the registry of recorders, and ENDs racing calls on other
// threads.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "support/process_state.h"
#include "support/recording_host.h"

namespace {

using R = RECORDER_HANDLE;
using S = FILESEARCH_HANDLE;

// Where the live run records, and the day it records (2024-03-10, UTC).
std::string g_dir, g_file;
constexpr int32_t kDay = 1710028800;

// Calls every export that takes a handle (only those that take a channel when `channelsOnly`)
// in an order where each result on live handles shows that the export acted. Not `live`:
// every call is refused with 0 and leaves every output as it was.
void CallAll(R r, S s, uint32_t channel, bool live, bool channelsOnly = false) {
  FrameDescriptor frame{};
  char text[300] = "untouched";
  double rate = -1;
  float playRate = -1;
  std::vector<uint32_t> table(6 * 1500 + 25);
  uint32_t* t = table.data();
  int32_t count = -1;
  int n = 0;
  const auto expect = [&](int64_t got, int64_t result) {
    EXPECT_EQ(got, live ? result : 0) << "check " << n++ << ", channel " << channel;
  };
  if (!channelsOnly) {
    expect(_RECORDER_GETOVERWRITEMODE(r), 1);
    _RECORDER_SETOVERWRITEMODE(r, 0);
    expect(_RECORDER_GETOVERWRITEMODE(r), 0);
    expect(_RECORDER_GETOVERWRITECOUNT(r), 0);
    _RECORDER_ADDFILEPATH(r, g_file.c_str());
    _RECORDER_ADDFILEPATH(r, g_file.c_str());
    expect(_RECORDER_GETFILEPATHCOUNT(r), 2);
    _RECORDER_REMOVEFILEPATH(r, g_file.c_str());
    expect(_RECORDER_GETFILEPATHCOUNT(r), 1);
    const int32_t named = _RECORDER_GETFILEPATH(r, 0, text, 300);
    expect(named + (text == g_file), 2);
    _RECORDER_SETHEADERFILEPATH(r, "", 2);
    expect(_RECORDER_START(r), 0);
    _RECORDER_SETHEADERFILEPATH(r, "", 0);
    expect(_RECORDER_START(r), 1);
    expect(_RECORDER_GETCURRENTRECFILE(r, text, 300), 1);
  }
  _RECORDER_SETRECORD(r, channel, 0);
  expect(_RECORDER_GETRECORD(r, channel), 0);
  _RECORDER_SETRECORD(r, channel, 1);
  expect(_RECORDER_GETRECORD(r, channel), 1);
  frame.type = 1;
  expect(_RECORDER_WRITEVIDEO(r, channel, &frame), 1);
  frame.type = 0;
  expect(_RECORDER_WRITEAUDIO(r, channel, &frame), 1);
  frame.type = 6;
  expect(_RECORDER_WRITERECDATA(r, channel, &frame), 1);
  expect(_RECORDER_GETBPS(r, channel, &rate) + _RECORDER_GETFPS(r, channel, &rate), 2);
  expect(rate != -1, 1);
  _RECORDER_SETSTATUS(r, channel, 7);
  expect(_RECORDER_GETSTATUS(r, channel), 7);
  if (channelsOnly) return;
  _RECORDER_SETPREPOSTTIME(r, 1, 2);
  _RECORDER_DELETEMAN_START(r, 1, 1);
  _RECORDER_DELETEMAN_STOP(r);
  _RECORDER_STOP(r);
  expect(_RECORDER_GETCURRENTRECFILE(r, text, 300), 0);
  // Not recording: a host's stream header would be written over the summary otherwise.
  expect(
      _RECORDER_WRITESTREAMHEADER(r, 0, t, 4, 0) + _RECORDER_WRITESTREAMDATA(r, 0, t, 4, 1, 0, 0),
      0);
  _RECORDER_CLEARFILEPATH(r);
  expect(_RECORDER_GETFILEPATHCOUNT(r), 0);
  _RECORDER_FILESEARCH_SETPATH(s, g_dir.c_str(), "file0.FIH", 1);
  expect(_RECORDER_FILESEARCH_START(s), 1);
  expect(_RECORDER_FILESEARCH_START(s), 0);  // already started
  _RECORDER_FILESEARCH_GetDateTable(s, t, &count);
  expect(count + 1, 2);
  // The day the clock goes back: its kind, the day table's last output, goes to count.
  _RECORDER_FILESEARCH_SetDSTRange(s, 1, 1, 7, 2, 3, 10, 3);
  _RECORDER_FILESEARCH_GetDayTable(s, kDay, t, t + 1500, t + 3000, t + 4500, t + 6000, t + 7500,
                                   &count, &count);
  expect(count + 1, 4);
  expect(std::count(t, t + 1500, 1u), 1);
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(s, 0);
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(s, t, 4);
  expect(_RECORDER_FILESEARCH_PLAYTIME(s, 2024, 1, 1, 0, 0, 0), 1);
  expect(_RECORDER_FILESEARCH_PLAYRATE(s, 2.0f), 1);
  expect(_RECORDER_FILESEARCH_GETPLAYRATE(s, &playRate), 1);
  expect(playRate + 1, 3);
  expect(_RECORDER_FILESEARCH_SETSTATUS(s, 1), 0);
  _RECORDER_FILESEARCH_STOP(s);
  expect(_RECORDER_FILESEARCH_START(s), 1);
  _RECORDER_FILESEARCH_END(s);
  _RECORDER_END(r);
  expect(_RECORDER_FILESEARCH_START(s) + _RECORDER_GETSTATUS(r, 0), 0);
}

// The shared library defines exactly the functions the public header declares, and no other
// symbol.
TEST(ExportsTest, SharedLibraryDefinesExactlyTheFortyFourFunctionsOfTheHeader) {
  std::ifstream header(RECORDER_SOURCE_DIR "/include/recorder.h");
  const std::regex declaration(R"(^[a-zA-Z].* (_RECORDER_\w+)\()");
  std::set<std::string> declared, defined;
  std::smatch match;
  for (std::string line; std::getline(header, line);) {
    if (std::regex_search(line, match, declaration)) declared.insert("T " + match[1].str());
  }
  EXPECT_EQ(declared.size(), 44u);
  FILE* pipe = popen("nm -D --defined-only " RECORDER_LIBRARY_PATH, "r");
  ASSERT_NE(pipe, nullptr);
  char type[8], name[256];
  while (std::fscanf(pipe, "%*s %7s %255s", type, name) == 2) {
    defined.insert(type + (" " + std::string(name)));
  }
  ASSERT_EQ(pclose(pipe), 0) << "nm failed";
  EXPECT_EQ(defined, declared);
}

// The name at `index` through a buffer of `size`; "-" when nothing was written.
std::string NameAt(int32_t index, int32_t size = 64) {
  char buffer[64];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(_RECORDER_GETNAME(index, buffer, &size), 0);
  return buffer[0] == '#' ? std::string("-") : std::string(buffer, strnlen(buffer, 64));
}

// Null, ended and foreign handles and bad channels are refused with every output untouched;
// the count and names follow the live recorders and an ended handle is never handed out
// again; then live handles run through every export.
TEST(ExportsTest, EveryExportRefusesBadHandlesAndActsOnLiveOnes) {
  R ended = _RECORDER_INIT("ended", 0, nullptr);
  _RECORDER_END(ended);
  S endedSearch = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
  _RECORDER_FILESEARCH_END(endedSearch);
  testsupport::RecordingHost host;  // on the test clock at 10:00 of kDay, zone UTC
  R r = host.handle, unnamed = _RECORDER_INIT(nullptr, 0, nullptr);
  S s = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
  // From the fourth on, bad channels.
  for (const auto& [badRecorder, badSearch, channel] :
       std::vector<std::tuple<R, S, uint32_t>>{{nullptr, nullptr, 0},
                                               {ended, endedSearch, 0},
                                               {reinterpret_cast<R>(s), reinterpret_cast<S>(r), 0},
                                               {r, nullptr, 32},
                                               {r, nullptr, 0xFFFFFFFFu}}) {
    CallAll(badRecorder, badSearch, channel, false, channel != 0);
  }
  // Null pointers with a live handle are refused.
  _RECORDER_ADDFILEPATH(r, nullptr);
  _RECORDER_REMOVEFILEPATH(r, nullptr);
  _RECORDER_SETHEADERFILEPATH(r, nullptr, 1);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(r) + _RECORDER_START(r) +
                _RECORDER_GETFILEPATH(r, 0, nullptr, 32) +
                _RECORDER_GETCURRENTRECFILE(r, nullptr, 32) + _RECORDER_GETBPS(r, 0, nullptr) +
                _RECORDER_GETFPS(r, 0, nullptr) + _RECORDER_WRITESTREAMHEADER(r, 0, nullptr, 9, 0) +
                _RECORDER_FILESEARCH_GETPLAYRATE(s, nullptr),
            0);
  // Names by index, the lower handle first; a null name is empty, a buffer without room for
  // the name and its end gets nothing.
  char buffer[8];
  const int32_t size = 8;
  const int h = r < unnamed ? 0 : 1;
  EXPECT_EQ((std::vector<std::string>{NameAt(h), NameAt(1 - h), NameAt(2), NameAt(-1), NameAt(h, 4),
                                      NameAt(h, 5)}),
            (std::vector<std::string>{"host", "", "-", "-", "-", "host"}));
  EXPECT_EQ(_RECORDER_GETNAME(h, nullptr, &size) + _RECORDER_GETNAME(h, buffer, nullptr), 0);
  _RECORDER_END(unnamed);
  _RECORDER_END(unnamed);
  EXPECT_EQ(std::make_pair(_RECORDER_GETCOUNT(), NameAt(0)),
            std::make_pair(1, std::string("host")));
  g_dir = host.dir.path();
  g_file = host.Data(0);
  CallAll(r, s, 0, true);
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
}

// Each round, callers on three threads create and end recorders of their own while END of a
// shared one races their calls into it. Then a second copy of the library is loaded, drives
// two recorders (which start threads) and is unloaded. Afterwards no thread and no descriptor
// is left.
TEST(ExportsThreadsTest, EndRacingCallsAndUnloadingTheLibraryLeaveNoThreadOrDescriptor) {
  const int threadsBefore = testsupport::BaselineThreadCount();
  const auto descriptorsBefore = testsupport::OpenDescriptors();
  for (int round = 0; round < 20; ++round) {
    R handle = _RECORDER_INIT("busy", 0, nullptr);
    std::atomic<bool> ended{false};
    std::vector<std::jthread> callers;  // joined at the end of the round
    for (uint32_t t = 0; t < 3; ++t) {
      callers.emplace_back([&, t] {
        R own = _RECORDER_INIT("own", t, nullptr);
        char buffer[64];
        for (int i = 0, refused = 0; i < 2000 && refused < 30; ++i) {
          const bool wasEnded = ended.load();
          _RECORDER_SETSTATUS(handle, t, 3);
          const uint32_t status = _RECORDER_GETSTATUS(handle, t);
          _RECORDER_GETFILEPATH(handle, 0, buffer, sizeof(buffer));
          EXPECT_TRUE(!wasEnded || status == 0) << "a call after END acted";
          refused += wasEnded;
        }
        _RECORDER_END(own);
      });
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
    _RECORDER_END(handle);
    ended = true;
  }
  void* library = dlopen(RECORDER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto init = reinterpret_cast<decltype(&_RECORDER_INIT)>(dlsym(library, "_RECORDER_INIT"));
  auto end = reinterpret_cast<decltype(&_RECORDER_END)>(dlsym(library, "_RECORDER_END"));
  auto count =
      reinterpret_cast<decltype(&_RECORDER_GETCOUNT)>(dlsym(library, "_RECORDER_GETCOUNT"));
  ASSERT_TRUE(init && end && count);
  R one = init("one", 0, nullptr), two = init("two", 0, nullptr);
  EXPECT_EQ(std::make_pair(count(), testsupport::ThreadCount() > threadsBefore),
            std::make_pair(2, true));
  end(one);
  end(two);
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(dlclose(library), 0);
  EXPECT_TRUE(testsupport::WaitForThreadCount(threadsBefore));
  EXPECT_EQ(testsupport::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
