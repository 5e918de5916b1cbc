// Data files made while a ScopedDataFileReserve lives reserve only the bytes it names (not
// their nominal 200 MiB), so a test may make many of them; the default comes back at the end
// of the scope, also when the test fails early.
#pragma once

#include <cstdint>

#include "recording/file_closer.h"

namespace testsupport {

class ScopedDataFileReserve {
 public:
  explicit ScopedDataFileReserve(uint32_t bytes) { SetDataFileReserveForTest(bytes); }
  ~ScopedDataFileReserve() { SetDataFileReserveForTest(0); }
  ScopedDataFileReserve(const ScopedDataFileReserve&) = delete;
  ScopedDataFileReserve& operator=(const ScopedDataFileReserve&) = delete;
};

}  // namespace testsupport
