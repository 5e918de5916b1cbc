# 64-bit ARM boards (arm64: AArch64) with Debian's g++-aarch64-linux-gnu.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RECORDER_CROSS_TRIPLE aarch64-linux-gnu)
set(RECORDER_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
