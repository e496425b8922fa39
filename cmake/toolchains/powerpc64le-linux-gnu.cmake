# Cross-build for little-endian 64-bit POWER (ppc64el) with Debian's g++-powerpc64le-linux-gnu; tests run under qemu-ppc64le.
set(REMOVE_CROSS_TRIPLE powerpc64le-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(REMOVE_QEMU qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
