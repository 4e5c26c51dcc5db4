#!/usr/bin/env bash
# Builds the libFuzzer targets of the input plug-ins with clang into build/fuzz and runs them.
#   scripts/fuzz.sh [seconds per target, default 20] [format ...]
#       Explores: each target runs for that long on its seed corpus and past findings (copied,
#       so the committed files stay as they are). How far it gets depends on the machine: for
#       developers.
#   scripts/fuzz.sh --runs N [format ...]
#       Checks, the same way on every machine (CI): each target first replays every committed
#       seed (fuzz/corpus/<format>/) and every past finding (tests/data/<format>/hostile/),
#       one run each, then makes N mutations of them from the fixed seed 1. No time limit
#       decides the outcome, so a change passes or fails for its own code.
# Either way the memory limit holds (4 GiB, which a decoder within its limits never nears)
# and so does a 20-second limit per input, meant for hangs.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."
runs=
if [ "${1:-}" = --runs ]; then
  runs=${2:?"--runs needs a number"}
  shift 2
  seconds=
else
  seconds=${1:-20}
  shift || true
fi
formats=("$@")
[ ${#formats[@]} -gt 0 ] || formats=(bmp png gif jpeg tiff webp heif jxl ico pnm tga jp2 raw svg pdf exr hdr metadata)

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFALTRIX_BUILD_FUZZERS=ON -DFALTRIX_BUILD_TESTS=OFF -DFALTRIX_BUILD_BENCH=OFF >/dev/null
targets=()
for f in "${formats[@]}"; do
  [ -f "fuzz/$f/CMakeLists.txt" ] && targets+=("fuzz_$f")
done
cmake --build build/fuzz --target "${targets[@]}"

# Targets whose every input is a whole rendering or development in a library the fuzzer does
# not instrument (poppler, LibRaw) run a few per second: they take a tenth of the mutations, so
# that the check keeps within CI's time. Their 10-minute explorations are for developers.
slow=" pdf raw "

failed=0
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

# Shows how a run ended; answers whether it passed.
report() {
  local t=$1 log=$2 passed=$3
  if [ "$passed" = 1 ]; then
    grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs|^Executed .* in [0-9]+ ms' "$log" | tail -n 2 ||
      tail -n 2 "$log"
  else
    echo "$t FAILED: see $log"; grep -E -A 30 '==[0-9]+==ERROR|^SUMMARY|deadly signal|out-of-memory' "$log" | head -n 60
  fi
}

for t in "${targets[@]}"; do
  f=${t#fuzz_}
  fuzzer=$PWD/build/fuzz/fuzz/$t
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$f" ] && cp -r "fuzz/corpus/$f/." "$work/"
  findings=()
  if [ -d "tests/data/$f/hostile" ]; then
    for file in tests/data/"$f"/hostile/*; do
      [ "$(basename "$file")" = stages.txt ] || findings+=("$PWD/$file")
    done
  fi
  log=build/fuzz/$t.log
  # An input that fails is kept beside the log, as build/fuzz/<target>-crash-<sha1>.
  limits=(-rss_limit_mb=4096 -timeout=20 "-artifact_prefix=$PWD/build/fuzz/$t-")
  if [ -n "$runs" ]; then
    n=$runs
    [[ "$slow" == *" $f "* ]] && n=$((runs / 10))
    # Each file once, as it is (past libFuzzer's length cap too), then the mutations, with the
    # findings among the seeds. -runs counts the seeds' runs as well.
    echo "== $t: $(find "$work" -type f | wc -l) seeds, ${#findings[@]} findings, then $n runs from seed 1"
    if (cd "$work" && "$fuzzer" "${limits[@]}" "$work"/* "${findings[@]}") >"$log" 2>&1; then
      report "$t" "$log" 1
      [ ${#findings[@]} -eq 0 ] || cp "${findings[@]}" "$work/"
      seeds=$(find "$work" -type f | wc -l)
      # Without address randomisation: libFuzzer takes compared values into its mutations, and
      # some are addresses. Nor does it reload the corpus folder, which it would do by time.
      if (cd "$work" && setarch "$(uname -m)" -R "$fuzzer" -seed=1 -runs=$((n + seeds)) -reload=0 "${limits[@]}" \
            -print_final_stats=1 "$work") \
          >"$log" 2>&1; then
        report "$t" "$log" 1
      else
        report "$t" "$log" 0; failed=1
      fi
    else
      report "$t" "$log" 0; failed=1
    fi
  else
    echo "== $t: ${seconds}s"
    [ ${#findings[@]} -eq 0 ] || cp "${findings[@]}" "$work/"
    if (cd "$work" && "$fuzzer" -seed=1 -max_total_time="$seconds" "${limits[@]}" -print_final_stats=1 "$work") \
        >"$log" 2>&1; then
      report "$t" "$log" 1
    else
      report "$t" "$log" 0; failed=1
    fi
  fi
  rm -rf "$work"
done
exit $failed
