"""Animated PNGs made and read by Pillow, the peer the PNG plug-ins' frame tests compare with.

  pillow_apng.py make FILE MODE DEFAULT   writes an animation of mode MODE (RGBA, LA)
                                          whose frames move, fade and change disposal and
                                          blending; DEFAULT 1 makes the first picture a default
                                          picture outside the animation
"""
import sys

from PIL import Image, ImageDraw

W, H = 40, 30


BLEND = [0, 1, 1, 0, 1]
DISPOSAL = [0, 1, 2, 0, 1]


# Pillow's reader lays a frame over the canvas by pasting it through its alpha rather than by
# the compositing APNG defines, which differs for half-transparent pixels over others: the
# frames blended over hold only opaque and fully transparent pixels.
def frames(mode, default):
    out = []
    for i in range(5):
        over = i >= default and BLEND[i - default] == 1
        part = 255 if over else 128
        im = Image.new("RGBA", (W, H), (30 * i, 80, 200 - 30 * i, 255 if i % 2 == 0 else 0))
        d = ImageDraw.Draw(im)
        d.rectangle([4 + 5 * i, 3 + 2 * i, 14 + 5 * i, 12 + 2 * i], fill=(250, 200, 10, 255))
        d.ellipse([20, 10 + i, 34, 24 + i], fill=(10, 220, 90, part))
        d.line([0, H - 1 - i, W - 1, i], fill=(255, 255, 255, part))
        out.append(im if mode == "RGBA" else im.convert(mode))
    return out


def make(path, mode, default):
    ims = frames(mode, default)
    n = 5 - default
    ims[0].save(path, save_all=True, append_images=ims[1:], default_image=default,
                duration=[0, 40, 100, 1000, 70][:n], loop=3,
                disposal=DISPOSAL[:n], blend=BLEND[:n])


if __name__ == "__main__":
    make(sys.argv[2], sys.argv[3], sys.argv[4] == "1")
