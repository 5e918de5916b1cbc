// WriteAll: the one way the recorder writes to its data, index and header files. It
// writes a whole block or reports failure, so the writer threads and the stream writes can
// roll back to the offset they saved before the write.
#pragma once

#include <cstdint>

#include "platform/file.h"

// Writes `length` bytes of `data` at the file's current position. Returns 1 when every
// byte was written, with `*written` (if given) set to `length`; returns 0 as soon as a write
// call fails or writes nothing of a non-empty remainder, leaving `*written` unchanged. A
// length of 0 makes one write call of 0 bytes. Interrupted calls are repeated.
int WriteAll(platform::File* file, const void* data, uint32_t length, uint32_t* written);
