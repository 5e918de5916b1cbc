// The playback thread of a file search: applies the host's requests, reads the recorded
// frames through the frame reader's cursor in the play direction (across files and days
// alike), thins them out for fast rates, and queues the chosen ones in the scheduler, which
// paces them to the host. At the end of the recording it wraps to its start (backwards: from
// its start to its end) as one more step of the cursor.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "playback/file_search.h"
#include "storage/formats.h"

using platform::CTime;
using storage::FrameHeader;

namespace {

using scheduler::PlayKind;
using scheduler::PlayMode;

// How long the thread waits before it looks again.
constexpr uint32_t kNothingReadableSleepMs = 100;
constexpr uint32_t kNoDaysSleepMs = 1000;
constexpr uint32_t kIdleWrapSleepMs = 100;
constexpr uint32_t kFailedWaitSleepMs = 100;
// Sleeps are cut into slices this long so a stop is seen at once.
constexpr uint32_t kSleepSliceMs = 10;
// The highest forward rate at which every video frame of a displayed channel is handed to
// the host (the ones the thinning leaves out as decode-only), so its decoder never misses a
// reference; above it only key frames go out.
constexpr float kDecodeAllMaxRate = 8.0f;

enum class FrameClass { kNone, kAudio, kFirstVideo, kSecondVideo };

// Video types 1 and 3 are first-class (played at every rate), the other delivered video
// types second-class (thinned first at fast rates).
FrameClass ClassOf(uint32_t type) {
  if (storage::IsDeliveredAudioType(type)) return FrameClass::kAudio;
  if (!storage::IsDeliveredVideoType(type)) return FrameClass::kNone;
  return (type == 1 || type == 3) ? FrameClass::kFirstVideo : FrameClass::kSecondVideo;
}

// Whether a first-class frame of a channel is shown, moving the channel's thinning counters
// on: at fast rates one frame in mode.frameCycle (key frames always), in the key-frame-only
// band one key frame in mode.keyCycle and nothing else.
bool ShowFirstClass(const PlayMode& mode, bool key, bool shown, int32_t& frameSkip,
                    int32_t& keySkip) {
  const bool band = mode.kind == PlayKind::kKeyFramesOnly;
  const bool send = (key ? keySkip == 0 : !band) && ((frameSkip == 0 && shown) || key);
  if (band) {
    frameSkip = 0;
    if (key) keySkip = keySkip + 1 < mode.keyCycle ? keySkip + 1 : 0;
  } else {
    keySkip = 0;
    frameSkip = frameSkip + 1 < mode.frameCycle ? frameSkip + 1 : 0;
  }
  return send;
}

// Forward play at a rate that thins frames but where the host still decodes every one.
bool DecodesAll(const PlayMode& mode) {
  return mode.kind == PlayKind::kNormal && mode.direction > 0 && mode.speed > 1.0f &&
         mode.speed <= kDecodeAllMaxRate;
}

// The side block queued with every frame: 4, the record type, the rate last applied, then
// where the record lies (catalogue position, offset), so a step can start from it.
void FillSideBlock(uint8_t* side, uint32_t type, float appliedRate,
                   const storage::CFrameReader::Place& place) {
  storage::StoreU32(side, CFileSearch::kSideBlockTag);
  storage::StoreU32(side + 4, type);
  storage::StoreAs(side + 8, appliedRate);
  storage::StoreU32(side + 12, static_cast<uint32_t>(place.position));
  storage::StoreAs(side + 16, place.offset);
}

}  // namespace

// What the playback thread keeps for itself while it runs.
struct CFileSearch::PlaybackState {
  // The host's requests as last taken; what is marked new is applied by the thread.
  Requests req;
  float appliedRate = 0.0f;
  std::vector<uint8_t> buffer;
  // Per channel: a key frame was seen while the channel was displayed, so it may play.
  std::array<int32_t, kMaxChannels> armed{};
  // Per channel: position in the thinning cycle of fast rates and of the key-only band.
  std::array<int32_t, kMaxChannels> frameSkip{};
  std::array<int32_t, kMaxChannels> keySkip{};
  // Frames queued since the last wrap: a wrap after none rests before the next pass.
  uint64_t queuedSinceWrap = 0;
  // The scheduler's flush count when the frame being played was read: a frame read before a
  // seek's flush is not queued after it.
  uint64_t flushCount = 0;

  // After a seek or a wrap each channel waits for its next key frame, and the thinning
  // cycles start again.
  void Restart() {
    armed.fill(0);
    frameSkip.fill(0);
    keySkip.fill(0);
  }
};

// ---------------------------------------------------------------------------------------
// Entry and main loop.

void CFileSearch::RunPlayback() {
  try {
    PlaybackState state;
    state.buffer.resize(kFrameBufferSize);
    playbackState = &state;
    PlaybackLoop(state);
    playbackState = nullptr;
  } catch (...) {
    // Out of memory: the thread ends as after a stop.
    playbackState = nullptr;
  }
  // An abandoned thread leaves the catalogue to whoever owns it now; the next START
  // rebuilds it and the destructor clears it.
  if (abandoned.load() == 0) {
    reader->Close();
    catalog->Clear();
  }
  threadActive.store(0);
}

void CFileSearch::PlaybackLoop(PlaybackState& state) {
  // Between frames the thread does not yield on purpose: reading a frame is a system call,
  // and a thread ahead of delivery blocks in EnqueueVideo.
  while (!StopRequested()) {
    if (!wakeEvent->Wait(platform::kInfinite)) {
      SleepUnlessStopped(kFailedWaitSleepMs);
      continue;
    }
    if (StopRequested()) break;
    TakeRequests(&state.req);
    if (state.req.seek && !ApplySeek(state)) continue;
    ApplyRequests(state);
    if (!TakeFlushCount(state)) continue;
    const int32_t n = reader->ReadNextFrame(&state.buffer, storage::kMaxFrameLength);
    if (StopRequested()) break;
    if (n == 0) {
      SleepUnlessStopped(kNothingReadableSleepMs);
    } else if (n < 0) {
      Wrap(state);
    } else {
      PlayFrame(state, n);
    }
  }
}

bool CFileSearch::TakeFlushCount(PlaybackState& state) {
  // A seek flushes the queues and then publishes its request, both under seekLock. Reading
  // the count under that lock too means a count that includes a host's flush comes with its
  // request: the frame about to be read from the old position is refused by the flush, or
  // the thread takes the seek first. Without it that frame could be queued after the flush
  // and shown at once, ahead of the seek's target.
  platform::MutexLock hold(&seekLock);
  state.flushCount = scheduler->FlushCount();
  platform::MutexLock reading(&requestLock);
  return !requests.seek;
}

void CFileSearch::TakeRequests(Requests* into) {
  platform::MutexLock hold(&requestLock);
  Requests& r = requests;
  const bool seek = into->seek || r.seek;
  const bool rate = into->rate || r.rate;
  const bool displayChanged = into->displayChanged || r.displayChanged;
  const bool channel = into->channel || r.channel;
  *into = r;
  into->seek = seek;
  into->rate = rate;
  into->displayChanged = displayChanged;
  into->channel = channel;
  r.seek = r.rate = r.displayChanged = r.channel = false;
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
  for (int32_t i = 0; i < copied; ++i) dates[i] = CTime(table[i]);
  dateCount = copied;
  return dateCount;
}

bool CFileSearch::ApplySeek(PlaybackState& state) {
  if (LoadDates() == 0) {
    // No recorded days: the request stays marked new.
    SleepUnlessStopped(kNoDaysSleepMs);
    return false;
  }
  const Requests& req = state.req;
  state.req.seek = false;
  // Play starts at the target itself: forwards each displayed channel gets the frames from
  // its last key frame before the target as decode-only frames first.
  const int32_t direction = req.mode.direction < 0 ? -1 : 1;
  uint32_t leadChannels = 0;
  for (uint32_t c = 0; c < channelCount; ++c) {
    if (req.display[c] != 0) leadChannels |= 1u << c;
  }
  // A buffer grown for a large frame is given back.
  if (state.buffer.size() > kFrameBufferSize) {
    state.buffer.resize(kFrameBufferSize);
    state.buffer.shrink_to_fit();
  }
  // The reader reads in the direction the seek was made for, even when the rate that came
  // with it (a reversal's) is not marked applied yet.
  reader->SetPlayRate(req.playRate);
  state.appliedRate = req.playRate;
  // A step or a reversal starts next to the frame on screen; a time, at the time.
  int32_t placed = 0;
  if (req.seekPlace.position != storage::kNoFile) {
    placed =
        reader->SeekToRecord(req.seekPlace.position, req.seekPlace.offset, direction, leadChannels);
  }
  if (placed == 0) placed = reader->SeekToTime(req.seekTarget, direction, leadChannels);
  if (placed == 0) {
    if (StopRequested()) return false;
    // Nothing recorded from the target on: the last recorded day from its start.
    if (reader->SeekToTime(dates[dateCount - 1], 1, direction > 0 ? leadChannels : 0) == 0) {
      reader->ResetReadPosition(direction);
    }
  }
  // Frames read before the seek may have been queued since it was requested.
  scheduler->Flush();
  state.Restart();
  return true;
}

void CFileSearch::ApplyRequests(PlaybackState& state) {
  Requests& req = state.req;
  if (std::exchange(req.rate, false)) {
    reader->SetPlayRate(req.playRate);
    state.appliedRate = req.playRate;
  }
  if (std::exchange(req.displayChanged, false)) {
    std::array<int32_t, kMaxChannels> words{};
    for (uint32_t c = 0; c < channelCount; ++c) words[c] = static_cast<int32_t>(req.display[c]);
    scheduler->SetChannelEnables(words.data(), static_cast<int32_t>(channelCount));
  }
  if (std::exchange(req.channel, false)) {
    const uint32_t channel = req.currentChannel;
    scheduler->SetAudioMask(channel < kMaxChannels ? 1u << channel : 0u);
  }
}

// ---------------------------------------------------------------------------------------
// Frames.

bool CFileSearch::HeaderOf(const uint8_t* record, int32_t length, FrameHeader* header) {
  if (length < static_cast<int32_t>(storage::kFrameHeaderSize)) return false;
  std::memcpy(header, record, sizeof(*header));
  return true;
}

void CFileSearch::Enqueue(PlaybackState& state, const FrameHeader& header, bool audio,
                          const uint8_t* record, int32_t length, int32_t display, float rate) {
  uint8_t side[kSideBlockSize];
  FillSideBlock(side, header.type, state.appliedRate, reader->LastFramePlace());
  const CTime time(header.time);
  const int32_t stored =
      audio ? scheduler->EnqueueAudio(header.channel, time, record, length, side, kSideBlockSize,
                                      rate, state.flushCount)
            : scheduler->EnqueueVideo(header.channel, time, record, length, side, kSideBlockSize,
                                      display, rate, state.flushCount);
  if (stored != 0) ++state.queuedSinceWrap;
}

void CFileSearch::PlayFrame(PlaybackState& state, int32_t length) {
  const uint8_t* record = state.buffer.data();
  FrameHeader header;
  if (!HeaderOf(record, length, &header)) return;
  const uint32_t ch = header.channel;
  // The per-channel tables hold channelCount channels; the reader hands over up to 32.
  if (ch >= channelCount) return;
  const Requests& req = state.req;
  const PlayMode& mode = req.mode;
  const bool key = (header.keyFrame & 1) != 0;
  const bool shown = req.display[ch] != 0;
  if (key && shown) state.armed[ch] = 1;
  if (state.armed[ch] == 0) return;

  if (reader->LastFrameIsLead()) {
    // Before the seek target: what the decoder needs for the channel's first frame at the
    // target, handed over decode-only and unpaced, whatever the rate, also behind frames of
    // the target that other channels reached first.
    if (!shown || !storage::IsDeliveredVideoType(header.type)) return;
    state.armed[ch] = 1;
    Enqueue(state, header, /*audio=*/false, record, length, scheduler::kDisplayLead, mode.Pace());
    return;
  }
  switch (ClassOf(header.type)) {
    case FrameClass::kAudio:
      if (!shown || ch != req.currentChannel || !mode.audio) return;
      Enqueue(state, header, /*audio=*/true, record, length, 1, 1.0f);
      return;

    case FrameClass::kFirstVideo: {
      const bool show = ShowFirstClass(mode, key, shown, state.frameSkip[ch], state.keySkip[ch]);
      if (DecodesAll(mode) && shown) {
        // The frames the thinning leaves out still reach the decoder, not the screen.
        Enqueue(state, header, /*audio=*/false, record, length, show ? 1 : 0, mode.Pace());
        return;
      }
      if (!show) return;
      // Faster still, a decoder gets key frames only: nothing it cannot decode alone.
      if (!key && mode.direction > 0 && mode.speed > kDecodeAllMaxRate) return;
      Enqueue(state, header, /*audio=*/false, record, length, 1, mode.Pace());
      return;
    }

    case FrameClass::kSecondVideo:
      if (mode.direction > 0 && mode.speed <= 1.0f) {
        if (!shown && !key) return;
        // With no channel displayed a decode-only frame would only pile up in the queue.
        const bool anyShown = std::any_of(req.display.begin(), req.display.begin() + channelCount,
                                          [](uint32_t word) { return word != 0; });
        if (!shown && !anyShown) return;
        // A key frame of a hidden channel goes out decode-only.
        Enqueue(state, header, /*audio=*/false, record, length, shown ? 1 : 0, mode.Pace());
        return;
      }
      if (DecodesAll(mode) && shown) {
        Enqueue(state, header, /*audio=*/false, record, length,
                key && state.frameSkip[ch] == 0 ? 1 : 0, mode.Pace());
        return;
      }
      if (!key || state.frameSkip[ch] != 0) return;
      Enqueue(state, header, /*audio=*/false, record, length, 1, mode.Pace());
      return;

    case FrameClass::kNone:
      return;
  }
}

// The frame reader hands over the key frame a backward group needs before its frames (on
// the playback thread, inside ReadNextFrame): the host decodes it but neither shows it nor
// counts it for pacing.
void CFileSearch::OnPrecedingKeyFrame(const uint8_t* record, int32_t length) {
  PlaybackState* state = playbackState;
  FrameHeader header;
  if (state == nullptr || !HeaderOf(record, length, &header)) return;
  const uint32_t ch = header.channel;
  // A decode-only frame of a hidden channel would never close a group and would pile up.
  if (ch >= channelCount || state->req.display[ch] == 0 || StopRequested()) return;
  // The channel's frames from here back to this key frame can be decoded.
  state->armed[ch] = 1;
  Enqueue(*state, header, /*audio=*/false, record, length, 0, state->req.mode.Pace());
}

// ---------------------------------------------------------------------------------------
// The wrap.

void CFileSearch::Wrap(PlaybackState& state) {
  const int32_t direction = state.req.mode.direction;
  if (direction == 0) return;
  // A whole pass that queued nothing (nothing displayed, nothing readable) must not spin
  // through the recording at disk speed.
  if (state.queuedSinceWrap == 0 && !SleepUnlessStopped(kIdleWrapSleepMs)) return;
  state.queuedSinceWrap = 0;
  reader->ResetReadPosition(direction);
  // A decoder's references do not run on from the end to the start of the recording.
  state.Restart();
}
