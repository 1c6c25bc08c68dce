#!/usr/bin/env bash
# Runs the station mode on Linux against the module simulator, with nothing
# else on the host: builds zntv-upgrade and zntv-module-sim when needed,
# starts the simulator with its modules off the bus, starts
# `zntv-upgrade --watch`, plugs the modules in one after another through the
# simulator's control pipe (each once the previous one's upgrade has
# started), and stops the watcher once each has failed or, upgraded, has
# left the bus at its reset (the watcher says "unplugged" 2 s later), with
# SIGTERM: a script's background job starts with SIGINT ignored. The
# watcher's lines come as it prints them, its summary
# ("Upgraded 3 of 3 modules") last, after the simulator's verdict on the
# modules' flash; the exit status is the watcher's, or 1 when the simulator
# found a module's flash or its run wrong.
#
# usage: scripts/run-station.sh [modules, default 3]
# ZNTV_BUILD_DIR selects the build directory (default: build).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build}
modules=${1:-3}
source "$root/scripts/setup.sh"
source "$root/scripts/module-sim.sh"
echo "Checking the packages the build needs" >&2
zntv_setup || exit 1
zntv_build_target "$build" zntv-upgrade || exit 1
zntv_build_target "$build" zntv-module-sim || exit 1

work=$(mktemp -d)
watcher=
trap '[ -z "$watcher" ] || kill -KILL "$watcher" 2>/dev/null; zntv_sim_stop; rm -rf "$work"' EXIT
image=$(sed -n 2p "$build/resources/embedded_inputs.txt")
echo "Starting the module simulator with $modules modules off the bus, then the watcher" >&2
zntv_sim_start "$work" 10 "$build/zntv-module-sim" --modules "$modules" --unplugged all \
  --control "$work/control" --expect-image "$image" || exit 1

# The simulator's modules are at 1-2, 1-3, ...
plug() { echo "plug 1-$(($1 + 1))" >"$work/control"; }

mkfifo "$work/lines"
"$build/zntv-upgrade" --watch >"$work/lines" &
watcher=$!
plugged=1 ended=0 previous=
plug 1
# Each line as it comes, but the last, which waits for the simulator's verdict.
while IFS= read -r line; do
  [ -z "$previous" ] || echo "$previous"
  previous=$line
  case $line in
    *": upgrading")
      if [ "$plugged" -lt "$modules" ]; then
        plugged=$((plugged + 1))
        plug "$plugged"
      fi ;;
    *": unplugged" | *": Download failed")
      ended=$((ended + 1))
      [ "$ended" -lt "$modules" ] || kill -TERM "$watcher" ;;
  esac
done <"$work/lines"
wait "$watcher"
status=$?
watcher=
echo quit >"$work/control"
wait "$zntv_sim_pid"
sim_status=$?
zntv_sim_pid=
tail -n +4 "$work/sim.out"
[ "$sim_status" -eq 0 ] || { echo "Module simulator exit status $sim_status"; cat "$work/sim.err"; status=1; }
echo "$previous"
exit "$status"
