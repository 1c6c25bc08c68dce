# What the Linux cross toolchain files share: Debian's cross compilers for
# the target triplet ZNTV_LINUX_TRIPLET, whose libraries and headers live in
# /usr/<triplet>, and test executables run by qemu-user (ZNTV_QEMU).
#
# The emulated programs load the target's own Debian run-time libraries, the
# multiarch packages libc6:<arch> and libstdc++6:<arch> that the package's
# dependencies name (scripts/setup.sh installs them), through their own
# loader: "-L /" keeps qemu from taking the loader from the cross
# directory, which would then pick up those newer libraries through the
# host's library cache and break at the first thread it starts.
# ZNTV_DEBIAN_ARCH names the architecture in Debian's terms, for the package.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZNTV_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZNTV_LINUX_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ZNTV_LINUX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZNTV_QEMU} -L /)
