// The file tools and the host commands other than the demo.
#include "commands.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "bundled_sample.h"
#include "command_line.h"
#include "data_set_verifier.h"
#include "errors.h"
#include "file_search_session.h"
#include "h264_splitter.h"
#include "play_report.h"
#include "record_session.h"
#include "stream_export.h"
#include "timeline_view.h"

namespace dvrtool {
namespace {

// Files larger than this are not what a camera hands over in one recording.
constexpr uintmax_t kMaxInputBytes = 1ull << 30;

std::vector<uint8_t> ReadInput(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) throw UsageError("no such file: " + path);
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size == 0) throw UsageError("empty or unreadable file: " + path);
  if (size > kMaxInputBytes) throw UsageError("input larger than 1 GiB: " + path);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(size);
  if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
    throw UsageError("cannot read " + path);
  }
  return bytes;
}

DstRange ParseDstRange(const std::string& text) {
  DstRange r;
  char tail = 0;
  const int n = std::sscanf(text.c_str(), "%d/%d/%d-%d/%d/%d%c", &r.startMonth, &r.startDay,
                            &r.startHour, &r.endMonth, &r.endDay, &r.endHour, &tail);
  auto ok = [](int month, int day, int hour) {
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour >= 0 && hour < 60;
  };
  if (n != 6 || !ok(r.startMonth, r.startDay, r.startHour) ||
      !ok(r.endMonth, r.endDay, r.endHour)) {
    throw UsageError("bad --dst '" + text + "' (expected M/D/H-M/D/H, e.g. 3/31/2-10/27/3)");
  }
  return r;
}

void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw UsageError("cannot write " + path);
  out << text;
  if (!out.flush()) throw RuntimeError("writing " + path + " failed");
}

}  // namespace

int RecordCommand(const Words& words) {
  const CCommandLine args("record", words, {"dir", "files", "channels", "seconds", "input"},
                          {"fast", "audio", "quiet"});
  args.ExpectPositional(0, "no positional arguments");
  RecordOptions options;
  options.dir = CheckDataDirectory(args.Required("dir"));
  options.files = static_cast<int>(args.Integer("files", 0, 1, 1000));
  if (!args.Has("files")) throw UsageError("'record' needs --files");
  options.channels = static_cast<int>(args.Integer("channels", 4, 1, 32));
  options.seconds = static_cast<int>(args.Integer("seconds", 10, 1, 86400));
  options.fast = args.Flag("fast");
  options.audio = args.Flag("audio");
  options.progress = !args.Flag("quiet");
  std::vector<uint8_t> owned;
  std::span<const uint8_t> stream = BundledSample();
  if (const auto input = args.Value("input")) {
    owned = ReadInput(*input);
    stream = owned;
  }
  const SplitResult split = SplitAccessUnits(stream);
  if (!split.error.empty()) {
    throw UsageError((args.Value("input") ? *args.Value("input") : "the bundled sample") + ": " +
                     split.error);
  }
  std::printf("recording %d s of %zu access units on %d channel(s) into %s (%d data files)%s\n",
              options.seconds, split.units.size(), options.channels, options.dir.c_str(),
              options.files, options.fast ? ", as fast as the recorder takes it" : "");
  const RecordOutcome outcome = Record(options, stream, split.units);
  std::printf("recorded %llu video frames (%llu refused), %llu audio frames, %.2f MB in %.1f s\n",
              static_cast<unsigned long long>(outcome.framesTaken),
              static_cast<unsigned long long>(outcome.framesRefused),
              static_cast<unsigned long long>(outcome.audioTaken), outcome.bytes / 1e6,
              outcome.elapsed);
  std::printf("from %s to %s\n", FormatLocalDateTime(outcome.firstSecond).c_str(),
              FormatLocalDateTime(outcome.lastSecond).c_str());
  return outcome.framesRefused == 0 && outcome.fileEvents == 0 ? kExitOk : kExitFailed;
}

int DatesCommand(const Words& words) {
  const CCommandLine args("dates", words, {}, {});
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  CFileSearchSession search(dir);
  const std::vector<time_t> dates = search.Dates();
  for (const time_t date : dates) {
    const DayTable day = search.Day(date + 12 * 3600);
    int minutes = 0;
    uint32_t channels = 0;
    for (int s = 0; s < kDaySlots; ++s) {
      if ((day.any[s] | day.audio[s]) != 0) ++minutes;
      channels |= day.any[s] | day.audio[s];
    }
    std::printf("%s  %4d recorded minute(s), %2d channel(s)\n", FormatLocalDate(date).c_str(),
                minutes, __builtin_popcount(channels));
  }
  if (dates.empty()) std::printf("no recorded dates in %s\n", dir.c_str());
  return kExitOk;
}

int TimelineCommand(const Words& words) {
  const CCommandLine args("timeline", words, {"date", "svg", "dst"}, {"by-channel"});
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  const time_t date = ParseLocalDate(args.Required("date"));
  std::optional<DstRange> dst;
  if (const auto text = args.Value("dst")) dst = ParseDstRange(*text);
  CFileSearchSession search(dir, dst ? &*dst : nullptr);
  const DayTable day = search.Day(date + 12 * 3600);
  std::printf("%s: %s, %d hours\n", FormatLocalDate(date).c_str(), DayKindName(day.dayKind).c_str(),
              day.hourCount);
  std::fputs((args.Flag("by-channel") ? ChannelsByHours(day) : HoursByMinutes(day)).c_str(),
             stdout);
  if (const auto svg = args.Value("svg")) {
    WriteTextFile(*svg, DaySvg(day, date));
    std::printf("picture written to %s\n", svg->c_str());
  }
  return kExitOk;
}

int PlayCommand(const Words& words) {
  const CCommandLine args("play", words, {"from", "rate", "channel", "seconds", "out"}, {});
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  PlayOptions options;
  options.from = ParseLocalDateTime(args.Required("from"));
  options.rate = static_cast<float>(args.Number("rate", 1.0, -100.0, 100.0));
  options.channel = static_cast<uint32_t>(args.Integer("channel", 0, 0, 31));
  options.maxSeconds = args.Number("seconds", 10.0, 0.1, 86400.0);
  std::ofstream out;
  if (const auto path = args.Value("out")) {
    out.open(*path, std::ios::binary | std::ios::trunc);
    if (!out) throw UsageError("cannot write " + *path);
  }
  CFileSearchSession search(dir);
  const float rate = options.rate;
  const std::vector<PlayedFrame> frames = FirstPass(search.Play(options), rate);
  size_t video = 0, keys = 0, audio = 0, decodeOnly = 0;
  for (const PlayedFrame& f : frames) {
    if (f.audio) {
      ++audio;
      continue;
    }
    ++video;
    keys += f.key ? 1 : 0;
    decodeOnly += f.decodeOnly ? 1 : 0;
    if (out.is_open()) out.write(reinterpret_cast<const char*>(f.payload.data()), f.payload.size());
  }
  std::printf(
      "channel %u at rate %g from %s: %zu video frames (%zu key, %zu decode-only), "
      "%zu audio frames\n",
      options.channel, static_cast<double>(rate), FormatLocalDateTime(options.from).c_str(), video,
      keys, decodeOnly, audio);
  if (!frames.empty()) {
    std::printf("played %s to %s\n", FormatLocalDateTime(frames.front().time).c_str(),
                FormatLocalDateTime(frames.back().time).c_str());
  }
  std::printf("%s\n", DescribeLateness(MeasureLateness(frames, rate)).c_str());
  if (out.is_open() && !out.flush())
    throw RuntimeError("writing " + *args.Value("out") + " failed");
  return video + audio > 0 ? kExitOk : kExitFailed;
}

int VerifyCommand(const Words& words) {
  const CCommandLine args("verify", words, {}, {});
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  CDataSetVerifier verifier(std::cout);
  const VerifyTotals totals = verifier.VerifyDirectory(dir);
  std::cout << "verify: " << totals.pairs << " file pair(s), " << totals.records << " records, "
            << totals.problems << " problem(s)\n";
  return totals.problems == 0 ? kExitOk : kExitFailed;
}

int ExportCommand(const Words& words) {
  const CCommandLine args("export", words, {"channel", "from", "to", "out"}, {});
  args.ExpectPositional(1, "a directory");
  ExportRequest request;
  request.dir = CheckDataDirectory(args.positional()[0]);
  request.channel = static_cast<uint32_t>(args.Integer("channel", -1, 0, 31));
  if (!args.Has("channel")) throw UsageError("'export' needs --channel");
  if (const auto from = args.Value("from")) request.from = ParseLocalDateTime(*from);
  if (const auto to = args.Value("to")) request.to = ParseLocalDateTime(*to);
  if (request.to < request.from) throw UsageError("--to is before --from");
  request.out = args.Required("out");
  const ExportOutcome outcome = ExportChannel(request, std::cerr);
  if (outcome.frames == 0) {
    std::printf("no video of channel %u in that range\n", request.channel);
    return kExitFailed;
  }
  std::printf("exported %llu frames (%llu key frames, %llu bytes) of channel %u, %s to %s, to %s\n",
              static_cast<unsigned long long>(outcome.frames),
              static_cast<unsigned long long>(outcome.keyFrames),
              static_cast<unsigned long long>(outcome.bytes), request.channel,
              FormatLocalDateTime(outcome.first).c_str(), FormatLocalDateTime(outcome.last).c_str(),
              request.out.c_str());
  return outcome.damagedFiles == 0 ? kExitOk : kExitFailed;
}

}  // namespace dvrtool
