// Round trip through the whole recording side and back: frames written through the
// exports on four channels for 30 seconds (on a driven clock) come back from the frame
// reader bit-exact forwards, and backwards in exact reverse order with each group's key
// frame injected before the group.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalog/file_catalog.h"
#include "recorder.h"
#include "storage/formats.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace {

constexpr uint32_t kChannels = 4;
constexpr int kSeconds = 30;
constexpr int kVideoPerSecond = 5;
constexpr int kAudioPerSecond = 2;
constexpr int kGroupLength = 10;  // a key frame every 10 video frames of a channel
constexpr uint32_t kFrameBufferSize = 614400;

struct Event {
  bool injected = false;
  std::vector<uint8_t> bytes;
};

storage::FrameHeader HeaderOf(const std::vector<uint8_t>& frame) {
  storage::FrameHeader header;
  std::memcpy(&header, frame.data(), sizeof(header));
  return header;
}

// The frame (FrameHeader + body) the recorder should have stored for a write.
std::vector<uint8_t> ExpectedFrame(bool video, const storage::RecordFields& fields,
                                   const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> record(video ? storage::VideoRecordSize(payload.size(), fields.keyFrame)
                                    : storage::AudioRecordSize(payload.size()));
  (video ? storage::BuildVideoRecord : storage::BuildAudioRecord)(
      record.data(), record.size(), fields, payload.data(), payload.size());
  return std::vector<uint8_t>(record.begin() + storage::kStartMarkerSize,
                              record.end() - storage::kRecordTrailerSize);
}

class ReaderRoundTripTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (recorder_ != nullptr) _RECORDER_END(recorder_);
  }

  static void OnKeyFrame(uint8_t* record, int32_t length, CFileSearch* owner) {
    reinterpret_cast<ReaderRoundTripTest*>(owner)->events_.push_back(
        {true, std::vector<uint8_t>(record, record + length)});
  }

  // Bytes recorded so far according to the index files in the directory.
  uint64_t RecordedBytes() const {
    uint64_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.path().extension() == storage::kIndexFileSuffix) {
        total += testsupport::ReadSummary(entry.path()).dataBytes;
      }
    }
    return total;
  }

  void Read(CFileCatalog* catalog, float rate) {
    catalog->SetPlayRate(rate);
    std::vector<uint8_t> buffer(kFrameBufferSize);
    for (int guard = 0; guard < 100000; ++guard) {
      const int32_t n = catalog->ReadNextFrame(buffer.data(), kFrameBufferSize);
      if (n < 0) return;
      if (n > 0) {
        events_.push_back({false, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
      }
    }
    FAIL() << "the day did not end";
  }

  // Events stamped within the 30 recorded seconds (drops the flush triggers at the end).
  std::vector<Event> Recorded(const std::vector<Event>& events) const {
    std::vector<Event> kept;
    for (const Event& e : events) {
      if (HeaderOf(e.bytes).time < base_ + kSeconds) kept.push_back(e);
    }
    return kept;
  }

  testsupport::ScopedTimeZone zone_{"UTC"};
  const int32_t base_ = testsupport::LocalSeconds(2024, 3, 5, 12, 0, 0);
  testsupport::ScopedTestClock clock_{base_};
  testsupport::ScratchDir scratch_;
  const std::string dir_ = scratch_.path();
  RECORDER_HANDLE recorder_ = nullptr;
  std::vector<Event> events_;
};

TEST_F(ReaderRoundTripTest, ThirtySecondsOnFourChannelsComeBackExactly) {
  recorder_ = _RECORDER_INIT("roundtrip", 0, nullptr);
  ASSERT_NE(recorder_, nullptr);
  _RECORDER_ADDFILEPATH(recorder_, (dir_ + "0001.VDB").c_str());
  _RECORDER_ADDFILEPATH(recorder_, (dir_ + "0002.VDB").c_str());
  for (uint32_t ch = 0; ch < kChannels; ++ch) _RECORDER_SETRECORD(recorder_, ch, 1);
  if (_RECORDER_START(recorder_) == 0) {
    GTEST_SKIP() << "recording does not start yet: the writer side is not in place";
  }

  // What each write should store, per ring (the video and audio writers each keep their
  // own order; the data file interleaves the two). Each second holds the video frames of
  // every channel, then the audio frames.
  std::vector<std::vector<uint8_t>> expectedVideo, expectedAudio;
  uint64_t expectedBytes = 0;
  uint32_t videoIndex[kChannels] = {};
  for (int s = 0; s < kSeconds; ++s) {
    testsupport::g_testNow = base_ + s;
    for (int f = 0; f < kVideoPerSecond + kAudioPerSecond; ++f) {
      const bool video = f < kVideoPerSecond;
      for (uint32_t ch = 0; ch < kChannels; ++ch) {
        const uint32_t n = video ? videoIndex[ch]++ : 0;
        const std::vector<uint8_t> payload =
            video ? testsupport::Pattern(100 + (n * 37 + ch * 11) % 900, n * kChannels + ch)
                  : std::vector<uint8_t>(320, static_cast<uint8_t>(s * 7 + f * 3 + ch));
        const storage::RecordFields fields{ch,
                                           base_ + s,
                                           video ? (n % 3 == 2 ? 2u : 1u) : 0u,
                                           video ? 0x300 + n : 0u,
                                           video && n % kGroupLength == 0,
                                           storage::kReasonRecorded,
                                           video ? 0x5A000000u + n : 0u};
        FrameDescriptor d{};
        d.type = fields.type;
        d.subTypeWord = fields.subType;
        d.keyFlag = fields.keyFrame ? 1 : 0;
        d.tag = fields.videoTag;
        d.dataEnd = static_cast<uint32_t>(payload.size());
        d.statSize = video ? d.dataEnd : 0;
        (video ? d.videoData : d.audioData) = payload.data();
        ASSERT_EQ(video ? _RECORDER_WRITEVIDEO(recorder_, ch, &d)
                        : _RECORDER_WRITEAUDIO(recorder_, ch, &d),
                  1);
        auto& expected = video ? expectedVideo : expectedAudio;
        expected.push_back(ExpectedFrame(video, fields, payload));
        expectedBytes +=
            expected.back().size() + storage::kStartMarkerSize + storage::kRecordTrailerSize;
      }
    }
  }
  // One more second of frames makes the writers write the last recorded second out; wait
  // for the index to show all of it before stopping.
  testsupport::g_testNow = base_ + kSeconds;
  const std::vector<uint8_t> filler(16, 0);
  for (int i = 0; i < 3 && RecordedBytes() < expectedBytes; ++i) {
    FrameDescriptor v = testsupport::VideoFrame(filler, 0);
    FrameDescriptor a = testsupport::AudioFrame(filler);
    _RECORDER_WRITEVIDEO(recorder_, 0, &v);
    _RECORDER_WRITEAUDIO(recorder_, 0, &a);
    testsupport::WaitUntil([&] { return RecordedBytes() >= expectedBytes; });
  }
  ASSERT_GE(RecordedBytes(), expectedBytes);
  _RECORDER_STOP(recorder_);

  CFileCatalog catalog(reinterpret_cast<CFileSearch*>(this), &OnKeyFrame);
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path().extension() == storage::kIndexFileSuffix) {
      catalog.AddIndexFile(dir_, entry.path().filename().string());
    }
  }
  ASSERT_EQ(catalog.Build(), 1);

  // Forwards: each ring's frames in the order they were written, bit for bit.
  ASSERT_EQ(catalog.OpenDay(platform::CTime(base_)), 1);
  Read(&catalog, 1.0f);
  const std::vector<Event> forward = Recorded(events_);
  std::vector<std::vector<uint8_t>> video, audio;
  for (const Event& e : forward) {
    ASSERT_FALSE(e.injected);
    (storage::IsDeliveredVideoType(HeaderOf(e.bytes).type) ? video : audio).push_back(e.bytes);
  }
  EXPECT_TRUE(video == expectedVideo) << "video frames differ";
  EXPECT_TRUE(audio == expectedAudio) << "audio frames differ";

  // Backwards: the same frames newest first; before the newest frame of each channel's
  // group, that group's key frame (the nearest earlier key frame of the channel).
  std::vector<Event> expectedBackward;
  bool needKey[kChannels] = {};
  for (size_t i = forward.size(); i-- > 0;) {
    const storage::FrameHeader h = HeaderOf(forward[i].bytes);
    if (storage::IsDeliveredVideoType(h.type)) {
      if (!needKey[h.channel]) {
        for (size_t k = i + 1; k-- > 0;) {
          const storage::FrameHeader kh = HeaderOf(forward[k].bytes);
          if (kh.channel == h.channel && (kh.keyFrame & 1) != 0) {
            expectedBackward.push_back({true, forward[k].bytes});
            break;
          }
        }
        needKey[h.channel] = true;
      }
      if ((h.keyFrame & 1) != 0) needKey[h.channel] = false;
    }
    expectedBackward.push_back({false, forward[i].bytes});
  }
  events_.clear();
  ASSERT_EQ(catalog.ResetReadPosition(-1), 1);
  Read(&catalog, -1.0f);
  const std::vector<Event> backward = Recorded(events_);
  ASSERT_EQ(backward.size(), expectedBackward.size());
  for (size_t i = 0; i < backward.size(); ++i) {
    ASSERT_EQ(backward[i].injected, expectedBackward[i].injected) << "event " << i;
    ASSERT_TRUE(backward[i].bytes == expectedBackward[i].bytes) << "event " << i;
  }
}

}  // namespace
