// The playback thread of a file search: applies the host's requests, reads the recorded
// frames of the selected day from the catalogue in the play direction, thins them out for
// fast rates, and queues the chosen ones in the scheduler, which paces them to the host.
// At the end of a day's data it moves on to the next recorded day (the previous one when
// playing backwards), wrapping around the list of days.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "playback/file_search.h"
#include "storage/formats.h"

using platform::CTime;
using storage::FrameHeader;

namespace {

// How long the thread waits before it looks again.
constexpr uint32_t kNothingReadableSleepMs = 100;
constexpr uint32_t kNoDaysSleepMs = 1000;
constexpr uint32_t kIdleDayChangeSleepMs = 100;
constexpr uint32_t kFailedWaitSleepMs = 100;
// Sleeps are cut into slices this long so a stop is seen at once.
constexpr uint32_t kSleepSliceMs = 10;
// The day change waits for queued frames while something still leaves the queues. Frames a
// recorded second apart leave 1 / |rate| seconds apart (so does the first shown frame after
// its decode-only key frame), so the wait for the next one allows twice that, and never less
// than two seconds at fast rates.
constexpr double kDrainIdleRecordedSeconds = 2.0;
constexpr double kDrainSlowestRate = 0.05;
constexpr uint32_t kDrainPollMs = 5;

// Rates with a meaning of their own.
constexpr float kStepForward = 100.0f;
constexpr float kStepBackward = -100.0f;
// Key-frame-only band of the play rate: 27 < e <= 30.
constexpr float kKeyOnlyLow = 27.0f;
constexpr float kKeyOnlyHigh = 30.0f;

enum class FrameClass { kNone, kAudio, kFirstVideo, kSecondVideo };

// Video types 1 and 3 are first-class (played at every rate), the other delivered video
// types second-class (thinned first at fast rates).
FrameClass ClassOf(uint32_t type) {
  if (storage::IsDeliveredAudioType(type)) return FrameClass::kAudio;
  if (!storage::IsDeliveredVideoType(type)) return FrameClass::kNone;
  return (type == 1 || type == 3) ? FrameClass::kFirstVideo : FrameClass::kSecondVideo;
}

bool InKeyOnlyBand(float e) { return e > kKeyOnlyLow && e <= kKeyOnlyHigh; }

}  // namespace

// What the playback thread keeps for itself while it runs.
struct CFileSearch::PlaybackState {
  std::unique_ptr<uint8_t[]> buffer;
  // Per channel: a key frame was seen while the channel was displayed, so it may play.
  std::array<int32_t, kMaxChannels> armed{};
  // Per channel: position in the thinning cycle of fast rates and of the key-only band.
  std::array<int32_t, kMaxChannels> frameSkip{};
  std::array<int32_t, kMaxChannels> keySkip{};
  // The seek serial of the thread's last day-change seek (0 when none).
  uint64_t dayChangeSerial = 0;
  // Day changes in a row whose day queued nothing, and day seeks in a row that failed.
  int32_t idleDayChanges = 0;
  int32_t failedDaySeeks = 0;
  uint64_t queuedSinceDayChange = 0;
};

// ---------------------------------------------------------------------------------------
// Entry and main loop.

void CFileSearch::RunPlayback() {
  try {
    PlaybackState state;
    state.buffer = std::make_unique<uint8_t[]>(kFrameBufferSize);
    PlaybackLoop(state);
  } catch (...) {
    // Out of memory: the thread ends as after a stop.
  }
  // An abandoned thread leaves the catalogue to whoever owns it now; the next START
  // rebuilds it and the destructor clears it.
  if (abandoned.load() == 0) catalog->Clear();
  threadActive.store(0);
}

void CFileSearch::PlaybackLoop(PlaybackState& state) {
  while (!StopRequested()) {
    if (!wakeEvent->Wait(platform::kInfinite)) {
      SleepUnlessStopped(kFailedWaitSleepMs);
      continue;
    }
    if (StopRequested()) break;
    if (seekPending.load() != 0 && !ApplySeek(state)) continue;
    ApplyRequests(state);

    const int32_t n = catalog->ReadNextFrame(state.buffer.get(), kFrameBufferSize);
    if (StopRequested()) break;
    if (n == 0) {
      SleepUnlessStopped(kNothingReadableSleepMs);
      continue;
    }
    if (n < 0) {
      ChangeDay(state);
      platform::SleepMs(0);
      continue;
    }
    PlayFrame(state, n);
    platform::SleepMs(0);
  }
}

bool CFileSearch::SleepUnlessStopped(uint32_t ms) const {
  for (uint32_t slept = 0; slept < ms; slept += kSleepSliceMs) {
    if (StopRequested()) return false;
    platform::SleepMs(std::min(kSleepSliceMs, ms - slept));
  }
  return !StopRequested();
}

int32_t CFileSearch::LoadDates() {
  int32_t count = 0;
  catalog->GetDateTable(nullptr, &count);
  if (count <= 0) {
    dateCount = 0;
    return 0;
  }
  // The catalogue is not rebuilt while the thread runs, so the count holds; the table is
  // still copied into room for all of it and only the first days are kept.
  std::vector<uint32_t> table(static_cast<size_t>(count));
  int32_t copied = count;
  catalog->GetDateTable(table.data(), &copied);
  copied = std::clamp(copied, 0, std::min(count, kDateTableSize));
  for (int32_t i = 0; i < copied; ++i) dates[i] = CTime(static_cast<int32_t>(table[i]));
  dateCount = copied;
  return dateCount;
}

int32_t CFileSearch::FindDate(CTime day) const {
  for (int32_t i = 0; i < dateCount; ++i) {
    if (dates[i] == day) return i;
  }
  return -1;
}

bool CFileSearch::ApplySeek(PlaybackState& state) {
  if (LoadDates() == 0) {
    // No recorded days: the request stays pending.
    SleepUnlessStopped(kNoDaysSleepMs);
    return false;
  }
  seekPending.store(0);
  const CTime target(seekTarget.load());
  // A host seek after the day change's own one has counted the serial on.
  const bool dayChange = state.dayChangeSerial != 0 && seekSerial.load() == state.dayChangeSerial;
  if (catalog->SeekToTime(target) == 0) {
    if (StopRequested()) return false;
    if (dayChange) {
      // That day cannot be read: go on with the next one in the play direction, and rest
      // after a whole round of days that all failed.
      if (++state.failedDaySeeks >= dateCount) {
        state.failedDaySeeks = 0;
        if (!SleepUnlessStopped(kNoDaysSleepMs)) return false;
      }
      SeekForDayChange(state, FindDate(target.LocalMidnight()), resetDirection.load());
      return false;
    }
    currentDay.store(dates[dateCount - 1].seconds());
    catalog->OpenDay(dates[dateCount - 1]);
  } else if (dayChange) {
    state.failedDaySeeks = 0;
  }
  // Frames read before the seek may have been queued since it was requested.
  scheduler->Flush();
  ForgetQueuedFrames();
  state.armed.fill(0);
  return true;
}

void CFileSearch::ApplyRequests(PlaybackState& state) {
  if (ratePending.exchange(0) != 0) {
    const float rate = playRate.load();
    catalog->SetPlayRate(rate);
    appliedRate.store(rate);
  }
  if (resetPending.exchange(0) != 0) {
    catalog->ResetReadPosition(resetDirection.load());
    state.armed.fill(0);
  }
  if (displayPending.exchange(0) != 0) {
    std::array<int32_t, kMaxChannels> words{};
    for (uint32_t c = 0; c < channelCount; ++c) words[c] = static_cast<int32_t>(display[c].load());
    scheduler->SetChannelEnables(words.data(), static_cast<int32_t>(channelCount));
  }
  if (channelPending.exchange(0) != 0) {
    const uint32_t channel = currentChannel.load();
    scheduler->SetAudioMask(channel < kMaxChannels ? 1u << channel : 0u);
  }
}

// ---------------------------------------------------------------------------------------
// Frames.

float CFileSearch::EffectiveRate() const {
  const float rate = playRate.load();
  if (rate == kStepForward) return 1.0f;
  if (rate == kStepBackward) return -1.0f;
  return rate;
}

void CFileSearch::FillSideBlock(uint8_t* side, uint32_t type) const {
  storage::StoreU32(side, kSideBlockTag);
  storage::StoreU32(side + 4, type);
  storage::StoreAs(side + 8, appliedRate.load());
}

int32_t CFileSearch::Enqueue(PlaybackState& state, bool audio, uint32_t channel,
                             const uint8_t* record, int32_t length, int32_t display, float rate) {
  FrameHeader header;
  std::memcpy(&header, record, sizeof(header));
  uint8_t side[kSideBlockSize];
  FillSideBlock(side, header.type);
  const CTime time(header.time);
  const int32_t stored =
      audio ? scheduler->EnqueueAudio(channel, time, record, length, side, kSideBlockSize, rate)
            : scheduler->EnqueueVideo(channel, time, record, length, side, kSideBlockSize, display,
                                      rate);
  if (stored != 0) {
    enqueuedFrames.fetch_add(1);
    ++state.queuedSinceDayChange;
  }
  return stored;
}

bool CFileSearch::PlayFrame(PlaybackState& state, int32_t length) {
  if (length < static_cast<int32_t>(storage::kFrameHeaderSize)) return false;
  const uint8_t* record = state.buffer.get();
  FrameHeader header;
  std::memcpy(&header, record, sizeof(header));
  const uint32_t ch = header.channel;
  // The per-channel tables hold channelCount channels; the reader hands over up to 32.
  if (ch >= channelCount) return false;
  const bool key = (header.keyFrame & 1) != 0;
  const uint32_t shown = display[ch].load();
  if (key && shown != 0) state.armed[ch] = 1;
  if (state.armed[ch] == 0) return false;

  const float rate = playRate.load();
  const float e = EffectiveRate();
  switch (ClassOf(header.type)) {
    case FrameClass::kAudio:
      if (shown == 0 || ch != currentChannel.load() || rate != 1.0f) return false;
      return Enqueue(state, /*audio=*/true, ch, record, length, 1, 1.0f) != 0;

    case FrameClass::kFirstVideo: {
      const bool band = InKeyOnlyBand(e);
      const bool send = key ? state.keySkip[ch] == 0 : !band;
      bool queued = false;
      if (send && ((state.frameSkip[ch] == 0 && shown != 0) || key)) {
        const int32_t displayFlag = (header.keyFrame & kDecodeOnlyBit) != 0 ? 0 : 1;
        queued = Enqueue(state, /*audio=*/false, ch, record, length, displayFlag, e) != 0;
      }
      if (band) {
        state.frameSkip[ch] = 0;
        if (key) {
          state.keySkip[ch] =
              e - kKeyOnlyLow > static_cast<float>(state.keySkip[ch]) ? state.keySkip[ch] + 1 : 0;
        }
      } else {
        state.keySkip[ch] = 0;
        state.frameSkip[ch] = std::fabs(e) - 1.0f > static_cast<float>(state.frameSkip[ch])
                                  ? state.frameSkip[ch] + 1
                                  : 0;
      }
      return queued;
    }

    case FrameClass::kSecondVideo:
      if (e > 0.0f && e <= 1.0f) {
        if (shown == 0 && !key) return false;
        // A key frame of a hidden channel goes out decode-only.
        return Enqueue(state, /*audio=*/false, ch, record, length, static_cast<int32_t>(shown),
                       e) != 0;
      }
      if (!key || state.frameSkip[ch] != 0) return false;
      return Enqueue(state, /*audio=*/false, ch, record, length, 1, e) != 0;

    case FrameClass::kNone:
      return false;
  }
  return false;
}

void CFileSearch::KeyFrameCallback(uint8_t* record, int32_t length, CFileSearch* owner) {
  if (owner != nullptr) owner->OnKeyFrame(record, length);
}

// The frame reader hands over the key frame a backward group needs before its frames: the
// host decodes it but neither shows it nor counts it for pacing.
void CFileSearch::OnKeyFrame(uint8_t* record, int32_t length) {
  if (record == nullptr || length < static_cast<int32_t>(storage::kFrameHeaderSize)) return;
  FrameHeader header;
  std::memcpy(&header, record, sizeof(header));
  const uint32_t ch = header.channel;
  // A decode-only frame of a hidden channel would never close a group and would pile up.
  if (ch >= channelCount || display[ch].load() == 0 || StopRequested()) return;
  record[offsetof(FrameHeader, keyFrame)] |= kDecodeOnlyBit;
  uint8_t side[kSideBlockSize];
  FillSideBlock(side, header.type);
  if (scheduler->EnqueueVideo(ch, CTime(header.time), record, length, side, kSideBlockSize, 0,
                              EffectiveRate()) != 0) {
    // Counted with the thread's own enqueues; the thread is the caller, inside
    // ReadNextFrame.
    enqueuedFrames.fetch_add(1);
  }
}

// ---------------------------------------------------------------------------------------
// Day change.

void CFileSearch::ChangeDay(PlaybackState& state) {
  // The seconds queued ahead of the pacing would be flushed by the day change's seek: let
  // them play out first, so the end of the day is shown.
  if (!DrainBeforeDayChange(state)) return;
  if (dateCount <= 0) return;

  const bool queuedNothing = state.queuedSinceDayChange == 0;
  state.queuedSinceDayChange = 0;
  const int32_t i = FindDate(CTime(currentDay.load()));
  const float rate = playRate.load();
  if (i < 0) {
    Seek(dates[dateCount - 1]);
  } else if (rate > 0.0f) {
    SeekForDayChange(state, i, 1);
  } else if (rate < 0.0f) {
    SeekForDayChange(state, i, -1);
  } else {
    return;
  }
  // A whole round of days that queued nothing (nothing displayed, nothing readable) must not
  // spin through the days at disk speed.
  if (queuedNothing) {
    if (++state.idleDayChanges >= dateCount) SleepUnlessStopped(kIdleDayChangeSleepMs);
  } else {
    state.idleDayChanges = 0;
  }
}

void CFileSearch::SeekForDayChange(PlaybackState& state, int32_t index, int32_t step) {
  if (dateCount <= 0) return;
  int32_t j;
  if (index < 0) {
    j = dateCount - 1;
  } else if (step > 0) {
    j = index + 1 < dateCount ? index + 1 : 0;
  } else {
    j = index - 1 >= 0 ? index - 1 : dateCount - 1;
  }
  Seek(dates[j]);
  state.dayChangeSerial = seekSerial.load();
  resetDirection.store(step > 0 ? 1 : -1);
  resetPending.store(1);
}

bool CFileSearch::DrainBeforeDayChange(PlaybackState& state) {
  uint64_t lastDelivered = deliveredFrames.load();
  double lastProgress = platform::PerfSeconds();
  for (;;) {
    if (StopRequested() || seekPending.load() != 0) return false;
    ApplyRequests(state);
    const uint64_t delivered = deliveredFrames.load();
    if (delivered >= enqueuedFrames.load()) return true;
    const double now = platform::PerfSeconds();
    const double pace =
        std::clamp(std::fabs(static_cast<double>(EffectiveRate())), kDrainSlowestRate, 1.0);
    if (delivered != lastDelivered || scheduler->GetRate() == 0.0f) {
      // Frames are leaving, or play is paused (or a single step is done): keep waiting.
      lastDelivered = delivered;
      lastProgress = now;
    } else if (now - lastProgress >= kDrainIdleRecordedSeconds / pace) {
      // A last group that can never be paced must not hold play up.
      return true;
    }
    platform::SleepMs(kDrainPollMs);
  }
}
