# Cross-build for little-endian 64-bit MIPS (mips64el, n64) with Debian's g++-mips64el-linux-gnuabi64; tests run under qemu-mips64el.
set(REMOVE_CROSS_TRIPLE mips64el-linux-gnuabi64)
set(CMAKE_SYSTEM_PROCESSOR mips64el)
set(REMOVE_QEMU qemu-mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
