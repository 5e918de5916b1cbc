// The index summary's rule, record by record: minute entries, the file's day and its end time
// only move forward, so a record that reached the writer late counts in the entry in use.
#include "storage/summary_builder.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "support/scoped_env.h"

namespace {

using storage::RecordPlace;
using testsupport::LocalSeconds;

storage::FrameHeader Header(int32_t time, uint8_t channel, uint32_t type, uint8_t reason) {
  storage::FrameHeader h{};
  std::tie(h.time, h.channel, h.type, h.reason) = std::tie(time, channel, type, reason);
  return h;
}

TEST(SummaryBuilderTest, LateRecordsCountInTheEntryInUseAndNeverMoveTheEndBack) {
  testsupport::ScopedTimeZone zone("Asia/Shanghai");
  const int32_t t = LocalSeconds(2024, 6, 1, 10, 0, 59);
  storage::IndexSummary s = storage::MakeEmptySummary();
  storage::SummaryBuilder builder(&s);
  builder.Add(Header(t, 0, 1, 1), 100);       // video, recorded always
  builder.Add(Header(t + 1, 1, 1, 3), 200);   // next minute, trigger A
  builder.Add(Header(t, 2, 17, 5), 50);       // late audio of the minute before, trigger B
  builder.Add(Header(t + 61, 31, 1, 1), 10);  // a third minute
  const storage::IndexEntry& e = s.entries[1];
  EXPECT_EQ(std::vector<int64_t>({s.startTime, s.endTime, s.dataBytes, s.lastEntry,
                                  s.entries[0].bytes, e.time, e.bytes, e.reason1Mask, e.reason2Mask,
                                  e.reason4Mask, e.audioMask, s.entries[2].reason1Mask}),
            std::vector<int64_t>(
                {t, t + 61, 360, 2, 100, t + 1, 250, 0b110, 0b010, 0b100, 0b100, 1u << 31}));
  // Days are local ones; a record of an earlier day is late, not new.
  EXPECT_EQ(std::vector<RecordPlace>({builder.PlaceOf(LocalSeconds(2024, 6, 1, 23, 59, 59)),
                                      builder.PlaceOf(LocalSeconds(2024, 6, 2, 0, 0, 0)),
                                      builder.PlaceOf(LocalSeconds(2024, 5, 31, 23, 0, 0))}),
            std::vector<RecordPlace>(
                {RecordPlace::kNewEntry, RecordPlace::kNewDay, RecordPlace::kCurrentEntry}));
  // Every entry in use: a later minute is counted in the last one.
  s.lastEntry = storage::kLastEntryMax;
  EXPECT_FALSE(builder.NextEntry(t + 3600));
  EXPECT_EQ(s.lastEntry, storage::kLastEntryMax);
}

}  // namespace
