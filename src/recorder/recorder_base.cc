#include "recorder/recorder_base.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "platform/clock.h"
#include "recorder/event_callback_scope.h"
#include "recorder/path_list.h"
#include "storage/delete_manager.h"

CRecorderBase::CRecorderBase()
    : writerShared(std::make_shared<WriterThreadShared>()), writeLock(writerShared->writeLock) {
  lastFrameTime = platform::CTime::NoTime();
  for (auto& status : channelStatus) status = 1;

  std::unique_ptr<CFrameRing> audio = CFrameRing::Create(kAudioRingCapacity);
  std::unique_ptr<CFrameRing> video = CFrameRing::Create(kVideoRingCapacity);
  if (!audio || !video) throw std::bad_alloc();
  audioRing = std::move(audio);
  videoRing = std::move(video);
  audioSlots = std::make_shared<platform::Semaphore>(kRingSlots, kRingSlots);
  videoSlots = std::make_shared<platform::Semaphore>(kRingSlots, kRingSlots);

  {
    platform::MutexLock hold(&writeLock);
    ResetCurrentIndexRecord();
    writerShared->recorder = this;
  }

  // The video writer first. Each thread holds what it waits on and the shared lock, never
  // the recorder itself (see WriterThreadShared).
  writerThreads[0] =
      platform::Thread::Start([shared = writerShared, ring = videoRing, slots = videoSlots] {
        RunWriterThread(shared, ring, slots);
      });
  if (writerThreads[0]) {
    writerThreads[1] =
        platform::Thread::Start([shared = writerShared, ring = audioRing, slots = audioSlots] {
          RunWriterThread(shared, ring, slots);
        });
  }
  if (!writerThreads[0] || !writerThreads[1]) {
    // No destructor runs for a half-built object: end the thread that did start here.
    videoRing->Close();
    audioRing->Close();
    if (writerThreads[0]) writerThreads[0]->Join(threadJoinMs);
    throw std::runtime_error("recorder writer thread could not be started");
  }
}

CRecorderBase::~CRecorderBase() {
  Stop();

  {
    platform::MutexLock hold(&writeLock);
    // Every waiter on the rings wakes and fails, which ends the writer threads; a record a
    // writer still holds is discarded because recording is 0 and, from here on, the writer
    // finds no recorder behind the shared lock.
    audioRing->Close();
    videoRing->Close();
    audioSlots->Release(1);
    videoSlots->Release(1);
    writerShared->recorder = nullptr;
  }

  // Video writer, then audio writer. A writer that does not end in time is abandoned; it
  // only touches the ring, the slots and the shared lock, which it co-owns.
  for (auto& thread : writerThreads) {
    if (thread) thread->Join(threadJoinMs);
    thread.reset();
  }

  DeleteManagerStop();

  audioRing.reset();
  videoRing.reset();
  audioSlots->Release(1);
  audioSlots.reset();
  videoSlots->Release(1);
  videoSlots.reset();

  {
    platform::MutexLock hold(&writeLock);
    headerFile.reset();
    indexFile.reset();
    dataFile.reset();
    nextIndexFile.reset();
    nextDataFile.reset();
    previousIndexFile.reset();
    previousDataFile.reset();
    ClearCurrentDataFile();
    fileNames.clear();
    fileRecordNumbers.clear();
  }

  deleteManager.reset();
  pathList.reset();
}

int32_t CRecorderBase::OpenNextFile() { return 0; }
int32_t CRecorderBase::LoadFileList() { return 0; }
int32_t CRecorderBase::FindNewestFile() { return 0; }
int32_t CRecorderBase::CreateFileList() { return 0; }

void CRecorderBase::Initialise(const char* name, uintptr_t context,
                               RecorderEventCallback callback) {
  eventCallback = callback;
  callbackContext = context;
  if (!pathList) pathList = std::make_shared<CPathList>(name != nullptr ? name : "");
  if (!deleteManager) {
    // The worker reads the list from its own thread; it holds the list jointly, so it never
    // reaches a freed list even if it outlives the recorder's bounded wait for it.
    std::shared_ptr<CPathList> paths = pathList;
    deleteManager =
        std::make_unique<CDeleteManager>(handle(), [paths] { return paths->CopyPaths(); });
    deleteManager->SetCallback(callbackContext, eventCallback);
  }
}

int32_t CRecorderBase::Start() {
  platform::MutexLock hold(&writeLock);
  if (recording == 0) {
    CloseRecordingFiles();
    ResetCurrentIndexRecord();
    if (PrepareFileSet() && OpenNextFile() != 0) {
      recording = 1;
      writeFill = 0;
    } else {
      // A failed start closes what it opened (the header file, say) without writing a
      // summary into it.
      EndCloserThread();
      CloseFileHandles();
      writeFill = 0;
    }
  }
  return recording;
}

void CRecorderBase::Stop() {
  // Frames the host handed in before STOP are still in the rings; let the writer threads
  // take them into the write buffer first, so the flush below stores every accepted frame.
  if (recording == 1) WaitForRingsToDrain(threadJoinMs);
  platform::MutexLock hold(&writeLock);
  StopLocked();
}

bool CRecorderBase::WaitForRingsToDrain(uint32_t timeoutMs) {
  // A slot comes back only after the writer has taken its record, so all slots free means
  // both rings are empty. Bounded: a writer stuck in a host callback must not hold STOP up.
  const double deadline = platform::PerfSeconds() + timeoutMs / 1000.0;
  while (videoSlots->Count() < kRingSlots || audioSlots->Count() < kRingSlots) {
    if (platform::PerfSeconds() >= deadline) return false;
    platform::SleepMs(1);
  }
  return true;
}

void CRecorderBase::StopLocked() {
  if (recording == 1) {
    recording = 0;
    CloseRecordingFiles();
  }
}

bool CRecorderBase::PrepareFileSet() {
  lastFrameTime = platform::CTime::NoTime();
  needHeader = 1;
  overwriteCount = 0;
  streamFileId = -1;
  ClearFileSet();
  if (LoadFileList() == 0) {
    CreateFileList();
    LoadFileList();
  }
  return FindNewestFile() > 0;
}

void CRecorderBase::ClearFileSet() {
  fileNames.clear();
  fileRecordNumbers.clear();
  fileCount = 0;
  currentFile = 0;
}

void CRecorderBase::CloseRecordingFiles() {
  // The closer thread ends before any handle closes; it only holds files of its own.
  EndCloserThread();
  FlushWriteBuffer(0);
  CloseFileHandles();
}

void CRecorderBase::CloseFileHandles() {
  headerFile.reset();
  dataFile.reset();
  ClearCurrentDataFile();
  indexFile.reset();
  nextIndexFile.reset();
  nextDataFile.reset();
  previousIndexFile.reset();
  previousDataFile.reset();
}

void CRecorderBase::ResetCurrentIndexRecord() {
  std::memset(&currentIndexRecord, 0, sizeof(currentIndexRecord));
  currentIndexRecord.summary = storage::MakeEmptySummary();
}

void CRecorderBase::RaiseEvent(int32_t code, int32_t status, const std::string& path) {
  if (eventCallback == nullptr) return;
  CEventCallbackScope inside(handle());
  eventCallback(handle(), callbackContext, code, status, path.c_str(),
                static_cast<int32_t>(path.size()));
}

void CRecorderBase::SetCurrentDataFile(const std::string& name) {
  platform::MutexLock hold(&currentDataFileLock);
  currentDataFileName = name;
  dataFileOpen = true;
}

void CRecorderBase::ClearCurrentDataFile() {
  platform::MutexLock hold(&currentDataFileLock);
  dataFileOpen = false;
}
