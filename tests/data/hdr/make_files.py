#!/usr/bin/python3
"""Makes the OpenEXR and Radiance HDR fixtures of tests/data/exr and tests/data/hdr: pictures
written by ImageMagick and the OpenEXR tools, with references decoded by libvips (linear light
to sRGB), and files put together byte by byte here where no tool writes them (other
orientations, old run-length pixels, windows, float channels, hostile files).
Run from the repository's top folder: tests/data/hdr/make_files.py"""
import struct
import subprocess

EXR, HDR = "tests/data/exr/", "tests/data/hdr/"


def run(*args):
    subprocess.run(args, check=True)


def srgb8(v):
    v = min(max(v, 0.0), 1.0)
    s = 12.92 * v if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055
    return round(s * 255)


def write_pam(path, width, height, rgba):
    with open(path, "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
                % (width, height) + bytes(rgba))


def attribute(name, kind, value):
    return name + b"\0" + kind + b"\0" + struct.pack("<i", len(value)) + value


def exr(channels, data, display, rows, pixel_type=2):
    """An uncompressed scanline OpenEXR file: channels in alphabetical order, rows[y][x] a
    tuple of their values; pixel_type 1 half, 2 float."""
    chlist = b"".join(c.encode() + b"\0" + struct.pack("<iB3xii", pixel_type, 0, 1, 1)
                      for c in channels) + b"\0"
    header = (attribute(b"channels", b"chlist", chlist) +
              attribute(b"compression", b"compression", b"\0") +
              attribute(b"dataWindow", b"box2i", struct.pack("<4i", *data)) +
              attribute(b"displayWindow", b"box2i", struct.pack("<4i", *display)) +
              attribute(b"lineOrder", b"lineOrder", b"\0") +
              attribute(b"pixelAspectRatio", b"float", struct.pack("<f", 1)) +
              attribute(b"screenWindowCenter", b"v2f", struct.pack("<2f", 0, 0)) +
              attribute(b"screenWindowWidth", b"float", struct.pack("<f", 1)) + b"\0")
    fmt = "<" + ("e" if pixel_type == 1 else "f") * (data[2] - data[0] + 1)
    chunks = []
    for i, row in enumerate(rows):
        body = b"".join(struct.pack(fmt, *[p[c] for p in row]) for c in range(len(channels)))
        chunks.append(struct.pack("<ii", data[1] + i, len(body)) + body)
    start = 8 + len(header) + 8 * len(chunks)
    offsets = []
    for c in chunks:
        offsets.append(start)
        start += len(c)
    return (b"\x76\x2f\x31\x01\x02\0\0\0" + header + struct.pack("<%dQ" % len(offsets), *offsets)
            + b"".join(chunks))


def exr_files():
    run("convert", "-size", "48x32", "gradient:#ff0000-#0000ff", "(", "-size", "32x48",
        "gradient:#000000-#ffffff", "-rotate", "90", ")", "-compose", "multiply", "-composite",
        "-depth", "8", "/tmp/exr-source.png")
    run("convert", "/tmp/exr-source.png", "-compress", "zip", EXR + "layouts/im-half-zip.exr")
    run("exrmaketiled", "-z", "piz", "-t", "16", "16", EXR + "layouts/im-half-zip.exr",
        EXR + "layouts/tiled-piz.exr")
    run("convert", "/tmp/exr-source.png", "-define", "exr:color-type=Y",
        EXR + "layouts/im-luminance.exr")
    for name in ("im-half-zip", "tiled-piz", "im-luminance"):
        run("vips", "colourspace", EXR + "layouts/%s.exr" % name,
            EXR + "layouts/%s.expected.png" % name, "srgb")
    # Float B, G, R: a 6 x 5 data window from (-2, 1) in a 6 x 4 display window from (0, 0).
    values = [0.0, 0.05, 0.25, 0.5, 0.75, 1.0]
    rows = [[(values[(x + y) % 6], values[(x + 2 * y) % 6], values[(3 * x + y) % 6])
             for x in range(6)] for y in range(5)]
    with open(EXR + "layouts/float-windows.exr", "wb") as f:
        f.write(exr(["B", "G", "R"], (-2, 1, 3, 5), (0, 0, 5, 3), rows))
    rgba = []
    for y in range(4):
        for x in range(6):
            dx, dy = x + 2, y - 1
            if 0 <= dy < 5 and dx < 6:
                b, g, r = rows[dy][dx]
                rgba += [srgb8(r), srgb8(g), srgb8(b), 255]
            else:
                rgba += [0, 0, 0, 0]
    write_pam("/tmp/windows.pam", 6, 4, rgba)
    run("convert", "/tmp/windows.pam", EXR + "layouts/float-windows.expected.png")

    whole = open(EXR + "layouts/im-half-zip.exr", "rb").read()
    open(EXR + "hostile/cut-in-pixels.exr", "wb").write(whole[:len(whole) * 2 // 3])
    open(EXR + "hostile/garbage-after-the-magic-number.exr", "wb").write(whole[:8] + b"\x55" * 200)
    big = (0, 0, 99999, 99999)
    with open(EXR + "hostile/windows-100000x100000.exr", "wb") as f:
        f.write(exr(["B", "G", "R"], (0, 0, 5, 0), big, [[(0.5, 0.5, 0.5)] * 6]))
    run("convert", "/tmp/exr-source.png", "-define", "exr:color-type=YC",
        EXR + "hostile/luminance-chroma.exr")


def rgbe(r, g, b):
    """The RGBE pixel of a linear colour, as Radiance's setcolr makes it."""
    import math
    v = max(r, g, b)
    if v < 1e-32:
        return bytes(4)
    m, e = math.frexp(v)
    d = m * 256 / v
    return bytes([int(r * d), int(g * d), int(b * d), e + 128])


def hdr_files():
    run("convert", "/tmp/exr-source.png", HDR + "layouts/im-rle.hdr")
    run("convert", "/tmp/exr-source.png", "-resize", "5x4!", HDR + "layouts/im-narrow-flat.hdr")
    whole = open(HDR + "layouts/im-rle.hdr", "rb").read()
    header, _, pixels = whole.partition(b"\n\n")
    resolution, _, body = pixels.partition(b"\n")
    # The same picture read from the bottom row up, and as columns: flat scanlines.
    width, height = 48, 32
    rows = []
    source = body
    for y in range(height):  # each run-length coded row: 2 2 hi lo, then four components
        at = 4
        comps = []
        for c in range(4):
            out = []
            while len(out) < width:
                n = source[at]
                if n > 128:
                    out += [source[at + 1]] * (n - 128)
                    at += 2
                else:
                    out += list(source[at + 1:at + 1 + n])
                    at += 1 + n
            comps.append(out)
        rows.append([bytes(c[x] for c in comps) for x in range(width)])
        source = source[at:]
    up = b"".join(b"".join(rows[height - 1 - i]) for i in range(height))
    open(HDR + "layouts/bottom-up.hdr", "wb").write(
        header + b"\n\n+Y %d +X %d\n" % (height, width) + up)
    columns = b"".join(b"".join(rows[y][x] for y in range(height)) for x in range(width))
    open(HDR + "layouts/columns.hdr", "wb").write(
        header + b"\n\n+X %d -Y %d\n" % (width, height) + columns)
    # Old run-length pixels: a pixel then (1, 1, 1, n) for n more of it.
    old = (rgbe(0.5, 0.25, 0.125) + b"\x01\x01\x01\x0f" + rgbe(1.0, 0.0, 0.5) + b"\x01\x01\x01\x0f")
    open(HDR + "layouts/old-run-length.hdr", "wb").write(
        b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 16\n" + old)
    for name in ("im-rle", "im-narrow-flat", "old-run-length"):
        run("vips", "colourspace", HDR + "layouts/%s.hdr" % name,
            HDR + "layouts/%s.expected.png" % name, "srgb")

    open(HDR + "hostile/cut-in-scanlines.hdr", "wb").write(whole[:len(whole) // 2])
    start = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n"
    open(HDR + "hostile/resolution-100000x100000.hdr", "wb").write(
        start + b"-Y 100000 +X 100000\n" + b"\0" * 64)
    open(HDR + "hostile/resolution-of-an-unknown-axis.hdr", "wb").write(
        start + b"-Y 4 +Z 4\n" + b"\0" * 64)
    open(HDR + "hostile/xyze-pixels.hdr", "wb").write(
        b"#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 1 +X 1\n" + b"\0" * 4)
    open(HDR + "hostile/run-past-its-scanline.hdr", "wb").write(
        start + b"-Y 1 +X 8\n\x02\x02\x00\x08\xff\x01" + b"\0" * 24)
    open(HDR + "hostile/too-short-for-its-size.hdr", "wb").write(
        start + b"-Y 30000 +X 8\n" + b"\x02\x02\x00\x08\x88\x01\x88\x01\x88\x01\x88\x80")
    open(HDR + "hostile/header-line-over-4-kib.hdr", "wb").write(
        b"#?RADIANCE\n#" + b"x" * 5000 + b"\n\n-Y 1 +X 1\n" + bytes(4))


exr_files()
hdr_files()
