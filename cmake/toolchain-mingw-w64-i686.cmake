# Cross-compiles the 32-bit Windows build (i686) with Debian's MinGW-w64; its
# executables run under a 32-bit Wine (wine32:i386).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZNTV_MINGW_TRIPLET i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")
