# Cross-build for 32-bit x86 (i386) with Debian's g++-i686-linux-gnu; tests run under qemu-i386.
set(REMOVE_CROSS_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(REMOVE_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
