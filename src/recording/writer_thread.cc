// The recorder's two writer threads: each empties one frame ring into the writer.
#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "recording/writer.h"

namespace {

// Slots a writer thread gives back together (the host has eight per ring), and the most
// records it writes under one hold of the write lock.
constexpr int32_t kSlotsReturnedTogether = 4;
constexpr int32_t kRecordsPerHold = 64;
// While records stream in (the last batch was found without sleeping, or the writer woke to
// a ring filled to the point where commits wake it), an empty ring is looked at again up to
// kLooksBeforeSleep times before the writer sleeps. A recorder taking frames at a camera's
// pace (32 x 25 fps is one every 1.25 ms) finds nothing by looking and from then on sleeps
// straight away.
constexpr int32_t kLooksBeforeSleep = 50;

}  // namespace

void RunWriterThread(std::shared_ptr<Writer> writer, std::shared_ptr<CFrameRing> ring,
                     std::shared_ptr<platform::Semaphore> slots) {
  bool streaming = true;
  for (;;) {
    uint32_t size = 0;
    uint32_t flag = 0;
    uint8_t* record = ring->Get(&size, &flag, /*wait=*/false);
    if (record == nullptr && streaming) {
      // Records are streaming in: look again a few times before going to sleep. A sleeping
      // writer has to be woken by the host, and a host whose eight slots are all queued has
      // to be woken by the writer; with small frames those wake-ups cost more than the
      // frames. Bounded by a count, not a clock, and yielding the processor between looks.
      for (int32_t look = 0; look < kLooksBeforeSleep && record == nullptr; ++look) {
        platform::SleepMs(0);  // a yield: the host may need this core to commit the next
        record = ring->Get(&size, &flag, /*wait=*/false);
      }
    }
    const bool foundAwake = record != nullptr;
    if (record == nullptr) record = ring->Get(&size, &flag, /*wait=*/true);
    if (CFrameRing::IsClosedResult(record)) break;
    if (record == nullptr) {
      // Only possible while a record is still handed out, which this thread never leaves.
      platform::SleepMs(1);
      continue;
    }
    // The record and whatever else the ring already holds go in under one hold of
    // the write lock. Slots go back a few at a time, so a host blocked on its eight slots is
    // woken once per batch instead of once per frame. No slot is kept once the ring is empty.
    int32_t taken = 0;
    int32_t unreturned = 0;
    {
      platform::MutexLock hold(&writer->lock);
      for (;;) {
        writer->WriteFrame(record, size);
        // Bounded, so START, STOP and the other writer thread get their turn.
        const bool last = ++taken == kRecordsPerHold;
        if (last) {
          ring->Release(/*advance=*/true);
        } else {
          record = ring->ReleaseAndGet(&size, &flag);
        }
        if (++unreturned == kSlotsReturnedTogether) {
          slots->Release(unreturned);
          unreturned = 0;
        }
        if (last || record == nullptr || CFrameRing::IsClosedResult(record)) break;
      }
    }
    if (unreturned > 0) slots->Release(unreturned);
    streaming = foundAwake || taken >= static_cast<int32_t>(CFrameRing::kWakeRecords);
  }
}
