#!/usr/bin/env bash
# The newer formats, side by side with ImageMagick and libvips where they read or write them
# on this machine, in one run with the tools interleaved in every repetition:
#
#   1. HEIC -> JPEG   a 6000 x 4000 photo-like picture (made once by libheif's heif-enc, or by
#                     our own HEIC output when heif-enc is missing), JPEG quality 90 for all
#   2. JPEG -> AVIF   the same picture, quality 85 (our AVIF default) and aom speed 6 for all
#   3. JPEG -> JXL    quality 90 for all (ImageMagick on Debian 12 has no JPEG XL); only when
#                     our JPEG XL output plug-in is built
#
# Prints each tool's median wall time, output size and peak memory, and faltrix's time and
# size as a share of each peer's.
#
# Usage: bench/convert/modern.sh [BUILD_DIR] [REPETITIONS] [quick|full] [heic]
#   heic  only the HEIC -> JPEG task (the others encode for minutes)
# Needs the Debian packages imagemagick, libvips-tools, python3-pil and time (for the benchmark
# only; Faltrix itself does not use them).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/release}
reps=${2:-3}
scale=${3:-full}
only=${4:-all}
converter=$build/bin/faltrix-convert
[ -x "$converter" ] || { echo "no faltrix-convert in $build/bin (build it first)" >&2; exit 1; }
python=/usr/bin/python3
for tool in "$python" /usr/bin/convert /usr/bin/vips /usr/bin/time; do
  [ -x "$tool" ] || { echo "skipped: no $tool (apt-get install imagemagick libvips-tools python3-pil time)" >&2; exit 0; }
done
"$python" -c 'import PIL' 2>/dev/null || { echo "skipped: no Pillow (apt-get install python3-pil)" >&2; exit 0; }

work=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-modern.XXXXXX")
trap 'rm -rf "$work"' EXIT

FALTRIX_BENCH_DIR=$here "$python" - "$converter" "$work" "$reps" "$scale" "$only" <<'PYTHON'
import os, shutil, statistics, subprocess, sys
sys.path.insert(0, os.environ['FALTRIX_BENCH_DIR'])
from bench_tools import photo_like, print_table, timed

converter, work, reps, scale, only = sys.argv[1:6]
reps = int(reps)
div = 10 if scale == 'quick' else 1
W, H = 6000 // div, 4000 // div
magick, vips = '/usr/bin/convert', '/usr/bin/vips'

def formats_of(command, marker):
    return subprocess.run(command, capture_output=True, text=True).stdout.lower().count(marker)

magick_heif = formats_of([magick, '-list', 'format'], 'heic') > 0
vips_heif, vips_jxl = formats_of([vips, '-l'], 'heifsave') > 0, formats_of([vips, '-l'], 'jxlsave') > 0
plugins = subprocess.run([converter, '--list-plugins'], capture_output=True, text=True).stdout
ours_heif = 'heif-avif' in plugins and 'heif-heic' in plugins
ours_jxl = '\n  jxl' in plugins.split('Output plug-ins')[-1]
if not ours_heif:
    sys.exit('skipped: this build has no HEIF plug-ins')

print('making the pictures ...', file=sys.stderr)
jpg = os.path.join(work, 'photo.jpg')
photo_like(W, H).save(jpg, quality=90)
heic = os.path.join(work, 'photo.heic')
if shutil.which('heif-enc'):
    subprocess.run(['heif-enc', '-q', '65', jpg, '-o', heic], check=True, capture_output=True)
else:
    subprocess.run([converter, '-q', jpg, '-o', heic], check=True)

tasks = [('HEIC -> JPEG, %d x %d' % (W, H), '.jpg', {
    'faltrix': lambda o: [converter, '-q', '--overwrite', '--quality', '90', heic, '-o', o],
    'ImageMagick': (lambda o: [magick, heic, '-quality', '90', o]) if magick_heif else None,
    'vips': (lambda o: [vips, 'copy', heic, o + '[Q=90]']) if vips_heif else None,
}), ('JPEG -> AVIF, %d x %d' % (W, H), '.avif', {
    'faltrix': lambda o: [converter, '-q', '--overwrite', '--quality', '85', '--option', 'speed=6', jpg, '-o', o],
    'ImageMagick': (lambda o: [magick, jpg, '-quality', '85', '-define', 'heic:speed=6', o]) if magick_heif else None,
    'vips': (lambda o: [vips, 'heifsave', jpg, o, '--Q', '85', '--compression', 'av1', '--effort', '3'])
            if vips_heif else None,
})]
if ours_jxl:
    tasks.append(('JPEG -> JXL, %d x %d' % (W, H), '.jxl', {
        'faltrix': lambda o: [converter, '-q', '--overwrite', '--quality', '90', jpg, '-o', o],
        'vips': (lambda o: [vips, 'jxlsave', jpg, o, '--Q', '90']) if vips_jxl else None,
    }))

if only == 'heic':
    tasks = tasks[:1]
results = []
for title, suffix, tools in tasks:
    tools = {name: make for name, make in tools.items() if make is not None}
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

print_table(results, reps)
PYTHON
