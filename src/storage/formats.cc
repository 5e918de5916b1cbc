#include "storage/formats.h"

#include <algorithm>

namespace storage {

std::string IndexFileName(std::string_view dataFileName) {
  const size_t separator = dataFileName.find_last_of("/\\");
  const size_t nameStart = separator == std::string_view::npos ? 0 : separator + 1;
  const std::string_view name = dataFileName.substr(nameStart);
  if (name.empty()) return std::string();
  const size_t dot = name.find_last_of('.');
  const size_t stemLength = dot == std::string_view::npos || dot == 0 ? name.size() : dot;
  std::string index(dataFileName.substr(0, nameStart + stemLength));
  index += kIndexFileSuffix;
  return index;
}

std::string DataFileBaseName(std::string_view dataFileName) {
  const size_t separator = dataFileName.find_last_of("/\\");
  if (separator == std::string_view::npos) return std::string(dataFileName);
  return std::string(dataFileName.substr(separator + 1));
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string_view::npos;
}

bool HasNoParentStep(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

bool IsStoredAudioType(uint32_t type) {
  switch (type) {
    case 0:
    case 17:
    case 18:
    case 33:
    case 34:
    case 161:
      return true;
    default:
      return false;
  }
}

bool IsStoredVideoType(uint32_t type) {
  switch (type) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 6:
    case 160:
      return true;
    default:
      return false;
  }
}

bool IsDeliveredAudioType(uint32_t type) {
  switch (type) {
    case 0:
    case 17:
    case 18:
    case 19:
    case 33:
    case 34:
      return true;
    default:
      return false;
  }
}

bool IsDeliveredVideoType(uint32_t type) {
  switch (type) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 6:
      return true;
    default:
      return false;
  }
}

namespace {

// Head and trailer around a body that the caller has already placed at out + 40.
void WriteHeadAndTrailer(uint8_t* out, const RecordFields& fields, bool keyFrame, uint32_t bodySize,
                         uint32_t payloadSize) {
  FrameRecordHead head;
  std::memset(&head, 0, sizeof(head));
  head.startMarker = kRecordStartMarker;
  head.header.type = fields.type;
  head.header.subType = static_cast<uint8_t>(fields.subType & 0xFF);
  head.header.keyFrame = keyFrame ? 1 : 0;
  head.header.reason = fields.reason;
  head.header.channel = static_cast<uint8_t>(fields.channel);
  head.header.bodySize = bodySize;
  head.header.payloadSize = payloadSize;
  head.header.time = fields.time;
  StoreAs(out, head);
  FrameRecordTrailer trailer;
  trailer.bodySize = bodySize;
  trailer.endMarker = kRecordEndMarker;
  StoreAs(out + kRecordHeadSize + bodySize, trailer);
}

}  // namespace

uint64_t BuildVideoRecord(uint8_t* out, uint64_t capacity, const RecordFields& fields,
                          const void* payload, uint64_t payloadLength) {
  if (out == nullptr || payloadLength > kMaxPayloadLength) return 0;
  if (payload == nullptr && payloadLength != 0) return 0;
  const uint64_t size = VideoRecordSize(payloadLength, fields.keyFrame);
  if (size > capacity) return 0;
  uint8_t* body = out + kRecordHeadSize;
  if (!fields.keyFrame) {
    std::memset(body, 0, kNonKeyLeadSize);
    body += kNonKeyLeadSize;
  }
  StoreU32(body, fields.videoTag);
  body += kVideoTagSize;
  if (payloadLength != 0) std::memcpy(body, payload, payloadLength);
  WriteHeadAndTrailer(out, fields, fields.keyFrame,
                      static_cast<uint32_t>(VideoBodySize(payloadLength, fields.keyFrame)),
                      static_cast<uint32_t>(payloadLength + kVideoTagSize));
  return size;
}

uint64_t BuildAudioRecord(uint8_t* out, uint64_t capacity, const RecordFields& fields,
                          const void* payload, uint64_t payloadLength) {
  if (out == nullptr || payloadLength > kMaxPayloadLength) return 0;
  if (payload == nullptr && payloadLength != 0) return 0;
  const uint64_t size = AudioRecordSize(payloadLength);
  if (size > capacity) return 0;
  if (payloadLength != 0) std::memcpy(out + kRecordHeadSize, payload, payloadLength);
  WriteHeadAndTrailer(out, fields, /*keyFrame=*/false, static_cast<uint32_t>(payloadLength),
                      /*payloadSize=*/0);
  return size;
}

RecordStatus ParseRecordStart(const uint8_t* data, uint64_t room, FrameHeader* header) {
  if (data == nullptr || room < kRecordHeadSize) return RecordStatus::kShortHead;
  const FrameRecordHead head = LoadAs<FrameRecordHead>(data);
  if (head.startMarker != kRecordStartMarker) return RecordStatus::kBadStartMarker;
  if (kRecordOverhead + uint64_t{head.header.bodySize} > room) return RecordStatus::kBodyOverrun;
  *header = head.header;
  return RecordStatus::kOk;
}

RecordStatus ParseRecordEnd(const uint8_t* trailer8, uint32_t bodySize) {
  const FrameRecordTrailer trailer = LoadAs<FrameRecordTrailer>(trailer8);
  if (trailer.bodySize != bodySize) return RecordStatus::kBadTrailerSize;
  if (trailer.endMarker != kRecordEndMarker) return RecordStatus::kBadEndMarker;
  return RecordStatus::kOk;
}

RecordStatus ParseRecord(const uint8_t* data, uint64_t length, RecordView* view) {
  FrameHeader header;
  RecordStatus status = ParseRecordStart(data, length, &header);
  if (status != RecordStatus::kOk) return status;
  status = ParseRecordEnd(data + kRecordHeadSize + header.bodySize, header.bodySize);
  if (status != RecordStatus::kOk) return status;
  if (view != nullptr) {
    view->header = header;
    view->body = data + kRecordHeadSize;
    view->bodySize = header.bodySize;
    view->recordSize = kRecordOverhead + uint64_t{header.bodySize};
  }
  return RecordStatus::kOk;
}

bool ParseRecordHead(const uint8_t* head40, FrameHeader* header) {
  const FrameRecordHead head = LoadAs<FrameRecordHead>(head40);
  if (head.startMarker != kRecordStartMarker) return false;
  if (header != nullptr) *header = head.header;
  return true;
}

bool SplitVideoBody(const uint8_t* body, uint32_t bodySize, bool keyFrame, VideoBodyView* view) {
  const uint32_t fixed = kVideoTagSize + (keyFrame ? 0 : kNonKeyLeadSize);
  if (body == nullptr || bodySize < fixed) return false;
  VideoBodyView result;
  const uint8_t* p = body;
  if (!keyFrame) {
    result.lead = p;
    p += kNonKeyLeadSize;
  }
  result.videoTag = LoadU32(p);
  p += kVideoTagSize;
  result.payload = p;
  result.payloadLength = bodySize - fixed;
  if (view != nullptr) *view = result;
  return true;
}

FileHeader MakeFileHeader(uint32_t recordCount, uint32_t sequence) {
  FileHeader header;
  std::memset(&header, 0, sizeof(header));
  header.magic = kFileHeaderMagic;
  header.recordCount = recordCount;
  header.sequence = sequence;
  return header;
}

IndexSummary MakeEmptySummary() {
  IndexSummary summary;
  std::memset(&summary, 0, sizeof(summary));
  const uint32_t noTime = NoTimeSeconds();
  summary.startTime = noTime;
  summary.endTime = noTime;
  return summary;
}

IndexRecord MakeIndexRecord(std::string_view baseName) {
  IndexRecord record;
  std::memset(&record, 0, sizeof(record));
  const size_t length = std::min<size_t>(baseName.size(), kIndexNameMaxLength);
  std::memcpy(record.name, baseName.data(), length);
  record.summary = MakeEmptySummary();
  return record;
}

std::string IndexRecordName(const IndexRecord& record) {
  return std::string(record.name, strnlen(record.name, kIndexNameMaxLength));
}

std::string FileInfoPath(const FileInfo& info) {
  return std::string(info.path, strnlen(info.path, kFileInfoPathMaxLength));
}

void SetFileInfoPath(FileInfo* info, std::string_view path) {
  std::memset(info->path, 0, sizeof(info->path));
  const size_t length = std::min<size_t>(path.size(), kFileInfoPathMaxLength);
  std::memcpy(info->path, path.data(), length);
}

}  // namespace storage
