#include "progress_meter.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

namespace dvrtool {

CProgressMeter::CProgressMeter(std::string label, uint64_t total, bool quiet)
    : label_(std::move(label)), total_(total), enabled_(!quiet && isatty(STDERR_FILENO) == 1) {}

void CProgressMeter::Update(uint64_t done, uint64_t bytes, const std::string& extra) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now < next_) return;
  next_ = now + std::chrono::milliseconds(250);
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  char left[48] = "";
  if (done > 0 && total_ > done) {
    std::snprintf(left, sizeof(left), ", about %.0f s left",
                  elapsed * static_cast<double>(total_ - done) / static_cast<double>(done));
  }
  const double percent = total_ > 0 ? 100.0 * static_cast<double>(done) / total_ : 0;
  std::fprintf(stderr, "\r%s %5.1f%%  %7.2f MB/s  %6.1f s elapsed%s%s\033[K", label_.c_str(),
               percent, elapsed > 0 ? bytes / elapsed / 1e6 : 0.0, elapsed, left, extra.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void CProgressMeter::Finish() {
  if (!shown_) return;
  std::fputc('\n', stderr);
  shown_ = false;
}

}  // namespace dvrtool
