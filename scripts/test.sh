#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build natively, again under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded framework under
# ThreadSanitizer, and the Windows build (MinGW-w64) under Wine. Installs what
# is missing first. Ends with one "N passed, N failed" line; exit status 0
# only when every stage built and every test passed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/setup.sh
zntv_setup windows fuzz || { echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
out=${ZNTV_TEST_BUILD_ROOT:-$root/build-test}
passed=0 failed=0 broken=()

# stage <name> <build dir> <ctest filter or ""> <cmake args...>
stage() {
  local name=$1 dir=$2 filter=$3; shift 3
  echo "=== $name ==="
  if ! cmake -S "$root" -B "$dir" -DZNTV_WERROR=ON "$@" >"$dir.configure.log" 2>&1 \
     || ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -n 40 "$dir.configure.log" "$dir.build.log" 2>/dev/null
    echo "$name: build failed"
    broken+=("$name (build)")
    failed=$((failed + 1))
    return
  fi
  local args=(--test-dir "$dir" --output-on-failure -j"$jobs")
  [ -n "$filter" ] && args+=(-R "$filter")
  local log="$dir.ctest.log"
  if [ "$name" = windows-wine ]; then
    # One Wine server for the whole stage: a server that quits between two
    # test programs can drop the next one's connection as it starts. Its
    # service processes start here, detached from any test's output, which
    # ctest would otherwise wait on until they end.
    (source scripts/wine-env.sh && zntv_wine_prefix "$dir/zntv-upgrade.exe" && wineserver -p \
      && wine cmd /c exit) >/dev/null 2>&1 </dev/null
    ctest "${args[@]}" 2>&1 | tee "$log"
    (export WINEPREFIX=$dir/wineprefix; wineserver -k) >/dev/null 2>&1
  else
    ctest "${args[@]}" 2>&1 | tee "$log"
  fi
  local summary total nfail
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  nfail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  if [ -z "$summary" ] || [ "${total:-0}" -eq 0 ]; then
    broken+=("$name (no tests ran)"); failed=$((failed + 1)); return
  fi
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
  [ "$nfail" -eq 0 ] || broken+=("$name")
}

# check <name> <command...>: one more test, passed when the command exits 0
# and its last line says the upgrade succeeded (or, for fuzzing, exits 0).
check() {
  local name=$1; shift
  echo "=== $name ==="
  local log="$out/$name.log"
  "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  if [ "$status" -eq 0 ] && { [ "$name" = fuzz ] || tail -n 1 "$log" | grep -Eq '^Upgraded in [0-9]+ ms$'; }; then
    passed=$((passed + 1))
  else
    echo "$name: failed (exit status $status)"
    failed=$((failed + 1)); broken+=("$name")
  fi
}

# The README's commands themselves must hold: its main-job command and this
# one must both stand in it.
readme_names_commands() {
  grep -Fxq '    bash scripts/run-upgrade.sh' README.md && grep -Fxq '    bash scripts/test.sh' README.md
}

mkdir -p "$out"
stage "linux" "$out/linux" ""
stage "linux-asan-ubsan" "$out/asan" "" -DZNTV_SANITIZE=address,undefined
stage "linux-tsan" "$out/tsan" "^(platform|serial|protocol|device)$" -DZNTV_SANITIZE=thread
stage "windows-wine" "$out/windows" "" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64.cmake"
if readme_names_commands; then passed=$((passed + 1)); else
  echo "README.md no longer names the main-job and test commands"; failed=$((failed + 1)); broken+=("readme")
fi
check readme-main-job env ZNTV_BUILD_DIR="$out/linux" bash scripts/run-upgrade.sh
check windows-wine-upgrade env ZNTV_BUILD_DIR="$out/linux" ZNTV_WIN_BUILD_DIR="$out/windows" bash scripts/run-upgrade-wine.sh
check windows32-wine-upgrade env ZNTV_BUILD_DIR="$out/linux" ZNTV_WIN_ARCH=i686 ZNTV_WIN_BUILD_DIR="$out/windows32" bash scripts/run-upgrade-wine.sh
check package env ZNTV_TEST_BUILD_ROOT="$out" bash scripts/test-package.sh
check fuzz env ZNTV_TEST_BUILD_ROOT="$out" bash scripts/fuzz.sh

echo
[ ${#broken[@]} -eq 0 ] || echo "Failing stages: ${broken[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ ${#broken[@]} -eq 0 ]
