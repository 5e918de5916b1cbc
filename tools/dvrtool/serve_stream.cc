#include "serve_stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "errors.h"
#include "file_search_session.h"

#if DVRTOOL_HAVE_LIBAV
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
#endif

namespace dvrtool {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

// The NAL units of an Annex B access unit: (offset of the header byte, length).
template <typename F>
void ForEachUnit(const std::vector<uint8_t>& au, F&& f) {
  size_t i = 0;
  while (i + 3 <= au.size()) {
    if (!(au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1)) {
      ++i;
      continue;
    }
    const size_t header = i + 3;
    size_t end = header;
    while (end + 3 <= au.size() &&
           !(au[end] == 0 && au[end + 1] == 0 && (au[end + 2] == 1 || au[end + 2] == 0)))
      ++end;
    if (end + 3 > au.size()) end = au.size();
    if (header < end) f(header, end - header);
    i = end;
  }
}

}  // namespace

#if DVRTOOL_HAVE_LIBAV

// libavformat's MP4 muxer writing through our own I/O into the stream's buffer. Each frame
// is held until the next gives its duration, then goes out as a fragment of its own.
struct CLiveStream::Muxer {
  CLiveStream* owner = nullptr;
  AVFormatContext* output = nullptr;
  AVStream* stream = nullptr;
  AVPacket* pending = nullptr;
  int64_t pendingPts = -1;
  int64_t lastDuration = 40;
  bool failed = false;

  ~Muxer() {
    if (output != nullptr) {
      if (output->pb != nullptr) {
        av_freep(&output->pb->buffer);
        avio_context_free(&output->pb);
      }
      avformat_free_context(output);
    }
    av_packet_free(&pending);
  }

  static int Write(void* opaque, uint8_t* data, int size) {  // const in FFmpeg 6.1 on
    auto* self = static_cast<Muxer*>(opaque);
    self->owner->Push(data, static_cast<size_t>(std::max(size, 0)));
    return self->owner->stop_.load() ? AVERROR_EXIT : size;
  }

  // Opens the file at the first key frame that carries its SPS and PPS; false before it.
  bool Open(const std::vector<uint8_t>& frame, std::string* codec) {
    std::string sets;
    char name[32] = {};
    ForEachUnit(frame, [&](size_t at, size_t length) {
      const int type = frame[at] & 0x1F;
      if (type != 7 && type != 8) return;
      if (type == 7 && length >= 4) {
        std::snprintf(name, sizeof(name), "avc1.%02X%02X%02X", frame[at + 1], frame[at + 2],
                      frame[at + 3]);
      }
      sets.append("\0\0\0\1", 4);
      sets.append(reinterpret_cast<const char*>(frame.data() + at), length);
    });
    if (name[0] == 0) return false;
    int width = 0, height = 0;
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(nullptr);
    if (parser != nullptr && context != nullptr) {
      uint8_t* out = nullptr;
      int outSize = 0;
      av_parser_parse2(parser, context, &out, &outSize, frame.data(),
                       static_cast<int>(frame.size()), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      av_parser_parse2(parser, context, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE,
                       0);
      width = parser->width > 0 ? parser->width : context->width;
      height = parser->height > 0 ? parser->height : context->height;
    }
    if (parser != nullptr) av_parser_close(parser);
    avcodec_free_context(&context);
    if (width <= 0 || height <= 0) return false;

    if (avformat_alloc_output_context2(&output, nullptr, "mp4", nullptr) < 0) return false;
    pending = av_packet_alloc();
    stream = avformat_new_stream(output, nullptr);
    auto* buffer = static_cast<uint8_t*>(av_malloc(64 << 10));
    if (pending == nullptr || stream == nullptr || buffer == nullptr) {
      av_free(buffer);
      return false;
    }
    output->pb = avio_alloc_context(buffer, 64 << 10, 1, this, nullptr, &Write, nullptr);
    if (output->pb == nullptr) {
      av_free(buffer);
      return false;
    }
    AVCodecParameters* p = stream->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = AV_CODEC_ID_H264;
    p->width = width;
    p->height = height;
    p->format = AV_PIX_FMT_YUV420P;
    p->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (p->extradata == nullptr) return false;
    std::copy(sets.begin(), sets.end(), p->extradata);
    p->extradata_size = static_cast<int>(sets.size());
    stream->time_base = AVRational{1, 1000};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "empty_moov+default_base_moof+frag_custom", 0);
    const int rc = avformat_write_header(output, &options);
    av_dict_free(&options);
    if (rc < 0) return false;
    avio_flush(output->pb);
    *codec = name;
    return true;
  }

  void WritePending(int64_t duration) {
    pending->duration = duration;
    av_packet_rescale_ts(pending, AVRational{1, 1000}, stream->time_base);
    if (av_write_frame(output, pending) < 0 || av_write_frame(output, nullptr) < 0) failed = true;
    avio_flush(output->pb);
    av_packet_unref(pending);
  }

  void Add(const std::vector<uint8_t>& frame, bool key, int64_t pts) {
    if (pendingPts >= 0) {
      pts = std::max(pts, pendingPts + 1);  // times only grow in a file
      lastDuration = pts - pendingPts;
      WritePending(lastDuration);
    }
    if (failed || av_new_packet(pending, static_cast<int>(frame.size())) < 0) {
      failed = true;
      return;
    }
    std::copy(frame.begin(), frame.end(), pending->data);
    pending->pts = pending->dts = pendingPts = pts;
    pending->flags = key ? AV_PKT_FLAG_KEY : 0;
    pending->stream_index = 0;
  }
};

#else

struct CLiveStream::Muxer {
  CLiveStream* owner = nullptr;
  bool failed = true;
  bool Open(const std::vector<uint8_t>&, std::string*) { return false; }
  void Add(const std::vector<uint8_t>&, bool, int64_t) {}
};

#endif

CLiveStream::CLiveStream(const LiveStreamRequest& request) : request_(request), muxer_(new Muxer) {
  muxer_->owner = this;
  thread_ = std::thread([this] { Run(); });
}

CLiveStream::~CLiveStream() {
  Stop();
  thread_.join();
}

void CLiveStream::Stop() {
  stop_.store(true);
  platform::MutexLock hold(&mutex_);
  changed_.SignalAll();
}

std::string CLiveStream::codec() const {
  platform::MutexLock hold(&mutex_);
  return codec_;
}

void CLiveStream::Run() {
  try {
    CFileSearchSession search(request_.dir);
    PlayOptions options;
    options.from = request_.from;
    options.rate = request_.rate;
    options.channel = request_.channel;
    options.maxSeconds = 12 * 3600;
    // After the last recording, or when nothing comes for long, the stream ends.
    lastFrame_.store(NowMs());
    options.stopRequested = [this] {
      return stop_.load() || NowMs() - lastFrame_.load() > request_.idleSeconds * 1000;
    };
    bool open = false;
    options.sink = [&](PlayedFrame&& frame) {
      if (frame.audio || frame.payload.empty() || stop_.load() || muxer_->failed) return;
      lastFrame_.store(NowMs());
      const int64_t ms = static_cast<int64_t>(frame.time) * 1000 + frame.millisecond;
      if (!open) {
        std::string codec;
        if (!frame.key || !muxer_->Open(frame.payload, &codec)) return;
        open = true;
        startMs_.store(ms);
        platform::MutexLock hold(&mutex_);
        codec_ = codec;
        started_ = true;
        changed_.SignalAll();
      }
      const int64_t start = startMs_.load();
      muxer_->Add(frame.payload, frame.key, request_.rate < 0 ? start - ms : ms - start);
      if (muxer_->failed) stop_.store(true);
    };
    search.Play(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dvrtool serve: stream of channel %u: %s\n", request_.channel, e.what());
  }
  platform::MutexLock hold(&mutex_);
  ended_ = true;
  changed_.SignalAll();
}

void CLiveStream::Push(const uint8_t* data, size_t size) {
  platform::MutexLock hold(&mutex_);
  const auto deadline = After(request_.fullSeconds);
  while (bytes_ > 0 && bytes_ + size > request_.bufferBytes && !stop_.load()) {
    if (!changed_.WaitUntil(&mutex_, deadline) && Clock::now() >= deadline) {
      overflowed_.store(true);  // the reader stopped reading: give the stream up
      std::fprintf(stderr,
                   "dvrtool serve: stream of channel %u dropped, its viewer stopped reading\n",
                   request_.channel);
      stop_.store(true);
      changed_.SignalAll();
      return;
    }
  }
  if (stop_.load()) return;
  chunks_.emplace_back(reinterpret_cast<const char*>(data), size);
  bytes_ += size;
  changed_.SignalAll();
}

bool CLiveStream::WaitStarted(double seconds) {
  const auto deadline = After(seconds);
  platform::MutexLock hold(&mutex_);
  while (!started_ && !ended_ && Clock::now() < deadline) changed_.WaitUntil(&mutex_, deadline);
  return started_;
}

bool CLiveStream::Take(std::string* out, double seconds) {
  out->clear();
  const auto deadline = After(seconds);
  platform::MutexLock hold(&mutex_);
  while (chunks_.empty() && !ended_ && !stop_.load() && Clock::now() < deadline) {
    changed_.WaitUntil(&mutex_, deadline);
  }
  while (!chunks_.empty() && out->size() < (256u << 10)) {
    out->append(chunks_.front());
    bytes_ -= chunks_.front().size();
    chunks_.pop_front();
  }
  changed_.SignalAll();
  return !out->empty() || !(ended_ || stop_.load());
}

}  // namespace dvrtool
