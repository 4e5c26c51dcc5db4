#!/usr/bin/python3
"""Writes the small DNG files of tests/data/raw, as a camera lays them out.

cfa.dng: a 96 x 64 Bayer (RGGB) mosaic of 16-bit samples, black level 256 and white level
16383, in a sub-directory of IFD0; IFD0 itself holds a 48 x 32 JPEG preview of plain magenta,
as cameras keep a preview there. The camera's colours are linear sRGB (ColorMatrix1 is the
XYZ to linear sRGB matrix) seen through a white balance of 0.5, 1, 0.7 (AsShotNeutral).
linear.dng: a 48 x 32 demosaiced (LinearRaw) picture of three 16-bit samples in IFD0,
Orientation 6 (turned a quarter clockwise when shown).
samples/chart.dng: samples/chart.png as a linear DNG of 160 x 120 in a sub-directory, with the
preview in IFD0: demosaiced, as some cameras and converters store it, since the chart's
one-pixel lines are finer than a Bayer mosaic holds.
hostile/: cfa.dng cut short in its raw data, with sides that lie (4000 x 3000, and
20000 x 20000, past the decoding limits, over the same samples), and a DNG whose only
picture is the preview.

Run with the system's Python (Pillow writes the preview): /usr/bin/python3 make_dngs.py
"""
import io
import os
import struct

from PIL import Image

BYTE, ASCII, SHORT, LONG, RATIONAL, SRATIONAL = 1, 2, 3, 4, 5, 10
SIZES = {BYTE: 1, ASCII: 1, SHORT: 2, LONG: 4, RATIONAL: 8, SRATIONAL: 8}
FORMATS = {BYTE: "B", ASCII: "B", SHORT: "H", LONG: "I"}

XYZ_TO_SRGB = [3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570]
NEUTRAL = [0.5, 1.0, 0.7]
BLACK, WHITE = 256, 16383


def scene(x, y, w, h):
    """Linear sRGB: a grey ramp over the top half, coloured blocks below."""
    if y < h // 2:
        v = (x + 0.5) / w
        return (v, v, v)
    blocks = [(0.8, 0.1, 0.1), (0.1, 0.7, 0.1), (0.1, 0.1, 0.8), (0.8, 0.8, 0.1),
              (0.1, 0.7, 0.8), (0.9, 0.9, 0.9)]
    return blocks[x * len(blocks) // w]


def raw_value(linear, channel):
    return int(round(BLACK + linear * NEUTRAL[channel] * (WHITE - BLACK) * 0.9))


def rational(value, signed=False):
    return (int(round(value * 10000)), 10000)


class Ifd:
    def __init__(self):
        self.entries = {}

    def add(self, tag, kind, values):
        if kind == ASCII:
            values = list(values.encode() + b"\0")
        self.entries[tag] = (kind, values)


def value_bytes(kind, values):
    if kind in (RATIONAL, SRATIONAL):
        fmt = "<ii" if kind == SRATIONAL else "<II"
        return b"".join(struct.pack(fmt, *rational(v)) for v in values)
    return struct.pack("<%d%s" % (len(values), FORMATS[kind]), *values)


def layout(ifds, blobs):
    """The file: header, each IFD with its values after it, then the blobs (pixel data) last,
    so that a file cut short loses pixels and keeps its directories.

    ifds: list of (Ifd, [(tag, blob index)] to point at blobs, sub-IFD indices under 330).
    """
    for ifd, pointers, subs in ifds:  # placeholders, so that each IFD can be sized
        for tag, _ in pointers:
            ifd.add(tag, LONG, [0])
        if subs:
            ifd.add(330, LONG, [0] * len(subs))
    ifd_at, at = [], 8
    for ifd, _, _ in ifds:
        size = 2 + 12 * len(ifd.entries) + 4
        size += sum(len(value_bytes(k, v)) + 1 for k, v in ifd.entries.values())
        ifd_at.append(at)
        at += size + (size % 2)
    blob_at = []
    for blob in blobs:
        blob_at.append(at)
        at += len(blob) + (len(blob) % 2)
    out = bytearray(b"II*\0" + struct.pack("<I", ifd_at[0]))
    for i, (ifd, pointers, subs) in enumerate(ifds):
        for tag, index in pointers:
            ifd.add(tag, LONG, [blob_at[index]])
        if subs:
            ifd.add(330, LONG, [ifd_at[s] for s in subs])
        out += b"\0" * (ifd_at[i] - len(out))
        entries = sorted(ifd.entries.items())
        values_at = ifd_at[i] + 2 + 12 * len(entries) + 4
        body, tail = bytearray(struct.pack("<H", len(entries))), bytearray()
        for tag, (kind, values) in entries:
            data = value_bytes(kind, values)
            if len(data) <= 4:
                body += struct.pack("<HHI", tag, kind, len(values)) + data.ljust(4, b"\0")
            else:
                if (values_at + len(tail)) % 2:
                    tail += b"\0"
                body += struct.pack("<HHII", tag, kind, len(values), values_at + len(tail))
                tail += data
        out += body + struct.pack("<I", 0) + tail
    for i, blob in enumerate(blobs):
        out += b"\0" * (blob_at[i] - len(out)) + blob
    return bytes(out)


def camera_tags(ifd):
    ifd.add(271, ASCII, "Faltrix")
    ifd.add(272, ASCII, "Test camera")
    ifd.add(50706, BYTE, [1, 4, 0, 0])
    ifd.add(50707, BYTE, [1, 1, 0, 0])
    ifd.add(50708, ASCII, "Faltrix Test camera")
    ifd.add(50721, SRATIONAL, XYZ_TO_SRGB)
    ifd.add(50728, RATIONAL, NEUTRAL)
    ifd.add(50778, SHORT, [21])


def preview_ifd(jpeg, w, h):
    ifd = Ifd()
    ifd.add(254, LONG, [1])
    ifd.add(256, LONG, [w])
    ifd.add(257, LONG, [h])
    ifd.add(258, SHORT, [8, 8, 8])
    ifd.add(259, SHORT, [7])
    ifd.add(262, SHORT, [6])
    ifd.add(274, SHORT, [1])
    ifd.add(277, SHORT, [3])
    ifd.add(278, LONG, [h])
    ifd.add(279, LONG, [len(jpeg)])
    camera_tags(ifd)
    return ifd


def raw_ifd(w, h, samples, photometric, size_w=None, size_h=None):
    ifd = Ifd()
    ifd.add(254, LONG, [0])
    ifd.add(256, LONG, [size_w or w])
    ifd.add(257, LONG, [size_h or h])
    ifd.add(258, SHORT, [16] * samples)
    ifd.add(259, SHORT, [1])
    ifd.add(262, SHORT, [photometric])
    ifd.add(277, SHORT, [samples])
    ifd.add(278, LONG, [size_h or h])
    ifd.add(279, LONG, [w * h * samples * 2])
    ifd.add(284, SHORT, [1])
    ifd.add(50714, LONG, [BLACK])
    ifd.add(50717, LONG, [WHITE])
    return ifd


def mosaic(w, h, picture=scene):
    pattern = [[0, 1], [1, 2]]
    values = []
    for y in range(h):
        for x in range(w):
            c = pattern[y % 2][x % 2]
            values.append(raw_value(picture(x, y, w, h)[c], c))
    return struct.pack("<%dH" % len(values), *values)


def chart_scene(path):
    """samples/chart.png as the linear light a camera would have seen."""
    chart = Image.open(path).convert("RGB")

    def linear(v):
        v /= 255.0
        return v / 12.92 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4

    return lambda x, y, w, h: tuple(linear(v) for v in chart.getpixel((x, y)))


def preview_jpeg(w, h):
    out = io.BytesIO()
    Image.new("RGB", (w, h), (255, 0, 255)).save(out, "JPEG", quality=90)
    return out.getvalue()


def cfa_dng(size_w=None, size_h=None, w=96, h=64, picture=scene):
    jpeg = preview_jpeg(48, 32)
    raw = raw_ifd(w, h, 1, 32803, size_w, size_h)
    raw.add(33421, SHORT, [2, 2])
    raw.add(33422, BYTE, [0, 1, 1, 2])
    raw.add(50710, BYTE, [0, 1, 2])
    raw.add(50711, SHORT, [1])
    return layout([(preview_ifd(jpeg, 48, 32), [(273, 0)], [1]), (raw, [(273, 1)], [])],
                  [jpeg, mosaic(w, h, picture)])


def linear_dng(w=48, h=32, picture=scene, with_preview=False):
    values = []
    for y in range(h):
        for x in range(w):
            rgb = picture(x, y, w, h)
            values += [raw_value(rgb[c], c) for c in range(3)]
    samples = struct.pack("<%dH" % len(values), *values)
    ifd = raw_ifd(w, h, 3, 34892)
    if not with_preview:
        camera_tags(ifd)
        ifd.add(274, SHORT, [6])
        return layout([(ifd, [(273, 0)], [])], [samples])
    jpeg = preview_jpeg(48, 32)
    return layout([(preview_ifd(jpeg, 48, 32), [(273, 0)], [1]), (ifd, [(273, 1)], [])],
                  [jpeg, samples])


def preview_only_dng():
    jpeg = preview_jpeg(48, 32)
    return layout([(preview_ifd(jpeg, 48, 32), [(273, 0)], [])], [jpeg])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    cfa = cfa_dng()
    files = {
        "layouts/cfa.dng": cfa,
        "layouts/linear.dng": linear_dng(),
        "hostile/cut-short.dng": cfa[: len(cfa) * 2 // 3],
        "hostile/lying-size.dng": cfa_dng(4000, 3000),
        "hostile/bomb-20000x20000.dng": cfa_dng(20000, 20000),
        "hostile/preview-only.dng": preview_only_dng(),
    }
    samples = os.path.join(here, "..", "..", "..", "samples")
    files["../../../samples/chart.dng"] = linear_dng(
        160, 120, chart_scene(os.path.join(samples, "chart.png")), with_preview=True)
    for name, data in files.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
