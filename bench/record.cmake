# Recording bandwidth and intake latency through the exports, next to an O_DSYNC writer.
add_executable(record_bench record_bench.cc)
target_link_libraries(record_bench PRIVATE recorder_core)
