#!/usr/bin/env bash
# 16-bit pictures side by side with ImageMagick and libvips, in one run with the tools
# interleaved in every repetition:
#
#   1. PNG -> PNG    a 6000 x 4000 (24-megapixel) 16-bit RGB photo-like picture, kept 16-bit
#   2. PNG -> TIFF   the same, 16-bit RGB, LZW with horizontal differencing for all
#
# Prints each tool's median wall time, output size and peak memory (GNU time), faltrix's as a
# share of each peer's, and faltrix's peak against the decoded picture (width x height x 6
# bytes) plus the output file, which it should stay within 1.10 times of.
#
# Usage: bench/convert/deep.sh [BUILD_DIR] [REPETITIONS] [quick]
# Needs the Debian packages imagemagick, libvips-tools, python3-pil and time (for the benchmark
# only; Faltrix itself does not use them).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/release}
reps=${2:-3}
scale=${3:-full}
converter=$build/bin/faltrix-convert
[ -x "$converter" ] || { echo "no faltrix-convert in $build/bin (build it first)" >&2; exit 1; }
python=/usr/bin/python3
for tool in "$python" /usr/bin/convert /usr/bin/vips /usr/bin/time; do
  [ -x "$tool" ] || { echo "skipped: no $tool (apt-get install imagemagick libvips-tools python3-pil time)" >&2; exit 0; }
done
"$python" -c 'import PIL' 2>/dev/null || { echo "skipped: no Pillow (apt-get install python3-pil)" >&2; exit 0; }

work=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-deep.XXXXXX")
trap 'rm -rf "$work"' EXIT

FALTRIX_BENCH_DIR=$here "$python" - "$converter" "$work" "$reps" "$scale" <<'PYTHON'
import os, statistics, subprocess, sys
sys.path.insert(0, os.environ['FALTRIX_BENCH_DIR'])
from bench_tools import photo_like, print_table, timed

converter, work, reps, scale = sys.argv[1:5]
reps = int(reps)
div = 10 if scale == 'quick' else 1
W, H = 6000 // div, 4000 // div
magick, vips = '/usr/bin/convert', '/usr/bin/vips'

# The 8-bit photo widened to 16 bits, with noise of its own in the low bits, as a scan or a
# raw development gives: the low byte is no copy of the high one.
print('making the picture ...', file=sys.stderr)
photo = os.path.join(work, 'photo.png')
photo_like(W, H).save(photo, compress_level=1)
def run(*args):
    subprocess.run([vips] + [a if not a.endswith('.v') else os.path.join(work, a) for a in args],
                   check=True, capture_output=True)
run('linear', photo, 'wide.v', '257', '0')
run('gaussnoise', 'noise.v', str(W), str(H), '--sigma', '90')
run('add', 'wide.v', 'noise.v', 'sum.v')
run('cast', 'sum.v', 'deep.v', 'ushort')
deep = os.path.join(work, 'deep.png')
run('pngsave', 'deep.v', deep, '--bitdepth', '16', '--compression', '1')
for name in ('wide.v', 'noise.v', 'sum.v', 'deep.v'):
    os.remove(os.path.join(work, name))

tasks = [('16-bit PNG -> PNG, %d x %d' % (W, H), '.png', {
    'faltrix': lambda o: [converter, '-q', '--overwrite', deep, '-o', o],
    'ImageMagick': lambda o: [magick, deep, '-depth', '16', o],
    'vips': lambda o: [vips, 'pngsave', deep, o, '--bitdepth', '16'],
}), ('16-bit PNG -> TIFF (LZW), %d x %d' % (W, H), '.tif', {
    'faltrix': lambda o: [converter, '-q', '--overwrite', '--option', 'compression=LZW', deep, '-o', o],
    'ImageMagick': lambda o: [magick, deep, '-depth', '16', '-compress', 'LZW', '-define',
                              'tiff:predictor=2', o],
    'vips': lambda o: [vips, 'tiffsave', deep, o, '--compression', 'lzw', '--predictor', 'horizontal'],
})]

results, budgets = [], []
for title, suffix, tools in tasks:
    times, sizes, peaks = {n: [] for n in tools}, {}, {}
    for rep in range(reps):
        for name, make in tools.items():
            target = os.path.join(work, 'out-' + name + suffix)
            if os.path.exists(target): os.remove(target)
            elapsed, peak = timed(make(target), work, '%s on "%s"' % (name, title))
            times[name].append(elapsed)
            sizes[name] = os.path.getsize(target)
            peaks[name] = max(peaks.get(name, 0), peak)
        print('  %s: repetition %d of %d done' % (title, rep + 1, reps), file=sys.stderr)
    results.append((title, {n: statistics.median(t) for n, t in times.items()}, sizes, peaks))
    decoded = W * H * 6
    budgets.append((title, peaks['faltrix'], decoded, sizes['faltrix']))

print_table(results, reps)
print('\n| task | faltrix peak MB | decoded MB | output MB | peak / (decoded + output) |')
print('|---|---:|---:|---:|---:|')
for title, peak, decoded, output in budgets:
    print('| %s | %.1f | %.1f | %.1f | %.2f |' % (title, peak / 1e6, decoded / 1e6, output / 1e6,
                                               peak / (decoded + output)))
PYTHON
