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

bool IsVcl(int type) { return type == kNalSlice || type == kNalIdrSlice; }

// Types that open a new access unit when a picture has already been seen in the current one.
bool StartsAccessUnit(int type) {
  return type == kNalAccessUnitDelimiter || type == kNalSps || type == kNalPps || type == kNalSei ||
         (type >= 14 && type <= 18);
}

}  // namespace

SplitResult SplitAccessUnits(std::span<const uint8_t> stream, bool whole) {
  SplitResult result;
  const std::vector<Nal> nals = FindNals(stream);
  if (nals.empty() || nals.front().start != 0) {
    result.error = "not an H.264 elementary stream (no Annex-B start code at its start)";
    return result;
  }
  bool sawSps = false;
  bool sawPps = false;
  bool sawIdr = false;
  bool unitHasPicture = false;
  AccessUnit current;
  for (const Nal& nal : nals) {
    if (nal.header >= stream.size()) break;  // a start code at the very end carries nothing
    const uint8_t header = stream[nal.header];
    const int type = header & 0x1F;
    // The forbidden bit, and types 0 and 24..31 that H.264 leaves unspecified, mark another
    // format (H.265 parameter sets read as type 0, for instance).
    if ((header & 0x80) != 0 || type == 0 || type >= 24) {
      result.units.clear();
      result.error = "not an H.264 elementary stream (NAL header 0x" +
                     std::string(1, "0123456789abcdef"[header >> 4]) +
                     std::string(1, "0123456789abcdef"[header & 15]) + " at byte " +
                     std::to_string(nal.header) + ")";
      return result;
    }
    sawSps |= type == kNalSps;
    sawPps |= type == kNalPps;
    sawIdr |= type == kNalIdrSlice;
    bool opensUnit = false;
    if (unitHasPicture) {
      if (StartsAccessUnit(type)) {
        opensUnit = true;
      } else if (IsVcl(type)) {
        // first_mb_in_slice is the first ue(v) after the header: 0 is the single bit 1, so
        // a slice that starts a new picture has the top bit of its next byte set.
        opensUnit = nal.header + 1 < stream.size() && (stream[nal.header + 1] & 0x80) != 0;
      }
    }
    if (opensUnit) {
      current.size = nal.start - current.offset;
      result.units.push_back(current);
      current = AccessUnit{};
      current.offset = nal.start;
      unitHasPicture = false;
    }
    if (IsVcl(type)) unitHasPicture = true;
    if (type == kNalIdrSlice) current.key = true;
  }
  current.size = stream.size() - current.offset;
  result.units.push_back(current);
  if (whole && (!sawIdr || !sawSps || !sawPps)) {
    result.units.clear();
    result.error = "not a usable H.264 stream (it needs an IDR picture with its SPS and PPS)";
  }
  return result;
}

}  // namespace dvrtool
