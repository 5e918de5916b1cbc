// Makes the seed corpora of the catalogue and header-file fuzz targets from real recorded
// files: records a few minutes on four channels into a three-file rotation set named by a
// header file, rotating at two day changes (the second day is the one that starts daylight
// saving in Europe/Berlin), then cuts the index files and the header file into seeds.
//
//   make_fuzz_corpus <corpus directory>      (writes index_list/, index_file/, header_file/)
//
// The clock is driven, so the output is the same on every run.
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/local_time.h"
#include "recorder.h"
#include "storage/formats.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::atomic<int64_t> g_now{0};
int64_t DrivenNow() { return g_now.load(); }

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Slice(const Bytes& b, size_t from, size_t count) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

template <typename T>
Bytes AsBytes(const T& value) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &value, sizeof(T));
  return b;
}

class Session {
 public:
  explicit Session(std::string dir) : dir_(std::move(dir)) {}

  // A header file listing three data files, every summary empty.
  void MakeHeaderFile() {
    storage::HeaderFileHead head{};
    head.recordCount = 3;
    Bytes file = AsBytes(head);
    for (int n = 1; n <= 3; ++n) {
      storage::FileInfo info{};
      storage::SetFileInfoPath(&info, DataPath(n));
      info.summary = storage::MakeEmptySummary();
      const Bytes b = AsBytes(info);
      file.insert(file.end(), b.begin(), b.end());
    }
    WriteFile(HeaderPath(), file);
  }

  void Record() {
    recorder_ = _RECORDER_INIT("corpus", 0, nullptr);
    _RECORDER_SETHEADERFILEPATH(recorder_, HeaderPath().c_str(), 1);
    for (uint32_t ch = 0; ch < 4; ++ch) _RECORDER_SETRECORD(recorder_, ch, 1);
    _RECORDER_SETSTATUS(recorder_, 3, 2 | 4);  // channel 3 records on triggers only
    g_now.store(platform::CTime::FromLocal(2024, 3, 30, 23, 57, 50).seconds());
    if (_RECORDER_START(recorder_) != 1) Fail("recording does not start");

    RecordSeconds(0, 130);  // 23:57:50 .. 23:59:59, three minute entries
    // 01:58 on the next day: that day's 02:00 does not exist, so 01:59 is followed by 03:00.
    NextDay(platform::CTime::FromLocal(2024, 3, 31, 1, 58, 0).seconds(), 0);
    RecordSeconds(0, 180);
    NextDay(platform::CTime::FromLocal(2024, 4, 1, 10, 0, 0).seconds(), 1);
    RecordSeconds(0, 50);
    // One frame in a later second writes the last second out.
    g_now.fetch_add(1);
    const uint64_t written = expected_;
    WriteVideo(0, 0, true);
    expected_ = written;
    WaitForBytes(2);
    _RECORDER_STOP(recorder_);
    _RECORDER_END(recorder_);
  }

  std::string DataPath(int n) const { return dir_ + "000" + std::to_string(n) + ".VDB"; }
  std::string IndexPath(int n) const { return dir_ + "000" + std::to_string(n) + ".FIH"; }
  std::string HeaderPath() const { return dir_ + "hdr"; }

 private:
  [[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "make_fuzz_corpus: %s\n", what);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    std::exit(1);
  }

  void WriteVideo(uint32_t channel, int index, bool key) {
    Bytes payload(24 + index % 40, static_cast<uint8_t>(index));
    FrameDescriptor d{};
    d.type = index % 3 == 2 ? 2 : 1;
    d.keyFlag = key ? 1 : 0;
    d.tag = 0x11000000u + static_cast<uint32_t>(index);
    d.subTypeWord = static_cast<uint32_t>(index);
    d.statSize = static_cast<uint32_t>(payload.size());
    d.dataEnd = static_cast<uint32_t>(payload.size());
    d.videoData = payload.data();
    d.triggerA = channel == 3 && index % 2 == 0;
    d.triggerB = channel == 3 && index % 3 == 0;
    // Channel 3 takes in only frames that carry a trigger.
    const bool stored = channel != 3 || d.triggerA != 0 || d.triggerB != 0;
    if (_RECORDER_WRITEVIDEO(recorder_, channel, &d) != (stored ? 1 : 0)) Fail("video frame");
    if (stored) expected_ += storage::VideoRecordSize(payload.size(), key);
  }

  // Audio through the recording-data export, so every record passes the one writer thread
  // in the order written (a day change then splits the files exactly).
  void WriteAudio(uint32_t channel, int index) {
    Bytes payload(32, static_cast<uint8_t>(0x80 + index));
    FrameDescriptor d{};
    d.kind = 1;
    d.type = 0;
    d.dataEnd = static_cast<uint32_t>(payload.size());
    d.audioData = payload.data();
    if (_RECORDER_WRITERECDATA(recorder_, channel, &d) != 1) Fail("audio frame refused");
    expected_ += storage::AudioRecordSize(payload.size());
  }

  // Frames at every tenth second of [from, to) seconds after the current time.
  void RecordSeconds(int from, int to) {
    const int64_t base = g_now.load();
    for (int s = from; s < to; s += 10) {
      g_now.store(base + s);
      for (uint32_t ch = 0; ch < 4; ++ch) WriteVideo(ch, s / 10, (s / 10) % 4 == 0);
      if (s % 30 == 0) WriteAudio(2, s);
    }
  }

  // A frame on the next day rotates to the next file (and is itself not stored); the
  // finished file's summary must then show every byte sent to it.
  void NextDay(int64_t when, int finishedRecord) {
    g_now.store(when);
    const uint64_t finished = expected_;
    WriteVideo(0, 0, true);
    expected_ = finished;
    WaitForBytes(finishedRecord);
    expected_ = 0;
  }

  void WaitForBytes(int record) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      const Bytes header = ReadFile(HeaderPath());
      const uint64_t at = storage::HeaderFileSummaryOffset(static_cast<uint64_t>(record));
      if (header.size() >= at + storage::kIndexSummarySize) {
        storage::IndexSummary summary;
        std::memcpy(&summary, header.data() + at, sizeof(summary));
        if (summary.dataBytes >= expected_) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::fprintf(stderr, "record %d: expected %llu bytes\n", record,
                 static_cast<unsigned long long>(expected_));
    Fail("the recorded bytes never reached the header file");
  }

  std::string dir_;
  RECORDER_HANDLE recorder_ = nullptr;
  uint64_t expected_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const std::string out = std::string(argv[1]) + "/";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  char pattern[] = "/tmp/rectest_corpus_XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) return 1;
  const std::string dir = std::string(made) + "/";
  platform::SetNowSecondsForTest(&DrivenNow);

  Session session(dir);
  session.MakeHeaderFile();
  const Bytes blankHeader = ReadFile(session.HeaderPath());
  session.Record();
  const Bytes recordedHeader = ReadFile(session.HeaderPath());
  const Bytes fih[3] = {ReadFile(session.IndexPath(1)), ReadFile(session.IndexPath(2)),
                        ReadFile(session.IndexPath(3))};
  platform::SetNowSecondsForTest(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  for (const Bytes& f : fih) {
    if (f.size() != storage::kIndexFileSize) {
      std::fprintf(stderr, "an index file is not %u bytes\n", storage::kIndexFileSize);
      return 1;
    }
  }

  for (const char* sub : {"index_list", "index_file", "header_file"}) {
    std::filesystem::create_directories(out + sub);
  }
  // Index list: 8 parameter bytes, then the index files.
  WriteFile(out + "index_list/three_days",
            Concat({{2, 0, 0, 0, 0, 0, 0, 0}, fih[0], fih[1], fih[2]}));
  WriteFile(out + "index_list/three_days_dst_range",
            Concat({{2 | 8, 1, 3, 31, 2, 10, 27, 3}, fih[2], fih[1], fih[0]}));
  WriteFile(out + "index_list/one_file", Concat({{0, 0, 0, 0, 0, 0, 0, 0}, fih[1]}));
  WriteFile(out + "index_list/listed_twice_one_missing",
            Concat({{1 | 16, 4, 0, 0, 0, 0, 0, 0}, fih[0], fih[2]}));

  // One index file with several records: the recorder's own files, and multi-record files
  // made of their records.
  const Bytes r[3] = {Slice(fih[0], storage::kIndexRecordOffset, storage::kIndexRecordSize),
                      Slice(fih[1], storage::kIndexRecordOffset, storage::kIndexRecordSize),
                      Slice(fih[2], storage::kIndexRecordOffset, storage::kIndexRecordSize)};
  WriteFile(out + "index_file/single", fih[1]);
  WriteFile(out + "index_file/three_records",
            Concat({AsBytes(storage::MakeFileHeader(3)), r[0], r[1], r[2]}));
  WriteFile(out + "index_file/oldest_in_middle",
            Concat({AsBytes(storage::MakeFileHeader(3)), r[2], r[0], r[1]}));
  WriteFile(out + "index_file/count_beyond_file",
            Concat({AsBytes(storage::MakeFileHeader(9)), r[1], r[2]}));

  // Header files: as recorded, before recording, and with an empty record in the middle.
  // The scratch paths become fixed Windows-style ones, so the seeds are the same on every
  // run (the target moves every path into its own directory anyway).
  Bytes header = recordedHeader;
  Bytes unrecordedHeader = blankHeader;
  for (uint64_t n = 0; n < 3; ++n) {
    const std::string path = "D:\\rec\\000" + std::to_string(n + 1) + ".VDB";
    for (Bytes* b : {&header, &unrecordedHeader}) {
      storage::FileInfo info;
      std::memcpy(&info, b->data() + storage::HeaderFileInfoOffset(n), sizeof(info));
      storage::SetFileInfoPath(&info, path);
      std::memcpy(b->data() + storage::HeaderFileInfoOffset(n), &info, sizeof(info));
    }
  }
  WriteFile(out + "header_file/recorded", header);
  WriteFile(out + "header_file/never_recorded", unrecordedHeader);
  Bytes gap = header;
  std::memset(gap.data() + storage::HeaderFileInfoOffset(1), 0, storage::kFileInfoPathSize);
  WriteFile(out + "header_file/empty_record", gap);
  return 0;
}
