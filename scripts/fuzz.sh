#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan, and runs
# each for a bounded time from its seed corpus (fuzz/corpus/<target>, copied to
# a scratch directory so that the tree is left as it is).
#
#   scripts/fuzz.sh [seconds-per-target]    default 12 s (about a minute in all)
#
# A longer search is the same command with a bigger number, for example
# scripts/fuzz.sh 3600 for an hour per target. The build goes to
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

mkdir -p "$out"
if ! CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DZNTV_FUZZ=ON -DZNTV_SANITIZE=address,undefined \
       -DZNTV_BUILD_TESTS=OFF -DZNTV_WERROR=ON >"$out.configure.log" 2>&1 \
   || ! cmake --build "$out" -j"$jobs" --target "${targets[@]/#/zntv-fuzz-}" >"$out.build.log" 2>&1; then
  tail -n 40 "$out.configure.log" "$out.build.log" 2>/dev/null
  echo "fuzz: build failed"
  exit 1
fi

rm -rf "$work"
found=()
for target in "${targets[@]}"; do
  corpus=$work/$target/corpus artifacts=$work/$target/findings/
  mkdir -p "$corpus" "$artifacts"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  echo "=== fuzz $target (${seconds} s) ==="
  log=$work/$target/fuzz.log
  "$out/fuzz/zntv-fuzz-$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1
  status=$?
  grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$log"
  reproducers=("$artifacts"*)
  if [ "$status" -ne 0 ] || [ -e "${reproducers[0]}" ]; then
    tail -n 60 "$log"
    for reproducer in "${reproducers[@]}"; do
      [ -e "$reproducer" ] && echo "fuzz $target: reproducer $reproducer"
    done
    found+=("$target")
  fi
done

echo
if [ ${#found[@]} -ne 0 ]; then
  echo "fuzz: findings in ${found[*]} (full logs in $work/<target>/fuzz.log)"
  exit 1
fi
echo "fuzz: no findings in ${#targets[@]} targets"
