// The export layer against the recorder core linked in: registries, name enumeration,
// channel and handle checks, and bad input at every export.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "recorder.h"
#include "support/process_state.h"

namespace {

// A non-null handle that names no object: an export that looked at it would crash, so the
// channel checks below prove that the channel is refused first.
RECORDER_HANDLE PoisonHandle() { return reinterpret_cast<RECORDER_HANDLE>(uintptr_t{0x10}); }

class ExportsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (RECORDER_HANDLE handle : created_) _RECORDER_END(handle);
    EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
  }
  RECORDER_HANDLE Create(const char* name) {
    RECORDER_HANDLE handle = _RECORDER_INIT(name, 0, nullptr);
    EXPECT_NE(handle, nullptr);
    created_.push_back(handle);
    return handle;
  }
  void End(RECORDER_HANDLE handle) {
    _RECORDER_END(handle);
    created_.erase(std::find(created_.begin(), created_.end(), handle));
  }
  static std::string NameAt(int32_t index, int32_t size = 64) {
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(_RECORDER_GETNAME(index, buffer, &size), 0);
    return buffer[0] == '#' ? std::string("<none>") : std::string(buffer);
  }

  std::vector<RECORDER_HANDLE> created_;
};

TEST_F(ExportsTest, CountAndNamesFollowTheLiveRecorders) {
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
  EXPECT_EQ(NameAt(0), "<none>");
  RECORDER_HANDLE first = Create("first");
  RECORDER_HANDLE second = Create("second");
  EXPECT_EQ(_RECORDER_GETCOUNT(), 2);
  // Index 0 is the recorder with the lower handle, whichever was created first.
  const bool firstIsLower =
      reinterpret_cast<uintptr_t>(first) < reinterpret_cast<uintptr_t>(second);
  EXPECT_EQ(NameAt(0), firstIsLower ? "first" : "second");
  EXPECT_EQ(NameAt(1), firstIsLower ? "second" : "first");
  EXPECT_EQ(NameAt(2), "<none>");
  EXPECT_EQ(NameAt(-1), "<none>");

  End(first);
  // Ending an unknown handle, or the same one twice, changes nothing and frees nothing twice.
  int notARecorder = 0;
  _RECORDER_END(reinterpret_cast<RECORDER_HANDLE>(&notARecorder));
  _RECORDER_END(first);
  EXPECT_EQ(_RECORDER_GETCOUNT(), 1);
  EXPECT_EQ(NameAt(0), "second");
  EXPECT_EQ(NameAt(1), "<none>");
}

TEST_F(ExportsTest, EndedHandlesAreNeverHandedOutAgainAndAreRefused) {
  std::set<RECORDER_HANDLE> ended;
  for (int i = 0; i < 20; ++i) {
    RECORDER_HANDLE handle = _RECORDER_INIT("ended", 0, nullptr);
    ASSERT_NE(handle, nullptr);
    _RECORDER_END(handle);
    ended.insert(handle);
  }
  EXPECT_EQ(ended.size(), 20u);
  RECORDER_HANDLE live = Create("live");
  EXPECT_EQ(ended.count(live), 0u);
  float rate = -1;
  for (RECORDER_HANDLE stale : ended) {
    _RECORDER_END(stale);  // a host's stale second END
    _RECORDER_SETOVERWRITEMODE(stale, 0);
    EXPECT_EQ(_RECORDER_GETOVERWRITEMODE(stale), 0);
    EXPECT_EQ(_RECORDER_GETSTATUS(stale, 0), 0u);
    EXPECT_EQ(_RECORDER_START(stale), 0);
  }
  // A recorder handle names no file search, and the reverse.
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(reinterpret_cast<FILESEARCH_HANDLE>(live), &rate), 0);
  _RECORDER_FILESEARCH_END(reinterpret_cast<FILESEARCH_HANDLE>(live));
  EXPECT_EQ(_RECORDER_GETCOUNT(), 1);
  EXPECT_EQ(NameAt(0), "live");
  EXPECT_EQ(_RECORDER_GETOVERWRITEMODE(live), 1);

  std::set<FILESEARCH_HANDLE> endedSearches;
  for (int i = 0; i < 5; ++i) {
    FILESEARCH_HANDLE search = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
    ASSERT_NE(search, nullptr);
    _RECORDER_FILESEARCH_END(search);
    endedSearches.insert(search);
  }
  FILESEARCH_HANDLE liveSearch = _RECORDER_FILESEARCH_INIT(1, 0, nullptr, nullptr);
  for (FILESEARCH_HANDLE stale : endedSearches) {
    EXPECT_NE(stale, liveSearch);
    _RECORDER_FILESEARCH_END(stale);
    EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(stale, &rate), 0);
  }
  EXPECT_EQ(_RECORDER_GETOVERWRITEMODE(reinterpret_cast<RECORDER_HANDLE>(liveSearch)), 0);
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(liveSearch, &rate), 1);
  EXPECT_EQ(rate, 1.0f);
  _RECORDER_FILESEARCH_END(liveSearch);
}

TEST_F(ExportsTest, NameIsCopiedOnlyWhenItAndItsTerminatorFit) {
  Create("camera");  // 6 characters
  EXPECT_EQ(NameAt(0, 6), "<none>");
  EXPECT_EQ(NameAt(0, 0), "<none>");
  EXPECT_EQ(NameAt(0, -5), "<none>");
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  const int32_t size = 7;
  EXPECT_EQ(_RECORDER_GETNAME(0, buffer, &size), 0);
  EXPECT_EQ(std::memcmp(buffer, "camera\0#", 8), 0);  // terminator written, nothing beyond
  EXPECT_EQ(size, 7);
  EXPECT_EQ(_RECORDER_GETNAME(0, nullptr, &size), 0);
  EXPECT_EQ(_RECORDER_GETNAME(0, buffer, nullptr), 0);
}

TEST_F(ExportsTest, ChannelOutOfRangeIsRefusedBeforeTheHandle) {
  RECORDER_HANDLE recorder = Create("channels");
  FrameDescriptor frame{};
  double rate = -1;
  for (uint32_t channel : {32u, 33u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(channel);
    for (RECORDER_HANDLE handle : {PoisonHandle(), recorder}) {
      _RECORDER_SETRECORD(handle, channel, 1);
      EXPECT_EQ(_RECORDER_GETRECORD(handle, channel), 0);
      _RECORDER_SETSTATUS(handle, channel, 7);
      EXPECT_EQ(_RECORDER_GETSTATUS(handle, channel), 0u);
      EXPECT_EQ(_RECORDER_GETBPS(handle, channel, &rate), 0);
      EXPECT_EQ(_RECORDER_GETFPS(handle, channel, &rate), 0);
      EXPECT_EQ(_RECORDER_WRITEVIDEO(handle, channel, &frame), 0);
      EXPECT_EQ(_RECORDER_WRITEAUDIO(handle, channel, &frame), 0);
      EXPECT_EQ(_RECORDER_WRITERECDATA(handle, channel, &frame), 0);
    }
  }
  EXPECT_EQ(rate, -1);
  for (uint32_t channel = 0; channel < 32; ++channel) {
    EXPECT_EQ(_RECORDER_GETRECORD(recorder, channel), 0);
    EXPECT_EQ(_RECORDER_GETSTATUS(recorder, channel), 1u);
  }
  // The last valid channel is accepted.
  _RECORDER_SETRECORD(recorder, 31, 1);
  _RECORDER_SETSTATUS(recorder, 31, 6);
  EXPECT_EQ(_RECORDER_GETRECORD(recorder, 31), 1);
  EXPECT_EQ(_RECORDER_GETSTATUS(recorder, 31), 6u);
}

TEST_F(ExportsTest, NullHandleIsRefusedByEveryExport) {
  char buffer[16] = "untouched";
  double rate = -1;
  float playRate = -1;
  FrameDescriptor frame{};
  uint32_t table[4] = {};
  int32_t count = -1;
  const uint8_t data[4] = {};
  _RECORDER_END(nullptr);
  EXPECT_EQ(_RECORDER_START(nullptr), 0);
  _RECORDER_STOP(nullptr);
  _RECORDER_SETHEADERFILEPATH(nullptr, "/x", 1);
  _RECORDER_ADDFILEPATH(nullptr, "/x");
  _RECORDER_REMOVEFILEPATH(nullptr, "/x");
  _RECORDER_CLEARFILEPATH(nullptr);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(nullptr), 0);
  EXPECT_EQ(_RECORDER_GETFILEPATH(nullptr, 0, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(nullptr, buffer, sizeof(buffer)), 0);
  _RECORDER_SETOVERWRITEMODE(nullptr, 0);
  EXPECT_EQ(_RECORDER_GETOVERWRITEMODE(nullptr), 0);
  EXPECT_EQ(_RECORDER_GETOVERWRITECOUNT(nullptr), 0);
  _RECORDER_SETRECORD(nullptr, 0, 1);
  EXPECT_EQ(_RECORDER_GETRECORD(nullptr, 0), 0);
  _RECORDER_SETSTATUS(nullptr, 0, 1);
  EXPECT_EQ(_RECORDER_GETSTATUS(nullptr, 0), 0u);
  EXPECT_EQ(_RECORDER_GETBPS(nullptr, 0, &rate), 0);
  EXPECT_EQ(_RECORDER_GETFPS(nullptr, 0, &rate), 0);
  _RECORDER_SETPREPOSTTIME(nullptr, 1, 2);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(nullptr, 0, &frame), 0);
  EXPECT_EQ(_RECORDER_WRITEAUDIO(nullptr, 0, &frame), 0);
  EXPECT_EQ(_RECORDER_WRITERECDATA(nullptr, 0, &frame), 0);
  EXPECT_EQ(_RECORDER_WRITESTREAMHEADER(nullptr, 0, data, sizeof(data), 0), 0);
  EXPECT_EQ(_RECORDER_WRITESTREAMDATA(nullptr, 0, data, sizeof(data), 1, 0, 0), 0);
  _RECORDER_DELETEMAN_START(nullptr, 1, 1);
  _RECORDER_DELETEMAN_STOP(nullptr);
  _RECORDER_FILESEARCH_SETPATH(nullptr, "/x", "y.FIH", 0);
  EXPECT_EQ(_RECORDER_FILESEARCH_START(nullptr), 0);
  _RECORDER_FILESEARCH_STOP(nullptr);
  _RECORDER_FILESEARCH_END(nullptr);
  _RECORDER_FILESEARCH_SETCURRENTCHANNEL(nullptr, 0);
  _RECORDER_FILESEARCH_SETDISPLAYCHANNELS(nullptr, table, 4);
  EXPECT_EQ(_RECORDER_FILESEARCH_PLAYTIME(nullptr, 2024, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(_RECORDER_FILESEARCH_PLAYRATE(nullptr, 1.0f), 0);
  EXPECT_EQ(_RECORDER_FILESEARCH_GETPLAYRATE(nullptr, &playRate), 0);
  EXPECT_EQ(_RECORDER_FILESEARCH_SETSTATUS(nullptr, 1), 0);
  _RECORDER_FILESEARCH_SetDSTRange(nullptr, 1, 3, 1, 2, 10, 1, 3);
  _RECORDER_FILESEARCH_GetDateTable(nullptr, table, &count);
  _RECORDER_FILESEARCH_GetDayTable(nullptr, 0, table, table, table, table, table, table, &count,
                                   &count);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(rate, -1);
  EXPECT_EQ(playRate, -1);
  EXPECT_EQ(count, -1);
}

TEST_F(ExportsTest, NullPointersAndBadSizesOnALiveRecorderAreRefused) {
  RECORDER_HANDLE recorder = Create("bad input");
  _RECORDER_ADDFILEPATH(recorder, nullptr);
  _RECORDER_REMOVEFILEPATH(recorder, nullptr);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(recorder), 0);
  _RECORDER_ADDFILEPATH(recorder, "/data/a.VDB");
  char buffer[32] = "untouched";
  for (int32_t size : {0, -1, -2147483647 - 1}) {
    EXPECT_EQ(_RECORDER_GETFILEPATH(recorder, 0, buffer, size), 0);
    EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(recorder, buffer, size), 0);
  }
  for (int32_t index : {-1, 1, 2147483647, -2147483647 - 1}) {
    EXPECT_EQ(_RECORDER_GETFILEPATH(recorder, index, buffer, sizeof(buffer)), 0);
  }
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(_RECORDER_GETFILEPATH(recorder, 0, nullptr, 32), 0);
  EXPECT_EQ(_RECORDER_GETCURRENTRECFILE(recorder, nullptr, 32), 0);
  EXPECT_EQ(_RECORDER_GETBPS(recorder, 0, nullptr), 0);
  EXPECT_EQ(_RECORDER_GETFPS(recorder, 0, nullptr), 0);
  EXPECT_EQ(_RECORDER_WRITEVIDEO(recorder, 0, nullptr), 0);
  EXPECT_EQ(_RECORDER_WRITEAUDIO(recorder, 0, nullptr), 0);
  EXPECT_EQ(_RECORDER_WRITERECDATA(recorder, 0, nullptr), 0);
  EXPECT_EQ(_RECORDER_WRITESTREAMHEADER(recorder, 0, nullptr, 100, 0), 0);
  EXPECT_EQ(_RECORDER_WRITESTREAMDATA(recorder, 0, nullptr, 100, 1, 0, 0), 0);
  _RECORDER_SETHEADERFILEPATH(recorder, nullptr, 1);
  EXPECT_EQ(_RECORDER_START(recorder), 0);  // an empty header path opens nothing
}

TEST_F(ExportsTest, RecorderWithANullNameIsListedWithAnEmptyName) {
  Create(nullptr);
  EXPECT_EQ(NameAt(0), "");
}

TEST(ExportsThreadsTest, EndWhileOtherThreadsCallTheRecorderWaitsForThemAndThenRefusesThem) {
  for (int round = 0; round < 20; ++round) {
    RECORDER_HANDLE handle = _RECORDER_INIT("busy", 0, nullptr);
    ASSERT_NE(handle, nullptr);
    std::atomic<bool> ended{false};
    std::atomic<int> refusedAfterEnd{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
      callers.emplace_back([&, t] {
        double rate = 0;
        char buffer[64];
        for (int i = 0; i < 2000 && refusedAfterEnd.load() < 100; ++i) {
          const bool wasEnded = ended.load();
          _RECORDER_SETSTATUS(handle, static_cast<uint32_t>(t), 3);
          const uint32_t status = _RECORDER_GETSTATUS(handle, static_cast<uint32_t>(t));
          _RECORDER_GETBPS(handle, 0, &rate);
          _RECORDER_GETFILEPATH(handle, 0, buffer, sizeof(buffer));
          if (wasEnded) {
            EXPECT_EQ(status, 0u);
            refusedAfterEnd.fetch_add(1);
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
    _RECORDER_END(handle);
    ended = true;
    for (auto& caller : callers) caller.join();
  }
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
}

TEST(ExportsThreadsTest, HundredRecordersFromFourThreadsLeaveNoThreadAndNoDescriptor) {
  const int threadsBefore = testsupport::BaselineThreadCount();
  const auto descriptorsBefore = testsupport::OpenDescriptors();
  std::vector<std::thread> hosts;
  for (int t = 0; t < 4; ++t) {
    hosts.emplace_back([t] {
      std::vector<RECORDER_HANDLE> mine;
      for (int i = 0; i < 25; ++i) {
        const std::string name = "host" + std::to_string(t) + "-" + std::to_string(i);
        RECORDER_HANDLE handle = _RECORDER_INIT(name.c_str(), static_cast<uintptr_t>(i), nullptr);
        if (handle != nullptr) mine.push_back(handle);
        _RECORDER_GETCOUNT();
        if (i % 3 == 0 && !mine.empty()) {  // end some while the others are still created
          _RECORDER_END(mine.back());
          mine.pop_back();
        }
      }
      for (RECORDER_HANDLE handle : mine) _RECORDER_END(handle);
    });
  }
  for (auto& host : hosts) host.join();
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
  EXPECT_TRUE(testsupport::WaitForThreadCount(threadsBefore));
  EXPECT_EQ(testsupport::OpenDescriptors(), descriptorsBefore);
}

}  // namespace
