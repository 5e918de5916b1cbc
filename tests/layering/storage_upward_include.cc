// Compiled only by the test storage_include_of_catalog_does_not_compile, as a part of the
// storage module: the frame reader sees the catalogue through storage's own view, so the
// catalogue's header must not be found from storage.
#include "catalog/file_catalog.h"
