#include "recorder/recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "recorder/path_list.h"
#include "storage/delete_manager.h"
#include "storage/event_callback_scope.h"

namespace {

// Calls the host's event callback with the thread marked as inside it. While the callback
// runs for a failure (event 2 with status -1, event 3), errno holds its cause.
void RaiseHostEvent(RECORDER_HANDLE handle, uintptr_t context, RecorderEventCallback callback,
                    int32_t code, int32_t status, const std::string& path, int error) {
  if (callback == nullptr) return;
  CEventCallbackScope inside(handle);
  const bool failure = code == RECORDER_EVENT_WRITE_FAILED || status < 0;
  if (failure) errno = error != 0 ? error : EIO;
  callback(handle, context, code, status, path.c_str(), static_cast<int32_t>(path.size()));
}

}  // namespace

CRecorder::CRecorder(RECORDER_HANDLE handle, const char* name, uintptr_t context,
                     RecorderEventCallback callback)
    : handle_(handle),
      intake_(switches_, throughput_),
      writer_(
          std::make_shared<Writer>([handle, context, callback](int32_t code, int32_t status,
                                                               const std::string& path, int error) {
            RaiseHostEvent(handle, context, callback, code, status, path, error);
          })),
      pathList_(std::make_shared<CPathList>(name != nullptr ? name : "")) {
  // The worker reads the list from its own thread; it holds the list jointly, so it never
  // reaches a freed list even if it outlives the recorder's bounded wait for it.
  deleteManager_ =
      std::make_unique<CDeleteManager>(handle, [paths = pathList_] { return paths->CopyPaths(); });
  deleteManager_->SetCallback(context, callback);
  // Frames are refused while the writer has no data file; the host's own frames bring the
  // next attempt to open one.
  intake_.SetStoreCheck([writer = writer_] { return writer->RetryOpenIfDue(); });
  SetPrePostTime(kDefaultPrePostSeconds, kDefaultPrePostSeconds);

  // The video writer first. Each thread co-owns what it waits on and the writer, never the
  // recorder itself.
  writerThreads_[0] = platform::Thread::Start(
      [writer = writer_, ring = intake_.videoRing(), slots = intake_.videoSlots()] {
        RunWriterThread(writer, ring, slots);
      });
  if (writerThreads_[0]) {
    writerThreads_[1] = platform::Thread::Start(
        [writer = writer_, ring = intake_.audioRing(), slots = intake_.audioSlots()] {
          RunWriterThread(writer, ring, slots);
        });
  }
  if (!writerThreads_[0] || !writerThreads_[1]) {
    // No destructor runs for a half-built object: end the thread that did start here.
    intake_.Close();
    if (writerThreads_[0]) writerThreads_[0]->Join(threadJoinMs_);
    throw std::runtime_error("recorder writer thread could not be started");
  }
}

CRecorder::~CRecorder() {
  // The same stop as STOP first: the writer threads take what the host handed in and is
  // still in the rings, the buffer is written out and the files are closed.
  Stop();
  {
    platform::MutexLock hold(&writer_->lock);
    // The writer closes everything and discards what a writer thread still hands it; every
    // waiter on the rings wakes and fails, which ends the writer threads.
    writer_->Detach();
    intake_.Close();
  }
  // Video writer, then audio writer. A writer that does not end in time is abandoned; it
  // only touches the ring, the slots and the writer, which it co-owns.
  for (auto& thread : writerThreads_) {
    if (thread) thread->Join(threadJoinMs_);
    thread.reset();
  }
  DeleteManagerStop();
  deleteManager_.reset();
}

const std::string& CRecorder::name() const { return pathList_->name(); }

int32_t CRecorder::Start() {
  std::vector<std::string> paths = pathList_->CopyPaths();
  platform::MutexLock hold(&writer_->lock);
  const bool recording = writer_->Start(std::move(paths));
  intake_.SetOpen(recording);
  return recording ? 1 : 0;
}

void CRecorder::Stop() {
  // Frames the host handed in before STOP are still in the rings; the writer threads take
  // them into the write buffer first, so the flush stores every accepted frame. Intake
  // closes first so the rings can drain, and again under the lock, after any START that
  // ran meanwhile.
  intake_.SetOpen(false);
  if (writer_->recording()) intake_.WaitForDrain(threadJoinMs_);
  platform::MutexLock hold(&writer_->lock);
  intake_.SetOpen(false);
  writer_->Stop();
}

template <typename Change>
void CRecorder::RestartAround(Change change) {
  // It runs even when the change changes nothing.
  const bool wasRecording = writer_->recording();
  if (wasRecording) Stop();
  change();
  if (wasRecording) Start();
}

void CRecorder::SetHeaderFilePath(const char* path, int32_t source) {
  RestartAround([&] {
    platform::MutexLock hold(&writer_->lock);
    writer_->SetHeaderFile(path, source);
  });
}

void CRecorder::AddFilePath(const char* path) {
  RestartAround([&] { pathList_->AddPath(path); });
}

void CRecorder::RemoveFilePath(const char* path) {
  RestartAround([&] { pathList_->RemovePath(path); });
}

void CRecorder::ClearFilePath() {
  RestartAround([&] { pathList_->ClearPaths(); });
}

int32_t CRecorder::GetFilePathCount() { return pathList_->GetPathCount(); }

int32_t CRecorder::GetFilePath(int32_t index, char* buffer, int32_t size) {
  return pathList_->GetPath(index, buffer, size);
}

int32_t CRecorder::GetCurrentRecFile(char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return 0;
  std::string name;
  if (!writer_->CurrentDataFile(&name) || name.size() >= static_cast<size_t>(size)) return 0;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return 1;
}

void CRecorder::SetPrePostTime(int32_t pre, int32_t post) {
  intake_.SetPrePostTime(std::clamp(pre, 0, kMaxPreRecordSeconds),
                         std::clamp(post, 0, kMaxPostRecordSeconds));
}

void CRecorder::DeleteManagerStart(int32_t days, int32_t hours) {
  if (deleteManager_) deleteManager_->Start(days, hours);
}

void CRecorder::DeleteManagerStop() {
  if (deleteManager_) deleteManager_->Stop();
}

int32_t CRecorder::WriteVideo(uint32_t channel, FrameDescriptor* frame) {
  return intake_.WriteVideo(channel, frame);
}

int32_t CRecorder::WriteAudio(uint32_t channel, FrameDescriptor* frame) {
  return intake_.WriteAudio(channel, frame);
}

int32_t CRecorder::WriteRecData(uint32_t channel, FrameDescriptor* frame) {
  return intake_.WriteRecData(channel, frame);
}

int32_t CRecorder::WriteStreamHeader(const void* data, uint32_t count) {
  platform::MutexLock hold(&writer_->lock);
  return writer_->WriteStreamHeader(data, count);
}

void CRecorder::SetThreadJoinMsForTest(uint32_t ms) {
  threadJoinMs_ = ms;
  writer_->SetThreadJoinMsForTest(ms);
}

void CRecorder::RunDeletionScanForTest() { deleteManager_->RunDeletionScan(); }
