#!/usr/bin/env bash
# Lists the C++ files that differ from .clang-format, with the number of
# places in each; exit status 1 when there is one. Checks the files given, or
# every tracked *.cpp and *.h. clang-format itself: bash scripts/setup.sh, or
# apt-get install clang-format.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "clang-format is not installed"; exit 2; }

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
fi

differing=0
for file in "${files[@]}"; do
  places=$(clang-format --style=file --dry-run "$file" 2>&1 | grep -c ': warning: ' || true)
  if [ "$places" -gt 0 ]; then
    echo "$file: $places place(s) differ from .clang-format"
    differing=$((differing + 1))
  fi
done
echo "${#files[@]} files checked, $differing differ"
[ "$differing" -eq 0 ]
