#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build natively, again under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded framework under
# ThreadSanitizer, the ARM Linux builds under qemu-user (aarch64: the unit,
# protocol and whole-upgrade suites; armhf: the protocol suite), the Windows
# builds (MinGW-w64) under Wine, whole upgrades on each, the static build
# where no shared library can be found, the packages, the README's commands
# and a bounded fuzzing run. Installs what is missing first.
#
# The work overlaps: the builds run one after another, each on every core,
# and each stage's tests start as soon as its build is done, beside the next
# build. Most test time is spent waiting on the module's time-outs, so a
# stage also runs its tests side by side (ZNTV_TEST_JOBS at once, default 8).
# A check starts once every stage listed above it has been built. Builds and
# fuzzing run at a lower priority than the tests: they only need the cores'
# throughput, while a test that measures its own time needs them at once
# (ZNTV_BUILD_NICE, default 10, is their niceness above this script's).
#
# Each stage or check is one line at the bottom of this file:
#   stage <preset> <build dir>       configures, builds and tests with the
#                                    CMake presets of that name
#                                    (CMakePresets.json: toolchain, flags,
#                                    targets, the test labels the stage
#                                    runs), which build in <build dir>
#                                    below $ZNTV_TEST_BUILD_ROOT
#   stage <preset> <build dir> --build-only
#                                    builds only: the checks below it use
#                                    the build
#   stage <name> <build dir> --command <command...>
#                                    a build that a script makes (a package's,
#                                    the fuzz targets'); the command's output
#                                    goes to <build dir>.command.log
#   check <name> [--after <stage>[,<stage>...]] <command...>
#                                    passes when the command exits 0 and its
#                                    last line is "Upgraded in N ms"; with
#                                    --after it also waits for those stages'
#                                    tests to end (a shared Wine prefix)
#   check_exit <name> [--after ...] <command...>   passes when it exits 0
# Builds that compile the same sources with the same flags (a static
# package's and the Debian package's of its architecture, the Windows
# archive's and the Windows test build) share the compiled objects through a
# compiler cache of the test command's own, in the build root.
#
# A stage's results are read from ctest's JUnit file (<build dir>.junit.xml):
# each ctest entry (a suite, or one shard of it, or one whole-upgrade test)
# counts once, passed or failed. An entry that skipped, or within which a
# test skipped, fails unless ZNTV_ALLOW_SKIP=1 asks for skips.
#
# Ends with each stage's build and test times, the total, and one
# "N passed, N failed" line; exit status 0 only when every stage built and
# every test passed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/setup.sh
zntv_setup windows windows32 aarch64 armhf fuzz package format ccache integrations || { echo "0 passed, 1 failed"; exit 1; }

build_jobs=$(nproc)
test_jobs=${ZNTV_TEST_JOBS:-8}
build_nice=${ZNTV_BUILD_NICE:-10}
out=$(realpath -m "${ZNTV_TEST_BUILD_ROOT:-$root/build-test}")
# Where the presets build.
export ZNTV_TEST_BUILD_ROOT=$out
results=$out/results
started=$SECONDS
# The cache is keyed without the build directory's path (only debug
# information's compilation directory differs, which nothing here reads).
# The test sources are compiled with a precompiled header, which the cache
# only takes when told that no source reads the time of its compilation
# and that the header's macros need not be checked (the header is an input
# of every compile that uses it, so a changed header is still a miss).
export CCACHE_DIR=$out/ccache CCACHE_NOHASHDIR=true CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_SLOPPINESS=pch_defines,time_macros
unset CCACHE_BASEDIR
jobs_kind=() jobs_name=() jobs_args=()

# --- What the lines at the bottom declare ------------------------------------

stage() { declare_job stage "$@"; }
check() { declare_job check "$@"; }
check_exit() { declare_job check_exit "$@"; }

declare_job() {
  jobs_kind+=("$1")
  jobs_name+=("$2")
  shift 2
  jobs_args+=("$(printf '%q ' "$@")")
}

# --- Running them -----------------------------------------------------------

# record <name> <passed> <failed> <build s> <test s> [why]: one line per job.
record() {
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$5" "${6:-}" >"$results/$1"
}

# build_stage <name> <dir> [--build-only | --command <command...>]:
# configures and builds with the presets <name> (or runs the --command);
# false (with the logs' tails shown) on failure.
build_stage() {
  local name=$1 dir=$2
  shift 2
  if [ "${1:-}" = --command ]; then
    shift
    mkdir -p "$(dirname "$dir")"
    (nice -n "$build_nice" "$@" >"$dir.command.log" 2>&1 && times >"$results/$name.cpu") && return 0
    tail -n 40 "$dir.command.log"
    return 1
  fi
  mkdir -p "$dir"
  # In a subshell of its own, whose children's CPU time is then the build's.
  if ! (cmake --preset "$name" >"$dir.configure.log" 2>&1 && configured_in "$dir" \
        && nice -n "$build_nice" cmake --build --preset "$name" -j"$build_jobs" >"$dir.build.log" 2>&1 \
        && times >"$results/$name.cpu"); then
    tail -n 40 "$dir.configure.log" "$dir.build.log" 2>/dev/null
    return 1
  fi
}

# configured_in <dir>: whether the preset just configured wrote its build
# there, where the checks look for it.
configured_in() {
  grep -Fxq -- "-- Build files have been written to: $1" "$1.configure.log" && return 0
  echo "the preset does not build in $1 (see CMakePresets.json)" >>"$1.configure.log"
  return 1
}

# cpu_time <name>: the CPU time (user + system) its build used, m:ss.
cpu_time() {
  [ -f "$results/$1.cpu" ] || return 0
  # The second line of the subshell's times: its children's user and system.
  clock "$(tail -n 1 "$results/$1.cpu" | awk '{ for (i = 1; i <= NF; i++) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] } printf "%d", t }')"
}

# test_stage <name> <dir> <build s>: runs the ctest entries of the test
# preset <name>. Every entry's output, up to its end, goes into the JUnit
# file: skips are read from it.
test_stage() {
  local name=$1 dir=$2 built=$3 start=$SECONDS
  local args=(--preset "$name" -j"$test_jobs" --output-junit "$dir.junit.xml" --test-output-size-passed 4194304
              --test-output-truncation tail) log="$dir.ctest.log"
  rm -f "$dir.junit.xml"
  if [ -f "$dir/zntv-upgrade.exe" ]; then
    # One Wine server for the whole stage: a server that quits between two
    # test programs can drop the next one's connection as it starts. Its
    # service processes start here, detached from any test's output, which
    # ctest would otherwise wait on until they end.
    (source scripts/wine-env.sh && zntv_wine_prefix "$dir/zntv-upgrade.exe" && wineserver -p \
      && wine cmd /c exit) >/dev/null 2>&1 </dev/null
    ctest "${args[@]}" >"$log" 2>&1
    (export WINEPREFIX=$dir/wineprefix; wineserver -k) >/dev/null 2>&1
  else
    ctest "${args[@]}" >"$log" 2>&1
  fi
  local total=0 nfail=1 skipped=0
  [ -f "$dir.junit.xml" ] && read -r total nfail skipped < <(junit_counts "$dir.junit.xml")
  if [ "${total:-0}" -eq 0 ]; then
    record "$name" 0 1 "$built" $((SECONDS - start)) "no tests ran"
  else
    record "$name" $((total - nfail)) "$nfail" "$built" $((SECONDS - start)) \
      "$([ "$skipped" -eq 0 ] || echo "$skipped skipped")"
  fi
  [ "${nfail:-1}" -eq 0 ] && [ "${total:-0}" -gt 0 ] || grep -vE '^ *[0-9]+/[0-9]+ Test +#' "$log" | tail -n 80
}

# junit_counts <file>: "<entries> <failed> <skipped>" of a ctest JUnit file.
# An entry fails when ctest failed it or could not run it; one that skipped
# (its skip return code) or within which tests skipped (GoogleTest's
# "[  SKIPPED ] N tests", unittest's "skipped=N") counts the skipped tests,
# and fails too unless ZNTV_ALLOW_SKIP=1.
junit_counts() {
  ZNTV_ALLOW_SKIP=${ZNTV_ALLOW_SKIP:-} python3 - "$1" <<'PYTHON'
import os, re, sys
import xml.etree.ElementTree as ET

allow_skip = os.environ["ZNTV_ALLOW_SKIP"] == "1"
entries = failed = skipped = 0
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    entries += 1
    out = case.findtext("system-out") or ""
    within = sum(int(n) for n in re.findall(r"^\[  SKIPPED \] (\d+) tests?, listed below:", out, re.M))
    within += sum(int(n) for n in re.findall(r"^(?:OK|FAILED) \(.*\bskipped=(\d+)", out, re.M))
    skip = case.find("skipped")
    by_return_code = skip is not None and skip.get("message", "").startswith("SKIP_RETURN_CODE")
    skipped += within + by_return_code
    if case.get("status") == "fail" or (skip is not None and not by_return_code):
        failed += 1
    elif (within or by_return_code) and not allow_skip:
        failed += 1
print(entries, failed, skipped)
PYTHON
}

# run_stage <name> <dir> [--build-only | --command <command...>]: builds, then
# tests in the background unless the stage only builds (a --command one too).
run_stage() {
  local name=$1 dir=$2 build_only=${3:-} start=$SECONDS lock
  # Held by the stage's tests until they end (checks run --after it take it).
  exec {lock}>"$results/$name.lock"
  flock "$lock"
  if build_stage "$@"; then
    if [ -n "$build_only" ]; then
      record "$name" 0 0 $((SECONDS - start)) 0 "built"
      finished "$name"
    else
      (test_stage "$name" "$dir" $((SECONDS - start)); finished "$name") &
    fi
  else
    record "$name" 0 1 $((SECONDS - start)) 0 "build failed"
    finished "$name"
  fi
  exec {lock}>&-
}

# run_check <kind> <name> <command...>: one more test, in the background.
run_check() {
  local kind=$1 name=$2 log=$out/$2.log after=()
  shift 2
  if [ "${1:-}" = --after ]; then
    IFS=, read -r -a after <<<"$2"
    shift 2
  fi
  (
    local stage status=0
    for stage in "${after[@]}"; do flock -s "$results/$stage.lock" true; done
    local start=$SECONDS
    "$@" >"$log" 2>&1 </dev/null || status=$?
    if [ "$status" -eq 0 ] && { [ "$kind" = check_exit ] || tail -n 1 "$log" | grep -Eq '^Upgraded in [0-9]+ ms$'; }; then
      record "$name" 1 0 0 $((SECONDS - start))
    else
      tail -n 40 "$log"
      record "$name" 0 1 0 $((SECONDS - start)) "exit status $status, see $log"
    fi
    finished "$name"
  ) &
}

finished() {
  IFS=$'\t' read -r _ passed failed built tested why <"$results/$1"
  printf '%-24s %3s passed, %s failed  (build %s, tests %s)%s\n' "$1" "$passed" "$failed" \
    "$(clock "$built")" "$(clock "$tested")" "${why:+  $why}"
}

clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

run_all() {
  rm -rf "$results"
  mkdir -p "$results"
  local i
  for i in "${!jobs_kind[@]}"; do
    eval "local args=(${jobs_args[$i]})"
    case ${jobs_kind[$i]} in
      stage) run_stage "${jobs_name[$i]}" "${args[@]}" ;;
      *) run_check "${jobs_kind[$i]}" "${jobs_name[$i]}" "${args[@]}" ;;
    esac
  done
  wait
}

summarize() {
  local passed=0 failed=0 broken=() name p f built tested why
  echo
  echo "Times (build + tests, side by side with the others; build CPU is user + system time):"
  for name in "${jobs_name[@]}"; do
    if [ ! -f "$results/$name" ]; then
      failed=$((failed + 1)); broken+=("$name"); echo "  $name: no result"; continue
    fi
    IFS=$'\t' read -r _ p f built tested why <"$results/$name"
    printf '  %-24s %s + %s%s\n' "$name" "$(clock "$built")" "$(clock "$tested")" \
      "$([ -f "$results/$name.cpu" ] && echo "   (build CPU $(cpu_time "$name"))")"
    passed=$((passed + p)) failed=$((failed + f))
    [ "$f" -eq 0 ] || broken+=("$name")
  done
  echo "  total                    $(clock $((SECONDS - started)))"
  echo
  [ ${#broken[@]} -eq 0 ] || echo "Failing stages: ${broken[*]}"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ ${#broken[@]} -eq 0 ]
}

# The README's commands themselves must hold: its main-job command and this
# one must both stand in it.
readme_names_commands() {
  grep -Fxq '    bash scripts/run-upgrade.sh' README.md && grep -Fxq '    bash scripts/test.sh' README.md &&
    grep -Fxq '    bash scripts/run-station.sh' README.md
}

# --- The stages and checks --------------------------------------------------

mkdir -p "$out"
check_exit readme readme_names_commands
check_exit includes bash scripts/check-includes.sh
check_exit format bash scripts/check-format.sh
stage linux "$out/linux"
check readme-main-job env ZNTV_BUILD_DIR="$out/linux" bash scripts/run-upgrade.sh
check_exit readme-station env ZNTV_BUILD_DIR="$out/linux" bash scripts/run-station.sh
# The aarch64 build under qemu-user against the native simulator: the unit,
# protocol and whole-upgrade suites (not the simulator's own tests: it is a
# host tool, tested natively above).
stage linux-aarch64 "$out/aarch64"
check linux-aarch64-upgrade env ZNTV_BUILD_DIR="$out/linux" ZNTV_ARCH=aarch64 ZNTV_CROSS_BUILD_DIR="$out/aarch64" bash scripts/run-upgrade.sh
stage linux-asan-ubsan "$out/asan"
# Its whole-upgrade tests under Wine use the Linux stage's simulator.
stage windows-wine "$out/windows"
check windows-wine-upgrade env ZNTV_BUILD_DIR="$out/linux" ZNTV_WIN_BUILD_DIR="$out/windows" bash scripts/run-upgrade-wine.sh
stage windows32 "$out/windows32" --build-only
check windows32-wine-upgrade env ZNTV_BUILD_DIR="$out/linux" ZNTV_WIN_ARCH=i686 ZNTV_WIN_BUILD_DIR="$out/windows32" bash scripts/run-upgrade-wine.sh
# The armhf protocol suite under qemu-user; its whole upgrade runs the
# armhf package's updater below.
stage linux-armhf "$out/armhf"
stage linux-tsan "$out/tsan"
# The programs of every package, built as test-package.sh builds them.
for package in deb-amd64 deb-arm64 deb-armhf zip-windows static-x86_64 static-aarch64 static-armhf; do
  stage "package-$package" "$out/package/$package" --command \
    env ZNTV_TEST_BUILD_ROOT="$out" bash scripts/test-package.sh --build "$package"
done
check linux-armhf-upgrade env ZNTV_BUILD_DIR="$out/linux" ZNTV_ARCH=armhf ZNTV_CROSS_BUILD_DIR="$out/package/deb-armhf" \
  bash scripts/run-upgrade.sh
check static-without-libraries env ZNTV_BUILD_DIR="$out/linux" ZNTV_STATIC_BUILD_DIR="$out/package/static-x86_64" \
  bash scripts/run-upgrade-static.sh
# The fleet integrations installing the static updater through Mender,
# SWUpdate and RAUC.
check_exit integrations env ZNTV_STATIC_BUILD_DIR="$out/package/static-x86_64" bash scripts/test-integrations.sh
# It reuses the Wine stage's prefix, whose server that stage ends.
check package --after windows-wine env ZNTV_TEST_BUILD_ROOT="$out" bash scripts/test-package.sh
stage fuzz-build "$out/fuzz" --command env ZNTV_TEST_BUILD_ROOT="$out" bash scripts/fuzz.sh --build-only
check_exit fuzz env ZNTV_TEST_BUILD_ROOT="$out" nice -n "$build_nice" bash scripts/fuzz.sh

run_all
summarize
