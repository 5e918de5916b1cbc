// Crash consistency of the recording files: a child process records deterministic frames on
// eight channels into a rotation set of four files and is killed with SIGKILL at a random
// moment; the parent then reads every data file up to its index's dataBytes and checks that
// each record is intact, is a frame the child sent, and that each channel's frames follow
// one another without a gap. Each run continues the same set (the start-up scan picks the
// file after the newest), so files are reused and rotated across crashes.
//
// The child drives the recorder's clock: every step of frames is one minute later, so each
// step is a buffer write and a new index entry, and a file rotates after 119 steps.
//
// RECORDER_CRASH_RUNS selects the number of runs (default 5; the long version uses 20), and
// RECORDER_CRASH_SEED the kill points (printed, a new one each run by default).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <random>

#include "support/recording_host.h"

namespace {

using namespace testsupport;

constexpr uint32_t kChannels = 8;
constexpr int kFiles = 4;

// What the child has handed over, per channel, video and audio, and the steps it finished;
// shared with the parent through an anonymous mapping.
struct ChildProgress {
  std::atomic<uint32_t> accepted[kChannels][2];
  std::atomic<uint32_t> step;
};

// The payload of frame `seq` of (run, channel, kind): a 16-byte id, then bytes drawn from it.
std::vector<uint8_t> MakePayload(uint32_t run, uint32_t channel, uint32_t kind, uint32_t seq) {
  const uint32_t mix = run * 7919u + channel * 104729u + kind * 31u + seq * 2654435761u;
  std::vector<uint8_t> payload = Pattern(kind == 0 ? 200 + mix % 3000 : 64 + mix % 600, mix);
  const uint32_t id[4] = {run, channel, kind, seq};
  std::memcpy(payload.data(), id, sizeof(id));
  return payload;
}

// The child: records run `run` on the day after the previous run's until it is killed (or for
// at most 60 s of wall time).
[[noreturn]] void RecordUntilKilled(const std::string& dir, uint32_t run, ChildProgress* progress) {
  // The child never outlives the test process.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() == 1) _exit(5);
  const int32_t day = LocalSeconds(2024, 1, 1, 0, 0) + static_cast<int32_t>(run) * 86400;
  ScopedTestClock clock(day);
  RECORDER_HANDLE recorder = _RECORDER_INIT("crash", 0, nullptr);
  for (int i = 0; i < kFiles; ++i)
    _RECORDER_ADDFILEPATH(recorder, (dir + std::to_string(i) + ".VDB").c_str());
  for (uint32_t ch = 0; ch < kChannels; ++ch) _RECORDER_SETRECORD(recorder, ch, 1);
  if (_RECORDER_START(recorder) == 0) _exit(3);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int32_t step = 0; std::chrono::steady_clock::now() < deadline; ++step) {
    g_testNow = day + std::min(step, 23 * 60 + 59) * 60;
    for (uint32_t ch = 0; ch < kChannels; ++ch)
      for (uint32_t kind : {0u, 0u, 1u}) {  // two video frames and an audio frame
        const uint32_t n = progress->accepted[ch][kind].load();
        const std::vector<uint8_t> payload = MakePayload(run, ch, kind, n);
        auto d = kind == 0 ? VideoFrame(payload, 0, 1, n % 10 == 0) : AudioFrame(payload);
        const auto write = kind == 0 ? _RECORDER_WRITEVIDEO : _RECORDER_WRITEAUDIO;
        if (write(recorder, ch, &d) != 1) _exit(4);
        progress->accepted[ch][kind].store(n + 1);
      }
    progress->step.store(static_cast<uint32_t>(step) + 1);
  }
  _exit(0);
}

// Reads every data file up to its index's dataBytes with the stored-format parsers (each
// record whole and a frame a child sent), in the order the files were started, and checks
// that the frames of run `run`, which just crashed, follow one another per channel and kind
// from the first without a gap, up to at most what the child handed over. Returns the frames
// lost at the tail.
uint64_t VerifyAfterCrash(const std::string& dir, uint32_t run, const ChildProgress& progress) {
  // The closer creates the next pair ahead of time and a rotation writes the fresh index
  // record after its header: a crash may leave an index file shorter than a whole record.
  // Such a file claims no records, and its data file is not read. Files of earlier runs were
  // checked after their own crash; a later run only ever rewrites a file from its start.
  std::vector<std::pair<storage::IndexSummary, std::string>> files;
  for (int f = 0; f < kFiles; ++f) {
    const std::string data = dir + std::to_string(f) + ".VDB";
    const IndexFileView view = ReadIndexFile(storage::IndexFileName(data));
    if (view.complete) files.emplace_back(view.record.summary, data);
  }
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.first.startTime < b.first.startTime; });
  uint32_t next[kChannels][2] = {};
  for (const auto& [summary, data] : files) {
    EXPECT_EQ(EntryBytes(summary), summary.dataBytes) << data << ": the minute entries disagree";
    for (const StoredRecord& record : ReadRecords(data, summary.dataBytes)) {
      const bool video = record.header.type == 1;
      const std::vector<uint8_t> payload = video ? record.VideoPayload() : record.body;
      uint32_t id[4] = {~0u};
      if (payload.size() >= sizeof(id)) std::memcpy(id, payload.data(), sizeof(id));
      // A frame a child sent, on its channel and of its kind, whole.
      const bool sent = id[0] <= run && id[1] == record.header.channel && id[1] < kChannels &&
                        id[2] == (video ? 0u : 1u) && (video || record.header.type == 0) &&
                        payload == MakePayload(id[0], id[1], id[2], id[3]);
      EXPECT_TRUE(sent) << data << " at " << record.offset;
      if (!sent || id[0] != run) continue;
      EXPECT_EQ(id[3], next[id[1]][id[2]]) << data << " at " << record.offset << ": a gap";
      next[id[1]][id[2]] = id[3] + 1;
    }
  }
  uint64_t lost = 0;
  for (uint32_t ch = 0; ch < kChannels; ++ch)
    for (uint32_t kind = 0; kind < 2; ++kind) {
      const uint32_t accepted = progress.accepted[ch][kind].load();
      EXPECT_LE(next[ch][kind], accepted) << "a frame the child never sent";
      lost += accepted - std::min(next[ch][kind], accepted);
    }
  return lost;
}

uint32_t FromEnv(const char* name, uint32_t fallback) {
  const char* text = ::getenv(name);
  return text != nullptr ? static_cast<uint32_t>(std::atoll(text)) : fallback;
}

TEST(CrashConsistencyTest, EveryRecordUpToDataBytesSurvivesSigkill) {
  ScopedTimeZone zone("UTC");
  ScratchDir scratch;
  auto* progress = static_cast<ChildProgress*>(::mmap(
      nullptr, sizeof(ChildProgress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(progress, MAP_FAILED);
  const uint32_t runs = FromEnv("RECORDER_CRASH_RUNS", 5);
  const uint32_t seed = FromEnv("RECORDER_CRASH_SEED", static_cast<uint32_t>(::time(nullptr)));
  std::mt19937 random(seed);
  std::printf("crash runs: %u, RECORDER_CRASH_SEED=%u\n", runs, seed);
  for (uint32_t run = 0; run < runs && !HasFailure(); ++run) {
    new (progress) ChildProgress{};
    // Kill before the first rotation, around it, or after several.
    const uint32_t killStep = random() % 300, extraMs = random() % 20;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) RecordUntilKilled(scratch.path(), run, progress);
    // A child that ends by itself stops counting steps: it is found after the 60 s.
    WaitUntil([&] { return progress->step.load() >= killStep; }, 60000);
    std::this_thread::sleep_for(std::chrono::milliseconds(extraMs));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // Exit status 3: START failed; 4: a frame was refused.
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself, status " << status;
    const uint64_t lost = VerifyAfterCrash(scratch.path(), run, *progress);
    std::printf("crash %2u: killed after %4u steps, %4llu frames lost at the tail\n", run,
                progress->step.load(), static_cast<unsigned long long>(lost));
    // What a crash may cost: the records of the last step or two that sat in the write buffer
    // (and whose summary was not yet rewritten) plus what was still in the two rings.
    EXPECT_LE(lost, 3u * kChannels * 3 + 64u) << "run " << run;
  }
  ::munmap(progress, sizeof(ChildProgress));
}

}  // namespace
