#!/usr/bin/env bash
# Animations side by side with ImageMagick and libvips, in one run with the tools interleaved
# in every repetition: a 120-frame 800 x 600 animation (a ball and a band of colour moving over
# a gradient, made once by Pillow) converted
#
#   1. GIF -> WebP   each tool at its default (lossy WebP)
#   2. GIF -> WebP   every tool at quality 75
#   3. WebP -> GIF   from the WebP Pillow made of the same frames (lossless)
#
# Prints each tool's median wall time, output size and peak memory, and faltrix's time and
# size as a share of each peer's. Peak memory shows whether the frames stream: 120 decoded
# frames of 800 x 600 hold 230 MB.
#
# Usage: bench/convert/animation.sh [BUILD_DIR] [REPETITIONS] [quick]
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

work=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-animation.XXXXXX")
trap 'rm -rf "$work"' EXIT

FALTRIX_BENCH_DIR=$here "$python" - "$converter" "$work" "$reps" "$scale" <<'PYTHON'
import os, statistics, sys
sys.path.insert(0, os.environ['FALTRIX_BENCH_DIR'])
from bench_tools import print_table, timed
from PIL import Image, ImageDraw

converter, work, reps, scale = sys.argv[1:5]
reps = int(reps)
frames_count = 12 if scale == 'quick' else 120
W, H = 800, 600
magick, vips = '/usr/bin/convert', '/usr/bin/vips'

print('making the animation ...', file=sys.stderr)
background = Image.linear_gradient('L').resize((W, H)).convert('RGB')
frames = []
for k in range(frames_count):
    im = background.copy()
    draw = ImageDraw.Draw(im)
    x = (k * 11) % (W - 120)
    draw.rectangle((0, 400 + (k % 40), W, 460 + (k % 40)), fill=(40 + k % 200, 90, 160))
    draw.ellipse((x, 120, x + 120, 240), fill=(220, 60 + k % 150, 30))
    frames.append(im)
gif = os.path.join(work, 'anim.gif')
webp = os.path.join(work, 'anim.webp')
frames[0].save(gif, save_all=True, append_images=frames[1:], duration=40, loop=0)
frames[0].save(webp, save_all=True, append_images=frames[1:], duration=40, loop=0, lossless=True)
del frames

# Each tool at its own default (WebP quality: ours 90, ImageMagick's and libvips' 75), then
# the WebP row again with every tool at quality 75, so that neither view hides the other.
size = '%d frames of %d x %d' % (frames_count, W, H)
tasks = [('GIF -> WebP, ' + size, '.webp', gif, None),
         ('GIF -> WebP at quality 75, ' + size, '.webp', gif, 75),
         ('WebP -> GIF, ' + size, '.gif', webp, None)]
tools = {
    'faltrix': lambda i, o, q: [converter, '-q', '--overwrite', i, '-o', o] +
                               (['--quality', str(q)] if q else []),
    'ImageMagick': lambda i, o, q: [magick, i] + (['-quality', str(q)] if q else []) + [o],
    'vips': lambda i, o, q: [vips, 'copy', i + '[n=-1]', o + ('[Q=%d]' % q if q else '')],
}

results = []
for title, suffix, source, quality in tasks:
    times, sizes, peaks = {n: [] for n in tools}, {}, {}
    for rep in range(reps):
        for name, make in tools.items():
            target = os.path.join(work, 'out-' + name + suffix)
            if os.path.exists(target): os.remove(target)
            elapsed, peak = timed(make(source, target, quality), work, '%s on "%s"' % (name, title))
            times[name].append(elapsed)
            sizes[name] = os.path.getsize(target)
            peaks[name] = max(peaks.get(name, 0), peak)
        print('  %s: repetition %d of %d done' % (title, rep + 1, reps), file=sys.stderr)
    results.append((title, {n: statistics.median(t) for n, t in times.items()}, sizes, peaks))

print_table(results, reps)
PYTHON
