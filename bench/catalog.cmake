# Catalogue of 40,000 index files: Build (oldest first and newest first), one GetDayTable,
# peak RSS.
add_executable(catalog_bench catalog_bench.cc)
target_link_libraries(catalog_bench PRIVATE recorder_core benchmark::benchmark)
