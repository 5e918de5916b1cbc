# Delivery lateness of the scheduler's pacing thread (32 channels x 25 fps at rate 1.0).
add_executable(pacing_bench pacing_bench.cc)
target_include_directories(pacing_bench PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(pacing_bench PRIVATE rc_scheduler rc_platform Threads::Threads)
