#!/usr/bin/env bash
# Runs a Windows test executable under Wine over a real serial line. socat
# makes pseudo-terminals and the Wine prefix maps a free COM port to each:
#   echo: one port whose far end echoes every byte (ZNTV_TEST_COM_PORT);
#   pair: two joined ports, the program's end (ZNTV_TEST_COM_PORT) and the
#         end the test plays the module on (ZNTV_TEST_MODULE_PORT).
# Usage: scripts/wine-com-test.sh echo|pair <test.exe> [gtest args]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/wine-env.sh"
mode=$1
exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
zntv_wine_prefix "$exe"

work=$(mktemp -d)
socat_pid=
links=()
cleanup() {
  local link
  for link in "${links[@]}"; do rm -f "$link"; done
  # socat joining two pseudo-terminals does not always end on TERM.
  if [ -n "$socat_pid" ]; then
    kill -KILL "$socat_pid" 2>/dev/null || true
    wait "$socat_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

case $mode in
  echo) socat pty,raw,echo=0,link="$work/host" PIPE 2>"$work/socat.log" & ;;
  pair) socat pty,raw,echo=0,link="$work/host" pty,raw,echo=0,link="$work/module" 2>"$work/socat.log" & ;;
  *) echo "usage: $0 echo|pair <test.exe> [args]" >&2; exit 2 ;;
esac
socat_pid=$!
wanted=("$work/host"); [ "$mode" = pair ] && wanted+=("$work/module")
for _ in $(seq 50); do
  ready=1; for f in "${wanted[@]}"; do [ -e "$f" ] || ready=0; done
  [ $ready = 1 ] && break; sleep 0.1
done
[ $ready = 1 ] || { echo "socat made no pseudo-terminal" >&2; cat "$work/socat.log" >&2; exit 1; }

# Maps (into $mapped) the first COM number from 40 up that the prefix does not map yet.
map_port() {
  mkdir -p "$WINEPREFIX/dosdevices"
  local n
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
export ZNTV_TEST_COM_PORT=$mapped
if [ "$mode" = pair ]; then
  map_port "$work/module"
  export ZNTV_TEST_MODULE_PORT=$mapped
fi
status=0
wine "$exe" "$@" || status=$?
exit $status
