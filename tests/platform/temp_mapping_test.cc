#include "platform/temp_mapping.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/syscall_faults.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"

namespace platform {
namespace {

using testsupport::ScratchDir;

// Points TMPDIR at a fresh directory for the test.
class TempMappingTest : public ::testing::Test {
 protected:
  static int NumberOf(const std::string& path) {
    return std::atoi(path.substr(path.size() - 13, 9).c_str());
  }
  size_t FilesInDir() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path())) ++n;
    return n;
  }

  ScratchDir dir_;
  testsupport::ScopedEnv tmp_{"TMPDIR", dir_.path()};
};

TEST_F(TempMappingTest, CreatesANamedPrivateZeroFilledFileAndDeletesItOnClose) {
  EXPECT_EQ(TempDirectory(), dir_.path());
  auto mapping = TempMapping::Create(100000);
  ASSERT_NE(mapping, nullptr);
  const std::string path = mapping->path();
  EXPECT_EQ(path.substr(0, dir_.path().size()), dir_.path());
  const std::string name = path.substr(dir_.path().size());  // fmap, nine digits, .tmp
  EXPECT_TRUE(name.size() == 17 && name.rfind("fmap", 0) == 0 &&
              name.find_first_not_of("0123456789", 4) == 13 && name.substr(13) == ".tmp")
      << path;

  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 100000);
  EXPECT_GE(st.st_blocks * 512, 100000);  // space reserved up front

  ASSERT_NE(mapping->data(), nullptr);
  EXPECT_EQ(mapping->data()[0], 0);
  EXPECT_EQ(mapping->data()[99999], 0);
  mapping->data()[5] = 0x5A;
  EXPECT_EQ(ScratchDir::ReadText(path)[5], 0x5A);  // shared mapping reaches the file

  mapping->Close();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(mapping->data(), nullptr);
  mapping->Close();  // twice is harmless
}

TEST_F(TempMappingTest, AnExistingNameTakesTheNextNumber) {
  auto first = TempMapping::Create(10);
  ASSERT_NE(first, nullptr);
  const int n = NumberOf(first->path());
  char taken[32];
  for (int k = 1; k <= 2; ++k) {
    std::snprintf(taken, sizeof(taken), "fmap%09d.tmp", n + k);
    ScratchDir::WriteText(dir_ / taken, "someone else's");
  }
  auto second = TempMapping::Create(10);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(NumberOf(second->path()), n + 3);
  EXPECT_EQ(ScratchDir::ReadText(dir_ / taken), "someone else's");
}

TEST_F(TempMappingTest, NumbersAreUniqueAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  std::vector<std::vector<std::unique_ptr<TempMapping>>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(TempMapping::Create(4096));
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> paths;
  for (const auto& list : made) {
    for (const auto& m : list) {
      ASSERT_NE(m, nullptr);
      paths.insert(m->path());
    }
  }
  EXPECT_EQ(paths.size(), static_cast<size_t>(kThreads * kEach));
  made.clear();
  EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(TempMappingTest, AFailedMappingLeavesNoFileBehind) {
  ScopedSyscallFault fault(ScopedSyscallFault::Call::kMmap, ENOMEM, 0, 1);
  EXPECT_EQ(TempMapping::Create(4096), nullptr);
  EXPECT_EQ(FilesInDir(), 0u);
}

}  // namespace
}  // namespace platform
