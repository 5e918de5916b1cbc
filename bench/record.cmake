# Recording bandwidth through the exports (record_bench), against the disk's O_DSYNC limit
# measured by dsync_limit, which record_bench runs from its own directory.
add_executable(dsync_limit dsync_limit.cc)

add_executable(record_bench record_bench.cc ${PROJECT_SOURCE_DIR}/tools/dvrtool/h264_splitter.cc)
target_include_directories(record_bench PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/tools/dvrtool)
target_compile_definitions(record_bench PRIVATE
  RECORD_BENCH_SAMPLE="${PROJECT_SOURCE_DIR}/testdata/sample.h264")
target_link_libraries(record_bench PRIVATE recorder_core)
add_dependencies(record_bench dsync_limit)
