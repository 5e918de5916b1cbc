// The file layer under the recorder: positioned reads and writes under injected faults, the
// shared lock that keeps the deletion worker off open files, directory search and the path
// helpers that take the host's Windows-style paths.
#include "platform/file.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/paths.h"
#include "platform/syscall_faults.h"
#include "platform/syscalls.h"
#include "support/scratch_dir.h"

namespace platform {
namespace {

using testsupport::ScratchDir;
using Call = ScopedSyscallFault::Call;

class FileTest : public ::testing::Test {
 protected:
  void TearDown() override { RestoreSyscalls(); }
  std::unique_ptr<File> Make(const std::string& text) {
    ScratchDir::WriteText(path_, text);
    return File::Open(path_, File::Mode::kOpenExisting, /*writeThrough=*/true);
  }
  ScratchDir dir_;
  std::string path_ = dir_ / "0001.VDB";
};

// WriteAt of `length` bytes at offset 3 of "xyz" under a fault: the calls it makes, the errno
// it ends with (0: success) and how many of the bytes reach the file.
struct WriteCase {
  const char* name;
  ScopedSyscallFault (*fault)();
  uint32_t length;
  int calls;
  int error;
  uint32_t kept;
};

class WriteAtTest : public FileTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteAtTest, WritesTheWholeBlockOrFailsKeepingWhatTheSystemWrote) {
  const WriteCase& c = GetParam();
  std::string block;
  for (uint32_t i = 0; i < c.length; ++i) block.push_back(static_cast<char>('a' + i % 26));
  auto file = Make("xyz");
  ASSERT_NE(file, nullptr);
  ScopedSyscallFault fault = c.fault();
  const Status status = file->WriteAt(3, block.data(), c.length);
  EXPECT_EQ(status.ToString(),
            c.error == 0 ? "ok" : "write " + path_ + ": " + std::strerror(c.error));
  EXPECT_EQ(fault.calls(), c.calls);
  EXPECT_EQ(ScratchDir::ReadText(path_), "xyz" + block.substr(0, c.kept));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WriteAtTest,
    ::testing::Values(
        WriteCase{"ShortWritesContinued", [] { return ScopedSyscallFault::ShortWrites(7); }, 1000,
                  143, 0, 1000},
        WriteCase{"InterruptedCallsRepeated",
                  [] { return ScopedSyscallFault(Call::kWrite, EINTR, 0, 3); }, 100, 4, 0, 100},
        WriteCase{"ZeroLengthIsOneCall", [] { return ScopedSyscallFault(Call::kWrite, EIO, 0, 0); },
                  0, 1, 0, 0},
        WriteCase{"IoErrorAtOnce",
                  [] { return ScopedSyscallFault::ShortWritesThenFail(100, 0, EIO); }, 1000, 1, EIO,
                  0},
        WriteCase{"DiskFullAfterTwoCalls",
                  [] { return ScopedSyscallFault::ShortWritesThenFail(100, 2, ENOSPC); }, 1000, 3,
                  ENOSPC, 200},
        // A call that writes nothing would be repeated for ever: it ends the write.
        WriteCase{"NothingWrittenAfterProgress",
                  [] { return ScopedSyscallFault::ShortWritesThenFail(64, 3, 0); }, 1000, 4, ENOSPC,
                  192}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileTest, ReadAtReadsExactlyAndTellsTheEndOfTheFileFromAFailure) {
  const std::string content = "FOH1" + std::string(35, 'x') + "!";
  auto file = Make(content);
  ASSERT_NE(file, nullptr);
  struct {
    uint64_t offset, count;
    int faultError, faultTimes;
    bool endOfFile;
    int error;
    uint64_t got;
  } const cases[] = {{0, 40, 0, 0, false, 0, 40},       {36, 8, 0, 0, true, 0, 4},
                     {1ull << 40, 4, 0, 0, true, 0, 0}, {100, 0, 0, 0, false, 0, 0},
                     {2, 30, EINTR, 2, false, 0, 30},   {0, 40, EIO, 1, false, EIO, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.count << " errno " << c.faultError);
    std::optional<ScopedSyscallFault> fault;
    if (c.faultError != 0) fault.emplace(Call::kRead, c.faultError, 0, c.faultTimes);
    char buffer[48] = {};
    uint64_t got = 99;
    const Status status = file->ReadAt(c.offset, buffer, c.count, &got);
    EXPECT_EQ(std::make_tuple(status.IsEndOfFile(), status.error(), got),
              std::make_tuple(c.endOfFile, c.error, c.got));
    EXPECT_EQ(std::string(buffer, std::min<uint64_t>(got, sizeof(buffer))),
              c.got == 0 ? "" : content.substr(c.offset, c.got));
  }
  EXPECT_EQ(file->ReadAt(36, nullptr, 8).ToString(),
            "read " + path_ + ": " + std::strerror(EINVAL));
  EXPECT_EQ(file->ReadAt(36, std::string(8, ' ').data(), 8).ToString(),
            "read " + path_ + ": unexpected end of file");
}

TEST_F(FileTest, LengthReservationAndFlushReportTheirFailures) {
  auto file = Make("hello world");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->SetLength(209715200).ok());  // sparse, like a pre-allocated data file
  EXPECT_EQ(file->Size(), 209715200);
  EXPECT_TRUE(file->SetLength(5).ok());
  EXPECT_EQ(file->SetLength(-1).error(), EINVAL);
  {  // A file system that cannot reserve gets a sparse file of the size instead.
    ScopedSyscallFault cannot(Call::kFallocate, EOPNOTSUPP);
    EXPECT_TRUE(file->Reserve(4096).ok());
    EXPECT_EQ(file->Size(), 4096);
  }
  {
    ScopedSyscallFault full(Call::kFallocate, ENOSPC);
    EXPECT_EQ(file->Reserve(8192).ToString(), "reserve " + path_ + ": No space left on device");
    EXPECT_EQ(file->Size(), 4096);
  }
  EXPECT_TRUE(file->Flush().ok());
  ScopedSyscallFault flushFault(Call::kFsync, EIO);
  EXPECT_EQ(file->Flush().error(), EIO);
}

// Unlinks the file right after opening it, as a deletion racing the open would.
int OpenThenUnlink(const char* path, int flags, mode_t mode) {
  const int fd = RealSyscalls().open(path, flags, mode);
  if (fd >= 0) ::unlink(path);
  return fd;
}

TEST_F(FileTest, OpenFilesAreNeverDeletedAndAFileUnlinkedWhileOpeningIsNotOpened) {
  for (const bool readOnly : {false, true}) {
    auto held =
        readOnly ? File::OpenReadOnly(path_) : File::Open(path_, File::Mode::kOpenOrCreate, false);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(fcntl(held->fd(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_FALSE(DeleteFileIfUnused(path_));
    EXPECT_TRUE(IsRegularFile(path_));
  }
  {
    ScopedSyscallFault fault(Call::kUnlink, EBUSY);
    EXPECT_FALSE(DeleteFile(path_));
    EXPECT_FALSE(DeleteFileIfUnused(path_));
  }
  EXPECT_TRUE(DeleteFileIfUnused(path_));
  EXPECT_FALSE(DeleteFileIfUnused(path_));
  Status status;
  EXPECT_EQ(File::OpenReadOnly(path_, &status), nullptr);
  EXPECT_EQ(status.ToString(), "open " + path_ + ": No such file or directory");
  EXPECT_EQ(std::make_tuple(status.operation(), status.path()), std::make_tuple("open", path_));
  EXPECT_FALSE(std::filesystem::exists(path_));

  ScratchDir::WriteText(path_, "x");
  SetSyscall(&Syscalls::open, &OpenThenUnlink);
  EXPECT_EQ(File::Open(path_, File::Mode::kOpenExisting, true, &status), nullptr);
  EXPECT_EQ(std::make_pair(errno, status.error()), std::make_pair(ENOENT, ENOENT));
}

TEST_F(FileTest, FindFilesMatchesTheSuffixExactlyAndReportsModificationTimes) {
  for (const char* name : {"b.VDB", "a.VDB", "c.vdb", "a.FIH", "d.VDBX"}) {
    ScratchDir::WriteText(dir_ / name, "");
  }
  std::filesystem::create_directory(dir_ / "sub.VDB");
  struct utimbuf times = {1700000000, 1705320000};
  ASSERT_EQ(utime((dir_ / "a.VDB").c_str(), &times), 0);
  const auto found = FindFiles(dir_.path(), ".VDB");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(std::make_tuple(found[0].name, found[0].isDirectory, found[0].lastWriteUtc),
            std::make_tuple("a.VDB", false, 1705320000));
  EXPECT_EQ(std::make_tuple(found[1].name, found[2].name, found[2].isDirectory),
            std::make_tuple("b.VDB", "sub.VDB", true));
  EXPECT_EQ(FindFiles(dir_.path(), "").size(), 6u);
  EXPECT_TRUE(FindFiles(dir_ / "nowhere", "").empty());
  int64_t seconds = 0;
  EXPECT_TRUE(LastWriteTime(dir_ / "a.VDB", &seconds));
  EXPECT_EQ(seconds, 1705320000);
  EXPECT_FALSE(LastWriteTime(dir_ / "missing", &seconds));
  EXPECT_TRUE(IsDirectory(dir_ / "sub.VDB"));
  EXPECT_FALSE(IsDirectory(dir_ / "a.VDB") || IsRegularFile(dir_ / "sub.VDB"));
}

TEST(PathsTest, SplitAndNormalizeHostPaths) {
  // input, NormalizeDirectory, FileTitleOf, DirectoryOf
  const char* const cases[][4] = {
      {"D:\\rec\\file0001.VDB", "D:/rec/file0001.VDB/", "file0001", "D:/rec/"},
      {"D:/rec", "D:/rec/", "rec", "D:/"},
      {"D:\\rec\\", "D:/rec/", "", "D:/rec/"},
      {"", "", "", ""},
      {"file0001.VDB", "file0001.VDB/", "file0001", ""},
      {"/data/rec/a.b.FIH", "/data/rec/a.b.FIH/", "a.b", "/data/rec/"},
      {"C:file.VDB", "C:file.VDB/", "file", "C:"},
      {"\\\\server\\share/x.VDB", "//server/share/x.VDB/", "x", "//server/share/"},
      {"/rec/.hidden", "/rec/.hidden/", "", "/rec/"},
      {"/rec/name.", "/rec/name./", "name", "/rec/"},
      {"/", "/", "", "/"},
      {"1:/rec/a.VDB", "1:/rec/a.VDB/", "a", "1:/rec/"},
      {"/data/v1.2/file0001", "/data/v1.2/file0001/", "file0001", "/data/v1.2/"}};
  for (const auto& c : cases) {
    EXPECT_EQ(NormalizeDirectory(c[0]), c[1]) << c[0];
    EXPECT_EQ(FileTitleOf(c[0]), c[2]) << c[0];
    EXPECT_EQ(DirectoryOf(c[0]), c[3]) << c[0];
  }
}

}  // namespace
}  // namespace platform
