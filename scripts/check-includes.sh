#!/usr/bin/env bash
# Checks that every include of the layered folders points down: a file may
# include its own folder and the folders below it, never one above. The
# entry (upgrade/), the tools, tests, fuzz targets and benchmarks sit on top
# and may include anything. Also checks that no source waits for a deadline
# on the wall clock, which a step of the system time stretches or cuts (a
# gateway without a real-time clock boots with a wrong time, and NTP steps
# it): waits take monotonic deadlines. And checks that the layers below the
# entry print nothing: the phases and the discovery report events, and the
# entry's views print them. Prints each offending line; exit status 1 when
# there is one.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# <folder> <folders its files may include>; the first folder that holds a file
# decides, so a subfolder comes before its parent.
layers=(
  "device/|device/ host/ protocol/ framing/ serial/ image/ platform/ report/ text/"
  "host/|host/ platform/ report/ text/"
  "protocol/|protocol/ serial/ platform/ text/"
  "framing/|framing/ platform/ report/ text/"
  "image/|image/ platform/ text/"
  "serial/|serial/ platform/ text/"
  "platform/|platform/ text/"
  "report/|report/ text/"
  "text/|text/"
)

# The folders a file may include from, or nothing for a file outside the layers.
allowed_for() {
  local file=$1 layer
  for layer in "${layers[@]}"; do
    if [[ $file == "${layer%%|*}"* ]]; then
      echo "${layer#*|}"
      return
    fi
  done
}

status=0
while IFS= read -r file; do
  allowed=$(allowed_for "$file")
  [ -n "$allowed" ] || continue
  # Only includes that name a folder; a bare name is the file's own folder.
  while IFS=: read -r line target; do
    ok=0
    for folder in $allowed; do
      [[ $target == "$folder"* ]] && ok=1
    done
    if [ "$ok" -eq 0 ]; then
      echo "$file:$line: includes \"$target\", outside $allowed"
      status=1
    fi
  done < <(grep -n -o -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/[^"]*"' "$file" \
             | sed -E 's/^([0-9]+):.*"(.*)"/\1:\2/')
done < <(find device host protocol framing serial image platform report text -type f \( -name "*.h" -o -name "*.cpp" -o -name "*.in" \) | sort)
if [ "$status" -eq 0 ]; then
  echo "Includes point down: no file in device/, host/, protocol/, framing/, serial/, image/, platform/, report/ or text/ includes a folder above it"
fi

# Calls whose deadline is on the wall clock, and the wall clock itself where
# it is not allowed: reading the system time, and the waitable timer, whose
# absolute due times follow the system clock as the Windows timer they stand
# for does.
wall_clock_waits='pthread_(timedjoin_np|mutex_timedlock|cond_timedwait|rwlock_timed(rd|wr)lock)|sem_timedwait|mq_timed(send|receive)|(wait|sleep|try_lock)_until[^;]*system_clock'
wall_clock_allowed='^(platform/clock_posix\.cpp|platform/waitable_timer_posix\.cpp):'
sources=$(find device host protocol framing serial image platform report text upgrade tools tests fuzz bench -type f \( -name "*.h" -o -name "*.cpp" \) | sort)
clock_status=0
# shellcheck disable=SC2086
if grep -n -H -E "$wall_clock_waits" $sources; then clock_status=1; fi
# shellcheck disable=SC2086
if grep -n -H -E 'CLOCK_REALTIME' $sources | grep -v -E "$wall_clock_allowed"; then clock_status=1; fi
if [ "$clock_status" -eq 0 ]; then
  echo "Waits are monotonic: no source waits for a deadline on the wall clock"
else
  echo "Wall-clock deadlines found above: use the CLOCK_MONOTONIC forms (pthread_clockjoin_np, pthread_mutex_clocklock, steady_clock)"
  status=1
fi
# Console output below the entry: the console's calls and header, the C
# library's printing to the standard streams and the C++ standard streams.
console_calls='Console(Print|Explain|ShowStatus|EndStatus)|platform/console\.h|(^|[^[:alnum:]_])(w?printf|puts|_putws)[[:space:]]*\(|std::w?c(out|err|log)([^[:alnum:]_]|$)|fw?printf[[:space:]]*\([[:space:]]*(std::)?std(err|out)|fputw?s[[:space:]]*\([^;]*std(err|out)'
reporting=$(find device host protocol serial framing -type f \( -name "*.h" -o -name "*.cpp" \) | sort)
# shellcheck disable=SC2086
if grep -n -H -E "$console_calls" $reporting; then
  echo "Console output found above in device/, host/, protocol/, serial/ or framing/: report an event to the sink instead (report/events.h); upgrade/ prints"
  status=1
else
  echo "Below the entry nothing prints: no console call in device/, host/, protocol/, serial/ or framing/"
fi
exit "$status"
