// The recorder's two writer threads and what they do under writeLock: gather records in the
// write buffer, keep the index summary of the current data file, write both out at every
// change of second, and rotate to the next file of the set at a change of day, at 199 MiB or
// after 119 minute entries.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "recorder/recorder_base.h"
#include "recording/buffer_writer.h"
#include "recording/writer_limits.h"
#include "storage/formats.h"
#include "storage/summary_builder.h"

namespace {

std::string CurrentDataFileNameOf(CRecorderBase& recorder) {
  platform::MutexLock hold(&recorder.currentDataFileLock);
  return recorder.currentDataFileName;
}

bool LastEntryInRange(int32_t lastEntry) {
  return lastEntry >= 0 && lastEntry <= storage::kLastEntryMax;
}

// Writes `length` bytes at `offset` and flushes. true when every byte was written.
bool WriteAndFlush(platform::File& file, uint64_t offset, const void* data, uint32_t length) {
  const bool written = file.WriteAt(offset, data, length).ok();
  file.Flush();
  return written;
}

// Where records are gathered: the recorder's buffer, or whichever of the two buffers of the
// CBufferWriter is not being written.
uint8_t* FillBuffer(CRecorderBase& recorder) REQUIRES(recorder.writeLock) {
  return recorder.bufferWriter ? recorder.bufferWriter->fillBuffer() : recorder.writeBuffer;
}

// Takes `length` bytes of records counted in entry `entry` back out of the summary: they
// never reached the data file, so readers must not be sent to them.
void UncountLostRecords(CRecorderBase& recorder, uint32_t length, int32_t entry)
    REQUIRES(recorder.writeLock) {
  storage::IndexSummary& summary = recorder.currentIndexRecord.summary;
  summary.dataBytes -= std::min(summary.dataBytes, length);
  if (LastEntryInRange(entry)) {
    uint32_t& bytes = summary.entries[entry].bytes;
    bytes -= std::min(bytes, length);
  }
}

// When the file cannot take records yet: the buffer stays as it is, unless the next record
// would overflow it; then the buffered records are lost, and the summary stops counting them.
int32_t GiveUp(CRecorderBase& recorder, bool willOverflow) REQUIRES(recorder.writeLock) {
  if (willOverflow) {
    UncountLostRecords(recorder, recorder.writeFill, recorder.bufferedEntry);
    recorder.writeFill = 0;
  }
  return 0;
}

// Hands a record to the recorder. The caller holds shared->writeLock, which is the
// recorder's writeLock under another name (the analysis cannot see that).
void WriteFrameHeld(CRecorderBase& recorder, const uint8_t* record,
                    uint32_t size) NO_THREAD_SAFETY_ANALYSIS {
  recorder.WriteFrame(record, size);
}

// Slots a writer thread gives back together (the host has eight per ring), and the most
// records it writes under one hold of writeLock.
constexpr int32_t kSlotsReturnedTogether = 4;
constexpr int32_t kRecordsPerHold = 64;
// While records stream in (the last batch was found without sleeping, or the writer woke to
// a ring filled to the point where commits wake it), an empty ring is looked at again up to
// kLooksBeforeSleep times before the writer sleeps. A recorder taking frames at a camera's
// pace (32 x 25 fps is one every 1.25 ms) finds nothing by looking and from then on sleeps
// straight away.
constexpr int32_t kLooksBeforeSleep = 50;

}  // namespace

void RunWriterThread(std::shared_ptr<WriterThreadShared> shared, std::shared_ptr<CFrameRing> ring,
                     std::shared_ptr<platform::Semaphore> slots) {
  bool streaming = true;
  for (;;) {
    uint32_t size = 0;
    uint32_t flag = 0;
    uint8_t* record = ring->Get(&size, &flag, /*wait=*/false);
    if (record == nullptr && streaming) {
      // Records are streaming in: look again a few times before going to sleep. A sleeping
      // writer has to be woken by the host, and a host whose eight slots are all queued has
      // to be woken by the writer; with small frames those wake-ups cost more than the
      // frames. Bounded by a count, not a clock, and yielding the processor between looks.
      for (int32_t look = 0; look < kLooksBeforeSleep && record == nullptr; ++look) {
        platform::SleepMs(0);
        record = ring->Get(&size, &flag, /*wait=*/false);
      }
    }
    const bool foundAwake = record != nullptr;
    if (record == nullptr) record = ring->Get(&size, &flag, /*wait=*/true);
    if (CFrameRing::IsClosedResult(record)) break;
    if (record == nullptr) {
      // Only possible while a record is still handed out, which this thread never leaves.
      platform::SleepMs(1);
      continue;
    }
    // The record and whatever else the ring already holds go in under one hold of
    // writeLock. Slots go back a few at a time, so a host blocked on its eight slots is
    // woken once per batch instead of once per frame. No slot is kept once the ring is empty.
    int32_t taken = 0;
    int32_t unreturned = 0;
    {
      platform::MutexLock hold(&shared->writeLock);
      for (;;) {
        if (shared->recorder != nullptr) WriteFrameHeld(*shared->recorder, record, size);
        // Bounded, so START, STOP and the other writer thread get their turn.
        const bool last = ++taken == kRecordsPerHold;
        if (last) {
          ring->Release(/*advance=*/true);
        } else {
          record = ring->ReleaseAndGet(&size, &flag);
        }
        if (++unreturned == kSlotsReturnedTogether) {
          slots->Release(unreturned);
          unreturned = 0;
        }
        if (last || record == nullptr || CFrameRing::IsClosedResult(record)) break;
      }
    }
    if (unreturned > 0) slots->Release(unreturned);
    streaming = foundAwake || taken >= static_cast<int32_t>(CFrameRing::kWakeRecords);
  }
}

void CRecorderBase::WriteFrame(const uint8_t* record, uint32_t size) {
  if (recording.load() == 0) return;
  if (record == nullptr || size < storage::kRecordOverhead || size > kWriteBufferSize) return;
  storage::FrameHeader header;
  if (!storage::ParseRecordHead(record, &header)) return;
  if (uint64_t{header.bodySize} + storage::kRecordOverhead != size) return;
  if (header.channel >= kChannelCount) return;
  const bool audioFamily = storage::IsStoredAudioType(header.type);
  if (!audioFamily && !storage::IsStoredVideoType(header.type)) return;

  const bool willOverflow = uint64_t{writeFill} + size >= kWriteBufferSize;
  if (CheckTimeAndRotate(platform::CTime(header.time), willOverflow) != 0) return;
  // Without a data file the record could never be written: it is not counted either, so
  // the summary describes only bytes that reached a file.
  if (!dataFile) return;
  if (uint64_t{writeFill} + size > kWriteBufferSize) return;
  storage::IndexSummary& summary = currentIndexRecord.summary;
  if (!LastEntryInRange(summary.lastEntry)) return;

  std::memcpy(FillBuffer(*this) + writeFill, record, size);
  writeFill += size;
  bufferedEntry = summary.lastEntry;
  storage::SummaryBuilder(&summary).Count(header, size);
}

int32_t CRecorderBase::CheckTimeAndRotate(platform::CTime time, bool willOverflow) {
  storage::IndexSummary& summary = currentIndexRecord.summary;

  if (needHeader != 0) {
    FinishBufferWrite(*this);
    // The summary starts at the first record after START. When the write test below fails,
    // that record is still buffered and counted, and the next record tries again: what was
    // counted meanwhile stays counted.
    if (summary.dataBytes == 0 && writeFill == 0) {
      storage::SummaryBuilder(&summary).Begin(time.seconds());
      lastFrameTime = time;
    }
    if (!dataFile) return GiveUp(*this, willOverflow);
    // A write test at offset 0: the start marker of the first record, which the first buffer
    // write puts there again.
    const uint32_t probe = storage::kRecordStartMarker;
    if (!dataFile->WriteAt(0, &probe, sizeof(probe)).ok()) {
      RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, CurrentDataFileNameOf(*this));
      return GiveUp(*this, willOverflow);
    }
    // The buffered records go where the file's records end.
    dataWriteOffset = summary.dataBytes - std::min(summary.dataBytes, writeFill);
    // Without an index file the data file still records; a header that cannot be written
    // is reported once.
    if (indexFile) {
      const storage::FileHeader fileHeader = storage::MakeFileHeader();
      if (!WriteAndFlush(*indexFile, 0, &fileHeader, sizeof(fileHeader))) {
        RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, currentIndexFileName);
      }
    }
    needHeader = 0;
  }

  // Minute entries and the file's day only move forward: a record of an earlier minute (or
  // day) than the current entry, which the other ring delivered late, is counted in the
  // current entry and stored in the current file.
  const storage::RecordPlace place = storage::SummaryBuilder(&summary).PlaceOf(time.seconds());
  const bool dayLater = place == storage::RecordPlace::kNewDay;

  int32_t result = 0;
  bool rotated = false;
  if (dayLater || summary.dataBytes > kRotateDataBytes || !LastEntryInRange(summary.lastEntry) ||
      summary.lastEntry >= storage::kLastEntryMax) {
    // The record that calls for the change of file is the first record of the new file.
    FlushWriteBuffer(1);
    storage::SummaryBuilder(&summary).Begin(time.seconds());
    OpenNextFile();
    // After a refused wrap this is the current file again, rewritten from its start.
    dataWriteOffset = 0;
    rotated = true;
  } else if (place == storage::RecordPlace::kNewEntry) {
    // The buffered records go out before the summary that counts them (FlushWriteBuffer
    // writes the summary after the data), so a crash never leaves dataBytes beyond the data.
    FlushWriteBuffer(0);
    storage::SummaryBuilder(&summary).NextEntry(time.seconds());
  }

  if (time == lastFrameTime && !willOverflow) return result;
  if (!rotated) {
    // A full buffer within a second is written behind the writer's back (it goes on
    // gathering the next one); the write at a change of second or minute is the writer's
    // own, so the files follow frame time second by second.
    if (willOverflow && time == lastFrameTime) {
      StartBufferWrite(*this);
    } else {
      FlushWriteBuffer(0);
    }
  }
  lastFrameTime = time;
  return result;
}

int32_t CRecorderBase::FlushWriteBuffer(int32_t reset) {
  FinishBufferWrite(*this);
  if (!dataFile) {
    writeFill = 0;
    // The next file must not inherit a summary of records it never received.
    if (reset != 0) ResetCurrentIndexRecord();
    return 0;
  }
  const bool written = WriteAndFlush(*dataFile, dataWriteOffset, FillBuffer(*this), writeFill);
  if (written) {
    dataWriteOffset += writeFill;
    WriteIndexSummary(reset);
    writeFill = 0;
    return 1;
  }

  // The buffered records are lost: the next write starts where this one did, and the
  // summary no longer counts them, so readers are never sent to bytes that are not there.
  UncountLostRecords(*this, writeFill, bufferedEntry);
  writeFill = 0;
  if (reset != 0) ResetCurrentIndexRecord();
  RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, CurrentDataFileNameOf(*this));
  return 0;
}

int32_t CRecorderBase::WriteIndexSummary(int32_t reset) {
  FinishBufferWrite(*this);
  const storage::IndexSummary& summary = currentIndexRecord.summary;
  int32_t result = 0;
  if (headerFile && openFileRecord >= 0) {
    const bool written = CBufferWriter::WriteSummaryAt(
        *headerFile, storage::HeaderFileSummaryOffset(openFileRecord), summary);
    if (!written) RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, currentIndexFileName);
    result = written ? 1 : 0;
  }
  if (indexFile) {
    const bool written =
        CBufferWriter::WriteSummaryAt(*indexFile, storage::kIndexSummaryOffset, summary);
    if (!written) RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, currentIndexFileName);
    result = written ? 1 : 0;
  }
  if (reset != 0) ResetCurrentIndexRecord();
  return result;
}

namespace {

void SettleBufferWrites(CRecorderBase& recorder, const CBufferWriter::Outcome& outcome)
    REQUIRES(recorder.writeLock) {
  for (int32_t i = 0; i < outcome.summaryFailures; ++i) {
    recorder.RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, recorder.currentIndexFileName);
  }
  if (outcome.dataFailed) {
    // The records gathered since are written where the lost ones would have gone.
    recorder.dataWriteOffset = outcome.lostOffset;
    UncountLostRecords(recorder, outcome.lostLength, outcome.lostEntry);
    recorder.RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, CurrentDataFileNameOf(recorder));
  }
}

}  // namespace

void FinishBufferWrite(CRecorderBase& recorder) {
  if (recorder.bufferWriter) SettleBufferWrites(recorder, recorder.bufferWriter->WaitForAll());
}

void StartBufferWrite(CRecorderBase& recorder) {
  if (!recorder.bufferWriter && recorder.dataFile) {
    recorder.bufferWriter =
        CBufferWriter::Start(recorder.writeBuffer, CRecorderBase::kWriteBufferSize);
  }
  CBufferWriter* writer = recorder.bufferWriter.get();
  if (writer == nullptr || !recorder.dataFile || recorder.writeFill == 0) {
    recorder.FlushWriteBuffer(0);
    return;
  }
  // The buffer before this one must be on disk: its position in the file and its fate
  // (a failure takes it out of the summary) decide this one's.
  SettleBufferWrites(recorder, writer->WaitForData());
  CBufferWriter::Job job;
  job.data = recorder.dataFile.get();
  job.offset = recorder.dataWriteOffset;
  job.length = recorder.writeFill;
  if (recorder.headerFile && recorder.openFileRecord >= 0) {
    job.header = recorder.headerFile.get();
    job.headerOffset = storage::HeaderFileSummaryOffset(recorder.openFileRecord);
  }
  job.index = recorder.indexFile.get();
  job.summary = recorder.currentIndexRecord.summary;
  writer->Submit(job, recorder.bufferedEntry);
  recorder.dataWriteOffset += recorder.writeFill;
  recorder.writeFill = 0;
}
