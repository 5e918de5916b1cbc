# Playback: seek latency on a day of full data files (seek_bench), and the resident memory
# of recorders and file searches, idle and at full load, against their fixed buffers
# (memory_bench).
add_executable(seek_bench seek_bench.cc)
target_link_libraries(seek_bench PRIVATE recorder_core)
add_executable(memory_bench memory_bench.cc)
target_link_libraries(memory_bench PRIVATE recorder_core Threads::Threads)
