// Shared helpers of the recording tests: a recorder made through the exports in a fresh
// directory, a controllable wall clock, a log of the host events, descriptors as a host
// fills them, and readers that take the data and index files apart from their bytes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/event_lock.h"
#include "platform/clock.h"
#include "platform/local_time.h"
#include "platform/scratch_dir.h"
#include "platform/wait_until.h"
#include "recorder.h"
#include "recorder/recorder.h"
#include "storage/formats.h"

namespace rectest {

// The wall clock that intake stamps, driven by the test.
inline std::atomic<int64_t> g_fakeNow{0};
inline int64_t FakeNow() { return g_fakeNow.load(); }

// Sets TZ for the test's lifetime and installs the fake wall clock.
class ZoneAndClock {
 public:
  explicit ZoneAndClock(const char* zone) {
    const char* old = getenv("TZ");
    if (old != nullptr) saved_ = std::string(old);
    setenv("TZ", zone, 1);
    tzset();
    platform::SetNowSecondsForTest(&FakeNow);
  }
  ~ZoneAndClock() {
    platform::SetNowSecondsForTest(nullptr);
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

inline int32_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  return platform::CTime::FromLocal(year, month, day, hour, minute, second).seconds();
}

struct HostEvent {
  int32_t code;
  int32_t status;
  std::string path;
};

// Collects the recorder's host events; the context given to _RECORDER_INIT points at it.
class EventLog {
 public:
  static void Callback(RECORDER_HANDLE, uintptr_t context, int32_t code, int32_t status,
                       const char* path, int32_t length) {
    auto* log = reinterpret_cast<EventLog*>(context);
    std::lock_guard<std::mutex> hold(log->mu_);
    log->events_.push_back(
        {code, status, path != nullptr ? std::string(path, static_cast<size_t>(length)) : ""});
  }
  std::vector<HostEvent> Events() {
    std::lock_guard<std::mutex> hold(mu_);
    return events_;
  }
  size_t Count(int32_t code, int32_t status, const std::string& path) {
    size_t n = 0;
    for (const HostEvent& e : Events()) n += e.code == code && e.status == status && e.path == path;
    return n;
  }

 private:
  std::mutex mu_;
  std::vector<HostEvent> events_;
};

// A payload whose bytes tell frames apart.
inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// A video descriptor as a host fills it; the payload sits at dataStart of `buffer`.
inline FrameDescriptor VideoFrame(const std::vector<uint8_t>& buffer, uint32_t dataStart,
                                  uint32_t type = 1, bool key = true, uint32_t triggerA = 0,
                                  uint32_t triggerB = 0) {
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = type;
  d.dataStart = dataStart;
  d.dataEnd = static_cast<uint32_t>(buffer.size());
  d.keyFlag = key ? 1 : 0;
  d.tag = 0xA0000000u | type;
  d.subTypeWord = 0x1234;
  d.statSize = static_cast<uint32_t>(buffer.size()) - dataStart;
  d.triggerA = triggerA;
  d.triggerB = triggerB;
  d.videoData = buffer.data();
  return d;
}

inline FrameDescriptor AudioFrame(const std::vector<uint8_t>& buffer, uint32_t type = 0) {
  FrameDescriptor d;
  std::memset(&d, 0, sizeof(d));
  d.type = type;
  d.dataStart = 0;
  d.dataEnd = static_cast<uint32_t>(buffer.size());
  d.subTypeWord = 0x56;
  d.audioData = buffer.data();
  return d;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, uint64_t count) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(count);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

inline uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

struct IndexFileView {
  storage::FileHeader header{};
  storage::IndexRecord record{};
  bool complete = false;
};

inline IndexFileView ReadIndexFile(const std::string& path) {
  IndexFileView view;
  const std::vector<uint8_t> bytes = ReadBytes(path, 0, storage::kIndexFileSize);
  if (bytes.size() != storage::kIndexFileSize) return view;
  std::memcpy(&view.header, bytes.data(), sizeof(view.header));
  std::memcpy(&view.record, bytes.data() + storage::kIndexRecordOffset, sizeof(view.record));
  view.complete = true;
  return view;
}

// A record read back from a data file.
struct StoredRecord {
  uint64_t offset = 0;
  storage::FrameHeader header{};
  std::vector<uint8_t> body;
};

// The records of `length` bytes from offset 0 of a data file; every one must parse.
inline std::vector<StoredRecord> ReadRecords(const std::string& dataPath, uint64_t length) {
  std::vector<StoredRecord> records;
  const std::vector<uint8_t> bytes = ReadBytes(dataPath, 0, length);
  EXPECT_EQ(bytes.size(), length) << dataPath;
  uint64_t at = 0;
  while (at < bytes.size()) {
    storage::RecordView view;
    const storage::RecordStatus status =
        storage::ParseRecord(bytes.data() + at, bytes.size() - at, &view);
    EXPECT_EQ(status, storage::RecordStatus::kOk) << "record at " << at << " of " << dataPath;
    if (status != storage::RecordStatus::kOk) break;
    records.push_back(
        {at, view.header, std::vector<uint8_t>(view.body, view.body + view.bodySize)});
    at += view.recordSize;
  }
  return records;
}

// Records from offset 0 until the first that does not parse (for files without an index).
inline std::vector<StoredRecord> ScanRecords(const std::string& dataPath, uint64_t limit) {
  std::vector<StoredRecord> records;
  const std::vector<uint8_t> bytes = ReadBytes(dataPath, 0, limit);
  uint64_t at = 0;
  storage::RecordView view;
  while (at < bytes.size() && storage::ParseRecord(bytes.data() + at, bytes.size() - at, &view) ==
                                  storage::RecordStatus::kOk) {
    records.push_back(
        {at, view.header, std::vector<uint8_t>(view.body, view.body + view.bodySize)});
    at += view.recordSize;
  }
  return records;
}

// The summary the writer's rules give for records in file order: a new entry whenever the
// hour or minute differs from the previous record's.
inline storage::IndexSummary ReplaySummary(const std::vector<StoredRecord>& records) {
  storage::IndexSummary s = storage::MakeEmptySummary();
  platform::LocalFields last{};
  for (size_t i = 0; i < records.size(); ++i) {
    const storage::FrameHeader& h = records[i].header;
    const platform::LocalFields now = platform::CTime(h.time).Local();
    if (i == 0) {
      s.startTime = h.time;
      s.entries[0].time = h.time;
    } else if (now.hour != last.hour || now.minute != last.minute) {
      s.lastEntry += 1;
      s.entries[s.lastEntry].time = h.time;
    }
    last = now;
    storage::IndexEntry& e = s.entries[s.lastEntry];
    const uint32_t bit = 1u << h.channel;
    if (storage::IsStoredAudioType(h.type)) e.audioMask |= bit;
    if (h.reason & 1) e.reason1Mask |= bit;
    if (h.reason & 2) e.reason2Mask |= bit;
    if (h.reason & 4) e.reason4Mask |= bit;
    const uint32_t size = static_cast<uint32_t>(records[i].body.size()) + storage::kRecordOverhead;
    e.bytes += size;
    s.dataBytes += size;
    s.endTime = h.time;
  }
  return s;
}

inline void ExpectSummaryEq(const storage::IndexSummary& actual,
                            const storage::IndexSummary& expected) {
  EXPECT_EQ(actual.startTime, expected.startTime);
  EXPECT_EQ(actual.endTime, expected.endTime);
  EXPECT_EQ(actual.dataBytes, expected.dataBytes);
  EXPECT_EQ(actual.lastEntry, expected.lastEntry);
  for (uint32_t i = 0; i < storage::kIndexEntryCount; ++i) {
    const storage::IndexEntry& a = actual.entries[i];
    const storage::IndexEntry& b = expected.entries[i];
    EXPECT_TRUE(a.time == b.time && a.bytes == b.bytes && a.reason1Mask == b.reason1Mask &&
                a.reason2Mask == b.reason2Mask && a.reason4Mask == b.reason4Mask &&
                a.audioMask == b.audioMask)
        << "entry " << i << ": time " << a.time << "/" << b.time << " bytes " << a.bytes << "/"
        << b.bytes << " r1 " << a.reason1Mask << "/" << b.reason1Mask << " r2 " << a.reason2Mask
        << "/" << b.reason2Mask << " r4 " << a.reason4Mask << "/" << b.reason4Mask << " audio "
        << a.audioMask << "/" << b.audioMask;
  }
}

// A recorder made through _RECORDER_INIT in a fresh directory, with the UTC zone and the
// fake clock. Tests that need the writer's steps directly reach the object behind the
// handle.
class RecorderTest : public ::testing::Test {
 protected:
  explicit RecorderTest(const char* zone = "UTC") : zone_(zone) {}

  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    g_fakeNow = LocalTime(2024, 3, 10, 10, 0, 0);
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
    EventLockHolder hold(Rec().writeLock);
    Rec().WriteFrame(record.data(), static_cast<uint32_t>(record.size()));
  }

  storage::IndexSummary MemorySummary() {
    EventLockHolder hold(Rec().writeLock);
    return Rec().currentIndexRecord.summary;
  }

  ZoneAndClock zone_;
  ScratchDir dir_;
  EventLog log_;
  RECORDER_HANDLE handle_ = nullptr;
};

}  // namespace rectest
