#include "common/raw_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/file.h"
#include "platform/syscall_faults.h"
#include "support/scratch_dir.h"

namespace {

using platform::File;

class RawFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::ScratchDir::WriteText(path_, std::string(40, 'x').replace(0, 4, "FOH1"));
  }

  testsupport::ScratchDir dir_;
  std::string path_ = dir_ / "file0001.VDB";
};

TEST_F(RawFileTest, ReadExactFailsOnAShortRead) {
  auto file = File::Open(path_, File::Mode::kOpenExisting, false);
  ASSERT_NE(file, nullptr);
  CRawFile raw(file.get());
  char buf[48] = {};
  EXPECT_EQ(raw.ReadExact(buf, 48), 0);
  EXPECT_EQ(std::string(buf, 4), "FOH1");
  EXPECT_EQ(raw.SeekTo(0, CRawFile::kCurrent), 40u);  // moved by what was read
  EXPECT_EQ(raw.SeekTo(0, CRawFile::kBegin), 0u);
  EXPECT_EQ(raw.ReadExact(buf, 40), 1);
  EXPECT_EQ(raw.ReadExact(buf, 1), 0);
  EXPECT_EQ(raw.ReadExact(buf, 0), 1);
}

TEST_F(RawFileTest, SeekToUsesTheThreeOrigins) {
  auto raw = CRawFile::OpenForReading(path_);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw->SeekTo(10, 0), 10u);
  EXPECT_EQ(raw->SeekTo(5, 1), 15u);
  EXPECT_EQ(raw->SeekTo(-8, 2), 32u);
  EXPECT_EQ(raw->SeekTo(-100, 1), CRawFile::kBadPosition);
  EXPECT_EQ(raw->SeekTo(0, 3), CRawFile::kBadPosition);
  EXPECT_EQ(raw->SeekTo(0, -1), CRawFile::kBadPosition);
  EXPECT_EQ(raw->SeekTo(0x7FFFFFFF, 0), 0x7FFFFFFFu);  // beyond the end is allowed
  EXPECT_EQ(raw->GetLength(), 40);
}

TEST_F(RawFileTest, WithoutAFileEveryCallFails) {
  CRawFile none;
  char buf[4];
  EXPECT_FALSE(none.IsOpen());
  EXPECT_EQ(none.ReadExact(buf, 4), 0);
  EXPECT_EQ(none.SeekTo(0, 0), CRawFile::kBadPosition);
  EXPECT_EQ(none.Write(buf, 4), 0);
  EXPECT_EQ(none.GetLength(), -1);
  EXPECT_EQ(CRawFile::OpenForReading(dir_ / "missing.VDB"), nullptr);
}

TEST_F(RawFileTest, AFailingReadIsAFailure) {
  auto raw = CRawFile::OpenForReading(path_);
  ASSERT_NE(raw, nullptr);
  platform::ScopedSyscallFault fault(platform::ScopedSyscallFault::Call::kRead, EIO);
  char buf[8];
  EXPECT_EQ(raw->ReadExact(buf, 8), 0);
}

TEST_F(RawFileTest, OwnedFileIsReleasedByCloseBorrowedOneIsNot) {
  auto owned = CRawFile::OpenForReading(path_);
  ASSERT_NE(owned, nullptr);
  EXPECT_FALSE(platform::DeleteFileIfUnused(path_));  // held by the owned file
  owned->Close();
  EXPECT_FALSE(owned->IsOpen());

  auto file = File::Open(path_, File::Mode::kOpenExisting, false);
  ASSERT_NE(file, nullptr);
  {
    CRawFile borrowed(file.get());
    EXPECT_EQ(borrowed.Write("ABCD", 4), 1);
  }
  // The borrowed file is still open and usable after the wrapper is gone.
  EXPECT_EQ(file->Seek(0, platform::SeekOrigin::kCurrent), 4);
  EXPECT_FALSE(platform::DeleteFileIfUnused(path_));
  file.reset();
  EXPECT_TRUE(platform::DeleteFileIfUnused(path_));
}

}  // namespace
