#!/usr/bin/env bash
# Lists every function longer than 80 lines in the tracked C and C++ sources, tests, benchmarks
# and fuzz targets left aside, and fails when there is one. A function's length runs from the
# line universal ctags gives as its start to the line it gives as its end, both counted.
#   scripts/check-function-length.sh            check (limit 80)
#   scripts/check-function-length.sh --max N    another limit, to see what comes next
set -euo pipefail
cd "$(dirname "$0")/.."
max=80
if [ "${1:-}" = "--max" ]; then
  max="${2:?--max takes a number}"
fi
command -v ctags >/dev/null || { echo "check-function-length: universal ctags is needed" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' | grep -Ev '^(tests|bench|fuzz)/')
found=0
for file in "${files[@]}"; do
  language=C++
  case "$file" in *.c) language=C ;; esac
  # The tags format carries the start and the end as "line:N" and "end:N" fields; the name
  # goes last as it may hold a space ("operator ()").
  while read -r line end name; do
    length=$((end - line + 1))
    if [ "$length" -gt "$max" ]; then
      printf '%s:%s %s %d lines\n' "$file" "$line" "$name" "$length"
      found=1
    fi
  done < <(ctags --language-force="$language" --kinds-"$language"=f --fields=+ne -o - "$file" |
    awk -F '\t' '{
      line = ""; end = ""
      for (i = 4; i <= NF; i++) {
        if ($i ~ /^line:[0-9]+$/) line = substr($i, 6)
        if ($i ~ /^end:[0-9]+$/) end = substr($i, 5)
      }
      if (line != "" && end != "") print line, end, $1
    }')
done
if [ "$found" -ne 0 ]; then
  echo "check-function-length: functions over $max lines (split them into named steps)" >&2
  exit 1
fi
echo "${#files[@]} files, no function over $max lines"
