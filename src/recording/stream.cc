// Stream header and raw stream data, for a host that formats its own records: the header
// replaces the current file's index summary and is written out at once; stream data goes
// straight into the current data file, past the rings and the write buffer. Both run on the
// host's thread under writeLock, so they never interleave with the writer threads, START or
// STOP.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/mutex.h"
#include "recorder/recorder_base.h"
#include "storage/formats.h"

int32_t CRecorderBase::WriteStreamHeader(int32_t /*unused1*/, const void* data, uint32_t count,
                                         int32_t /*unused2*/) {
  platform::MutexLock hold(&writeLock);
  if (recording.load() == 0) return 0;
  if (data == nullptr && count != 0) return 0;  // nothing to copy from: change nothing

  intakeEnabled.store(1);
  // The host supplies an IndexSummary laid out as on disk; a longer block is cut to it.
  const uint32_t copied = std::min(count, storage::kIndexSummarySize);
  if (copied != 0) {
    std::memcpy(reinterpret_cast<uint8_t*>(&currentIndexRecord.summary), data, copied);
  }
  // The writer threads index the 120 entries with lastEntry: keep whatever the host sent
  // inside them.
  currentIndexRecord.summary.lastEntry =
      std::clamp(currentIndexRecord.summary.lastEntry, int32_t{0}, storage::kLastEntryMax);
  return WriteIndexSummary(0);
}

int32_t CRecorderBase::WriteStreamData(int32_t /*unused1*/, const void* data, uint32_t count,
                                       int32_t fileId, int32_t /*unused2*/, int32_t /*unused3*/) {
  platform::MutexLock hold(&writeLock);
  // intakeEnabled is set at construction and by the stream header and nothing clears it, so
  // this returns here in every call; the steps below stay for a host that may one day get
  // a way to clear it.
  if (recording.load() == 0 || intakeEnabled.load() != 0) return 0;
  if (data == nullptr && count != 0) return 0;

  // A new file identifier from the host starts the next data file of the rotation set.
  if (fileId != streamFileId) {
    WriteIndexSummary(1);
    OpenNextFile();
    dataWriteOffset = 0;
    streamFileId = fileId;
  }
  if (!dataFile) return 0;

  // A partial write is not counted: the next write starts where this one did.
  const bool written = dataFile->WriteAt(dataWriteOffset, data, count).ok();
  dataFile->Flush();
  if (written) {
    dataWriteOffset += count;
    return 1;
  }

  std::string name;
  {
    platform::MutexLock nameHold(&currentDataFileLock);
    name = currentDataFileName;
  }
  RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, name);
  return 0;
}
