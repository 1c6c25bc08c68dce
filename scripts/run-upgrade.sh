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
# ZNTV_BUILD_DIR selects the build directory (default: build). ZNTV_ARCH
# picks the updater's build: x86_64 (default, this host's) or a cross build
# for ARM Linux, aarch64 or armhf, which runs under qemu-user against the
# simulator built for this host; ZNTV_CROSS_BUILD_DIR (default build-<arch>)
# holds that updater.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build}
arch=${ZNTV_ARCH:-x86_64}
case $arch in
  x86_64) extras=() updater_build=$build cross_args=() ;;
  aarch64 | armhf)
    extras=("$arch") updater_build=${ZNTV_CROSS_BUILD_DIR:-$root/build-$arch}
    cross_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-$arch.cmake") ;;
  *) echo "ZNTV_ARCH must be x86_64, aarch64 or armhf, not $arch" >&2; exit 1 ;;
esac
source "$root/scripts/setup.sh"
source "$root/scripts/module-sim.sh"
echo "Checking the packages the build needs" >&2
zntv_setup "${extras[@]}" || exit 1
zntv_build_target "$updater_build" zntv-upgrade "${cross_args[@]}" || exit 1
zntv_build_target "$build" zntv-module-sim || exit 1
# A cross build says how this host runs its programs.
launcher=()
[ ${#cross_args[@]} -eq 0 ] || read -r -a launcher <"$updater_build/emulator.txt"

work=$(mktemp -d)
trap 'zntv_sim_stop; rm -rf "$work"' EXIT
image=$(sed -n 2p "$updater_build/resources/embedded_inputs.txt")
echo "Starting the module simulator, then the upgrade" >&2
zntv_sim_start "$work" 10 "$build/zntv-module-sim" --expect-image "$image" "$@" || exit 1
zntv_sim_upgrade "$work" "${launcher[@]}" "$updater_build/zntv-upgrade"
