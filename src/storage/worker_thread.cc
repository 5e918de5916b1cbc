#include "storage/worker_thread.h"

#include <utility>

#include "platform/clock.h"

CWorkerThread::CWorkerThread(uint32_t periodMs) : control_(std::make_shared<Control>(periodMs)) {}

CWorkerThread::~CWorkerThread() { StopThread(); }

void CWorkerThread::EnableWork() { control_->enableEvent.Set(); }

void CWorkerThread::DisableWork() { control_->enableEvent.Reset(); }

bool CWorkerThread::IsRunning() const { return control_->running.load(); }

bool CWorkerThread::StartThread(std::shared_ptr<Job> job) {
  if (thread_ || !job) return false;
  // The closure holds its own references: an abandoned thread keeps them alive.
  thread_ =
      platform::Thread::Start([control = control_, job = std::move(job)]() { Loop(control, job); });
  return thread_ != nullptr;
}

void CWorkerThread::StopThread() {
  control_->running.store(false);
  control_->enableEvent.Set();
  control_->wakeEvent.Set();
  if (thread_) {
    // Join() gives up after the bound and detaches; either way the thread is settled here.
    (void)thread_->Join(kStopWaitMs);
    thread_.reset();
  }
}

void CWorkerThread::Loop(const std::shared_ptr<Control>& control, const std::shared_ptr<Job>& job) {
  while (control->running.load()) {
    control->enableEvent.Wait(platform::kInfinite);
    if (!control->running.load()) return;
    const bool woken = control->wakeEvent.Wait(control->periodMs);
    if (!woken) {
      if (!control->running.load()) return;
      job->WorkStep(*control);
    }
    platform::SleepMs(kLoopPauseMs);
  }
}
