#!/usr/bin/env bash
# Runs one whole upgrade of the Windows build (zntv-upgrade.exe) under Wine
# against the module simulator: the simulator registers the module in a Wine
# prefix as a COM-port device interface with its PortName and maps that COM
# port to its pseudo-terminal, so the unchanged SetupAPI lookup finds it; it
# removes the interface while the module is off the bus. Builds what is
# missing (Linux simulator, MinGW-w64 updater of the chosen width) first. The updater's last line
# comes last; the exit status is the updater's.
#
# usage: scripts/run-upgrade-wine.sh [simulator options]
# ZNTV_WIN_ARCH picks the Windows build: x86_64 (default) or i686 (32-bit,
# run by a 32-bit Wine). ZNTV_BUILD_DIR (default build) holds the simulator,
# ZNTV_WIN_BUILD_DIR (default build-win, or build-win32 for i686) the Windows
# updater; WINEPREFIX defaults to a prefix inside the Windows build directory;
# ZNTV_WINE_COM picks the COM number (5).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build}
case ${ZNTV_WIN_ARCH:-x86_64} in
  x86_64) extra=windows toolchain=toolchain-mingw-w64.cmake win_build=${ZNTV_WIN_BUILD_DIR:-$root/build-win} ;;
  i686) extra=windows32 toolchain=toolchain-mingw-w64-i686.cmake win_build=${ZNTV_WIN_BUILD_DIR:-$root/build-win32} ;;
  *) echo "ZNTV_WIN_ARCH must be x86_64 or i686, not $ZNTV_WIN_ARCH" >&2; exit 1 ;;
esac
source "$root/scripts/setup.sh"
source "$root/scripts/module-sim.sh"
zntv_setup "$extra" || exit 1
zntv_build_target "$build" zntv-module-sim || exit 1
zntv_build_target "$win_build" zntv-upgrade -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" || exit 1

export WINEPREFIX=${WINEPREFIX:-$win_build/wineprefix-sim}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi

work=$(mktemp -d)
trap 'zntv_sim_stop; wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
# One server for the whole run, so that the simulator's registry updates
# between the phases do not each start Wine afresh. It keeps quiet: a port
# that hangs up makes it dump its objects.
wineserver -p >/dev/null 2>&1

image=$(sed -n 2p "$win_build/resources/embedded_inputs.txt")
zntv_sim_start "$work" 60 "$build/zntv-module-sim" --wine-prefix "$WINEPREFIX" --com "${ZNTV_WINE_COM:-5}" \
  --expect-image "$image" "$@" || exit 1
zntv_sim_upgrade "$work" wine "$win_build/zntv-upgrade.exe"
