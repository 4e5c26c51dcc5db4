#!/usr/bin/python3
"""Writes the old-style JPEG TIFFs (Compression 6) of layouts/: no common tool writes them
any more, so they are put together here from baseline JPEG streams that Pillow encodes.

  old-style-jpeg-strips.tif  one strip; JPEGInterchangeFormat points to a whole JPEG stream
                             (SOI to EOI) whose entropy-coded data the strip is, as scanners
                             and early Windows writers stored it
  old-style-jpeg-tiles.tif   two tiles of 64 x 32, one above the other, each the entropy-coded
                             data of its own JPEG stream; the tables are in JPEGQTables,
                             JPEGDCTables and JPEGACTables, with no interchange format.
                             libtiff reads such data as one JPEG picture of the tiles' width
                             with a restart between tiles, so the tiles span the width: a
                             grid of tiles side by side it cannot read, nor can Pillow

Both are YCbCr sampled 2 x 2, little-endian. The reference pictures beside them are the JPEG
streams as libjpeg (through Pillow) decodes them. Run it from this folder, with Pillow
(Debian: python3-pil):
python3 make_old_style_jpeg.py
"""
import io
import struct

from PIL import Image

W, H, TILE_W, TILE_H = 64, 64, 64, 32


def picture():
    """Colour ramps that cross: every channel moves, so a YCbCr mistake shows."""
    im = Image.new("RGB", (W, H))
    im.putdata([(x * 4, y * 4, 255 - (x + y) * 2) for y in range(H) for x in range(W)])
    return im


def jpeg(im):
    out = io.BytesIO()
    im.save(out, "JPEG", quality=90, subsampling=2, optimize=False)  # 2: 4:2:0
    return out.getvalue()


def segments(stream):
    """(marker, payload) of each segment before the scan, then the entropy-coded data."""
    at, found = 2, []
    while True:
        marker = stream[at + 1]
        size = struct.unpack(">H", stream[at + 2:at + 4])[0]
        found.append((marker, stream[at + 4:at + 2 + size]))
        at += 2 + size
        if marker == 0xDA:  # SOS: the scan follows up to EOI
            return found, at, stream[at:stream.rindex(b"\xff\xd9")]


def tables(found):
    """The quantisation table of each id, and the Huffman tables of each class and id."""
    q, huff = {}, {}
    for marker, p in found:
        if marker == 0xDB:
            i = 0
            while i < len(p):
                q[p[i] & 15] = p[i + 1:i + 65]
                i += 65
        elif marker == 0xC4:
            i = 0
            while i < len(p):
                n = sum(p[i + 1:i + 17])
                huff[(p[i] >> 4, p[i] & 15)] = p[i + 1:i + 17 + n]
                i += 17 + n
    return q, huff


class Tiff:
    """A little-endian TIFF of one directory; values past four bytes go after the data."""

    def __init__(self):
        self.data = bytearray(b"II*\0\0\0\0\0")
        self.entries = []

    def put(self, blob):
        if len(self.data) % 2:
            self.data += b"\0"
        at = len(self.data)
        self.data += blob
        return at

    def tag(self, tag, kind, values):
        self.entries.append((tag, kind, values))

    def write(self, path):
        sizes = {3: "H", 4: "I", 5: "II"}
        dir_at = self.put(b"")
        extra = dir_at + 2 + 12 * len(self.entries) + 4
        body, tail = b"", b""
        for tag, kind, values in sorted(self.entries):
            fmt = "<" + sizes[kind] * len(values) if kind != 5 else "<" + "I" * len(values)
            value = struct.pack(fmt, *values)
            if len(value) <= 4:
                field = value.ljust(4, b"\0")
            else:
                field = struct.pack("<I", extra + len(tail))
                tail += value
            count = len(values) // 2 if kind == 5 else len(values)
            body += struct.pack("<HHI", tag, kind, count) + field
        self.data += struct.pack("<H", len(self.entries)) + body + b"\0\0\0\0" + tail
        self.data[4:8] = struct.pack("<I", dir_at)
        open(path, "wb").write(self.data)


def common(t):
    t.tag(256, 3, [W])
    t.tag(257, 3, [H])
    t.tag(258, 3, [8, 8, 8])
    t.tag(259, 3, [6])  # old-style JPEG
    t.tag(262, 3, [6])  # YCbCr
    t.tag(277, 3, [3])
    t.tag(284, 3, [1])
    t.tag(512, 3, [1])  # JPEGProc: baseline
    t.tag(530, 3, [2, 2])  # YCbCrSubsampling


def strips():
    im = picture()
    stream = jpeg(im)
    t = Tiff()
    at = t.put(stream)
    _, scan_at, scan = segments(stream)
    common(t)
    t.tag(273, 4, [at + scan_at])
    t.tag(278, 3, [H])
    t.tag(279, 4, [len(scan)])
    t.tag(513, 4, [at])
    t.tag(514, 4, [len(stream)])
    t.write("layouts/old-style-jpeg-strips.tif")
    Image.open(io.BytesIO(stream)).save("layouts/old-style-jpeg-strips.expected.png")


def tiles():
    im = picture()
    t = Tiff()
    offsets, counts, decoded = [], [], Image.new("RGB", (W, H))
    q = huff = None
    for y in range(0, H, TILE_H):
        for x in range(0, W, TILE_W):
            stream = jpeg(im.crop((x, y, x + TILE_W, y + TILE_H)))
            found, _, scan = segments(stream)
            q, huff = tables(found)  # the same for every tile: same quality, standard tables
            offsets.append(t.put(scan))
            counts.append(len(scan))
            decoded.paste(Image.open(io.BytesIO(stream)), (x, y))
    qt = [t.put(q[0]), t.put(q[1])]
    dc = [t.put(huff[(0, 0)]), t.put(huff[(0, 1)])]
    ac = [t.put(huff[(1, 0)]), t.put(huff[(1, 1)])]
    common(t)
    t.tag(322, 3, [TILE_W])
    t.tag(323, 3, [TILE_H])
    t.tag(324, 4, offsets)
    t.tag(325, 4, counts)
    t.tag(519, 4, [qt[0], qt[1], qt[1]])
    t.tag(520, 4, [dc[0], dc[1], dc[1]])
    t.tag(521, 4, [ac[0], ac[1], ac[1]])
    t.write("layouts/old-style-jpeg-tiles.tif")
    decoded.save("layouts/old-style-jpeg-tiles.expected.png")


strips()
tiles()
