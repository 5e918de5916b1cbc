// The seed of a model test (random operations against a reference): `fallback`, or
// RECORDER_TEST_SEED to replay another. Tests name it in their failures.
#pragma once
#include <cstdlib>

namespace testsupport {

inline unsigned TestSeed(unsigned fallback = 7) {
  const char* text = std::getenv("RECORDER_TEST_SEED");
  return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

}  // namespace testsupport
