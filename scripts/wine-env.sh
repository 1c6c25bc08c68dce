#!/usr/bin/env bash
# Sourced by the Wine scripts: zntv_wine_prefix <exe> exports a quiet Wine
# environment whose prefix (unless WINEPREFIX is set) lives inside the build
# tree that holds <exe>, and makes the prefix on first use.
zntv_wine_prefix() {
  if [ -z "${WINEPREFIX:-}" ]; then
    local dir
    dir=$(cd "$(dirname "$1")" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ "$dir" != / ] || dir=$(cd "$(dirname "$1")" && pwd)
    export WINEPREFIX=$dir/wineprefix
  fi
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
  fi
}
