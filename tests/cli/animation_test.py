#!/usr/bin/python3
"""Animations through faltrix-convert, judged by independent decoders.

An animated GIF and an animated WebP made by Pillow are converted to GIF, WebP, APNG, TIFF,
AVIF and JPEG XL; each result is read back by another decoder (Pillow for GIF, WebP, APNG and
TIFF, avifdec for AVIF, djxl for JPEG XL) and must hold every frame, within a per-format
budget of mean difference, with its delay within 10 ms and the loop count kept where the
format keeps one. Each result is then converted back to GIF and WebP and judged again.

    animation_test.py FALTRIX_CONVERT      exit 77 (skipped) without Pillow
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

try:
    from PIL import Image, ImageChops, ImageSequence, ImageStat
except ImportError:
    print("skipped: Pillow (python3-pil) is not installed")
    sys.exit(77)

CONVERT = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="faltrix-animation-")
SIZE = (48, 32)
# Mean difference per channel (0..255) each format may add: palettes and lossless formats
# none, lossy ones some.
BUDGET = {"gif": 0.5, "webp": 6, "png": 0.5, "tiff": 0.5, "avif": 10, "jxl": 6}
KEEPS_DELAYS = {"gif", "webp", "png", "avif", "jxl"}
KEEPS_LOOP = {"gif", "webp", "png", "jxl"}  # libavif 0.11 writes no repetition count
failures = []


def source_frames(count):
    """Frames of a few flat colours (a GIF holds them exactly): a square moving on a band."""
    frames = []
    for k in range(count):
        im = Image.new("RGB", SIZE, (240, 240, 240))
        im.paste((200, 40 + 40 * k, 30), (0, 20, SIZE[0], SIZE[1]))
        im.paste((20, 60, 220), (6 * k, 4, 6 * k + 12, 16))
        frames.append(im)
    return frames


def read_pillow(path):
    im = Image.open(path)
    frames = [f.convert("RGB") for f in ImageSequence.Iterator(im)]
    delays = []
    for k in range(im.n_frames):
        im.seek(k)
        im.load()  # Pillow's WebP reader sets the duration when the frame is loaded
        delays.append(int(im.info.get("duration", 0)))
    im.seek(0)
    return frames, delays, im.info.get("loop")


def read_avif(path):
    info = subprocess.run(["avifdec", "--info", path], capture_output=True, text=True).stdout
    delays = [round(float(d) * 1000) for d in re.findall(r"\[duration ([0-9.]+) ", info)]
    frames = []
    for k in range(len(delays)):
        png = os.path.join(WORK, "avif-frame.png")
        subprocess.run(["avifdec", "--index", str(k), path, png], capture_output=True, check=True)
        frames.append(Image.open(png).convert("RGB"))
    return frames, delays, None


def read_jxl(path):
    apng = os.path.join(WORK, "jxl-frames.png")
    subprocess.run(["djxl", path, apng], capture_output=True, check=True)
    return read_pillow(apng)


def read_back(path, fmt):
    if fmt == "avif":
        return read_avif(path)
    if fmt == "jxl":
        return read_jxl(path)
    return read_pillow(path)


def judge(what, path, fmt, frames, delays, loop, budget):
    try:
        got, got_delays, got_loop = read_back(path, fmt)
    except Exception as error:  # the reader's own words
        failures.append(f"{what}: cannot be read back: {error}")
        return
    if len(got) != len(frames):
        failures.append(f"{what}: {len(got)} frames, not {len(frames)}")
        return
    for k, (want, have) in enumerate(zip(frames, got)):
        diff = sum(ImageStat.Stat(ImageChops.difference(want, have)).mean) / 3
        if have.size != want.size or diff > budget:
            failures.append(f"{what}: frame {k + 1} differs by {diff:.2f} (budget {budget})")
    if fmt in KEEPS_DELAYS and any(abs(a - b) > 10 for a, b in zip(delays, got_delays)):
        failures.append(f"{what}: delays {got_delays}, not {delays}")
    if fmt in KEEPS_LOOP and loop is not None and (got_loop or 0) != loop:
        failures.append(f"{what}: loop {got_loop}, not {loop}")


def convert(source, target):
    run = subprocess.run([CONVERT, "-q", "--overwrite", source, "-o", target],
                         capture_output=True, text=True)
    if run.returncode != 0:
        failures.append(f"{source} -> {target}: exit {run.returncode}: {run.stderr.strip()}")
    return run.returncode == 0


def grey_profile_to_apng():
    """Grey pages with a grey profile: APNG frames are RGBA, which libpng refuses a grey
    profile for; the frames are stored all the same, converted to sRGB, with a warning."""
    profiles = [p for p in ("/usr/share/color/icc/ghostscript/sgray.icc",) if os.path.exists(p)]
    if not profiles:
        return
    pages = [Image.new("L", SIZE, 20 + 60 * k) for k in range(3)]
    source, out = os.path.join(WORK, "grey.tif"), os.path.join(WORK, "grey.png")
    with open(profiles[0], "rb") as f:
        pages[0].save(source, save_all=True, append_images=pages[1:], icc_profile=f.read())
    run = subprocess.run([CONVERT, "--overwrite", source, "-o", out], capture_output=True, text=True)
    if run.returncode != 0 or "converted to sRGB" not in run.stderr or Image.open(out).n_frames != 3:
        failures.append(f"grey pages with a grey profile -> APNG: {run.returncode} {run.stderr}")


def main():
    for kind, count, delays, loop in (("gif", 5, [100, 200, 40, 50, 70], 0),
                                      ("webp", 4, [80, 120, 60, 100], 3)):
        frames = source_frames(count)
        source = os.path.join(WORK, "source." + kind)
        options = {"lossless": True} if kind == "webp" else {}
        frames[0].save(source, save_all=True, append_images=frames[1:], duration=delays,
                       loop=loop, **options)
        for fmt in BUDGET:
            out = os.path.join(WORK, f"from-{kind}.{fmt}")
            if not convert(source, out):
                continue
            judge(f"{kind} -> {fmt}", out, fmt, frames, delays, loop, BUDGET[fmt])
            # What the middle format does not keep cannot come back.
            kept_delays = delays if fmt in KEEPS_DELAYS else [0] * count
            kept_loop = loop if fmt in KEEPS_LOOP else None
            for back in ("gif", "webp"):
                again = os.path.join(WORK, f"from-{kind}-{fmt}-again.{back}")
                if convert(out, again):
                    judge(f"{kind} -> {fmt} -> {back}", again, back, frames, kept_delays,
                          kept_loop, BUDGET[fmt] + BUDGET[back])
    grey_profile_to_apng()
    shutil.rmtree(WORK)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


sys.exit(main())
