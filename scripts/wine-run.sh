#!/usr/bin/env bash
# Runs a Windows executable of the build under Wine, quietly, with a prefix
# kept inside the build tree (made on first use). CMake's emulator for the
# MinGW-w64 build, so ctest runs the Windows tests through it.
set -euo pipefail
exe=$1; shift
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$exe")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" != / ] || dir=$(cd "$(dirname "$exe")" && pwd)
  export WINEPREFIX=$dir/wineprefix
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
exec wine "$exe" "$@"
