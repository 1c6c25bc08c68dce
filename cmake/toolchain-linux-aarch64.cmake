# Cross-compiles the 64-bit ARM Linux build (aarch64, Debian's arm64) with
# Debian's g++-aarch64-linux-gnu; its executables run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZNTV_LINUX_TRIPLET aarch64-linux-gnu)
set(ZNTV_DEBIAN_ARCH arm64)
set(ZNTV_QEMU qemu-aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
