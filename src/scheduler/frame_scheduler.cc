#include "scheduler/frame_scheduler.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "scheduler/frame_queue.h"

namespace scheduler {
namespace {

// Longest sleep of the pacing thread: it looks at both queues at least this often.
constexpr uint64_t kPollUs = 20000;
// Sleep after two empty cycles in a row that found a frame due "now" and did not deliver it.
constexpr uint64_t kStandStillUs = 1000;
constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr int32_t kMaxChannels = 32;
constexpr int32_t kDefaultChannelCount = 16;

// How long the pacing thread may sleep when it delivered nothing: until the earliest frame
// falls due (rounded up, so it is due on waking), never longer than the poll period. A due
// time already passed asks for no sleep at all.
uint64_t WaitBeforeNextCycleUs(double nextDue, double now) {
  if (!(nextDue < kNever)) return kPollUs;
  const double us = std::ceil((nextDue - now) * 1e6);
  if (!(us > 0.0)) return 0;
  return us >= double(kPollUs) ? kPollUs : static_cast<uint64_t>(us);
}

}  // namespace

struct CFrameScheduler::Shared {
  CFrameScheduler* owner = nullptr;  // handed to the callbacks as an opaque value

  mutable platform::Mutex videoLock;
  mutable platform::Mutex audioLock;
  // Taken inside a queue lock by the dispatch functions, never the other way round.
  mutable platform::Mutex generalLock ACQUIRED_AFTER(videoLock, audioLock);

  std::atomic<bool> opened{false};
  std::atomic<int32_t> channelCount{kDefaultChannelCount};
  std::vector<int32_t> channelEnables GUARDED_BY(generalLock);
  // Written by Open before the pacing thread starts, read-only afterwards.
  VideoCallback video = nullptr;
  AudioCallback audio = nullptr;
  void* context = nullptr;

  std::atomic<int32_t> stop{0};
  // Counted on before every flush or stop empties a queue.
  std::atomic<uint64_t> flushes{0};
  std::atomic<int32_t> started{0};
  std::atomic<uint32_t> lastWaitUs{0};
  platform::Event videoEvent{/*manualReset=*/true, /*initiallySignalled=*/false};
  platform::Event audioEvent{/*manualReset=*/true, /*initiallySignalled=*/false};

  int32_t direction GUARDED_BY(generalLock) = 1;
  float rate GUARDED_BY(generalLock) = 1.0f;
  PlayMode mode GUARDED_BY(generalLock) = PlayModeOf(1.0f);
  // Counts every SetRate, so the end of a single step never undoes a newer one.
  uint64_t rateSerial GUARDED_BY(generalLock) = 0;
  uint32_t audioMask GUARDED_BY(generalLock) = 0;

  // Set by Open (before `opened`), never replaced. A producer blocked in Enqueue holds its
  // own reference, so the queue outlives a scheduler destroyed meanwhile.
  std::shared_ptr<CFrameQueue> videoQueue;
  std::shared_ptr<CFrameQueue> audioQueue;

  bool EnabledLocked(uint32_t channel) const REQUIRES(generalLock) {
    return channel < channelEnables.size() && channelEnables[channel] != 0;
  }

  bool AudioOnLocked(uint32_t channel) const REQUIRES(generalLock) {
    return EnabledLocked(channel) && channel < 32 && (audioMask & (1u << channel)) != 0;
  }

  void FlushVideo() {
    flushes.fetch_add(1);
    platform::MutexLock hold(&videoLock);
    videoEvent.Reset();
    videoQueue->Flush();
  }

  void StopAudio() {
    platform::MutexLock hold(&audioLock);
    audioEvent.Reset();
    audioQueue->Stop();
  }

  // Stores a frame that passed the scheduler's checks and wakes the pacing thread when it
  // made something deliverable: a closed group makes the second before it deliverable, and
  // a seek's first frames are deliverable at once (they would wait up to a poll for nothing).
  static int32_t Store(const std::shared_ptr<CFrameQueue>& queue, platform::Event& event,
                       uint32_t channel, platform::CTime time, const uint8_t* data,
                       int32_t dataLength, const uint8_t* second, int32_t secondLength,
                       int32_t display, float rate, const std::atomic<uint64_t>* flushes,
                       std::optional<uint64_t> flushCount) {
    const uint64_t groups = queue->GroupsClosed();
    const int32_t stored =
        queue->Enqueue(channel, time, data, dataLength, second, secondLength, display, rate,
                       flushCount ? flushes : nullptr, flushCount.value_or(0));
    if (stored != 0 && (queue->TakeDeliverableAtOnce() || queue->GroupsClosed() != groups)) {
      event.Set();
    }
    return stored;
  }
};

// One queue as the pacing thread serves it: the queue, its lock and its event.
struct CFrameScheduler::Lane {
  platform::Mutex& lock;
  platform::Event& event;
  CFrameQueue& queue;

  // Delivers at most one due frame under the queue's lock and leaves the event set while
  // frames are due. Nothing when the scheduler is stopped, and then the event is cleared: a
  // wake-up set meanwhile (the playback thread closing its last seconds as it is stopped)
  // would otherwise end every wait at once and spin the thread until the next Start.
  std::optional<DeliverResult> Turn(const Shared& s, double now, const PlayMode& mode,
                                    double* nextDue) {
    platform::MutexLock hold(&lock);
    if (s.started.load() == 0) {
      event.Reset();
      return std::nullopt;
    }
    double due = kNever;
    const DeliverResult r = queue.Deliver(now, mode, &due);
    if (r == DeliverResult::kShown || r == DeliverResult::kOther) {
      event.Set();
    } else {
      event.Reset();
      *nextDue = std::min(*nextDue, due);
    }
    return r;
  }
};

CFrameScheduler::CFrameScheduler() : shared_(std::make_shared<Shared>()) { shared_->owner = this; }

CFrameScheduler::~CFrameScheduler() {
  Shared& s = *shared_;
  s.started.store(0);
  s.stop.store(1);
  if (s.opened.load(std::memory_order_acquire)) {
    // The queues' own locks suffice to stop them and wake a blocked producer; the
    // scheduler's queue locks are left alone so a callback that hangs on the pacing thread
    // cannot hold the destruction up beyond the join bound.
    s.videoQueue->Stop();
    s.audioQueue->Stop();
  }
  s.videoEvent.Set();
  s.audioEvent.Set();
  if (thread_) thread_->Join(joinTimeoutMs_);
}

bool CFrameScheduler::Open(int32_t channelCount, VideoCallback video, AudioCallback audio,
                           void* context, int32_t videoNoBackPressure) {
  Shared& s = *shared_;
  if (s.opened.load(std::memory_order_acquire) || thread_) return false;
  if (channelCount < 1 || channelCount > kMaxChannels) return false;
  s.video = video;
  s.audio = audio;
  s.context = context;
  s.channelCount.store(channelCount);
  {
    platform::MutexLock hold(&s.generalLock);
    s.channelEnables.assign(static_cast<size_t>(channelCount), 0);
  }
  s.videoQueue = std::make_shared<CFrameQueue>();
  s.audioQueue = std::make_shared<CFrameQueue>();
  if (!s.videoQueue->Configure(&VideoDispatch, &s, videoNoBackPressure, kDefaultGroupThreshold) ||
      !s.audioQueue->Configure(&AudioDispatch, &s, /*noBackPressure=*/1, kDefaultGroupThreshold)) {
    s.videoQueue.reset();
    s.audioQueue.reset();
    return false;
  }
  std::shared_ptr<Shared> state = shared_;
  thread_ = platform::Thread::Start([state] { PacingLoop(state); });
  if (!thread_) {
    s.videoQueue.reset();
    s.audioQueue.reset();
    return false;
  }
  s.opened.store(true, std::memory_order_release);
  return true;
}

void CFrameScheduler::Start() {
  Shared& s = *shared_;
  if (!s.opened.load(std::memory_order_acquire)) return;
  {
    platform::MutexLock hold(&s.videoLock);
    s.videoQueue->Start();
  }
  {
    platform::MutexLock hold(&s.audioLock);
    s.audioQueue->Start();
  }
  s.started.store(1);
}

void CFrameScheduler::Stop() {
  Shared& s = *shared_;
  s.started.store(0);
  s.flushes.fetch_add(1);
  if (s.opened.load(std::memory_order_acquire)) {
    {
      platform::MutexLock hold(&s.videoLock);
      s.videoEvent.Reset();
      s.videoQueue->Stop();
    }
    {
      platform::MutexLock hold(&s.audioLock);
      s.audioEvent.Reset();
      s.audioQueue->Stop();
    }
  }
}

void CFrameScheduler::Flush() {
  Shared& s = *shared_;
  s.flushes.fetch_add(1);
  if (s.opened.load(std::memory_order_acquire)) {
    s.FlushVideo();
    platform::MutexLock hold(&s.audioLock);
    s.audioEvent.Reset();
    s.audioQueue->Flush();
  }
}

void CFrameScheduler::SetRate(float rate) {
  Shared& s = *shared_;
  const PlayMode mode = PlayModeOf(rate);
  if (s.opened.load(std::memory_order_acquire)) {
    int32_t direction;
    {
      platform::MutexLock hold(&s.generalLock);
      direction = s.direction;
    }
    // A step against the current direction must not show frames queued for the other one.
    if (mode.kind == PlayKind::kSingleStep && mode.direction != direction) s.FlushVideo();
    if (mode.audio) {
      platform::MutexLock hold(&s.audioLock);
      s.audioQueue->Start();
    } else {
      s.StopAudio();
    }
  }
  platform::MutexLock hold(&s.generalLock);
  s.rate = rate;
  s.mode = mode;
  ++s.rateSerial;
  // A pause keeps the direction.
  if (mode.direction != 0) s.direction = mode.direction;
}

void CFrameScheduler::CloseGroups(float rate) {
  Shared& s = *shared_;
  if (!s.opened.load(std::memory_order_acquire)) return;
  s.videoQueue->CloseGroup(rate);
  s.audioQueue->CloseGroup(1.0f);
  s.videoEvent.Set();
  s.audioEvent.Set();
}

bool CFrameScheduler::HasQueuedFrames() const {
  const Shared& s = *shared_;
  if (!s.opened.load(std::memory_order_acquire)) return false;
  return s.videoQueue->HasFrames() || s.audioQueue->HasFrames();
}

float CFrameScheduler::GetRate() const {
  platform::MutexLock hold(&shared_->generalLock);
  return shared_->rate;
}

void CFrameScheduler::SetChannelEnables(const int32_t* words, int32_t n) {
  if (words == nullptr || n <= 0) return;
  Shared& s = *shared_;
  platform::MutexLock hold(&s.generalLock);
  const size_t count = std::min(static_cast<size_t>(n), s.channelEnables.size());
  std::copy(words, words + count, s.channelEnables.begin());
}

void CFrameScheduler::SetAudioMask(uint32_t mask) {
  platform::MutexLock hold(&shared_->generalLock);
  shared_->audioMask = mask;
}

uint64_t CFrameScheduler::FlushCount() const { return shared_->flushes.load(); }

int32_t CFrameScheduler::EnqueueVideo(uint32_t channel, platform::CTime time, const uint8_t* data,
                                      int32_t dataLength, const uint8_t* second,
                                      int32_t secondLength, int32_t display, float rate,
                                      std::optional<uint64_t> flushCount) {
  // Our own reference to the state and the queue: the call may block until a Stop or the
  // scheduler's destruction, and wakes the pacing thread after the store.
  const std::shared_ptr<Shared> state = shared_;
  Shared& s = *state;
  if (!s.opened.load(std::memory_order_acquire) || s.started.load() == 0) return 0;
  if (dataLength <= 0 || dataLength > kMaxFrameDataLength) return 0;
  {
    platform::MutexLock hold(&s.generalLock);
    if (channel >= s.channelEnables.size()) return 0;
    if (display != 0 && display != kDisplayLead && !s.EnabledLocked(channel)) return 0;
  }
  return Shared::Store(s.videoQueue, s.videoEvent, channel, time, data, dataLength, second,
                       secondLength, display, rate, &s.flushes, flushCount);
}

int32_t CFrameScheduler::EnqueueAudio(uint32_t channel, platform::CTime time, const uint8_t* data,
                                      int32_t dataLength, const uint8_t* second,
                                      int32_t secondLength, float rate,
                                      std::optional<uint64_t> flushCount) {
  const std::shared_ptr<Shared> state = shared_;
  Shared& s = *state;
  if (!s.opened.load(std::memory_order_acquire) || s.started.load() == 0) return 0;
  if (rate != 1.0f) return 0;
  if (dataLength <= 0 || dataLength > kMaxFrameDataLength) return 0;
  {
    platform::MutexLock hold(&s.generalLock);
    if (!s.AudioOnLocked(channel)) return 0;
  }
  return Shared::Store(s.audioQueue, s.audioEvent, channel, time, data, dataLength, second,
                       secondLength, 1, 1.0f, &s.flushes, flushCount);
}

void CFrameScheduler::SetJoinTimeoutMs(uint32_t ms) { joinTimeoutMs_ = ms; }

uint32_t CFrameScheduler::LastPacingWaitUs() const {
  return shared_->lastWaitUs.load(std::memory_order_relaxed);
}

double CFrameScheduler::VideoDueTime() const {
  const Shared& s = *shared_;
  return s.opened.load(std::memory_order_acquire) ? s.videoQueue->DeliveryDueTime() : 0.0;
}

int32_t CFrameScheduler::VideoProducersWaiting() const {
  const Shared& s = *shared_;
  return s.opened.load(std::memory_order_acquire) ? s.videoQueue->WaitingProducers() : 0;
}

int32_t CFrameScheduler::VideoDispatch(uint32_t channel, FrameTime time, const uint8_t* data,
                                       int32_t dataLength, const uint8_t* second,
                                       int32_t secondLength, int32_t display, void* context) {
  Shared& s = *static_cast<Shared*>(context);
  if (s.video == nullptr) return 0;
  if (display != 0) {
    platform::MutexLock hold(&s.generalLock);
    // A displayed frame of a channel switched off after it was queued is dropped here.
    if (!s.EnabledLocked(channel)) return 0;
  }
  try {
    s.video(s.owner, channel, time, data, dataLength, second, secondLength, display, s.context);
  } catch (...) {
    // The host's callback must not end the pacing thread.
  }
  return 1;
}

int32_t CFrameScheduler::AudioDispatch(uint32_t channel, FrameTime time, const uint8_t* data,
                                       int32_t dataLength, const uint8_t* second,
                                       int32_t secondLength, int32_t /*display*/, void* context) {
  Shared& s = *static_cast<Shared*>(context);
  if (s.audio == nullptr) return 0;
  {
    platform::MutexLock hold(&s.generalLock);
    if (!s.AudioOnLocked(channel)) return 0;
  }
  try {
    s.audio(s.owner, channel, time, data, dataLength, second, secondLength, s.context);
  } catch (...) {
  }
  return 1;
}

void CFrameScheduler::PacingLoop(std::shared_ptr<Shared> state) {
  Shared& s = *state;
  platform::Thread::RaiseCurrentPriority();
  platform::Thread::PinCurrentToFirstProcessor();
  Lane video{s.videoLock, s.videoEvent, *s.videoQueue};
  Lane audio{s.audioLock, s.audioEvent, *s.audioQueue};
  const PlayMode audioMode = PlayModeOf(1.0f);
  uint64_t waitUs = kPollUs;
  int zeroWaits = 0;
  while (s.stop.load() == 0) {
    s.lastWaitUs.store(static_cast<uint32_t>(waitUs), std::memory_order_relaxed);
    // A set event ends the wait at once: frames are due, so deliver back to back. The
    // destructor sets both events, so a stop never waits out the time-out.
    platform::WaitAnyMicros(s.videoEvent, s.audioEvent, waitUs);
    if (s.stop.load() != 0) break;
    const double now = platform::PerfSeconds();
    PlayMode mode;
    uint64_t rateSerial;
    {
      platform::MutexLock hold(&s.generalLock);
      mode = s.mode;
      rateSerial = s.rateSerial;
    }
    double nextDue = kNever;
    const std::optional<DeliverResult> shown = video.Turn(s, now, mode, &nextDue);
    if (shown == DeliverResult::kShown && mode.kind == PlayKind::kSingleStep) {
      // One displayed frame was shown: the step is over, unless the host chose another rate
      // (or another step) while it was being delivered.
      platform::MutexLock general(&s.generalLock);
      if (s.rateSerial == rateSerial) {
        s.rate = 0.0f;
        s.mode = PlayModeOf(0.0f);
      }
    }
    const std::optional<DeliverResult> heard = audio.Turn(s, now, audioMode, &nextDue);
    if (!shown || !heard) {
      waitUs = kPollUs;
      continue;
    }
    const auto delivered = [](DeliverResult r) {
      return r == DeliverResult::kShown || r == DeliverResult::kOther;
    };
    waitUs = delivered(*shown) || delivered(*heard)
                 ? kPollUs
                 : WaitBeforeNextCycleUs(nextDue, platform::PerfSeconds());
    // A due time that does not move (a clock standing still) must not spin the processor.
    if (waitUs == 0) {
      if (++zeroWaits > 1) waitUs = kStandStillUs;
    } else {
      zeroWaits = 0;
    }
  }
}

}  // namespace scheduler
