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

using Clock = std::chrono::steady_clock;
constexpr auto kBound = std::chrono::seconds(5);

struct Event {
  RECORDER_HANDLE recorder;
  int32_t code;
  int32_t status;
  std::string path;
};

class EventCallbackTest : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = _RECORDER_INIT("callbacks", reinterpret_cast<uintptr_t>(this), &Callback);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) _RECORDER_END(handle_);
    for (std::thread& t : helpers_) t.join();
  }
  std::string DataPath(int n) const { return dir_ / ("file" + std::to_string(n) + ".VDB"); }
  void AddFiles(int n) {
    for (int i = 0; i < n; ++i) _RECORDER_ADDFILEPATH(handle_, DataPath(i).c_str());
    _RECORDER_SETRECORD(handle_, 0, 1);
  }
  void Drain() {
    CRecorder* r = CRecorder::FromHandle(handle_);
    ASSERT_TRUE(WaitUntil([&] { return r->WaitForRingsToDrain(0); }));
  }

  static void Callback(RECORDER_HANDLE recorder, uintptr_t context, int32_t code, int32_t status,
                       const char* path, int32_t length) {
    auto* self = reinterpret_cast<EventCallbackTest*>(context);
    std::function<void(const Event&)> onEvent;
    {
      platform::MutexLock hold(&self->mu_);
      onEvent = self->onEvent_;
    }
    if (onEvent) onEvent({recorder, code, status, std::string(path, static_cast<size_t>(length))});
  }
  void OnEvent(std::function<void(const Event&)> onEvent) {
    platform::MutexLock hold(&mu_);
    onEvent_ = std::move(onEvent);
  }

  // Runs `call` on a helper thread and waits for it at most kBound: false when it did not
  // return (it is then waiting for a lock held on the caller's side; it returns once that is
  // free, and is joined at the end of the test).
  bool ReturnsInTime(std::function<void()> call) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> returned = done->get_future();
    std::thread helper([call = std::move(call), done] {
      call();
      done->set_value();
    });
    {
      platform::MutexLock hold(&mu_);
      helpers_.push_back(std::move(helper));
    }
    return returned.wait_for(kBound) == std::future_status::ready;
  }

  void WriteFrame() {
    std::vector<uint8_t> payload = Pattern(500, 1);
    FrameDescriptor d = VideoFrame(payload, 0);
    ASSERT_EQ(_RECORDER_WRITEVIDEO(handle_, 0, &d), 1);
  }

  ScopedTimeZone zone_{"UTC"};
  ScopedTestClock clock_{LocalSeconds(2024, 3, 10, 10, 0, 0)};
  ScratchDir dir_;
  RECORDER_HANDLE handle_ = nullptr;
  platform::Mutex mu_;
  std::function<void(const Event&)> onEvent_;
  std::vector<std::thread> helpers_;
};

TEST_F(EventCallbackTest, WriteFailureAtTheFinalFlushOfEndMayAskForCountAndNames) {
  AddFiles(2);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  WriteFrame();
  Drain();
  std::atomic<int> answered{0};
  std::atomic<int> asked{0};
  std::atomic<int> cause{0};
  OnEvent([&](const Event& e) {
    if (e.code != RECORDER_EVENT_WRITE_FAILED || asked.fetch_add(1) != 0) return;
    cause = errno;  // the cause of the failure, while the callback runs
    answered = ReturnsInTime([] {
      char name[64];
      const int32_t size = sizeof(name);
      _RECORDER_GETNAME(0, name, &size);
      _RECORDER_GETCOUNT();
    });
  });
  {
    platform::ScopedSyscallFault full(platform::ScopedSyscallFault::Call::kWrite, ENOSPC);
    _RECORDER_END(handle_);
    handle_ = nullptr;
  }
  EXPECT_GE(asked.load(), 1);
  EXPECT_EQ(cause.load(), ENOSPC);
  EXPECT_EQ(answered.load(), 1);
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
}

TEST_F(EventCallbackTest, RotationCallbackMayCountRecordersWhileAnotherThreadEnds) {
  AddFiles(2);
  ASSERT_EQ(_RECORDER_START(handle_), 1);
  WriteFrame();
  Drain();
  std::promise<void> inCallback;
  std::atomic<bool> ending{false};
  std::atomic<int> answered{-1};
  OnEvent([&](const Event& e) {
    if (e.code != RECORDER_EVENT_FILE_OPENED || e.path != DataPath(1)) return;
    inCallback.set_value();
    // The other thread is in END by now (give it a moment to get as far as it can).
    while (!ending.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    answered = ReturnsInTime([] { _RECORDER_GETCOUNT(); });
  });
  g_testNow += 86400;
  WriteFrame();  // the next day: the writer thread rotates and raises event 2
  ASSERT_EQ(inCallback.get_future().wait_for(kBound), std::future_status::ready);
  std::thread ender([&] {
    ending = true;
    _RECORDER_END(handle_);
  });
  ender.join();
  handle_ = nullptr;
  EXPECT_EQ(answered.load(), 1);
}

TEST_F(EventCallbackTest, NameOfTheOpenedFileIsCurrentInsideItsEvent) {
  AddFiles(3);
  platform::Mutex seenMu;
  std::vector<std::pair<std::string, std::string>> seen;  // event path, current file
  OnEvent([&](const Event& e) {
    if (e.code != RECORDER_EVENT_FILE_OPENED || e.status != 0 || e.path.back() != 'B') return;
    char name[300] = "none";
    _RECORDER_GETCURRENTRECFILE(e.recorder, name, sizeof(name));
    platform::MutexLock hold(&seenMu);
    seen.emplace_back(e.path, name);
  });
  ASSERT_EQ(_RECORDER_START(handle_), 1);  // on this thread
  WriteFrame();
  g_testNow += 86400;
  WriteFrame();  // on the writer thread
  Drain();
  platform::MutexLock hold(&seenMu);
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& [path, current] : seen) EXPECT_EQ(current, path);
}

TEST_F(EventCallbackTest, ExportsThatWouldWaitForTheRecorderRefuseInsideItsCallback) {
  AddFiles(2);
  RECORDER_HANDLE bystander = _RECORDER_INIT("bystander", 0, nullptr);
  std::vector<int32_t> results;
  int32_t pathsAfter = -1;
  int32_t countAfter = -1;
  OnEvent([&](const Event& e) {
    if (e.code != RECORDER_EVENT_FILE_OPENED || e.path != DataPath(0) || !results.empty()) return;
    RECORDER_HANDLE r = e.recorder;
    const uint8_t bytes[16] = {};
    _RECORDER_STOP(r);
    _RECORDER_ADDFILEPATH(r, DataPath(5).c_str());
    _RECORDER_REMOVEFILEPATH(r, DataPath(0).c_str());
    _RECORDER_CLEARFILEPATH(r);
    _RECORDER_SETHEADERFILEPATH(r, DataPath(7).c_str(), 1);
    results = {_RECORDER_START(r), _RECORDER_WRITESTREAMHEADER(r, 0, bytes, sizeof(bytes), 0),
               _RECORDER_WRITESTREAMDATA(r, 0, bytes, sizeof(bytes), 1, 0, 0)};
    _RECORDER_END(r);
    pathsAfter = _RECORDER_GETFILEPATHCOUNT(r);
    countAfter = _RECORDER_GETCOUNT();
    // Another recorder's exports are not refused.
    _RECORDER_ADDFILEPATH(bystander, DataPath(9).c_str());
  });
  auto started = std::async(std::launch::async, [&] { return _RECORDER_START(handle_); });
  if (started.wait_for(kBound) != std::future_status::ready) {
    handle_ = nullptr;  // wedged inside its own callback: left behind
    std::thread([f = std::move(started)]() mutable { f.wait(); }).detach();
    FAIL() << "an export called from inside the event callback did not return";
  }
  EXPECT_EQ(started.get(), 1);
  EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(pathsAfter, 2);
  EXPECT_EQ(countAfter, 2);
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(bystander), 1);
  _RECORDER_END(bystander);
  char name[300] = {};
  ASSERT_EQ(_RECORDER_GETCURRENTRECFILE(handle_, name, sizeof(name)), 1);
  EXPECT_EQ(std::string(name), DataPath(0));
}

}  // namespace
