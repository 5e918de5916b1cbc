// Status: the outcome of a file operation, ok or what went wrong: the operation, the path it
// was done on and the errno, so that a failure can be told to the host and the tools as
// "write /srv/rec/0001.VDB: No space left on device" instead of a bare failure value. A
// read that finds the end of the file before it has what it asked for is a result of its
// own (IsEndOfFile): a truncated file, not a failing disk. What a file holds can be wrong too
// ("not an index file"): such a Status carries EINVAL and says what was wrong instead of the
// errno's text.
//
// An ok Status holds nothing and costs a null pointer, so the recorder's per-record reads
// and per-second writes return one without allocating.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

class [[nodiscard]] Status {
 public:
  Status() noexcept = default;  // ok
  // `operation` names what failed ("open", "read", "write", "flush"...); an `error` of 0 is
  // taken as EIO, so a failure never reads as success.
  static Status FromErrno(std::string_view operation, std::string_view path, int error);
  static Status EndOfFile(std::string_view operation, std::string_view path);
  // A file whose content the operation cannot use: error() is EINVAL, and `what` is told in
  // place of its text ("read /srv/rec/a.FIH: not an index file").
  static Status Invalid(std::string_view operation, std::string_view path, std::string_view what);

  Status(const Status& other) : state_(other.state_ ? new State(*other.state_) : nullptr) {}
  Status& operator=(const Status& other);
  Status(Status&&) noexcept = default;
  Status& operator=(Status&&) noexcept = default;

  bool ok() const { return state_ == nullptr; }
  bool IsEndOfFile() const { return state_ != nullptr && state_->error == 0; }
  // The errno of a failure; 0 when ok or at the end of the file.
  int error() const { return state_ == nullptr ? 0 : state_->error; }
  std::string_view operation() const {
    return state_ == nullptr ? std::string_view() : std::string_view(state_->operation);
  }
  std::string_view path() const {
    return state_ == nullptr ? std::string_view() : std::string_view(state_->path);
  }
  // "ok", "write /srv/rec/0001.VDB: No space left on device" or
  // "read /srv/rec/0001.FIH: unexpected end of file".
  std::string ToString() const;
  // What went wrong without the operation and the path: "No space left on device",
  // "unexpected end of file" or what an Invalid one names; empty when ok.
  std::string Cause() const;

 private:
  struct State {
    std::string operation;
    std::string path;
    int error = 0;     // 0: the end of the file
    std::string what;  // told instead of the errno's text when not empty
  };
  std::unique_ptr<State> state_;
};

}  // namespace platform
