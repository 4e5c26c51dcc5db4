#!/usr/bin/python3
"""Sizes of animated GIFs written by faltrix-convert beside ImageMagick's and Pillow's.

Each source animation is made by Pillow with full frames (no optimisation of its own), then
rewritten by
  faltrix     faltrix-convert SRC -o OUT.gif (every frame)
  magick      convert SRC -layers optimize OUT.gif
  pillow      Image.save(save_all=True, optimize=True)
and the table gives each output's size and faltrix's as a share of the peers'. Every output
is read back by Pillow to check it has the source's frame count.

  sprite      60 frames 240 x 160: a ball over 16 bands of colour (few colours, small changes)
  pan         30 frames 200 x 150: a smooth colour field moving (thousands of colours a frame)
  transparent 30 frames 160 x 120: a square bouncing over a transparent screen

Usage: bench/convert/gif_frames_size.py [BUILD_DIR]   (default: build/release)
Needs python3-pil and imagemagick (for the comparison only).
"""
import os
import subprocess
import sys
import tempfile

from PIL import Image, ImageDraw

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def sprite():
    frames = []
    for k in range(60):
        im = Image.new("RGB", (240, 160))
        d = ImageDraw.Draw(im)
        for band in range(16):
            d.rectangle([0, band * 10, 239, band * 10 + 9], fill=(band * 16, 90, 255 - band * 16))
        x = 10 + k * 3
        d.ellipse([x, 50, x + 40, 90], fill=(250, 220, 40))
        frames.append(im)
    return frames


def pan():
    frames = []
    for k in range(30):
        im = Image.new("RGB", (200, 150))
        px = im.load()
        for y in range(150):
            for x in range(200):
                px[x, y] = ((x + 2 * k) % 256, (y * 3 + k) % 256, (x + y) // 2 % 256)
        frames.append(im)
    return frames


def transparent():
    frames = []
    for k in range(30):
        im = Image.new("RGBA", (160, 120), (0, 0, 0, 0))
        y = abs(15 - k) * 5
        ImageDraw.Draw(im).rectangle([60, y, 90, y + 30], fill=(40, 160, 230, 255))
        frames.append(im)
    return frames


def frame_count(path):
    with Image.open(path) as im:
        return getattr(im, "n_frames", 1)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release")
    convert = os.path.join(build, "bin", "faltrix-convert")
    print("%-12s %10s %10s %10s %10s %10s" % ("animation", "faltrix", "magick", "pillow",
                                              "/magick", "/pillow"))
    with tempfile.TemporaryDirectory() as tmp:
        for name, make in (("sprite", sprite), ("pan", pan), ("transparent", transparent)):
            frames = make()
            src = os.path.join(tmp, name + ".gif")
            frames[0].save(src, save_all=True, append_images=frames[1:], duration=40, loop=0,
                           optimize=False, disposal=2 if name == "transparent" else 1)
            out = {t: os.path.join(tmp, "%s-%s.gif" % (name, t)) for t in ("faltrix", "magick", "pillow")}
            subprocess.run([convert, src, "-o", out["faltrix"]], check=True,
                           stdout=subprocess.DEVNULL)
            subprocess.run(["convert", src, "-layers", "optimize", out["magick"]], check=True)
            with Image.open(src) as im:
                im.save(out["pillow"], save_all=True, optimize=True)
            sizes = {t: os.path.getsize(p) for t, p in out.items()}
            for t, p in out.items():
                if frame_count(p) != len(frames):
                    print("%s: %s has %d frames, not %d" % (name, t, frame_count(p), len(frames)))
            print("%-12s %10d %10d %10d %9.2f %9.2f" % (
                name, sizes["faltrix"], sizes["magick"], sizes["pillow"],
                sizes["faltrix"] / sizes["magick"], sizes["faltrix"] / sizes["pillow"]))


if __name__ == "__main__":
    main()
