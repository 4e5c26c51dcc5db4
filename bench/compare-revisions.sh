#!/usr/bin/env bash
# The resampler and codec benchmarks of an earlier revision beside those of this tree, in one
# run: the earlier revision is built in a worktree of its own (release, no tests), then each
# benchmark program of the two sides runs in turn, ROUNDS times, so that a change in the
# machine's load falls on both alike. Prints, per benchmark, the median processor time of each
# side and after / before (below 1: this tree is faster). The "Direct" rows call the format
# libraries without a plug-in and serve as the control: they should not move.
#
#   bench/compare-revisions.sh REVISION [build-dir] [rounds]   (defaults: build/release, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:?usage: bench/compare-revisions.sh REVISION [build-dir] [rounds]}
build=${2:-build/release}
rounds=${3:-3}
programs=(bench_resample bench_codecs bench_jpeg bench_tiff bench_webp)
cmake --build "$build" --target "${programs[@]}" >/dev/null

work=$(mktemp -d)
cleanup() { git worktree remove --force "$work/tree" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
git worktree add -q --detach "$work/tree" "$rev"
cmake -S "$work/tree" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFALTRIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/build" --target "${programs[@]}" >/dev/null

picture=$work/picture  # the resampler's 6000 x 4000 source, the same bytes for both sides
python3 -c 'import os, sys; open(sys.argv[1], "wb").write(os.urandom(6000 * 4000 * 3))' "$picture"
for ((round = 0; round < rounds; ++round)); do
  for p in "${programs[@]}"; do
    for side in before after; do
      bin=$work/build/bin; [ "$side" = after ] && bin=$build/bin
      FALTRIX_BENCH_PICTURE=$picture "$bin/$p" --benchmark_format=json \
        > "$work/$side-$p-$round.json" 2>/dev/null
    done
  done
done

python3 - "$work" <<'PY'
import glob, json, os, statistics, sys
work = sys.argv[1]
times = {}
for path in glob.glob(os.path.join(work, "*.json")):
    side = os.path.basename(path).split("-")[0]
    for b in json.load(open(path))["benchmarks"]:
        times.setdefault(b["run_name"], {}).setdefault(side, []).append(b["cpu_time"])
print(f"{'benchmark':<48}{'before ms':>10}{'after ms':>10}{'after/before':>14}")
for name in sorted(times):
    before, after = statistics.median(times[name]["before"]), statistics.median(times[name]["after"])
    print(f"{name:<48}{before:>10.1f}{after:>10.1f}{after / before:>14.3f}")
PY
