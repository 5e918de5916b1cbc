#include "common/write_all.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "platform/syscall_faults.h"
#include "platform/syscalls.h"
#include "support/scratch_dir.h"

namespace {

using platform::File;
using platform::ScopedSyscallFault;
using Call = platform::ScopedSyscallFault::Call;

constexpr uint32_t kUntouched = 0xDEADBEEFu;

// Each test writes one file in its own fresh directory.
class WriteAllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = File::Open(path_, File::Mode::kOpenOrCreate, true);
    ASSERT_NE(file_, nullptr);
    for (int i = 0; i < 1000; ++i) block_.push_back(static_cast<char>('a' + i % 26));
  }
  void TearDown() override {
    file_.reset();
    platform::RestoreSyscalls();
  }
  std::string OnDisk() const { return testsupport::ScratchDir::ReadText(path_); }
  int Write(uint32_t length, uint32_t* written) {
    return WriteAll(file_.get(), block_.data(), length, written);
  }

  testsupport::ScratchDir dir_;
  std::string path_ = dir_ / "data";
  std::unique_ptr<File> file_;
  std::string block_;
};

TEST_F(WriteAllTest, LoopsOverShortWrites) {
  auto fault = ScopedSyscallFault::ShortWrites(7);
  uint32_t written = kUntouched;
  EXPECT_EQ(Write(1000, &written), 1);
  EXPECT_EQ(written, 1000u);
  EXPECT_EQ(fault.calls(), 143);  // ceil(1000 / 7)
  EXPECT_EQ(OnDisk(), block_);
}

TEST_F(WriteAllTest, RetriesInterruptedCalls) {
  ScopedSyscallFault fault(Call::kWrite, EINTR, 0, 3);
  uint32_t written = kUntouched;
  EXPECT_EQ(Write(100, &written), 1);
  EXPECT_EQ(written, 100u);
  EXPECT_EQ(fault.faults(), 3);
  EXPECT_EQ(OnDisk(), block_.substr(0, 100));
}

struct FailureCase {
  const char* name;
  unsigned chunk;  // bytes each passing call writes
  int goodCalls;   // calls that pass (cut to `chunk`) before the failure
  int error;       // errno of the failing calls; 0: they report 0 bytes written
};

class WriteAllFailure : public WriteAllTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WriteAllFailure, FailsAndLeavesWhatTheSystemWrote) {
  const FailureCase& c = GetParam();
  auto fault = ScopedSyscallFault::ShortWritesThenFail(c.chunk, c.goodCalls, c.error);
  uint32_t written = kUntouched;
  const int result = Write(1000, &written);
  const int error = errno;
  EXPECT_EQ(result, 0);
  EXPECT_EQ(written, kUntouched);
  // It stops at the first failing call instead of repeating it.
  EXPECT_EQ(fault.calls(), c.goodCalls + 1);
  if (c.error != 0) {
    EXPECT_EQ(error, c.error);
  }
  // The bytes already written stay; the caller rolls back from its saved offset.
  const int64_t kept = static_cast<int64_t>(c.chunk) * c.goodCalls;
  EXPECT_EQ(file_->Seek(0, platform::SeekOrigin::kCurrent), kept);
  EXPECT_EQ(OnDisk(), block_.substr(0, static_cast<size_t>(kept)));
}

INSTANTIATE_TEST_SUITE_P(Faults, WriteAllFailure,
                         ::testing::Values(FailureCase{"IoErrorAtOnce", 100, 0, EIO},
                                           FailureCase{"DiskFullAfterTwoCalls", 100, 2, ENOSPC},
                                           FailureCase{"ZeroBytesAtOnce", 100, 0, 0},
                                           FailureCase{"ZeroBytesAfterProgress", 64, 3, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriteAllTest, ZeroLengthSucceedsAndMissingFileOrDataIsRefused) {
  uint32_t written = kUntouched;
  EXPECT_EQ(Write(0, &written), 1);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(OnDisk(), "");
  written = kUntouched;
  EXPECT_EQ(WriteAll(nullptr, block_.data(), 10, &written), 0);
  EXPECT_EQ(WriteAll(file_.get(), nullptr, 10, &written), 0);
  EXPECT_EQ(written, kUntouched);
  EXPECT_EQ(WriteAll(file_.get(), block_.data(), 10, nullptr), 1);
}

}  // namespace
