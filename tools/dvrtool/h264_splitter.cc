#include "h264_splitter.h"

namespace dvrtool {
namespace {

constexpr int kNalSlice = 1;
constexpr int kNalIdrSlice = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAccessUnitDelimiter = 9;

struct Nal {
  size_t start = 0;   // first byte of its start code (the zero_byte included)
  size_t header = 0;  // the NAL header byte
};

// Every start code "00 00 01"; a zero byte in front of one belongs to it (4-byte form).
std::vector<Nal> FindNals(std::span<const uint8_t> s) {
  std::vector<Nal> nals;
  size_t i = 0;
  while (i + 3 <= s.size()) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      Nal nal;
      nal.start = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
      nal.header = i + 3;
      nals.push_back(nal);
      i += 3;
    } else {
      ++i;
    }
  }
  return nals;
}

// What a NAL unit's header says about the access unit it belongs to.
struct NalKind {
  bool valid = false;
  bool vcl = false;         // a slice of a picture
  bool firstSlice = false;  // the first slice of its picture
  bool key = false;
  bool opensUnit = false;  // starts a new unit when a picture has been seen in this one
  int parameterSet = 0;    // bit 1 SPS, 2 PPS, 4 VPS
};

constexpr int kH264Sets = 3, kH265Sets = 7;

NalKind H264Kind(std::span<const uint8_t> s, size_t header) {
  NalKind k;
  const int type = s[header] & 0x1F;
  // The forbidden bit, and types 0 and 24..31 that H.264 leaves unspecified, mark another
  // format.
  k.valid = (s[header] & 0x80) == 0 && type != 0 && type < 24;
  k.vcl = type == kNalSlice || type == kNalIdrSlice;
  // first_mb_in_slice is the first ue(v) after the header: 0 is the single bit 1, so a slice
  // that starts a new picture has the top bit of its next byte set.
  k.firstSlice = k.vcl && header + 1 < s.size() && (s[header + 1] & 0x80) != 0;
  k.key = type == kNalIdrSlice;
  k.opensUnit = type == kNalAccessUnitDelimiter || type == kNalSps || type == kNalPps ||
                type == kNalSei || (type >= 14 && type <= 18);
  k.parameterSet = type == kNalSps ? 1 : type == kNalPps ? 2 : 0;
  return k;
}

NalKind H265Kind(std::span<const uint8_t> s, size_t header) {
  NalKind k;
  const int type = (s[header] >> 1) & 0x3F;
  // Two header bytes: the forbidden bit clear, a temporal id plus one that is not 0.
  k.valid = header + 1 < s.size() && (s[header] & 0x80) == 0 && (s[header + 1] & 7) != 0;
  k.vcl = type <= 31;
  // first_slice_segment_in_pic_flag is the first bit after the header.
  k.firstSlice = k.vcl && header + 2 < s.size() && (s[header + 2] & 0x80) != 0;
  k.key = type >= 16 && type <= 23;  // IRAP: BLA, IDR, CRA
  k.opensUnit = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                (type >= 48 && type <= 55);
  k.parameterSet = type == 33 ? 1 : type == 34 ? 2 : type == 32 ? 4 : 0;
  return k;
}

// An H.265 stream starts with a VPS, SPS, PPS, delimiter or prefix SEI of layer 0 and
// temporal id 0 (header bytes 0x40 0x01 and so on); as H.264 most of these read as types it
// does not define.
bool LooksLikeH265(std::span<const uint8_t> s, size_t header) {
  if (header + 1 >= s.size() || (s[header] & 0x81) != 0 || s[header + 1] != 0x01) return false;
  const int type = (s[header] >> 1) & 0x3F;
  return (type >= 32 && type <= 35) || type == 39;
}

}  // namespace

const char* CodecName(VideoCodec codec) { return codec == VideoCodec::kH265 ? "H.265" : "H.264"; }

SplitResult SplitAccessUnits(std::span<const uint8_t> stream, bool whole,
                             std::optional<VideoCodec> codec) {
  SplitResult result;
  const std::vector<Nal> nals = FindNals(stream);
  if (nals.empty() || nals.front().start != 0) {
    result.error = "not an H.264 or H.265 elementary stream (no Annex-B start code at its start)";
    return result;
  }
  const bool h265 =
      codec ? *codec == VideoCodec::kH265 : LooksLikeH265(stream, nals.front().header);
  result.codec = h265 ? VideoCodec::kH265 : VideoCodec::kH264;
  const int allSets = h265 ? kH265Sets : kH264Sets;
  int sawSets = 0, unitSets = 0;
  bool sawKey = false;
  bool unitHasPicture = false;
  AccessUnit current;
  for (const Nal& nal : nals) {
    if (nal.header >= stream.size()) break;  // a start code at the very end carries nothing
    const NalKind kind = h265 ? H265Kind(stream, nal.header) : H264Kind(stream, nal.header);
    if (!kind.valid) {
      const uint8_t header = stream[nal.header];
      result.units.clear();
      result.error = std::string("not an ") + CodecName(result.codec) +
                     " elementary stream (NAL header 0x" +
                     std::string(1, "0123456789abcdef"[header >> 4]) +
                     std::string(1, "0123456789abcdef"[header & 15]) + " at byte " +
                     std::to_string(nal.header) + ")";
      return result;
    }
    sawSets |= kind.parameterSet;
    sawKey |= kind.key;
    if (unitHasPicture && (kind.opensUnit || kind.firstSlice)) {
      current.size = nal.start - current.offset;
      current.parameterSets = unitSets == allSets;
      result.units.push_back(current);
      current = AccessUnit{};
      current.offset = nal.start;
      unitHasPicture = false;
      unitSets = 0;
    }
    unitSets |= kind.parameterSet;
    if (kind.vcl) unitHasPicture = true;
    if (kind.key) current.key = true;
  }
  current.size = stream.size() - current.offset;
  current.parameterSets = unitSets == allSets;
  result.units.push_back(current);
  if (whole && (!sawKey || sawSets != allSets)) {
    result.units.clear();
    result.error = h265
                       ? "not a usable H.265 stream (it needs an IRAP picture with its VPS, SPS "
                         "and PPS)"
                       : "not a usable H.264 stream (it needs an IDR picture with its SPS and PPS)";
  }
  return result;
}

}  // namespace dvrtool
