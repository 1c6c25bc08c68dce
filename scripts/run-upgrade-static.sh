#!/usr/bin/env bash
# Runs one whole upgrade of the static build (-DZNTV_STATIC=ON) where no
# shared library can be found: the simulator and the updater each run in a
# mount namespace of their own in which empty file systems hide /lib, /lib64
# and /usr/lib. First it shows that the programs are linked statically
# (no program interpreter, no needed library) and that the dynamic build does
# not even start in such a namespace. Builds what is missing. The updater's
# last line ("Upgraded in N ms") comes last; the exit status is 0 only when
# every step held.
#
# usage: scripts/run-upgrade-static.sh [simulator options]
# Needs root (mount namespaces). ZNTV_STATIC_BUILD_DIR holds the static build
# (default build-static), ZNTV_BUILD_DIR the dynamic one (default build).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZNTV_BUILD_DIR:-$root/build}
static=${ZNTV_STATIC_BUILD_DIR:-$root/build-static}
source "$root/scripts/setup.sh"
source "$root/scripts/module-sim.sh"
zntv_setup || exit 1
zntv_build_target "$build" zntv-upgrade || exit 1
for target in zntv-upgrade zntv-module-sim; do
  zntv_build_target "$static" "$target" -DZNTV_STATIC=ON -DZNTV_BUILD_TESTS=OFF || exit 1
done

fail() { echo "static: $*" >&2; exit 1; }

# The directories that hold shared libraries and the dynamic loader, each
# once (on a merged /usr, /lib and /lib64 lead into /usr). The one holding
# the loader comes last: until then mount runs through the loader itself,
# whose path no earlier mount has hidden.
loader=$(readlink -f /lib64/ld-linux-x86-64.so.2)
hidden=()
for dir in $(readlink -f /lib /lib64 /usr/lib | sort -u); do
  [[ $loader == "$dir"/* ]] || hidden+=("$dir")
done
for dir in $(readlink -f /lib /lib64 /usr/lib | sort -u); do
  [[ $loader != "$dir"/* ]] || hidden+=("$dir")
done

# "${without_libraries[@]}" <command...> runs the command in a new mount
# namespace with those directories hidden, by the shell's own exec (no
# program needed), keeping the process id the caller started.
without_libraries=(unshare --mount -- bash -c '
  loader=$1 mount=$2 count=$3; shift 3
  for dir in "${@:1:count}"; do
    "$loader" "$mount" -t tmpfs -o size=64k,mode=0755 zntv-no-libraries "$dir" || exit 1
  done
  shift "$count"
  exec "$@"' without-libraries "$loader" "$(command -v mount)" ${#hidden[@]} "${hidden[@]}")

for program in "$static/zntv-upgrade" "$static/zntv-module-sim"; do
  readelf -lW "$program" | grep -q 'Requesting program interpreter' && fail "$program has a program interpreter"
  readelf -dW "$program" | grep -q '(NEEDED)' && fail "$program needs shared libraries"
done
echo "static: $(basename "$static")/zntv-upgrade and zntv-module-sim need no interpreter and no shared library"

echo "static: hiding ${hidden[*]}"
dynamic_output=$("${without_libraries[@]}" "$build/zntv-upgrade" --version 2>&1)
dynamic_status=$?
[ "$dynamic_status" -ne 0 ] || fail "the dynamic build ran without its libraries"
echo "static: the dynamic build there: exit status $dynamic_status, ${dynamic_output##*: }"
"${without_libraries[@]}" "$static/zntv-upgrade" --version >/dev/null || fail "the static build's --version failed there"

work=$(mktemp -d)
trap 'zntv_sim_stop; rm -rf "$work"' EXIT
image=$(sed -n 2p "$static/resources/embedded_inputs.txt")
zntv_sim_start "$work" 10 "${without_libraries[@]}" "$static/zntv-module-sim" --expect-image "$image" "$@" || exit 1
zntv_sim_upgrade "$work" "${without_libraries[@]}" "$static/zntv-upgrade"
