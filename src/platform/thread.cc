#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

// Shared between the owner and the running body: the body keeps its own reference, so an
// owner that gives up on a thread can drop this without pulling anything from under it.
struct Thread::State {
  std::mutex mu;
  std::condition_variable cv;
  bool finished = false;  // guarded by mu
  std::atomic<bool> finishedFlag{false};
  std::atomic<std::thread::id> id{};
  std::thread thread;    // touched by the owner only
  bool settled = false;  // joined or detached; owner only
};

std::unique_ptr<Thread> Thread::Start(std::function<void()> body) {
  if (!body) return nullptr;
  auto state = std::make_shared<State>();
  try {
    state->thread = std::thread([state, fn = std::move(body)]() mutable {
      state->id.store(std::this_thread::get_id(), std::memory_order_release);
      try {
        fn();
      } catch (...) {
        // A worker body must not take the process down; its owner sees it finished.
      }
      fn = nullptr;  // release what the body captured before saying we are done
      std::lock_guard<std::mutex> lock(state->mu);
      state->finished = true;
      state->finishedFlag.store(true, std::memory_order_release);
      state->cv.notify_all();
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  state->id.store(state->thread.get_id(), std::memory_order_release);
  std::unique_ptr<Thread> t(new Thread());
  t->state_ = std::move(state);
  return t;
}

Thread::~Thread() {
  if (!state_ || state_->settled) return;
  if (IsCurrent()) {
    // Destroyed by its own body: joining would wait for ourselves.
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
  state_->settled = true;
}

bool Thread::Join(uint32_t timeoutMs) {
  State& s = *state_;
  if (s.settled) return s.finishedFlag.load(std::memory_order_acquire);
  if (IsCurrent()) return false;
  bool done;
  {
    std::unique_lock<std::mutex> lock(s.mu);
    done = s.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&s] { return s.finished; });
  }
  if (done) {
    s.thread.join();  // the body has returned; only the thread's exit is left
  } else {
    s.thread.detach();
  }
  s.settled = true;
  return done;
}

bool Thread::Finished() const { return state_->finishedFlag.load(std::memory_order_acquire); }

bool Thread::IsCurrent() const {
  return state_->id.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void Thread::RaiseCurrentPriority() {
  // Without CAP_SYS_NICE this fails and the thread keeps its priority; that is acceptable.
  const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -2);
}

void Thread::PinCurrentToFirstProcessor() {
  // The first processor this process may run on, which is not always CPU 0 in a container.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      (void)::pthread_setaffinity_np(::pthread_self(), sizeof(one), &one);
      return;
    }
  }
}

}  // namespace platform
