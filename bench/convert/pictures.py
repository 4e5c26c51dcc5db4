# The picture every bench/convert script converts, made with Pillow: smooth gradients, fine
# detail and sensor-like noise, what a camera gives.
from PIL import Image, ImageChops, ImageFilter


def photo_like(width, height):
    detail = Image.effect_mandelbrot((width, height), (-2.2, -1.2, 1.0, 1.2), 60)
    grad = Image.linear_gradient('L').resize((width, height))
    radial = Image.radial_gradient('L').resize((width, height))
    noise = Image.effect_noise((width, height), 18).filter(ImageFilter.GaussianBlur(0.6))
    r = ImageChops.add(ImageChops.multiply(detail, grad.transpose(Image.Transpose.ROTATE_180)), noise, 1.0, -128)
    g = ImageChops.add(Image.blend(grad, detail, 0.35), noise, 1.0, -128)
    b = ImageChops.add(Image.blend(radial, detail.filter(ImageFilter.GaussianBlur(3)), 0.5), noise, 1.0, -128)
    return Image.merge('RGB', (r, g, b)).filter(ImageFilter.GaussianBlur(0.8))
