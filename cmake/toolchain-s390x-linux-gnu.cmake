# Cross-compiles for IBM Z Linux (s390x, big-endian) with Debian's g++-s390x-linux-gnu; its tests
# run under qemu-s390x-static (qemu-user-static).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(KG_CROSS_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross-common.cmake)
