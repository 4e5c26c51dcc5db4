#!/usr/bin/env bash
# AreaAverageResize against Pillow's Image.resize(size, Image.BOX) on the same 24-bit
# 6000 x 4000 picture, to 1500 x 1000 and to 1234 x 777, in one run on one core. Prints
# megapixels of source per second for both and the ratio (above 1: Faltrix is faster). Both
# sides are timed in processor time of their one thread, so other work on a shared machine
# does not skew the ratio.
#
#   bench/resample/compare.sh [build-dir]     (default: build/release; needs bench_resample
#                                             and Debian's python3-pil)
set -euo pipefail
build=${1:-build/release}
bench=$build/bin/bench_resample
[ -x "$bench" ] || { echo "build the bench_resample target first: cmake --build $build --target bench_resample" >&2; exit 1; }
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pin=()
command -v taskset >/dev/null && pin=(taskset -c 0)

"$python" -c 'import os, sys; open(sys.argv[1], "wb").write(os.urandom(6000 * 4000 * 3))' "$work/picture"

FALTRIX_BENCH_PICTURE=$work/picture "${pin[@]}" "$bench" --benchmark_filter='^BM_AreaAverageResize/' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=json \
  > "$work/ours.json"

"${pin[@]}" "$python" - "$work/picture" "$work/ours.json" <<'PY'
import json, statistics, sys, time
from PIL import Image, __version__ as pil_version

picture, ours_json = sys.argv[1], sys.argv[2]
with open(picture, "rb") as f:
    image = Image.frombytes("RGB", (6000, 4000), f.read())
source_mp = 6000 * 4000 / 1e6

ours = {}
for b in json.load(open(ours_json))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        w, h = b["run_name"].split("/")[1:3]
        ours[(int(w), int(h))] = b["cpu_time"] / 1e3  # ms -> s

print(f"{'target':>12} {'Faltrix s':>10} {'MP/s':>8} {'Pillow s':>10} {'MP/s':>8} {'ratio':>7}")
for size in [(1500, 1000), (1234, 777)]:
    times = []
    for _ in range(5):
        t = time.process_time()
        image.resize(size, Image.BOX)
        times.append(time.process_time() - t)
    pillow = statistics.median(times)
    mine = ours[size]
    print(f"{size[0]:>5} x {size[1]:<4} {mine:>10.4f} {source_mp / mine:>8.1f} {pillow:>10.4f} "
          f"{source_mp / pillow:>8.1f} {pillow / mine:>7.2f}")
print(f"(medians of 5; Pillow {pil_version}; ratio = Pillow time / Faltrix time)")
PY
