#include "recording/buffer_writer.h"

#include <new>
#include <utility>

#include "platform/mutex.h"

namespace {

// The summary half of a job, handed from the data thread to the summary thread.
struct SummaryJob {
  platform::File* index = nullptr;
  platform::File* header = nullptr;
  uint64_t headerOffset = 0;
  storage::IndexSummary summary{};
};

}  // namespace

// What the threads share with their owner.
struct CBufferWriter::State {
  platform::Mutex mu;
  platform::CondVar changed;  // signalled at every change of the fields below
  bool stop GUARDED_BY(mu) = false;
  // The buffer in flight, from Submit until the data thread has written it.
  bool dataPending GUARDED_BY(mu) = false;
  Job job GUARDED_BY(mu);
  const uint8_t* bytes GUARDED_BY(mu) = nullptr;
  int32_t entry GUARDED_BY(mu) = 0;
  // The summary in flight, from the data thread's hand-over until it is written.
  bool summaryPending GUARDED_BY(mu) = false;
  SummaryJob summaryJob GUARDED_BY(mu);
  // Not yet collected by the owner.
  Outcome outcome GUARDED_BY(mu);
  // The second buffer; set before the threads start and never changed.
  std::unique_ptr<uint8_t[]> spare;
};

namespace {

void RunDataThread(const std::shared_ptr<CBufferWriter::State>& state) {
  for (;;) {
    CBufferWriter::Job job;
    const uint8_t* bytes = nullptr;
    {
      platform::MutexLock hold(&state->mu);
      while (!state->stop && !state->dataPending) state->changed.Wait(&state->mu);
      if (!state->dataPending) return;
      job = state->job;
      bytes = state->bytes;
    }
    // The same steps as a buffer write on the writer thread: the bytes at their offset, then
    // a flush.
    platform::Status status = job.data->WriteAt(job.offset, bytes, job.length);
    if (status.ok()) status = job.data->Flush();
    const bool written = status.ok();

    platform::MutexLock hold(&state->mu);
    if (!written) {
      state->outcome.dataFailed = true;
      state->outcome.lostOffset = job.offset;
      state->outcome.lostLength = job.length;
      state->outcome.lostEntry = state->entry;
      state->outcome.dataError = status.error();
    } else if (job.index != nullptr || job.header != nullptr) {
      // Summaries go out in order, one at a time.
      while (state->summaryPending) state->changed.Wait(&state->mu);
      state->summaryJob = SummaryJob{job.index, job.header, job.headerOffset, job.summary};
      state->summaryPending = true;
    }
    state->dataPending = false;
    state->changed.SignalAll();
  }
}

void RunSummaryThread(const std::shared_ptr<CBufferWriter::State>& state) {
  for (;;) {
    SummaryJob job;
    {
      platform::MutexLock hold(&state->mu);
      while (!state->stop && !state->summaryPending) state->changed.Wait(&state->mu);
      if (!state->summaryPending) return;
      job = state->summaryJob;
    }
    int32_t failures = 0;
    int error = 0;
    for (const auto& [file, offset] :
         {std::pair{job.header, job.headerOffset},
          std::pair{job.index, uint64_t{storage::kIndexSummaryOffset}}}) {
      if (file == nullptr) continue;
      const platform::Status status = CBufferWriter::WriteSummaryAt(*file, offset, job.summary);
      if (!status.ok()) {
        ++failures;
        error = status.error();
      }
    }
    platform::MutexLock hold(&state->mu);
    state->outcome.summaryFailures += failures;
    if (failures > 0) state->outcome.summaryError = error;
    state->summaryPending = false;
    state->changed.SignalAll();
  }
}

}  // namespace

std::shared_ptr<CBufferWriter> CBufferWriter::Start(uint8_t* ownerBuffer, uint32_t bufferSize) {
  if (ownerBuffer == nullptr) return nullptr;
  auto state = std::make_shared<State>();
  state->spare.reset(new (std::nothrow) uint8_t[bufferSize]);
  if (!state->spare) return nullptr;
  std::shared_ptr<CBufferWriter> writer(new CBufferWriter(state, ownerBuffer));
  writer->dataThread_ = platform::Thread::Start([state] { RunDataThread(state); });
  if (writer->dataThread_) {
    writer->summaryThread_ = platform::Thread::Start([state] { RunSummaryThread(state); });
  }
  // Without both threads the destructor ends the one that started.
  if (!writer->summaryThread_) return nullptr;
  return writer;
}

CBufferWriter::CBufferWriter(std::shared_ptr<State> state, uint8_t* ownerBuffer)
    : state_(std::move(state)), ownerBuffer_(ownerBuffer), fill_(ownerBuffer) {}

CBufferWriter::~CBufferWriter() {
  // The recorder settles everything before it lets go of this object, so the threads are
  // idle here and end at once; the bound only guards against the unforeseen.
  {
    platform::MutexLock hold(&state_->mu);
    state_->stop = true;
    state_->changed.SignalAll();
  }
  if (dataThread_) dataThread_->Join(5000);
  if (summaryThread_) summaryThread_->Join(5000);
}

void CBufferWriter::Submit(const Job& job, int32_t entry) {
  {
    platform::MutexLock hold(&state_->mu);
    state_->job = job;
    state_->bytes = fill_;
    state_->entry = entry;
    state_->dataPending = true;
    state_->changed.SignalAll();
  }
  fill_ = fill_ == ownerBuffer_ ? state_->spare.get() : ownerBuffer_;
}

CBufferWriter::Outcome CBufferWriter::WaitForData() { return Wait(/*summaryToo=*/false); }

CBufferWriter::Outcome CBufferWriter::WaitForAll() { return Wait(/*summaryToo=*/true); }

CBufferWriter::Outcome CBufferWriter::Wait(bool summaryToo) {
  platform::MutexLock hold(&state_->mu);
  while (state_->dataPending || (summaryToo && state_->summaryPending)) {
    state_->changed.Wait(&state_->mu);
  }
  const Outcome outcome = state_->outcome;
  state_->outcome = Outcome{};
  return outcome;
}

platform::Status CBufferWriter::WriteSummaryAt(platform::File& file, uint64_t offset,
                                               const storage::IndexSummary& summary) {
  platform::Status status = file.WriteAt(offset, &summary, sizeof(summary));
  if (status.ok()) status = file.Flush();
  return status;
}
