// CWorkerThread: a background thread that, while its work is enabled, runs a work step once
// per period. The recorder's deletion worker (CDeleteManager) is built on it.
//
// Linux cannot kill a thread, so a worker that does not end within the stop bound is left
// behind rather than terminated. For that to be safe the thread never touches the
// CWorkerThread object: it runs a Job and a Control block that it owns jointly with the
// owner (shared_ptr), and the job must keep everything it uses inside itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/thread.h"

class CWorkerThread {
 public:
  static constexpr uint32_t kDefaultPeriodMs = 600000;  // ten minutes
  static constexpr uint32_t kStopWaitMs = 5000;
  // Pause between two passes of the loop, so a failing step never spins a core.
  static constexpr uint32_t kLoopPauseMs = 10;

  // What the thread shares with its owner.
  struct Control {
    explicit Control(uint32_t period) : periodMs(period) {}
    // Set only when the worker is being destroyed: ends the period wait early.
    platform::Event wakeEvent{/*manualReset=*/true, /*initiallySignalled=*/false};
    // Set while work is enabled.
    platform::Event enableEvent{/*manualReset=*/true, /*initiallySignalled=*/false};
    // True from construction until destruction begins. A step checks it before every
    // action with an effect outside the process (a delete, a host callback).
    std::atomic<bool> running{true};
    const uint32_t periodMs;
  };

  // The work run once per period. Owned jointly by the thread and its owner.
  class Job {
   public:
    virtual ~Job() = default;
    virtual void WorkStep(const Control& control) = 0;
  };

  virtual ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Work on / off. Turning it off does not cut short a period already being waited: the
  // step then still runs once when that wait ends.
  void EnableWork();
  void DisableWork();
  bool IsRunning() const;

 protected:
  explicit CWorkerThread(uint32_t periodMs);
  // Starts the thread running `job`. false when the thread cannot be created (the worker
  // then simply never works).
  bool StartThread(std::shared_ptr<Job> job);
  // Asks the thread to end and waits for it at most kStopWaitMs; a thread still running
  // then is abandoned. Idempotent. Derived destructors call it before releasing anything.
  void StopThread();
  const std::shared_ptr<Control>& control() const { return control_; }

 private:
  static void Loop(const std::shared_ptr<Control>& control, const std::shared_ptr<Job>& job);

  std::shared_ptr<Control> control_;
  std::unique_ptr<platform::Thread> thread_;
};
