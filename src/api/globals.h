// The library's process-wide objects. They are constructed when the library is loaded, in
// the order declared here, and destroyed in reverse order when it is unloaded. Unloading
// empties the registries but never ends the objects they name: the host ends every
// recorder and file search before it unloads the library.
#pragma once

#include "api/event_lock.h"
#include "api/object_registry.h"

extern CObjectRegistry g_fileSearchRegistry;
// Serialises _RECORDER_FILESEARCH_INIT and _RECORDER_FILESEARCH_END; taken before the
// registry's own lock.
extern CEventLock g_fileSearchLock;
extern CObjectRegistry g_recorderRegistry;
// Serialises _RECORDER_INIT, _RECORDER_END, _RECORDER_GETCOUNT and _RECORDER_GETNAME; taken
// before the registry's own lock.
extern CEventLock g_recorderLock;
