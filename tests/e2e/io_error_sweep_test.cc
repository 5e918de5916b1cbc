// Every system call of the table failing once, at each of its calls in turn (as SQLite's
// io-error tests do): a recording that crosses a minute and a change of file, with the N-th
// call of one kind failing with EIO, for N = 1, 2, ... until a run no longer reaches an N-th
// call. After each run: a frame the host was told was taken in is in the files unless the
// host was told of a failure (an event with status -1 and its errno); no index summary
// counts more bytes than its data file holds as whole records; and the next START records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>

#include "platform/syscall_faults.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;
using Fault = platform::ScopedSyscallFault;

constexpr int kFiles = 3;
// A bound on N per kind: a kind called more often than this in a run is swept this far.
constexpr int kMaxCallsSwept = 80;

// Video on channel 0 whose payload starts with `id`; 1 when taken in.
int32_t Send(RecordingHost& host, uint32_t id) {
  std::vector<uint8_t> payload = Pattern(300, id);
  storage::StoreU32(payload.data(), id);
  FrameDescriptor d = VideoFrame(payload, 0);
  return _RECORDER_WRITEVIDEO(host.handle, 0, &d);
}

// The ids of the records every data file holds up to its summary's count; a summary that
// counts more than whole records is a failure of `why`.
std::set<uint32_t> StoredIds(const RecordingHost& host, std::string* why) {
  std::set<uint32_t> ids;
  for (int n = 0; n < kFiles; ++n) {
    const IndexFileView index = ReadIndexFile(host.Index(n));
    if (!index.complete) continue;
    const uint32_t counted = index.record.summary.dataBytes;
    const std::vector<uint8_t> bytes = ReadBytes(host.Data(n), 0, counted);
    uint64_t end = 0;
    for (const StoredRecord& r : ParseRecords(bytes, &end)) {
      const std::vector<uint8_t> payload = r.VideoPayload();
      if (payload.size() >= 4) ids.insert(storage::LoadU32(payload.data()));
    }
    if (bytes.size() != counted || end != counted) {
      *why += " summary of file " + std::to_string(n) + " counts " + std::to_string(counted) +
              " bytes, " + std::to_string(end) + " whole;";
    }
  }
  return ids;
}

bool ToldOfFailure(RecordingHost& host) {
  const std::vector<RecorderEvent> events = host.log.Events();
  return std::any_of(events.begin(), events.end(),
                     [](const RecorderEvent& e) { return e.status == -1 && e.error != 0; });
}

// One run with call `n` (from 1) of `kind` failing. false when the run made fewer calls.
bool RunWithFault(Fault::Call kind, int n, std::string* why) {
  RecordingHost host("UTC", LocalSeconds(2024, 3, 10, 23, 59, 58));
  host.AddFiles(kFiles, 1);
  std::set<uint32_t> accepted;
  uint32_t id = 0;
  bool hit = false;
  {
    Fault fault(kind, EIO, n - 1, 1);
    const bool started = _RECORDER_START(host.handle) == 1;
    if (!started && !ToldOfFailure(host)) *why += " START refused untold;";
    // Two seconds, the change of day (a new file) and a second into it.
    for (int second = 0; started && second < 4; ++second) {
      host.SetTime(LocalSeconds(2024, 3, 10, 23, 59, 58) + second);
      for (int frame = 0; frame < 3; ++frame) {
        if (Send(host, ++id) == 1) accepted.insert(id);
      }
      if (!host.Drain()) *why += " the rings did not drain;";
    }
    _RECORDER_STOP(host.handle);
    hit = fault.faults() > 0;
  }
  const std::set<uint32_t> stored = StoredIds(host, why);
  for (uint32_t a : accepted) {
    if (stored.count(a) == 0 && !ToldOfFailure(host)) {
      *why += " frame " + std::to_string(a) + " taken in, missing, untold;";
      break;
    }
  }
  // The next START records.
  host.SetTime(LocalSeconds(2024, 3, 11, 0, 0, 5));
  if (_RECORDER_START(host.handle) != 1 || Send(host, 1000) != 1) {
    *why += " the next START does not record;";
  } else {
    _RECORDER_STOP(host.handle);
    std::string ignored;
    if (StoredIds(host, &ignored).count(1000) == 0) *why += " the next recording is not stored;";
  }
  return hit;
}

TEST(IoErrorSweepTest, EachCallOfEachKindFailingLosesNothingUntoldAndTheNextStartRecords) {
  int runs = 0;
  for (int kind = 0; kind < Fault::kCallKinds; ++kind) {
    for (int n = 1; n <= kMaxCallsSwept; ++n) {
      std::string why;
      const bool hit = RunWithFault(static_cast<Fault::Call>(kind), n, &why);
      ++runs;
      EXPECT_EQ(why, "") << "call kind " << kind << ", call " << n;
      if (!hit) break;
    }
  }
  std::printf("%d runs\n", runs);
}

}  // namespace
