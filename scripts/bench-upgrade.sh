#!/usr/bin/env bash
# Upgrade benchmark: whole upgrades of the default embedded files against the
# module simulator for every link rate, SDL window and SDL maximum write size,
# with the time of each phase, the SDL streaming throughput against the
# link's limit and against the bound that the line and the port's read
# time-out allow, and the updater's CPU time and peak memory; then the
# simulator's default configuration, on Linux and with the Windows build
# under Wine; then the station mode (bench/station_bench.py): 32 modules
# plugged in together at 1 MB/s each against one alone. Writes
# docs/upgrade-benchmark.md and docs/upgrade-throughput.png.
#
# usage: scripts/bench-upgrade.sh [bench/upgrade_bench.py options, e.g. --reps 1]
# ZNTV_BUILD_DIR selects the (Release) build directory (default: build-bench),
# ZNTV_WIN_BUILD_DIR the Windows one (default: build-bench-win);
# ZNTV_BENCH_WINE=0 leaves the Windows row out; ZNTV_BENCH_STATION=0 leaves
# the station section out, =only measures it alone and rewrites only it
# (--reps applies to both).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build-bench}
win_build=${ZNTV_WIN_BUILD_DIR:-$root/build-bench-win}
source "$root/scripts/setup.sh"
source "$root/scripts/module-sim.sh"
zntv_setup
command -v gnuplot >/dev/null || zntv_setup plot
zntv_build_target "$build" zntv-upgrade -DCMAKE_BUILD_TYPE=Release -DZNTV_BUILD_TESTS=OFF
zntv_build_target "$build" zntv-module-sim -DCMAKE_BUILD_TYPE=Release -DZNTV_BUILD_TESTS=OFF

image=$(sed -n 2p "$build/resources/embedded_inputs.txt")
mkdir -p "$root/docs"
station=${ZNTV_BENCH_STATION:-1}
bench_station() {
  python3 "$root/bench/station_bench.py" --upgrade "$build/zntv-upgrade" --sim "$build/zntv-module-sim" \
    --image "$image" --page "$root/docs/upgrade-benchmark.md" "$@"
}
if [ "$station" = only ]; then
  bench_station "$@"
  exit
fi

wine_args=()
if [ "${ZNTV_BENCH_WINE:-1}" != 0 ]; then
  zntv_setup windows
  zntv_build_target "$win_build" zntv-upgrade -DCMAKE_BUILD_TYPE=Release -DZNTV_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64.cmake"
  export WINEPREFIX=${WINEPREFIX:-$win_build/wineprefix-bench}
  source "$root/scripts/wine-env.sh"
  zntv_wine_prefix "$win_build/zntv-upgrade.exe"
  # One Wine server for all the runs, so that none pays for starting it.
  wineserver -p >/dev/null 2>&1
  trap 'wineserver -k >/dev/null 2>&1' EXIT
  wine_args=(--wine-upgrade "$win_build/zntv-upgrade.exe")
fi

python3 "$root/bench/upgrade_bench.py" \
  --upgrade "$build/zntv-upgrade" --sim "$build/zntv-module-sim" "${wine_args[@]}" \
  --image "$image" --table "$root/docs/upgrade-benchmark.md" --plot "$root/docs/upgrade-throughput.png" "$@"
[ "$station" = 0 ] || bench_station "$@"
