# Cross-build for hard-float 32-bit ARM (armhf, ARMv7) with Debian's g++-arm-linux-gnueabihf; tests run under qemu-arm.
set(REMOVE_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(REMOVE_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
