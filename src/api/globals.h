// The library's process-wide objects. They are constructed when the library is loaded, in
// the order declared here, and destroyed in reverse order when it is unloaded. Unloading
// empties the registries but never ends the objects they name: the host ends every
// recorder and file search before it unloads the library.
#pragma once

#include "api/object_registry.h"
#include "platform/mutex.h"

extern CObjectRegistry g_fileSearchRegistry;
// Serialises the creation of file searches and the removal of their handles; taken before the
// registry's own lock, and never held while a file search works or a host callback runs.
extern platform::Mutex g_fileSearchLock;
extern CObjectRegistry g_recorderRegistry;
// Serialises the creation of recorders, the removal of their handles, _RECORDER_GETCOUNT and
// _RECORDER_GETNAME; taken before the registry's own lock, and never held while a recorder
// works or a host callback runs.
extern platform::Mutex g_recorderLock;
