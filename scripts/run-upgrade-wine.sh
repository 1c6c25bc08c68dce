#!/usr/bin/env bash
# Runs one whole upgrade of the Windows build (zntv-upgrade.exe) under Wine
# against the module simulator: the simulator registers the module in a Wine
# prefix as a COM-port device interface with its PortName and maps that COM
# port to its pseudo-terminal, so the unchanged SetupAPI lookup finds it; it
# removes the interface while the module is off the bus. Builds what is
# missing (Linux simulator, MinGW-w64 updater) first. The updater's last line
# comes last; the exit status is the updater's.
#
# usage: scripts/run-upgrade-wine.sh [simulator options]
# ZNTV_BUILD_DIR (default build) holds the simulator, ZNTV_WIN_BUILD_DIR
# (default build-win) the Windows updater; WINEPREFIX defaults to a prefix
# inside the Windows build directory; ZNTV_WINE_COM picks the COM number (5).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build}
win_build=${ZNTV_WIN_BUILD_DIR:-$root/build-win}
source "$root/scripts/setup.sh"
zntv_setup windows || exit 1

# build_target <dir> <target> [cmake configure args...]
build_target() {
  local dir=$1 target=$2; shift 2
  local log
  log=$(mktemp)
  if { [ -f "$dir/CMakeCache.txt" ] || cmake -S "$root" -B "$dir" "$@" >"$log" 2>&1; } &&
     cmake --build "$dir" --target "$target" -j2 >>"$log" 2>&1; then
    rm -f "$log"
  else
    cat "$log"; rm -f "$log"
    echo "run-upgrade-wine: building $target failed" >&2
    exit 1
  fi
}
build_target "$build" zntv-module-sim
build_target "$win_build" zntv-upgrade -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64.cmake"

export WINEPREFIX=${WINEPREFIX:-$win_build/wineprefix-sim}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# One server for the whole run, so that the simulator's registry updates
# between the phases do not each start Wine afresh.
wineserver -p

image=$(sed -n 2p "$win_build/resources/embedded_inputs.txt")
"$build/zntv-module-sim" --wine-prefix "$WINEPREFIX" --com "${ZNTV_WINE_COM:-5}" --expect-image "$image" "$@" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 600); do
  [ "$(wc -l <"$work/sim.out")" -ge 3 ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ "$(wc -l <"$work/sim.out")" -lt 3 ]; then
  cat "$work/sim.err" >&2
  echo "run-upgrade-wine: the module simulator did not start" >&2
  exit 1
fi

# Console lines without Wine's carriage returns; the last one waits for the
# simulator's verdict.
wine "$win_build/zntv-upgrade.exe" | tr -d '\r' |
  awk -v last="$work/last" 'NR > 1 { print previous; fflush() } { previous = $0 } END { if (NR) print previous > last }'
status=${PIPESTATUS[0]}

[ "$status" -eq 0 ] || kill -TERM "$sim_pid" 2>/dev/null
wait "$sim_pid"
sim_status=$?
sim_pid=
tail -n +4 "$work/sim.out"
[ "$sim_status" -eq 0 ] || echo "Module simulator exit status $sim_status (log: $(tail -n 3 "$work/sim.err" | tr '\n' ' '))"
[ -f "$work/last" ] && cat "$work/last"
exit "$status"
