// The host's event callback calling back into the library, as real hosts do: queries from
// inside any event, the name of the file just opened, and the exports that would wait for the
// recorder's own locks, which must refuse at once instead of hanging. Waits are bounded: a
// call that does not return in time fails the test and is left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/syscall_faults.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;
constexpr auto kBound = std::chrono::seconds(5);

// Runs `call` on a helper thread: false when it did not return within kBound (it then waits
// for a lock held on the caller's side, and is joined when `helpers` goes).
bool ReturnsInTime(std::vector<std::jthread>& helpers, std::function<void()> call) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> returned = done->get_future();
  helpers.emplace_back([call = std::move(call), done] {
    call();
    done->set_value();
  });
  return returned.wait_for(kBound) == std::future_status::ready;
}

std::string CurrentFileOf(RECORDER_HANDLE recorder) {
  char name[300] = "";
  _RECORDER_GETCURRENTRECFILE(recorder, name, sizeof(name));
  return name;
}

// A recording into two files with one frame written out.
void RecordOneFrame(RecordingHost& host) {
  host.AddFiles(2);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  ASSERT_EQ(host.Video(0), 1);
  ASSERT_TRUE(host.Drain());
}

TEST(EventCallbackTest, WriteFailureAtTheFinalFlushOfEndTellsTheCauseAndMayAskForNames) {
  std::vector<std::jthread> helpers;
  RecordingHost host;
  ASSERT_NO_FATAL_FAILURE(RecordOneFrame(host));
  std::atomic<int> asked{0}, answered{0};
  host.log.OnEvent([&](const RecorderEvent& e) {
    if (e.code != RECORDER_EVENT_WRITE_FAILED || asked.fetch_add(1) != 0) return;
    answered = ReturnsInTime(helpers, [] {
      char name[64];
      const int32_t size = sizeof(name);
      _RECORDER_GETNAME(0, name, &size);
      _RECORDER_GETCOUNT();
    });
  });
  {
    platform::ScopedSyscallFault full(platform::ScopedSyscallFault::Call::kWrite, ENOSPC);
    host.End();
  }
  ASSERT_GE(asked.load(), 1);
  EXPECT_EQ(answered.load(), 1);
  for (const RecorderEvent& e : host.log.Events()) {
    EXPECT_TRUE(e.code != RECORDER_EVENT_WRITE_FAILED || e.error == ENOSPC) << e.path;
  }
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
}

TEST(EventCallbackTest, RotationCallbackMayCountRecordersWhileAnotherThreadEnds) {
  std::vector<std::jthread> helpers;
  RecordingHost host;
  ASSERT_NO_FATAL_FAILURE(RecordOneFrame(host));
  std::promise<void> inCallback;
  std::atomic<bool> ending{false};
  std::atomic<int> answered{-1};
  std::string current;  // the file the recorder names inside the event of its opening
  host.log.OnEvent([&](const RecorderEvent& e) {
    if (e.code != RECORDER_EVENT_FILE_OPENED || e.path != host.Data(1)) return;
    current = CurrentFileOf(e.recorder);
    inCallback.set_value();
    // The other thread is in END by now (give it a moment to get as far as it can).
    while (!ending.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    answered = ReturnsInTime(helpers, [] { _RECORDER_GETCOUNT(); });
  });
  host.SetTime(g_testNow + 86400);
  ASSERT_EQ(host.Video(0), 1);  // the next day: the writer thread rotates and raises event 2
  ASSERT_EQ(inCallback.get_future().wait_for(kBound), std::future_status::ready);
  std::thread ender([&] {
    ending = true;
    host.End();
  });
  ender.join();
  EXPECT_EQ(answered.load(), 1);
  EXPECT_EQ(current, host.Data(1));
}

TEST(EventCallbackTest, ExportsThatWouldWaitForTheRecorderRefuseInsideItsCallback) {
  RecordingHost host;
  host.AddFiles(2);
  RECORDER_HANDLE bystander = _RECORDER_INIT("bystander", 0, nullptr);
  std::vector<int32_t> results;
  int32_t pathsAfter = -1, countAfter = -1;
  std::string current;
  host.log.OnEvent([&](const RecorderEvent& e) {
    if (e.code != RECORDER_EVENT_FILE_OPENED || e.path != host.Data(0) || !results.empty()) return;
    RECORDER_HANDLE r = e.recorder;
    current = CurrentFileOf(r);
    const uint8_t bytes[16] = {};
    FrameDescriptor d{};
    _RECORDER_STOP(r);
    _RECORDER_ADDFILEPATH(r, host.Data(5).c_str());
    _RECORDER_REMOVEFILEPATH(r, host.Data(0).c_str());
    _RECORDER_CLEARFILEPATH(r);
    _RECORDER_SETHEADERFILEPATH(r, host.Data(7).c_str(), 1);
    results = {_RECORDER_START(r), _RECORDER_WRITESTREAMHEADER(r, 0, bytes, sizeof(bytes), 0),
               _RECORDER_WRITEVIDEO(r, 0, &d)};
    _RECORDER_END(r);
    pathsAfter = _RECORDER_GETFILEPATHCOUNT(r);
    countAfter = _RECORDER_GETCOUNT();
    _RECORDER_ADDFILEPATH(bystander, host.Data(9).c_str());  // another recorder's: not refused
  });
  auto started = std::async(std::launch::async, [&] { return _RECORDER_START(host.handle); });
  if (started.wait_for(kBound) != std::future_status::ready) {
    host.handle = nullptr;  // wedged inside its own callback: left behind
    std::thread([f = std::move(started)]() mutable { f.wait(); }).detach();
    FAIL() << "an export called from inside the event callback did not return";
  }
  EXPECT_EQ(started.get(), 1);
  EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(std::make_pair(pathsAfter, countAfter), std::make_pair(2, 2));
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(bystander), 1);
  _RECORDER_END(bystander);
  EXPECT_EQ(std::make_pair(current, host.CurrentFile()),
            std::make_pair(host.Data(0), host.Data(0)));
}

}  // namespace
