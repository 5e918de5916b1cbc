// The bytes a host exchanges with the library: FrameDescriptor laid out member by member at
// the offsets of the interface (the 110-byte layout on a 32-bit target, pointers widened on a
// 64-bit one), and handles and contexts as wide as a pointer. The suite runs under -m32 as
// well, where these are the original interface's widths.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "api/frame_descriptor_layout.h"
#include "recorder.h"

namespace {

// Offsets after audioData move by the extra width of each pointer before them.
constexpr size_t kPointerGrowth = sizeof(void*) - 4;

template <typename T>
T ReadAt(const uint8_t* bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

class FrameDescriptorBytesTest : public ::testing::Test {
 protected:
  // Every member gets a value of its own, so a member at the wrong offset reads back wrong.
  void SetUp() override {
    std::memset(&frame_, 0, sizeof(frame_));
    frame_.channel = 0x11111101u;
    frame_.word4 = 0x22222202u;
    frame_.kind = 0x33333303u;
    frame_.word12 = 0x44444404u;
    frame_.year = 2037;
    frame_.month = 12;
    frame_.day = 31;
    frame_.hour = 23;
    frame_.minute = 59;
    frame_.second = 58;
    frame_.reserved23 = 0x5A;
    frame_.millisecond = 999;
    frame_.statSize = 0x55555505u;
    frame_.type = 0x66666606u;
    frame_.dataStart = 0x77777707u;
    frame_.dataEnd = 0x88888808u;
    frame_.keyFlag = 0x99999909u;
    frame_.tag = 0xAAAAAA0Au;
    frame_.subTypeWord = 0xBBBBBB0Bu;
    frame_.audioData = audio_;
    frame_.leadLength = 100;
    frame_.decodeOnly = 1;
    std::memset(frame_.reserved70, 0xC7, sizeof(frame_.reserved70));
    frame_.triggerA = 0xDDDDDD0Du;
    frame_.triggerB = 0xEEEEEE0Eu;
    std::memset(frame_.reserved86, 0xF8, sizeof(frame_.reserved86));
    frame_.leadBlock = lead_;
    frame_.videoData = video_;
    std::memcpy(bytes_, &frame_, sizeof(frame_));
  }

  FrameDescriptor frame_;
  uint8_t bytes_[sizeof(FrameDescriptor)];
  uint8_t audio_[4] = {};
  uint8_t lead_[4] = {};
  uint8_t video_[4] = {};
};

TEST_F(FrameDescriptorBytesTest, SizeIsTheInterfaceLayoutForThisPointerWidth) {
  EXPECT_EQ(sizeof(FrameDescriptor), 110u + 3 * kPointerGrowth);
  EXPECT_EQ(alignof(FrameDescriptor), 1u);
  EXPECT_EQ(kAudioFormSize, 58u + kPointerGrowth);
  EXPECT_EQ(kProgressFormSize, 26u);
}

TEST_F(FrameDescriptorBytesTest, WordsBeforeTheFirstPointerSitAtFixedOffsets) {
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 0), 0x11111101u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 4), 0x22222202u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 8), 0x33333303u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 12), 0x44444404u);
  EXPECT_EQ(ReadAt<uint16_t>(bytes_, 16), 2037u);
  const uint8_t time_fields[] = {12, 31, 23, 59, 58, 0x5A};
  EXPECT_EQ(std::memcmp(bytes_ + 18, time_fields, sizeof(time_fields)), 0);
  EXPECT_EQ(ReadAt<uint16_t>(bytes_, 24), 999u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 26), 0x55555505u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 30), 0x66666606u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 34), 0x77777707u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 38), 0x88888808u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 42), 0x99999909u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 46), 0xAAAAAA0Au);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 50), 0xBBBBBB0Bu);
  EXPECT_EQ(ReadAt<const uint8_t*>(bytes_, 54), audio_);
}

TEST_F(FrameDescriptorBytesTest, MembersAfterEachPointerMoveByItsExtraWidthOnly) {
  const size_t g = kPointerGrowth;
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 58 + g), 100u);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 62 + g), 1u);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(bytes_[66 + g + i], 0xC7) << "unlisted byte " << i;
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 74 + g), 0xDDDDDD0Du);
  EXPECT_EQ(ReadAt<uint32_t>(bytes_, 78 + g), 0xEEEEEE0Eu);
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(bytes_[82 + g + i], 0xF8) << "unlisted byte " << i;
  EXPECT_EQ(ReadAt<const uint8_t*>(bytes_, 102 + g), lead_);
  EXPECT_EQ(ReadAt<const uint8_t*>(bytes_, 106 + 2 * g), video_);
}

TEST(InterfaceWidthsTest, HandlesAndContextsAreAsWideAsAPointer) {
  static_assert(std::is_pointer_v<RECORDER_HANDLE> && std::is_pointer_v<FILESEARCH_HANDLE>);
  // Contexts are uintptr_t everywhere a host passes one in or gets one back.
  static_assert(std::is_same_v<decltype(&_RECORDER_INIT),
                               RECORDER_HANDLE (*)(const char*, uintptr_t, RecorderEventCallback)>);
  static_assert(std::is_same_v<RecorderEventCallback, void (*)(RECORDER_HANDLE, uintptr_t, int32_t,
                                                               int32_t, const char*, int32_t)>);
  static_assert(std::is_same_v<FileSearchFrameCallback,
                               void (*)(uintptr_t, uint32_t, const FrameDescriptor*, int32_t)>);
  static_assert(sizeof(uintptr_t) == sizeof(void*));
}

}  // namespace
