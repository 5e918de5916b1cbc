// The host's event callback calling back into the library, as real hosts do: the recorder
// count and names from inside an event raised while END runs, the name of the file just
// opened, and the exports that would wait for the recorder's own locks,
// which must refuse at once instead of hanging. Waits are bounded: a call that does not
// return in time fails the test and is left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/syscall_faults.h"
#include "support/child_process.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;
constexpr auto kBound = std::chrono::seconds(5);

// The disk is full at the final flush of END: the write failure it raises tells the cause,
// its callback may count the recorders and ask for their names, and the recorder being
// ended still answers its own queries there. Count and names are asked on a helper thread,
// so that a lock held by END shows as a call that does not return in time (the helper is
// joined once END has let go of it).
TEST(EventCallbackTest, WriteFailureAtTheFinalFlushOfEndTellsTheCauseAndMayAskForNames) {
  RecordingHost host;
  host.AddFiles(2);
  ASSERT_EQ(_RECORDER_START(host.handle), 1);
  ASSERT_EQ(host.Video(0), 1);
  ASSERT_TRUE(host.Drain());
  std::atomic<int> asked{0};
  std::promise<void> answered;
  bool inTime = false;
  std::jthread helper;
  std::pair<std::string, int32_t> own;
  host.log.OnEvent([&](const RecorderEvent& e) {
    if (e.code != RECORDER_EVENT_WRITE_FAILED || asked.fetch_add(1) != 0) return;
    char current[300] = "";
    _RECORDER_GETCURRENTRECFILE(e.recorder, current, sizeof(current));
    own = {current, _RECORDER_GETFILEPATHCOUNT(e.recorder)};
    helper = std::jthread([&] {
      char name[64];
      const int32_t size = sizeof(name);
      _RECORDER_GETNAME(0, name, &size);
      _RECORDER_GETCOUNT();
      answered.set_value();
    });
    inTime = answered.get_future().wait_for(kBound) == std::future_status::ready;
  });
  {
    platform::ScopedSyscallFault full(platform::ScopedSyscallFault::Call::kWrite, ENOSPC);
    host.End();
  }
  EXPECT_EQ(std::make_pair(asked.load() > 0, inTime), std::make_pair(true, true));
  EXPECT_EQ(own, std::make_pair(host.Data(0), int32_t{2}));
  for (const RecorderEvent& e : host.log.Events()) {
    EXPECT_TRUE(e.code != RECORDER_EVENT_WRITE_FAILED || e.error == ENOSPC) << e.path;
  }
  EXPECT_EQ(_RECORDER_GETCOUNT(), 0);
}

// Two recorders whose callbacks END each other while both START: each END comes from inside
// a callback whose own recorder's START the other END would wait for. Both return, and no
// recorder is left once the hosts have ended theirs. In a child, so a hang costs one test.
TEST(EventCallbackTest, TwoRecordersEndingEachOtherFromTheirCallbacksBothReturn) {
  const int result = RunInChild(
      [] {
        for (int round = 0; round < 100; ++round) {
          {
            RecordingHost a, b;
            a.AddFiles(2);
            b.AddFiles(2);
            a.log.OnEvent([&](const RecorderEvent&) { _RECORDER_END(b.handle); });
            b.log.OnEvent([&](const RecorderEvent&) { _RECORDER_END(a.handle); });
            std::thread other([&] { _RECORDER_START(b.handle); });
            _RECORDER_START(a.handle);
            other.join();
            a.log.OnEvent(nullptr);
            b.log.OnEvent(nullptr);
          }
          if (_RECORDER_GETCOUNT() != 0) return 1;
        }
        return 0;
      },
      60000);
  EXPECT_EQ(result, 0);
}

TEST(EventCallbackTest, ExportsThatWouldWaitForTheRecorderRefuseInsideItsCallback) {
  RecordingHost host;
  host.AddFiles(2);
  RECORDER_HANDLE bystander = _RECORDER_INIT("bystander", 0, nullptr);
  std::vector<int32_t> results;
  std::string current;
  host.log.OnEvent([&](const RecorderEvent& e) {
    if (e.code != RECORDER_EVENT_FILE_OPENED || e.path != host.Data(0) || !results.empty()) return;
    RECORDER_HANDLE r = e.recorder;
    current = host.CurrentFile();  // the file being opened
    FrameDescriptor d{};
    _RECORDER_STOP(r);
    _RECORDER_ADDFILEPATH(r, host.Data(5).c_str());
    _RECORDER_REMOVEFILEPATH(r, host.Data(0).c_str());
    _RECORDER_CLEARFILEPATH(r);
    _RECORDER_SETHEADERFILEPATH(r, host.Data(7).c_str(), 1);
    results = {_RECORDER_START(r), _RECORDER_WRITESTREAMHEADER(r, 0, &d, sizeof(d), 0),
               _RECORDER_WRITEVIDEO(r, 0, &d)};
    _RECORDER_END(r);
    results.insert(results.end(), {_RECORDER_GETFILEPATHCOUNT(r), _RECORDER_GETCOUNT()});
    _RECORDER_ADDFILEPATH(bystander, host.Data(9).c_str());  // another recorder's: not refused
  });
  auto started = std::async(std::launch::async, [&] { return _RECORDER_START(host.handle); });
  if (started.wait_for(kBound) != std::future_status::ready) {
    host.handle = nullptr;  // wedged inside its own callback: left behind
    std::thread([f = std::move(started)]() mutable { f.wait(); }).detach();
    FAIL() << "an export called from inside the event callback did not return";
  }
  EXPECT_EQ(started.get(), 1);
  EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 0, 2, 2}));
  EXPECT_EQ(_RECORDER_GETFILEPATHCOUNT(bystander), 1);
  _RECORDER_END(bystander);
  EXPECT_EQ(std::make_pair(current, host.CurrentFile()),
            std::make_pair(host.Data(0), host.Data(0)));
}

}  // namespace
