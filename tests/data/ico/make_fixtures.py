#!/usr/bin/python3
# Makes the ICO and CUR test files of layouts/ and hostile/ (run from this folder, with
# Debian's python3-pil and ImageMagick 6's convert). The references are Pillow's decoding of
# the entry Pillow shows for each file: the largest, the deepest of that size.
import io, struct, subprocess, zlib
from PIL import Image, ImageDraw

def chart(side, alpha=True):
    im = Image.new('RGBA', (side, side))
    for y in range(side):
        for x in range(side):
            a = 255 if not alpha or x < side * 5 // 6 else (side - x) * 255 // (side // 6 + 1)
            im.putpixel((x, y), (x * 255 // side, y * 255 // side, 128, a))
    d = ImageDraw.Draw(im)
    d.ellipse((side // 5, side // 5, side * 3 // 5, side * 3 // 5), fill=(250, 200, 20, 128 if alpha else 255))
    if alpha:
        d.rectangle((0, 0, side // 6, side // 6), fill=(0, 0, 0, 0))
    return im

def directory(kind, entries):  # entries: (width byte, height byte, planes, bits, data)
    head = struct.pack('<HHH', 0, kind, len(entries))
    offset, body = 6 + 16 * len(entries), b''
    for w, h, planes, bits, data in entries:
        head += struct.pack('<BBBBHHII', w & 255, h & 255, 0, 0, planes, bits, len(data), offset + len(body))
        body += data
    return head + body

def bmp_entry(im, mode, mask):
    # Pillow's BMP writer gives the colour rows; the height is doubled and the AND mask added.
    buf = io.BytesIO()
    im.convert(mode).save(buf, 'BMP')
    data = bytearray(buf.getvalue()[14:])
    w, h = im.size
    struct.pack_into('<i', data, 8, 2 * h)
    stride = (w + 31) // 32 * 4
    rows = b''
    for y in reversed(range(h)):
        row = bytearray(stride)
        for x in range(w):
            if mask(x, y):
                row[x // 8] |= 0x80 >> (x % 8)
        rows += row
    return bytes(data) + rows

def reference(name):
    with Image.open('layouts/' + name) as im:
        im.convert('RGBA').save('layouts/' + name.rsplit('.', 1)[0] + '.expected.png')

def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)

# ---- Layouts ------------------------------------------------------------------------------
chart(48).save('/tmp/ico-chart48.png')
subprocess.run(['convert', '/tmp/ico-chart48.png', '-define', 'icon:auto-resize=48,32,16',
                'layouts/imagemagick-48-32-16.ico'], check=True)
subprocess.run(['convert', '/tmp/ico-chart48.png', 'layouts/imagemagick-cursor.cur'], check=True)
opaque = chart(40, alpha=False).convert('RGB')
opaque.quantize(16).save('/tmp/ico-16.png')
subprocess.run(['convert', '/tmp/ico-16.png', 'layouts/imagemagick-4-bit.ico'], check=True)
opaque.quantize(2).save('/tmp/ico-2.png')
subprocess.run(['convert', '/tmp/ico-2.png', 'layouts/imagemagick-1-bit.ico'], check=True)
big = Image.new('RGBA', (256, 256), (0, 0, 0, 0))
ImageDraw.Draw(big).ellipse((16, 16, 240, 240), fill=(30, 90, 200, 255))
ImageDraw.Draw(big).rectangle((96, 96, 160, 160), fill=(255, 255, 255, 100))
big.save('layouts/pillow-png-256-and-32.ico', sizes=[(256, 256), (32, 32)])
ring = lambda x, y: (x - 20) ** 2 + (y - 14) ** 2 > 150
small = chart(40, alpha=False).resize((40, 28))
write('layouts/pillow-bmp-8-bit-mask.ico',
      directory(1, [(40, 28, 1, 8, bmp_entry(small.convert('RGB').quantize(200), 'P', ring))]))
write('layouts/pillow-bmp-24-bit-mask.ico',
      directory(1, [(40, 28, 1, 24, bmp_entry(small, 'RGB', ring))]))
# 16 bits (5-5-5), which neither peer writes: the rows made here from the picture's top bits.
def bmp16_entry(im, mask):
    w, h = im.size
    stride = (w * 2 + 3) // 4 * 4
    rows = b''
    for y in reversed(range(h)):
        row = bytearray(stride)
        for x in range(w):
            r, g, b = im.getpixel((x, y))[:3]
            struct.pack_into('<H', row, 2 * x, (r >> 3) << 10 | (g >> 3) << 5 | b >> 3)
        rows += row
    head = struct.pack('<IiiHHIIiiII', 40, w, 2 * h, 1, 16, 0, 0, 0, 0, 0, 0)
    return head + rows + bmp_entry(im, 'RGB', mask)[40 + ((w * 3 + 3) // 4 * 4) * h:]
write('layouts/sixteen-bit-mask.ico', directory(1, [(40, 28, 1, 16, bmp16_entry(small, ring))]))
# The directory says 0 x 0 (256) and 16 bits; the entry's own header says 40 x 28 at 8 bits.
write('layouts/directory-size-wrong.ico',
      directory(1, [(0, 0, 1, 16, bmp_entry(small.convert('RGB').quantize(200), 'P', ring))]))
# Two entries of one size: the 8-bit one first, the 32-bit one (chosen) second.
write('layouts/same-size-deepest-chosen.ico',
      directory(1, [(40, 28, 1, 8, bmp_entry(small.convert('RGB').quantize(200), 'P', ring)),
                    (40, 28, 1, 32, bmp_entry(small.convert('RGBA'), 'RGBA', lambda x, y: False))]))
for name in ['imagemagick-48-32-16.ico', 'imagemagick-cursor.cur', 'imagemagick-4-bit.ico',
             'imagemagick-1-bit.ico', 'pillow-png-256-and-32.ico', 'pillow-bmp-8-bit-mask.ico',
             'pillow-bmp-24-bit-mask.ico', 'sixteen-bit-mask.ico', 'directory-size-wrong.ico', 'same-size-deepest-chosen.ico']:
    reference(name)

# ---- Hostile files ------------------------------------------------------------------------
good = open('layouts/imagemagick-4-bit.ico', 'rb').read()
write('hostile/zero-bytes.ico', b'')
write('hostile/garbage.ico', b'\0\0\1\0' + bytes(range(200)))
write('hostile/no-entries.ico', struct.pack('<HHH', 0, 1, 0))
write('hostile/directory-cut-short.ico', good[:6 + 8])
write('hostile/entry-offset-past-the-end.ico', good[:18] + struct.pack('<I', 99999) + good[22:])
write('hostile/pixels-cut-short.ico', good[:len(good) - 400])
header = bytearray(good[22:62])
struct.pack_into('<ii', header, 4, 100000, 200000)
write('hostile/width-100000.ico', directory(1, [(0, 0, 1, 4, bytes(header) + bytes(64))]))
struct.pack_into('<iiHH', header, 4, 16, 32, 1, 7)
write('hostile/bit-count-7.ico', directory(1, [(16, 16, 1, 7, bytes(header) + bytes(512))]))
# A PNG entry whose header claims 65535 x 65535 pixels over a few bytes of data.
ihdr = struct.pack('>IIBBBBB', 65535, 65535, 8, 6, 0, 0, 0)
png = (b'\x89PNG\r\n\x1a\n' + struct.pack('>I', 13) + b'IHDR' + ihdr +
       struct.pack('>I', zlib.crc32(b'IHDR' + ihdr)) + bytes(40))
write('hostile/png-bomb-65535.ico', directory(1, [(0, 0, 1, 32, png)]))
png = bytearray(open('layouts/pillow-png-256-and-32.ico', 'rb').read())
first = struct.unpack('<I', png[34:38])[0]  # the 256-pixel entry
png[first + 80:first + 120] = bytes(40)  # inside its IDAT
write('hostile/png-entry-damaged.ico', bytes(png))
