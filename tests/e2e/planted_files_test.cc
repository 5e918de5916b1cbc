// Files planted in the recording directory by someone who can write it: a symbolic link (to
// a file outside, dangling, or only as the next file of the set), a hard link to a file
// outside, a FIFO. The recorder runs as whoever starts it, so through any of these it could
// overwrite, grow or create a file anywhere; it must refuse each with an event and leave the
// file outside as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/data_file_reserve.h"
#include "support/recording_host.h"

namespace {

using namespace testsupport;

enum class Plant { kLink, kDanglingLink, kHardLink, kFifo };

struct Row {
  const char* name;
  Plant plant;
  int file;    // which data file of the set of two is planted
  bool index;  // the planted name is the index file of that data file
  int error;   // errno of the refusal event
  // START still records (into the other file, which the set changes from at midnight, or
  // without the index file).
  bool startRecords;
};

// Records a few seconds before midnight and a few after, so the set changes to file 1.
void RecordAcrossMidnight(RecordingHost& host) {
  const int32_t midnight = LocalSeconds(2024, 3, 11, 0, 0, 0);
  for (int32_t t = midnight - 3; t < midnight + 3; ++t) {
    host.SetTime(t);
    for (uint32_t c = 0; c < 2; ++c) host.Video(c, 300, true, static_cast<uint32_t>(t));
    host.Drain();
  }
}

TEST(PlantedFilesTest, ALinkOrFifoInTheSetIsRefusedWithAnEventAndTheFileOutsideIsNeverTouched) {
  const Row rows[] = {
      {"link to a file as the first file", Plant::kLink, 0, false, ELOOP, false},
      {"dangling link as the first file", Plant::kDanglingLink, 0, false, ELOOP, false},
      {"link as only the next file", Plant::kLink, 1, false, ELOOP, true},
      {"link as an index file", Plant::kLink, 0, true, ELOOP, true},
      {"hard link to a file outside", Plant::kHardLink, 0, false, EMLINK, true},
      {"FIFO as the first file", Plant::kFifo, 0, false, EINVAL, false},
  };
  const ScopedDataFileReserve reserve(1 << 16);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ScratchDir outside;
    const std::string victim = outside / "victim", missing = outside / "never";
    WriteBytes(victim, Pattern(1000, 5));
    RecordingHost host("UTC", LocalSeconds(2024, 3, 10, 23, 59, 50));
    host.AddFiles(2, 2);
    const std::string planted = r.index ? host.Index(r.file) : host.Data(r.file);
    const char* at = planted.c_str();
    ASSERT_EQ(r.plant == Plant::kFifo ? ::mkfifo(at, 0600)
              : r.plant == Plant::kHardLink
                  ? ::link(victim.c_str(), at)
                  : ::symlink((r.plant == Plant::kLink ? victim : missing).c_str(), at),
              0);
    EXPECT_EQ(_RECORDER_START(host.handle), r.startRecords ? 1 : 0);
    if (r.startRecords) RecordAcrossMidnight(host);
    host.End();

    EXPECT_TRUE(ReadBytes(victim) == Pattern(1000, 5)) << "the file outside changed";
    EXPECT_FALSE(std::filesystem::exists(missing));
    bool refused = false;
    for (const RecorderEvent& e : host.log.Events()) {
      if (e.path != planted) continue;
      EXPECT_TRUE(e.code == RECORDER_EVENT_FILE_OPENED && e.status == -1) << e.code;
      refused = refused || e.error == r.error;
    }
    EXPECT_TRUE(refused) << "no refusal naming " << planted;
    if (r.startRecords && !r.index) {
      EXPECT_GT(ReadIndexedRecords(host.Data(1 - r.file)).size(), 0u);
    }
  }
}

}  // namespace
