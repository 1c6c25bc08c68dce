#!/usr/bin/env bash
# Runs the Windows serial-port tests under Wine against a real line: socat
# makes a pseudo-terminal whose far end echoes every byte, the Wine prefix
# maps a free COM port to it, and the test learns the port's name from
# ZNTV_TEST_COM_PORT. Usage: scripts/wine-serial-test.sh <zntv-tests-serial.exe> [gtest args]
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); shift
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(dirname "$exe")
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" != / ] || dir=$(dirname "$exe")
  export WINEPREFIX=$dir/wineprefix
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi

work=$(mktemp -d)
socat_pid=
link=
cleanup() {
  [ -n "$link" ] && rm -f "$link"
  [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null && wait "$socat_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# PIPE sends back whatever the port writes: an echoing peer in one process.
socat pty,raw,echo=0,link="$work/port" PIPE 2>"$work/socat.log" &
socat_pid=$!
for _ in $(seq 50); do [ -e "$work/port" ] && break; sleep 0.1; done
[ -e "$work/port" ] || { echo "socat made no pseudo-terminal" >&2; cat "$work/socat.log" >&2; exit 1; }

# The first COM number above the usual ones that this prefix does not map yet.
mkdir -p "$WINEPREFIX/dosdevices"
for n in $(seq 40 250); do
  if ln -s "$(readlink -f "$work/port")" "$WINEPREFIX/dosdevices/com$n" 2>/dev/null; then
    link=$WINEPREFIX/dosdevices/com$n
    break
  fi
done
[ -n "$link" ] || { echo "no free COM port in $WINEPREFIX" >&2; exit 1; }

ZNTV_TEST_COM_PORT=COM${link##*com} "$here/wine-run.sh" "$exe" "$@"
