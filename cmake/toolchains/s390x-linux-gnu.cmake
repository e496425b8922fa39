# Cross-build for big-endian s390x with Debian's g++-s390x-linux-gnu; tests run under qemu-s390x.
set(REMOVE_CROSS_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(REMOVE_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
