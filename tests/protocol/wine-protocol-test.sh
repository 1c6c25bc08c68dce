#!/usr/bin/env bash
# Runs the Windows protocol tests under Wine over a real line: socat joins two
# pseudo-terminals, the Wine prefix maps one COM port to each end, and the
# tests learn them from ZNTV_TEST_COM_PORT (the server's end) and
# ZNTV_TEST_MODULE_PORT (the end the test plays the module on).
# Usage: tests/protocol/wine-protocol-test.sh <zntv-tests-protocol.exe> [gtest args]
set -euo pipefail
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); shift
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)

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
links=()
cleanup() {
  for link in "${links[@]}"; do rm -f "$link"; done
  # socat joining two pseudo-terminals does not always end on TERM.
  if [ -n "$socat_pid" ]; then
    kill -KILL "$socat_pid" 2>/dev/null || true
    wait "$socat_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

socat pty,raw,echo=0,link="$work/host" pty,raw,echo=0,link="$work/module" 2>"$work/socat.log" &
socat_pid=$!
for _ in $(seq 50); do [ -e "$work/host" ] && [ -e "$work/module" ] && break; sleep 0.1; done
[ -e "$work/module" ] || { echo "socat made no pseudo-terminals" >&2; cat "$work/socat.log" >&2; exit 1; }

# Maps (into $mapped) the first COM number from 40 up that this prefix does not map yet.
map_port() {
  mkdir -p "$WINEPREFIX/dosdevices"
  for n in $(seq 40 250); do
    if ln -s "$(readlink -f "$1")" "$WINEPREFIX/dosdevices/com$n" 2>/dev/null; then
      links+=("$WINEPREFIX/dosdevices/com$n")
      mapped=COM$n
      return
    fi
  done
  echo "no free COM port in $WINEPREFIX" >&2
  exit 1
}
map_port "$work/host"
host=$mapped
map_port "$work/module"
status=0
ZNTV_TEST_COM_PORT=$host ZNTV_TEST_MODULE_PORT=$mapped "$scripts/wine-run.sh" "$exe" "$@" || status=$?
exit $status
