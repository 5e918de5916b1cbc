// The file tools and the host commands other than the demo.
#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <system_error>

#include "bundled_sample.h"
#include "data_set.h"
#include "data_set_verifier.h"
#include "errors.h"
#include "file_search_session.h"
#include "h264_splitter.h"
#include "json_writer.h"
#include "media_library.h"
#include "output_file.h"
#include "play_report.h"
#include "progress_meter.h"
#include "record_session.h"
#include "stop_signals.h"
#include "stream_export.h"
#include "stream_input.h"
#include "timeline_view.h"

namespace dvrtool {
namespace {

// Files larger than this are not what a camera hands over in one recording.
constexpr uintmax_t kMaxInputBytes = 1ull << 30;

CCommandLine Parse(const char* command, const Words& words) {
  return CCommandLine(*FindCommand(command), words);
}

std::vector<uint8_t> ReadInput(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw UsageError(PathError(path));
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw UsageError(path + ": not a regular file");
  }
  if (st.st_size == 0) {
    ::close(fd);
    throw UsageError(path + ": empty file");
  }
  if (static_cast<uintmax_t>(st.st_size) > kMaxInputBytes) {
    ::close(fd);
    throw UsageError(path + ": larger than 1 GiB");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      throw UsageError(PathError(path, error));
    }
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return bytes;
}

// M/D/H-M/D/H: months 1..12, days that exist in the month (February 29 counts), hours 0..23.
DstRange ParseDstRange(const std::string& text) {
  DstRange r;
  char tail = 0;
  const int n = std::sscanf(text.c_str(), "%d/%d/%d-%d/%d/%d%c", &r.startMonth, &r.startDay,
                            &r.startHour, &r.endMonth, &r.endDay, &r.endHour, &tail);
  auto ok = [](int month, int day, int hour) {
    return month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(2024, month) && hour >= 0 &&
           hour < 24;
  };
  if (n != 6 || !ok(r.startMonth, r.startDay, r.startHour) ||
      !ok(r.endMonth, r.endDay, r.endHour)) {
    throw UsageError(
        "bad --dst '" + text +
        "' (expected M/D/H-M/D/H with real dates and hours 0-23, e.g. 3/31/2-10/27/3)");
  }
  return r;
}

// Whether an index file is one: the writer's header mark, or else a summary that holds
// together (its entries in range, their bytes adding up to the recorded bytes).
bool IsIndexFile(const IndexFile& file) {
  if (file.header.magic == storage::kFileHeaderMagic) return true;
  const storage::IndexSummary& s = file.record.summary;
  if (s.lastEntry < 0 || s.lastEntry > storage::kLastEntryMax) return false;
  if (s.dataBytes == 0) return true;
  uint64_t bytes = 0;
  for (int32_t i = 0; i <= s.lastEntry; ++i) bytes += s.entries[i].bytes;
  return s.startTime <= s.endTime && bytes == s.dataBytes;
}

// The directory's index files, readable and whole, that are index files; the others are
// named on standard error. RuntimeError when there are index files but none is one.
std::vector<IndexFile> IndexFiles(const char* command, const std::string& dir) {
  std::vector<IndexFile> files;
  std::vector<std::string> garbage;
  for (const FilePair& pair : ListPairs(dir)) {
    if (pair.indexPath.empty()) continue;
    const std::optional<IndexFile> index = ReadIndexFile(pair.indexPath);
    if (!index) continue;  // the search names it
    if (IsIndexFile(*index)) {
      files.push_back(*index);
    } else {
      garbage.push_back(pair.indexPath);
    }
  }
  if (files.empty() && !garbage.empty())
    throw RuntimeError(garbage.front() + ": not an index file");
  for (const std::string& path : garbage) {
    std::fprintf(stderr, "dvrtool %s: %s: not an index file (skipped)\n", command,
                 EscapeText(path).c_str());
  }
  return files;
}

void ReportSkipped(const char* command, const CFileSearchSession& search) {
  for (const SkippedIndexFile& s : search.skipped()) {
    std::fprintf(stderr, "dvrtool %s: %s: %s (skipped)\n", command, EscapeText(s.path).c_str(),
                 EscapeText(s.reason).c_str());
  }
}

uint32_t ChannelsOfDay(const DayTable& day, int* minutes) {
  uint32_t channels = 0;
  *minutes = 0;
  for (int s = 0; s < kDaySlots; ++s) {
    if ((day.any[s] | day.audio[s]) != 0) ++*minutes;
    channels |= day.any[s] | day.audio[s];
  }
  return channels;
}

// The stretches in which `channel` recorded, a minute entry of an index summary each: from
// the entry's first record to the next entry's start, or to the file's end time. Read from
// the index files, so a file recorded within one second counts too.
struct Stretch {
  time_t first = 0, last = 0;
};
std::vector<Stretch> ChannelStretches(const std::string& dir, uint32_t channel) {
  std::vector<Stretch> stretches;
  for (const FilePair& pair : ListPairs(dir)) {
    if (pair.indexPath.empty()) continue;
    const std::optional<IndexFile> index = ReadIndexFile(pair.indexPath);
    if (!index || index->record.summary.dataBytes == 0) continue;
    const storage::IndexSummary& s = index->record.summary;
    const int32_t lastEntry = std::clamp<int32_t>(s.lastEntry, 0, storage::kLastEntryMax);
    for (int32_t i = 0; i <= lastEntry; ++i) {
      const storage::IndexEntry& e = s.entries[i];
      if (((e.reason1Mask | e.reason2Mask | e.reason4Mask | e.audioMask) >> channel & 1u) == 0) {
        continue;
      }
      const time_t end = i < lastEntry ? s.entries[i + 1].time - 1 : s.endTime;
      stretches.push_back({e.time, std::max<time_t>(e.time, end)});
    }
  }
  return stretches;
}

// Throws RuntimeError naming the nearest recorded times when the channel has nothing at or
// after `from` on its day.
void CheckSomethingToPlay(const std::string& dir, time_t from, uint32_t channel) {
  const time_t midnight = ParseLocalDate(FormatLocalDate(from));
  const time_t dayEnd = ParseLocalDate(FormatLocalDate(midnight + 36 * 3600)) - 1;
  std::optional<time_t> before, after;
  for (const Stretch& s : ChannelStretches(dir, channel)) {
    if (s.last >= from && s.first <= dayEnd) return;
    if (s.last < from && (!before || s.last > *before)) before = s.last;
    if (s.first > dayEnd && (!after || s.first < *after)) after = s.first;
  }
  std::string nearest;
  if (before) nearest = "last before it " + FormatLocalDateTime(*before);
  if (after)
    nearest += (nearest.empty() ? "" : ", ") + std::string("next ") + FormatLocalDateTime(*after);
  throw RuntimeError("nothing recorded on channel " + std::to_string(channel) + " at or after " +
                     FormatLocalDateTime(from) +
                     " on that day; nearest recorded: " + (nearest.empty() ? "none" : nearest));
}

// A recording already in `dir` (index files that count recorded bytes): the library goes
// on after its newest file, which is said; with `replace` its files go first.
void DescribeEarlierRecording(const std::string& dir, bool replace) {
  size_t files = 0;
  time_t last = 0;
  std::vector<FilePair> pairs = ListPairs(dir);
  for (const FilePair& pair : pairs) {
    if (pair.indexPath.empty()) continue;
    const std::optional<IndexFile> index = ReadIndexFile(pair.indexPath);
    if (!index || index->record.summary.dataBytes == 0) continue;
    ++files;
    last = std::max<time_t>(last, index->record.summary.endTime);
  }
  if (files == 0) return;
  if (!replace) {
    std::printf(
        "continuing the recording in %s (%zu file(s), up to %s) after its newest file; "
        "-y replaces it\n",
        dir.c_str(), files, FormatLocalDateTime(last).c_str());
    return;
  }
  for (const FilePair& pair : pairs) {
    for (const std::string& path : {pair.dataPath, pair.indexPath}) {
      if (!path.empty() && ::unlink(path.c_str()) != 0) throw RuntimeError(PathError(path));
    }
  }
  std::printf("replacing the recording in %s (%zu file pair(s) removed)\n", dir.c_str(),
              pairs.size());
}

}  // namespace

int RecordCommand(const Words& words) {
  const CCommandLine args = Parse("record", words);
  args.ExpectPositional(0, "no positional arguments");
  RecordOptions options;
  options.dir = CheckDataDirectory(args.Required("dir"));
  options.files = static_cast<int>(args.Integer("files", 0, 1, 1000));
  if (!args.Has("files")) throw UsageError("'record' needs --files");
  options.channels = static_cast<int>(args.Integer("channels", 4, 1, 32));
  options.seconds = static_cast<int>(args.Integer("seconds", 10, 1, 86400));
  const double fpsOption = args.Number("fps", 0, 0.1, 1000);
  options.fast = args.Flag("fast");
  options.audio = args.Flag("audio");
  options.progress = !args.Flag("quiet");

  // A file is read whole and checked first; standard input and FIFOs as they arrive.
  const std::optional<std::string> input = args.Value("input");
  std::unique_ptr<CStreamInput> live;
  std::vector<uint8_t> owned;
  std::span<const uint8_t> stream = BundledSample();
  std::string inputName = "the bundled sample";
  if (input) {
    inputName = *input == "-" ? "standard input" : *input;
    struct stat st;
    if (*input != "-" && ::stat(input->c_str(), &st) != 0) throw UsageError(PathError(*input));
    if (*input == "-" || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
      const int fd = *input == "-" ? STDIN_FILENO : ::open(input->c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw UsageError(PathError(*input));
      live = std::make_unique<CStreamInput>(fd, inputName);
    } else {
      owned = ReadInput(*input);
      stream = owned;
    }
  }
  SplitResult split;
  if (!live) {
    split = SplitAccessUnits(stream);
    if (!split.error.empty()) throw UsageError(inputName + ": " + split.error);
    if (const std::string problem = CheckLastPictures(stream, split.units, split.codec);
        !problem.empty()) {
      throw UsageError(inputName +
                       ": truncated or damaged at its end (its last pictures do not "
                       "decode: " +
                       problem + ")");
    }
  }
  CStopSignals signals;  // before the library starts its threads
  options.stopRequested = [&signals] { return signals.requested(); };
  // The pace is the stream's own: its first key picture's parameter sets give it.
  std::span<const uint8_t> first;
  bool firstKey = false;
  if (live) {
    if (!live->Next(&first, &firstKey, options.stopRequested)) return 128 + signals.signal();
  } else {
    const AccessUnit& unit = split.units.front();
    first = stream.subspan(unit.offset, unit.size);
  }
  CPictureReader reader(live ? live->codec() : split.codec);
  reader.PictureOrder(first);
  const FrameRate rate = reader.frameRate();
  options.framesPerSecond = rate.known() ? rate.value() : fpsOption > 0 ? fpsOption : 25.0;
  if (!rate.known()) {
    std::fprintf(stderr, "dvrtool record: %s states no frame rate; %.3g fps%s\n", inputName.c_str(),
                 options.framesPerSecond, fpsOption > 0 ? " from --fps" : " assumed (set --fps)");
  } else if (fpsOption > 0 && std::fabs(fpsOption - rate.value()) > 0.001) {
    std::fprintf(stderr,
                 "dvrtool record: warning: %s says %.3g fps, --fps %.3g; recording at the "
                 "stream's %.3g fps\n",
                 inputName.c_str(), rate.value(), fpsOption, rate.value());
  }
  DescribeEarlierRecording(options.dir, args.Flag("yes"));
  if (live) {
    std::printf("recording %s as it arrives at %.3g fps on %d channel(s) into %s (%d data files)\n",
                inputName.c_str(), options.framesPerSecond, options.channels, options.dir.c_str(),
                options.files);
  } else {
    std::printf(
        "recording %d s of %zu access units at %.3g fps on %d channel(s) into %s (%d data "
        "files)%s\n",
        options.seconds, split.units.size(), options.framesPerSecond, options.channels,
        options.dir.c_str(), options.files,
        options.fast ? ", as fast as the recorder takes it" : "");
  }
  std::fflush(stdout);
  RecordOutcome outcome;
  if (live) {
    // Until the input ends, or for --seconds when given.
    const uint64_t limit =
        args.Has("seconds")
            ? static_cast<uint64_t>(std::llround(options.seconds * options.framesPerSecond))
            : UINT64_MAX;
    outcome = Record(options, [&](uint32_t serial, std::span<const uint8_t>* unit, bool* key) {
      if (serial == 0) {
        *unit = first;
        *key = firstKey;
        return true;
      }
      return serial < limit && live->Next(unit, key, options.stopRequested);
    });
  } else {
    outcome = Record(options, stream, split.units);
  }
  if (outcome.interrupted) {
    std::printf("stopped by %s after %.1f s; the recorder stored what it had taken in\n",
                signals.signal() == SIGTERM ? "SIGTERM" : "SIGINT", outcome.elapsed);
  }
  std::printf("recorded %llu video frames (%llu refused), %llu audio frames, %.2f MB in %.1f s\n",
              static_cast<unsigned long long>(outcome.framesTaken),
              static_cast<unsigned long long>(outcome.framesRefused),
              static_cast<unsigned long long>(outcome.audioTaken), outcome.bytes / 1e6,
              outcome.elapsed);
  std::printf("from %s to %s\n", FormatLocalDateTime(outcome.firstSecond).c_str(),
              FormatLocalDateTime(outcome.lastSecond).c_str());
  if (outcome.framesRefused != 0 || outcome.fileEvents != 0) return kExitFailed;
  return outcome.interrupted ? 128 + signals.signal() : kExitOk;
}

int DatesCommand(const Words& words) {
  const CCommandLine args = Parse("dates", words);
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  const std::vector<IndexFile> indexes = IndexFiles("dates", dir);
  CFileSearchSession search(dir);
  ReportSkipped("dates", search);
  std::vector<time_t> dates;
  CJsonWriter json;
  json.BeginObject().Field("directory", dir).BeginArray("dates");
  for (const time_t date : search.Dates()) {
    // The first and last recorded second of the day, from the files' minute entries.
    const time_t dayEnd = ParseLocalDate(FormatLocalDate(date + 36 * 3600)) - 1;
    std::optional<time_t> first, last;
    for (const IndexFile& index : indexes) {
      const storage::IndexSummary& s = index.record.summary;
      if (s.dataBytes == 0 || s.endTime < date || s.startTime > dayEnd) continue;
      for (int32_t i = 0; i <= s.lastEntry; ++i) {
        const time_t from = s.entries[i].time;
        const time_t to =
            i < s.lastEntry ? std::max<time_t>(from, s.entries[i + 1].time - 1) : s.endTime;
        if (to < date || from > dayEnd) continue;
        first = std::min(first.value_or(from), std::max(from, date));
        last = std::max(last.value_or(to), std::min(to, dayEnd));
      }
    }
    if (!first) continue;  // only from files that are no index files
    dates.push_back(date);
    const DayTable day = search.Day(date + 12 * 3600);
    int minutes = 0;
    const uint32_t channels = ChannelsOfDay(day, &minutes);
    std::vector<int> perChannel(32);
    for (int slot = 0; slot < kDaySlots; ++slot) {
      for (int c = 0; c < 32; ++c) perChannel[c] += ((day.any[slot] | day.audio[slot]) >> c) & 1;
    }
    if (args.Flag("json")) {
      json.BeginObject()
          .Field("date", FormatLocalDate(date))
          .Field("first", FormatLocalDateTime(*first))
          .Field("last", FormatLocalDateTime(*last))
          .Field("minutes", minutes)
          .Field("channels", __builtin_popcount(channels))
          .Field("channel_mask", channels)
          .BeginArray("channel_minutes");
      for (int c = 0; c < 32; ++c) {
        if (perChannel[c] != 0)
          json.BeginObject().Field("channel", c).Field("minutes", perChannel[c]).EndObject();
      }
      json.EndArray().EndObject();
    } else {
      std::string perText;
      for (int c = 0; c < 32; ++c) {
        if (perChannel[c] != 0)
          perText += " " + std::to_string(c) + ":" + std::to_string(perChannel[c]);
      }
      std::printf("%s  %s to %s, %4d recorded minute(s), %2d channel(s); minutes per channel%s\n",
                  FormatLocalDate(date).c_str(), FormatLocalDateTime(*first).c_str(),
                  FormatLocalDateTime(*last).c_str(), minutes, __builtin_popcount(channels),
                  perText.c_str());
    }
  }
  json.EndArray().EndObject();
  if (args.Flag("json")) std::fputs(json.text().c_str(), stdout);
  if (dates.empty()) throw RuntimeError(dir + ": no recorded dates");
  return kExitOk;
}

int TimelineCommand(const Words& words) {
  const CCommandLine args = Parse("timeline", words);
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  const time_t date = ParseLocalDate(args.Required("date"));
  IndexFiles("timeline", dir);
  std::optional<DstRange> dst;
  if (const auto text = args.Value("dst")) dst = ParseDstRange(*text);
  std::optional<COutputFile> svg;
  if (const auto path = args.Value("svg")) svg.emplace(*path, args.Flag("yes"));
  CFileSearchSession search(dir, dst ? &*dst : nullptr);
  ReportSkipped("timeline", search);
  const DayTable day = search.Day(date + 12 * 3600);
  int minutes = 0;
  ChannelsOfDay(day, &minutes);
  // An empty day is one line, not a table of dots.
  if (minutes == 0) {
    throw RuntimeError("nothing recorded on " + FormatLocalDate(date) + " (dvrtool dates " + dir +
                       " lists the recorded days)");
  }
  if (args.Flag("json")) {
    CJsonWriter json;
    json.BeginObject()
        .Field("date", FormatLocalDate(date))
        .Field("day_kind", DayKindName(day.dayKind))
        .Field("hours", day.hourCount)
        .BeginArray("dst_hours");
    for (int row = 0; row < kDayRows; ++row) json.Item(day.dstHours[row]);
    json.EndArray().BeginArray("minutes");
    for (int s = 0; s < kDaySlots; ++s) {
      if ((day.any[s] | day.audio[s]) == 0) continue;
      char time[8];
      std::snprintf(time, sizeof(time), "%02d:%02d", s / 60, s % 60);
      json.BeginObject()
          .Field("slot", s)
          .Field("time", time)
          .Field("any", day.any[s])
          .Field("recorded", day.reason1[s])
          .Field("trigger_a", day.reason2[s])
          .Field("trigger_b", day.reason4[s])
          .Field("audio", day.audio[s])
          .EndObject();
    }
    json.EndArray().EndObject();
    std::fputs(json.text().c_str(), stdout);
  } else {
    std::printf("%s: %s, %d hours\n", FormatLocalDate(date).c_str(),
                DayKindName(day.dayKind).c_str(), day.hourCount);
    std::fputs((args.Flag("by-channel") ? ChannelsByHours(day) : HoursByMinutes(day)).c_str(),
               stdout);
  }
  if (svg) {
    svg->stream() << DaySvg(day, date);
    svg->Commit();
    std::fprintf(args.Flag("json") ? stderr : stdout, "picture written to %s\n",
                 svg->path().c_str());
  }
  return kExitOk;
}

int PlayCommand(const Words& words) {
  const CCommandLine args = Parse("play", words);
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  PlayOptions options;
  options.from = ParseLocalDateTime(args.Required("from"));
  options.rate = static_cast<float>(args.Number("rate", 1.0, -100.0, 100.0));
  options.channel = static_cast<uint32_t>(args.Integer("channel", 0, 0, 31));
  options.maxSeconds = args.Number("seconds", 10.0, 0.1, 86400.0);
  std::optional<COutputFile> out;
  if (const auto path = args.Value("out")) out.emplace(*path, args.Flag("yes"));
  // With the video on standard output, the report goes to standard error.
  FILE* report = out && out->toStdout() ? stderr : stdout;
  CStopSignals signals;  // before the library starts its threads
  options.stopRequested = [&signals] { return signals.requested(); };
  IndexFiles("play", dir);
  CFileSearchSession search(dir);
  ReportSkipped("play", search);
  CheckSomethingToPlay(dir, options.from, options.channel);
  const float rate = options.rate;
  const std::vector<PlayedFrame> frames = FirstPass(search.Play(options), rate);
  for (const PlayedFrame& f : frames) {
    if (out && !f.audio) {
      out->stream().write(reinterpret_cast<const char*>(f.payload.data()),
                          static_cast<std::streamsize>(f.payload.size()));
    }
  }
  const PlaySummary summary = SummarizePlay(frames);
  const Lateness lateness = MeasureLateness(frames, rate);
  if (args.Flag("json")) {
    // Shown frames against the recorded pace: the recorded span they cover over the time
    // they took to arrive.
    const PlayedFrame* firstShown = nullptr;
    const PlayedFrame* lastShown = nullptr;
    for (const PlayedFrame& f : frames) {
      if (f.audio || f.decodeOnly) continue;
      if (firstShown == nullptr) firstShown = &f;
      lastShown = &f;
    }
    double speed = 0;
    if (firstShown != nullptr && lastShown != firstShown) {
      const auto instant = [](const PlayedFrame* f) { return f->time + f->millisecond / 1000.0; };
      const double took =
          std::chrono::duration<double>(lastShown->arrival - firstShown->arrival).count();
      if (took > 0) speed = std::fabs(instant(lastShown) - instant(firstShown)) / took;
    }
    CJsonWriter json;
    json.BeginObject()
        .Field("directory", dir)
        .Field("channel", options.channel)
        .Field("rate", static_cast<double>(rate))
        .Field("from", FormatLocalDateTime(options.from))
        .Field("first", frames.empty() ? "" : FormatLocalDateTime(frames.front().time))
        .Field("last", frames.empty() ? "" : FormatLocalDateTime(frames.back().time))
        .Field("video_frames", static_cast<uint64_t>(summary.shown + summary.decodeOnly))
        .Field("key_frames", static_cast<uint64_t>(summary.shownKeys))
        .Field("decode_only_frames", static_cast<uint64_t>(summary.decodeOnly))
        .Field("shown_frames", static_cast<uint64_t>(summary.shown))
        .Field("audio_frames", static_cast<uint64_t>(summary.audio))
        .Field("speed", speed)
        .Field("lateness_median_ms", lateness.medianMs)
        .Field("lateness_max_ms", lateness.maxMs)
        .Field("interrupted", signals.requested())
        .Field("damaged_records_skipped", static_cast<uint64_t>(search.damagedSkipped()))
        .EndObject();
    std::fputs(json.text().c_str(), report);
  } else {
    if (signals.requested()) std::fprintf(report, "playback stopped by a signal\n");
    std::fprintf(report, "channel %u at rate %g from %s: %s", options.channel,
                 static_cast<double>(rate), FormatLocalDateTime(options.from).c_str(),
                 DescribePlay(summary).c_str());
    std::fprintf(report, "%s\n", DescribeLateness(lateness).c_str());
    if (search.damagedSkipped() != 0) {
      std::fprintf(report, "%s stepped over\n",
                   Counted(search.damagedSkipped(), "damaged record").c_str());
    }
  }
  if (frames.empty() && !signals.requested())
    throw RuntimeError("no frame of channel " + std::to_string(options.channel) + " came back");
  if (out) out->Commit();
  return signals.requested() ? 128 + signals.signal() : kExitOk;
}

int VerifyCommand(const Words& words) {
  const CCommandLine args = Parse("verify", words);
  args.ExpectPositional(1, "a directory");
  const std::string dir = CheckDataDirectory(args.positional()[0]);
  const bool json = args.Flag("json");
  const bool quiet = args.Flag("quiet");
  std::ostringstream lines;
  CDataSetVerifier verifier(lines);
  std::vector<VerifyProblem> problems;
  verifier.set_problem_list(&problems);
  CProgressMeter progress("verifying", 1000, quiet || json);
  uint64_t bytes = 0;
  verifier.set_pair_done([&](const FilePair& pair, size_t done, size_t total) {
    if (!pair.indexPath.empty()) {
      if (const std::optional<IndexFile> index = ReadIndexFile(pair.indexPath)) {
        bytes += index->record.summary.dataBytes;
      }
    }
    // Each pair's lines as soon as it is checked; -q keeps only the problems.
    std::istringstream text(lines.str());
    lines.str("");
    for (std::string line; std::getline(text, line);) {
      if (json || (quiet && line.rfind("ok ", 0) == 0)) continue;
      progress.Finish();
      std::printf("%s\n", EscapeText(line).c_str());
    }
    std::fflush(stdout);
    progress.Update(done * 1000 / std::max<size_t>(total, 1), bytes);
  });
  VerifyTotals totals = verifier.VerifyDirectory(dir);
  for (const FilePair& pair : ListPairs(dir)) {
    if (pair.indexPath.empty()) continue;
    const std::optional<IndexFile> index = ReadIndexFile(pair.indexPath);
    if (!index || IsIndexFile(*index)) continue;
    problems.push_back({pair.indexPath, 0, "not an index file"});
    ++totals.problems;
    if (!json) std::printf("%s: offset 0: not an index file\n", EscapeText(pair.indexPath).c_str());
  }
  progress.Finish();
  if (json) {
    CJsonWriter out;
    out.BeginObject()
        .Field("directory", dir)
        .Field("pairs", totals.pairs)
        .Field("records", totals.records)
        .Field("problems", totals.problems)
        .Field("damaged_records", totals.damagedRecords)
        .BeginArray("problem_list");
    for (const VerifyProblem& p : problems) {
      out.BeginObject().Field("file", p.path).Field("offset", p.offset).Field("what", p.what);
      out.EndObject();
    }
    out.EndArray().EndObject();
    std::fputs(out.text().c_str(), stdout);
  } else {
    std::printf("verify: %d file pair(s), %llu records, %d problem(s)\n", totals.pairs,
                static_cast<unsigned long long>(totals.records), totals.problems);
  }
  if (totals.pairs == 0) throw RuntimeError(dir + ": no recording files (*.VDB, *.FIH)");
  return totals.problems == 0 ? kExitOk : kExitFailed;
}

int ExportCommand(const Words& words) {
  const CCommandLine args = Parse("export", words);
  args.ExpectPositional(1, "a directory");
  ExportRequest request;
  request.dir = CheckDataDirectory(args.positional()[0]);
  request.channel = static_cast<uint32_t>(args.Integer("channel", -1, 0, 31));
  if (!args.Has("channel")) throw UsageError("'export' needs --channel");
  if (const auto from = args.Value("from")) request.from = ParseLocalDateTime(*from);
  if (const auto to = args.Value("to")) request.to = ParseLocalDateTime(*to);
  if (request.to < request.from) throw UsageError("--to is before --from");
  request.out = args.Required("out");
  request.format = ExportFormatFor(request.out, args.Value("format").value_or(""));
  request.overwrite = args.Flag("yes");
  request.quiet = args.Flag("quiet");
  // With the export on standard output, the report goes to standard error.
  FILE* report = request.out == "-" ? stderr : stdout;
  const ExportOutcome outcome = ExportChannel(request, std::cerr);
  if (outcome.frames == 0) {
    throw RuntimeError("no video of channel " + std::to_string(request.channel) +
                       " in that range; nothing written");
  }
  const char* formats[] = {"h264", "mp4", "mkv", "ts"};
  const std::string where = request.out == "-" ? "standard output" : request.out;
  if (args.Flag("json")) {
    CJsonWriter json;
    json.BeginObject()
        .Field("directory", request.dir)
        .Field("channel", request.channel)
        .Field("output", where)
        .Field("format", formats[static_cast<int>(request.format)])
        .Field("frames", outcome.frames)
        .Field("key_frames", outcome.keyFrames)
        .Field("pre_roll_frames", outcome.preRollFrames)
        .Field("bytes", outcome.bytes)
        .Field("first", FormatLocalDateTime(outcome.first))
        .Field("last", FormatLocalDateTime(outcome.last))
        .Field("frame_rate", outcome.frameRate)
        .Field("damaged_files", outcome.damagedFiles)
        .EndObject();
    std::fputs(json.text().c_str(), report);
  } else {
    std::fprintf(report,
                 "exported %llu frames (%llu key frames, %llu bytes) of channel %u, %s to %s, to "
                 "%s\n",
                 static_cast<unsigned long long>(outcome.frames),
                 static_cast<unsigned long long>(outcome.keyFrames),
                 static_cast<unsigned long long>(outcome.bytes), request.channel,
                 FormatLocalDateTime(outcome.first).c_str(),
                 FormatLocalDateTime(outcome.last).c_str(), EscapeText(where).c_str());
    if (outcome.preRollFrames != 0) {
      std::fprintf(report,
                   "  with %llu frames before --from from its key frame, for decoding only\n",
                   static_cast<unsigned long long>(outcome.preRollFrames));
    }
  }
  return outcome.damagedFiles == 0 ? kExitOk : kExitFailed;
}

}  // namespace dvrtool
