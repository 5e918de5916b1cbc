// Limits of the writer side that are not part of the stored formats.
#pragma once

#include <cstdint>

// A data file holding more record bytes than this (199 MiB) is finished before the next
// record; the file's nominal size leaves 1 MiB for the record that crosses it.
inline constexpr uint32_t kRotateDataBytes = 199u * 1024u * 1024u;  // 0x0C700000
static_assert(kRotateDataBytes == 0x0C700000u);

// A record stamped more than this many seconds before the last one of its file means the
// clock was set back: the writer changes to the next file, as at a change of day.
inline constexpr int64_t kClockStepBackSeconds = 60;
