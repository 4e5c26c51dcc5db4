#!/usr/bin/python3
"""Makes the PNM and PAM files of layouts/ and hostile/ (see ../README.md): run from this
folder with netpbm, ImageMagick 6 and Debian's python3 (Pillow) installed. References are the
pictures as netpbm decodes the files (pnmtopng, pamtopng; pamdepth 255 first for deeper
files), or, for the files made by hand here, the picture they were made from."""
import subprocess
from PIL import Image

L, H = 'layouts/', 'hostile/'
chart = Image.open('../../../samples/chart.png').convert('RGB').resize((31, 23))
rgba = chart.copy()
rgba.putalpha(Image.linear_gradient('L').resize((31, 23)))
chart.save('/tmp/pnm-source.ppm')
rgba.save('/tmp/pnm-source.png')
refs = []


def shell(command):
    subprocess.run(command, shell=True, check=True, stderr=subprocess.DEVNULL)


def netpbm(name, command, bits, tolerance=0, reference='pamdepth 255 | pamtopng'):
    shell('%s > %s%s' % (command, L, name))
    expected = name[:name.rindex('.')] + '.expected.png'
    shell('cat %s%s | %s > %s%s' % (L, name, reference, L, expected))
    refs.append('%s %s %d max %d' % (name, expected, bits, tolerance))


src = '/tmp/pnm-source.ppm'
netpbm('netpbm-p4-odd-width.pbm', 'pamditherbw %s | pamtopnm' % src, 1, reference='pnmtopng')
netpbm('netpbm-p1-plain.pbm', 'pamditherbw %s | pamtopnm | pnmtoplainpnm' % src, 1, reference='pnmtopng')
netpbm('netpbm-p2-plain-maxval-15.pgm', 'ppmtopgm %s | pamdepth 15 | pnmtoplainpnm' % src, 8)
netpbm('netpbm-p5.pgm', 'ppmtopgm %s' % src, 8)
netpbm('netpbm-p5-16-bit.pgm', 'ppmtopgm %s | pamdepth 65535' % src, 8, 1)
netpbm('netpbm-p6-maxval-1000.ppm', 'pamdepth 1000 %s' % src, 24, 1)
netpbm('netpbm-p3-plain.ppm', 'pnmtoplainpnm %s' % src, 24)
netpbm('netpbm-p7-rgb-alpha.pam', 'pngtopam -alphapam /tmp/pnm-source.png', 32)
shell('convert /tmp/pnm-source.png -colorspace gray /tmp/pnm-grey.png')
netpbm('netpbm-p7-grayscale-alpha.pam', 'pngtopam -alphapam /tmp/pnm-grey.png', 32)
netpbm('netpbm-p7-blackandwhite.pam', 'ppmtopgm %s | pamthreshold | pamtopam' % src, 1)
netpbm('three-pages.pnm', 'cat %s %s %s' % (L + 'netpbm-p5.pgm', src, L + 'netpbm-p4-odd-width.pbm'), 8)
netpbm('imagemagick-p7-rgb-alpha.pam', 'convert /tmp/pnm-source.png pam:-', 32)
netpbm('imagemagick-p6-16-bit.ppm', 'convert %s -depth 16 ppm:-' % src, 24, 1)
chart.save(L + 'pillow-p6.ppm')
chart.save(L + 'pillow-p6.expected.png')
refs.append('pillow-p6.ppm pillow-p6.expected.png 24 max 0')
# Comments wherever the header allows whitespace, by hand.
raw = chart.tobytes()
open(L + 'hand-p6-comments.ppm', 'wb').write(b'P6 # a comment\n31# width\n#\n23\n# maxval next\n255\n' + raw)
chart.save(L + 'hand-p6-comments.expected.png')
refs.append('hand-p6-comments.ppm hand-p6-comments.expected.png 24 max 0')
# Plain samples above the maxval are taken as the maxval.
open(L + 'hand-plain-samples-above-maxval.pgm', 'w').write('P2 3 1 100\n0 100 99999999999999\n')
Image.frombytes('L', (3, 1), bytes([0, 255, 255])).save(L + 'hand-plain-samples-above-maxval.expected.png')
refs.append('hand-plain-samples-above-maxval.pgm hand-plain-samples-above-maxval.expected.png 8 max 0')
open(L + 'references.txt', 'w').write('\n'.join(refs) + '\n')

stages = {
    'zero-bytes.pnm': (b'', 'signature'),
    'magic-p9.pnm': (b'P9\n1 1\n255\n\0', 'signature'),
    'maxval-0.pgm': (b'P5\n1 1\n0\n\0', 'signature PNM: a maxval outside 1 .. 65535'),
    'maxval-65536.pgm': (b'P5\n1 1\n65536\n\0\0', 'signature PNM: a maxval outside 1 .. 65535'),
    'width-missing.ppm': (b'P6\n# only a comment\n', 'signature PNM: the header has no width'),
    'bomb-100000x100000.ppm': (b'P6\n100000 100000\n255\n' + bytes(300),
                               'info the picture is larger than the decoding limits'),
    'height-2pow64.pgm': (b'P5\n1 18446744073709551616\n255\n\0', 'signature PNM: a width or height too large'),
    'zero-height.pgm': (b'P5\n1 0\n255\n', 'signature PNM: a width or height of 0'),
    'raster-cut-short.ppm': (b'P6\n31 23\n255\n' + raw[:-5], 'dib PNM: the file is too short for its raster'),
    'plain-raster-cut-short.pgm': (b'P2\n4 4\n255\n' + b'1  ' * 12, 'dib PNM: the raster is cut short or damaged at row 4'),
    'plain-bomb-16384x16384.pgm': (b'P2\n16384 16384\n255\n' + b'0 ' * 50, 'dib PNM: the file is too short for its raster'),
    'plain-letter-in-raster.ppm': (b'P3\n2 1\n255\n1 2 3 4 x 6\n', 'dib PNM: the raster is cut short or damaged at row 1'),
    'pam-unknown-tuple-type.pam': (b'P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n\0\0\0',
                                   'signature PAM: the tuple type CMYK is not read'),
    'pam-depth-5.pam': (b'P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\n' + bytes(5),
                        'signature PAM: a depth other than 1 .. 4'),
    'pam-depth-unfit-for-tuple-type.pam': (b'P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n\0',
                                           'signature PAM: the depth does not suit the tuple type'),
    'pam-without-endhdr.pam': (b'P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n\0', 'signature PAM: the header has no ENDHDR line'),
}
for name, (data, stage) in stages.items():
    open(H + name, 'wb').write(data)
open(H + 'stages.txt', 'w').write(''.join('%s %s\n' % (n, s) for n, (_, s) in stages.items()))
