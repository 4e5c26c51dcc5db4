#!/usr/bin/env bash
# Peak memory (maximum resident set) of one 6000 x 4000 24-bit conversion to 1500 x 1000 on
# each resize path, next to the size of the decoded and the resized bitmaps, and of a run that
# only loads the plug-ins (the program's own baseline).
#
#   bench/resample/memory.sh [build-dir]      (default: build/release)
set -euo pipefail
build=${1:-build/release}
driver=$build/bin/convert_peak
[ -x "$driver" ] || { echo "build the convert_peak target first: cmake --build $build --target convert_peak" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$driver" make "$work/in.raw" 6000 4000
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }

decoded=$(( 6000 * 3 * 4000 ))
resized=$(( ((1500 * 3 + 3) / 4 * 4) * 1000 ))
bitmaps_kib=$(( (decoded + resized) / 1024 ))
idle=$(peak "$driver" idle)
aa=$(peak "$driver" run "$work/in.raw" "$work/out-aa.raw" 1500 1000 1)
dev=$(peak "$driver" run "$work/in.raw" "$work/out-dev.raw" 1500 1000 0)

printf 'decoded + resized bitmaps: %d KiB (limit +10%%: %d KiB)\n' "$bitmaps_kib" $(( bitmaps_kib * 11 / 10 ))
printf 'baseline (plug-ins loaded, no picture): %d KiB\n' "$idle"
printf 'anti-alias path peak: %d KiB  (%.3f x bitmaps)\n' "$aa" "$(echo "$aa / $bitmaps_kib" | bc -l)"
printf 'device path peak:     %d KiB  (%.3f x bitmaps)\n' "$dev" "$(echo "$dev / $bitmaps_kib" | bc -l)"
