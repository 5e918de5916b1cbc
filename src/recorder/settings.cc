// The recorder's settings and queries behind the exports. Four of them change where the
// rotation set comes from and restart a running recording around the change; the others
// store or return one value without a lock.
#include <cstring>
#include <string>

#include "recorder/path_list.h"
#include "recorder/recorder_base.h"
#include "storage/delete_manager.h"

namespace {

// Stop, change, start: the rotation set is rebuilt from the changed settings and recording
// goes on in the file after the newest one. It runs even when the change changes nothing,
// and a recorder that was not recording is not started.
template <typename Change>
void RestartAround(CRecorderBase& recorder, Change change) {
  const bool wasRecording = recorder.recording == 1;
  if (wasRecording) recorder.Stop();
  change();
  if (wasRecording) recorder.Start();
}

}  // namespace

void CRecorderBase::SetHeaderFilePath(const char* path, int32_t source) {
  if (!pathList) return;
  RestartAround(*this, [&] {
    platform::MutexLock hold(&writeLock);
    headerFilePath = path;
    fileSetSource = source;
  });
}

void CRecorderBase::AddFilePath(const char* path) {
  if (!pathList) return;
  RestartAround(*this, [&] { pathList->AddPath(path); });
}

void CRecorderBase::RemoveFilePath(const char* path) {
  if (!pathList) return;
  RestartAround(*this, [&] { pathList->RemovePath(path); });
}

void CRecorderBase::ClearFilePath() {
  if (!pathList) return;
  RestartAround(*this, [&] { pathList->ClearPaths(); });
}

int32_t CRecorderBase::GetFilePathCount() { return pathList ? pathList->GetPathCount() : 0; }

int32_t CRecorderBase::GetFilePath(int32_t index, char* buffer, int32_t size) {
  return pathList ? pathList->GetPath(index, buffer, size) : 0;
}

int32_t CRecorderBase::GetCurrentRecFile(char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return 0;
  platform::MutexLock hold(&currentDataFileLock);
  if (!dataFileOpen || currentDataFileName.size() >= static_cast<size_t>(size)) return 0;
  std::memcpy(buffer, currentDataFileName.c_str(), currentDataFileName.size() + 1);
  return 1;
}

void CRecorderBase::SetRecord(uint32_t channel, int32_t enabled) {
  if (channel < kChannelCount) recordEnabled[channel] = enabled;
}

int32_t CRecorderBase::GetRecord(uint32_t channel) const {
  return channel < kChannelCount ? recordEnabled[channel].load() : 0;
}

void CRecorderBase::SetStatus(uint32_t channel, uint32_t bits) {
  if (channel < kChannelCount) channelStatus[channel] = bits;
}

uint32_t CRecorderBase::GetStatus(uint32_t channel) const {
  return channel < kChannelCount ? channelStatus[channel].load() : 0;
}

void CRecorderBase::SetPrePostTime(int32_t pre, int32_t post) {
  preRecordSeconds = pre;
  postRecordSeconds = post;
}

void CRecorderBase::DeleteManagerStart(int32_t days, int32_t hours) {
  if (deleteManager) deleteManager->Start(days, hours);
}

void CRecorderBase::DeleteManagerStop() {
  if (deleteManager) deleteManager->Stop();
}
