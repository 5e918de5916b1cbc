#include "storage/summary_builder.h"

#include <algorithm>

#include "platform/local_time.h"

namespace storage {
namespace {

// Whole minutes since the epoch. Local minutes begin on whole minutes of the epoch in every
// zone in use today, so these compare local minutes.
int64_t MinuteOf(uint32_t time) { return int64_t{time} / 60; }

// The local calendar date as one comparable number.
int64_t LocalDateOf(uint32_t time) {
  const platform::LocalFields local = platform::CTime(time).Local();
  return (int64_t{local.year} * 100 + local.month) * 100 + local.day;
}

bool EntryInRange(int32_t entry) { return entry >= 0 && entry <= kLastEntryMax; }

}  // namespace

RecordPlace PlaceOf(const IndexSummary& summary, uint32_t time) {
  if (!EntryInRange(summary.lastEntry)) return RecordPlace::kCurrentEntry;
  const uint32_t entryTime = summary.entries[summary.lastEntry].time;
  if (MinuteOf(time) <= MinuteOf(entryTime)) return RecordPlace::kCurrentEntry;
  return LocalDateOf(time) > LocalDateOf(entryTime) ? RecordPlace::kNewDay : RecordPlace::kNewEntry;
}

RecordPlace SummaryBuilder::PlaceOf(uint32_t time) const { return storage::PlaceOf(*s_, time); }

void SummaryBuilder::Begin(uint32_t time) {
  s_->startTime = s_->endTime = time;
  s_->lastEntry = 0;
  s_->entries[0].time = time;
  begun_ = true;
}

bool SummaryBuilder::NextEntry(uint32_t time) {
  if (!EntryInRange(s_->lastEntry) || s_->lastEntry >= kLastEntryMax) return false;
  s_->lastEntry += 1;
  s_->entries[s_->lastEntry].time = time;
  return true;
}

void SummaryBuilder::Count(const FrameHeader& header, uint32_t recordSize) {
  if (!EntryInRange(s_->lastEntry)) return;
  // The bytes belong to the entry in use (where the record lies in the file); the channel is
  // marked in the entry of the record's own minute when the file has one, so an event whose
  // first frames were written late (pre-recorded) is shown from the minute it began.
  IndexEntry& entry = s_->entries[EntryOfMinute(header.time)];
  const uint32_t bit = header.channel < kChannelCount ? 1u << header.channel : 0;
  if (IsStoredAudioType(header.type)) entry.audioMask |= bit;
  if (header.reason & kReasonRecorded) entry.reason1Mask |= bit;
  if (header.reason & kReasonTriggerA) entry.reason2Mask |= bit;
  if (header.reason & kReasonTriggerB) entry.reason4Mask |= bit;
  s_->entries[s_->lastEntry].bytes += recordSize;
  s_->dataBytes += recordSize;
  s_->endTime = std::max(s_->endTime, header.time);
}

int32_t SummaryBuilder::EntryOfMinute(uint32_t time) const {
  const int64_t minute = MinuteOf(time);
  for (int32_t k = s_->lastEntry; k >= 0; --k) {
    const int64_t entryMinute = MinuteOf(s_->entries[k].time);
    if (entryMinute == minute) return k;
    if (entryMinute < minute) break;
  }
  return s_->lastEntry;
}

void SummaryBuilder::Add(const FrameHeader& header, uint32_t recordSize) {
  if (!begun_) {
    Begin(header.time);
  } else if (PlaceOf(header.time) != RecordPlace::kCurrentEntry) {
    NextEntry(header.time);
  }
  Count(header, recordSize);
}

}  // namespace storage
