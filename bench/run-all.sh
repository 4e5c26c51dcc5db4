#!/usr/bin/env bash
# Runs every benchmark program of the release build, then the side-by-side comparison
# scripts. Heavy: several minutes on a 2-core machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/release/bin
for b in "$bin"/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
done
for s in bench/*/compare.sh bench/convert/modern.sh bench/convert/png_sizes.sh bench/convert/animation.sh bench/convert/deep.sh; do
  [ -x "$s" ] || [ -f "$s" ] || continue
  echo "== $s"
  bash "$s"
done
