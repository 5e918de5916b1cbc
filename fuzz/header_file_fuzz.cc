// Fuzz target of the start-up scan of a header file: the input is a header file (1,296-byte
// head, then 3,156-byte FileInfo records). One recorder, made once, is pointed at it
// (header-file source), started, given a stream header, stopped, and started and stopped
// once more on the summaries the first run wrote back.
//
// Every data file path in the input is rewritten into the scratch directory before the
// file is written: only the last path component is kept, reduced to letters, digits, '.',
// '_' and '-', never starting with '.'. A path field without a terminator stays without
// one (the name is padded to fill all 260 bytes). Every path the recorder reports in an
// event, and the file it records into, must lie inside the scratch directory.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_scratch.h"
#include "recorder.h"
#include "storage/formats.h"

namespace {

constexpr size_t kMaxNameLength = 24;
const char kHeaderFileName[] = "hdr";
RECORDER_HANDLE g_recorder = nullptr;

bool InsideScratch(const char* path, size_t length) {
  const std::string& dir = fuzz::ScratchDir();
  return length > dir.size() && std::memcmp(path, dir.data(), dir.size()) == 0 &&
         std::strstr(path, "/..") == nullptr;
}

void OnEvent(RECORDER_HANDLE, uintptr_t, int32_t code, int32_t, const char* path,
             int32_t pathLength) {
  if (code < 1 || code > 3 || path == nullptr || pathLength < 0) abort();
  if (std::strlen(path) != static_cast<size_t>(pathLength)) abort();
  // A data file name without a '.' has no index file name: its failed open names nothing.
  if (pathLength == 0 && code == RECORDER_EVENT_FILE_OPENED) return;
  if (!InsideScratch(path, static_cast<size_t>(pathLength))) abort();
}

std::string SafeName(const char* field, size_t length) {
  size_t begin = 0;
  for (size_t i = 0; i < length; ++i) {
    if (field[i] == '/' || field[i] == '\\') begin = i + 1;
  }
  std::string name;
  for (size_t i = begin; i < length && name.size() < kMaxNameLength; ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    name.push_back(plain ? static_cast<char>(c) : '_');
  }
  if (name.empty() || name[0] == '.') name.insert(name.begin(), 'x');
  return name;
}

// Rewrites the path field of every whole or partial record present in the input.
void KeepPathsInside(std::vector<uint8_t>* file) {
  const std::string& dir = fuzz::ScratchDir();
  for (size_t at = storage::kHeaderFileHeadSize; at < file->size(); at += storage::kFileInfoSize) {
    char* field = reinterpret_cast<char*>(file->data() + at);
    const size_t available = std::min<size_t>(storage::kFileInfoPathSize, file->size() - at);
    const size_t length = strnlen(field, available);
    if (length == 0) continue;  // an empty record stays empty
    const bool terminated = length < storage::kFileInfoPathSize;
    std::string path = dir + SafeName(field, length);
    if (!terminated) path.resize(storage::kFileInfoPathSize, 'a');
    std::memset(field, 0, available);
    std::memcpy(field, path.data(), std::min(path.size(), available));
  }
}

void CheckRecordingFile() {
  char current[512];
  if (_RECORDER_GETCURRENTRECFILE(g_recorder, current, sizeof(current)) == 1 &&
      !InsideScratch(current, std::strlen(current))) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize("Europe/Berlin");
  g_recorder = _RECORDER_INIT("fuzz", 0, &OnEvent);
  if (g_recorder == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);
  KeepPathsInside(&file);
  fuzz::EmptyScratchDir();
  fuzz::WriteScratchFile(kHeaderFileName, file.data(), file.size());

  const std::string headerPath = fuzz::ScratchDir() + kHeaderFileName;
  _RECORDER_SETHEADERFILEPATH(g_recorder, headerPath.c_str(), 1);
  for (int run = 0; run < 2; ++run) {
    if (_RECORDER_START(g_recorder) == 1) {
      CheckRecordingFile();
      // Some bytes of the input as the stream header: it rewrites the summary of the
      // record being recorded, in the index file and in the header file.
      const uint32_t count = static_cast<uint32_t>(std::min<size_t>(size, 64));
      _RECORDER_WRITESTREAMHEADER(g_recorder, 0, data, count, 0);
    }
    _RECORDER_STOP(g_recorder);
  }
  return 0;
}
