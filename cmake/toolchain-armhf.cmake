# 32-bit ARM boards (armhf: ARMv7, hard float) with Debian's g++-arm-linux-gnueabihf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(RECORDER_CROSS_TRIPLE arm-linux-gnueabihf)
set(RECORDER_CROSS_QEMU qemu-arm)
# GCC notes on every std::vector<double> iterator that its parameter passing changed in
# GCC 7.1; nothing here mixes code built by older compilers.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
