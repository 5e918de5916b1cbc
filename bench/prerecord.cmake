# Memory a recorder holds for pre-record at 32 channels x 10 s x 4 Mbit/s (prerecord_bench),
# against the bound the public header states.
add_executable(prerecord_bench prerecord_bench.cc)
target_link_libraries(prerecord_bench PRIVATE recorder_core)
