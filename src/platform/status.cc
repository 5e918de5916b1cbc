#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace platform {

Status Status::FromErrno(std::string_view operation, std::string_view path, int error) {
  Status status;
  status.state_.reset(
      new State{std::string(operation), std::string(path), error != 0 ? error : EIO, {}});
  return status;
}

Status Status::EndOfFile(std::string_view operation, std::string_view path) {
  Status status;
  status.state_.reset(new State{std::string(operation), std::string(path), 0, {}});
  return status;
}

Status Status::Invalid(std::string_view operation, std::string_view path, std::string_view what) {
  Status status;
  status.state_.reset(
      new State{std::string(operation), std::string(path), EINVAL, std::string(what)});
  return status;
}

Status& Status::operator=(const Status& other) {
  if (this != &other) state_.reset(other.state_ ? new State(*other.state_) : nullptr);
  return *this;
}

std::string Status::ToString() const {
  if (ok()) return "ok";
  std::string text = state_->operation;
  if (!state_->path.empty()) text += " " + state_->path;
  return text + ": " + Cause();
}

std::string Status::Cause() const {
  if (ok()) return std::string();
  if (!state_->what.empty()) return state_->what;
  if (state_->error == 0) return "unexpected end of file";
  // strerror_r in its GNU form returns the text, which need not be the buffer.
  char buffer[128];
  return ::strerror_r(state_->error, buffer, sizeof(buffer));
}

}  // namespace platform
