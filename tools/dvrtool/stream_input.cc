#include "stream_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "errors.h"
#include "h264_splitter.h"

namespace dvrtool {
namespace {

constexpr size_t kReadSize = 64 * 1024;
// No access unit of a camera is this large: a stream that gets no start code within it is
// not one.
constexpr size_t kMaxUnitBytes = 64u << 20;

}  // namespace

CStreamInput::CStreamInput(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

CStreamInput::~CStreamInput() {
  if (fd_ != STDIN_FILENO) ::close(fd_);
}

bool CStreamInput::Fill(const std::function<bool()>& stop) {
  while (!ended_) {
    if (stop && stop()) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 200);
    if (ready < 0 && errno != EINTR) throw RuntimeError(PathError(name_));
    if (ready <= 0) continue;
    const size_t old = buffer_.size();
    buffer_.resize(old + kReadSize);
    const ssize_t n = ::read(fd_, buffer_.data() + old, kReadSize);
    buffer_.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) throw RuntimeError(PathError(name_));
    if (n == 0) ended_ = true;
    return true;
  }
  return false;
}

bool CStreamInput::Next(std::span<const uint8_t>* unit, bool* key,
                        const std::function<bool()>& stop) {
  for (;;) {
    // Every unit but the last one in the buffer is whole; at the end of input, that one too.
    SplitResult split;
    if (!buffer_.empty()) {
      split = SplitAccessUnits(buffer_, false,
                               started_ ? std::optional<VideoCodec>(codec_) : std::nullopt);
      if (!split.error.empty()) throw UsageError(name_ + ": " + split.error);
    }
    if (split.units.size() >= 2 || (ended_ && !split.units.empty())) {
      const AccessUnit& first = split.units.front();
      unit_.assign(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(first.size));
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(first.size));
      if (!started_ && !(first.key && first.parameterSets)) {
        ++skipped_;
        continue;
      }
      started_ = true;
      *unit = unit_;
      *key = first.key;
      codec_ = split.codec;
      return true;
    }
    if (buffer_.size() > kMaxUnitBytes)
      throw UsageError(name_ + ": no access unit ends within 64 MiB");
    if (!Fill(stop)) {
      if (!started_ && !(stop && stop())) {
        throw UsageError(name_ +
                         ": not a usable H.264 stream (it needs an IDR picture with its "
                         "SPS and PPS)");
      }
      return false;
    }
  }
}

}  // namespace dvrtool
