// When this process last recorded into each data file, by elapsed time (the monotonic
// clock, which no setting of the wall clock moves). The writer notes each data file it writes
// records into; the deletion worker asks before it deletes a file, so a clock set forward by
// days (or a boot with a dead real-time clock, corrected later) cannot make footage recorded
// minutes ago look old enough to delete.
#pragma once

#include "platform/file.h"

namespace storage {

// The file has records written into it now.
void NoteRecordedInto(const platform::FileId& file);
// Elapsed seconds since this process last noted the file; negative when it never did.
double SecondsSinceRecordedInto(const platform::FileId& file);

}  // namespace storage
