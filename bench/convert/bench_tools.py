# What the bench/convert scripts share: the picture they convert, one timed run of a tool and
# the table of results.
import os, subprocess, sys, time

from PIL import Image, ImageChops, ImageFilter

GNU_TIME = '/usr/bin/time'


def photo_like(width, height):
    """Smooth gradients, fine detail and sensor-like noise: what a camera gives."""
    detail = Image.effect_mandelbrot((width, height), (-2.2, -1.2, 1.0, 1.2), 60)
    grad = Image.linear_gradient('L').resize((width, height))
    radial = Image.radial_gradient('L').resize((width, height))
    noise = Image.effect_noise((width, height), 18).filter(ImageFilter.GaussianBlur(0.6))
    r = ImageChops.add(ImageChops.multiply(detail, grad.transpose(Image.Transpose.ROTATE_180)), noise, 1.0, -128)
    g = ImageChops.add(Image.blend(grad, detail, 0.35), noise, 1.0, -128)
    b = ImageChops.add(Image.blend(radial, detail.filter(ImageFilter.GaussianBlur(3)), 0.5), noise, 1.0, -128)
    return Image.merge('RGB', (r, g, b)).filter(ImageFilter.GaussianBlur(0.8))


def timed(command, work, what):
    """Runs command; returns its wall time and peak resident bytes, or ends the script naming
    what failed. GNU time reports the largest resident size of the command and of every
    process it waited for; a child of this script would start from the script's own size."""
    peak_file = os.path.join(work, 'peak')
    start = time.perf_counter()
    done = subprocess.run([GNU_TIME, '-f', '%M', '-o', peak_file] + command,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit('%s failed: %s' % (what, done.stderr.decode(errors='replace')))
    with open(peak_file) as f:
        return elapsed, int(f.read().split()[-1]) * 1024


def print_table(results, reps):
    """results: (task, {tool: median s}, {tool: bytes}, {tool: peak bytes}) in order. Every
    tool whose name starts with "faltrix" is set against each peer."""
    print('\n%d repetitions each, medians of wall time; ratios = faltrix / peer (below 1: faltrix faster, '
          'or smaller)\n' % reps)
    print('| task | tool | median s | output bytes | peak MB | time faltrix / tool | size faltrix / tool |')
    print('|---|---|---:|---:|---:|---:|---:|')
    for title, medians, sizes, peaks in results:
        ours = [n for n in medians if n.startswith('faltrix')]
        for name in medians:
            ratios = ('', '') if name in ours else (
                ' / '.join('%.2f' % (medians[o] / medians[name]) for o in ours),
                ' / '.join('%.2f' % (sizes[o] / sizes[name]) for o in ours))
            print('| %s | %s | %.3f | %d | %.1f | %s | %s |' % (title, name, medians[name], sizes[name],
                                                            peaks[name] / 1e6, *ratios))
