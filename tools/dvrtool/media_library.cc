#include "media_library.h"

#include <algorithm>

#include "errors.h"

#if DVRTOOL_HAVE_LIBAV
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}
#endif

namespace dvrtool {

#if DVRTOOL_HAVE_LIBAV

namespace {

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

// The SPS and PPS units of a key frame, with their start codes: the stream's extradata.
std::string ParameterSets(std::span<const uint8_t> frame) {
  std::string sets;
  size_t i = 0;
  while (i + 3 < frame.size()) {
    if (frame[i] != 0 || frame[i + 1] != 0 || frame[i + 2] != 1) {
      ++i;
      continue;
    }
    const size_t header = i + 3;
    size_t end = header;
    while (end + 3 <= frame.size() && !(frame[end] == 0 && frame[end + 1] == 0 &&
                                        (frame[end + 2] == 1 || frame[end + 2] == 0)))
      ++end;
    if (end + 3 > frame.size()) end = frame.size();
    const int type = frame[header] & 0x1F;
    if (type == 7 || type == 8) {
      sets.append("\0\0\0\1", 4);
      sets.append(reinterpret_cast<const char*>(frame.data() + header), end - header);
    }
    i = end;
  }
  return sets;
}

struct PictureSize {
  int width = 0, height = 0;
};

PictureSize ParsePictureSize(std::span<const uint8_t> frame) {
  PictureSize size;
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  if (parser != nullptr && context != nullptr) {
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, context, &out, &outSize, frame.data(), static_cast<int>(frame.size()),
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    av_parser_parse2(parser, context, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE,
                     0);
    size.width = parser->width > 0 ? parser->width : context->width;
    size.height = parser->height > 0 ? parser->height : context->height;
  }
  if (parser != nullptr) av_parser_close(parser);
  avcodec_free_context(&context);
  return size;
}

}  // namespace

struct CContainerWriter::State {
  std::string format, path;
  AVFormatContext* output = nullptr;
  AVStream* stream = nullptr;
  AVPacket* pending = nullptr;  // the last frame, held until the next one gives its duration
  int64_t firstMs = 0;
  int64_t pendingPts = 0;  // of `pending`, in milliseconds from the first frame
  int64_t lastDuration = 40;
  bool open = false;  // header written, file needs its trailer

  void Write(AVPacket* packet) {
    av_packet_rescale_ts(packet, AVRational{1, 1000}, stream->time_base);
    const int rc = av_write_frame(output, packet);
    if (rc < 0) throw RuntimeError("writing " + path + ": " + AvError(rc));
  }
};

bool HaveMediaLibrary() { return true; }

CContainerWriter::CContainerWriter(const std::string& format, const std::string& path)
    : state_(new State) {
  av_log_set_level(AV_LOG_ERROR);
  state_->format = format;
  state_->path = path;
  const int rc = avformat_alloc_output_context2(&state_->output, nullptr, format.c_str(), nullptr);
  if (rc < 0 || state_->output == nullptr) {
    throw RuntimeError("no " + format + " muxer in libavformat: " + AvError(rc));
  }
  state_->pending = av_packet_alloc();
  if (state_->pending == nullptr) throw RuntimeError("out of memory");
}

CContainerWriter::~CContainerWriter() {
  if (state_->output != nullptr) {
    if (state_->output->pb != nullptr) avio_closep(&state_->output->pb);
    avformat_free_context(state_->output);
  }
  av_packet_free(&state_->pending);
}

void CContainerWriter::Add(std::span<const uint8_t> frame, bool key, int64_t timeMs) {
  State& s = *state_;
  if (!s.open) {
    if (!key) return;  // a file opens at a key frame
    const std::string sets = ParameterSets(frame);
    const PictureSize size = ParsePictureSize(frame);
    if (sets.empty() || size.width <= 0 || size.height <= 0) {
      throw RuntimeError("the first key frame carries no usable SPS/PPS");
    }
    s.stream = avformat_new_stream(s.output, nullptr);
    if (s.stream == nullptr) throw RuntimeError("out of memory");
    AVCodecParameters* p = s.stream->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = AV_CODEC_ID_H264;
    p->width = size.width;
    p->height = size.height;
    p->format = AV_PIX_FMT_YUV420P;
    p->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (p->extradata == nullptr) throw RuntimeError("out of memory");
    std::copy(sets.begin(), sets.end(), p->extradata);
    p->extradata_size = static_cast<int>(sets.size());
    s.stream->time_base = AVRational{1, 1000};
    int rc = avio_open(&s.output->pb, s.path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) throw RuntimeError("cannot write " + s.path + ": " + AvError(rc));
    AVDictionary* options = nullptr;
    // MP4 on a pipe cannot seek back to its index: write it in fragments instead.
    if (s.format == "mp4" && s.path == "pipe:1") {
      av_dict_set(&options, "movflags", "frag_keyframe+empty_moov", 0);
    }
    rc = avformat_write_header(s.output, &options);
    av_dict_free(&options);
    if (rc < 0) throw RuntimeError("writing " + s.path + ": " + AvError(rc));
    s.open = true;
    s.firstMs = timeMs;
  }
  // Times only move forward in a file: a frame stamped no later than the one before it (the
  // clock was set back) follows it by a millisecond.
  const int64_t pts = s.pending->size > 0 ? std::max(timeMs - s.firstMs, s.pendingPts + 1)
                                          : std::max<int64_t>(timeMs - s.firstMs, 0);
  if (s.pending->size > 0) {
    s.lastDuration = pts - s.pendingPts;
    s.pending->duration = s.lastDuration;
    s.Write(s.pending);
    av_packet_unref(s.pending);
  }
  if (av_new_packet(s.pending, static_cast<int>(frame.size())) < 0) {
    throw RuntimeError("out of memory");
  }
  std::copy(frame.begin(), frame.end(), s.pending->data);
  s.pending->pts = s.pending->dts = s.pendingPts = pts;
  s.pending->flags = key ? AV_PKT_FLAG_KEY : 0;
  s.pending->stream_index = 0;
}

void CContainerWriter::Finish() {
  State& s = *state_;
  if (!s.open) return;
  if (s.pending->size > 0) {
    s.pending->duration = s.lastDuration;
    s.Write(s.pending);
    av_packet_unref(s.pending);
  }
  const int rc = av_write_trailer(s.output);
  s.open = false;
  if (rc < 0) throw RuntimeError("writing " + s.path + ": " + AvError(rc));
  avio_closep(&s.output->pb);
}

std::string CheckLastPictures(std::span<const uint8_t> stream, std::span<const AccessUnit> units) {
  size_t first = 0;
  for (size_t i = 0; i < units.size(); ++i) first = units[i].key ? i : first;
  if (units.empty()) return "";
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return "";
  AVCodecContext* context = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* picture = av_frame_alloc();
  std::string problem;
  if (context == nullptr || packet == nullptr || picture == nullptr) {
    problem = "out of memory";
  } else {
    context->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CRCCHECK;
    context->thread_count = 1;
    if (avcodec_open2(context, codec, nullptr) < 0) problem = "no H.264 decoder";
  }
  // One access unit per packet, the last one a null packet that drains the decoder.
  for (size_t i = first; problem.empty() && i <= units.size(); ++i) {
    int rc;
    if (i < units.size()) {
      if (av_new_packet(packet, static_cast<int>(units[i].size)) < 0) {
        problem = "out of memory";
        break;
      }
      std::copy(stream.begin() + static_cast<ptrdiff_t>(units[i].offset),
                stream.begin() + static_cast<ptrdiff_t>(units[i].offset + units[i].size),
                packet->data);
      rc = avcodec_send_packet(context, packet);
      av_packet_unref(packet);
    } else {
      rc = avcodec_send_packet(context, nullptr);
    }
    while (rc >= 0) {
      rc = avcodec_receive_frame(context, picture);
      if (rc >= 0 &&
          (picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT))) {
        rc = AVERROR_INVALIDDATA;
      }
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
      problem = "picture " + std::to_string(i) + ": " + AvError(rc);
    }
  }
  av_frame_free(&picture);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return problem;
}

#else  // built without FFmpeg's libraries

struct CContainerWriter::State {};

bool HaveMediaLibrary() { return false; }

CContainerWriter::CContainerWriter(const std::string&, const std::string&) {
  throw UsageError(
      "this dvrtool was built without libavformat: MP4 and MKV export are not available");
}
CContainerWriter::~CContainerWriter() = default;
void CContainerWriter::Add(std::span<const uint8_t>, bool, int64_t) {}
void CContainerWriter::Finish() {}

std::string CheckLastPictures(std::span<const uint8_t>, std::span<const AccessUnit>) { return ""; }

#endif

}  // namespace dvrtool
