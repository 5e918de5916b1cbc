# Shared part of the toolchain files for Debian's cross compilers (toolchain-armhf.cmake,
# toolchain-arm64.cmake set RECORDER_CROSS_TRIPLE and RECORDER_CROSS_QEMU, then include this).
#
# The target's C and C++ libraries live in /usr/<triple> (libc6-dev-<arch>-cross, ...), and
# nothing is looked for among the build machine's libraries. Prefixes built for the target
# (GoogleTest in the build tree, an installed recorder for a host) are named in
# CMAKE_PREFIX_PATH and searched as they are.
#
# Test programs run under qemu-user: CMAKE_CROSSCOMPILING_EMULATOR makes ctest and the test
# discovery start every test executable through it with the target's loader and libraries.
# Programs that the tests start themselves (dvrtool, the benchmarks' helpers) need qemu
# registered with binfmt_misc and QEMU_LD_PREFIX in the environment (scripts/build-cross and
# the test presets see to both).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${RECORDER_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${RECORDER_CROSS_TRIPLE}-g++)
set(RECORDER_CROSS_SYSROOT /usr/${RECORDER_CROSS_TRIPLE})

set(CMAKE_FIND_ROOT_PATH ${RECORDER_CROSS_SYSROOT} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(RECORDER_CROSS_QEMU_PATH ${RECORDER_CROSS_QEMU} ${RECORDER_CROSS_QEMU}-static)
if(RECORDER_CROSS_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RECORDER_CROSS_QEMU_PATH} -L ${RECORDER_CROSS_SYSROOT})
endif()
