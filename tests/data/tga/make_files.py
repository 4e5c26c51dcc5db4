#!/usr/bin/python3
"""Makes the TGA files of layouts/ and hostile/ (see ../README.md): run from this folder with
Debian's python3 (Pillow), ImageMagick 6 and netpbm installed. References are the pictures
as Pillow or netpbm's tgatoppm decode the files, or, for the files made by hand here, the
picture they were made from."""
import struct, subprocess
from PIL import Image

L, H = 'layouts/', 'hostile/'
chart = Image.open('../../../samples/chart.png').convert('RGB').resize((31, 23))
alpha = Image.linear_gradient('L').resize((31, 23)).point(lambda v: 128 + v // 2)
rgba = chart.copy()
rgba.putalpha(alpha)
refs = []


def pillow(name, image, bits, tolerance=0, **options):
    image.save(L + name, **options)
    Image.open(L + name).save(L + name.replace('.tga', '.expected.png'))
    refs.append('%s %s %d max %d' % (name, name.replace('.tga', '.expected.png'), bits, tolerance))


def shell(command):
    subprocess.run(command, shell=True, check=True)


def header(kind, width, height, bits, descriptor, map_type=0, first=0, length=0, map_bits=0, ident=b''):
    return struct.pack('<BBBHHBHHHHBB', len(ident), map_type, kind, first, length, map_bits, 0, 0,
                       width, height, bits, descriptor) + ident


def footer(extension_at, attribute_type):
    area = struct.pack('<H', 495) + bytes(492) + bytes([attribute_type])
    return area + struct.pack('<II', extension_at, 0) + b'TRUEVISION-XFILE.\0'


def by_hand(name, data, expected, bits, tolerance=0):
    open(L + name, 'wb').write(data)
    expected.save(L + name.replace('.tga', '.expected.png'))
    refs.append('%s %s %d max %d' % (name, name.replace('.tga', '.expected.png'), bits, tolerance))


pillow('pillow-24-rle-bottom-left.tga', chart, 24, rle=True)
pillow('pillow-32-alpha-top-left.tga', rgba, 32, orientation=1)
pillow('pillow-grey-8.tga', chart.convert('L'), 8)
pillow('pillow-grey-alpha-16-rle.tga', rgba.convert('LA'), 32, rle=True)
pillow('pillow-colour-mapped.tga', chart.convert('P'), 8, id_section=b'picture ID, skipped')
# ImageMagick 6 writes the top row first but marks the origin bottom left (and reads its own
# files so); Pillow and netpbm follow the origin bits, as we do.
rgba.save('/tmp/tga-source.png')
shell('convert /tmp/tga-source.png -compress RLE %simagemagick-32-alpha-rle.tga' % L)
Image.open(L + 'imagemagick-32-alpha-rle.tga').save(L + 'imagemagick-32-alpha-rle.expected.png')
refs.append('imagemagick-32-alpha-rle.tga imagemagick-32-alpha-rle.expected.png 32 max 0')
chart.save('/tmp/tga-source.ppm')
for name, command in (('netpbm-colour-mapped-rle.tga', 'pnmquant 256 /tmp/tga-source.ppm | ppmtotga -cmap'),
                      ('netpbm-grey.tga', 'ppmtopgm /tmp/tga-source.ppm | ppmtotga -mono -norle')):
    shell('%s > %s%s 2>/dev/null' % (command, L, name))
    expected = name.replace('.tga', '.expected.png')
    shell('tgatoppm %s%s | pnmtopng > %s%s' % (L, name, L, expected))
    refs.append('%s %s 8 max 0' % (name, expected))

# 16-bit 5-5-5 with one attribute (alpha) bit, top-left origin.
px = chart.load()
data, expected = bytearray(), Image.new('RGBA', chart.size)
for y in range(23):
    for x in range(31):
        r, g, b = (v >> 3 for v in px[x, y])
        a = 1 if x % 4 else 0
        data += struct.pack('<H', a << 15 | r << 10 | g << 5 | b)
        expected.putpixel((x, y), tuple((v << 3 | v >> 2) for v in (r, g, b)) + (255 * a,))
by_hand('hand-16-bit-alpha-bit-top-left.tga', header(2, 31, 23, 16, 0x21) + data, expected, 32, 1)
# Right to left, top row first: each row's pixels stored mirrored.
data = bytearray()
for y in range(23):
    for x in reversed(range(31)):
        data += bytes(reversed(px[x, y]))
by_hand('hand-24-right-to-left-top-left.tga', header(2, 31, 23, 24, 0x30) + data, chart, 24)
# Premultiplied alpha, said by the extension area's attribute type 4.
qx, data = rgba.load(), bytearray()
for y in reversed(range(23)):
    for x in range(31):
        r, g, b, a = qx[x, y]
        data += bytes([(b * a + 127) // 255, (g * a + 127) // 255, (r * a + 127) // 255, a])
head = header(2, 31, 23, 32, 8)
by_hand('hand-32-premultiplied-footer.tga', head + data + footer(len(head) + len(data), 4), rgba, 32, 2)
# 32 bits with attribute bits, but the extension area says the alpha is of no use.
by_hand('hand-32-alpha-unused-footer.tga', head + data + footer(len(head) + len(data), 2),
        Image.frombytes('RGB', (31, 23), bytes(v for y in range(23) for x in range(31)
                                                 for v in [(c * qx[x, y][3] + 127) // 255 for c in qx[x, y][:3]])), 24)
# Colour-mapped RLE with 16-bit map entries starting at index 16, runs across rows.
colours = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]
cmap = b''.join(struct.pack('<H', (r >> 3) << 10 | (g >> 3) << 5 | b >> 3) for r, g, b in colours)
data = bytearray()
for k in range(31 * 23 // 100 + 1):
    count = min(100, 31 * 23 - 100 * k)
    while count:
        n = min(count, 128)
        data += bytes([0x80 | (n - 1), 16 + k % 4])
        count -= n
expected = Image.new('RGB', (31, 23))
for i in range(31 * 23):
    expected.putpixel((i % 31, 22 - i // 31), colours[(i // 100) % 4])
by_hand('hand-colour-mapped-rle-16-bit-entries.tga',
        header(9, 31, 23, 8, 0, 1, 16, 4, 16) + cmap + data, expected, 8)
open(L + 'references.txt', 'w').write('\n'.join(refs) + '\n')

# Hostile files, each named after its defect.
good = header(2, 31, 23, 24, 0) + bytes(31 * 23 * 3)
stages = {
    'zero-bytes.tga': (b'', 'signature'),
    'truncated-header.tga': (good[:10], 'signature'),
    'zero-width.tga': (header(2, 0, 23, 24, 0) + bytes(100), 'signature'),
    'unknown-type-4.tga': (header(4, 31, 23, 24, 0) + bytes(31 * 23 * 3), 'signature'),
    'grey-of-24-bits.tga': (header(3, 31, 23, 24, 0) + bytes(31 * 23 * 3), 'signature'),
    'colour-map-type-2.tga': (header(2, 31, 23, 24, 0, 2) + bytes(31 * 23 * 3), 'signature'),
    'colour-mapped-without-a-map.tga': (header(1, 31, 23, 8, 0) + bytes(31 * 23), 'signature'),
    'raw-pixels-cut-short.tga': (good[:-40], 'signature TGA: the file is too short for what its header names'),
    'rle-packet-past-the-end.tga': (header(10, 2, 2, 24, 0) + bytes([0x84, 1, 2, 3]),
                                    'dib TGA: the run-length data is damaged or cut short at row 1'),
    'rle-cut-short.tga': (header(10, 31, 23, 24, 0) + bytes([0xFF, 1, 2, 3]) * 5 + bytes([0x7F, 1, 2, 3]),
                          'dib TGA: the run-length data is damaged or cut short at row 21'),
    'bomb-65535x65535-rle.tga': (header(10, 65535, 65535, 24, 0) + bytes([0xFF, 1, 2, 3]) * 4,
                                 'signature TGA: the file is too short for what its header names'),
}
for name, (data, stage) in stages.items():
    open(H + name, 'wb').write(data)
open(H + 'stages.txt', 'w').write(''.join('%s %s\n' % (n, s) for n, (_, s) in stages.items()))
