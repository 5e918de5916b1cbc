// The playback clock of a file search. Takes frames from the playback thread into a video
// and an audio CFrameQueue and, on a pacing thread of its own, hands each frame to the
// video or audio callback when it falls due at its recorded pace scaled by the play rate:
// 1.0 normal speed (the only rate with audio), other positive values faster or slower,
// negative values backwards, 0 pause, 100.0 and -100.0 one displayed frame forward or back.
// Owned by CFileSearch.
//
// Callbacks run on the pacing thread while the scheduler holds that queue's lock, so they
// must not call Start, Stop, Flush or SetRate of the same scheduler; the getters are safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/local_time.h"
#include "scheduler/formats.h"
#include "scheduler/play_mode.h"

namespace platform {
class Thread;
}

namespace scheduler {

class CFrameScheduler;

// (scheduler, channel, time, data, data length, second part, second-part length, display
// flag, context); the result is ignored.
using VideoCallback = int32_t (*)(CFrameScheduler* scheduler, uint32_t channel, FrameTime time,
                                  const uint8_t* data, int32_t dataLength, const uint8_t* second,
                                  int32_t secondLength, int32_t display, void* context);
// (scheduler, channel, time, data, data length, second part, second-part length, context);
// the result is ignored.
using AudioCallback = int32_t (*)(CFrameScheduler* scheduler, uint32_t channel, FrameTime time,
                                  const uint8_t* data, int32_t dataLength, const uint8_t* second,
                                  int32_t secondLength, void* context);

class CFrameScheduler {
 public:
  CFrameScheduler();
  // Stops both queues (a producer blocked in EnqueueVideo returns 0), ends the pacing
  // thread within the join bound and abandons it if it does not end.
  virtual ~CFrameScheduler();
  CFrameScheduler(const CFrameScheduler&) = delete;
  CFrameScheduler& operator=(const CFrameScheduler&) = delete;

  // Configures both queues (every channel disabled) and starts the pacing thread. false
  // when called twice, when channelCount is not 1..32 or when the thread cannot start.
  bool Open(int32_t channelCount, VideoCallback video, AudioCallback audio, void* context,
            int32_t videoNoBackPressure);
  void Start();
  void Stop();
  void Flush();
  // The producer has reached the end of what it plays: the seconds still open in both
  // queues are closed (each as one recorded second), so they are paced and delivered too.
  void CloseGroups(float rate);
  // True while either queue holds frames not yet handed to a callback.
  bool HasQueuedFrames() const;
  // The play rate (play_mode.h says what each rate means); a single step sets it back to
  // 0 once its frame was shown.
  void SetRate(float rate);
  float GetRate() const;
  // Copies n words (at most the channel count); nonzero = enabled.
  void SetChannelEnables(const int32_t* words, int32_t n);
  void SetAudioMask(uint32_t mask);

  // 1 when stored. Refused (0): not started, channel out of range, a displayed frame of a
  // disabled channel, a data length of 0 or above kMaxFrameDataLength. May block while the
  // producer is ahead of delivery. display: 1 shown, 0 decode-only, kDisplayLead decode-only
  // and unpaced (see CFrameQueue::Enqueue).
  // With flushCount given (a FlushCount value), a frame is not stored once a Flush or Stop
  // came after that value was read: the producer read it for what was queued before.
  int32_t EnqueueVideo(uint32_t channel, platform::CTime time, const uint8_t* data,
                       int32_t dataLength, const uint8_t* second, int32_t secondLength,
                       int32_t display, float rate, std::optional<uint64_t> flushCount = {});
  // 1 when stored. Refused (0): not started, rate not exactly 1.0, channel disabled or not
  // in the audio mask, a data length of 0 or above kMaxFrameDataLength.
  int32_t EnqueueAudio(uint32_t channel, platform::CTime time, const uint8_t* data,
                       int32_t dataLength, const uint8_t* second, int32_t secondLength, float rate,
                       std::optional<uint64_t> flushCount = {});
  // Counts every Flush and Stop (and the video flush of a step against the direction).
  uint64_t FlushCount() const;

  // Bound on the wait for the pacing thread at destruction (5000 ms unless a test shortens
  // it).
  void SetJoinTimeoutMs(uint32_t ms);
  // Producers inside EnqueueVideo's queue call (for tests of a blocked producer).
  int32_t VideoProducersWaiting() const;
  // Time-out of the pacing thread's latest wait, in microseconds: up to the next frame's due
  // time, at most the 20 ms poll period (for tests of the pacing thread's sleep).
  uint32_t LastPacingWaitUs() const;
  // Performance-counter time at which the video frame being handed to the video callback
  // fell due; called from inside that callback it gives the delivery's lateness.
  double VideoDueTime() const;

  struct Shared;  // everything the pacing thread touches; it holds a reference of its own

 private:
  static void PacingLoop(std::shared_ptr<Shared> state);
  struct Lane;
  static int32_t VideoDispatch(uint32_t channel, FrameTime time, const uint8_t* data,
                               int32_t dataLength, const uint8_t* second, int32_t secondLength,
                               int32_t display, void* context);
  static int32_t AudioDispatch(uint32_t channel, FrameTime time, const uint8_t* data,
                               int32_t dataLength, const uint8_t* second, int32_t secondLength,
                               int32_t display, void* context);

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<platform::Thread> thread_;
  uint32_t joinTimeoutMs_ = 5000;
};

}  // namespace scheduler
