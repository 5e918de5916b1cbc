# Host side of recording: the cost of one intake call next to memcpy (intake_bench), CPU per
# frame next to ffmpeg remuxing the same frames (cpu_bench) and the library threads' share
# of a core at 32 x 25 fps x 4 Mbit/s in real time (load_bench).
add_executable(intake_bench intake_bench.cc)
target_link_libraries(intake_bench PRIVATE recorder_core)

# The bundled sample is split with dvrtool's splitter, compiled in here.
add_executable(cpu_bench cpu_bench.cc ${PROJECT_SOURCE_DIR}/tools/dvrtool/h264_splitter.cc)
target_include_directories(cpu_bench PRIVATE ${PROJECT_SOURCE_DIR}/tools/dvrtool)
target_compile_definitions(cpu_bench PRIVATE
  HOSTBENCH_SAMPLE_FILE="${PROJECT_SOURCE_DIR}/testdata/sample.h264")
target_link_libraries(cpu_bench PRIVATE recorder_core)

add_executable(load_bench load_bench.cc)
target_link_libraries(load_bench PRIVATE recorder_core)

# 4 channels of 8 MiB key frames every second beside 25 fps of 50 KB frames, in real time.
add_executable(large_frame_bench large_frame_bench.cc)
target_link_libraries(large_frame_bench PRIVATE recorder_core)
