#include "stream_export.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "catalog/file_catalog.h"
#include "data_set.h"
#include "errors.h"
#include "media_library.h"
#include "output_file.h"
#include "progress_meter.h"
#include "storage/frame_reader.h"

namespace dvrtool {
namespace {

std::string Extension(const std::string& path) {
  const size_t slash = path.rfind('/'), dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// The frame buffer's first size; it grows for a longer frame.
constexpr uint32_t kFrameBufferSize = 512 * 1024;

// Tells `log` of each damaged record the reader steps over (once, however often it meets
// it) and counts the files that hold one.
class CDamageLog : public storage::Reporter {
 public:
  CDamageLog(std::ostream& log, const std::map<std::string, uint64_t>& counted)
      : log_(log), counted_(counted) {}
  void Corruption(const std::string& file, uint64_t offset, storage::RecordStatus status) override {
    if (!seen_.insert({file, offset}).second) return;
    files_.insert(file);
    const auto limit = counted_.find(file);
    log_ << "export: " << file << ": offset " << offset << ": "
         << DescribeDamage(file, offset, status, limit != counted_.end() ? limit->second : 0)
         << " (passed over: the export goes on at the next record that can be read)\n";
  }
  int files() const { return static_cast<int>(files_.size()); }

 private:
  std::ostream& log_;
  const std::map<std::string, uint64_t>& counted_;
  std::set<std::pair<std::string, uint64_t>> seen_;
  std::set<std::string> files_;
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
  CFileCatalog catalogue;
  for (const FilePair& pair : ListPairs(request.dir)) {
    if (pair.dataPath.empty() || pair.indexPath.empty()) continue;
    catalogue.AddIndexFile(request.dir, pair.title + std::string(storage::kIndexFileSuffix));
  }
  const platform::Status built = catalogue.Build();
  if (catalogue.loaded.load() == 0) {
    // A pair that cannot be read is only left out; no catalogue at all has one cause.
    throw RuntimeError(request.dir + ": cannot list the recording's files (" + built.ToString() +
                       ")");
  }
  // Progress in recorded bytes, over the files that can hold the range (the catalogue lists
  // them in start-time order).
  const storage::CatalogView& view = catalogue.view;
  std::vector<uint64_t> bytesBefore(static_cast<size_t>(std::max(view.count, 0)) + 1, 0);
  std::map<std::string, uint64_t> counted;  // recorded bytes per data file
  uint64_t rangeStart = UINT64_MAX, rangeEnd = 0;
  for (int32_t j = 0; j < view.count; ++j) {
    const storage::FileTimeTable& table = *view.TableAt(j);
    bytesBefore[static_cast<size_t>(j) + 1] = bytesBefore[static_cast<size_t>(j)] + table.dataBytes;
    counted[storage::FileInfoPath(*view.InfoAt(j))] = table.dataBytes;
    if (table.dataBytes == 0 || table.endTime < request.from || table.startTime > request.to) {
      continue;
    }
    rangeStart = std::min(rangeStart, bytesBefore[static_cast<size_t>(j)]);
    rangeEnd = bytesBefore[static_cast<size_t>(j) + 1];
  }
  if (rangeStart == UINT64_MAX) rangeStart = 0;

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
  CProgressMeter progress("exporting", std::max(rangeEnd, rangeStart) - rangeStart,
                          request.quiet || out.toStdout());
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

  // The frames in time order across the files, from the channel's key frame before --from
  // when its first frame from there is none: those before --from come as lead frames.
  CDamageLog damage(log, counted);
  storage::CFrameReader reader(&view, nullptr, &damage);
  const auto seconds = [](time_t t) {
    return static_cast<uint32_t>(std::clamp<time_t>(t, 0, time_t{UINT32_MAX}));
  };
  const int32_t found = view.count > 0 ? reader.SeekToTime(platform::CTime(seconds(request.from)),
                                                           1, 1u << request.channel)
                                       : 0;
  std::vector<uint8_t> frame(kFrameBufferSize);
  bool started = false;  // the stream opens at a key frame
  for (int32_t length = found != 0 ? 0 : -1; length >= 0;) {
    length = reader.ReadNextFrame(&frame, storage::kMaxFrameLength);
    if (length < static_cast<int32_t>(storage::kFrameHeaderSize)) continue;
    const auto h = storage::LoadAs<storage::FrameHeader>(frame.data());
    if (h.time > request.to) break;  // time order: nothing after it is in the range
    const storage::CFrameReader::Place place = reader.LastFramePlace();
    if (place.position >= 0 && place.position < view.count) {
      const uint64_t done = bytesBefore[static_cast<size_t>(place.position)] + place.offset;
      progress.Update(done - std::min(done, rangeStart), done - std::min(done, rangeStart));
    }
    if (h.channel != request.channel || !storage::IsDeliveredVideoType(h.type)) continue;
    const bool key = (h.keyFrame & 1) != 0;
    storage::VideoBodyView body;
    if (!storage::SplitVideoBody(frame.data() + storage::kFrameHeaderSize,
                                 static_cast<uint32_t>(length) - storage::kFrameHeaderSize, key,
                                 &body)) {
      continue;
    }
    const std::span<const uint8_t> payload(body.payload, body.payloadLength);
    const bool lead = reader.LastFrameIsLead();
    if (!lead && !started && !key) continue;
    started = true;
    emit(payload, key, h.time, lead);
  }
  progress.Finish();
  outcome.damagedFiles = damage.files();
  if (outcome.frames == 0) return outcome;  // `out` removes its temporary file
  if (container) {
    container->Finish();
    outcome.frameRate = container->frameRate().value();
  }
  out.Commit();
  return outcome;
}

}  // namespace dvrtool
