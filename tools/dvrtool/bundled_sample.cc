#include "bundled_sample.h"

#include <cstddef>

// The assembler copies the file in at build time; the build lists it as a dependency of this
// object, so a new sample rebuilds it.
asm(".section .rodata\n"
    ".balign 16\n"
    ".globl dvrtool_bundled_sample_begin\n"
    ".hidden dvrtool_bundled_sample_begin\n"
    "dvrtool_bundled_sample_begin:\n"
    ".incbin \"" DVRTOOL_SAMPLE_FILE
    "\"\n"
    ".globl dvrtool_bundled_sample_end\n"
    ".hidden dvrtool_bundled_sample_end\n"
    "dvrtool_bundled_sample_end:\n"
    ".previous\n");

extern "C" {
__attribute__((visibility("hidden"))) extern const uint8_t dvrtool_bundled_sample_begin[];
__attribute__((visibility("hidden"))) extern const uint8_t dvrtool_bundled_sample_end[];
}

namespace dvrtool {

std::span<const uint8_t> BundledSample() {
  return {dvrtool_bundled_sample_begin,
          static_cast<size_t>(dvrtool_bundled_sample_end - dvrtool_bundled_sample_begin)};
}

}  // namespace dvrtool
