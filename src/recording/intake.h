// Intake: the host's video, audio and recording-data frames on their way to the writer
// threads. Each call stamps the frame with the local time, decides whether its channel
// records now, and builds the frame record straight inside one of the two frame rings,
// copying the payload once from the host's buffer. Video and rec data go to the video ring,
// audio to the audio ring; each ring has eight slots (a host thread holds one per record
// until a writer thread has taken it) and an intake lock that serialises its producers.
//
// A frame is taken in only when it can be stored: one longer than the largest frame, of a
// type or kind that is not stored, or arriving while the writer has no data file open, is
// refused before it counts or takes a slot.
//
// A channel that records on a trigger also records around it (intake_triggers.cc): while it
// waits, its frames are kept in memory for the pre-record time, and written first when a
// trigger comes; after the last triggering frame it goes on for the post-record time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "recording/channel_switches.h"
#include "recording/frame_ring.h"
#include "recording/throughput.h"
#include "storage/formats.h"
// The public header; <> so a folder's own recorder.h is never picked instead.
#include <recorder.h>

class Intake {
 public:
  static constexpr uint32_t kAudioRingCapacity = 17600;
  // Room for two of the longest records besides the 3,136,000 bytes that carry ordinary
  // frames, so one large key frame can be written out while the next is copied in. Pages of
  // the buffer are touched only when records reach them: a recorder of small frames never
  // uses more than the first few megabytes.
  static constexpr uint32_t kVideoRingCapacity =
      3136000 + 2 * (storage::kMaxRecordSize + CFrameRing::kRecordHeaderSize);
  static constexpr int32_t kRingSlots = 8;
  static constexpr uint32_t kSlotWaitMs = 5000;

  // Allocates both rings; throws std::bad_alloc when they cannot be had.
  Intake(ChannelSwitches& switches, Throughput& throughput);
  ~Intake();
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;

  // Asked before a frame is taken in: false while nothing could store it (no data file open).
  // Set once, before frames arrive.
  void SetStoreCheck(std::function<bool()> canStore) { canStore_ = std::move(canStore); }

  // 1 taken in (stored, or dropped after being counted), 0 refused.
  int32_t WriteVideo(uint32_t channel, FrameDescriptor* frame);
  int32_t WriteAudio(uint32_t channel, FrameDescriptor* frame);
  int32_t WriteRecData(uint32_t channel, FrameDescriptor* frame);
  // Frames are taken in only while open: the recorder opens intake once the writer records
  // and closes it before the writer stops (both under the write lock).
  // Closing drops what trigger channels kept for pre-record: it is never written.
  void SetOpen(bool open) {
    open_.store(open);
    session_.fetch_add(1);
  }
  // Seconds kept before a trigger and recorded after the last one; the caller clamps them.
  void SetPrePostTime(int32_t pre, int32_t post) {
    preSeconds_.store(pre);
    postSeconds_.store(post);
  }
  // The most a channel keeps in memory for pre-record.
  static constexpr uint32_t kPreRecordLimit = 8u * 1024u * 1024u;

  // true when both rings emptied within timeoutMs. A slot comes back only after the writer
  // has taken its record, so all slots free means both rings are empty.
  bool WaitForDrain(uint32_t timeoutMs);
  // Every waiter on the rings and slots wakes and fails (the writer threads end).
  void Close();

  // Shared with the writer threads, which may outlive a bounded join.
  const std::shared_ptr<CFrameRing>& videoRing() const { return videoRing_; }
  const std::shared_ptr<CFrameRing>& audioRing() const { return audioRing_; }
  const std::shared_ptr<platform::Semaphore>& videoSlots() const { return videoSlots_; }
  const std::shared_ptr<platform::Semaphore>& audioSlots() const { return audioSlots_; }

 public:
  // What one frame will be stored as.
  struct PendingRecord {
    bool videoFormat = true;
    storage::RecordFields fields;
    const uint8_t* payload = nullptr;
    uint64_t payloadLength = 0;
  };
  struct TriggerState;  // a trigger channel's kept frames and event (intake_triggers.cc)

 private:
  // Whether the frame may be taken in now (switched on, open, a file to store it in).
  bool Accepting(uint32_t channel) const;
  // Builds the record inside a ring and commits it. 1 whether stored or dropped.
  // Builds `record` into `size` bytes at `out`; a record that could not be built is left as
  // zeros, which the writer discards (a ring reservation must be committed either way).
  static void BuildInto(uint8_t* out, uint32_t size, const PendingRecord& record);
  int32_t TakeIn(uint32_t channel, const PendingRecord& record, bool toVideoRing, bool counted,
                 uint32_t statSize);

  // ---- Channels that record on a trigger (intake_triggers.cc) ----
  // How a frame of a trigger channel reaches its decision.
  struct Route {
    bool toVideoRing;
    bool counted;  // feeds the statistics with statSize
    uint32_t statSize;
    bool decides;           // video or kind-0 rec data: sets the channel's decision
    bool triggered;         // (deciding frames) a trigger the channel records on is set
    bool takesEventReason;  // video: kept and post-recorded frames carry the event's reason
  };
  // Defined where TriggerState is complete, as is the deleter.
  using TriggerStates = std::unique_ptr<TriggerState[], void (*)(TriggerState*)>;
  static TriggerStates MakeTriggerStates();
  static bool RecordsOnTrigger(uint32_t status);
  // Writes, keeps or refuses a frame of a trigger channel; the result is the export's.
  int32_t TakeInAroundTrigger(uint32_t channel, PendingRecord& record, const Route& route);
  // A channel that no longer records on a trigger lets go of what it kept.
  void ForgetTriggerState(uint32_t channel);
  // Writes a kept record into a ring as it is, but for its reason (0 keeps the stored one).
  void PutKept(const uint8_t* built, uint32_t size, bool toVideoRing, uint8_t reason);

  ChannelSwitches& switches_;
  Throughput& throughput_;
  std::shared_ptr<CFrameRing> audioRing_;
  std::shared_ptr<CFrameRing> videoRing_;
  std::shared_ptr<platform::Semaphore> audioSlots_;
  std::shared_ptr<platform::Semaphore> videoSlots_;
  platform::Mutex audioIntakeLock_;
  platform::Mutex videoIntakeLock_;
  std::atomic<bool> open_{false};
  std::function<bool()> canStore_;
  // Counts every open and close, so trigger states kept before a STOP are seen as stale.
  std::atomic<uint64_t> session_{0};
  std::atomic<int32_t> preSeconds_{0};
  std::atomic<int32_t> postSeconds_{0};
  TriggerStates triggers_;
};
