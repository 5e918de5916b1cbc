#include "stream_export.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "data_set.h"
#include "errors.h"
#include "media_library.h"
#include "output_file.h"
#include "progress_meter.h"

namespace dvrtool {
namespace {

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The frames of one recorded second of the channel, held until the second is complete so
// each can be given its millisecond.
struct HeldFrame {
  std::vector<uint8_t> payload;
  bool key = false;
};

}  // namespace

ExportFormat ExportFormatFor(const std::string& out, const std::string& formatOption) {
  std::string name = formatOption;
  if (name.empty()) {
    if (EndsWith(out, ".mp4") || EndsWith(out, ".MP4")) return ExportFormat::kMp4;
    if (EndsWith(out, ".mkv") || EndsWith(out, ".MKV")) return ExportFormat::kMatroska;
    return ExportFormat::kH264;
  }
  if (name == "h264") return ExportFormat::kH264;
  if (name == "mp4") return ExportFormat::kMp4;
  if (name == "mkv" || name == "matroska") return ExportFormat::kMatroska;
  throw UsageError("--format must be h264, mp4 or mkv, not '" + name + "'");
}

ExportOutcome ExportChannel(const ExportRequest& request, std::ostream& log) {
  if (request.format != ExportFormat::kH264 && !HaveMediaLibrary()) {
    throw UsageError(
        "this dvrtool was built without libavformat: MP4 and MKV export are not available "
        "(export to .h264 instead)");
  }
  struct Source {
    std::string dataPath;
    storage::IndexSummary summary;
  };
  std::vector<Source> sources;
  uint64_t totalBytes = 0;
  for (const FilePair& pair : ListPairs(request.dir)) {
    if (pair.dataPath.empty() || pair.indexPath.empty()) continue;
    const std::optional<IndexFile> index = ReadIndexFile(pair.indexPath);
    if (!index || index->record.summary.dataBytes == 0) continue;
    const storage::IndexSummary& s = index->record.summary;
    if (s.endTime < request.from || s.startTime > request.to) continue;
    sources.push_back({pair.dataPath, s});
    totalBytes += s.dataBytes;
  }
  // Recorded order across the rotation set is the order of the files' first records.
  std::stable_sort(sources.begin(), sources.end(), [](const Source& a, const Source& b) {
    return a.summary.startTime < b.summary.startTime;
  });

  COutputFile out(request.out, request.overwrite);
  std::unique_ptr<CContainerWriter> container;
  if (request.format != ExportFormat::kH264) {
    out.Release();
    container = std::make_unique<CContainerWriter>(
        request.format == ExportFormat::kMp4 ? "mp4" : "matroska", out.writePath());
  }
  CProgressMeter progress("exporting", totalBytes, request.quiet || out.toStdout());
  ExportOutcome outcome;
  std::vector<HeldFrame> second;
  int32_t secondTime = 0;
  const auto flushSecond = [&] {
    const auto n = static_cast<int64_t>(second.size());
    for (int64_t k = 0; k < n; ++k) {
      const HeldFrame& f = second[static_cast<size_t>(k)];
      if (container) {
        container->Add(f.payload, f.key, int64_t{secondTime} * 1000 + k * 1000 / n);
      } else {
        out.stream().write(reinterpret_cast<const char*>(f.payload.data()),
                           static_cast<std::streamsize>(f.payload.size()));
      }
    }
    second.clear();
  };

  bool started = false;  // the stream opens at a key frame
  uint64_t bytesBefore = 0;
  for (const Source& source : sources) {
    std::string readError;
    const std::optional<RecordDamage> damage = WalkRecords(
        source.dataPath, source.summary.dataBytes,
        [&](const WalkedRecord& r) {
          progress.Update(bytesBefore + r.offset, bytesBefore + r.offset);
          const storage::FrameHeader& h = r.view.header;
          if (h.channel != request.channel || !storage::IsDeliveredVideoType(h.type)) return;
          if (h.time < request.from || h.time > request.to) return;
          const bool key = (h.keyFrame & 1) != 0;
          if (!started && !key) return;
          storage::VideoBodyView body;
          if (!storage::SplitVideoBody(r.view.body, r.view.bodySize, key, &body)) return;
          started = true;
          if (!second.empty() && h.time != secondTime) flushSecond();
          secondTime = h.time;
          second.push_back(
              {std::vector<uint8_t>(body.payload, body.payload + body.payloadLength), key});
          if (outcome.frames == 0) outcome.first = h.time;
          outcome.last = h.time;
          ++outcome.frames;
          outcome.keyFrames += key ? 1 : 0;
          outcome.bytes += body.payloadLength;
        },
        &readError);
    bytesBefore += source.summary.dataBytes;
    if (!readError.empty() || damage) {
      ++outcome.damagedFiles;
      log << "export: " << source.dataPath << ": "
          << (damage ? "offset " + std::to_string(damage->offset) + ": " + damage->what : readError)
          << " (the rest of this file is left out)\n";
    }
  }
  flushSecond();
  progress.Finish();
  if (outcome.frames == 0) return outcome;  // `out` removes its temporary file
  if (container) container->Finish();
  out.Commit();
  return outcome;
}

}  // namespace dvrtool
