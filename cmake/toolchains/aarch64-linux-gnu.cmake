# Cross-build for arm64 with Debian's g++-aarch64-linux-gnu; tests run under qemu-aarch64.
set(REMOVE_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(REMOVE_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
