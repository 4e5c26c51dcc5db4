#!/usr/bin/env bash
# Times faltrix-convert side by side with ImageMagick's convert, libvips' vips and Pillow on
# one machine, in one run, interleaving the tools in every repetition:
#
#   1. JPEG -> PNG            a 6000 x 4000 photo-like picture
#   2. PNG  -> JPEG           the same picture
#   3. JPEG -> JPEG resized   to 1500 x 1000 by area averaging (faltrix -a, ImageMagick
#                             -filter box -resize, Pillow Image.BOX, vips resize's default)
#   4. batch                  50 JPEG pictures of 1600 x 1200 -> PNG, two at a time
#
# Prints the median wall time of each tool per task, the output size, and faltrix's time and
# size as a share of each peer's, so that "faster and smaller" reads off one table, and each
# tool's peak resident memory (the largest of its repetitions, its child processes included).
# The tools write at equal settings where they allow it: JPEG quality 90, and the PNG
# compression level of faltrix's default (4, the peers set to it). PNG filters stay each tool's
# own: vips filters no row unless asked, the others choose per row. The JPEG -> PNG task also
# runs faltrix at its fastest PNG level (--compression 1) against the same peers. The tasks that
# write PNG run a second time with every tool at its own default, as a user meets it (faltrix
# 4, ImageMagick zlib 7 with filters per row, vips zlib 6 without filters, Pillow zlib 6 with
# filters per row): equal settings show the same work done faster, defaults what each tool
# gives out of the box, and neither hides the other.
#
# Usage: bench/convert/compare.sh [BUILD_DIR] [REPETITIONS] [quick|full] [png]
#   BUILD_DIR    a build with faltrix-convert and its plug-ins (default: build/release)
#   REPETITIONS  runs per tool and task (default: 3)
#   quick        pictures a tenth as wide and 5 in the batch: checks the script in seconds
#   png          only the tasks that write PNG
# Needs the Debian packages imagemagick, libvips-tools, python3-pil and time (for the
# benchmark only; Faltrix itself does not use them).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/release}
reps=${2:-3}
scale=${3:-full}
only=${4:-all}
converter=$build/bin/faltrix-convert
[ -x "$converter" ] || { echo "no faltrix-convert in $build/bin (build it first)" >&2; exit 1; }

# Debian's own programs, whatever else is first on PATH.
python=/usr/bin/python3
magick=/usr/bin/convert
vips=/usr/bin/vips
# Without the peers there is nothing to compare with: say so and leave the other benchmarks be.
for tool in "$python" "$magick" "$vips" /usr/bin/time; do
  [ -x "$tool" ] || { echo "skipped: no $tool (apt-get install imagemagick libvips-tools python3-pil time)" >&2; exit 0; }
done
"$python" -c 'import PIL' 2>/dev/null || { echo "skipped: no Pillow (apt-get install python3-pil)" >&2; exit 0; }

work=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT

FALTRIX_BENCH_DIR=$here "$python" - "$converter" "$magick" "$vips" "$python" "$work" "$reps" "$scale" "$only" <<'PYTHON'
import os, shutil, statistics, subprocess, sys
sys.path.insert(0, os.environ['FALTRIX_BENCH_DIR'])
from bench_tools import photo_like, print_table, timed

converter, magick, vips, python, work, reps, scale, only = sys.argv[1:9]
PNG_LEVEL, JPEG_QUALITY = 4, 90
reps = int(reps)
div = 10 if scale == 'quick' else 1
W, H = 6000 // div, 4000 // div          # the big picture
BW, BH = 1600 // div, 1200 // div        # each batch picture
COUNT = 5 if scale == 'quick' else 50    # batch pictures
SW, SH = W // 4, H // 4                  # the resize target

print('making the pictures ...', file=sys.stderr)
big = photo_like(W, H)
big_jpg = os.path.join(work, 'photo.jpg'); big.save(big_jpg, quality=90)
big_png = os.path.join(work, 'photo.png'); big.save(big_png)
batch_dir = os.path.join(work, 'batch'); os.mkdir(batch_dir)
batch = []
for i in range(COUNT):
    x, y = (i * 97) % (W - BW), (i * 61) % (H - BH)
    path = os.path.join(batch_dir, 'p%02d.jpg' % i)
    big.crop((x, y, x + BW, y + BH)).save(path, quality=90)
    batch.append(path)

# Pillow's PNG and JPEG settings; each takes the one its format knows.
PIL_ARGS = 'compress_level=%d, quality=%d' % (PNG_LEVEL, JPEG_QUALITY)
PIL_SAVE = 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2], %s)' % PIL_ARGS
PIL_DEFAULT = 'import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])'
PIL_BOX = ('import sys; from PIL import Image; '
           'Image.open(sys.argv[1]).resize((%d, %d), Image.BOX).save(sys.argv[2], %s)' % (SW, SH, PIL_ARGS))
PIL_BATCH = ('import sys, os; from multiprocessing import Pool; from PIL import Image\n'
             'def one(p): Image.open(p).save(os.path.join(sys.argv[1], os.path.basename(p)[:-4] + ".png"), %s)\n'
             'if __name__ == "__main__":\n'
             '    with Pool(2) as pool: pool.map(one, sys.argv[2:])\n')
# ImageMagick's PNG quality is the zlib level in tens and the filter choice (5: per row) in ones;
# vips takes its settings in brackets after the file name.
MAGICK_PNG = ['-quality', '%d5' % PNG_LEVEL]
MAGICK_JPEG = ['-quality', str(JPEG_QUALITY)]
VIPS_PNG, VIPS_JPEG = '[compression=%d]' % PNG_LEVEL, '[Q=%d]' % JPEG_QUALITY

def out(name):
    return os.path.join(work, name)

def batch_out(tool):
    d = os.path.join(work, 'out-' + tool)
    shutil.rmtree(d, ignore_errors=True); os.mkdir(d)
    return d

def xargs2(command):
    """Two at a time, one process per file, as a shell script would do it; $1 is the file."""
    return ['sh', '-c', 'printf "%s\\n" "$@" | xargs -P 2 -n 1 sh -c \'' + command + '\' one', 'sh'] + batch

def png_tasks(defaults):
    """The tasks that write PNG: with the peers at faltrix's level, or every tool at its own
    default."""
    magick_png = [] if defaults else MAGICK_PNG
    vips_png = '' if defaults else VIPS_PNG
    pil_save = PIL_DEFAULT if defaults else PIL_SAVE
    pil_batch = PIL_BATCH % ('' if defaults else 'compress_level=%d' % PNG_LEVEL)
    how = 'each at its default' if defaults else 'equal settings'
    big = {
        'faltrix':     lambda o: [converter, '-q', '--overwrite', big_jpg, '-o', o + '.png'],
        'faltrix fastest': lambda o: [converter, '-q', '--overwrite', '--compression', '1', big_jpg,
                                      '-o', o + '.png'],
        'ImageMagick': lambda o: [magick, big_jpg] + magick_png + [o + '.png'],
        'vips':        lambda o: [vips, 'copy', big_jpg, o + '.png' + vips_png],
        'Pillow':      lambda o: [python, '-c', pil_save, big_jpg, o + '.png'],
    }
    if defaults:
        del big['faltrix fastest']
    batch_task = {
        'faltrix':     lambda d: [converter, '-q', '-j', '2', '-f', 'png', '-o', d] + batch,
        'ImageMagick': lambda d: xargs2(magick + ' "$1" ' + ' '.join(magick_png) + ' ' + d
                                        + '/$(basename "$1" .jpg).png'),
        'vips':        lambda d: xargs2(vips + ' copy "$1" "' + d + '/$(basename "$1" .jpg).png' + vips_png + '"'),
        'Pillow':      lambda d: [python, '-c', pil_batch, d] + batch,
    }
    return [('JPEG -> PNG, %d x %d, %s' % (W, H, how), out('photo.png.out'), big, '.png'),
            ('batch: %d JPEG %d x %d -> PNG, 2 at a time, %s' % (COUNT, BW, BH, how), None, batch_task, None)]

tasks = png_tasks(False)[:1] + png_tasks(True)[:1] + [
    ('PNG -> JPEG, %d x %d' % (W, H), out('photo.jpg.out'), {
        'faltrix':     lambda o: [converter, '-q', '--overwrite', big_png, '-o', o + '.jpg'],
        'ImageMagick': lambda o: [magick, big_png] + MAGICK_JPEG + [o + '.jpg'],
        'vips':        lambda o: [vips, 'copy', big_png, o + '.jpg' + VIPS_JPEG],
        'Pillow':      lambda o: [python, '-c', PIL_SAVE, big_png, o + '.jpg'],
    }, '.jpg'),
    ('JPEG -> JPEG %d x %d, area averaging' % (SW, SH), out('small.out'), {
        'faltrix':     lambda o: [converter, '-q', '--overwrite', '-a', '-W', str(SW), '-H', str(SH),
                                  big_jpg, '-o', o + '.jpg'],
        'ImageMagick': lambda o: [magick, big_jpg, '-filter', 'box', '-resize', '%dx%d' % (SW, SH)] + MAGICK_JPEG
                                 + [o + '.jpg'],
        'vips':        lambda o: [vips, 'resize', big_jpg, o + '.jpg' + VIPS_JPEG, '0.25'],
        'Pillow':      lambda o: [python, '-c', PIL_BOX, big_jpg, o + '.jpg'],
    }, '.jpg'),
]
tasks += png_tasks(False)[1:] + png_tasks(True)[1:]
if only == 'png':
    tasks = [t for t in tasks if t[3] in ('.png', None)]

def size_of(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))
    return os.path.getsize(path)

results = []
for title, base, tools, suffix in tasks:
    times = {name: [] for name in tools}
    sizes, peaks = {}, {}
    for rep in range(reps):
        for name, make in tools.items():   # interleaved: each repetition runs every tool
            target = batch_out(name) if base is None else base + '-' + name.replace(' ', '-')
            command = make(target)
            if suffix:
                final = target + suffix
                if os.path.exists(final): os.remove(final)
            elapsed, peak = timed(command, work, '%s on "%s"' % (name, title))
            times[name].append(elapsed)
            peaks[name] = max(peaks.get(name, 0), peak)
            sizes[name] = size_of(target + suffix if suffix else target)
        print('  %s: repetition %d of %d done' % (title, rep + 1, reps), file=sys.stderr)
    results.append((title, {n: statistics.median(t) for n, t in times.items()}, sizes, peaks))

print_table(results, reps)
if len(results[0][1]) > 4:
    print('\nWhere two ratios stand, the first is faltrix at its default PNG level, the second at its fastest.')
print('A task "at its default" runs every tool without settings; "equal settings" sets the peers to faltrix\'s.')
# The picture as decoded (24 bits a pixel) and the output's bitmap, for the memory budget.
bitmap = (3 * W + 3) // 4 * 4 * H
print('\nfaltrix peak on the same-size JPEG -> PNG: %.1f MB = %.2f x (decoded + output bitmap, %.1f MB)'
      % (results[0][3]['faltrix'] / 1e6, results[0][3]['faltrix'] / (2 * bitmap), 2 * bitmap / 1e6))
PYTHON
