// The writer's files: the rotation set prepared at START, the opening of the next data and
// index file pair, and the closer thread that finishes the previous pair and prepares the
// next one off the writer's path.
#include <algorithm>
#include <cerrno>
#include <utility>

#include "recording/file_closer.h"
#include "recording/writer.h"

bool Writer::PrepareFileSet(std::vector<std::string> paths) {
  lastFrameTime_ = platform::CTime::NoTime();
  needHeader_ = true;
  overwriteCount_ = 0;
  set_.Clear();
  currentFile_ = -1;
  if (fileSetSource_ == RotationSet::kFromPathList) {
    // The paths were copied under the list's lock: a host thread removing paths meanwhile
    // cannot leave the set larger than the list that was read.
    set_.LoadFromPaths(std::move(paths));
    currentFile_ = set_.FindNewestOfPaths();
  } else if (fileSetSource_ == RotationSet::kFromHeaderFile) {
    headerFile_ = platform::File::Open(headerFilePath_, platform::File::Mode::kOpenExisting,
                                       /*writeThrough=*/true);
    if (headerFile_ && !set_.LoadFromHeaderFile(*headerFile_)) headerFile_.reset();
    if (headerFile_) currentFile_ = set_.FindNewestOfHeaderFile(*headerFile_);
  }
  sequence_ = set_.highestSequence();
  return !set_.empty();
}

bool Writer::AdvanceFileNumber(int32_t count) {
  int64_t next = int64_t{currentFile_} + 1;
  if (next < 0) next = 0;
  overwriteCount_ = static_cast<int32_t>(next / count);
  if (overwriteCount_.load() >= 1 && overwriteMode_.load() == 0) {
    // The set has been used once and may not be overwritten: the file number stays past the
    // end, so every later change of file is refused as well.
    if (next <= INT32_MAX) currentFile_ = static_cast<int32_t>(next);
    return false;
  }
  currentFile_ = static_cast<int32_t>(next % count);
  return true;
}

bool Writer::OpenNextFile() {
  const auto count = static_cast<int32_t>(set_.size());
  if (count <= 0) return false;
  // The pair in use may still be written behind the writer's back; it changes hands only
  // after that write.
  FinishBufferWrite();
  if (!AdvanceFileNumber(count)) return false;
  const RotationSet::Entry& entry = set_[static_cast<size_t>(currentFile_)];
  const std::string name = entry.path;

  // A set that names the file in use again (a set of one file, or a path listed twice) goes
  // on in the same descriptors: they hold the file's writer lock, which a second open of the
  // file would be refused. Otherwise the pair in use goes to the next closer thread, and
  // GETCURRENTRECFILE keeps answering its name until the new file is open.
  const bool sameFile = dataFile_ && dataFile_->path() == name;
  if (!sameFile) {
    if (dataFile_) previousDataFile_ = std::move(dataFile_);
    if (indexFile_) previousIndexFile_ = std::move(indexFile_);
  }
  openFileRecord_ = -1;
  std::unique_ptr<platform::File> data = TakeDataFile(name, sameFile);
  if (!data) return false;
  dataFile_ = std::move(data);
  dataWriteOffset_ = 0;
  ++sequence_;
  // Published before the host hears of the file, so a query from its callback finds it.
  PublishDataFile(name);
  RaiseEvent(RECORDER_EVENT_FILE_OPENED, 0, name);
  openFileRecord_ = entry.headerRecord;
  OpenIndexFile(name, sameFile);
  StartCloser();
  return true;
}

std::unique_ptr<platform::File> Writer::TakeDataFile(const std::string& name, bool sameFile) {
  // The pair the last closer prepared, taken when it is the file about to be opened.
  // Otherwise that closer ends (it may hold the file about to be opened) before this thread
  // opens it.
  if (fileCloser_ && !nextDataFile_) {
    fileCloser_->TakePreparedPair(name, &nextDataFile_, &nextIndexFile_);
  }
  StopCloser(kCloserRotationJoinMs);
  std::unique_ptr<platform::File> data = sameFile ? std::move(dataFile_) : std::move(nextDataFile_);
  nextDataFile_.reset();
  platform::Status status;
  if (!data) {
    // Another recorder's writer lock refuses the open like a missing directory would; a disk
    // without room for the file's nominal size refuses it here too.
    data = OpenDataFileForRecording(name, &status);
    if (data) {
      status = PreallocateDataFile(*data);
      if (!status.ok()) data.reset();
    }
  }
  if (!data) {
    ClearDataFile();
    openFailure_ = status.ok() ? platform::Status::FromErrno("open", name, EIO) : status;
    RaiseEvent(RECORDER_EVENT_FILE_OPENED, -1, name, status.error());
  }
  return data;
}

void Writer::OpenIndexFile(const std::string& name, bool sameFile) {
  const std::string indexName = storage::IndexFileName(name);
  std::unique_ptr<platform::File> index =
      sameFile ? std::move(indexFile_) : std::move(nextIndexFile_);
  nextIndexFile_.reset();
  platform::Status status;
  if (!index) index = OpenRecordingFile(indexName, &status);
  if (!index) {
    // The data file records without an index file.
    RaiseEvent(RECORDER_EVENT_FILE_OPENED, -1, indexName, status.error());
    return;
  }
  RaiseEvent(RECORDER_EVENT_FILE_OPENED, 0, indexName);
  indexFileName_ = indexName;
  indexFile_ = std::move(index);
  // The empty record first, then the header with the new sequence: a crash between the two
  // leaves a file that counts no records (and loses to every recorded one at the next
  // START), never an old recording numbered as the newest.
  const storage::IndexRecord record = storage::MakeIndexRecord(storage::DataFileBaseName(name));
  platform::Status written =
      indexFile_->WriteAt(storage::kIndexRecordOffset, &record, sizeof(record));
  if (written.ok()) written = indexFile_->Flush();
  if (written.ok()) {
    const storage::FileHeader header = storage::MakeFileHeader(1, sequence_);
    written = indexFile_->WriteAt(0, &header, sizeof(header));
    if (written.ok()) written = indexFile_->Flush();
  }
  if (!written.ok()) ReportWriteFailure(written, indexName);
}

void Writer::CloseRecordingFiles() {
  EndCloserThread();
  FlushWriteBuffer(false);
  CloseFileHandles();
}

void Writer::CloseFileHandles() {
  headerFile_.reset();
  dataFile_.reset();
  ClearDataFile();
  indexFile_.reset();
  nextIndexFile_.reset();
  nextDataFile_.reset();
  previousIndexFile_.reset();
  previousDataFile_.reset();
}

void Writer::EndCloserThread() {
  // The closer ends before any handle closes; it only holds files of its own.
  FinishBufferWrite();
  StopCloser(threadJoinMs_.load());
}

void Writer::StopCloser(uint32_t joinMs) {
  if (fileCloser_) fileCloser_->RequestStop();
  bool ended = true;
  if (closerThread_) {
    // A closer that does not end in time is abandoned; it holds only files of its own.
    ended = closerThread_->Join(joinMs);
    closerThread_.reset();
  }
  if (fileCloser_ && ended) {
    const platform::Status failure = fileCloser_->TakeFinishFailure();
    if (!failure.ok()) ReportWriteFailure(failure, std::string(failure.path()));
  }
  fileCloser_.reset();
}

void Writer::StartCloser() {
  const size_t count = set_.size();
  std::string nextName;
  if (count > 0) nextName = set_[(static_cast<size_t>(currentFile_) + 1) % count].path;
  // The file in use is not prepared again: the rotation goes on in its descriptors.
  if (dataFile_ && dataFile_->path() == nextName) nextName.clear();
  auto closer =
      std::make_shared<CFileCloser>(std::move(previousDataFile_), std::move(previousIndexFile_),
                                    sequence_ - 1, std::move(nextName));
  closerThread_ = platform::Thread::Start([closer] { closer->FinishAndPrepareFiles(); });
  // Without a thread the previous pair is closed as it is, and the next rotation opens its
  // files itself.
  if (closerThread_) fileCloser_ = std::move(closer);
}
