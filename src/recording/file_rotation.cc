// Opening the next data and index file pair of the rotation set, and the closer thread that
// finishes the previous pair and prepares the next one off the writer's path.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "recorder/recorder.h"
#include "recording/buffer_writer.h"
#include "recording/file_closer.h"
#include "storage/formats.h"

int32_t CRecorder::OpenNextFile() {
  const int32_t count = std::min(fileCount.load(), static_cast<int32_t>(fileNames.size()));
  if (count <= 0) return 0;
  // The pair in use may still be written behind the writer's back; it changes hands only
  // after that write.
  FinishBufferWrite(*this);

  int64_t next = int64_t{currentFile.load()} + 1;
  if (next < 0) next = 0;
  overwriteCount = static_cast<int32_t>(next / count);
  if (overwriteCount.load() >= 1 && overwriteMode.load() == 0) {
    // The set has been used once and may not be overwritten: the file number stays past the
    // end, so every later change of file is refused as well.
    if (next <= INT32_MAX) currentFile = static_cast<int32_t>(next);
    return 0;
  }
  currentFile = static_cast<int32_t>(next % count);
  const std::string name = fileNames[currentFile.load()];

  // A set that names the file in use again (a set of one file, or a path listed twice) goes
  // on in the same descriptors: they hold the file's writer lock, which a second open of the
  // file would be refused.
  const bool sameFile = dataFile && dataFile->path() == name;
  // The pair in use goes to the next closer thread. GETCURRENTRECFILE keeps answering its
  // name until the new file is open.
  if (!sameFile) {
    if (dataFile) previousDataFile = std::move(dataFile);
    if (indexFile) previousIndexFile = std::move(indexFile);
  }
  openFileRecord = -1;

  // The pair the last closer prepared, taken when it is the file about to be opened. Otherwise
  // that closer ends (it may hold the file about to be opened) before this thread opens it.
  if (fileCloser && !nextDataFile)
    fileCloser->TakePreparedPair(name, &nextDataFile, &nextIndexFile);
  StopCloser(kCloserRotationJoinMs);

  std::unique_ptr<platform::File> data = sameFile ? std::move(dataFile) : std::move(nextDataFile);
  nextDataFile.reset();
  if (!data) {
    // Another recorder's writer lock refuses the open like a missing directory would; a disk
    // without room for the file's nominal size refuses it here too.
    data = OpenDataFileForRecording(name);
    if (data && !PreallocateDataFile(*data)) data.reset();
  }
  if (!data) {
    ClearCurrentDataFile();
    RaiseEvent(RECORDER_EVENT_FILE_OPENED, -1, name);
    return 0;
  }
  dataFile = std::move(data);
  dataWriteOffset = 0;
  // Published before the host hears of the file, so a query from its callback finds it.
  SetCurrentDataFile(name);
  RaiseEvent(RECORDER_EVENT_FILE_OPENED, 0, name);
  const size_t position = static_cast<size_t>(currentFile.load());
  if (position < fileRecordNumbers.size()) openFileRecord = fileRecordNumbers[position];

  const std::string indexName = storage::IndexFileName(name);
  std::unique_ptr<platform::File> index =
      sameFile ? std::move(indexFile) : std::move(nextIndexFile);
  nextIndexFile.reset();
  if (!index) index = OpenRecordingFile(indexName);
  if (!index) {
    // The data file records without an index file.
    RaiseEvent(RECORDER_EVENT_FILE_OPENED, -1, indexName);
  } else {
    RaiseEvent(RECORDER_EVENT_FILE_OPENED, 0, indexName);
    currentIndexFileName = indexName;
    indexFile = std::move(index);
    const storage::FileHeader header = storage::MakeFileHeader();
    const bool headerWritten = indexFile->WriteAt(0, &header, sizeof(header)).ok();
    indexFile->Flush();
    if (headerWritten) {
      const storage::IndexRecord record = storage::MakeIndexRecord(storage::DataFileBaseName(name));
      indexFile->WriteAt(storage::kIndexRecordOffset, &record, sizeof(record));
      indexFile->Flush();
    }
  }

  StartCloser();
  return 1;
}

void CRecorder::EndCloserThread() {
  // Every close of the recording files comes through here first.
  FinishBufferWrite(*this);
  StopCloser(threadJoinMs);
}

void CRecorder::StopCloser(uint32_t joinMs) {
  if (fileCloser) fileCloser->RequestStop();
  if (closerThread) {
    // A closer that does not end in time is abandoned; it holds only files of its own.
    closerThread->Join(joinMs);
    closerThread.reset();
  }
  fileCloser.reset();
}

void CRecorder::StartCloser() {
  const int32_t count = std::min(fileCount.load(), static_cast<int32_t>(fileNames.size()));
  std::string nextName;
  if (count > 0) nextName = fileNames[static_cast<size_t>((currentFile.load() + 1) % count)];
  // The file in use is not prepared again: the rotation goes on in its descriptors.
  if (dataFile && dataFile->path() == nextName) nextName.clear();
  auto closer = std::make_shared<CFileCloser>(std::move(previousDataFile),
                                              std::move(previousIndexFile), std::move(nextName));
  closerThread = platform::Thread::Start([closer] { closer->FinishAndPrepareFiles(); });
  // Without a thread the previous pair is closed as it is, and the next rotation opens its
  // files itself.
  if (closerThread) fileCloser = std::move(closer);
}
