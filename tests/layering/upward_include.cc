// Compiled only by the test upward_include_does_not_compile, as a part of the scheduler: the
// scheduler is not built on the storage module, so this include must not be found.
#include "storage/formats.h"
