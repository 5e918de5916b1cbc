// `dvrtool serve`: the review page and its small HTTP API over the recordings of the named
// directories. Read-only: the day tables and the streams come from the library's file
// search, the downloads from the same export `dvrtool export` writes. A request names a
// directory by its number in the list given on the command line, never by a path.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "commands.h"
#include "errors.h"
#include "file_search_session.h"
#include "json_writer.h"
#include "serve_page.h"
#include "serve_stream.h"
#include "stop_signals.h"
#include "stream_export.h"
#include "timeline_view.h"

#if DVRTOOL_HAVE_HTTPLIB
#include <httplib.h>
#endif

namespace dvrtool {

#if DVRTOOL_HAVE_HTTPLIB
namespace {

constexpr int kWorkers = 40;
constexpr size_t kQueuedConnections = 64;
constexpr int kMaxStreams = 24;         // every viewer together
constexpr int kMaxStreamsPerPeer = 16;  // browsers on one machine are one peer
constexpr int kMaxExports = 2;
constexpr time_t kMaxExportSeconds = 24 * 3600;

// httplib's workers, with a bounded queue: when every worker is busy and the queue is full,
// the listening thread waits, new connections wait in the kernel's backlog, and nothing
// grows here.
class CBoundedPool : public httplib::TaskQueue {
 public:
  CBoundedPool() {
    for (int i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return jobs_.size() < kQueuedConnections || closing_; });
    jobs_.push_back(std::move(fn));
    work_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    work_.notify_all();
    room_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [this] { return !jobs_.empty() || closing_; });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
        room_.notify_one();
      }
      fn();
    }
  }
  std::mutex mutex_;
  std::condition_variable work_, room_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

struct Source {
  std::string dir;
  std::string name;
};

// A counter of things in use with a limit; Claim() fails at the limit.
class CSlots {
 public:
  bool Claim(const std::string& peer, int total, int perPeer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (used_ >= total || byPeer_[peer] >= perPeer) return false;
    ++used_;
    ++byPeer_[peer];
    return true;
  }
  void Release(const std::string& peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    --used_;
    if (--byPeer_[peer] <= 0) byPeer_.erase(peer);
  }

 private:
  std::mutex mutex_;
  int used_ = 0;
  std::map<std::string, int> byPeer_;
};

std::optional<int64_t> QueryInteger(const httplib::Request& req, const char* name, int64_t low,
                                    int64_t high) {
  if (!req.has_param(name)) return std::nullopt;
  const std::string text = req.get_param_value(name);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

void Fail(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content(why + "\n", "text/plain; charset=utf-8");
}

std::string ZoneName(time_t at) {
  std::tm fields{};
  localtime_r(&at, &fields);
  const char* tz = std::getenv("TZ");
  std::string name = tz != nullptr && *tz != 0 ? std::string(tz[0] == ':' ? tz + 1 : tz) : "";
  const std::string abbreviation = fields.tm_zone != nullptr ? fields.tm_zone : "";
  if (name.empty()) return abbreviation;
  return abbreviation.empty() || abbreviation == name ? name : name + " (" + abbreviation + ")";
}

const char* MimeType(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

class CServer {
 public:
  CServer(std::vector<Source> sources, size_t streamBuffer)
      : sources_(std::move(sources)), streamBuffer_(streamBuffer) {}

  void Route(httplib::Server& http) {
    http.new_task_queue = [] { return new CBoundedPool; };
    http.set_read_timeout(5, 0);
    http.set_write_timeout(5, 0);
    http.set_keep_alive_timeout(2);
    http.set_keep_alive_max_count(100);
    http.set_payload_max_length(4096);
    http.set_default_headers(
        {{"X-Content-Type-Options", "nosniff"},
         {"Cache-Control", "no-store"},
         {"Referrer-Policy", "no-referrer"},
         {"Content-Security-Policy",
          "default-src 'self'; media-src 'self' blob:; img-src 'self' data:"}});
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { Fail(res, 500, "internal error"); });
    http.Get("/", [](const httplib::Request&, httplib::Response& res) { Page("index.html", res); });
    http.Get(
        R"(/([a-z]+\.(html|js|css|svg)))",
        [](const httplib::Request& req, httplib::Response& res) { Page(req.matches[1], res); });
    http.Get("/api/sources", [this](const httplib::Request&, httplib::Response& res) {
      CJsonWriter json;
      json.BeginObject().Field("zone", ZoneName(std::time(nullptr))).BeginArray("sources");
      for (size_t i = 0; i < sources_.size(); ++i) {
        json.BeginObject().Field("id", static_cast<int64_t>(i)).Field("name", sources_[i].name);
        json.EndObject();
      }
      json.EndArray().EndObject();
      res.set_content(json.text(), "application/json");
    });
    http.Get("/api/dates", [this](const httplib::Request& req, httplib::Response& res) {
      if (const Source* source = Find(req, res)) Dates(*source, res);
    });
    http.Get("/api/day", [this](const httplib::Request& req, httplib::Response& res) {
      if (const Source* source = Find(req, res)) Day(*source, req, res);
    });
    http.Get("/api/stream", [this](const httplib::Request& req, httplib::Response& res) {
      if (const Source* source = Find(req, res)) Stream(*source, req, res);
    });
    http.Get("/api/export", [this](const httplib::Request& req, httplib::Response& res) {
      if (const Source* source = Find(req, res)) Export(*source, req, res);
    });
  }

 private:
  static void Page(const std::string& name, httplib::Response& res) {
    for (size_t i = 0; i < kPageFileCount; ++i) {
      if (kPageFiles[i].name == name) {
        res.set_content(std::string(kPageFiles[i].body), MimeType(name));
        return;
      }
    }
    Fail(res, 404, "no such page");
  }

  const Source* Find(const httplib::Request& req, httplib::Response& res) const {
    const auto id = QueryInteger(req, "src", 0, static_cast<int64_t>(sources_.size()) - 1);
    if (!id) {
      Fail(res, 404, "no such recording directory");
      return nullptr;
    }
    return &sources_[static_cast<size_t>(*id)];
  }

  static void Dates(const Source& source, httplib::Response& res) {
    CFileSearchSession search(source.dir);
    CJsonWriter json;
    json.BeginObject().BeginArray("dates");
    for (const time_t date : search.Dates()) {
      const DayTable day = search.Day(date + 12 * 3600);
      uint32_t channels = 0;
      int minutes = 0;
      for (int s = 0; s < kDaySlots; ++s) {
        channels |= day.any[s] | day.audio[s];
        minutes += (day.any[s] | day.audio[s]) != 0 ? 1 : 0;
      }
      json.BeginObject()
          .Field("date", FormatLocalDate(date))
          .Field("day_kind", DayKindName(day.dayKind))
          .Field("minutes", minutes)
          .Field("channel_mask", channels)
          .EndObject();
    }
    json.EndArray().EndObject();
    res.set_content(json.text(), "application/json");
  }

  static void Day(const Source& source, const httplib::Request& req, httplib::Response& res) {
    time_t midnight = 0;
    try {
      midnight = ParseLocalDate(req.get_param_value("date"));
    } catch (const UsageError&) {
      return Fail(res, 400, "date must be YYYY-MM-DD");
    }
    CFileSearchSession search(source.dir);
    const DayTable day = search.Day(midnight + 12 * 3600);
    CJsonWriter json;
    json.BeginObject()
        .Field("date", FormatLocalDate(midnight))
        .Field("midnight", static_cast<int64_t>(midnight))
        .Field("zone", ZoneName(midnight + 12 * 3600))
        .Field("day_kind", DayKindName(day.dayKind))
        .Field("hours", day.hourCount)
        .BeginArray("dst_hours");
    for (int row = 0; row < kDayRows; ++row) json.Item(day.dstHours[row]);
    // The zone's offset from UTC through the day, as [seconds after midnight, offset] at
    // each change, so the page writes clock times as the recorder's zone has them.
    json.EndArray().BeginArray("offsets");
    long last = LONG_MIN;
    for (int hour = 0; hour <= day.hourCount; ++hour) {
      const time_t at = midnight + hour * 3600;
      std::tm fields{};
      localtime_r(&at, &fields);
      if (fields.tm_gmtoff == last) continue;
      last = fields.tm_gmtoff;
      json.BeginArray("").Item(hour == 0 ? 0 : hour * 3600).Item(fields.tm_gmtoff).EndArray();
    }
    json.EndArray().BeginArray("slots");
    for (int s = 0; s < kDaySlots; ++s) {
      if ((day.any[s] | day.audio[s]) == 0) continue;
      json.BeginObject()
          .Field("slot", s)
          .Field("any", day.any[s])
          .Field("trigger_a", day.reason2[s])
          .Field("trigger_b", day.reason4[s])
          .Field("audio", day.audio[s])
          .EndObject();
    }
    json.EndArray().EndObject();
    res.set_content(json.text(), "application/json");
  }

  void Stream(const Source& source, const httplib::Request& req, httplib::Response& res) {
    const auto channel = QueryInteger(req, "ch", 0, 31);
    const auto from = QueryInteger(req, "from", 0, INT32_MAX);
    // The rate in sixteenths, so the query carries no floating point.
    const auto rate = QueryInteger(req, "rate16", -256, 256);
    if (!channel || !from || !rate || std::abs(*rate) < 8) {
      return Fail(res, 400, "needs ch=0..31, from=SECONDS, rate16=8..256 or -256..-8");
    }
    const std::string peer = req.remote_addr;
    if (!streams_.Claim(peer, kMaxStreams, kMaxStreamsPerPeer)) {
      return Fail(res, 503, "too many streams at once");
    }
    LiveStreamRequest request;
    request.dir = source.dir;
    request.channel = static_cast<uint32_t>(*channel);
    request.from = static_cast<time_t>(*from);
    request.rate = static_cast<float>(*rate) / 16.0f;
    request.bufferBytes = streamBuffer_;
    auto release = std::shared_ptr<void>(nullptr, [this, peer](void*) {
      streams_.Release(peer);
      malloc_trim(0);  // a stream's search frees megabytes: give them back to the system
    });
    auto stream = std::make_shared<CLiveStream>(request);
    if (!stream->WaitStarted(10)) return Fail(res, 404, "nothing to play there");
    res.set_header("X-Stream-Start", std::to_string(stream->startMs()));
    res.set_header("X-Codec", stream->codec());
    res.set_chunked_content_provider(
        "video/mp4",
        [stream](size_t, httplib::DataSink& sink) {
          std::string chunk;
          if (!stream->Take(&chunk, 0.5)) {
            sink.done();
            return !stream->overflowed();
          }
          return chunk.empty() || sink.write(chunk.data(), chunk.size());
        },
        [stream, release](bool) { stream->Stop(); });
  }

  void Export(const Source& source, const httplib::Request& req, httplib::Response& res) {
    const auto channel = QueryInteger(req, "ch", 0, 31);
    const auto from = QueryInteger(req, "from", 0, INT32_MAX);
    const auto to = QueryInteger(req, "to", 0, INT32_MAX);
    if (!channel || !from || !to || *to < *from || *to - *from > kMaxExportSeconds) {
      return Fail(res, 400, "needs ch=0..31, from=SECONDS, to=SECONDS within a day after from");
    }
    if (!exports_.Claim("", kMaxExports, kMaxExports)) return Fail(res, 503, "busy exporting");
    struct Release {
      CSlots* slots;
      ~Release() { slots->Release(""); }
    } release{&exports_};
    std::string base = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "";
    std::string pattern = (base.empty() ? std::string("/tmp") : base) + "/dvrtool-serve-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return Fail(res, 500, "no room for the export");
    ExportRequest request;
    request.dir = source.dir;
    request.channel = static_cast<uint32_t>(*channel);
    request.from = static_cast<time_t>(*from);
    request.to = static_cast<time_t>(*to);
    request.out = pattern + "/export.mp4";
    request.format = ExportFormat::kMp4;
    request.quiet = true;
    std::ostringstream log;
    int fd = -1;
    ExportOutcome outcome;
    try {
      outcome = ExportChannel(request, log);
      fd = ::open(request.out.c_str(), O_RDONLY | O_CLOEXEC);
    } catch (const std::exception& e) {
      log << e.what() << "\n";
    }
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);  // the open descriptor keeps the bytes
    if (!log.str().empty()) std::fprintf(stderr, "dvrtool serve: %s", log.str().c_str());
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || outcome.frames == 0) {
      if (fd >= 0) ::close(fd);
      return Fail(res, 404, "no video of that channel in that range");
    }
    char name[96];
    std::snprintf(name, sizeof(name), "channel%u_%s_%s.mp4", request.channel,
                  FormatLocalDateTime(request.from).c_str(),
                  FormatLocalDateTime(request.to).c_str());
    for (char* c = name; *c != 0; ++c) *c = (*c == ' ' || *c == ':') ? (*c == ' ' ? '_' : '-') : *c;
    res.set_header("Content-Disposition", std::string("attachment; filename=\"") + name + "\"");
    auto file = std::shared_ptr<int>(new int(fd), [](int* f) {
      ::close(*f);
      delete f;
    });
    res.set_content_provider(
        static_cast<size_t>(st.st_size), "video/mp4",
        [file](size_t offset, size_t length, httplib::DataSink& sink) {
          char buffer[64 << 10];
          const ssize_t n =
              ::pread(*file, buffer, std::min(length, sizeof(buffer)), static_cast<off_t>(offset));
          return n > 0 && sink.write(buffer, static_cast<size_t>(n));
        },
        [file](bool) {});
  }

  const std::vector<Source> sources_;
  const size_t streamBuffer_;
  CSlots streams_, exports_;
};

bool IsLoopback(const std::string& host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

}  // namespace

int ServeCommand(const Words& words) {
  const CCommandLine args(*FindCommand("serve"), words);
  if (args.positional().empty()) throw UsageError("'serve' needs a directory");
  std::vector<Source> sources;
  for (const std::string& dir : args.positional()) {
    const std::string checked = CheckDataDirectory(dir);
    CFileSearchSession probe(checked);  // refuses a directory without index files
    std::string name = std::filesystem::path(checked).lexically_normal().filename().string();
    if (name.empty()) name = std::filesystem::path(checked).parent_path().filename().string();
    sources.push_back({checked, name});
  }
  const std::string listen = args.Value("listen").value_or("127.0.0.1:8080");
  const size_t colon = listen.rfind(':');
  int port = -1;
  std::string host;
  if (colon != std::string::npos) {
    host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    const std::string digits = listen.substr(colon + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end != digits.data() + digits.size()) port = -1;
  }
  if (host.empty() || port < 0 || port > 65535) {
    throw UsageError("bad --listen '" + listen + "' (expected ADDR:PORT, e.g. 127.0.0.1:8080)");
  }
  // Forty workers and every stream's search threads would each get a malloc arena of their
  // own; a few shared ones keep a long-running server's memory flat.
  mallopt(M_ARENA_MAX, 4);
  CStopSignals signals;  // before the library starts its threads
  httplib::Server http;
  CServer server(std::move(sources),
                 static_cast<size_t>(args.Integer("stream-buffer", 2048, 16, 65536)) << 10);
  server.Route(http);
  if (IsLoopback(host)) {
    // Only this machine's own names reach a loopback server: a page elsewhere cannot point a
    // name of its own at it.
    http.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
      std::string name = req.get_header_value("Host");
      if (const size_t c = name.rfind(':'); c != std::string::npos && name.back() != ']') {
        name.resize(c);
      }
      if (name.size() > 2 && name.front() == '[') name = name.substr(1, name.size() - 2);
      if (IsLoopback(name)) return httplib::Server::HandlerResponse::Unhandled;
      Fail(res, 403, "this server answers to localhost only");
      return httplib::Server::HandlerResponse::Handled;
    });
  }
  const int bound =
      port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
  if (bound <= 0) throw RuntimeError("cannot listen on " + listen + ": " + std::strerror(errno));
  const bool v6 = host.find(':') != std::string::npos;
  std::printf("serving %zu director%s on http://%s%s%s:%d/ (Ctrl-C ends)\n",
              args.positional().size(), args.positional().size() == 1 ? "y" : "ies", v6 ? "[" : "",
              host.c_str(), v6 ? "]" : "", bound);
  std::fflush(stdout);
  std::atomic<bool> over{false};
  std::thread watcher([&] {
    while (!over.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (signals.requested()) {
        http.stop();
        break;
      }
    }
  });
  const bool ok = http.listen_after_bind();
  over.store(true);
  watcher.join();
  return ok || signals.requested() ? kExitOk : kExitFailed;
}

#else

int ServeCommand(const Words&) {
  throw UsageError("this dvrtool was built without cpp-httplib: 'serve' is not available");
}

#endif

}  // namespace dvrtool
