// Recording around triggers. A channel whose status records on trigger A or B (and not
// always) keeps its frames and audio in memory while no trigger is set, for the pre-record
// time; the frame that sets a trigger first writes the kept frames, oldest first, with their
// own times and its reason, so the event starts where the pre-record time does. After the
// last triggering frame the channel records on for the post-record time, with the event's
// reason; a trigger within that time extends it. With both times 0 a trigger channel records
// exactly the frames that carry its trigger.
//
// Everything a channel keeps belongs to one recording session: STOP (and END) close intake,
// which makes the kept frames stale, and they are dropped unwritten at the channel's next
// frame (or with the recorder).
#include <atomic>
#include <cstring>

#include "platform/mutex.h"
#include "recording/intake.h"
#include "recording/prerecord_buffer.h"
#include "storage/formats.h"

struct Intake::TriggerState {
  platform::Mutex lock;
  PreRecordBuffer kept GUARDED_BY(lock){Intake::kPreRecordLimit};
  uint64_t session GUARDED_BY(lock) = 0;
  bool inEvent GUARDED_BY(lock) = false;  // a trigger came, and its post-record time may run
  int64_t lastTrigger GUARDED_BY(lock) = 0;
  uint8_t eventReason GUARDED_BY(lock) = 0;
  // The channel's latest video was written, so its group's key frame is on disk: kept frames
  // may start with a frame that is no key frame.
  bool groupOnDisk GUARDED_BY(lock) = false;
  // Anything to forget when the channel stops recording on a trigger (read without the lock).
  std::atomic<bool> holding{false};

  void Reset() REQUIRES(lock) {
    kept.Clear();
    inEvent = false;
    groupOnDisk = false;
  }
};

Intake::TriggerStates Intake::MakeTriggerStates() {
  return TriggerStates(new TriggerState[kChannelCount],
                       [](TriggerState* states) { delete[] states; });
}

Intake::~Intake() = default;

bool Intake::RecordsOnTrigger(uint32_t status) {
  return (status & storage::kReasonRecorded) == 0 &&
         (status & (storage::kReasonTriggerA | storage::kReasonTriggerB)) != 0;
}

void Intake::ForgetTriggerState(uint32_t channel) {
  TriggerState& state = triggers_[channel];
  if (!state.holding.load()) return;
  platform::MutexLock hold(&state.lock);
  state.Reset();
  state.kept.Clear(/*release=*/true);
  state.holding = false;
}

void Intake::PutKept(const uint8_t* built, uint32_t size, bool toVideoRing, uint8_t reason) {
  platform::Mutex& intakeLock = toVideoRing ? videoIntakeLock_ : audioIntakeLock_;
  CFrameRing& ring = toVideoRing ? *videoRing_ : *audioRing_;
  platform::Semaphore& slots = toVideoRing ? *videoSlots_ : *audioSlots_;
  platform::MutexLock hold(&intakeLock);
  // As at intake: a record the ring can never hold, or no room in time, drops the record.
  if (size > ring.capacity() - CFrameRing::kRecordHeaderSize) return;
  if (!slots.Acquire(kSlotWaitMs)) return;
  uint8_t* out = ring.Reserve(size);
  if (out == nullptr) {
    slots.Release(1);
    return;
  }
  std::memcpy(out, built, size);
  if (reason != 0) out[storage::kRecordReasonOffset] = reason;
  ring.Commit(size, 0);
}

int32_t Intake::TakeInAroundTrigger(uint32_t channel, PendingRecord& record, const Route& route) {
  TriggerState& state = triggers_[channel];
  platform::MutexLock hold(&state.lock);
  const uint64_t session = session_.load();
  if (state.session != session) {
    state.Reset();
    state.session = session;
  }
  state.holding = true;
  const int64_t time = record.fields.time;
  if (!Accepting(channel)) {
    state.Reset();
    if (route.decides) switches_.SetRecordNow(channel, route.triggered);
    return 0;
  }

  bool write = switches_.RecordNow(channel);
  if (route.decides) {
    if (route.triggered) {
      state.inEvent = true;
      state.lastTrigger = time;
      state.eventReason = record.fields.reason;
      // The kept frames go first, in their order, marked with the reason of this frame: those
      // from the key frame at or before pre seconds before it on.
      state.kept.Trim(time, preSeconds_.load());
      const uint8_t reason = record.fields.reason;
      state.kept.Drain([&](const PreRecordBuffer::Kept& kept) {
        if (!open_.load()) return false;
        PutKept(kept.record, kept.size, !kept.tag.audioRing, kept.tag.takesReason ? reason : 0);
        return true;
      });
    } else if (const int32_t post = postSeconds_.load();
               state.inEvent && post > 0 && time - state.lastTrigger <= post) {
      if (route.takesEventReason) record.fields.reason = state.eventReason;
    } else {
      state.inEvent = false;
    }
    write = state.inEvent;
    switches_.SetRecordNow(channel, write);
  }
  if (write) {
    if (route.decides) state.groupOnDisk = true;
    return TakeIn(channel, record, route.toVideoRing, route.counted, route.statSize);
  }

  // Kept for pre-record: counted as it comes in, like every frame the host hands in.
  if (route.counted) {
    platform::MutexLock count(&videoIntakeLock_);
    throughput_.Count(channel, route.statSize);
  }
  const int32_t pre = preSeconds_.load();
  if (pre <= 0) {
    state.kept.Clear(/*release=*/true);
    return 0;
  }
  state.kept.Trim(time, pre);
  const uint64_t size = record.videoFormat
                            ? storage::VideoRecordSize(record.payloadLength, record.fields.keyFrame)
                            : storage::AudioRecordSize(record.payloadLength);
  if (size > kPreRecordLimit) return 0;
  const bool startsGroup =
      route.decides && (record.fields.keyFrame || (state.groupOnDisk && state.kept.empty()));
  if (route.decides) state.groupOnDisk = false;
  const auto recordSize = static_cast<uint32_t>(size);
  uint8_t* out = state.kept.Append(
      recordSize, time, startsGroup,
      PreRecordBuffer::Tag{.audioRing = !route.toVideoRing, .takesReason = route.takesEventReason});
  if (out == nullptr) return 0;
  BuildInto(out, recordSize, record);
  return 0;
}
