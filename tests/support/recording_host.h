// A host that records through the exports on the test clock, in a fresh directory, with
// the UTC zone (or the one given) and a log of its events; the readers of what is on disk
// are in stored_files.h.
#pragma once

#include <tuple>

#include "recorder/recorder.h"
#include "storage/summary_builder.h"
#include "support/event_log.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace testsupport {

// Not copyable: neither are its zone, clock and directory.
class RecordingHost {
 public:
  explicit RecordingHost(const char* zone = "UTC", int64_t now = 0)
      : zone_(zone), clock_(now != 0 ? now : LocalSeconds(2024, 3, 10, 10, 0, 0)) {}
  ~RecordingHost() { End(); }

  std::string Data(int n) const { return dir / ("file" + std::to_string(n) + ".VDB"); }
  std::string Index(int n) const { return storage::IndexFileName(Data(n)); }
  // n data files of the rotation set and the first `channels` channels switched on.
  void AddFiles(int n, uint32_t channels = storage::kChannelCount) {
    for (int i = 0; i < n; ++i) _RECORDER_ADDFILEPATH(handle, Data(i).c_str());
    for (uint32_t c = 0; c < channels; ++c) _RECORDER_SETRECORD(handle, c, 1);
  }
  void SetTime(int64_t seconds) { g_testNow = seconds; }
  // Frames whose payloads tell them apart by `seed` (the payload lives until the call returns).
  int32_t Video(uint32_t channel, uint32_t length = 200, bool key = true, uint32_t seed = 1,
                uint32_t type = 1) {
    return Send(&_RECORDER_WRITEVIDEO, channel, VideoFrame(Pattern(length, seed), 0, type, key));
  }
  int32_t Audio(uint32_t channel, uint32_t length = 64, uint32_t seed = 1, uint32_t type = 0) {
    return Send(&_RECORDER_WRITEAUDIO, channel, AudioFrame(Pattern(length, seed), type));
  }
  // Rec data of kind 0 (video form, type 160) or 1 (audio form, type 161).
  int32_t RecData(uint32_t channel, uint32_t kind, uint32_t length = 32, uint32_t seed = 7) {
    const std::vector<uint8_t> payload = Pattern(length, seed);
    return Send(&_RECORDER_WRITERECDATA, channel,
                kind == 0 ? VideoFrame(payload, 0, 160) : AudioFrame(payload, 161), kind);
  }
  // Waits until the writer threads took every record out of both rings.
  bool Drain() {
    CRecorder* recorder = CRecorder::FromHandle(handle);
    return recorder != nullptr && WaitUntil([&] { return recorder->WaitForRingsToDrain(0); });
  }
  std::string CurrentFile() {
    char name[300] = {};
    return _RECORDER_GETCURRENTRECFILE(handle, name, sizeof(name)) == 1 ? name : "";
  }
  void End() {
    if (handle != nullptr) _RECORDER_END(handle);
    handle = nullptr;
  }

  ScopedTimeZone zone_;
  ScopedTestClock clock_;
  ScratchDir dir;
  EventLog log;
  RECORDER_HANDLE handle = _RECORDER_INIT("host", log.Context(), &EventLog::Callback);

 private:
  int32_t Send(int32_t (*write)(RECORDER_HANDLE, uint32_t, FrameDescriptor*), uint32_t channel,
               FrameDescriptor d, uint32_t kind = 0) {
    d.kind = kind;
    return write(handle, channel, &d);
  }
};

// The summary the writer's rules give for records in file order.
inline storage::IndexSummary ReplaySummary(const std::vector<StoredRecord>& records) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  storage::SummaryBuilder builder(&s);
  for (const StoredRecord& r : records)
    builder.Add(r.header, static_cast<uint32_t>(r.body.size()) + storage::kRecordOverhead);
  return s;
}

inline void ExpectSummaryEq(const storage::IndexSummary& actual,
                            const storage::IndexSummary& expected) {
  EXPECT_EQ(std::tie(actual.startTime, actual.endTime, actual.dataBytes, actual.lastEntry),
            std::tie(expected.startTime, expected.endTime, expected.dataBytes, expected.lastEntry));
  EXPECT_EQ(std::memcmp(actual.entries, expected.entries, sizeof(actual.entries)), 0)
      << "the minute entries differ";
}

inline std::vector<int32_t> TimesOf(const std::vector<StoredRecord>& records) {
  std::vector<int32_t> times;
  for (const StoredRecord& r : records) times.push_back(r.header.time);
  return times;
}

}  // namespace testsupport
