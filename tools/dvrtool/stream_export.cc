#include "stream_export.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "data_set.h"
#include "errors.h"

namespace dvrtool {

ExportOutcome ExportChannel(const ExportRequest& request, std::ostream& log) {
  struct Source {
    std::string dataPath;
    storage::IndexSummary summary;
  };
  std::vector<Source> sources;
  for (const FilePair& pair : ListPairs(request.dir)) {
    if (pair.dataPath.empty() || pair.indexPath.empty()) continue;
    const std::optional<IndexFile> index = ReadIndexFile(pair.indexPath);
    if (!index || index->record.summary.dataBytes == 0) continue;
    const storage::IndexSummary& s = index->record.summary;
    if (s.endTime < request.from || s.startTime > request.to) continue;
    sources.push_back({pair.dataPath, s});
  }
  // Recorded order across the rotation set is the order of the files' first records.
  std::stable_sort(sources.begin(), sources.end(), [](const Source& a, const Source& b) {
    return a.summary.startTime < b.summary.startTime;
  });

  std::ofstream out(request.out, std::ios::binary | std::ios::trunc);
  if (!out) throw UsageError("cannot write " + request.out);
  ExportOutcome outcome;
  bool started = false;  // the stream opens at a key frame
  for (const Source& source : sources) {
    std::string readError;
    const std::optional<RecordDamage> damage = WalkRecords(
        source.dataPath, source.summary.dataBytes,
        [&](const WalkedRecord& r) {
          const storage::FrameHeader& h = r.view.header;
          if (h.channel != request.channel || !storage::IsDeliveredVideoType(h.type)) return;
          if (h.time < request.from || h.time > request.to) return;
          const bool key = (h.keyFrame & 1) != 0;
          if (!started && !key) return;
          storage::VideoBodyView body;
          if (!storage::SplitVideoBody(r.view.body, r.view.bodySize, key, &body)) return;
          started = true;
          out.write(reinterpret_cast<const char*>(body.payload), body.payloadLength);
          if (outcome.frames == 0) outcome.first = h.time;
          outcome.last = h.time;
          ++outcome.frames;
          outcome.keyFrames += key ? 1 : 0;
          outcome.bytes += body.payloadLength;
        },
        &readError);
    if (!readError.empty() || damage) {
      ++outcome.damagedFiles;
      log << "export: " << source.dataPath << ": "
          << (damage ? "offset " + std::to_string(damage->offset) + ": " + damage->what : readError)
          << " (the rest of this file is left out)\n";
    }
  }
  out.flush();
  if (!out) throw RuntimeError("writing " + request.out + " failed");
  return outcome;
}

}  // namespace dvrtool
