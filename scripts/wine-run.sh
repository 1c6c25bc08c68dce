#!/usr/bin/env bash
# Runs a Windows executable of the build under Wine, quietly, with a prefix
# kept inside the build tree (made on first use). CMake's emulator for the
# MinGW-w64 build, so ctest runs the Windows tests through it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
exe=$1; shift
zntv_wine_prefix "$exe"
exec wine "$exe" "$@"
