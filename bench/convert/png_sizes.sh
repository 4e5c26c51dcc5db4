#!/usr/bin/env bash
# PNG file sizes per picture: faltrix-convert at its default level (or the one given) against
# zlib's default level 6 on the rows exactly as our filters leave them, and against Pillow's
# default (its own filters and zlib 6), on the photos, screenshots and charts png_pictures.py
# makes (ten of each, the same pixels on every run).
#
# "zlib 6, our filters" is our level 1 file (filters chosen per row, no other trials) with its
# pixel data inflated and deflated again by zlib at level 6 into one IDAT chunk: the file a
# zlib-based writer with our filters would write.
#
# Prints a table per picture and the totals per kind, each with faltrix's size as a share of the
# other two (below 1: faltrix smaller), and the largest share of each kind.
#
# Usage: bench/convert/png_sizes.sh [BUILD_DIR] [LEVEL]
#   BUILD_DIR  a build with faltrix-convert and its plug-ins (default: build/release)
#   LEVEL      faltrix's PNG compression level (default: the plug-in's default)
# Needs the Debian package python3-pil (for the benchmark only).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/release}
level=${2:-}
converter=$build/bin/faltrix-convert
[ -x "$converter" ] || { echo "no faltrix-convert in $build/bin (build it first)" >&2; exit 1; }
python=/usr/bin/python3
"$python" -c 'import PIL' 2>/dev/null || { echo "skipped: no Pillow (apt-get install python3-pil)" >&2; exit 0; }

work=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-pngsizes.XXXXXX")
trap 'rm -rf "$work"' EXIT

FALTRIX_BENCH_DIR=$here "$python" - "$converter" "$work" "$level" <<'PYTHON'
import os, struct, subprocess, sys, zlib
sys.path.insert(0, os.environ['FALTRIX_BENCH_DIR'])
from png_pictures import KINDS, pictures

converter, work, level = sys.argv[1:4]


def chunks(data):
    pos = 8
    while pos < len(data):
        size, name = struct.unpack('>I4s', data[pos:pos + 8])
        yield name, data[pos + 8:pos + 8 + size]
        pos += 12 + size


def chunk(name, body):
    return struct.pack('>I', len(body)) + name + body + struct.pack('>I', zlib.crc32(name + body))


def recompressed(path):
    """The file with its pixel data deflated again by zlib 6, as one IDAT chunk."""
    data = open(path, 'rb').read()
    head, idat = data[:8], b''
    for name, body in chunks(data):
        if name == b'IDAT':
            idat += body
        elif name != b'IEND':
            head += chunk(name, body)
    return len(head + chunk(b'IDAT', zlib.compress(zlib.decompress(idat), 6)) + chunk(b'IEND', b''))


def faltrix(source, target, option):
    subprocess.run([converter, '-q', '--overwrite'] + option + [source, '-o', target], check=True)
    return target


print('making and compressing the pictures ...', file=sys.stderr)
rows = []
for name, picture in pictures():
    source = os.path.join(work, name + '.png')
    picture.save(source, compress_level=1)
    ours = os.path.getsize(faltrix(source, os.path.join(work, name + '-ours.png'),
                                   ['--compression', level] if level else []))
    zlib6 = recompressed(faltrix(source, os.path.join(work, name + '-l1.png'), ['--compression', '1']))
    pillow_path = os.path.join(work, name + '-pillow.png')
    picture.save(pillow_path)
    rows.append((name, picture.size, ours, zlib6, os.path.getsize(pillow_path)))

print('\nfaltrix at %s; shares = faltrix / other (below 1: faltrix smaller)\n'
      % ('level ' + level if level else 'its default level'))
print('| picture | size | faltrix bytes | zlib 6, our filters | Pillow default | / zlib 6 | / Pillow |')
print('|---|---|---:|---:|---:|---:|---:|')
for name, (w, h), ours, z6, pil in rows:
    print('| %s | %d x %d | %d | %d | %d | %.3f | %.3f |' % (name, w, h, ours, z6, pil, ours / z6, ours / pil))
print('\n| kind | faltrix bytes | zlib 6, our filters | Pillow default | / zlib 6 | / Pillow | largest / zlib 6 | largest / Pillow |')
print('|---|---:|---:|---:|---:|---:|---:|---:|')
for kind in KINDS:
    mine = [r for r in rows if r[0].startswith(kind)]
    ours, z6, pil = (sum(r[i] for r in mine) for i in (2, 3, 4))
    print('| %s | %d | %d | %d | %.3f | %.3f | %.3f | %.3f |' % (
        kind, ours, z6, pil, ours / z6, ours / pil,
        max(r[2] / r[3] for r in mine), max(r[2] / r[4] for r in mine)))
PYTHON
