#!/usr/bin/python3
"""Pillow's side of the GIF frame tests.

  pillow_gif.py make OUT.gif   writes an animation of 5 frames, 40 x 30, with a transparent
                               index, frames smaller than the screen and the disposals none,
                               background, previous, none, leave; delays 100, 0, 70, 250 and
                               30 ms (0 kept as 0); loop count 2.
Exits 3 when Pillow is missing, so that the test can say why it is skipped.
"""
import sys

try:
    from PIL import Image, ImageDraw
except ImportError:
    sys.exit(3)


def make(path):
    palette = [0, 0, 0, 230, 40, 40, 40, 160, 60, 50, 70, 220, 250, 220, 60, 250, 250, 250]
    frames = []

    def frame(draw):
        im = Image.new("P", (40, 30), 0)
        im.putpalette(palette + [0] * (768 - len(palette)))
        draw(ImageDraw.Draw(im))
        frames.append(im)

    frame(lambda d: (d.rectangle([0, 0, 39, 29], fill=5), d.rectangle([4, 4, 12, 12], fill=0)))
    frame(lambda d: (d.rectangle([0, 0, 39, 29], fill=5), d.rectangle([10, 8, 24, 20], fill=1)))
    frame(lambda d: (d.rectangle([0, 0, 39, 29], fill=5), d.rectangle([20, 2, 34, 14], fill=3)))
    frame(lambda d: (d.rectangle([0, 0, 39, 29], fill=5), d.rectangle([2, 18, 30, 26], fill=2)))
    frame(lambda d: (d.rectangle([0, 0, 39, 29], fill=4), d.rectangle([30, 20, 39, 29], fill=0)))
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=[100, 0, 70, 250, 30],
                   loop=2, disposal=[1, 2, 3, 1, 0], transparency=0, optimize=False)


if __name__ == "__main__":
    make(sys.argv[2])
