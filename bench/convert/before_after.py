#!/usr/bin/python3
# faltrix-convert of two builds side by side on the tasks of compare.sh, in interleaved rounds
# (A B, B A, ...) so that a change in the machine's load falls on both alike. Prints each task's
# median time for both and after / before (below 1: the second build is faster).
#   bench/convert/before_after.py BEFORE_BIN AFTER_BIN [ROUNDS] [TASK-SUBSTRING]
# The pictures (made with Pillow as compare.sh makes them) are kept in $TMPDIR/faltrix-before-after.
import os, statistics, subprocess, sys, tempfile, time
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_tools import photo_like  # noqa: E402

before, after = sys.argv[1], sys.argv[2]
reps = int(sys.argv[3]) if len(sys.argv) > 3 else 3
only = sys.argv[4] if len(sys.argv) > 4 else ''
work = os.path.join(tempfile.gettempdir(), 'faltrix-before-after')
os.makedirs(work, exist_ok=True)
W, H = 6000, 4000
BW, BH = 1600, 1200
COUNT = 50
SW, SH = W // 4, H // 4


big_jpg = os.path.join(work, 'photo.jpg')
big_png = os.path.join(work, 'photo.png')
batch_dir = os.path.join(work, 'batch')
if not os.path.exists(big_png):
    big = photo_like(W, H)
    big.save(big_jpg, quality=90)
    big.save(big_png)
    os.makedirs(batch_dir, exist_ok=True)
    for i in range(COUNT):
        x, y = (i * 97) % (W - BW), (i * 61) % (H - BH)
        big.crop((x, y, x + BW, y + BH)).save(os.path.join(batch_dir, 'p%02d.jpg' % i), quality=90)
batch = sorted(os.path.join(batch_dir, f) for f in os.listdir(batch_dir))
out = lambda name: os.path.join(work, name)
os.makedirs(out('out'), exist_ok=True)
tasks = [
    ('JPEG -> PNG 6000x4000', lambda c: [c, '-q', '--overwrite', big_jpg, '-o', out('a.png')]),
    ('PNG -> JPEG 6000x4000', lambda c: [c, '-q', '--overwrite', big_png, '-o', out('a.jpg')]),
    ('JPEG -> JPEG 1500x1000 -a', lambda c: [c, '-q', '--overwrite', '-a', '-W', str(SW), '-H', str(SH), big_jpg,
                                             '-o', out('s.jpg')]),
    ('batch 50 JPEG -> PNG -j 2', lambda c: [c, '-q', '--overwrite', '-j', '2', '-f', 'png', '-o', out('out')] + batch),
]
tasks = [t for t in tasks if only in t[0]]
times = {}
for r in range(reps):
    for name, command in tasks:
        sides = (('before', before), ('after', after))
        for side, binary in (sides if r % 2 == 0 else sides[::-1]):
            start = time.perf_counter()
            subprocess.run(command(binary), check=True)
            times.setdefault((name, side), []).append(time.perf_counter() - start)
print('%-28s %9s %9s %7s' % ('task', 'before s', 'after s', 'ratio'))
for name, _ in tasks:
    b = statistics.median(times[(name, 'before')])
    a = statistics.median(times[(name, 'after')])
    print('%-28s %9.3f %9.3f %7.3f' % (name, b, a, a / b))
