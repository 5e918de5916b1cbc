// A file search over a data directory, driven through the library's exports: it names every
// index file of the directory, builds the catalogue, and answers the date table, the day
// table and playback. Used by `dates`, `timeline`, `play` and the demo.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "recorder.h"

namespace dvrtool {

inline constexpr int kDaySlots = 1500;  // 25 hour rows of 60 minutes
inline constexpr int kDayRows = 25;

struct DayTable {
  std::vector<uint32_t> any = std::vector<uint32_t>(kDaySlots);
  std::vector<uint32_t> reason1 = std::vector<uint32_t>(kDaySlots);
  std::vector<uint32_t> reason2 = std::vector<uint32_t>(kDaySlots);
  std::vector<uint32_t> reason4 = std::vector<uint32_t>(kDaySlots);
  std::vector<uint32_t> audio = std::vector<uint32_t>(kDaySlots);
  std::vector<uint32_t> dstHours = std::vector<uint32_t>(kDayRows);
  int32_t dayKind = 0;
  int32_t hourCount = 24;
};

struct DstRange {
  int startMonth = 0, startDay = 0, startHour = 0;
  int endMonth = 0, endDay = 0, endHour = 0;
};

// A video or audio frame as the file search handed it to the host.
struct PlayedFrame {
  bool audio = false;
  uint32_t channel = 0;
  uint32_t type = 0;
  bool key = false;
  bool decodeOnly = false;
  uint32_t tag = 0;
  time_t time = 0;  // the frame's local calendar fields, as seconds
  uint16_t millisecond = 0;
  std::chrono::steady_clock::time_point arrival;
  std::vector<uint8_t> payload;
};

struct PlayOptions {
  time_t from = 0;
  float rate = 1.0f;
  uint32_t channel = 0;
  double maxSeconds = 10;  // wall-clock limit
  // Called on the host's thread with every frame so far; true ends playback early.
  std::function<bool(const std::vector<PlayedFrame>&)> done;
  // Polled at least five times a second; true ends playback early.
  std::function<bool()> stopRequested;
  // When set, every frame goes here, on the library's thread, as it arrives, and Play()
  // keeps none: a stream of any length costs no memory here.
  std::function<void(PlayedFrame&&)> sink;
};

// An index file of the directory that the file search would skip, and why.
struct SkippedIndexFile {
  std::string path;
  std::string reason;
};

class CFileSearchSession {
 public:
  // Finds the index files of `dir` (RuntimeError when there are none, or none can be read:
  // then it names the first one's cause) and starts a file search on them: the catalogue is
  // built on return. Index files the catalogue could not read whole (not opened, a read
  // error, too short) are left out and listed in skipped() with the cause.
  explicit CFileSearchSession(const std::string& dir, const DstRange* dst = nullptr);
  ~CFileSearchSession();
  CFileSearchSession(const CFileSearchSession&) = delete;
  CFileSearchSession& operator=(const CFileSearchSession&) = delete;

  const std::vector<std::string>& indexFiles() const { return indexFiles_; }
  const std::vector<SkippedIndexFile>& skipped() const { return skipped_; }
  std::vector<time_t> Dates() const;
  DayTable Day(time_t anyInstantOfDay) const;
  // Plays channel `options.channel` from `options.from` and returns the frames delivered, in
  // delivery order, until `done` says so or the time limit passes.
  std::vector<PlayedFrame> Play(const PlayOptions& options);
  // Damaged records the search has stepped over since it started, as of its last progress
  // notification.
  uint32_t damagedSkipped() const { return damagedSkipped_.load(); }

 private:
  static void OnNotify(FILESEARCH_HANDLE search, uintptr_t context, int32_t code, uint32_t channel,
                       const FrameDescriptor* progress);
  static void OnFrame(uintptr_t context, uint32_t channel, const FrameDescriptor* descriptor,
                      int32_t reserved);

  FILESEARCH_HANDLE search_ = nullptr;
  std::atomic<uint32_t> damagedSkipped_{0};
  std::vector<std::string> indexFiles_;
  std::vector<SkippedIndexFile> skipped_;
  platform::Mutex mutex_;
  platform::CondVar arrived_;
  std::vector<PlayedFrame> frames_ GUARDED_BY(mutex_);
  uint32_t playChannel_ = 0;  // set before playback starts
  const std::function<void(PlayedFrame&&)>* sink_ GUARDED_BY(mutex_) = nullptr;
};

}  // namespace dvrtool
