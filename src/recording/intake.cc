#include "recording/intake.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/local_time.h"
#include "platform/mutex.h"
#include "platform/semaphore.h"
#include "storage/formats.h"

static_assert(storage::kMaxVideoPayload == RECORDER_MAX_VIDEO_FRAME_BYTES);
static_assert(storage::kMaxRecordSize + CFrameRing::kRecordHeaderSize <=
              Intake::kVideoRingCapacity);
static_assert(RECORDER_MAX_AUDIO_FRAME_BYTES + storage::kRecordOverhead +
                  CFrameRing::kRecordHeaderSize ==
              Intake::kAudioRingCapacity);

namespace {

using PendingRecord = Intake::PendingRecord;

enum RecDataKind : uint32_t { kVideoFormatRecData = 0, kAudioFormatRecData = 1 };

// The payload bounds of a descriptor, checked: false when dataEnd lies before dataStart or
// a non-empty payload has no buffer.
bool PayloadOf(const FrameDescriptor& frame, const uint8_t* buffer, PendingRecord* record) {
  const uint32_t start = frame.dataStart;
  const uint32_t end = frame.dataEnd;
  if (end < start) return false;
  record->payloadLength = uint64_t{end} - start;
  if (buffer == nullptr && record->payloadLength != 0) return false;
  record->payload = buffer == nullptr ? nullptr : buffer + start;
  return true;
}

// Writes the local time into the descriptor (the host reads it back) and returns the stamp:
// the fields, and the frame's time rebuilt from them with the DST flag localtime gave.
platform::LocalStamp StampLocalTime(FrameDescriptor* frame) {
  const platform::LocalStamp stamp = platform::NowLocalStamp();
  const platform::LocalFields& local = stamp.fields;
  frame->year = static_cast<uint16_t>(local.year);
  frame->month = static_cast<uint8_t>(local.month);
  frame->day = static_cast<uint8_t>(local.day);
  frame->hour = static_cast<uint8_t>(local.hour);
  frame->minute = static_cast<uint8_t>(local.minute);
  frame->second = static_cast<uint8_t>(local.second);
  frame->reserved23 = 0;
  frame->millisecond = 0;
  return stamp;
}

// Whether a channel with these status bits records a frame with these triggers.
bool RecordDecision(uint32_t status, uint32_t triggerA, uint32_t triggerB) {
  return (status & storage::kReasonRecorded) != 0 ||
         ((status & storage::kReasonTriggerA) != 0 && triggerA != 0) ||
         ((status & storage::kReasonTriggerB) != 0 && triggerB != 0);
}

// Yields of the processor a host thread with no free slot spends looking before it sleeps.
constexpr int32_t kSlotLooksBeforeSleep = 64;

// A slot of the ring. All slots taken means the writer thread is busy with them and gives
// them back within microseconds; sleeping would cost the host and the writer a wake-up each,
// which is far more than the frame. So the host looks again a bounded number of times,
// yielding the processor between looks, before it waits for the rest of kSlotWaitMs.
bool TakeSlot(platform::Semaphore& slots) {
  if (slots.Acquire(0)) return true;
  for (int32_t look = 0; look < kSlotLooksBeforeSleep; ++look) {
    platform::SleepMs(0);  // a yield: the writer thread may need this core to free a slot
    if (slots.Acquire(0)) return true;
  }
  return slots.Acquire(Intake::kSlotWaitMs);
}

}  // namespace

Intake::Intake(ChannelSwitches& switches, Throughput& throughput)
    : switches_(switches),
      throughput_(throughput),
      audioRing_(CFrameRing::Create(kAudioRingCapacity)),
      videoRing_(CFrameRing::Create(kVideoRingCapacity)),
      audioSlots_(std::make_shared<platform::Semaphore>(kRingSlots, kRingSlots)),
      videoSlots_(std::make_shared<platform::Semaphore>(kRingSlots, kRingSlots)),
      triggers_(MakeTriggerStates()) {
  if (!audioRing_ || !videoRing_) throw std::bad_alloc();
}

bool Intake::Accepting(uint32_t channel) const {
  return open_.load() && switches_.GetRecord(channel) != 0 && (!canStore_ || canStore_());
}

bool Intake::WaitForDrain(uint32_t timeoutMs) {
  // Bounded: a writer stuck in a host callback must not hold STOP up.
  const double deadline = platform::PerfSeconds() + timeoutMs / 1000.0;
  while (videoSlots_->Count() < kRingSlots || audioSlots_->Count() < kRingSlots) {
    if (platform::PerfSeconds() >= deadline) return false;
    platform::SleepMs(1);
  }
  return true;
}

void Intake::Close() {
  audioRing_->Close();
  videoRing_->Close();
  audioSlots_->Release(1);
  videoSlots_->Release(1);
}

// `toVideoRing` selects the video ring, its slots and its intake lock (else the audio ones);
// `counted` frames feed the throughput statistics with statSize before anything can drop
// them.
void Intake::BuildInto(uint8_t* out, uint32_t size, const PendingRecord& record) {
  const uint64_t built = record.videoFormat
                             ? storage::BuildVideoRecord(out, size, record.fields, record.payload,
                                                         record.payloadLength)
                             : storage::BuildAudioRecord(out, size, record.fields, record.payload,
                                                         record.payloadLength);
  if (built != size) std::memset(out, 0, size);
}

int32_t Intake::TakeIn(uint32_t channel, const PendingRecord& record, bool toVideoRing,
                       bool counted, uint32_t statSize) {
  platform::Mutex& intakeLock = toVideoRing ? videoIntakeLock_ : audioIntakeLock_;
  CFrameRing& ring = toVideoRing ? *videoRing_ : *audioRing_;
  platform::Semaphore& slots = toVideoRing ? *videoSlots_ : *audioSlots_;

  // A frame longer than the recorder stores is refused before it counts anywhere.
  if (record.payloadLength >
      (record.videoFormat ? storage::kMaxVideoPayload : uint64_t{RECORDER_MAX_AUDIO_FRAME_BYTES})) {
    return 0;
  }
  const auto recordSize = static_cast<uint32_t>(
      record.videoFormat ? storage::VideoRecordSize(record.payloadLength, record.fields.keyFrame)
                         : storage::AudioRecordSize(record.payloadLength));

  platform::MutexLock hold(&intakeLock);
  if (counted) throughput_.Count(channel, statSize);

  if (!TakeSlot(slots)) return 1;
  uint8_t* out = ring.Reserve(recordSize);
  if (out == nullptr) {
    slots.Release(1);
    return 1;
  }
  BuildInto(out, recordSize, record);
  ring.Commit(recordSize, 0);
  return 1;
}

int32_t Intake::WriteVideo(uint32_t channel, FrameDescriptor* frame) {
  if (!ChannelInRange(channel) || frame == nullptr) return 0;
  PendingRecord record;
  if (!PayloadOf(*frame, frame->videoData, &record)) return 0;

  const platform::LocalStamp stamp = StampLocalTime(frame);
  // A video-format record of a type the writer does not store would never reach a file.
  if (!storage::IsStoredVideoType(frame->type)) return 0;
  const uint32_t triggerA = frame->triggerA;
  const uint32_t triggerB = frame->triggerB;
  const uint32_t status = switches_.GetStatus(channel);
  const bool now = RecordDecision(status, triggerA, triggerB);

  record.videoFormat = true;
  record.fields.channel = channel;
  record.fields.time = stamp.time.seconds();
  record.fields.type = frame->type;
  record.fields.subType = frame->subTypeWord;
  record.fields.keyFrame = frame->keyFlag != 0;
  uint8_t reason = storage::kReasonRecorded;
  if (triggerA != 0) reason |= storage::kReasonTriggerA;
  if (triggerB != 0) reason |= storage::kReasonTriggerB;
  record.fields.reason = reason;
  record.fields.videoTag = frame->tag;
  if (RecordsOnTrigger(status)) {
    return TakeInAroundTrigger(channel, record,
                               Route{.toVideoRing = true,
                                     .counted = true,
                                     .statSize = frame->statSize,
                                     .decides = true,
                                     .triggered = now,
                                     .takesEventReason = true});
  }
  ForgetTriggerState(channel);
  switches_.SetRecordNow(channel, now);
  if (!now || !Accepting(channel)) return 0;
  return TakeIn(channel, record, /*toVideoRing=*/true, /*counted=*/true, frame->statSize);
}

int32_t Intake::WriteAudio(uint32_t channel, FrameDescriptor* frame) {
  if (!ChannelInRange(channel) || frame == nullptr) return 0;
  // Only the audio form (through audioData) may be read: the host's buffer can end there.
  PendingRecord record;
  if (!PayloadOf(*frame, frame->audioData, &record)) return 0;

  const platform::LocalStamp stamp = StampLocalTime(frame);
  if (!storage::IsStoredAudioType(frame->type)) return 0;

  record.videoFormat = false;
  record.fields.channel = channel;
  record.fields.time = stamp.time.seconds();
  record.fields.type = frame->type;
  record.fields.subType = frame->subTypeWord;
  record.fields.reason = storage::kReasonRecorded;
  if (RecordsOnTrigger(switches_.GetStatus(channel))) {
    return TakeInAroundTrigger(channel, record,
                               Route{.toVideoRing = false,
                                     .counted = false,
                                     .statSize = 0,
                                     .decides = false,
                                     .triggered = false,
                                     .takesEventReason = false});
  }
  // Audio follows the latest decision made for its channel's video.
  if (!switches_.RecordNow(channel) || !Accepting(channel)) return 0;
  return TakeIn(channel, record, /*toVideoRing=*/false, /*counted=*/false, 0);
}

int32_t Intake::WriteRecData(uint32_t channel, FrameDescriptor* frame) {
  if (!ChannelInRange(channel) || frame == nullptr) return 0;
  const uint32_t kind = frame->kind;
  PendingRecord record;
  // Kind 1 uses the audio form, so nothing past audioData is read for it.
  if (kind == kVideoFormatRecData && !PayloadOf(*frame, frame->videoData, &record)) return 0;
  if (kind == kAudioFormatRecData && !PayloadOf(*frame, frame->audioData, &record)) return 0;

  const platform::LocalStamp stamp = StampLocalTime(frame);
  // Other kinds store nothing, and a type outside the family of the record's format would
  // never reach a file: both are refused.
  if (kind == kVideoFormatRecData
          ? !storage::IsStoredVideoType(frame->type)
          : kind != kAudioFormatRecData || !storage::IsStoredAudioType(frame->type)) {
    return 0;
  }
  const uint32_t status = switches_.GetStatus(channel);
  const bool videoForm = kind == kVideoFormatRecData;
  const bool now = videoForm && RecordDecision(status, frame->triggerA, frame->triggerB);

  record.fields.channel = channel;
  record.fields.type = frame->type;
  record.fields.subType = frame->subTypeWord;
  record.videoFormat = videoForm;
  if (videoForm) {
    record.fields.time = stamp.time.seconds();
    record.fields.keyFrame = frame->keyFlag != 0;
    record.fields.reason = static_cast<uint8_t>(status | storage::kReasonRecorded);
    record.fields.videoTag = frame->tag;
  } else {
    record.fields.time = platform::CTime::Now().seconds();
    record.fields.reason = static_cast<uint8_t>(status);
  }
  const uint32_t statSize = videoForm ? frame->statSize : 0;
  if (RecordsOnTrigger(status)) {
    return TakeInAroundTrigger(channel, record,
                               Route{.toVideoRing = true,
                                     .counted = videoForm,
                                     .statSize = statSize,
                                     .decides = videoForm,
                                     .triggered = now,
                                     .takesEventReason = false});
  }
  if (videoForm) {
    ForgetTriggerState(channel);
    switches_.SetRecordNow(channel, now);
  }
  if (!switches_.RecordNow(channel) || !Accepting(channel)) return 0;
  return TakeIn(channel, record, /*toVideoRing=*/true, /*counted=*/videoForm, statSize);
}
