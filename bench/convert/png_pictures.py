# The pictures the PNG size benchmark compresses, made from fixed seeds so that every run sees
# the same pixels: photos (decoded from JPEG at quality 90, as a camera's pictures arrive),
# screenshots (flat panels, text, icons, a photo or two inside a window) and charts (axes, grid,
# anti-aliased lines, bars, labels). Ten of each kind, 1200 x 800 to 1600 x 1000.
#
# Usage as a program: python3 png_pictures.py DIR  writes DIR/<kind>-NN.png (lossless).
import io, os, random, sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

KINDS = ('photo', 'screenshot', 'chart')
COUNT = 10
FONT_DIR = '/usr/share/fonts/truetype/dejavu/'


def font(size, mono=False):
    name = FONT_DIR + ('DejaVuSansMono.ttf' if mono else 'DejaVuSans.ttf')
    try:
        return ImageFont.truetype(name, size)
    except OSError:
        return ImageFont.load_default()


def _photo(rng, w, h):
    """Gradients, blurred shapes at several distances, a sharp subject and sensor noise, through
    JPEG at quality 90."""
    sky = Image.linear_gradient('L').resize((w, h)).rotate(rng.uniform(-20, 20), expand=False)
    tint = [rng.randint(60, 200) for _ in range(6)]
    base = Image.merge('RGB', [sky.point(lambda v, a=tint[i], b=tint[i + 3]: a + (b - a) * v // 255)
                               for i in range(3)])
    for depth, blur in ((40, 24), (25, 8), (12, 1.5)):
        layer = Image.new('RGB', (w, h))
        mask = Image.new('L', (w, h))
        dl, dm = ImageDraw.Draw(layer), ImageDraw.Draw(mask)
        for _ in range(depth):
            x, y = rng.randrange(w), rng.randrange(h)
            r = rng.randint(w // 60, w // 8)
            colour = tuple(rng.randint(0, 255) for _ in range(3))
            box = (x - r, y - r // rng.randint(1, 3), x + r, y + r)
            (dl.ellipse if rng.random() < 0.6 else dl.rectangle)(box, fill=colour)
            (dm.ellipse if rng.random() < 0.6 else dm.rectangle)(box, fill=rng.randint(120, 255))
        base = Image.composite(layer.filter(ImageFilter.GaussianBlur(blur)), base,
                               mask.filter(ImageFilter.GaussianBlur(blur)))
    cx, cy = rng.uniform(-1.5, 0.2), rng.uniform(-0.6, 0.6)
    span = rng.uniform(0.2, 1.2)
    detail = Image.effect_mandelbrot((w, h), (cx - span, cy - span * h / w, cx + span, cy + span * h / w), 80)
    base = Image.blend(base, Image.merge('RGB', (detail, detail.rotate(180), detail)), rng.uniform(0.1, 0.3))
    sigma = rng.uniform(4, 14)
    noise = Image.merge('RGB', [Image.effect_noise((w, h), sigma) for _ in range(3)])
    base = ImageChops.add(base, noise.filter(ImageFilter.GaussianBlur(0.5)), 1.0, -128)
    base = base.filter(ImageFilter.GaussianBlur(rng.uniform(0.4, 1.0)))
    jpeg = io.BytesIO()
    base.save(jpeg, 'JPEG', quality=90)
    return Image.open(io.BytesIO(jpeg.getvalue())).convert('RGB')


WORDS = ('file edit view insert format tools window help open save export picture folder '
         'convert resize quality colour profile settings batch preview output input queue '
         'cancel apply width height pixels metadata rotate crop sharpen').split()


def _text(rng, words):
    return ' '.join(rng.choice(WORDS) for _ in range(words)).capitalize()


def _window(rng, draw, img, box, photos):
    """A window: title bar, menu, sidebar list, a content pane of text, code or a photo."""
    x0, y0, x1, y1 = box
    accent = tuple(rng.randint(30, 200) for _ in range(3))
    draw.rectangle(box, fill=(rng.choice((246, 250, 255)),) * 3, outline=(160, 160, 160))
    for y in range(y0, y0 + 30):  # title bar: a gentle vertical gradient
        t = (y - y0) / 30
        draw.line((x0, y, x1, y), fill=tuple(int(c + (255 - c) * 0.3 * t) for c in accent))
    draw.text((x0 + 12, y0 + 7), _text(rng, 3), font=font(14), fill='white')
    for i, c in enumerate(((237, 94, 84), (245, 191, 79), (98, 197, 84))):
        draw.ellipse((x1 - 70 + 20 * i, y0 + 9, x1 - 58 + 20 * i, y0 + 21), fill=c)
    x = x0 + 10
    for _ in range(6):  # menu
        word = rng.choice(WORDS).capitalize()
        draw.text((x, y0 + 38), word, font=font(13), fill=(30, 30, 30))
        x += int(draw.textlength(word, font=font(13))) + 18
    side = x0 + (x1 - x0) // 4
    draw.rectangle((x0 + 1, y0 + 60, side, y1 - 1), fill=(236, 238, 242))
    for i, y in enumerate(range(y0 + 70, y1 - 24, 24)):
        if i == 2:
            draw.rectangle((x0 + 4, y - 3, side - 4, y + 19), fill=accent)
        draw.rectangle((x0 + 12, y + 2, x0 + 26, y + 16), fill=tuple(rng.randint(50, 230) for _ in range(3)))
        draw.text((x0 + 34, y), _text(rng, 2), font=font(13), fill='white' if i == 2 else (40, 40, 40))
    kind = rng.choice(('text', 'code', 'photo', 'form'))
    cx0, cy0 = side + 16, y0 + 72
    if kind == 'photo' and photos:
        thumb = rng.choice(photos).resize((max(16, x1 - cx0 - 16), max(16, y1 - cy0 - 16)))
        img.paste(thumb, (cx0, cy0))
        return
    mono = kind == 'code'
    for y in range(cy0, y1 - 20, 20 if mono else 22):
        indent = rng.choice((0, 0, 24, 48)) if mono else 0
        colour = rng.choice(((30, 30, 30), (0, 90, 180), (160, 40, 120), (20, 130, 60))) if mono else (30, 30, 30)
        line = _text(rng, rng.randint(2, 9))
        if kind == 'form':
            draw.text((cx0, y), line[:18], font=font(13), fill=colour)
            draw.rounded_rectangle((cx0 + 170, y - 2, min(x1 - 16, cx0 + 480), y + 18), 4,
                                   fill='white', outline=(180, 180, 185))
        else:
            draw.text((cx0 + indent, y), line, font=font(13, mono), fill=colour)


def _screenshot(rng, w, h, photos):
    img = Image.new('RGB', (w, h))
    draw = ImageDraw.Draw(img)
    top, bottom = [tuple(rng.randint(20, 120) for _ in range(3)) for _ in range(2)]
    for y in range(h):  # the desktop: a vertical gradient
        draw.line((0, y, w, y), fill=tuple(a + (b - a) * y // h for a, b in zip(top, bottom)))
    for _ in range(rng.randint(1, 3)):
        ww, wh = rng.randint(w // 2, w - 40), rng.randint(h // 2, h - 80)
        x, y = rng.randint(0, w - ww), rng.randint(0, h - wh - 40)
        _window(rng, draw, img, (x, y, x + ww, y + wh), photos)
    draw.rectangle((0, h - 36, w, h), fill=(32, 34, 40))  # the panel with its icons and clock
    for i in range(8):
        draw.rounded_rectangle((10 + 40 * i, h - 30, 34 + 40 * i, h - 6), 5,
                               fill=tuple(rng.randint(60, 240) for _ in range(3)))
    draw.text((w - 60, h - 26), '%02d:%02d' % (rng.randint(0, 23), rng.randint(0, 59)), font=font(13), fill='white')
    return img


PALETTE = ((31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40), (148, 103, 189), (140, 86, 75))


def _chart(rng, w, h, kind):
    """Drawn at twice the size and halved, which anti-aliases lines and labels."""
    s = 2
    img = Image.new('RGB', (w * s, h * s), 'white')
    d = ImageDraw.Draw(img)
    left, top, right, bottom = 90 * s, 50 * s, (w - 30) * s, (h - 70) * s
    d.text((left, 12 * s), _text(rng, 4), font=font(18 * s), fill='black')
    for i in range(6):  # grid and axis labels
        y = bottom - (bottom - top) * i // 5
        d.line((left, y, right, y), fill=(225, 225, 225), width=s)
        d.text((left - 60 * s, y - 8 * s), '%d' % (i * 20), font=font(12 * s), fill=(60, 60, 60))
    d.line((left, top, left, bottom), fill='black', width=s)
    d.line((left, bottom, right, bottom), fill='black', width=s)
    series = rng.randint(1, 4)
    n = rng.randint(8, 40)
    step = (right - left) / n
    if kind == 'bars':
        bw = step / (series + 1)
        for k in range(series):
            for i in range(n):
                v = rng.uniform(0.1, 1.0)
                x = left + i * step + k * bw + bw / 2
                d.rectangle((x, bottom - v * (bottom - top), x + bw - s, bottom), fill=PALETTE[k])
    elif kind == 'pie':
        cx, cy, r = (left + right) // 2, (top + bottom) // 2, (bottom - top) // 2
        d.rectangle((left + s, top, right, bottom - s), fill='white')
        parts = [rng.uniform(1, 5) for _ in range(rng.randint(3, 6))]
        a = -90.0
        for k, p in enumerate(parts):
            span = 360 * p / sum(parts)
            d.pieslice((cx - r, cy - r, cx + r, cy + r), a, a + span, fill=PALETTE[k], outline='white', width=2 * s)
            a += span
    elif kind == 'scatter':
        for k in range(series):
            mx, my = rng.uniform(0.2, 0.8), rng.uniform(0.2, 0.8)
            for _ in range(rng.randint(100, 600)):
                x = left + (right - left) * min(1, max(0, rng.gauss(mx, 0.15)))
                y = bottom - (bottom - top) * min(1, max(0, rng.gauss(my, 0.15)))
                d.ellipse((x - 4 * s, y - 4 * s, x + 4 * s, y + 4 * s), fill=PALETTE[k])
    else:  # lines, filled below when kind is 'area'
        for k in range(series):
            v, points = rng.uniform(0.3, 0.7), []
            for i in range(n * 4 + 1):
                v = min(0.98, max(0.02, v + rng.gauss(0, 0.04)))
                points.append((left + i * step / 4, bottom - v * (bottom - top)))
            if kind == 'area':
                fill = tuple(int(c + (255 - c) * 0.6) for c in PALETTE[k])
                d.polygon(points + [(points[-1][0], bottom), (left, bottom)], fill=fill)
            d.line(points, fill=PALETTE[k], width=3 * s, joint='curve')
    for i in range(0, n, max(1, n // 10)):  # x labels and the legend
        d.text((left + i * step, bottom + 8 * s), str(2000 + i), font=font(12 * s), fill=(60, 60, 60))
    for k in range(series):
        d.rectangle((right - 150 * s, top + (10 + 22 * k) * s, right - 136 * s, top + (24 + 22 * k) * s), fill=PALETTE[k])
        d.text((right - 130 * s, top + (9 + 22 * k) * s), rng.choice(WORDS), font=font(13 * s), fill='black')
    return img.resize((w, h), Image.LANCZOS)


def pictures():
    """(name, picture) for every picture, in a fixed order."""
    rng = random.Random(30)
    sizes = [(1200 + 40 * i, 800 + 20 * i) for i in range(COUNT)]
    photos = []
    for i, (w, h) in enumerate(sizes):
        photos.append(_photo(rng, w, h))
        yield 'photo-%02d' % i, photos[-1]
    for i, (w, h) in enumerate(sizes):
        yield 'screenshot-%02d' % i, _screenshot(rng, w, h, photos)
    kinds = ('lines', 'bars', 'area', 'scatter', 'pie')
    for i, (w, h) in enumerate(sizes):
        yield 'chart-%02d' % i, _chart(rng, w, h, kinds[i % len(kinds)])


if __name__ == '__main__':
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, picture in pictures():
        picture.save(os.path.join(sys.argv[1], name + '.png'), compress_level=1)
