#include "media_library.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <vector>

#include "errors.h"

#if DVRTOOL_HAVE_LIBAV
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}
#endif

namespace dvrtool {

std::string IsoUtc(time_t t) {
  std::tm fields{};
  gmtime_r(&t, &fields);
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S.000000Z", &fields);
  return text;
}

#if DVRTOOL_HAVE_LIBAV

namespace {

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

AVCodecID CodecId(VideoCodec codec) {
  return codec == VideoCodec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
}

// The parameter set units of a key frame (H.264: SPS, PPS; H.265: VPS, SPS, PPS), with their
// start codes: the stream's extradata.
std::string ParameterSets(std::span<const uint8_t> frame, VideoCodec codec) {
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
    const bool set =
        codec == VideoCodec::kH265
            ? ((frame[header] >> 1) & 0x3F) >= 32 && ((frame[header] >> 1) & 0x3F) <= 34
            : (frame[header] & 0x1F) == 7 || (frame[header] & 0x1F) == 8;
    if (set) {
      sets.append("\0\0\0\1", 4);
      sets.append(reinterpret_cast<const char*>(frame.data() + header), end - header);
    }
    i = end;
  }
  return sets;
}

}  // namespace

struct CPictureReader::State {
  VideoCodec codec = VideoCodec::kH264;
  AVCodecParserContext* parser = nullptr;
  AVCodecContext* context = nullptr;
};

CPictureReader::CPictureReader(VideoCodec codec) : state_(new State) {
  state_->codec = codec;
  state_->parser = av_parser_init(CodecId(codec));
  state_->context = avcodec_alloc_context3(nullptr);
  if (state_->parser == nullptr || state_->context == nullptr) {
    if (state_->parser != nullptr) av_parser_close(state_->parser);
    avcodec_free_context(&state_->context);
    throw RuntimeError("out of memory");
  }
  // Each unit handed in is one whole access unit.
  state_->parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

CPictureReader::~CPictureReader() {
  av_parser_close(state_->parser);
  avcodec_free_context(&state_->context);
}

int CPictureReader::PictureOrder(std::span<const uint8_t> unit) {
  State& s = *state_;
  uint8_t* out = nullptr;
  int outSize = 0;
  const int size = static_cast<int>(std::min<size_t>(unit.size(), INT32_MAX / 2));
  av_parser_parse2(s.parser, s.context, &out, &outSize, unit.data(), size, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  if (s.parser->width > 0 && s.parser->height > 0) {
    width_ = s.parser->width;
    height_ = s.parser->height;
  }
  // H.264's parser gives the rate of fields (its SPS timing counts half frames).
  const AVRational fields = s.context->framerate;
  if (fields.num > 0 && fields.den > 0) {
    AVRational frames{fields.num, fields.den * (s.codec == VideoCodec::kH264 ? 2 : 1)};
    av_reduce(&frames.num, &frames.den, frames.num, frames.den, 1 << 30);
    rate_ = FrameRate{frames.num, frames.den};
  }
  ++decoded_;
  return s.parser->output_picture_number;
}

namespace {

struct HeldFrame {
  std::vector<uint8_t> payload;
  bool key = false;
  time_t second = 0;
  bool preRoll = false;
  int order = 0;  // picture order count
};

// The rate the recorded seconds show where the stream states none: the median count of the
// seconds between the first and the last (both may be partial), else the fullest second.
FrameRate RecordedRate(const std::vector<HeldFrame>& frames) {
  std::map<time_t, int> perSecond;
  for (const HeldFrame& f : frames) ++perSecond[f.second];
  std::vector<int> counts;
  for (auto it = perSecond.begin(); it != perSecond.end(); ++it) {
    if (it != perSecond.begin() && std::next(it) != perSecond.end()) counts.push_back(it->second);
  }
  if (counts.empty()) {
    for (const auto& [second, count] : perSecond) counts.push_back(count);
    return FrameRate{std::max(*std::max_element(counts.begin(), counts.end()), 1), 1};
  }
  std::nth_element(counts.begin(), counts.begin() + counts.size() / 2, counts.end());
  return FrameRate{counts[counts.size() / 2], 1};
}

}  // namespace

struct CContainerWriter::State {
  std::string format, path;
  AVFormatContext* output = nullptr;
  AVStream* stream = nullptr;
  AVPacket* packet = nullptr;
  VideoCodec codec = VideoCodec::kH264;
  std::unique_ptr<CPictureReader> reader;  // made at the first key frame, which names the codec
  std::vector<HeldFrame> group;            // from the last key frame, in decode order
  bool open = false;                       // header written, file needs its trailer
  FrameRate rate;
  // Frame slots count frame periods from the first frame written. The first second holds
  // the last `firstFrames` slots of that second (a recording starts part way into it).
  time_t firstSecond = 0;
  int64_t firstFrames = 0;
  int64_t lastSlot = -1;
  int64_t delay =
      -1;  // how far decoding runs ahead of display, in frames: fixed by the first group
  int64_t origin = 0;  // the slot shown at the file's time 0: the first frame of the range
  int64_t lastDts = INT64_MIN;

  // The earliest slot a frame recorded in `second` can take.
  int64_t Anchor(time_t second) const {
    if (second <= firstSecond) return 0;
    const int64_t whole = static_cast<int64_t>(second - firstSecond - 1);
    return (whole * rate.num + rate.den - 1) / rate.den + firstFrames;
  }

  void Open() {
    const HeldFrame& first = group.front();
    rate = reader->frameRate().known() ? reader->frameRate() : RecordedRate(group);
    const std::string sets = ParameterSets(first.payload, codec);
    if (sets.empty() || reader->width() <= 0 || reader->height() <= 0) {
      throw RuntimeError("the first key frame carries no usable parameter sets");
    }
    firstSecond = first.second;
    firstFrames = std::count_if(group.begin(), group.end(),
                                [&](const HeldFrame& f) { return f.second == firstSecond; });
    time_t shown = first.second;
    for (const HeldFrame& f : group) {
      if (!f.preRoll) {
        shown = f.second;
        break;
      }
    }
    av_dict_set(&output->metadata, "creation_time", IsoUtc(shown).c_str(), 0);
    stream = avformat_new_stream(output, nullptr);
    if (stream == nullptr) throw RuntimeError("out of memory");
    AVCodecParameters* p = stream->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = CodecId(codec);
    p->width = reader->width();
    p->height = reader->height();
    p->format = AV_PIX_FMT_YUV420P;
    p->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (p->extradata == nullptr) throw RuntimeError("out of memory");
    std::copy(sets.begin(), sets.end(), p->extradata);
    p->extradata_size = static_cast<int>(sets.size());
    stream->time_base = AVRational{rate.den, rate.num};
    stream->avg_frame_rate = stream->r_frame_rate = AVRational{rate.num, rate.den};
    int rc = avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) throw RuntimeError("cannot write " + path + ": " + AvError(rc));
    AVDictionary* options = nullptr;
    // MP4 on a pipe cannot seek back to its index: write it in fragments instead; a file gets
    // its index moved in front of the pictures, so a player can start before it has it all.
    if (format == "mp4") {
      av_dict_set(&options, "movflags",
                  path == "pipe:1" ? "frag_keyframe+empty_moov" : "+faststart", 0);
    }
    rc = avformat_write_header(output, &options);
    av_dict_free(&options);
    if (rc < 0) throw RuntimeError("writing " + path + ": " + AvError(rc));
    open = true;
  }

  void WriteGroup() {
    if (group.empty()) return;
    if (!open) Open();
    const size_t n = group.size();
    // Decode order takes the slots in turn; a recording gap of more than half a second
    // moves on to the slot of the frame's own second.
    std::vector<int64_t> slot(n);
    for (size_t i = 0; i < n; ++i) {
      const int64_t anchor = Anchor(group[i].second);
      const int64_t next = lastSlot + 1;
      lastSlot = lastSlot < 0                                           ? 0
                 : anchor > next + std::max(1, rate.num / rate.den / 2) ? anchor
                                                                        : next;
      slot[i] = lastSlot;
    }
    // Display order is picture order: the k-th picture shown takes the k-th slot.
    std::vector<size_t> shown(n);
    std::iota(shown.begin(), shown.end(), size_t{0});
    std::stable_sort(shown.begin(), shown.end(),
                     [&](size_t a, size_t b) { return group[a].order < group[b].order; });
    std::vector<int64_t> pts(n);
    for (size_t k = 0; k < n; ++k) pts[shown[k]] = slot[k];
    if (delay < 0) {
      delay = 0;
      for (size_t i = 0; i < n; ++i) delay = std::max(delay, slot[i] - pts[i]);
      // The range shows as many pictures as were recorded in it: the pre-roll's count of
      // this group's first pictures in display order is hidden (with B-frames, a reference
      // picture recorded before the range can be shown inside it).
      const auto hidden = static_cast<size_t>(
          std::count_if(group.begin(), group.end(), [](const HeldFrame& f) { return f.preRoll; }));
      origin = hidden < n ? slot[hidden] : slot.back() + 1;
    }
    for (size_t i = 0; i < n; ++i) {
      const int64_t dts = std::max(std::min(slot[i] - delay, pts[i]), lastDts + 1);
      lastDts = dts;
      if (av_new_packet(packet, static_cast<int>(group[i].payload.size())) < 0) {
        throw RuntimeError("out of memory");
      }
      std::copy(group[i].payload.begin(), group[i].payload.end(), packet->data);
      packet->pts = pts[i] - origin;
      packet->dts = dts - origin;
      packet->duration = 1;
      packet->flags = group[i].key ? AV_PKT_FLAG_KEY : 0;
      packet->stream_index = 0;
      av_packet_rescale_ts(packet, AVRational{rate.den, rate.num}, stream->time_base);
      const int rc = av_write_frame(output, packet);
      av_packet_unref(packet);
      if (rc < 0) throw RuntimeError("writing " + path + ": " + AvError(rc));
    }
    group.clear();
  }
};

bool HaveMediaLibrary() { return true; }

CContainerWriter::CContainerWriter(const std::string& format, const std::string& path)
    : state_(new State) {
  av_log_set_level(AV_LOG_ERROR);
  state_->format = format;
  state_->path = path;
  const int rc =
      avformat_alloc_output_context2(&state_->output, nullptr, format.c_str(), path.c_str());
  if (rc < 0 || state_->output == nullptr) {
    throw RuntimeError("no " + format + " muxer in libavformat: " + AvError(rc));
  }
  state_->packet = av_packet_alloc();
  if (state_->packet == nullptr) throw RuntimeError("out of memory");
}

CContainerWriter::~CContainerWriter() {
  if (state_->output != nullptr) {
    if (state_->output->pb != nullptr) avio_closep(&state_->output->pb);
    avformat_free_context(state_->output);
  }
  av_packet_free(&state_->packet);
}

void CContainerWriter::Add(std::span<const uint8_t> frame, bool key, time_t second, bool preRoll) {
  State& s = *state_;
  if (s.group.empty() && !s.open && !key) return;  // a file opens at a key frame
  if (s.reader == nullptr) {
    s.codec = SplitAccessUnits(frame, false).codec;
    s.reader = std::make_unique<CPictureReader>(s.codec);
  }
  if (key) s.WriteGroup();
  HeldFrame held;
  held.payload.assign(frame.begin(), frame.end());
  held.key = key;
  held.second = second;
  held.preRoll = preRoll;
  held.order = s.reader->PictureOrder(frame);
  s.group.push_back(std::move(held));
}

void CContainerWriter::Finish() {
  State& s = *state_;
  s.WriteGroup();
  if (!s.open) return;
  const int rc = av_write_trailer(s.output);
  s.open = false;
  if (rc < 0) throw RuntimeError("writing " + s.path + ": " + AvError(rc));
  avio_closep(&s.output->pb);
}

FrameRate CContainerWriter::frameRate() const { return state_->rate; }

std::string CheckLastPictures(std::span<const uint8_t> stream, std::span<const AccessUnit> units,
                              VideoCodec videoCodec) {
  size_t first = 0;
  for (size_t i = 0; i < units.size(); ++i) first = units[i].key ? i : first;
  if (units.empty()) return "";
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(CodecId(videoCodec));
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
    if (avcodec_open2(context, codec, nullptr) < 0)
      problem = std::string("no ") + CodecName(videoCodec) + " decoder";
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

struct CPictureReader::State {};
CPictureReader::CPictureReader(VideoCodec) {}
CPictureReader::~CPictureReader() = default;
int CPictureReader::PictureOrder(std::span<const uint8_t>) { return decoded_++; }

struct CContainerWriter::State {};

bool HaveMediaLibrary() { return false; }

CContainerWriter::CContainerWriter(const std::string&, const std::string&) {
  throw UsageError(
      "this dvrtool was built without libavformat: MP4, MKV and TS export are not available");
}
CContainerWriter::~CContainerWriter() = default;
void CContainerWriter::Add(std::span<const uint8_t>, bool, time_t, bool) {}
void CContainerWriter::Finish() {}
FrameRate CContainerWriter::frameRate() const { return {}; }

std::string CheckLastPictures(std::span<const uint8_t>, std::span<const AccessUnit>, VideoCodec) {
  return "";
}

#endif

}  // namespace dvrtool
