// ChannelSwitches: what the host set per channel (the record switch and the status bits) and
// the latest record decision of each channel's video, which its audio follows. Every value
// is an atomic: the exports set and read them on host threads while intake reads them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "storage/formats.h"

using storage::kChannelCount;

// A channel number from the host (or a record) is valid below kChannelCount; a negative
// number from the host is compared as unsigned and refused like 32.
inline bool ChannelInRange(uint32_t channel) { return channel < kChannelCount; }

class ChannelSwitches {
 public:
  ChannelSwitches() {
    for (auto& status : status_) status = 1;
  }

  void SetRecord(uint32_t channel, int32_t enabled) {
    if (ChannelInRange(channel)) record_[channel] = enabled;
  }
  int32_t GetRecord(uint32_t channel) const {
    return ChannelInRange(channel) ? record_[channel].load() : 0;
  }
  void SetStatus(uint32_t channel, uint32_t bits) {
    if (ChannelInRange(channel)) status_[channel] = bits;
  }
  uint32_t GetStatus(uint32_t channel) const {
    return ChannelInRange(channel) ? status_[channel].load() : 0;
  }
  // The channel's latest decision (set by its video and kind-0 rec data). The caller checks
  // the channel.
  void SetRecordNow(uint32_t channel, bool now) { recordNow_[channel] = now; }
  bool RecordNow(uint32_t channel) const { return recordNow_[channel].load(); }

 private:
  std::array<std::atomic<int32_t>, kChannelCount> record_{};
  std::array<std::atomic<uint32_t>, kChannelCount> status_{};
  std::array<std::atomic<bool>, kChannelCount> recordNow_{};
};
