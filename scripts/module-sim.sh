#!/usr/bin/env bash
# Helpers shared by the scripts that run a whole upgrade against the module
# simulator (run-upgrade.sh, run-upgrade-wine.sh). Sourced; expects $root.

# zntv_build_target <build dir> <target> [cmake configure args...]: configures
# the build directory when it has no cache yet and builds one target; says on
# standard error what it builds and how long it took, shows the log only on
# failure.
zntv_build_target() {
  local dir=$1 target=$2; shift 2
  local log started=$SECONDS
  log=$(mktemp)
  if [ -f "$dir/CMakeCache.txt" ]; then
    echo "Building $target in $dir (if anything changed)" >&2
  else
    echo "Configuring and building $target in $dir (a first build takes a few minutes)" >&2
  fi
  if { [ -f "$dir/CMakeCache.txt" ] || cmake -S "$root" -B "$dir" "$@" >"$log" 2>&1; } &&
     cmake --build "$dir" --target "$target" -j2 >>"$log" 2>&1; then
    rm -f "$log"
    echo "Built $target in $((SECONDS - started)) s" >&2
    return 0
  fi
  cat "$log"; rm -f "$log"
  echo "building $target failed" >&2
  return 1
}

# zntv_sim_start <work dir> <seconds> <simulator> [options...]: starts the
# simulator in the background (sets zntv_sim_pid) and exports the
# environment it announces once the module is on the bus.
zntv_sim_start() {
  local work=$1 seconds=$2; shift 2
  : >"$work/sim.out"  # before the background start, which opens it in its own time
  "$@" >"$work/sim.out" 2>"$work/sim.err" &
  zntv_sim_pid=$!
  local tries=$((seconds * 20))
  while [ "$(wc -l <"$work/sim.out")" -lt 3 ] && [ "$tries" -gt 0 ] && kill -0 "$zntv_sim_pid" 2>/dev/null; do
    sleep 0.05
    tries=$((tries - 1))
  done
  if [ "$(wc -l <"$work/sim.out")" -lt 3 ]; then
    cat "$work/sim.err" >&2
    echo "the module simulator did not start" >&2
    return 1
  fi
  eval "$(head -n 3 "$work/sim.out")"
}

# zntv_sim_upgrade <work dir> <updater command...>: runs the updater, shows
# its lines as they come except the last, then the simulator's verdict on the
# flash, then the updater's last line. Returns the updater's status.
zntv_sim_upgrade() {
  local work=$1; shift
  "$@" | tr -d '\r' |
    awk -v last="$work/last" 'NR > 1 { print previous; fflush() } { previous = $0 } END { if (NR) print previous > last }'
  local status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] || kill -TERM "$zntv_sim_pid" 2>/dev/null
  wait "$zntv_sim_pid"
  local sim_status=$?
  zntv_sim_pid=
  tail -n +4 "$work/sim.out"
  if [ "$sim_status" -ne 0 ]; then
    echo "Module simulator exit status $sim_status"
    cat "$work/sim.err"
  fi
  [ -f "$work/last" ] && cat "$work/last"
  return "$status"
}

# Ends a simulator that is still running (an interrupted script).
zntv_sim_stop() {
  if [ -n "${zntv_sim_pid:-}" ]; then
    kill "$zntv_sim_pid" 2>/dev/null
    wait "$zntv_sim_pid" 2>/dev/null
  fi
  zntv_sim_pid=
}
