// SummaryBuilder: the rule by which an index summary counts the records of its data file. The
// writer keeps the summary of the file it records with it, and `dvrtool verify` and the tests
// replay the records of a file through it to check the summary that was stored.
//
// Records reach the writer from two rings, so a record can arrive after a later record of the
// other ring, and pre-recorded frames arrive seconds after later records of other channels.
// Minute entries, the file's day and its end time therefore only move forward: a record of an
// earlier minute than the entry in use is counted in that entry (its bytes lie there), while
// its channel is marked in its own minute's entry.
#pragma once

#include <cstdint>

#include "storage/formats.h"

namespace storage {

// Where a record of this time belongs in a summary that already counts records.
enum class RecordPlace {
  kCurrentEntry,  // the minute of the entry in use, or an earlier one
  kNewEntry,      // a later minute of the same local day
  kNewDay,        // a later local day: the recorder changes to the next file
};

// Where a record of `time` belongs in `summary`.
RecordPlace PlaceOf(const IndexSummary& summary, uint32_t time);

class SummaryBuilder {
 public:
  // Works on `summary`, which the caller owns.
  explicit SummaryBuilder(IndexSummary* summary) : s_(summary) {}

  RecordPlace PlaceOf(uint32_t time) const;
  // Starts the summary (and its first entry) at its first record's time.
  void Begin(uint32_t time);
  // Opens the entry after the one in use for a record of a later minute; false when every
  // entry is in use (the summary is left as it was).
  bool NextEntry(uint32_t time);
  // Counts one record of `recordSize` bytes in the entry in use; its channel and reasons are
  // marked in the entry of its own minute (an earlier one, for a record written late), or
  // in the entry in use when the file has no entry of that minute.
  void Count(const FrameHeader& header, uint32_t recordSize);
  // The three above as a file's records call for them, in file order. A later day opens a
  // new entry here (the recorder would have changed file).
  void Add(const FrameHeader& header, uint32_t recordSize);

 private:
  // The entry (0..lastEntry, which the caller checked) whose minute is that of `time`.
  int32_t EntryOfMinute(uint32_t time) const;

  IndexSummary* s_;
  bool begun_ = false;
};

}  // namespace storage
