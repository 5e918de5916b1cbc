#include "recording/writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "recording/channel_switches.h"
#include "recording/file_closer.h"
#include "storage/recent_recordings.h"
#include "storage/summary_builder.h"

namespace {

bool LastEntryInRange(int32_t lastEntry) {
  return lastEntry >= 0 && lastEntry <= storage::kLastEntryMax;
}

// Writes `length` bytes at `offset` and flushes.
platform::Status WriteAndFlush(platform::File& file, uint64_t offset, const void* data,
                               uint32_t length) {
  platform::Status status = file.WriteAt(offset, data, length);
  if (status.ok()) status = file.Flush();
  return status;
}

}  // namespace

RecordStep ClassifyRecord(const storage::IndexSummary& summary, platform::CTime time,
                          platform::CTime lastTime, bool willOverflow, uint32_t size) {
  // Minute entries and the file's day only move forward: a record of an earlier minute (or
  // day) than the current entry, which the other ring delivered late, is counted in the
  // current entry and stored in the current file.
  const storage::RecordPlace place = storage::PlaceOf(summary, time.seconds());
  RecordStep step{RecordPlace::kSameEntry, RecordWrite::kFlush};
  const bool outgrows =
      summary.dataBytes != 0 && uint64_t{summary.dataBytes} + size > storage::kDataFileSize;
  // A clock set back by more than a minute starts a new file as a new day does, so the file
  // that holds the new footage is listed, searched and checked at the footage's own times.
  const bool steppedBack =
      summary.dataBytes > 0 &&
      int64_t{time.seconds()} < int64_t{summary.endTime} - kClockStepBackSeconds;
  if (place == storage::RecordPlace::kNewDay || steppedBack ||
      summary.dataBytes > kRotateDataBytes || outgrows || !LastEntryInRange(summary.lastEntry) ||
      summary.lastEntry >= storage::kLastEntryMax) {
    step.place = RecordPlace::kNewFile;
  } else if (place == storage::RecordPlace::kNewEntry) {
    step.place = RecordPlace::kNewEntry;
  }
  // A full buffer within a second is written behind the writer's back (it goes on gathering
  // the next one); the write at a change of second is the writer's own, so the files follow
  // frame time second by second. A record of an earlier second (pre-recorded frames, written
  // once their trigger came, or a record the other ring delivered late) changes no second.
  if (time <= lastTime) step.write = willOverflow ? RecordWrite::kBackground : RecordWrite::kNone;
  return step;
}

// No lock: nothing else can reach the writer yet, and a recorder is made under the lock of
// the recorder list, which a thread holding a write lock may take inside an event callback.
Writer::Writer(WriterEventSink events) : events_(std::move(events)) {}

Writer::~Writer() {
  platform::MutexLock hold(&lock);
  Detach();
}

void Writer::RaiseEvent(int32_t code, int32_t status, const std::string& path, int error) {
  if (events_) events_(code, status, path, error);
}

void Writer::ReportWriteFailure(const platform::Status& status, const std::string& path) {
  RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, path, status.error());
}

bool Writer::CurrentDataFile(std::string* name) {
  platform::MutexLock hold(&nameLock_);
  if (dataFileOpen_) *name = dataFileName_;
  return dataFileOpen_;
}

std::string Writer::CurrentDataFileName() {
  platform::MutexLock hold(&nameLock_);
  return dataFileName_;
}

void Writer::PublishDataFile(const std::string& name) {
  platform::MutexLock hold(&nameLock_);
  dataFileName_ = name;
  dataFileOpen_ = true;
  storing_ = recording_.load() != 0;
}

void Writer::ClearDataFile() {
  platform::MutexLock hold(&nameLock_);
  dataFileOpen_ = false;
  storing_ = false;
}

bool Writer::RetryOpenIfDue() {
  if (storing_.load()) return true;
  if (recording_.load() == 0 || !lock.TryLock()) return false;
  RetryOpenWhenDue(platform::CTime::Now());
  const bool open = storing_.load();
  lock.Unlock();
  return open;
}

void Writer::RetryOpenWhenDue(platform::CTime now) {
  if (recording_.load() == 0 || dataFile_ || now == failedOpenAt_) return;
  // The records held meanwhile go to the start of the file now opened, counted as they are.
  if (!OpenNextFile() && !dataFile_) failedOpenAt_ = now;
}

void Writer::DropHeldRecords() {
  if (writeFill_ == 0) return;
  UncountLostRecords(writeFill_, bufferedEntry_);
  writeFill_ = 0;
  RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1,
             openFailure_.ok() ? CurrentDataFileName() : std::string(openFailure_.path()),
             openFailure_.error());
}

bool Writer::Start(std::vector<std::string> paths) {
  if (recording_ != 0) return true;
  CloseRecordingFiles();
  ResetSummary();
  if (PrepareFileSet(std::move(paths)) && OpenNextFile()) {
    recording_ = 1;
    storing_ = dataFile_ != nullptr;
  } else {
    // A failed start closes what it opened (the header file, say) without writing a summary
    // into it.
    EndCloserThread();
    CloseFileHandles();
  }
  writeFill_ = 0;
  return recording_ != 0;
}

void Writer::Stop() {
  if (recording_ == 0) return;
  recording_ = 0;
  storing_ = false;
  CloseRecordingFiles();
}

void Writer::Detach() {
  Stop();
  EndCloserThread();
  CloseFileHandles();
  set_.Clear();
  events_ = nullptr;
}

void Writer::SetHeaderFile(const std::string& path, int32_t source) {
  headerFilePath_ = path;
  fileSetSource_ = source;
}

int32_t Writer::WriteStreamHeader(const void* data, uint32_t count) {
  if (recording_ == 0) return 0;
  if (data == nullptr && count != 0) return 0;  // nothing to copy from: change nothing
  const uint32_t copied = std::min(count, storage::kIndexSummarySize);
  if (copied != 0) std::memcpy(reinterpret_cast<uint8_t*>(&summary_), data, copied);
  // Records are counted in the 120 entries through lastEntry: keep whatever the host sent
  // inside them.
  summary_.lastEntry = std::clamp(summary_.lastEntry, int32_t{0}, storage::kLastEntryMax);
  return WriteIndexSummary(false) ? 1 : 0;
}

void Writer::WriteFrame(const uint8_t* record, uint32_t size) {
  if (recording_.load() == 0) return;
  if (record == nullptr || size < storage::kRecordOverhead || size > kWriteBufferSize) return;
  storage::FrameHeader header;
  if (!storage::ParseRecordHead(record, &header)) return;
  if (uint64_t{header.bodySize} + storage::kRecordOverhead != size) return;
  if (!ChannelInRange(header.channel)) return;
  if (!storage::IsStoredAudioType(header.type) && !storage::IsStoredVideoType(header.type)) {
    return;
  }

  const bool willOverflow = uint64_t{writeFill_} + size >= kWriteBufferSize;
  if (CheckTimeAndRotate(platform::CTime(header.time), willOverflow, size) != 0) return;
  // Without a data file (a change of file that failed) the record was taken in all the same:
  // it waits in the buffer, counted, for the file the next attempt opens, as long as there is
  // room.
  if (uint64_t{writeFill_} + size > kWriteBufferSize) DropHeldRecords();
  if (!LastEntryInRange(summary_.lastEntry)) return;

  std::memcpy(FillBuffer() + writeFill_, record, size);
  writeFill_ += size;
  bufferedEntry_ = summary_.lastEntry;
  storage::SummaryBuilder(&summary_).Count(header, size);
}

bool Writer::BeginRecording(platform::CTime time, bool willOverflow) {
  FinishBufferWrite();
  // The summary starts at the first record after START. When the write test below fails,
  // that record is still buffered and counted, and the next record tries again: what was
  // counted meanwhile stays counted.
  if (summary_.dataBytes == 0 && writeFill_ == 0) {
    storage::SummaryBuilder(&summary_).Begin(time.seconds());
    lastFrameTime_ = time;
  }
  if (!dataFile_) {
    GiveUp(willOverflow);
    return false;
  }
  // A write test at offset 0: the start marker of the first record, which the first buffer
  // write puts there again.
  const uint32_t probe = storage::kRecordStartMarker;
  const platform::Status probed = dataFile_->WriteAt(0, &probe, sizeof(probe));
  if (!probed.ok()) {
    ReportWriteFailure(probed, CurrentDataFileName());
    GiveUp(willOverflow);
    return false;
  }
  // The buffered records go where the file's records end.
  dataWriteOffset_ = summary_.dataBytes - std::min(summary_.dataBytes, writeFill_);
  // Without an index file the data file still records; a header that cannot be written is
  // reported once.
  if (indexFile_) {
    const storage::FileHeader fileHeader = storage::MakeFileHeader(1, sequence_);
    const platform::Status written = WriteAndFlush(*indexFile_, 0, &fileHeader, sizeof(fileHeader));
    if (!written.ok()) ReportWriteFailure(written, indexFileName_);
  }
  needHeader_ = false;
  return true;
}

int32_t Writer::CheckTimeAndRotate(platform::CTime time, bool willOverflow, uint32_t size) {
  // A record of a later second than the failed attempt tries again (one of an earlier second,
  // which the other ring delivered late, does not).
  if (!dataFile_ && !needHeader_ && failedOpenAt_ < time) RetryOpenWhenDue(time);
  if (needHeader_ && !BeginRecording(time, willOverflow)) return 0;
  const RecordStep step = ClassifyRecord(summary_, time, lastFrameTime_, willOverflow, size);
  switch (step.place) {
    case RecordPlace::kNewFile:
      // The record that calls for the change of file is the first record of the new file.
      FlushWriteBuffer(true);
      storage::SummaryBuilder(&summary_).Begin(time.seconds());
      if (!OpenNextFile() && !dataFile_) failedOpenAt_ = time;
      // After a refused wrap this is the current file again, rewritten from its start.
      dataWriteOffset_ = 0;
      break;
    case RecordPlace::kNewEntry:
      // The buffered records go out before the summary that counts them (the summary is
      // written after the data), so a crash never leaves dataBytes beyond the data. The new
      // entry reaches the disk only with its first record, at the next write: written now,
      // a crash before that record would leave an entry that no record fills.
      FlushWriteBuffer(false);
      // Records still held for want of a file cannot be counted in an entry they are not in.
      if (!dataFile_) DropHeldRecords();
      storage::SummaryBuilder(&summary_).NextEntry(time.seconds());
      lastFrameTime_ = time;
      return 0;
    case RecordPlace::kSameEntry:
      break;
  }
  if (step.place != RecordPlace::kNewFile) {
    if (step.write == RecordWrite::kBackground) StartBufferWrite();
    if (step.write == RecordWrite::kFlush) FlushWriteBuffer(false);
  }
  // The latest second written: an earlier record does not take it back.
  if (step.place == RecordPlace::kNewFile || time > lastFrameTime_) lastFrameTime_ = time;
  return 0;
}

bool Writer::FlushWriteBuffer(bool reset) {
  FinishBufferWrite();
  if (!dataFile_) {
    // The records wait for the next file, unless the summary they are counted in ends here.
    if (reset) {
      DropHeldRecords();
      ResetSummary();
    }
    return false;
  }
  const platform::Status written =
      WriteAndFlush(*dataFile_, dataWriteOffset_, FillBuffer(), writeFill_);
  if (written.ok()) {
    if (writeFill_ != 0) storage::NoteRecordedInto(dataFile_->id());
    dataWriteOffset_ += writeFill_;
    WriteIndexSummary(reset);
    writeFill_ = 0;
    return true;
  }
  // The buffered records are lost: the next write starts where this one did, and the
  // summary no longer counts them, so readers are never sent to bytes that are not there.
  UncountLostRecords(writeFill_, bufferedEntry_);
  writeFill_ = 0;
  if (reset) ResetSummary();
  ReportWriteFailure(written, CurrentDataFileName());
  return false;
}

bool Writer::WriteIndexSummary(bool reset) {
  FinishBufferWrite();
  bool result = false;
  if (headerFile_ && openFileRecord_ >= 0) {
    const platform::Status written = CBufferWriter::WriteSummaryAt(
        *headerFile_, storage::HeaderFileSummaryOffset(openFileRecord_), summary_);
    if (!written.ok()) ReportWriteFailure(written, indexFileName_);
    result = written.ok();
  }
  if (indexFile_) {
    const platform::Status written =
        CBufferWriter::WriteSummaryAt(*indexFile_, storage::kIndexSummaryOffset, summary_);
    if (!written.ok()) ReportWriteFailure(written, indexFileName_);
    result = written.ok();
  }
  if (reset) ResetSummary();
  return result;
}

void Writer::ResetSummary() { summary_ = storage::MakeEmptySummary(); }

void Writer::UncountLostRecords(uint32_t length, int32_t entry) {
  summary_.dataBytes -= std::min(summary_.dataBytes, length);
  if (LastEntryInRange(entry)) {
    uint32_t& bytes = summary_.entries[entry].bytes;
    bytes -= std::min(bytes, length);
  }
}

void Writer::GiveUp(bool willOverflow) {
  if (willOverflow) DropHeldRecords();
}

uint8_t* Writer::FillBuffer() { return bufferWriter_ ? bufferWriter_->fillBuffer() : writeBuffer_; }

void Writer::SettleBufferWrites(const CBufferWriter::Outcome& outcome) {
  for (int32_t i = 0; i < outcome.summaryFailures; ++i) {
    RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, indexFileName_, outcome.summaryError);
  }
  if (outcome.dataFailed) {
    // The records gathered since are written where the lost ones would have gone.
    dataWriteOffset_ = outcome.lostOffset;
    UncountLostRecords(outcome.lostLength, outcome.lostEntry);
    RaiseEvent(RECORDER_EVENT_WRITE_FAILED, -1, CurrentDataFileName(), outcome.dataError);
  }
}

void Writer::FinishBufferWrite() {
  if (bufferWriter_) SettleBufferWrites(bufferWriter_->WaitForAll());
}

void Writer::StartBufferWrite() {
  if (!bufferWriter_ && dataFile_)
    bufferWriter_ = CBufferWriter::Start(writeBuffer_, kWriteBufferSize);
  CBufferWriter* writer = bufferWriter_.get();
  if (writer == nullptr || !dataFile_ || writeFill_ == 0) {
    FlushWriteBuffer(false);
    return;
  }
  // The buffer before this one must be on disk: its position in the file and its fate (a
  // failure takes it out of the summary) decide this one's.
  SettleBufferWrites(writer->WaitForData());
  CBufferWriter::Job job;
  job.data = dataFile_.get();
  job.offset = dataWriteOffset_;
  job.length = writeFill_;
  if (headerFile_ && openFileRecord_ >= 0) {
    job.header = headerFile_.get();
    job.headerOffset = storage::HeaderFileSummaryOffset(openFileRecord_);
  }
  job.index = indexFile_.get();
  job.summary = summary_;
  writer->Submit(job, bufferedEntry_);
  storage::NoteRecordedInto(dataFile_->id());
  dataWriteOffset_ += writeFill_;
  writeFill_ = 0;
}
