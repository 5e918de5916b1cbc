// CRecorder: the object behind a recorder handle. It composes the recorder's parts and runs
// its lifecycle (construction, START, STOP and bounded destruction):
//  - the channel switches the host sets, and throughput statistics per channel;
//  - intake, which turns the host's frames into records in the two frame rings;
//  - the writer, which holds the write lock and everything written into the files, fed by
//    two writer threads (one per ring);
//  - the path list and the deletion worker.
// It raises the host's events for its parts, marking the thread as inside the callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/thread.h"
#include "recording/channel_switches.h"
#include "recording/intake.h"
#include "recording/throughput.h"
#include "recording/writer.h"
// The public header; <> so this folder's recorder/recorder.h is not picked instead.
#include <recorder.h>

class CDeleteManager;
class CPathList;

class CRecorder {
 public:
  static constexpr uint32_t kThreadJoinMs = 5000;
  // Seconds a trigger channel records before and after its triggers: a new recorder's, and
  // the most SETPREPOSTTIME sets (more is taken as the most, less than 0 as 0).
  static constexpr int32_t kDefaultPrePostSeconds = 5;
  static constexpr int32_t kMaxPreRecordSeconds = 30;
  static constexpr int32_t kMaxPostRecordSeconds = 300;

  // Starts the writer threads; throws when the rings or the threads cannot be had.
  CRecorder(RECORDER_HANDLE handle, const char* name, uintptr_t context,
            RecorderEventCallback callback);
  // Stops recording, closes the rings, ends the writer threads (bounded) and releases
  // everything the recorder owns.
  ~CRecorder();
  CRecorder(const CRecorder&) = delete;
  CRecorder& operator=(const CRecorder&) = delete;

  // The recorder behind a live handle, or null (api/handles.cc). It does not keep the recorder
  // alive: for tests and for callers that hold the handle's registry entry otherwise.
  static CRecorder* FromHandle(RECORDER_HANDLE handle);
  RECORDER_HANDLE handle() const { return handle_; }
  const std::string& name() const;

  // 1 when the recorder is recording afterwards.
  int32_t Start();
  // Waits (bounded) for the writer threads to take every record already in the rings, then
  // writes out the buffer and closes the files.
  void Stop();

  // Settings and queries. The four path settings restart a running recording around the
  // change, so the rotation set is rebuilt from it.
  void SetHeaderFilePath(const char* path, int32_t source);
  void AddFilePath(const char* path);
  void RemoveFilePath(const char* path);
  void ClearFilePath();
  int32_t GetFilePathCount();
  int32_t GetFilePath(int32_t index, char* buffer, int32_t size);
  int32_t GetCurrentRecFile(char* buffer, int32_t size);
  void SetOverwriteMode(int32_t mode) { writer_->SetOverwriteMode(mode); }
  int32_t GetOverwriteMode() const { return writer_->overwriteMode(); }
  int32_t GetOverwriteCount() const { return writer_->overwriteCount(); }
  ChannelSwitches& switches() { return switches_; }
  Throughput& throughput() { return throughput_; }
  // Clamped to 0..kMaxPreRecordSeconds and 0..kMaxPostRecordSeconds; read at the next frame.
  void SetPrePostTime(int32_t pre, int32_t post);
  void DeleteManagerStart(int32_t days, int32_t hours);
  void DeleteManagerStop();

  // Frames (1 taken in, 0 refused) and the stream header.
  int32_t WriteVideo(uint32_t channel, FrameDescriptor* frame);
  int32_t WriteAudio(uint32_t channel, FrameDescriptor* frame);
  int32_t WriteRecData(uint32_t channel, FrameDescriptor* frame);
  int32_t WriteStreamHeader(const void* data, uint32_t count);

  // true when both rings emptied within timeoutMs.
  bool WaitForRingsToDrain(uint32_t timeoutMs) { return intake_.WaitForDrain(timeoutMs); }
  // For tests: shorten the bounded joins of destruction; run one deletion scan now.
  void SetThreadJoinMsForTest(uint32_t ms);
  void RunDeletionScanForTest();

 private:
  // Stop, change, start; a recorder that was not recording is not started.
  template <typename Change>
  void RestartAround(Change change);

  const RECORDER_HANDLE handle_;
  ChannelSwitches switches_;
  Throughput throughput_;
  Intake intake_;
  // Shared with the writer threads, which may outlive a bounded join.
  std::shared_ptr<Writer> writer_;
  // [0] empties the video ring, [1] the audio ring.
  std::unique_ptr<platform::Thread> writerThreads_[2];
  // Shared with the deletion worker's path source, which may outlive a bounded join.
  std::shared_ptr<CPathList> pathList_;
  std::unique_ptr<CDeleteManager> deleteManager_;
  std::atomic<uint32_t> threadJoinMs_{kThreadJoinMs};
};
