// Records a fixed sequence into an empty directory on the test clocks, so that the stored
// files depend on nothing but the library's code: the same build records the same bytes
// every time, and a build for another machine (a 32-bit ARM board, say) must record the same
// bytes as this one. compare_recordings.sh runs it twice and compares the files.
//
//   record_fixed_sequence DIR
//
// The sequence: four video channels (recording always, on trigger A only, always with trigger
// B; key frames every fourth second), audio and recording data of both forms, across the
// change of day at midnight (which moves the recording to the second data file) and across
// the spring-forward hour of Europe/Berlin. Writes that go to different rings are separated
// by a wait until the writer threads have taken everything, so the order of the records in
// the file is fixed as well.
#include <cstdio>
#include <vector>

#include "recorder.h"
#include "recorder/recorder.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

namespace {

using namespace testsupport;

uint32_t FixedTickCount() { return static_cast<uint32_t>(g_testNow.load() * 1000); }
double FixedPerfSeconds() { return static_cast<double>(g_testNow.load()); }

// Which frames the recorder keeps is its own business: the two recordings only have to agree.
bool RecordSecond(RECORDER_HANDLE handle, int second, uint32_t* serial) {
  // A payload of base + (serial * step) % spread bytes, told apart by the serial.
  const auto next = [&](uint32_t base, uint32_t step, uint32_t spread) {
    const uint32_t s = (*serial)++;
    return Pattern(base + (s * step) % spread, s);
  };
  // Both rings empty (false after ten seconds): the order in the file is fixed.
  const auto drained = [&] {
    return WaitUntil([&] { return CRecorder::FromHandle(handle)->WaitForRingsToDrain(0); }, 10000);
  };
  for (uint32_t frame = 0; frame < 2; ++frame) {
    for (uint32_t channel = 0; channel < 4; ++channel) {
      const std::vector<uint8_t> buffer = next(7 * channel + 200, 53, 3000);
      // Channel 1 records on trigger A, which is up for the first half of every ten seconds;
      // channel 2 records always and carries trigger B on odd seconds.
      const uint32_t triggerA = channel == 1 && second % 10 < 5 ? 1 : 0;
      const uint32_t triggerB = channel == 2 && second % 2 == 1 ? 1 : 0;
      FrameDescriptor d = VideoFrame(buffer, 7 * channel, 1 + frame, frame == 0 && second % 4 == 0,
                                     triggerA, triggerB);
      _RECORDER_WRITEVIDEO(handle, channel, &d);
    }
    // Recording data of both forms goes through the video ring.
    const std::vector<uint8_t> data = next(64, 1, 50);
    FrameDescriptor videoForm = VideoFrame(data, 0, 3, true);  // kind 0
    _RECORDER_WRITERECDATA(handle, 3, &videoForm);
    const std::vector<uint8_t> note = next(40, 1, 20);
    FrameDescriptor audioForm = AudioFrame(note, 18);
    audioForm.kind = 1;
    _RECORDER_WRITERECDATA(handle, 3, &audioForm);
    if (!drained()) return false;
    const std::vector<uint8_t> sound = next(320, 0, 1);
    FrameDescriptor audio = AudioFrame(sound, frame == 0 ? 0 : 17);
    _RECORDER_WRITEAUDIO(handle, 0, &audio);
    if (!drained()) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: record_fixed_sequence DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  ScopedTimeZone zone("Europe/Berlin");
  ScopedTestClock clock(LocalSeconds(2024, 3, 30, 23, 59, 40));
  platform::SetTickCountForTest(&FixedTickCount);
  platform::SetPerfSecondsForTest(&FixedPerfSeconds);

  RECORDER_HANDLE handle = _RECORDER_INIT("fixed-sequence", 0, nullptr);
  if (handle == nullptr) return 1;
  _RECORDER_ADDFILEPATH(handle, (dir + "/rec0.VDB").c_str());
  _RECORDER_ADDFILEPATH(handle, (dir + "/rec1.VDB").c_str());
  for (uint32_t channel = 0; channel < 4; ++channel) _RECORDER_SETRECORD(handle, channel, 1);
  _RECORDER_SETSTATUS(handle, 1, 2);
  _RECORDER_SETSTATUS(handle, 2, 1 | 4);
  // Only frames that carry trigger A are recorded on channel 1: no pre- or post-record.
  _RECORDER_SETPREPOSTTIME(handle, 0, 0);
  bool ok = _RECORDER_START(handle) == 1;
  // 40 s across midnight, then 40 s across 02:00 of the last Sunday of March (clocks go
  // from 01:59:59 to 03:00:00).
  uint32_t serial = 0;
  for (const int32_t start :
       {LocalSeconds(2024, 3, 30, 23, 59, 40), LocalSeconds(2024, 3, 31, 1, 59, 40)}) {
    for (int second = 0; ok && second < 40; ++second) {
      g_testNow = start + second;
      ok = RecordSecond(handle, second, &serial);
    }
  }
  _RECORDER_STOP(handle);
  _RECORDER_END(handle);
  if (!ok) std::fprintf(stderr, "record_fixed_sequence: recording into %s failed\n", dir.c_str());
  return ok ? 0 : 1;
}
