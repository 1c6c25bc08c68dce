#!/usr/bin/env bash
# Runs one whole upgrade on Linux against the module simulator, with nothing
# else on the host: builds zntv-upgrade and zntv-module-sim when needed,
# starts the simulator in the background, runs the updater with the
# environment the simulator prints, and has the simulator confirm that its
# flash holds the embedded device image. The updater's own last line
# ("Upgraded in N ms" or "Download failed") comes last; the exit status is
# the updater's.
#
# usage: scripts/run-upgrade.sh [simulator options, see zntv-module-sim --help]
# ZNTV_BUILD_DIR selects the build directory (default: build).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build}
source "$root/scripts/setup.sh"
zntv_setup || exit 1

build_log=$(mktemp)
if { [ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" >"$build_log" 2>&1; } &&
   cmake --build "$build" --target zntv-upgrade zntv-module-sim -j2 >>"$build_log" 2>&1; then
  rm -f "$build_log"
else
  cat "$build_log"; rm -f "$build_log"
  echo "run-upgrade: build failed" >&2
  exit 1
fi

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

image=$(sed -n 2p "$build/resources/embedded_inputs.txt")
"$build/zntv-module-sim" --expect-image "$image" "$@" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!

# The simulator announces PROGRAMFILES, SYSFS_PATH and DEV_PATH once the
# module is on the bus.
for _ in $(seq 200); do
  [ "$(wc -l <"$work/sim.out")" -ge 3 ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if [ "$(wc -l <"$work/sim.out")" -lt 3 ]; then
  cat "$work/sim.err" >&2
  echo "run-upgrade: the module simulator did not start" >&2
  exit 1
fi
eval "$(head -n 3 "$work/sim.out")"

# Every line of the updater at once, except the last, which waits for the
# simulator's verdict.
"$build/zntv-upgrade" | awk -v last="$work/last" 'NR > 1 { print previous; fflush() } { previous = $0 }
  END { if (NR) print previous > last }'
status=${PIPESTATUS[0]}

[ "$status" -eq 0 ] || kill -TERM "$sim_pid" 2>/dev/null
wait "$sim_pid"
sim_status=$?
sim_pid=
tail -n +4 "$work/sim.out"
[ "$sim_status" -eq 0 ] || echo "Module simulator exit status $sim_status (log: $(tail -n 3 "$work/sim.err" | tr '\n' ' '))"
[ -f "$work/last" ] && cat "$work/last"
exit "$status"
