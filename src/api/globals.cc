#include "api/globals.h"

// One translation unit, so the order of construction (and the reverse order of destruction)
// is the order of these definitions. None of them starts a thread or opens a descriptor.
// The two kinds of handle differ in their lowest bit, so neither kind's export accepts the
// other's handles.
CObjectRegistry g_fileSearchRegistry(/*kind=*/1);
platform::Mutex g_fileSearchLock;
CObjectRegistry g_recorderRegistry(/*kind=*/0);
platform::Mutex g_recorderLock;
