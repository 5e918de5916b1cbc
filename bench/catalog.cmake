# Catalogue of 40,000 index files: Build, one GetDayTable, and the peak resident memory
# outside the catalogue's mappings next to the same at 4,000 files.
add_executable(catalog_bench catalog_bench.cc)
target_link_libraries(catalog_bench PRIVATE recorder_core Threads::Threads)
