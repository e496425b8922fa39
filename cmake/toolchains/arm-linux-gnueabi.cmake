# Cross-build for soft-float 32-bit ARM (armel, ARMv5TE) with Debian's g++-arm-linux-gnueabi; tests run under qemu-arm.
set(REMOVE_CROSS_TRIPLE arm-linux-gnueabi)
set(CMAKE_SYSTEM_PROCESSOR armv5te)
set(REMOVE_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
