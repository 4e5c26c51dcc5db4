#!/usr/bin/env bash
# Runs the JPEG, TIFF and WebP benchmarks (each plug-in beside its library called directly,
# in the same run) and prints what the plug-in costs on top, as plug-in / direct time.
# Usage: bench/codecs/plugin_overhead.sh [build directory]   (default build/release)
set -euo pipefail
build="${1:-build/release}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for fmt in jpeg tiff webp; do
  exe="$build/bin/bench_$fmt"
  [ -x "$exe" ] || { echo "missing $exe" >&2; exit 1; }
  # Files are written in the current folder: run on the disk, not in /tmp.
  "$exe" --benchmark_format=json --benchmark_repetitions=3 \
         --benchmark_report_aggregates_only=true > "$work/$fmt.json"
done
python3 - "$work" <<'PY'
import json, sys, os
work = sys.argv[1]
print("medians of 3 repetitions; wall time, then processor time of the calling thread")
print(f"{'benchmark':<16}{'plug-in ms':>11}{'direct ms':>11}{'ratio':>7}  {'plug-in cpu':>11}{'direct cpu':>11}{'ratio':>7}")
for fmt in ("jpeg", "tiff", "webp"):
    data = json.load(open(os.path.join(work, fmt + ".json")))
    median = {b["run_name"]: (b["real_time"], b["cpu_time"]) for b in data["benchmarks"] if b.get("aggregate_name") == "median"}
    for op in ("Decode", "Encode"):
        name = fmt.capitalize()
        p = next(v for k, v in median.items() if k.startswith(f"BM_{name}{op}Plugin"))
        d = next(v for k, v in median.items() if k.startswith(f"BM_{name}{op}Direct"))
        print(f"{fmt + ' ' + op.lower():<16}{p[0]:>11.1f}{d[0]:>11.1f}{p[0] / d[0]:>7.3f}  {p[1]:>11.1f}{d[1]:>11.1f}{p[1] / d[1]:>7.3f}")
PY
