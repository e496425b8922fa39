# Cross-build for 64-bit RISC-V (riscv64) with Debian's g++-riscv64-linux-gnu; tests run under qemu-riscv64.
set(REMOVE_CROSS_TRIPLE riscv64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(REMOVE_QEMU qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
