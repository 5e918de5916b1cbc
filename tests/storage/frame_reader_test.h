// Fixture of the frame reader tests: data files built record by record in a fresh
// directory, a catalogue over them, and everything the reader hands out (frames and the key
// frames injected through the callback) collected in order.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "catalog/file_catalog.h"
#include "storage/data_file_builder.h"
#include "storage/frame_reader.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"

namespace reader_test {

using platform::CTime;
using testsupport::LocalSeconds;

constexpr uint32_t kFrameBufferSize = 614400;

inline int32_t At(int hour, int minute, int second = 0) {
  return LocalSeconds(2024, 3, 5, hour, minute, second);
}

// What the reader handed out, in order: frames from ReadNextFrame and key frames through
// the callback.
struct Event {
  bool injected = false;
  std::vector<uint8_t> bytes;
};

class FrameReaderTest : public ::testing::Test,
                        public storage::FrameSink,
                        public storage::Reporter {
 protected:
  // Builds the catalogue of the listed pairs (source mode 0).
  void BuildList(const std::vector<std::string>& titles) {
    for (const std::string& title : titles) catalog_->AddIndexFile(dir_.path(), title + ".FIH");
    ASSERT_EQ(catalog_->Build(), 1);
  }
  // Writes each builder as <title>.VDB/.FIH and catalogues them in this order.
  void WriteList(const std::vector<std::pair<const DataFileBuilder*, std::string>>& files) {
    std::vector<std::string> titles;
    for (const auto& [file, title] : files) {
      file->Write(dir_.path(), title);
      titles.push_back(title);
    }
    BuildList(titles);
  }

  void OnPrecedingKeyFrame(const uint8_t* frame, int32_t length) override {
    events_.push_back({true, std::vector<uint8_t>(frame, frame + length)});
  }
  void Corruption(const std::string& file, uint64_t, storage::RecordStatus status) override {
    EXPECT_FALSE(file.empty());
    ++damage_[static_cast<size_t>(status)];
  }

  // Reads at `rate` until the day's data ends; every frame becomes an event.
  void ReadToEnd(float rate, uint32_t capacity = kFrameBufferSize) {
    reader_->SetPlayRate(rate);
    std::vector<uint8_t> buffer(capacity);
    for (int guard = 0; guard < 100000; ++guard) {
      const int32_t n = reader_->ReadNextFrame(buffer.data(), capacity);
      maxOpenFiles_ = std::max(maxOpenFiles_, reader_->OpenDataFileCount());
      if (n < 0) return;
      if (n > 0)
        events_.push_back({false, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
    }
    FAIL() << "the reader did not reach the end of the day";
  }

  // Opens the day of `time` and reads all of it at `rate`.
  void PlayDay(int32_t time, float rate = 1.0f) {
    ASSERT_EQ(reader_->OpenDay(CTime(time)), 1);
    ReadAll(rate);
  }
  // Reads the open day again at `rate`, backwards from its end; earlier events are dropped.
  void ReadAll(float rate) {
    events_.clear();
    ASSERT_TRUE(rate > 0 || reader_->ResetReadPosition(-1) == 1);
    ReadToEnd(rate);
  }

  // One frame read now at `rate`.
  std::vector<uint8_t> NextFrame(float rate) {
    reader_->SetPlayRate(rate);
    std::vector<uint8_t> buffer(kFrameBufferSize);
    const int32_t n = reader_->ReadNextFrame(buffer.data(), kFrameBufferSize);
    if (n <= 0) return {};
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
  }

  static int32_t TimeOf(const std::vector<uint8_t>& frame) {
    if (frame.size() < sizeof(storage::FrameHeader)) return 0;
    storage::FrameHeader header;
    std::memcpy(&header, frame.data(), sizeof(header));
    return header.time;
  }

  // Expected events: frames of the builders, (builder, record) pairs; injected ones marked.
  struct Expect {
    const DataFileBuilder* file;
    size_t record;
    bool injected = false;
  };
  void ExpectEvents(const std::vector<Expect>& expected) {
    ASSERT_EQ(events_.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(events_[i].injected, expected[i].injected) << "event " << i;
      EXPECT_EQ(events_[i].bytes, expected[i].file->Frame(expected[i].record)) << "event " << i;
    }
  }

  testsupport::ScopedTimeZone tz_{"UTC"};
  testsupport::ScratchDir dir_;
  std::unique_ptr<CFileCatalog> catalog_ = std::make_unique<CFileCatalog>();
  // Hands injected key frames to OnPrecedingKeyFrame and damage to Corruption.
  std::unique_ptr<storage::CFrameReader> reader_ =
      std::make_unique<storage::CFrameReader>(&catalog_->view, this, this);
  std::array<int, 6> damage_{};  // reports per RecordStatus
  std::vector<Event> events_;
  int32_t maxOpenFiles_ = 0;  // the most data files the catalogue held open while reading
};

}  // namespace reader_test
