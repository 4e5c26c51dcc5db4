#!/usr/bin/python3
"""SVG drawings and PDF documents through faltrix-convert, against the peers' own rendering.

A resize renders at the size asked: a 16 x 16 drawing stored 512 wide must match rsvg-convert
-w 512 (scaled pixels would be 32-pixel blocks), and a PDF stored at twice its size must match
pdftocairo at 144 dpi, page by page, a page of another size on the first page's canvas. A
drawing's references to files outside its folder or to the network load nothing, while one
beside it is drawn. Needs Pillow; rows whose peer tool is missing are skipped by name.

    vector_test.py FALTRIX_CONVERT SOURCE_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image, ImageChops

CONVERT, SOURCE = sys.argv[1], sys.argv[2]
DATA = os.path.join(SOURCE, "tests", "data")
WORK = tempfile.mkdtemp(prefix="faltrix-vector-")
failures = []


def convert(source, target, *options):
    return subprocess.run([CONVERT, "--overwrite", *options, source, "-o", target],
                          capture_output=True, text=True)


def worst(a, b):
    """The largest channel difference of two pictures, or a word why they cannot be compared."""
    a, b = a.convert("RGBA"), b.convert("RGBA")
    if a.size != b.size:
        return f"sizes {a.size} and {b.size}"
    return max(high for _, high in ImageChops.difference(a, b).getextrema())


def expect_close(what, have, expected, tolerance):
    d = worst(have, expected)
    if isinstance(d, str) or d > tolerance:
        failures.append(f"{what}: {d} (at most {tolerance})")


def peer(tool, *arguments):
    if shutil.which(tool) is None:
        print(f"skipped: {tool} is not installed")
        return False
    subprocess.run([tool, *arguments], check=True, capture_output=True)
    return True


def svg_at_size():
    drawing = os.path.join(DATA, "svg", "layouts", "shapes-16x16.svg")
    ours, theirs = os.path.join(WORK, "ours-512.png"), os.path.join(WORK, "rsvg-512.png")
    run = convert(drawing, ours, "-W", "512")
    if run.returncode != 0:
        return failures.append(f"SVG -W 512: {run.stderr}")
    if peer("rsvg-convert", "-w", "512", drawing, "-o", theirs):
        expect_close("SVG -W 512 against rsvg-convert -w 512", Image.open(ours),
                     Image.open(theirs), 1)
    # Without a width the natural 16 x 16, as the peer renders it.
    run = convert(drawing, os.path.join(WORK, "ours-16.png"), "-W", "40", "-H", "10")
    if run.returncode != 0 or Image.open(os.path.join(WORK, "ours-16.png")).size != (40, 10):
        failures.append(f"SVG -W 40 -H 10 is not stretched to 40 x 10: {run.stderr}")


def pdf_pages(scale, *options):
    """Both pages of a document of two page sizes, against pdftocairo at 72 * scale dpi."""
    document = os.path.join(DATA, "pdf", "layouts", "two-pages-of-two-sizes.pdf")
    ours = os.path.join(WORK, f"pages-{scale}.tif")
    run = convert(document, ours, *options)
    if run.returncode != 0:
        return failures.append(f"PDF {options}: {run.stderr}")
    if "size of 1 page other than the first's" not in run.stderr:
        failures.append(f"PDF {options}: the second page's size is not told: {run.stderr}")
    stored = Image.open(ours)
    canvas = (120 * scale, 90 * scale)
    # The second page, 60 x 150 points, is scaled down to the canvas's height: 0.6 of the
    # first page's scale.
    for page, dpi in ((1, 72 * scale), (2, 72 * scale * 0.6)):
        prefix = os.path.join(WORK, f"peer-{scale}-{page}")
        if not peer("pdftocairo", "-png", "-singlefile", "-r", str(dpi), "-f", str(page), "-l",
                    str(page), document, prefix):
            return
        expected = Image.new("RGB", canvas, "white")
        expected.paste(Image.open(prefix + ".png").convert("RGB"), (0, 0))
        stored.seek(page - 1)
        expect_close(f"PDF {options} page {page} against pdftocairo -r {dpi}", stored.copy(),
                     expected, 2)


def svg_references():
    """Images outside the drawing's folder or on the network, and text included from
    /etc/passwd, load nothing; the same image beside the drawing is drawn."""
    inside, outside = os.path.join(WORK, "inside"), os.path.join(WORK, "outside")
    os.makedirs(inside)
    os.makedirs(outside)
    for folder in (inside, outside):
        Image.new("RGB", (4, 4), "red").save(os.path.join(folder, "red.png"))
    body = ('<svg xmlns="http://www.w3.org/2000/svg" xmlns:xi="http://www.w3.org/2001/XInclude" '
            'width="8" height="8">{}</svg>')
    cases = {
        "outside": ('<image href="../outside/red.png" width="8" height="8"/>'
                    f'<image href="file://{outside}/red.png" width="8" height="8"/>'
                    '<image href="http://127.0.0.1:9/red.png" width="8" height="8"/>'
                    '<text y="8" font-size="8"><xi:include href="/etc/passwd" parse="text"/>'
                    '</text>', False),
        "beside": ('<image href="red.png" width="8" height="8"/>', True),
    }
    for name, (content, drawn) in cases.items():
        drawing, target = os.path.join(inside, name + ".svg"), os.path.join(WORK, name + ".png")
        with open(drawing, "w") as f:
            f.write(body.format(content))
        run = convert(drawing, target)
        if run.returncode != 0:
            failures.append(f"SVG {name}: {run.stderr}")
            continue
        alpha = Image.open(target).convert("RGBA").getchannel("A").getextrema()
        if (alpha[1] == 255) != drawn:
            failures.append(f"SVG referring to a file {name} its folder: alpha {alpha}")


try:
    svg_at_size()
    pdf_pages(1)
    pdf_pages(2, "-W", "240")
    svg_references()
finally:
    shutil.rmtree(WORK, ignore_errors=True)
for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
