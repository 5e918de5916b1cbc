// A progress line on standard error for long runs of record, verify and export: done so far,
// the rate, the time elapsed and an estimate of the time left. Shown only on a terminal and
// only once a run has taken a second (small sets finish silently), rewritten in place at most
// four times a second and ended with a newline by Finish.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace dvrtool {

class CProgressMeter {
 public:
  // `total` units of work (bytes, frames); `quiet` or a non-terminal standard error turns it off.
  CProgressMeter(std::string label, uint64_t total, bool quiet);
  ~CProgressMeter() { Finish(); }

  // `done` units so far, `bytes` for the rate (MB/s), `extra` appended to the line.
  void Update(uint64_t done, uint64_t bytes, const std::string& extra = std::string());
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  std::string label_;
  uint64_t total_;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point next_ = start_ + std::chrono::seconds(1);
};

}  // namespace dvrtool
