#!/usr/bin/python3
"""Animated WebP written and read by peers, for tests/plugins/common/webp_frames_test.cpp.

  peer_animations.py make OUT pillow|img2webp LOSSLESS LOOP PNG DELAY [PNG DELAY ...]
  peer_animations.py dump IN FOLDER
      FOLDER/<k>.png: frame k (from 0) as Pillow composes it, RGBA; FOLDER/info.txt: the loop
      count, then each frame's duration, one a line; FOLDER/icc: the ICC profile, if any.
  peer_animations.py check
      Succeeds when Pillow can write and read animated WebP.
"""
import os
import subprocess
import sys

from PIL import Image, ImageSequence


def make(out, encoder, lossless, loop, pairs):
    names, delays = pairs[0::2], [int(d) for d in pairs[1::2]]
    if encoder == "pillow":
        frames = [Image.open(name) for name in names]
        frames[0].save(out, save_all=True, append_images=frames[1:], duration=delays, loop=loop,
                       lossless=lossless == "1", quality=80)
        return
    args = ["img2webp", "-loop", str(loop)]
    for name, delay in zip(names, delays):
        args += ["-d", str(delay), "-lossless" if lossless == "1" else "-lossy", name]
    subprocess.run(args + ["-o", out], check=True, capture_output=True)


def dump(path, folder):
    with Image.open(path) as im:
        with open(os.path.join(folder, "icc"), "wb") as f:
            f.write(im.info.get("icc_profile") or b"")
        lines = ["%d" % im.info.get("loop", 0)]
        for k, page in enumerate(ImageSequence.Iterator(im)):
            page.convert("RGBA").save(os.path.join(folder, "%d.png" % k))
            lines.append("%d" % page.info["duration"])
    with open(os.path.join(folder, "info.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    if sys.argv[1] == "check":
        from PIL import features
        sys.exit(0 if features.check("webp_anim") else 1)
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), sys.argv[6:])
    else:
        dump(sys.argv[2], sys.argv[3])
