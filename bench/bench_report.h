// What every benchmark program prints for bench/run-all: one line per figure, tab separated,
//
//   FIGURE <id> <what> <value> <unit> <reference> <reference name> <ratio> <target> <met>
//
// next to whatever human-readable lines the program prints. <reference> is the limit or
// peer measured in the same run; <met> is "yes", "no" or "-" where no target applies.
// run-all picks these lines out of the programs' output and makes one table (or JSON).
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct Figure {
  std::string id;             // "1a", "2-16k", ...: stable between commits for --json diffs
  std::string what;           // "recording, H.264 sample, new files"
  double value = 0;           // the measured figure
  std::string unit;           // "MB/s", "us", "ms", "%", "MiB", "s"
  double reference = 0;       // limit or peer measured in the same run (0 if none)
  std::string referenceName;  // "O_DSYNC 8 MiB writer", "memcpy", "ffmpeg -c copy", ...
  double ratio = 0;           // value against the reference, as the target reads it
  std::string target;         // "ratio >= 0.95", "p99 <= 20 us", ...
  int met = -1;               // 1 met, 0 missed, -1 no target
};

inline std::string Clean(std::string s) {
  std::replace(s.begin(), s.end(), '\t', ' ');
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s.empty() ? "-" : s;
}

inline void Report(const Figure& f) {
  std::printf("FIGURE\t%s\t%s\t%.6g\t%s\t%.6g\t%s\t%.4g\t%s\t%s\n", Clean(f.id).c_str(),
              Clean(f.what).c_str(), f.value, Clean(f.unit).c_str(), f.reference,
              Clean(f.referenceName).c_str(), f.ratio, Clean(f.target).c_str(),
              f.met < 0 ? "-" : (f.met ? "yes" : "no"));
  std::fflush(stdout);
}

// Percentile q in [0, 1] of samples (sorted in place); 0 for no samples.
inline double Percentile(std::vector<double>& samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t i = std::min(samples.size() - 1, static_cast<size_t>(q * double(samples.size())));
  return samples[i];
}

inline double Median(std::vector<double> samples) { return Percentile(samples, 0.5); }

}  // namespace bench
