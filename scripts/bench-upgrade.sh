#!/usr/bin/env bash
# Upgrade benchmark: whole upgrades of the default embedded files against the
# module simulator for every link rate, SDL window and SDL maximum write size,
# with the time of each phase, the SDL streaming throughput against the
# link's limit, and the updater's CPU time and peak memory. Writes
# docs/upgrade-benchmark.md and docs/upgrade-throughput.png.
#
# usage: scripts/bench-upgrade.sh [bench/upgrade_bench.py options, e.g. --reps 1]
# ZNTV_BUILD_DIR selects the (Release) build directory (default: build-bench).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build-bench}
source "$root/scripts/setup.sh"
source "$root/scripts/module-sim.sh"
zntv_setup
command -v gnuplot >/dev/null || zntv_setup plot
zntv_build_target "$build" zntv-upgrade -DCMAKE_BUILD_TYPE=Release
zntv_build_target "$build" zntv-module-sim -DCMAKE_BUILD_TYPE=Release

mkdir -p "$root/docs"
python3 "$root/bench/upgrade_bench.py" \
  --upgrade "$build/zntv-upgrade" --sim "$build/zntv-module-sim" \
  --image "$(sed -n 2p "$build/resources/embedded_inputs.txt")" \
  --table "$root/docs/upgrade-benchmark.md" --plot "$root/docs/upgrade-throughput.png" "$@"
