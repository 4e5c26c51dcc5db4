#!/usr/bin/python3
"""Pictures deeper than 8 bits through faltrix-convert, judged sample by sample.

16-bit PNGs (grey, grey with alpha, RGB, RGBA) are written here, converted to PNG, TIFF and
lossless JPEG XL and back to PNG, and must come back exact; a resize must stay 16-bit with
values no 8-bit value widened gives; a JPEG output is reduced with a notice. A 10-bit AVIF
made by avifenc must read within one 10-bit step of avifdec's own 16-bit decoding, and a
16-bit PNG must become a 12-bit AVIF. Needs nothing but Python's zlib; the AVIF and JPEG XL
rows are skipped without avifenc/avifdec and djxl.

    deep_test.py FALTRIX_CONVERT
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

CONVERT = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="faltrix-deep-")
CHANNELS = {0: 1, 4: 2, 2: 3, 6: 4}  # PNG colour type -> channels
failures = []


def write_png(path, width, height, colour_type, sample):
    """A 16-bit PNG whose sample (x, y, c) is sample(x, y, c)."""
    n = CHANNELS[colour_type]
    raw = b"".join(b"\0" + b"".join(struct.pack(">H", sample(x, y, c)) for x in range(width)
                                    for c in range(n)) for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" +
                chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, colour_type, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def read_png(path):
    """(width, height, bit depth, channels, rows of samples) of a non-interlaced PNG."""
    data = open(path, "rb").read()
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour_type = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    n = CHANNELS[colour_type]
    bpp = n * depth // 8
    stride = width * bpp
    raw, rows, prior = zlib.decompress(idat), [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prior[i], prior[i - bpp] if i >= bpp else 0
            p = a + b - c
            predictor = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else (
                b if abs(p - b) <= abs(p - c) else c)
            line[i] = (line[i] + (0, a, b, (a + b) // 2, predictor)[kind]) & 255
        rows.append(list(struct.unpack(">%dH" % (stride // 2), line)) if depth == 16 else list(line))
        prior = line
    return width, height, depth, n, rows


def convert(source, target, *options):
    run = subprocess.run([CONVERT, "--overwrite", *options, source, "-o", target],
                         capture_output=True, text=True)
    if run.returncode != 0:
        failures.append(f"{source} -> {target}: {run.stderr.strip()}")
    return run


def check(what, condition):
    if not condition:
        failures.append(what)


def ramp(x, y, c):
    """Odd steps over the whole range, so that no value is an 8-bit value widened."""
    return (x * 1021 + y * 613 + c * 9973 + 7) % 65536


def round_trips():
    for colour_type, n in CHANNELS.items():
        source = os.path.join(WORK, f"deep-{n}.png")
        write_png(source, 40, 24, colour_type, ramp)
        want = read_png(source)[4]
        chains = [["png"], ["tif"]]
        if shutil.which("djxl"):
            chains.append(["jxl"])
        for chain in chains:
            out = os.path.join(WORK, f"deep-{n}.{chain[0]}")
            options = ["--option", "lossless=1"] if chain[0] == "jxl" else []
            if convert(source, out, *options).returncode != 0:
                continue
            back = os.path.join(WORK, f"deep-{n}-{chain[0]}.png")
            if chain[0] == "jxl":
                subprocess.run(["djxl", out, back, "--bits_per_sample=16"], capture_output=True)
            elif convert(out, back).returncode != 0:
                continue
            width, height, depth, channels, rows = read_png(back)
            check(f"{n} channels through {chain[0]}: {depth}-bit, {channels} channels",
                  (depth, channels) == (16, n))
            check(f"{n} channels through {chain[0]}: samples differ", rows == want)


def resize_and_reduce():
    source = os.path.join(WORK, "deep-resize.png")
    write_png(source, 64, 32, 2, ramp)
    half = os.path.join(WORK, "deep-half.png")
    convert(source, half, "-W", "32")
    width, height, depth, _, rows = read_png(half)
    # Lanczos rings past the ends of the ramp: 0 and 65535 are clamped, not widened.
    widened = sum(v % 257 == 0 and 0 < v < 65535 for row in rows for v in row)
    check(f"resized: {width} x {height}, {depth}-bit, {widened} widened 8-bit values",
          (width, height, depth) == (32, 16, 16) and widened < 8)
    jpeg = os.path.join(WORK, "deep.jpg")
    run = convert(source, jpeg)
    check("a JPEG is reduced with a notice: " + run.stderr,
          "reduced 16 to 8 bits per sample" in run.stderr)


def avif():
    if not shutil.which("avifenc") or not shutil.which("avifdec"):
        return
    source = os.path.join(WORK, "deep-avif.png")
    write_png(source, 48, 32, 2, lambda x, y, c: (x * 1300 + y * 700 + c * 20000) % 65536)
    ten = os.path.join(WORK, "ten.avif")
    subprocess.run(["avifenc", "-d", "10", "-l", source, ten], capture_output=True)
    ours, theirs = os.path.join(WORK, "ten-ours.png"), os.path.join(WORK, "ten-theirs.png")
    if convert(ten, ours).returncode == 0:
        subprocess.run(["avifdec", "-d", "16", ten, theirs], capture_output=True)
        a, b = read_png(ours)[4], read_png(theirs)[4]
        step = 65535 // 1023 + 1
        worst = max(abs(p - q) for ra, rb in zip(a, b) for p, q in zip(ra, rb))
        check(f"10-bit AVIF: {worst} from avifdec's samples", read_png(ours)[2] == 16 and worst <= step)
    twelve = os.path.join(WORK, "twelve.avif")
    if convert(source, twelve).returncode == 0:
        info = subprocess.run(["avifdec", "--info", twelve], capture_output=True, text=True).stdout
        check("a 16-bit PNG makes a 12-bit AVIF: " + info, "Bit Depth      : 12" in info)


def main():
    round_trips()
    resize_and_reduce()
    avif()
    shutil.rmtree(WORK)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


sys.exit(main())
