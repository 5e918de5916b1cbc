// The export layer against the recorder core linked in: every export's refusal of a null
// handle, an ended handle and a handle of the other kind (and of a bad channel) in one
// table, the registry of recorders, and ENDs racing calls on other threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "recorder.h"
#include "support/process_state.h"
#include "support/recording_host.h"

namespace {

// What an export was given to write into; every refusal leaves all of it as it was.
struct Outputs {
  char text[300] = "untouched";
  double rate = -1;
  float playRate = -1;
  uint32_t table[6 * 1500 + 25] = {9, 9, 9, 9};
  int32_t count = -1;
  bool untouched() const {
    return std::strcmp(text, "untouched") == 0 && rate == -1 && playRate == -1 && table[0] == 9 &&
           count == -1;
  }
};

using R = RECORDER_HANDLE;
using S = FILESEARCH_HANDLE;
struct Row {
  const char* name;
  std::function<int64_t(R, S, uint32_t channel, Outputs&)> call;
  int64_t live;  // the result on live handles, rows run in order: each shows the export acted
  bool takesChannel = false;
};

// Where the live run records: a file in a scratch directory.
std::string g_dir = "/x/", g_file = "/x/file0.VDB";
constexpr int32_t kDay = 1710028800;  // 2024-03-10 00:00 UTC, the day the live run records

// The day table of kDay into o.table, the day's kind (its last output) into o.count.
void DayTable(S s, Outputs& o) {
  uint32_t* t = o.table;
  _RECORDER_FILESEARCH_GetDayTable(s, kDay, t, t + 1500, t + 3000, t + 4500, t + 6000, t + 7500,
                                   &o.count, &o.count);
}

// One row per export that takes a handle; a row may read back what its export changed. C:
// the export takes a channel, and a descriptor of type 1 with an empty payload.
#define E(name, expr, live)                                                                        \
  {                                                                                                \
#name, [](R r, S s, uint32_t c,                                                                \
              Outputs & o) -> int64_t { return (void)r, (void)s, (void)c, (void)o, (expr); }, live \
  }
#define V(name, expr) E(name, ((expr), 0), 0)
#define C(name, expr, live)                                                \
  {                                                                        \
#name, [](R r, S, uint32_t c, Outputs& o) -> int64_t {                   \
      FrameDescriptor f{};                                               \
      f.type = 1;                                                        \
      return (void)f, (void)o, (expr);                                   \
    }, live, true \
  }
// clang-format off
const std::vector<Row>& Rows() {
  static const uint8_t data[4] = {};
  static const std::vector<Row> rows = {
      E(GETOVERWRITEMODE, _RECORDER_GETOVERWRITEMODE(r), 1),
      E(SETOVERWRITEMODE, (_RECORDER_SETOVERWRITEMODE(r, 0), _RECORDER_GETOVERWRITEMODE(r)), 0),
      E(GETOVERWRITECOUNT, _RECORDER_GETOVERWRITECOUNT(r), 0),
      E(ADDFILEPATH, (_RECORDER_ADDFILEPATH(r, g_file.c_str()), _RECORDER_ADDFILEPATH(r, g_file.c_str()),
                      _RECORDER_GETFILEPATHCOUNT(r)), 2),
      E(REMOVEFILEPATH, (_RECORDER_REMOVEFILEPATH(r, g_file.c_str()), _RECORDER_GETFILEPATHCOUNT(r)), 1),
      E(GETFILEPATHCOUNT, _RECORDER_GETFILEPATHCOUNT(r), 1),
      E(GETFILEPATH, _RECORDER_GETFILEPATH(r, 0, o.text, 300), 1),
      E(SETHEADERFILEPATH, (_RECORDER_SETHEADERFILEPATH(r, "", 2), _RECORDER_START(r)), 0),
      E(START, (_RECORDER_SETHEADERFILEPATH(r, "", 0), _RECORDER_START(r)), 1),
      E(GETCURRENTRECFILE, _RECORDER_GETCURRENTRECFILE(r, o.text, 300), 1),
      C(SETRECORD, (_RECORDER_SETRECORD(r, c, 0), _RECORDER_GETRECORD(r, c)), 0),
      C(GETRECORD, (_RECORDER_SETRECORD(r, c, 1), _RECORDER_GETRECORD(r, c)), 1),
      C(WRITEVIDEO, _RECORDER_WRITEVIDEO(r, c, &f), 1),
      C(WRITEAUDIO, (f.type = 0, _RECORDER_WRITEAUDIO(r, c, &f)), 1),
      C(WRITERECDATA, (f.type = 6, _RECORDER_WRITERECDATA(r, c, &f)), 1),
      C(GETBPS, _RECORDER_GETBPS(r, c, &o.rate), 1), C(GETFPS, _RECORDER_GETFPS(r, c, &o.rate), 1),
      C(SETSTATUS, (_RECORDER_SETSTATUS(r, c, 7), _RECORDER_GETSTATUS(r, c)), 7),
      C(GETSTATUS, _RECORDER_GETSTATUS(r, c), 7),
      V(SETPREPOSTTIME, _RECORDER_SETPREPOSTTIME(r, 1, 2)),
      V(DELETEMAN_START, _RECORDER_DELETEMAN_START(r, 1, 1)),
      V(DELETEMAN_STOP, _RECORDER_DELETEMAN_STOP(r)),
      E(STOP, (_RECORDER_STOP(r), _RECORDER_GETCURRENTRECFILE(r, o.text, 300)), 0),
      // Not recording: a host's stream header would be written over the summary otherwise.
      E(WRITESTREAMHEADER, _RECORDER_WRITESTREAMHEADER(r, 0, data, 4, 0), 0),
      E(WRITESTREAMDATA, _RECORDER_WRITESTREAMDATA(r, 0, data, 4, 1, 0, 0), 0),
      E(CLEARFILEPATH, (_RECORDER_CLEARFILEPATH(r), _RECORDER_GETFILEPATHCOUNT(r)), 0),
      E(FILESEARCH_SETPATH, (_RECORDER_FILESEARCH_SETPATH(s, g_dir.c_str(), "file0.FIH", 1),
                             _RECORDER_FILESEARCH_START(s)), 1),
      E(FILESEARCH_START, _RECORDER_FILESEARCH_START(s), 0),  // already started
      E(FILESEARCH_GetDateTable,
        (_RECORDER_FILESEARCH_GetDateTable(s, o.table, &o.count), o.count + 1), 2),
      E(FILESEARCH_SetDSTRange, (_RECORDER_FILESEARCH_SetDSTRange(s, 1, 1, 7, 2, 3, 10, 3), DayTable(s, o),
                                 o.count + 1), 4),  // the day the clock goes back
      E(FILESEARCH_GetDayTable, (DayTable(s, o), std::count(o.table, o.table + 1500, 1u)), 1),
      V(FILESEARCH_SETCURRENTCHANNEL, _RECORDER_FILESEARCH_SETCURRENTCHANNEL(s, 0)),
      V(FILESEARCH_SETDISPLAYCHANNELS, _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(s, o.table, 4)),
      E(FILESEARCH_PLAYTIME, _RECORDER_FILESEARCH_PLAYTIME(s, 2024, 1, 1, 0, 0, 0), 1),
      E(FILESEARCH_PLAYRATE, _RECORDER_FILESEARCH_PLAYRATE(s, 2.0f), 1),
      E(FILESEARCH_GETPLAYRATE,
        _RECORDER_FILESEARCH_GETPLAYRATE(s, &o.playRate) * 10 + o.playRate + 1, 13),
      E(FILESEARCH_SETSTATUS, _RECORDER_FILESEARCH_SETSTATUS(s, 1), 0),
      E(FILESEARCH_STOP, (_RECORDER_FILESEARCH_STOP(s), _RECORDER_FILESEARCH_START(s)), 1),
      E(FILESEARCH_END, (_RECORDER_FILESEARCH_STOP(s), _RECORDER_FILESEARCH_END(s),
                         _RECORDER_FILESEARCH_START(s)), 0),
      E(END, (_RECORDER_END(r), _RECORDER_GETSTATUS(r, 0)), 0)};
  return rows;
}
// clang-format on
#undef E
#undef V
#undef C

// The rows and the four exports without a handle are exactly what the shared library
// defines: no more, no fewer, and no other symbol.
TEST(ExportsTest, SharedLibraryDefinesExactlyTheFortyFourFunctionsOfTheTable) {
  std::set<std::string> names = {"_RECORDER_INIT", "_RECORDER_GETCOUNT", "_RECORDER_GETNAME",
                                 "_RECORDER_FILESEARCH_INIT"};
  for (const Row& row : Rows()) names.insert(std::string("_RECORDER_") + row.name);
  ASSERT_EQ(names.size(), 44u);
  const std::string command = std::string("nm -D --defined-only ") + RECORDER_LIBRARY_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> functions, others;
  char address[64], type[8], name[256];
  while (std::fscanf(pipe, "%63s %7s %255s", address, type, name) == 3) {
    (std::string(type) == "T" ? functions : others).insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0) << "nm failed";
  EXPECT_EQ(functions, names);
  EXPECT_TRUE(others.empty()) << "unexpected symbol " << *others.begin();
}

// Null, ended and foreign handles and bad channels are refused with every output untouched;
// then live handles run through the rows in order.
TEST(ExportsTest, EveryExportRefusesBadHandlesAndActsOnLiveOnes) {
  R endedRecorder = _RECORDER_INIT("ended", 0, nullptr);
  _RECORDER_END(endedRecorder);
  S endedSearch = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
  _RECORDER_FILESEARCH_END(endedSearch);
  testsupport::RecordingHost host;  // on the test clock at 10:00 of kDay, zone UTC
  R liveRecorder = host.handle;
  S liveSearch = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
  ASSERT_TRUE(liveRecorder && liveSearch);
  const struct {
    const char* what;
    R recorder;
    S search;
  } handles[] = {
      {"null", nullptr, nullptr},
      {"ended", endedRecorder, endedSearch},
      {"of the other kind", reinterpret_cast<R>(liveSearch), reinterpret_cast<S>(liveRecorder)}};
  for (const auto& h : handles) {
    for (const Row& row : Rows()) {
      Outputs out;
      EXPECT_EQ(row.call(h.recorder, h.search, 0, out), 0) << row.name << ", " << h.what;
      EXPECT_TRUE(out.untouched()) << row.name << ", " << h.what;
    }
  }
  // A bad channel is refused before the handle is looked at: 0x10 names no object.
  for (uint32_t channel : {32u, 0x80000000u, 0xFFFFFFFFu}) {
    for (R r : {reinterpret_cast<R>(uintptr_t{0x10}), liveRecorder}) {
      for (const Row& row : Rows()) {
        if (!row.takesChannel) continue;
        Outputs out;
        EXPECT_EQ(row.call(r, nullptr, channel, out), 0) << row.name << " channel " << channel;
        EXPECT_TRUE(out.untouched()) << row.name;
      }
    }
  }
  // Null pointers with a live handle are refused.
  _RECORDER_ADDFILEPATH(liveRecorder, nullptr);
  _RECORDER_SETHEADERFILEPATH(liveRecorder, nullptr, 1);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(liveRecorder) + _RECORDER_START(liveRecorder) +
                _RECORDER_GETFILEPATH(liveRecorder, 0, nullptr, 32) +
                _RECORDER_GETCURRENTRECFILE(liveRecorder, nullptr, 32) +
                _RECORDER_GETBPS(liveRecorder, 0, nullptr) +
                _RECORDER_GETFPS(liveRecorder, 0, nullptr) +
                _RECORDER_WRITESTREAMHEADER(liveRecorder, 0, nullptr, 100, 0) +
                _RECORDER_FILESEARCH_GETPLAYRATE(liveSearch, nullptr),
            0);
  g_dir = host.dir.path();
  g_file = host.Data(0);
  for (const Row& row : Rows()) {
    Outputs out;
    EXPECT_EQ(row.call(liveRecorder, liveSearch, 0, out), row.live) << row.name;
  }
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
}

std::string NameAt(int32_t index, int32_t size = 64) {
  char buffer[64];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(_RECORDER_GETNAME(index, buffer, &size), 0);
  return buffer[0] == '#' ? std::string("-") : std::string(buffer);
}

TEST(ExportsTest, CountAndNamesFollowTheLiveRecordersAndHandlesAreNeverReused) {
  EXPECT_EQ(std::make_pair(_RECORDER_GETCOUNT(), NameAt(0)), std::make_pair(0, std::string("-")));
  std::set<R> ended;
  for (int i = 0; i < 20; ++i) {
    R handle = _RECORDER_INIT("ended", 0, nullptr);
    _RECORDER_END(handle);
    ended.insert(handle);
  }
  EXPECT_EQ(ended.size(), 20u);
  R first = _RECORDER_INIT("first", 0, nullptr), second = _RECORDER_INIT(nullptr, 0, nullptr);
  EXPECT_EQ(ended.count(first) + ended.count(second), 0u);
  EXPECT_EQ(_RECORDER_GETCOUNT(), 2);
  const int f = first < second ? 0 : 1;  // index 0: the lower handle; a null name is empty
  EXPECT_EQ(
      (std::vector<std::string>{NameAt(f), NameAt(1 - f), NameAt(2), NameAt(-1), NameAt(f, 5)}),
      (std::vector<std::string>{"first", "", "-", "-", "-"}));  // -: nothing written
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  const int32_t size = 6;
  EXPECT_EQ(_RECORDER_GETNAME(f, buffer, &size), 0);
  EXPECT_EQ(std::memcmp(buffer, "first\0#", 7), 0);
  EXPECT_EQ(_RECORDER_GETNAME(0, nullptr, &size) + _RECORDER_GETNAME(0, buffer, nullptr), 0);
  int notARecorder = 0;
  _RECORDER_END(reinterpret_cast<R>(&notARecorder));
  _RECORDER_END(first);
  _RECORDER_END(first);
  EXPECT_EQ(std::make_pair(_RECORDER_GETCOUNT(), NameAt(0)), std::make_pair(1, std::string("")));
  _RECORDER_END(second);
}

// Each round, callers on three threads create and end recorders of their own while END of a
// shared one races their calls into it; afterwards no thread and no descriptor is left.
TEST(ExportsThreadsTest, EndWhileOtherThreadsCallTheRecorderWaitsForThemAndThenRefusesThem) {
  const int threadsBefore = testsupport::BaselineThreadCount();
  const auto descriptorsBefore = testsupport::OpenDescriptors();
  for (int round = 0; round < 20; ++round) {
    R handle = _RECORDER_INIT("busy", 0, nullptr);
    ASSERT_NE(handle, nullptr);
    std::atomic<bool> ended{false};
    std::atomic<int> refusedAfterEnd{0};
    std::vector<std::thread> callers;
    for (uint32_t t = 0; t < 3; ++t) {
      callers.emplace_back([&, t] {
        R own = _RECORDER_INIT("own", t, nullptr);
        double rate = 0;
        char buffer[64];
        for (int i = 0; i < 2000 && refusedAfterEnd.load() < 100; ++i) {
          const bool wasEnded = ended.load();
          _RECORDER_SETSTATUS(handle, t, 3);
          const uint32_t status = _RECORDER_GETSTATUS(handle, t);
          _RECORDER_GETBPS(handle, 0, &rate);
          _RECORDER_GETFILEPATH(handle, 0, buffer, sizeof(buffer));
          if (wasEnded) {
            EXPECT_EQ(status, 0u);
            refusedAfterEnd.fetch_add(1);
          }
        }
        _RECORDER_END(own);
      });
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
    _RECORDER_END(handle);
    ended = true;
    for (auto& caller : callers) caller.join();
  }
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
  EXPECT_TRUE(testsupport::WaitForThreadCount(threadsBefore));
  EXPECT_EQ(testsupport::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
