#include "api/globals.h"

// One translation unit, so the order of construction (and the reverse order of destruction)
// is the order of these definitions. None of them starts a thread or opens a descriptor.
CObjectRegistry g_fileSearchRegistry;
CEventLock g_fileSearchLock;
CObjectRegistry g_recorderRegistry;
CEventLock g_recorderLock;
