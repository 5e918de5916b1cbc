#include "platform/temp_mapping.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "platform/syscall_faults.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"

namespace platform {
namespace {

using testsupport::ScratchDir;

// Points TMPDIR at a fresh directory for the test.
class TempMappingTest : public ::testing::Test {
 protected:
  size_t FilesInDir() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path())) ++n;
    return n;
  }

  ScratchDir dir_;
  testsupport::ScopedEnv tmp_{"TMPDIR", dir_.path()};
};

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// With O_TMPFILE and with the named fallback (its first open refused as on a file system
// without O_TMPFILE), the mapping is zero-filled, writable, and never has a name in the
// temporary directory; closing it releases the descriptor.
TEST_F(TempMappingTest, MappingIsZeroFilledWritableAndNeverNamed) {
  EXPECT_EQ(TempDirectory(), dir_.path());
  for (const bool fallback : {false, true}) {
    SCOPED_TRACE(fallback ? "named fallback" : "O_TMPFILE");
    std::optional<ScopedSyscallFault> noTmpfile;
    if (fallback) noTmpfile.emplace(ScopedSyscallFault::Call::kOpen, EOPNOTSUPP, 0, 1);
    const size_t descriptors = OpenDescriptors();
    auto mapping = TempMapping::Create(100000);
    ASSERT_NE(mapping, nullptr);
    if (fallback) {
      EXPECT_EQ(noTmpfile->faults(), 1);
    }
    EXPECT_EQ(FilesInDir(), 0u);
    ASSERT_NE(mapping->data(), nullptr);
    EXPECT_EQ(mapping->data()[0], 0);
    EXPECT_EQ(mapping->data()[99999], 0);
    mapping->data()[5] = 0x5A;
    auto other = TempMapping::Create(10);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->data()[5], 0);  // each mapping is a file of its own
    EXPECT_EQ(mapping->data()[5], 0x5A);
    other.reset();
    mapping->Close();
    EXPECT_EQ(mapping->data(), nullptr);
    mapping->Close();  // twice is harmless
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
}

TEST_F(TempMappingTest, AFailedMappingLeavesNoFileBehind) {
  ScopedSyscallFault fault(ScopedSyscallFault::Call::kMmap, ENOMEM, 0, 1);
  EXPECT_EQ(TempMapping::Create(4096), nullptr);
  EXPECT_EQ(FilesInDir(), 0u);
}

}  // namespace
}  // namespace platform
