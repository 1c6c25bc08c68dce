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
source "$root/scripts/module-sim.sh"
echo "Checking the packages the build needs" >&2
zntv_setup || exit 1
zntv_build_target "$build" zntv-upgrade || exit 1
zntv_build_target "$build" zntv-module-sim || exit 1

work=$(mktemp -d)
trap 'zntv_sim_stop; rm -rf "$work"' EXIT
image=$(sed -n 2p "$build/resources/embedded_inputs.txt")
echo "Starting the module simulator, then the upgrade" >&2
zntv_sim_start "$work" 10 "$build/zntv-module-sim" --expect-image "$image" "$@" || exit 1
zntv_sim_upgrade "$work" "$build/zntv-upgrade"
