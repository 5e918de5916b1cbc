// When this process last recorded into each data file, by elapsed time (the monotonic
// clock, which no setting of the wall clock moves). The writer notes each data file it writes
// records into; the deletion worker asks before it deletes a file, so a clock set forward by
// days (or a boot with a dead real-time clock, corrected later) cannot make footage recorded
// minutes ago look old enough to delete.
#pragma once

#include <string>

#include "platform/file.h"

namespace storage {

// The file at `path` has records written into it now.
void NoteRecordedInto(const platform::FileId& file, const std::string& path);
// Elapsed seconds since this process last noted the file under the same file name; negative
// when it never did. The name must match too: a file deleted behind the recorder's back gives
// its inode number to the next file made on the device, which is not footage of ours.
double SecondsSinceRecordedInto(const platform::FileId& file, const std::string& path);

}  // namespace storage
