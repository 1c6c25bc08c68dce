#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan, and runs
# each for a bounded time from its seed corpus (fuzz/corpus/<target>, copied to
# a scratch directory so that the tree is left as it is).
#
#   scripts/fuzz.sh [seconds-per-target]    default 12 s (about a minute in all)
#   scripts/fuzz.sh --build-only            builds the targets, runs nothing
#
# A longer search is the same command with a bigger number, for example
# scripts/fuzz.sh 3600 for an hour per target. With ZNTV_FUZZ_ALL_AT_ONCE=1
# the targets run side by side instead of one after another. The build goes to
# $ZNTV_TEST_BUILD_ROOT/fuzz (default build-test/fuzz). Exit status 0 when no
# target found anything; otherwise 1, after printing each reproducer's path
# (rerun one with: <build>/fuzz/zntv-fuzz-<target> <reproducer>).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-12}
targets=(hex_file text_file description hdlc_stream packets)
out=${ZNTV_TEST_BUILD_ROOT:-$root/build-test}/fuzz
work=$out/run
jobs=$(nproc)

# Built as one unit per 16 sources, with line tables only (-g1): the
# sanitizers' reports still name every frame's function, file and line, for
# much less build time.
flags="-O2 -g1 -DNDEBUG"
mkdir -p "$out"
if ! CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DZNTV_FUZZ=ON -DZNTV_SANITIZE=address,undefined \
       -DZNTV_BUILD_TESTS=OFF -DZNTV_WERROR=ON -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16 \
       -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" >"$out.configure.log" 2>&1 \
   || ! cmake --build "$out" -j"$jobs" --target "${targets[@]/#/zntv-fuzz-}" >"$out.build.log" 2>&1; then
  tail -n 40 "$out.configure.log" "$out.build.log" 2>/dev/null
  echo "fuzz: build failed"
  exit 1
fi
[ "$seconds" != --build-only ] || exit 0

# run_target <target>: one bounded run from a scratch copy of its seed corpus;
# its summary goes to $work/<target>/summary, its status to .../status.
run_target() {
  local target=$1 dir=$work/$1
  local corpus=$dir/corpus artifacts=$dir/findings/ log=$dir/fuzz.log status=0
  mkdir -p "$corpus" "$artifacts"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  "$out/fuzz/zntv-fuzz-$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1 || status=$?
  {
    echo "=== fuzz $target (${seconds} s) ==="
    grep -E '^(#[0-9]+[[:space:]]+DONE|Done [0-9]+ runs|stat::(number_of_executed_units|average_exec_per_sec))' "$log"
    local reproducers=("$artifacts"*)
    if [ "$status" -ne 0 ] || [ -e "${reproducers[0]}" ]; then
      tail -n 60 "$log"
      for reproducer in "${reproducers[@]}"; do
        [ -e "$reproducer" ] && echo "fuzz $target: reproducer $reproducer"
      done
      [ "$status" -ne 0 ] || status=1
    fi
  } >"$dir/summary"
  echo "$status" >"$dir/status"
}

rm -rf "$work"
if [ "${ZNTV_FUZZ_ALL_AT_ONCE:-0}" = 1 ]; then
  for target in "${targets[@]}"; do run_target "$target" & done
  wait
else
  for target in "${targets[@]}"; do run_target "$target"; cat "$work/$target/summary"; done
fi
found=()
for target in "${targets[@]}"; do
  [ "${ZNTV_FUZZ_ALL_AT_ONCE:-0}" = 1 ] && cat "$work/$target/summary"
  [ "$(cat "$work/$target/status")" = 0 ] || found+=("$target")
done

echo
if [ ${#found[@]} -ne 0 ]; then
  echo "fuzz: findings in ${found[*]} (full logs in $work/<target>/fuzz.log)"
  exit 1
fi
echo "fuzz: no findings in ${#targets[@]} targets"
