#!/usr/bin/env bash
# Runs the JPEG, TIFF and WebP benchmarks (each plug-in beside its library called directly,
# in the same run, repetitions interleaved at random) and prints what the plug-in costs on
# top, as plug-in / direct time. On a shared machine wall time follows the load; the
# processor time of the calling thread, and the best of the repetitions, follow the code.
# Usage: bench/codecs/plugin_overhead.sh [build directory] [repetitions]
#        (defaults: build/release, 5). Writes its files into the current folder.
set -euo pipefail
build="${1:-build/release}"
reps="${2:-5}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for fmt in jpeg tiff webp; do
  exe="$build/bin/bench_$fmt"
  [ -x "$exe" ] || { echo "missing $exe" >&2; exit 1; }
  "$exe" --benchmark_format=json --benchmark_repetitions="$reps" \
         --benchmark_enable_random_interleaving=true > "$work/$fmt.json"
done
python3 - "$work" <<'PY'
import json, os, statistics, sys
work = sys.argv[1]
print("processor time of the calling thread, ms (best and median of the repetitions); wall median")
print(f"{'':<14}{'plug-in':>9}{'direct':>9}{'ratio':>7} |{'plug-in':>9}{'direct':>9}{'ratio':>7} |{'wall ratio':>11}")
print(f"{'':<14}{'best':>9}{'best':>9}{'':>7} |{'median':>9}{'median':>9}{'':>7} |")
for fmt in ("jpeg", "tiff", "webp"):
    runs = {}
    for b in json.load(open(os.path.join(work, fmt + ".json")))["benchmarks"]:
        if b.get("run_type") == "iteration":
            runs.setdefault(b["run_name"].split("/")[0], []).append((b["cpu_time"], b["real_time"]))
    for op in ("Decode", "Encode"):
        p = runs[f"BM_{fmt.capitalize()}{op}Plugin"]
        d = runs[f"BM_{fmt.capitalize()}{op}Direct"]
        pb, db = min(c for c, _ in p), min(c for c, _ in d)
        pm, dm = statistics.median(c for c, _ in p), statistics.median(c for c, _ in d)
        wall = statistics.median(w for _, w in p) / statistics.median(w for _, w in d)
        print(f"{fmt + ' ' + op.lower():<14}{pb:>9.1f}{db:>9.1f}{pb / db:>7.3f} |{pm:>9.1f}{dm:>9.1f}{pm / dm:>7.3f} |{wall:>11.3f}")
PY
