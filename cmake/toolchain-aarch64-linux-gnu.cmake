# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu; its tests run under
# qemu-aarch64-static (qemu-user-static).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KG_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross-common.cmake)
