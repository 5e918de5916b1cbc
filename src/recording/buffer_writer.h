// CBufferWriter: writes the full write buffers of a recorder to its data file on a thread of
// its own, and the index summary that counts each buffer on a second thread, so that
//  - the video writer thread goes on taking records out of the ring (into a second buffer)
//    while the disk works: otherwise it sits in write and fdatasync for as long as an 8 MiB
//    block takes, the ring fills within a few frames, the host waits, and the disk then idles
//    while the next buffer is gathered;
//  - the summary of one buffer (a small write-through write and a flush into the index file,
//    and the header file) is on its way while the next buffer goes to the data file, instead
//    of the disk doing one after the other.
// A summary is written only after the data it counts has reached the disk, and summaries are
// written in order, so the index file never counts bytes the data file does not hold.
//
// The writer (writer.cc) hands over only buffers that are written because the
// next record would not fit; the writes at a change of second, minute or file, and every
// other use of the data, index and header files, stay on the writer thread and first wait for
// everything in flight (FinishBufferWrite). At most one buffer and one summary are in flight.
// Failures are settled on the writer thread under writeLock, as its own writes would be: a
// lost buffer is taken back out of the summary and reported, a failed summary reported.
//
// The files and the buffers of the jobs belong to the recorder, which never closes a file or
// reuses a buffer before what is in flight has ended; the threads are joined (bounded) when
// the recorder drops this object, at which point they are idle.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/file.h"
#include "platform/status.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "storage/formats.h"

class CBufferWriter {
 public:
  // One buffer write: `length` bytes of the fill buffer at `offset` of the data file, then
  // the summary at kIndexSummaryOffset of the index file and at headerOffset of the header
  // file (each when set), every write flushed.
  struct Job {
    platform::File* data = nullptr;
    uint64_t offset = 0;
    uint32_t length = 0;
    platform::File* index = nullptr;
    platform::File* header = nullptr;
    uint64_t headerOffset = 0;
    storage::IndexSummary summary{};
  };
  // What happened since the last look. The summary of a failed data write is not written.
  struct Outcome {
    bool dataFailed = false;
    uint64_t lostOffset = 0;      // where the failed buffer was to go
    uint32_t lostLength = 0;      // bytes of the failed buffer
    int32_t lostEntry = 0;        // the summary entry its records were counted in
    int32_t summaryFailures = 0;  // failed summary writes (header and index file counted apart)
    int dataError = 0;            // errno of the failed buffer write
    int summaryError = 0;         // errno of the last failed summary write
  };

  // A writer whose buffers are `ownerBuffer` (the recorder's write buffer) and a second one
  // of `bufferSize` bytes of its own, filled in turn. Null when the buffer or the threads
  // cannot be had; the recorder then writes every buffer itself.
  static std::shared_ptr<CBufferWriter> Start(uint8_t* ownerBuffer, uint32_t bufferSize);
  ~CBufferWriter();
  CBufferWriter(const CBufferWriter&) = delete;
  CBufferWriter& operator=(const CBufferWriter&) = delete;

  // The buffer the writer thread appends records to.
  uint8_t* fillBuffer() const { return fill_; }
  // Starts writing the fill buffer as `job` and makes the other buffer the fill buffer. Only
  // after WaitForData (or WaitForAll). `entry` comes back in the outcome when the write fails.
  void Submit(const Job& job, int32_t entry);
  // Waits until the buffer in flight is on disk (its summary may still be on its way).
  Outcome WaitForData();
  // Waits until the buffer and the summary in flight are written.
  Outcome WaitForAll();

  // The summary write shared with the writer thread's own writes: `summary` at `offset`,
  // flushed.
  static platform::Status WriteSummaryAt(platform::File& file, uint64_t offset,
                                         const storage::IndexSummary& summary);

 public:
  struct State;  // shared with the two threads (buffer_writer.cc)

 private:
  CBufferWriter(std::shared_ptr<State> state, uint8_t* ownerBuffer);
  Outcome Wait(bool summaryToo);

  std::shared_ptr<State> state_;
  std::unique_ptr<platform::Thread> dataThread_;
  std::unique_ptr<platform::Thread> summaryThread_;
  uint8_t* const ownerBuffer_;
  uint8_t* fill_;
};
