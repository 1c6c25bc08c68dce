# What the MinGW-w64 toolchain files share: Debian's MinGW-w64 compilers of
# the posix threads flavour for the target triplet ZNTV_MINGW_TRIPLET, and
# test executables run under Wine through the emulator setting.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZNTV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZNTV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZNTV_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZNTV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh")
