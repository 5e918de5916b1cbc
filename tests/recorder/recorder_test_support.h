// A recorder for the recorder tests whose "open next file" step only records that it ran.
#pragma once

#include "recorder/recorder.h"

namespace recorder_test {

// A CRecorder whose rotation step opens nothing: it succeeds when the rotation set is not
// empty (as the real step does), counts its calls and publishes the file after the newest
// one as the data file in use.
class ProbeRecorder : public CRecorder {
 public:
  int32_t OpenNextFile() override {
    ++openCalls;
    if (fileCount == 0) return 0;
    const int32_t next = (currentFile + 1) % fileCount;
    SetCurrentDataFile(fileNames[static_cast<size_t>(next)]);
    return 1;
  }
  int openCalls = 0;
};

}  // namespace recorder_test
