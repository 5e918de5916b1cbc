// CDeleteManager: the recorder's deletion worker. Every period (ten minutes by default) it
// looks in the directories of the recorder's path list (the directory of each listed data
// file, and a listed directory as it is) for data files older than the retention time and
// deletes each with its index file, reporting event 1 to the host.
// A file held open by a recorder or a file search is never deleted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recorder.h"
#include "storage/worker_thread.h"

// Interface agreed between the recorder and the deletion worker; the implementation may add
// private members and helpers but keeps these entry points.
class CDeleteManager : public CWorkerThread {
 public:
  // Returns the path-list entries, read under the list's own lock.
  using PathSource = std::function<std::vector<std::string>()>;
  static constexpr uint32_t kDefaultPeriodMs = CWorkerThread::kDefaultPeriodMs;

  CDeleteManager(RECORDER_HANDLE owner, PathSource paths, uint32_t periodMs = kDefaultPeriodMs);
  ~CDeleteManager() override;  // bounded: never waits longer than a few seconds
  CDeleteManager(const CDeleteManager&) = delete;
  CDeleteManager& operator=(const CDeleteManager&) = delete;

  // Host context and callback for event 1 (null callback: nothing is raised).
  void SetCallback(uintptr_t context, RecorderEventCallback callback);
  // _RECORDER_DELETEMAN_START: retention period, then deletion work on.
  void Start(int32_t days, int32_t hours);
  // _RECORDER_DELETEMAN_STOP: deletion work off; no further scan starts.
  void Stop();
  // One scan over the directories, as the worker runs it (tests call it directly).
  void RunDeletionScan();
  // Scans finished so far, by the worker or by RunDeletionScan (for tests and diagnostics).
  uint64_t CompletedScans() const;

 private:
  class DeletionJob;
  // Shared with the worker thread, which may outlive this object when it does not end in
  // time; holds every piece of state the scan uses.
  std::shared_ptr<DeletionJob> job_;
};
