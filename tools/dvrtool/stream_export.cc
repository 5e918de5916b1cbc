#include "stream_export.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "data_set.h"
#include "errors.h"
#include "media_library.h"
#include "output_file.h"
#include "progress_meter.h"

namespace dvrtool {
namespace {

// A key frame this far before --from is still looked for: files that ended earlier are
// not read.
constexpr time_t kPreRollSearchSeconds = 60;

std::string Extension(const std::string& path) {
  const size_t slash = path.rfind('/'), dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// A frame of the group of pictures running at --from, held until the range begins.
struct HeldFrame {
  std::vector<uint8_t> payload;
  bool key = false;
  time_t second = 0;
};

}  // namespace

ExportFormat ExportFormatFor(const std::string& out, const std::string& formatOption) {
  if (formatOption.empty() && out == "-") return ExportFormat::kH264;
  const std::string name = formatOption.empty() ? Extension(out) : formatOption;
  if (name == "h264" || name == "264") return ExportFormat::kH264;
  if (name == "mp4") return ExportFormat::kMp4;
  if (name == "mkv" || name == "matroska") return ExportFormat::kMatroska;
  if (name == "ts") return ExportFormat::kMpegTs;
  throw UsageError((formatOption.empty() ? "unknown export format of '" + out + "'"
                                         : "unknown export format '" + name + "'") +
                   " (known: h264, mp4, mkv, ts; give one with --format)");
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
    if (s.endTime < request.from - kPreRollSearchSeconds || s.startTime > request.to) continue;
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
    container =
        std::make_unique<CContainerWriter>(request.format == ExportFormat::kMp4      ? "mp4"
                                           : request.format == ExportFormat::kMpegTs ? "mpegts"
                                                                                     : "matroska",
                                           out.writePath());
  }
  CProgressMeter progress("exporting", totalBytes, request.quiet || out.toStdout());
  ExportOutcome outcome;
  const auto emit = [&](std::span<const uint8_t> payload, bool key, time_t second, bool preRoll) {
    if (container) {
      container->Add(payload, key, second, preRoll);
    } else {
      out.stream().write(reinterpret_cast<const char*>(payload.data()),
                         static_cast<std::streamsize>(payload.size()));
    }
    outcome.bytes += payload.size();
    if (preRoll) {
      ++outcome.preRollFrames;
      return;
    }
    if (outcome.frames == 0) outcome.first = second;
    outcome.last = second;
    ++outcome.frames;
    outcome.keyFrames += key ? 1 : 0;
  };

  std::vector<HeldFrame> preRoll;  // from the last key frame before --from
  bool started = false;            // the stream opens at a key frame
  uint64_t bytesBefore = 0;
  for (const Source& source : sources) {
    std::string readError;
    const std::optional<RecordDamage> damage = WalkRecords(
        source.dataPath, source.summary.dataBytes,
        [&](const WalkedRecord& r) {
          progress.Update(bytesBefore + r.offset, bytesBefore + r.offset);
          const storage::FrameHeader& h = r.view.header;
          if (h.channel != request.channel || !storage::IsDeliveredVideoType(h.type)) return;
          if (h.time > request.to) return;
          const bool key = (h.keyFrame & 1) != 0;
          storage::VideoBodyView body;
          if (!storage::SplitVideoBody(r.view.body, r.view.bodySize, key, &body)) return;
          const std::span<const uint8_t> payload(body.payload, body.payloadLength);
          if (h.time < request.from) {
            if (key) preRoll.clear();
            if (key || !preRoll.empty())
              preRoll.push_back({{payload.begin(), payload.end()}, key, h.time});
            return;
          }
          if (!started) {
            if (!key && preRoll.empty()) return;
            if (!key) {
              for (const HeldFrame& f : preRoll) emit(f.payload, f.key, f.second, true);
            }
            preRoll.clear();
            started = true;
          }
          emit(payload, key, h.time, false);
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
  progress.Finish();
  if (outcome.frames == 0) return outcome;  // `out` removes its temporary file
  if (container) {
    container->Finish();
    outcome.frameRate = container->frameRate().value();
  }
  out.Commit();
  return outcome;
}

}  // namespace dvrtool
