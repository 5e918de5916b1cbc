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
std::string g_dir;  // the scratch directory of the recording, with a trailing '/'

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "make_fuzz_corpus: %s\n", what.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);
  std::exit(1);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + path);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

template <typename T>
Bytes AsBytes(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(p, p + sizeof(T));
}

std::string DataPath(int n) { return g_dir + "000" + std::to_string(n) + ".VDB"; }
std::string HeaderPath() { return g_dir + "hdr"; }
int64_t Local(int month, int day, int hour, int minute, int second) {
  return platform::CTime::FromLocal(2024, month, day, hour, minute, second).seconds();
}

RECORDER_HANDLE g_recorder = nullptr;
uint64_t g_expected = 0;  // bytes sent to the file being recorded

// A header file listing three data files, every summary empty.
Bytes MakeHeaderFile() {
  storage::HeaderFileHead head{};
  head.recordCount = 3;
  Bytes file = AsBytes(head);
  for (int n = 1; n <= 3; ++n) {
    storage::FileInfo info{};
    storage::SetFileInfoPath(&info, DataPath(n));
    info.summary = storage::MakeEmptySummary();
    file = Concat({file, AsBytes(info)});
  }
  WriteFile(HeaderPath(), file);
  return file;
}

void WriteVideo(uint32_t channel, int index, bool key) {
  Bytes payload(24 + index % 40, static_cast<uint8_t>(index));
  FrameDescriptor d{};
  d.type = index % 3 == 2 ? 2 : 1;
  d.keyFlag = key ? 1 : 0;
  d.tag = 0x11000000u + static_cast<uint32_t>(index);
  d.subTypeWord = static_cast<uint32_t>(index);
  d.statSize = d.dataEnd = static_cast<uint32_t>(payload.size());
  d.videoData = payload.data();
  d.triggerA = channel == 3 && index % 2 == 0;
  d.triggerB = channel == 3 && index % 3 == 0;
  // Channel 3 takes in only frames that carry a trigger.
  const bool stored = channel != 3 || d.triggerA != 0 || d.triggerB != 0;
  if (_RECORDER_WRITEVIDEO(g_recorder, channel, &d) != (stored ? 1 : 0)) Fail("video frame");
  if (stored) g_expected += storage::VideoRecordSize(payload.size(), key);
}

// Audio through the recording-data export, so every record passes the one writer thread
// in the order written (a day change then splits the files exactly).
void WriteAudio(uint32_t channel, int index) {
  Bytes payload(32, static_cast<uint8_t>(0x80 + index));
  FrameDescriptor d{};
  d.kind = 1;
  d.dataEnd = static_cast<uint32_t>(payload.size());
  d.audioData = payload.data();
  if (_RECORDER_WRITERECDATA(g_recorder, channel, &d) != 1) Fail("audio frame refused");
  g_expected += storage::AudioRecordSize(payload.size());
}

// Frames at every tenth second of the next `seconds` from the current time.
void RecordSeconds(int seconds) {
  const int64_t base = g_now.load();
  for (int s = 0; s < seconds; s += 10) {
    g_now.store(base + s);
    for (uint32_t ch = 0; ch < 4; ++ch) WriteVideo(ch, s / 10, (s / 10) % 4 == 0);
    if (s % 30 == 0) WriteAudio(2, s);
  }
}

// A frame at `when` writes out what came before it (at a change of day it rotates to the
// next file and is itself not stored): the summary of header record `record` must then
// show every byte sent to it.
void Finish(int64_t when, int record) {
  g_now.store(when);
  const uint64_t finished = g_expected;
  WriteVideo(0, 0, true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const uint64_t at = storage::HeaderFileSummaryOffset(static_cast<uint64_t>(record));
  for (storage::IndexSummary summary{}; summary.dataBytes < finished;) {
    if (std::chrono::steady_clock::now() > deadline)
      Fail("record " + std::to_string(record) + ": the recorded bytes never reached the header");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Bytes header = ReadFile(HeaderPath());
    if (header.size() >= at + storage::kIndexSummarySize)
      std::memcpy(&summary, header.data() + at, sizeof(summary));
  }
  g_expected = 0;
}

void Record() {
  g_recorder = _RECORDER_INIT("corpus", 0, nullptr);
  _RECORDER_SETHEADERFILEPATH(g_recorder, HeaderPath().c_str(), 1);
  for (uint32_t ch = 0; ch < 4; ++ch) _RECORDER_SETRECORD(g_recorder, ch, 1);
  _RECORDER_SETSTATUS(g_recorder, 3, 2 | 4);  // channel 3 records on triggers only
  g_now.store(Local(3, 30, 23, 57, 50));
  if (_RECORDER_START(g_recorder) != 1) Fail("recording does not start");
  RecordSeconds(130);  // 23:57:50 .. 23:59:59, three minute entries
  // 01:58 on the next day: that day's 02:00 does not exist, so 01:59 is followed by 03:00.
  Finish(Local(3, 31, 1, 58, 0), 0);
  RecordSeconds(180);
  Finish(Local(4, 1, 10, 0, 0), 1);
  RecordSeconds(50);
  Finish(g_now.load() + 1, 2);  // a frame in a later second writes the last second out
  _RECORDER_STOP(g_recorder);
  _RECORDER_END(g_recorder);
}

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
  if (::mkdtemp(pattern) == nullptr) return 1;
  g_dir = std::string(pattern) + "/";
  platform::SetNowSecondsForTest([] { return g_now.load(); });

  const Bytes blankHeader = MakeHeaderFile();
  Record();
  Bytes fih[3], r[3];  // the index files, and their records
  for (int n = 0; n < 3; ++n) {
    fih[n] = ReadFile(storage::IndexFileName(DataPath(n + 1)));
    if (fih[n].size() != storage::kIndexFileSize) Fail("an index file is not whole");
    r[n] = Bytes(fih[n].begin() + storage::kIndexRecordOffset, fih[n].end());
  }
  Bytes header = ReadFile(HeaderPath());
  platform::SetNowSecondsForTest(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);

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
  Bytes unrecordedHeader = blankHeader;
  for (uint64_t n = 0; n < 3; ++n) {
    for (Bytes* b : {&header, &unrecordedHeader}) {
      auto* info =
          reinterpret_cast<storage::FileInfo*>(b->data() + storage::HeaderFileInfoOffset(n));
      storage::SetFileInfoPath(info, "D:\\rec\\000" + std::to_string(n + 1) + ".VDB");
    }
  }
  WriteFile(out + "header_file/recorded", header);
  WriteFile(out + "header_file/never_recorded", unrecordedHeader);
  std::memset(header.data() + storage::HeaderFileInfoOffset(1), 0, storage::kFileInfoPathSize);
  WriteFile(out + "header_file/empty_record", header);
  return 0;
}
