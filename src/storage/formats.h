// The bytes the recorder keeps on disk, in one place: frame records of the data files
// (".VDB"), the index file (".FIH") beside each data file, and the optional header file that
// lists a rotation set. Intake builds records with these helpers straight into its rings,
// the writer threads write them out, and the start-up scan, the deletion worker, the
// catalogue and the frame reader read them back.
//
// Every structure is a packed plain struct whose size and field offsets are checked below;
// all integers are little-endian (checked too), so a struct's bytes are its stored bytes.
// Inside byte buffers, fields are read and written with the memcpy helpers, never through a
// cast pointer. No other file repeats one of the numbers defined here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/local_time.h"

namespace storage {

static_assert(std::endian::native == std::endian::little,
              "the stored formats are little-endian and are copied byte for byte");

// ---------------------------------------------------------------------------------------
// Unaligned access inside byte buffers.

template <typename T>
inline T LoadAs(const void* source) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, source, sizeof(T));
  return value;
}

template <typename T>
inline void StoreAs(void* destination, const T& value) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::memcpy(destination, &value, sizeof(T));
}

inline uint16_t LoadU16(const void* p) { return LoadAs<uint16_t>(p); }
inline uint32_t LoadU32(const void* p) { return LoadAs<uint32_t>(p); }
inline int32_t LoadI32(const void* p) { return LoadAs<int32_t>(p); }
inline void StoreU16(void* p, uint16_t v) { StoreAs(p, v); }
inline void StoreU32(void* p, uint32_t v) { StoreAs(p, v); }
inline void StoreI32(void* p, int32_t v) { StoreAs(p, v); }

// ---------------------------------------------------------------------------------------
// Files and names.

inline constexpr uint32_t kChannelCount = 32;

// Data files are pre-allocated to this size by writing one zero byte at its last offset.
inline constexpr uint32_t kDataFileSize = 209715200;  // 0x0C800000, 200 MiB
inline constexpr uint32_t kDataFileLastByteOffset = kDataFileSize - 1;
inline constexpr std::string_view kDataFileSuffix = ".VDB";
inline constexpr std::string_view kIndexFileSuffix = ".FIH";

// Index file name of a data file, beside it in the same directory: the path with the
// extension of its file name (from the file name's last '.') replaced by ".FIH"
// ("/srv/rec.1/0007.VDB" -> "/srv/rec.1/0007.FIH"). Dots in directories change nothing. A
// file name without an extension gets ".FIH" appended ("/srv/rec/f0" -> "/srv/rec/f0.FIH",
// "f0." -> "f0.FIH"); a '.' that begins the file name starts no extension (".f0.VDB" ->
// ".f0.FIH", ".cam" -> ".cam.FIH"). A path ending in a separator (or empty) names no file
// and has no index file name (empty result). The writer, the scan of existing files, the
// deletion worker and the readers all use this one function.
std::string IndexFileName(std::string_view dataFileName);
// The last component of a path after its last '/' or '\' (the whole path when it has none).
std::string DataFileBaseName(std::string_view dataFileName);
// Whether a name read from an index file is a file name and nothing more: not empty, not "."
// or "..", without a '/' or '\' (so it cannot lead out of the index file's directory).
bool IsPlainFileName(std::string_view name);
// Whether a path read from a header file has no ".." component (which could lead anywhere).
bool HasNoParentStep(std::string_view path);

// The value of a time not yet set: 2000-01-01 00:00:00 local time. Computed on every call,
// since the local zone may change between calls.
inline platform::CTime NoTime() { return platform::CTime::NoTime(); }
inline uint32_t NoTimeSeconds() { return platform::CTime::NoTime().seconds(); }

// ---------------------------------------------------------------------------------------
// Frame records.
//
//   offset 0            u32 startMarker (200)
//   offset 4            36-byte FrameHeader
//   offset 40           body (bodySize bytes)
//   offset 40+bodySize  u32 bodySize again, u32 endMarker (100)

inline constexpr uint32_t kRecordStartMarker = 200;
inline constexpr uint32_t kRecordEndMarker = 100;
inline constexpr uint32_t kStartMarkerSize = 4;
inline constexpr uint32_t kFrameHeaderSize = 36;
inline constexpr uint32_t kRecordHeadSize = kStartMarkerSize + kFrameHeaderSize;  // 40
inline constexpr uint32_t kRecordTrailerSize = 8;
inline constexpr uint32_t kRecordOverhead = kRecordHeadSize + kRecordTrailerSize;  // 48
inline constexpr uint32_t kRecordBodyOffset = kRecordHeadSize;
// Video format body: 100 zero bytes (non-key frames only), the u32 tag, then the payload.
inline constexpr uint32_t kNonKeyLeadSize = 100;
inline constexpr uint32_t kVideoTagSize = 4;

// Reason flags of a record (and the bits of a channel's recording status).
inline constexpr uint8_t kReasonRecorded = 1;
inline constexpr uint8_t kReasonTriggerA = 2;
inline constexpr uint8_t kReasonTriggerB = 4;

#pragma pack(push, 1)

// The 36 bytes after the start marker. A frame handed to playback is this header followed
// by the body.
struct FrameHeader {
  uint32_t type;         // frame type as the host gave it
  uint8_t subType;       // low 8 bits of the host's sub-type word
  uint8_t keyFrame;      // 1 = key frame; always 0 in audio-format records
  uint8_t reason;        // kReason* flags
  uint8_t channel;       // 0..31
  uint32_t bodySize;     // body bytes after the 40-byte head
  uint32_t payloadSize;  // video format: payload + 4; audio format: 0
  uint8_t reserved1[12];
  uint32_t time;  // seconds since 1970 (UTC)
  uint8_t reserved2[4];
};

struct FrameRecordHead {
  uint32_t startMarker;  // kRecordStartMarker
  FrameHeader header;
};

struct FrameRecordTrailer {
  uint32_t bodySize;   // repeated so a reader can step backwards
  uint32_t endMarker;  // kRecordEndMarker
};

#pragma pack(pop)

static_assert(sizeof(FrameHeader) == kFrameHeaderSize);
static_assert(offsetof(FrameHeader, type) == 0);
static_assert(offsetof(FrameHeader, subType) == 4);
static_assert(offsetof(FrameHeader, keyFrame) == 5);
static_assert(offsetof(FrameHeader, reason) == 6);
static_assert(offsetof(FrameHeader, channel) == 7);
static_assert(offsetof(FrameHeader, bodySize) == 8);
static_assert(offsetof(FrameHeader, payloadSize) == 12);
static_assert(offsetof(FrameHeader, reserved1) == 16);
static_assert(offsetof(FrameHeader, time) == 28);
static_assert(offsetof(FrameHeader, reserved2) == 32);
static_assert(sizeof(FrameRecordHead) == kRecordHeadSize);
static_assert(offsetof(FrameRecordHead, startMarker) == 0);
static_assert(offsetof(FrameRecordHead, header) == kStartMarkerSize);
static_assert(sizeof(FrameRecordTrailer) == kRecordTrailerSize);
static_assert(offsetof(FrameRecordTrailer, bodySize) == 0);
static_assert(offsetof(FrameRecordTrailer, endMarker) == 4);
static_assert(std::is_trivially_copyable_v<FrameHeader> && std::is_standard_layout_v<FrameHeader>);

// Offsets of the head fields counted from the record start (for readers of raw buffers).
inline constexpr uint32_t kRecordTypeOffset = kStartMarkerSize + offsetof(FrameHeader, type);
inline constexpr uint32_t kRecordKeyFrameOffset =
    kStartMarkerSize + offsetof(FrameHeader, keyFrame);
inline constexpr uint32_t kRecordReasonOffset = kStartMarkerSize + offsetof(FrameHeader, reason);
inline constexpr uint32_t kRecordChannelOffset = kStartMarkerSize + offsetof(FrameHeader, channel);
inline constexpr uint32_t kRecordBodySizeOffset =
    kStartMarkerSize + offsetof(FrameHeader, bodySize);
inline constexpr uint32_t kRecordTimeOffset = kStartMarkerSize + offsetof(FrameHeader, time);
static_assert(kRecordTimeOffset == 32 && kRecordBodySizeOffset == 12 && kRecordChannelOffset == 11);

// Type families. The writer stores only the "stored" types; the frame reader delivers only
// the "delivered" types and steps over every other record.
bool IsStoredAudioType(uint32_t type);     // 0, 17, 18, 33, 34, 161
bool IsStoredVideoType(uint32_t type);     // 1, 2, 3, 4, 6, 160
bool IsDeliveredAudioType(uint32_t type);  // 0, 17, 18, 19, 33, 34
bool IsDeliveredVideoType(uint32_t type);  // 1, 2, 3, 4, 6

// Record sizes (bytes a record occupies, head and trailer included), 64-bit so a hostile
// payload length cannot wrap. Video format: payload + 52, plus 100 for a non-key frame.
// Audio format: payload + 48.
constexpr uint64_t VideoBodySize(uint64_t payloadLength, bool keyFrame) {
  return payloadLength + kVideoTagSize + (keyFrame ? 0 : kNonKeyLeadSize);
}
constexpr uint64_t VideoRecordSize(uint64_t payloadLength, bool keyFrame) {
  return kRecordOverhead + VideoBodySize(payloadLength, keyFrame);
}
constexpr uint64_t AudioRecordSize(uint64_t payloadLength) {
  return kRecordOverhead + payloadLength;
}
// The longest payload a recorder stores in a video-format record (8 MiB: a key frame of a
// 12-megapixel camera), and the longest record it writes (a non-key frame of that payload).
// Audio-format records are bounded by the audio ring instead.
inline constexpr uint32_t kMaxVideoPayload = 8u * 1024u * 1024u;
inline constexpr uint32_t kMaxRecordSize =
    static_cast<uint32_t>(VideoRecordSize(kMaxVideoPayload, false));
// Largest payload whose body size still fits the 32-bit bodySize field.
inline constexpr uint64_t kMaxPayloadLength =
    0xFFFFFFFFull - kRecordOverhead - kNonKeyLeadSize - kVideoTagSize;

// What a builder stores in the head besides the sizes.
struct RecordFields {
  uint32_t channel = 0;   // stored as u8; callers pass 0..31
  uint32_t time = 0;      // seconds
  uint32_t type = 0;      // host frame type
  uint32_t subType = 0;   // host sub-type word; its low 8 bits are stored
  bool keyFrame = false;  // video format only
  uint8_t reason = 0;     // kReason* flags
  uint32_t videoTag = 0;  // video format only
};

// Compose a whole record (head, body, trailer) into `out`, which has `capacity` bytes.
// Returns the record size, or 0 (nothing written) when the record does not fit or the payload
// is too long. `payload` may be null only when payloadLength is 0.
uint64_t BuildVideoRecord(uint8_t* out, uint64_t capacity, const RecordFields& fields,
                          const void* payload, uint64_t payloadLength);
uint64_t BuildAudioRecord(uint8_t* out, uint64_t capacity, const RecordFields& fields,
                          const void* payload, uint64_t payloadLength);

enum class RecordStatus {
  kOk = 0,
  kShortHead,       // fewer than 40 bytes left
  kBadStartMarker,  // first four bytes are not 200
  kBodyOverrun,     // bodySize runs past the buffer (trailer included)
  kBadTrailerSize,  // the repeated bodySize differs from the head's
  kBadEndMarker,    // the trailer's end marker is not 100
};

// A record found in a buffer; `body` points into that buffer.
struct RecordView {
  FrameHeader header{};
  const uint8_t* body = nullptr;
  uint32_t bodySize = 0;
  uint64_t recordSize = 0;  // 48 + bodySize
};

// Validates and splits the record at the start of `data`. Never reads past `length`.
RecordStatus ParseRecord(const uint8_t* data, uint64_t length, RecordView* view);

// ParseRecord in its two halves, for a reader that checks a record without holding its body:
// the head of a record with `room` bytes from its start (`data` holds min(room, 40) bytes;
// kShortHead, kBadStartMarker or kBodyOverrun) ...
RecordStatus ParseRecordStart(const uint8_t* data, uint64_t room, FrameHeader* header);
// ... and the 8-byte trailer that must close a body of `bodySize` bytes (kBadTrailerSize or
// kBadEndMarker).
RecordStatus ParseRecordEnd(const uint8_t* trailer8, uint32_t bodySize);

// A 40-byte head read at a record start: true when the start marker is 200.
bool ParseRecordHead(const uint8_t* head40, FrameHeader* header);

// The parts of a video-format body. `lead` is null for key frames.
struct VideoBodyView {
  const uint8_t* lead = nullptr;  // kNonKeyLeadSize bytes (non-key frames)
  uint32_t videoTag = 0;
  const uint8_t* payload = nullptr;
  uint32_t payloadLength = 0;
};
// false when bodySize is too small for the lead block and the tag.
bool SplitVideoBody(const uint8_t* body, uint32_t bodySize, bool keyFrame, VideoBodyView* view);

// ---------------------------------------------------------------------------------------
// Index file (".FIH"): FileHeader at 0, one IndexRecord at 48; 2,996 bytes.

inline constexpr uint32_t kFileHeaderMagic = 0x31484F46;  // "FOH1"
inline constexpr uint32_t kIndexEntryCount = 120;
inline constexpr int32_t kLastEntryMax = kIndexEntryCount - 1;  // lastEntry is 0..119
inline constexpr uint32_t kIndexEntrySize = 24;
inline constexpr uint32_t kIndexSummarySize = 2896;
inline constexpr uint32_t kIndexNameSize = 52;
inline constexpr uint32_t kIndexNameMaxLength = kIndexNameSize - 1;  // 51
inline constexpr uint32_t kIndexRecordSize = 2948;
inline constexpr uint32_t kFileHeaderSize = 48;
inline constexpr uint32_t kIndexRecordOffset = kFileHeaderSize;                       // 48
inline constexpr uint32_t kIndexSummaryOffset = kIndexRecordOffset + kIndexNameSize;  // 100
inline constexpr uint32_t kIndexFileSize = kFileHeaderSize + kIndexRecordSize;        // 2,996

#pragma pack(push, 1)

struct FileHeader {
  uint32_t magic;        // kFileHeaderMagic; readers do not check it
  uint32_t recordCount;  // the recorder writes 1
  // Place of the file in the order its rotation set was recorded: the recorder writes one
  // more than the highest of the set each time it opens a data file for recording, so the
  // newest file is told by what the recorder wrote, never by the clock. 0: never numbered.
  uint32_t sequence;
  uint8_t reserved[36];
};

// One minute in which records were appended.
struct IndexEntry {
  uint32_t time;   // time of the minute's first record
  uint32_t bytes;  // record bytes appended in that minute
  uint32_t reason1Mask;
  uint32_t reason2Mask;
  uint32_t reason4Mask;
  uint32_t audioMask;  // channels that appended an audio-family record
};

// Summary of one data file; the same bytes stand in an IndexRecord and in a FileInfo.
struct IndexSummary {
  uint32_t startTime;  // first record; NoTime() until one is written
  uint32_t endTime;    // last record appended
  uint32_t dataBytes;  // record bytes from offset 0 of the data file
  int32_t lastEntry;   // entry in use, 0..119
  IndexEntry entries[kIndexEntryCount];
};

struct IndexRecord {
  char name[kIndexNameSize];  // DataFileBaseName, NUL-terminated, at most 51 characters
  IndexSummary summary;
};

#pragma pack(pop)

static_assert(sizeof(FileHeader) == kFileHeaderSize);
static_assert(offsetof(FileHeader, magic) == 0);
static_assert(offsetof(FileHeader, recordCount) == 4);
static_assert(offsetof(FileHeader, sequence) == 8);
static_assert(offsetof(FileHeader, reserved) == 12);
static_assert(sizeof(IndexEntry) == kIndexEntrySize);
static_assert(offsetof(IndexEntry, time) == 0);
static_assert(offsetof(IndexEntry, bytes) == 4);
static_assert(offsetof(IndexEntry, reason1Mask) == 8);
static_assert(offsetof(IndexEntry, reason2Mask) == 12);
static_assert(offsetof(IndexEntry, reason4Mask) == 16);
static_assert(offsetof(IndexEntry, audioMask) == 20);
static_assert(sizeof(IndexSummary) == kIndexSummarySize);
static_assert(offsetof(IndexSummary, startTime) == 0);
static_assert(offsetof(IndexSummary, endTime) == 4);
static_assert(offsetof(IndexSummary, dataBytes) == 8);
static_assert(offsetof(IndexSummary, lastEntry) == 12);
static_assert(offsetof(IndexSummary, entries) == 16);
static_assert(sizeof(IndexRecord) == kIndexRecordSize);
static_assert(offsetof(IndexRecord, name) == 0);
static_assert(offsetof(IndexRecord, summary) == kIndexNameSize);
static_assert(kIndexSummaryOffset == 100 && kIndexFileSize == 2996);

// ---------------------------------------------------------------------------------------
// Header file: a 1,296-byte head (only recordCount at offset 4 is used) followed by
// recordCount FileInfos of 3,156 bytes.

inline constexpr uint32_t kHeaderFileHeadSize = 1296;
inline constexpr uint32_t kFileInfoPathSize = 260;
inline constexpr uint32_t kFileInfoPathMaxLength = kFileInfoPathSize - 1;  // 259
inline constexpr uint32_t kFileInfoSize = 3156;
// File offset of the IndexSummary of record 0; record n is kFileInfoSize further per n.
inline constexpr uint32_t kHeaderFileSummaryBase = kHeaderFileHeadSize + kFileInfoPathSize;

#pragma pack(push, 1)

struct HeaderFileHead {
  uint32_t reserved0;
  uint32_t recordCount;  // must be nonzero
  uint8_t reserved[kHeaderFileHeadSize - 8];
};

struct FileInfo {
  char path[kFileInfoPathSize];  // full data file path; empty = empty record
  IndexSummary summary;
};

#pragma pack(pop)

static_assert(sizeof(HeaderFileHead) == kHeaderFileHeadSize);
static_assert(offsetof(HeaderFileHead, reserved0) == 0);
static_assert(offsetof(HeaderFileHead, recordCount) == 4);
static_assert(offsetof(HeaderFileHead, reserved) == 8);
static_assert(sizeof(FileInfo) == kFileInfoSize);
static_assert(offsetof(FileInfo, path) == 0);
static_assert(offsetof(FileInfo, summary) == kFileInfoPathSize);
static_assert(kHeaderFileSummaryBase == 1556);

// File offsets in the header file, 64-bit so no record number wraps.
constexpr uint64_t HeaderFileInfoOffset(uint64_t record) {
  return kHeaderFileHeadSize + kFileInfoSize * record;
}
constexpr uint64_t HeaderFileSummaryOffset(uint64_t record) {
  return kHeaderFileSummaryBase + kFileInfoSize * record;
}

// ---------------------------------------------------------------------------------------
// Building and reading the index structures.

// The 48 bytes written at offset 0 of every index file.
FileHeader MakeFileHeader(uint32_t recordCount = 1, uint32_t sequence = 0);
// A summary of a file that was never written: start and end at NoTime(), everything else 0.
IndexSummary MakeEmptySummary();
// A fresh index record: the base name (cut to 51 characters) and an empty summary.
IndexRecord MakeIndexRecord(std::string_view baseName);
// The name of an index record / the path of a FileInfo, never read past its field: a field
// without a terminator is cut at 51 / 259 characters.
std::string IndexRecordName(const IndexRecord& record);
std::string FileInfoPath(const FileInfo& info);
// Writes `path` into a FileInfo's path field, cut to 259 characters, zero-padded.
void SetFileInfoPath(FileInfo* info, std::string_view path);

}  // namespace storage
