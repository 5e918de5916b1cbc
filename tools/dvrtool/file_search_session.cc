#include "file_search_session.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "catalog/file_catalog.h"
#include "errors.h"
#include "platform/status.h"
#include "recorder_library.h"

namespace dvrtool {

CFileSearchSession::CFileSearchSession(const std::string& dir, const DstRange* dst) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    std::error_code kind;  // a link to nothing is no index file, not a failure to list
    if (entry.is_regular_file(kind) && name.size() > 4 &&
        name.compare(name.size() - 4, 4, ".FIH") == 0) {
      indexFiles_.push_back(name);
    }
  }
  if (error) throw RuntimeError("cannot list " + dir + ": " + error.message());
  if (indexFiles_.empty()) throw RuntimeError(dir + ": no index files (*.FIH)");
  std::sort(indexFiles_.begin(), indexFiles_.end());
  // The library leaves out what it cannot read without a word (the header has no channel
  // for it); the catalogue's own check of each file says which and why.
  std::vector<std::string> readable;
  for (const std::string& name : indexFiles_) {
    const std::string path = dir + "/" + name;
    const platform::Status status = CFileCatalog::CheckIndexFile(path);
    if (status.ok()) {
      readable.push_back(name);
    } else {
      skipped_.push_back({path, status.Cause()});
    }
  }
  indexFiles_ = std::move(readable);
  if (indexFiles_.empty()) {
    // Nothing to search: the cause, on the one line an error gets.
    const SkippedIndexFile& first = skipped_.front();
    std::string message = first.path + ": " + first.reason;
    if (skipped_.size() > 1) {
      message += " (and " + std::to_string(skipped_.size() - 1) + " more unreadable index files)";
    }
    throw RuntimeError(message);
  }

  const CRecorderLibrary& lib = CRecorderLibrary::Get();
  search_ =
      lib._RECORDER_FILESEARCH_INIT(32, reinterpret_cast<uintptr_t>(this), &OnFrame, &OnNotify);
  if (search_ == nullptr) throw RuntimeError("the library did not create a file search");
  for (const std::string& name : indexFiles_) {
    lib._RECORDER_FILESEARCH_SETPATH(search_, dir.c_str(), name.c_str(), 1);
  }
  if (dst != nullptr) {
    lib._RECORDER_FILESEARCH_SetDSTRange(search_, 1, dst->startMonth, dst->startDay, dst->startHour,
                                         dst->endMonth, dst->endDay, dst->endHour);
  }
  if (lib._RECORDER_FILESEARCH_START(search_) != 1) {
    lib._RECORDER_FILESEARCH_END(search_);
    search_ = nullptr;
    throw RuntimeError("the file search did not start");
  }
}

CFileSearchSession::~CFileSearchSession() {
  if (search_ == nullptr) return;
  const CRecorderLibrary& lib = CRecorderLibrary::Get();
  lib._RECORDER_FILESEARCH_STOP(search_);
  lib._RECORDER_FILESEARCH_END(search_);
}

std::vector<time_t> CFileSearchSession::Dates() const {
  const CRecorderLibrary& lib = CRecorderLibrary::Get();
  int32_t count = 0;
  lib._RECORDER_FILESEARCH_GetDateTable(search_, nullptr, &count);
  std::vector<uint32_t> table(static_cast<size_t>(std::max(count, 0)));
  if (!table.empty()) lib._RECORDER_FILESEARCH_GetDateTable(search_, table.data(), &count);
  table.resize(std::min(table.size(), static_cast<size_t>(std::max(count, 0))));
  return std::vector<time_t>(table.begin(), table.end());
}

DayTable CFileSearchSession::Day(time_t anyInstantOfDay) const {
  DayTable day;
  CRecorderLibrary::Get()._RECORDER_FILESEARCH_GetDayTable(
      search_, static_cast<uint32_t>(anyInstantOfDay), day.any.data(), day.reason1.data(),
      day.reason2.data(), day.reason4.data(), day.audio.data(), day.dstHours.data(), &day.dayKind,
      &day.hourCount);
  return day;
}

void CFileSearchSession::OnFrame(uintptr_t context, uint32_t channel,
                                 const FrameDescriptor* descriptor, int32_t) {
  auto* self = reinterpret_cast<CFileSearchSession*>(context);
  if (descriptor == nullptr || channel != self->playChannel_) return;
  PlayedFrame frame;
  frame.arrival = std::chrono::steady_clock::now();
  frame.channel = channel;
  frame.audio = descriptor->kind == 1;
  frame.type = descriptor->type;
  std::tm fields{};
  fields.tm_year = descriptor->year - 1900;
  fields.tm_mon = descriptor->month - 1;
  fields.tm_mday = descriptor->day;
  fields.tm_hour = descriptor->hour;
  fields.tm_min = descriptor->minute;
  fields.tm_sec = descriptor->second;
  fields.tm_isdst = -1;
  frame.time = std::mktime(&fields);
  frame.millisecond = descriptor->millisecond;
  // The audio form ends at audioData: nothing after it may be read.
  const uint8_t* data = frame.audio ? descriptor->audioData : descriptor->videoData;
  if (data != nullptr && descriptor->dataEnd >= descriptor->dataStart) {
    frame.payload.assign(data + descriptor->dataStart, data + descriptor->dataEnd);
  }
  if (!frame.audio) {
    frame.key = descriptor->keyFlag != 0;
    frame.decodeOnly = descriptor->decodeOnly != 0;
    frame.tag = descriptor->tag;
  } else if (frame.payload.size() >= 4) {
    std::memcpy(&frame.tag, frame.payload.data(), sizeof(frame.tag));
  }
  const std::function<void(PlayedFrame &&)>* sink;
  {
    platform::MutexLock hold(&self->mutex_);
    sink = self->sink_;
    if (sink == nullptr) {
      self->frames_.push_back(std::move(frame));
      self->arrived_.Signal();
      return;
    }
  }
  (*sink)(std::move(frame));  // Play() waits for the search to stop before it lets go of it
}

void CFileSearchSession::OnNotify(FILESEARCH_HANDLE, uintptr_t context, int32_t code, uint32_t,
                                  const FrameDescriptor* progress) {
  // Progress (code 20) carries the count of damaged records stepped over so far.
  if (code != 20 || progress == nullptr) return;
  auto* self = reinterpret_cast<CFileSearchSession*>(context);
  const uint32_t skipped = progress->statSize;
  uint32_t seen = self->damagedSkipped_.load();
  while (skipped > seen && !self->damagedSkipped_.compare_exchange_weak(seen, skipped)) {
  }
}

std::vector<PlayedFrame> CFileSearchSession::Play(const PlayOptions& options) {
  const CRecorderLibrary& lib = CRecorderLibrary::Get();
  {
    platform::MutexLock hold(&mutex_);
    frames_.clear();
    playChannel_ = options.channel;
    sink_ = options.sink ? &options.sink : nullptr;
  }
  uint32_t display[32] = {};
  display[options.channel % 32] = 1;
  lib._RECORDER_FILESEARCH_SETDISPLAYCHANNELS(search_, display, 32);
  lib._RECORDER_FILESEARCH_SETCURRENTCHANNEL(search_, options.channel);
  lib._RECORDER_FILESEARCH_PLAYRATE(search_, options.rate);
  std::tm from{};
  localtime_r(&options.from, &from);
  lib._RECORDER_FILESEARCH_PLAYTIME(search_, from.tm_year + 1900, from.tm_mon + 1, from.tm_mday,
                                    from.tm_hour, from.tm_min, from.tm_sec);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int64_t>(options.maxSeconds * 1000));
  {
    platform::MutexLock hold(&mutex_);
    while (std::chrono::steady_clock::now() < deadline) {
      // Wake on every frame, and now and then without one, so `done` can judge idleness.
      arrived_.WaitUntil(&mutex_, std::min(deadline, std::chrono::steady_clock::now() +
                                                         std::chrono::milliseconds(200)));
      if (options.done && options.done(frames_)) break;
      if (options.stopRequested && options.stopRequested()) break;
    }
  }
  // The pacing thread calls back under its own lock, so the stop runs without ours.
  lib._RECORDER_FILESEARCH_STOP(search_);
  platform::MutexLock hold(&mutex_);
  sink_ = nullptr;
  return std::move(frames_);
}

}  // namespace dvrtool
