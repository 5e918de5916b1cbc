#include "common/write_all.h"

int WriteAll(platform::File* file, const void* data, uint32_t length, uint32_t* written) {
  if (file == nullptr || (data == nullptr && length != 0)) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (length == 0) {
    if (file->Write(bytes, 0) < 0) return 0;
    if (written != nullptr) *written = 0;
    return 1;
  }
  uint32_t done = 0;
  while (done < length) {
    const uint32_t remaining = length - done;
    const int64_t put = file->Write(bytes + done, remaining);
    // A call that writes nothing would be repeated forever (a full disk can answer so).
    if (put <= 0) return 0;
    done += put > remaining ? remaining : static_cast<uint32_t>(put);
  }
  if (written != nullptr) *written = done;
  return 1;
}
