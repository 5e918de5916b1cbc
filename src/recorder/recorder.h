// CRecorder: the recorder that _RECORDER_INIT creates. It supplies the file-handling steps
// that CRecorderBase leaves empty (the scan of existing files in file_scan.cc, the opening of
// the next file pair in the writer side) and owns the closer thread that pads and closes the
// previous file pair and opens the next one in advance.
#pragma once

#include <memory>

#include "platform/thread.h"
#include "recorder/recorder_base.h"

class CFileCloser;

class CRecorder : public CRecorderBase {
 public:
  CRecorder();
  // Stops recording and ends the closer thread (bounded) before the base part tears down.
  ~CRecorder() override;

  int32_t OpenNextFile() override REQUIRES(writeLock);    // recording/file_rotation.cc
  int32_t LoadFileList() override REQUIRES(writeLock);    // recorder/file_scan.cc
  int32_t FindNewestFile() override REQUIRES(writeLock);  // recorder/file_scan.cc

  // The thread that finishes the previous file pair and prepares the next one; null when
  // none runs. writeLock.
  std::unique_ptr<platform::Thread> closerThread;
  // What that thread works on, shared with it (recording/file_closer.h). writeLock.
  std::shared_ptr<CFileCloser> fileCloser;
  // How long a rotation waits for the previous closer thread.
  static constexpr uint32_t kCloserRotationJoinMs = 30000;

  // Asks the closer thread to stop preparing and waits (threadJoinMs) for it to end.
  void EndCloserThread() override REQUIRES(writeLock);

 private:
  // Signals the closer thread, waits up to joinMs for it and forgets it.
  void StopCloser(uint32_t joinMs) REQUIRES(writeLock);
  // Hands the previous pair to a new closer thread that prepares the file after the current.
  void StartCloser() REQUIRES(writeLock);
  int32_t LoadFileListFromPaths() REQUIRES(writeLock);
  int32_t LoadFileListFromHeaderFile() REQUIRES(writeLock);
  int32_t FindNewestFromPaths() REQUIRES(writeLock);
  int32_t FindNewestFromHeaderFile() REQUIRES(writeLock);
};
