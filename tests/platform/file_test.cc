#include "platform/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/syscall_faults.h"
#include "platform/syscalls.h"
#include "support/scratch_dir.h"

namespace platform {
namespace {

using testsupport::ScratchDir;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  void TearDown() override { RestoreSyscalls(); }
  ScratchDir dir_;
};

TEST_F(FileTest, WriteSeekReadAndLength) {
  auto file = File::Open(dir_ / "a", File::Mode::kOpenOrCreate, true);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Write("hello world", 11), 11);
  EXPECT_TRUE(file->Flush().ok());
  EXPECT_EQ(file->Seek(6, SeekOrigin::kBegin), 6);
  char buf[16] = {};
  EXPECT_EQ(file->Read(buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(file->Seek(-5, SeekOrigin::kEnd), 6);
  EXPECT_EQ(file->Seek(2, SeekOrigin::kCurrent), 8);
  EXPECT_EQ(file->Seek(-100, SeekOrigin::kCurrent), -1);

  EXPECT_TRUE(file->SetLength(209715200).ok());  // sparse, like a pre-allocated data file
  EXPECT_EQ(file->Size(), 209715200);
  EXPECT_TRUE(file->SetLength(5).ok());
  file.reset();
  EXPECT_EQ(ScratchDir::ReadText(dir_ / "a"), "hello");
}

TEST_F(FileTest, FilesAreClosedAcrossExec) {
  auto file = File::Open(dir_ / "a", File::Mode::kOpenOrCreate, false);
  ASSERT_NE(file, nullptr);
  EXPECT_NE(fcntl(file->fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(FileTest, AnOpenFileCannotBeDeletedIfUnused) {
  const std::string path = dir_ / "rec.VDB";
  auto writer = File::Open(path, File::Mode::kOpenOrCreate, false);
  ASSERT_NE(writer, nullptr);
  EXPECT_FALSE(DeleteFileIfUnused(path));
  EXPECT_TRUE(IsRegularFile(path));
  writer.reset();

  auto reader = File::OpenReadOnly(path);
  ASSERT_NE(reader, nullptr);
  EXPECT_FALSE(DeleteFileIfUnused(path));
  reader.reset();

  EXPECT_TRUE(DeleteFileIfUnused(path));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(DeleteFileIfUnused(path));
}

// Unlinks the file right after opening it, as a deletion racing the open would.
int OpenThenUnlink(const char* path, int flags, mode_t mode) {
  const int fd = RealSyscalls().open(path, flags, mode);
  if (fd >= 0) ::unlink(path);
  return fd;
}

TEST_F(FileTest, AFileUnlinkedWhileOpeningCountsAsNotOpened) {
  const std::string path = dir_ / "race.VDB";
  ScratchDir::WriteText(path, "x");
  SetSyscall(&Syscalls::open, &OpenThenUnlink);
  EXPECT_EQ(File::Open(path, File::Mode::kOpenExisting, true), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileTest, FailedOpenFlushAndDeleteAreReported) {
  EXPECT_EQ(File::Open(dir_ / "missing", File::Mode::kOpenExisting, false), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
  EXPECT_EQ(File::OpenReadOnly(dir_ / "missing"), nullptr);
  const std::string path = dir_ / "a";
  {
    ScopedSyscallFault fault(ScopedSyscallFault::Call::kOpen, EIO, 0, 1, "/a");
    EXPECT_EQ(File::Open(path, File::Mode::kOpenOrCreate, false), nullptr);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(fault.faults(), 1);
  }
  auto file = File::Open(path, File::Mode::kOpenOrCreate, false);
  ASSERT_NE(file, nullptr);
  {
    ScopedSyscallFault flushFault(ScopedSyscallFault::Call::kFsync, EIO);
    EXPECT_FALSE(file->Flush().ok());
  }
  file.reset();
  {
    ScopedSyscallFault fault(ScopedSyscallFault::Call::kUnlink, EBUSY);
    EXPECT_FALSE(DeleteFile(path));
    EXPECT_FALSE(DeleteFileIfUnused(path));
  }
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(DeleteFile(path));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(FileTest, FindFilesMatchesTheSuffixExactlyAndFlagsDirectories) {
  ScratchDir::WriteText(dir_ / "b.VDB", "");
  ScratchDir::WriteText(dir_ / "a.VDB", "");
  ScratchDir::WriteText(dir_ / "c.vdb", "");
  ScratchDir::WriteText(dir_ / "a.FIH", "");
  ScratchDir::WriteText(dir_ / "d.VDBX", "");
  std::filesystem::create_directory(dir_ / "sub.VDB");

  const auto found = FindFiles(dir_.path(), ".VDB");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].name, "a.VDB");
  EXPECT_EQ(found[1].name, "b.VDB");
  EXPECT_EQ(found[2].name, "sub.VDB");
  EXPECT_FALSE(found[0].isDirectory);
  EXPECT_TRUE(found[2].isDirectory);

  EXPECT_EQ(FindFiles(dir_.path(), "").size(), 6u);
  EXPECT_TRUE(FindFiles(dir_ / "nowhere", "").empty());
}

TEST_F(FileTest, LastWriteTimeIsTheModificationTime) {
  const std::string path = dir_ / "a";
  ScratchDir::WriteText(path, "x");
  struct utimbuf times = {1700000000, 1705320000};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
  int64_t seconds = 0;
  EXPECT_TRUE(LastWriteTime(path, &seconds));
  EXPECT_EQ(seconds, 1705320000);
  EXPECT_EQ(FindFiles(dir_.path(), "")[0].lastWriteUtc, 1705320000);
  EXPECT_FALSE(LastWriteTime(dir_ / "missing", &seconds));
  EXPECT_TRUE(IsDirectory(dir_.path()));
  EXPECT_FALSE(IsDirectory(path));
  EXPECT_FALSE(IsRegularFile(dir_.path()));
}

}  // namespace
}  // namespace platform
