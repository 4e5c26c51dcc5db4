#!/usr/bin/env bash
# Builds the libFuzzer targets of the input plug-ins with clang into build/fuzz and runs each
# for a while on its seed corpus (copied, so the committed seeds stay as they are).
#   scripts/fuzz.sh [seconds per target, default 20] [format ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
formats=("$@")
[ ${#formats[@]} -gt 0 ] || formats=(bmp png gif jpeg tiff webp heif jxl)

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFALTRIX_BUILD_FUZZERS=ON -DFALTRIX_BUILD_TESTS=OFF -DFALTRIX_BUILD_BENCH=OFF >/dev/null
targets=()
for f in "${formats[@]}"; do
  [ -f "fuzz/$f/CMakeLists.txt" ] && targets+=("fuzz_$f")
done
cmake --build build/fuzz --target "${targets[@]}"

failed=0
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
for t in "${targets[@]}"; do
  f=${t#fuzz_}
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$f" ] && cp -r "fuzz/corpus/$f/." "$work/"
  log=build/fuzz/$t.log
  echo "== $t: ${seconds}s"
  if (cd "$work" && "$OLDPWD/build/fuzz/fuzz/$t" -seed=1 -max_total_time="$seconds" -rss_limit_mb=4096 \
        -timeout=20 -print_final_stats=1 "$work") >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$log" || tail -n 2 "$log"
  else
    echo "$t FAILED: see $log"; grep -E -A 30 '==[0-9]+==ERROR|^SUMMARY|deadly signal' "$log" | head -n 60
    failed=1
  fi
  rm -rf "$work"
done
exit $failed
