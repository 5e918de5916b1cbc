#include "common/raw_file.h"

#include "common/write_all.h"

std::unique_ptr<CRawFile> CRawFile::OpenForReading(const std::string& path) {
  std::unique_ptr<platform::File> file = platform::File::OpenReadOnly(path);
  if (!file) return nullptr;
  return std::make_unique<CRawFile>(std::move(file));
}

int32_t CRawFile::ReadExact(void* buffer, uint32_t count) {
  if (file_ == nullptr || (buffer == nullptr && count != 0)) return 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  // A regular file gives all it has in one read; the loop covers reads cut short anyway.
  while (done < count) {
    const int64_t got = file_->Read(bytes + done, count - done);
    if (got <= 0) return 0;
    done += static_cast<uint32_t>(got);
  }
  return 1;
}

uint32_t CRawFile::SeekTo(int32_t offset, int origin) {
  if (file_ == nullptr) return kBadPosition;
  platform::SeekOrigin from;
  switch (origin) {
    case kBegin:
      from = platform::SeekOrigin::kBegin;
      break;
    case kCurrent:
      from = platform::SeekOrigin::kCurrent;
      break;
    case kEnd:
      from = platform::SeekOrigin::kEnd;
      break;
    default:
      return kBadPosition;
  }
  const int64_t pos = file_->Seek(offset, from);
  if (pos < 0 || pos >= static_cast<int64_t>(kBadPosition)) return kBadPosition;
  return static_cast<uint32_t>(pos);
}

int32_t CRawFile::Write(const void* data, uint32_t length) {
  uint32_t written = 0;
  return WriteAll(file_, data, length, &written) == 1 && written == length ? 1 : 0;
}

int64_t CRawFile::GetLength() const { return file_ == nullptr ? -1 : file_->Size(); }

void CRawFile::Close() {
  file_ = nullptr;
  owned_.reset();
}
