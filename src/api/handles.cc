// The objects behind handles, for callers outside the exports (tests, diagnostics). The
// exports themselves enter an object through its registry for the length of the call.
#include "api/globals.h"
#include "playback/file_search.h"
#include "recorder/recorder.h"

CRecorder* CRecorder::FromHandle(RECORDER_HANDLE handle) {
  return static_cast<CRecorder*>(g_recorderRegistry.Peek(reinterpret_cast<uintptr_t>(handle)));
}

CFileSearch* CFileSearch::FromHandle(FILESEARCH_HANDLE handle) {
  return static_cast<CFileSearch*>(g_fileSearchRegistry.Peek(reinterpret_cast<uintptr_t>(handle)));
}
