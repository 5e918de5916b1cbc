#include "recorder/recorder.h"

#include "recording/file_closer.h"

CRecorder::CRecorder() = default;

CRecorder::~CRecorder() {
  // The same stop as STOP first: the writer threads take what the host handed in and is still
  // in the rings, the buffer is written out and the files are closed. Then the closer thread
  // is signalled and joined; recording is off by then, so no writer rotates (and starts
  // another closer) in between.
  Stop();
  platform::MutexLock hold(&writeLock);
  StopLocked();
  EndCloserThread();
}
