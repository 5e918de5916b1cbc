// Shared helpers of the recording tests: a recorder made through the exports in a fresh
// directory, a controllable wall clock, a log of the host events, descriptors as a host
// fills them, and readers that take the data and index files apart from their bytes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/mutex.h"
#include "recorder.h"
#include "recorder/recorder.h"
#include "storage/formats.h"
#include "storage/summary_builder.h"
#include "support/event_log.h"
#include "support/frames.h"
#include "support/scoped_env.h"
#include "support/scratch_dir.h"
#include "support/stored_files.h"
#include "support/wait_until.h"

namespace rectest {

using testsupport::AudioFrame;
using testsupport::EventLog;
using HostEvent = testsupport::RecorderEvent;
using testsupport::FileSize;
using testsupport::g_testNow;
using testsupport::IndexFileView;
using testsupport::LocalSeconds;
using testsupport::Pattern;
using testsupport::ReadBytes;
using testsupport::ReadIndexedRecords;
using testsupport::ReadIndexFile;
using testsupport::ReadRecords;
using testsupport::ReadSummary;
using testsupport::ScanRecords;
using testsupport::ScratchDir;
using testsupport::StoredRecord;
using testsupport::VideoFrame;
using testsupport::WaitUntil;

// The summary the writer's rules give for records in file order.
inline storage::IndexSummary ReplaySummary(const std::vector<StoredRecord>& records) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  storage::SummaryBuilder builder(&s);
  for (const StoredRecord& r : records) {
    builder.Add(r.header, static_cast<uint32_t>(r.body.size()) + storage::kRecordOverhead);
  }
  return s;
}

inline void ExpectSummaryEq(const storage::IndexSummary& actual,
                            const storage::IndexSummary& expected) {
  const auto head = [](const storage::IndexSummary& s) {
    return std::make_tuple(s.startTime, s.endTime, s.dataBytes, s.lastEntry);
  };
  const auto fields = [](const storage::IndexEntry& e) {
    return std::make_tuple(e.time, e.bytes, e.reason1Mask, e.reason2Mask, e.reason4Mask,
                           e.audioMask);
  };
  EXPECT_EQ(head(actual), head(expected));
  for (uint32_t i = 0; i < storage::kIndexEntryCount; ++i) {
    EXPECT_EQ(fields(actual.entries[i]), fields(expected.entries[i])) << "entry " << i;
  }
}

inline std::vector<int32_t> TimesOf(const std::vector<StoredRecord>& records) {
  std::vector<int32_t> times;
  for (const StoredRecord& r : records) times.push_back(r.header.time);
  return times;
}

// A recorder made through _RECORDER_INIT in a fresh directory, with the UTC zone and the
// fake clock. Tests that need the writer's steps directly reach the object behind the
// handle.
class RecorderTest : public ::testing::Test {
 protected:
  explicit RecorderTest(const char* zone = "UTC") : zone_(zone) {}

  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    handle_ =
        _RECORDER_INIT("writer-test", reinterpret_cast<uintptr_t>(&log_), &EventLog::Callback);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) _RECORDER_END(handle_);
  }

  CRecorder& Rec() { return *static_cast<CRecorder*>(CRecorderBase::FromHandle(handle_)); }

  std::string DataPath(int n) const { return dir_ / ("file" + std::to_string(n) + ".VDB"); }
  std::string IndexPath(int n) const { return dir_ / ("file" + std::to_string(n) + ".FIH"); }

  // n data files of the rotation set, every channel switched on.
  void AddFiles(int n) {
    for (int i = 0; i < n; ++i) _RECORDER_ADDFILEPATH(handle_, DataPath(i).c_str());
    for (uint32_t c = 0; c < 32; ++c) _RECORDER_SETRECORD(handle_, c, 1);
  }

  // Waits until the writer threads have taken every record out of both rings.
  void Drain() {
    ASSERT_TRUE(WaitUntil([&] {
      return Rec().videoSlots->Count() == CRecorderBase::kRingSlots &&
             Rec().audioSlots->Count() == CRecorderBase::kRingSlots;
    }));
  }

  // Hands one record straight to the writer, as a writer thread does.
  void Feed(int32_t time, uint32_t type = 1, uint32_t channel = 0, uint32_t payloadLength = 100,
            uint8_t reason = 1) {
    const std::vector<uint8_t> payload = Pattern(payloadLength, static_cast<uint32_t>(time));
    storage::RecordFields fields;
    fields.channel = channel;
    fields.time = time;
    fields.type = type;
    fields.keyFrame = true;
    fields.reason = reason;
    std::vector<uint8_t> record(storage::VideoRecordSize(payloadLength, true));
    ASSERT_EQ(storage::BuildVideoRecord(record.data(), record.size(), fields, payload.data(),
                                        payload.size()),
              record.size());
    platform::MutexLock hold(&Rec().writeLock);
    Rec().WriteFrame(record.data(), static_cast<uint32_t>(record.size()));
  }

  storage::IndexSummary MemorySummary() {
    platform::MutexLock hold(&Rec().writeLock);
    return Rec().currentIndexRecord.summary;
  }

  testsupport::ScopedTimeZone zone_;
  testsupport::ScopedTestClock clock_{LocalSeconds(2024, 3, 10, 10, 0, 0)};
  ScratchDir dir_;
  EventLog log_;
  RECORDER_HANDLE handle_ = nullptr;
};

}  // namespace rectest
