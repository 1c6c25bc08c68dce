# Cross-compiles the 32-bit ARM Linux build (ARMv7 with hardware floating
# point, Debian's armhf) with Debian's g++-arm-linux-gnueabihf; its
# executables run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR armhf)
set(ZNTV_LINUX_TRIPLET arm-linux-gnueabihf)
set(ZNTV_DEBIAN_ARCH armhf)
set(ZNTV_QEMU qemu-arm)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
