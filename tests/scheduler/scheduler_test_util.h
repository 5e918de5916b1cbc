// Helpers shared by the scheduler tests: a TZ guard and a recorder of delivered frames.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "scheduler/formats.h"
#include "support/scoped_env.h"

namespace scheduler {

using ScopedTz = testsupport::ScopedTimeZone;

struct Delivery {
  uint32_t channel = 0;
  FrameTime time{};
  std::vector<uint8_t> data;
  std::vector<uint8_t> second;
  int32_t display = 0;
  double at = 0.0;  // when it was delivered, in the clock of the test
};

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Spacing between consecutive deliveries in [first, last).
inline std::vector<double> Spacings(const std::vector<Delivery>& d, size_t first, size_t last) {
  std::vector<double> out;
  for (size_t i = first + 1; i < last && i < d.size(); ++i) out.push_back(d[i].at - d[i - 1].at);
  return out;
}

}  // namespace scheduler
