// The TIFF input plug-in: the first picture of a file into the DIB that loses least.
//
//   bilevel (1-bit grey)            -> 1-bit, black and white palette
//   grey, 2 to 16 bits              -> 8-bit grey palette
//   palette, 1, 2, 4, 8 bits        -> 1, 4, 4, 8 bits with the file's colours
//   RGB, 2 to 16 bits               -> 24-bit
//   grey or RGB of 32-bit, signed 8-, 16- or 32-bit, 16-bit (half) or 32-bit floating-point
//   samples                         -> as above: signed ones offset by half their range,
//                                      floating-point ones 0..1 scaled to 0..255, clamped
//                                      and cut down, as ImageMagick reads them
//   CIE L*a*b*, 8 or 16 bits       -> 24-bit sRGB through Little CMS, from the file's white
//                                      point (D65 when it names none)
//   any of these with alpha         -> 32-bit, straight alpha (associated alpha undone at
//                                      16 bits, rounded)
//   everything else libtiff reads (YCbCr, CMYK, Lab, ...) goes through libtiff's RGBA reader
//                                  -> 24-bit, or 32-bit with alpha
//
// Strips and tiles, interleaved or separate planes, are read alike.
//
// Samples of more than 8 bits are rounded to 8. The Orientation tag is applied, and the size
// reported by GetPictureInfo is the size shown. The colour profile and XMP tags, the samples'
// depth and the number of pages are noted for GetPictureMetadata, and so is the EXIF block,
// made from the EXIF directory and the picture's camera and date tags.
//
// Read as frames, every page is decoded as the first is, each on the first page's canvas.
// A file whose first page is unsigned grey or RGB of 9 to 16 bits, and whose every page is
// bilevel, grey or RGB, can also be read at full depth (GetFrameSamples): every page as
// 16-bit samples with the channels that hold them all (RGB when one page is in colour, alpha
// when one has it), scaled from the first page's depth.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <lcms2.h>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/canvas.h"
#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/orientation.h"
#include "faltrix/kit/owned.h"
#include "tiff_common.h"
#include "tiff_exif.h"

namespace faltrix::tiff {
namespace {

bool HasSignature(const uint8_t *p) {
    // Classic TIFF (42) and BigTIFF (43), in either byte order.
    return (p[0] == 'I' && p[1] == 'I' && (p[2] == 42 || p[2] == 43) && p[3] == 0) ||
           (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && (p[3] == 42 || p[3] == 43));
}

// An open file with its first directory read. The messages outlive the TIFF handle.
struct Reader {
    Messages messages;
    TiffCloser closer;
    TIFF *tif = nullptr;
    uint32_t width = 0, height = 0;
    int orientation = ORIENTATION_TOPLEFT;  // 1..8, as the Orientation tag says
};

// The size and orientation of the directory tif is on; false, with the cause, when its size
// is missing or out of the limits.
bool ReadPageHeader(Reader *r) {
    r->orientation = ORIENTATION_TOPLEFT;
    if (!TIFFGetField(r->tif, TIFFTAG_IMAGEWIDTH, &r->width) ||
        !TIFFGetField(r->tif, TIFFTAG_IMAGELENGTH, &r->height))
        return kit::Fail("TIFF: the picture's size is missing");
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(r->tif, TIFFTAG_ORIENTATION, &orientation);
    if (orientation >= ORIENTATION_TOPLEFT && orientation <= ORIENTATION_LEFTBOT)
        r->orientation = orientation;
    return kit::WithinLimits(r->width, r->height);
}

bool Open(const WCHAR *path, Reader *r) {
    std::string name;
    if (!kit::PathToBytes(path, &name)) return false;
    uint8_t magic[4];  // read from a regular file, not a folder or a device
    if (!kit::ReadFileHead(path, magic, sizeof magic)) return false;
    if (!HasSignature(magic)) return kit::Fail("TIFF: no TIFF signature");

    TIFFOpenOptions *opts = NewOptions(&r->messages);
    if (!opts) return false;
    // "m": read, do not map. A mapped file that another program shortens while we read it
    // kills the process with SIGBUS; a read just fails.
    r->tif = TIFFOpenExt(name.c_str(), "rm", opts);
    TIFFOpenOptionsFree(opts);
    if (!r->tif) return false;
    r->closer.tif = r->tif;
    return ReadPageHeader(r);
}

inline uint8_t From16(uint16_t v) { return static_cast<uint8_t>((v + 128u) / 257u); }

inline uint8_t Unpremultiply(uint8_t c, uint8_t a) {
    if (a == 0) return 0;
    return static_cast<uint8_t>(std::min(255u, (c * 255u + a / 2u) / a));
}

// How the file's samples are laid out, as far as the direct readers need it.
struct Layout {
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t bps = 1, spp = 1, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
    int colours = 1;  // 1 grey or palette, 3 RGB
    int alpha = -1;   // sample index of the alpha, -1 for none
    bool associated = false;
    cmsHTRANSFORM lab = nullptr;  // L*a*b* to B, G, R (Kind::Lab), owned by the decoding
};

enum class Kind { Bilevel, Grey, Palette, Rgb, Lab, Generic };

// The most samples a pixel the direct readers take: colour, alpha and a dozen extra channels.
constexpr uint16_t kMaxSamplesPerPixel = 16;

Kind Classify(TIFF *tif, Layout *l) {
    uint16_t extraCount = 0;
    uint16_t *extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l->bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l->spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l->planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l->format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l->photometric))
        l->photometric = l->spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;

    const bool numbers = l->format == SAMPLEFORMAT_INT || l->format == SAMPLEFORMAT_IEEEFP;
    if (l->format != SAMPLEFORMAT_UINT && !numbers) return Kind::Generic;
    if (l->format == SAMPLEFORMAT_INT && l->bps != 8 && l->bps != 16 && l->bps != 32)
        return Kind::Generic;
    if (l->format == SAMPLEFORMAT_IEEEFP && l->bps != 16 && l->bps != 32) return Kind::Generic;
    if (l->bps > 16 && l->bps != 32) return Kind::Generic;
    // Separate planes of samples that do not fill whole bytes would need bit-level
    // interleaving: rare enough to leave to the generic reader.
    if (l->planar == PLANARCONFIG_SEPARATE && l->spp > 1 && l->bps % 8 != 0) return Kind::Generic;
    switch (l->photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE: l->colours = 1; break;
    case PHOTOMETRIC_PALETTE: l->colours = 1; break;
    case PHOTOMETRIC_RGB:
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB: l->colours = 3; break;
    default: return Kind::Generic;
    }
    if (l->spp < l->colours || l->spp != l->colours + extraCount) return Kind::Generic;
    // An extra sample of unspecified meaning is carried along and ignored; only one marked
    // as alpha is alpha.
    if (extraCount > 0 && extra &&
        (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA)) {
        l->alpha = l->colours;
        l->associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
    }
    switch (l->photometric) {
    case PHOTOMETRIC_PALETTE:
        if (numbers || l->spp != 1 || (l->bps != 1 && l->bps != 2 && l->bps != 4 && l->bps != 8))
            return Kind::Generic;
        return Kind::Palette;
    case PHOTOMETRIC_RGB: return l->bps >= 2 ? Kind::Rgb : Kind::Generic;
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
        return (l->bps == 8 || l->bps == 16) && l->format == SAMPLEFORMAT_UINT ? Kind::Lab
                                                                               : Kind::Generic;
    default:
        if (l->bps == 1 && l->spp == 1) return Kind::Bilevel;
        return l->bps >= 2 ? Kind::Grey : Kind::Generic;
    }
}

// Sample i of a packed row as a value of 0 to 65535: unsigned samples of 1 to 16 or 32 bits (the
// first in the high bits) scaled, signed ones offset by half their range, floating-point ones
// (16-bit half or 32-bit) from 0..1, clamped. Rows are in the machine's byte order, as libtiff
// hands them out.
uint16_t Sample16(const uint8_t *row, size_t i, const Layout &l) {
    if (l.format == SAMPLEFORMAT_IEEEFP) {
        float f;
        if (l.bps == 32) {
            std::memcpy(&f, row + 4 * i, 4);
        } else {
            uint16_t h;
            std::memcpy(&h, row + 2 * i, 2);
            const int exponent = (h >> 10) & 31, mantissa = h & 1023;
            f = exponent == 0    ? std::ldexp(float(mantissa), -24)
                : exponent == 31 ? (mantissa ? NAN : INFINITY)
                                 : std::ldexp(float(mantissa | 1024), exponent - 25);
            if (h & 0x8000) f = -f;
        }
        if (!(f > 0)) return 0;  // NaN too
        return f >= 1 ? 65535 : static_cast<uint16_t>(std::lround(f * 65535.0f));
    }
    if (l.bps == 32) {
        uint32_t v;
        std::memcpy(&v, row + 4 * i, 4);
        if (l.format == SAMPLEFORMAT_INT) v ^= 0x80000000u;
        return static_cast<uint16_t>((uint64_t{v} * 65535u + 2147483647u) / 4294967295u);
    }
    if (l.bps == 16) {
        uint16_t v;
        std::memcpy(&v, row + 2 * i, 2);
        return l.format == SAMPLEFORMAT_INT ? static_cast<uint16_t>(v ^ 0x8000) : v;
    }
    if (l.bps == 8) {
        const uint8_t v =
            l.format == SAMPLEFORMAT_INT ? static_cast<uint8_t>(row[i] ^ 0x80) : row[i];
        return static_cast<uint16_t>(v * 257u);
    }
    // 1 to 15 bits, possibly across byte boundaries.
    const size_t bit = i * static_cast<size_t>(l.bps);
    uint32_t window = 0;
    for (size_t b = bit >> 3; b <= (bit + l.bps - 1) >> 3; ++b) window = (window << 8) | row[b];
    const unsigned used = static_cast<unsigned>(((bit + l.bps - 1) >> 3) - (bit >> 3) + 1) * 8;
    const unsigned max = (1u << l.bps) - 1;
    const unsigned v = (window >> (used - (bit & 7) - l.bps)) & max;
    return static_cast<uint16_t>((v * 65535u + max / 2) / max);
}

// A value of Sample16 as 8 bits: rounded, but floating-point ones cut down, as ImageMagick
// maps them. Of the peers it alone takes 0..1 as the full range (Pillow takes the values as
// levels of 0..255, which shows a picture of 0..1 black), and we keep to its levels exactly.
inline uint8_t To8(uint16_t v, const Layout &l) {
    return l.format == SAMPLEFORMAT_IEEEFP ? static_cast<uint8_t>(v / 257u) : From16(v);
}

// Sample i scaled to 8 bits, as To8 does.
inline uint8_t Sample(const uint8_t *row, size_t i, const Layout &l) {
    if (l.bps == 8 && l.format == SAMPLEFORMAT_UINT) return row[i];
    return To8(Sample16(row, i, l), l);
}

// A colour sample premultiplied by an alpha (both 16-bit) made straight, rounded to 8 bits.
inline uint8_t Straight(uint16_t c, uint16_t a) {
    if (a == 0) return 0;
    return From16(
        static_cast<uint16_t>(std::min<uint32_t>(65535u, (uint32_t(c) * 65535u + a / 2u) / a)));
}

// The file's colour map; 16-bit entries, though some writers put 8-bit values in them.
bool ReadPalette(TIFF *tif, int bps, std::vector<RGBQUAD> *palette) {
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b)
        return kit::Fail("TIFF: the colour map is missing");
    const size_t n = size_t{1} << bps;
    bool eightBit = true;
    for (size_t i = 0; i < n && eightBit; ++i) eightBit = r[i] < 256 && g[i] < 256 && b[i] < 256;
    palette->resize(n);
    for (size_t i = 0; i < n; ++i) {
        RGBQUAD &q = (*palette)[i];
        q.rgbRed = static_cast<uint8_t>(eightBit ? r[i] : r[i] >> 8);
        q.rgbGreen = static_cast<uint8_t>(eightBit ? g[i] : g[i] >> 8);
        q.rgbBlue = static_cast<uint8_t>(eightBit ? b[i] : b[i] >> 8);
        q.rgbReserved = 0;
    }
    return true;
}

// The rows of a picture with the samples of each pixel together, whatever the file's layout:
// strips of interleaved samples are read a row at a time; tiles and separate planes a band
// (one row of tiles, or one strip of each plane) at a time. Rows are asked for in order.
class RowSource {
public:
    bool Init(TIFF *tif, const Layout &l, uint32_t width, uint32_t height) {
        tif_ = tif;
        width_ = width;
        height_ = height;
        spp_ = l.spp;
        bps_ = l.bps;
        tiled_ = TIFFIsTiled(tif) != 0;
        separate_ = l.planar == PLANARCONFIG_SEPARATE && l.spp > 1;
        planes_ = separate_ ? spp_ : 1;
        pixelBits_ = static_cast<size_t>(bps_) * (separate_ ? 1 : spp_);
        lineBytes_ = (static_cast<size_t>(width) * spp_ * bps_ + 7) / 8;
        planeLineBytes_ = (static_cast<size_t>(width) * pixelBits_ + 7) / 8;
        line_.resize(lineBytes_);
        if (!tiled_ && !separate_) {
            const tmsize_t fileLine = TIFFScanlineSize(tif);
            if (fileLine <= 0 || static_cast<size_t>(fileLine) < lineBytes_) return false;
            line_.resize(static_cast<size_t>(fileLine));
            return true;
        }
        if (tiled_) {
            if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth_) ||
                !TIFFGetField(tif, TIFFTAG_TILELENGTH, &bandHeight_) || tileWidth_ == 0 ||
                bandHeight_ == 0)
                return false;
            // Each tile must start on a byte of the row.
            if ((static_cast<size_t>(tileWidth_) * pixelBits_) % 8 != 0) return false;
            tileRowBytes_ = (static_cast<size_t>(tileWidth_) * pixelBits_ + 7) / 8;
            const tmsize_t tileSize = TIFFTileSize(tif);
            if (tileSize <= 0 || static_cast<size_t>(tileSize) < tileRowBytes_ * bandHeight_)
                return false;
            tile_.resize(static_cast<size_t>(tileSize));
        } else {
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bandHeight_);
            if (bandHeight_ == 0) return false;
        }
        bandHeight_ = std::min(bandHeight_, height);
        band_.resize(planeLineBytes_ * bandHeight_ * planes_);
        return true;
    }

    // Row y, or null when the file's data for it cannot be read.
    const uint8_t *Row(uint32_t y) {
        if (!tiled_ && !separate_) {
            return TIFFReadScanline(tif_, line_.data(), y, 0) < 0 ? nullptr : line_.data();
        }
        const uint32_t start = y - y % bandHeight_;
        if (start != bandStart_) {
            if (!LoadBand(start)) return nullptr;
            bandStart_ = start;
        }
        const uint32_t r = y - start;
        if (!separate_) return band_.data() + planeLineBytes_ * r;
        // Interleave the planes' samples (8 or 16 bits each).
        const size_t bytes = bps_ / 8;
        for (uint16_t p = 0; p < planes_; ++p) {
            const uint8_t *in =
                band_.data() + planeLineBytes_ * (static_cast<size_t>(p) * bandHeight_ + r);
            uint8_t *out = line_.data() + p * bytes;
            for (uint32_t x = 0; x < width_; ++x, in += bytes, out += bytes * spp_)
                std::memcpy(out, in, bytes);
        }
        return line_.data();
    }

private:
    bool LoadBand(uint32_t start) {
        const uint32_t rows = std::min(bandHeight_, height_ - start);
        for (uint16_t p = 0; p < planes_; ++p) {
            uint8_t *plane = band_.data() + planeLineBytes_ * bandHeight_ * p;
            if (!tiled_) {
                const tmsize_t want = static_cast<tmsize_t>(planeLineBytes_ * rows);
                if (TIFFReadEncodedStrip(tif_, TIFFComputeStrip(tif_, start, p), plane, want) !=
                    want)
                    return false;
                continue;
            }
            for (uint32_t x = 0; x < width_; x += tileWidth_) {
                if (TIFFReadTile(tif_, tile_.data(), x, start, 0, p) < 0) return false;
                const size_t offset = static_cast<size_t>(x) * pixelBits_ / 8;
                const size_t count = std::min(tileRowBytes_, planeLineBytes_ - offset);
                for (uint32_t r = 0; r < rows; ++r)
                    std::memcpy(plane + planeLineBytes_ * r + offset,
                                tile_.data() + tileRowBytes_ * r, count);
            }
        }
        return true;
    }

    TIFF *tif_ = nullptr;
    uint32_t width_ = 0, height_ = 0, tileWidth_ = 0, bandHeight_ = 0;
    uint32_t bandStart_ = UINT32_MAX;
    uint16_t spp_ = 1, bps_ = 8, planes_ = 1;
    bool tiled_ = false, separate_ = false;
    size_t pixelBits_ = 0, lineBytes_ = 0, planeLineBytes_ = 0, tileRowBytes_ = 0;
    std::vector<uint8_t> line_, band_, tile_;
};

// The readers of the direct layouts: one row of the file's samples (pixels together, as
// RowSource gives them) into one row of the DIB. One is picked per file, before the rows.
using RowReader = void (*)(const uint8_t *in, uint8_t *out, size_t w, const Layout &l);

// Bilevel, palettes of 1, 4 and 8 bits and plain 8-bit grey: the file's row is the DIB's.
void CopyRow(const uint8_t *in, uint8_t *out, size_t w, const Layout &l) {
    std::memcpy(out, in, (w * l.bps + 7) / 8);
}

// 2-bit palette indices, two by two, into 4-bit ones.
void WidenTwoBitIndices(const uint8_t *in, uint8_t *out, size_t w, const Layout &) {
    for (size_t x = 0; x < w; ++x) WriteDibIndex(out, x, 4, ReadDibIndex(in, x, 2));
}

// Grey of 2 to 16 bits, either polarity, into 8-bit indices, or with alpha into B, G, R, A.
void ReadGrey(const uint8_t *in, uint8_t *out, size_t w, const Layout &l) {
    const bool white0 = l.photometric == PHOTOMETRIC_MINISWHITE;
    for (size_t x = 0; x < w; ++x) {
        uint16_t v = Sample16(in, x * l.spp, l);
        if (white0) v = static_cast<uint16_t>(65535 - v);
        if (l.alpha < 0) {
            out[x] = To8(v, l);
            continue;
        }
        const uint16_t a = Sample16(in, x * l.spp + l.alpha, l);
        out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = l.associated ? Straight(v, a) : To8(v, l);
        out[4 * x + 3] = To8(a, l);
    }
}

// The common colour case: R, G, B bytes to B, G, R.
void SwapRgb8(const uint8_t *in, uint8_t *out, size_t w, const Layout &) {
    SwapRedBlue<3, 3>(in, out, w);
}

// RGB of any depth with extra samples, into B, G, R or with alpha B, G, R, A.
void ReadRgb(const uint8_t *in, uint8_t *out, size_t w, const Layout &l) {
    const size_t step = l.alpha >= 0 ? 4 : 3;
    for (size_t x = 0; x < w; ++x) {
        const size_t i = x * l.spp;
        uint8_t *px = out + x * step;
        if (l.alpha >= 0 && l.associated) {
            const uint16_t a = Sample16(in, i + l.alpha, l);
            px[0] = Straight(Sample16(in, i + 2, l), a);
            px[1] = Straight(Sample16(in, i + 1, l), a);
            px[2] = Straight(Sample16(in, i, l), a);
            px[3] = From16(a);
            continue;
        }
        if (l.alpha >= 0) px[3] = Sample(in, i + l.alpha, l);
        px[0] = Sample(in, i + 2, l);
        px[1] = Sample(in, i + 1, l);
        px[2] = Sample(in, i, l);
    }
}

// L*a*b* of 8 or 16 bits into B, G, R (or B, G, R, A): a*, b* as Little CMS takes them
// (offset by half their range; TIFF's own CIELab has them signed), then its transform.
void ReadLab(const uint8_t *in, uint8_t *out, size_t w, const Layout &l) {
    const bool sixteen = l.bps == 16, signedAB = l.photometric == PHOTOMETRIC_CIELAB;
    const size_t step = l.alpha >= 0 ? 4 : 3;
    uint16_t lab16[3 * 256];
    uint8_t lab8[3 * 256], bgr[3 * 256];
    for (size_t x0 = 0; x0 < w; x0 += 256) {
        const size_t n = std::min<size_t>(256, w - x0);
        for (size_t x = 0; x < n; ++x) {
            const size_t i = (x0 + x) * l.spp;
            for (int c = 0; c < 3; ++c) {
                if (sixteen) {
                    uint16_t v;
                    std::memcpy(&v, in + 2 * (i + c), 2);
                    lab16[3 * x + c] = c > 0 && signedAB ? static_cast<uint16_t>(v ^ 0x8000) : v;
                } else {
                    lab8[3 * x + c] =
                        c > 0 && signedAB ? static_cast<uint8_t>(in[i + c] ^ 0x80) : in[i + c];
                }
            }
        }
        cmsDoTransform(l.lab, sixteen ? static_cast<const void *>(lab16) : lab8, bgr,
                       static_cast<cmsUInt32Number>(n));
        for (size_t x = 0; x < n; ++x) {
            uint8_t *px = out + (x0 + x) * step;
            std::memcpy(px, bgr + 3 * x, 3);
            if (l.alpha >= 0) px[3] = Sample(in, (x0 + x) * l.spp + l.alpha, l);
        }
    }
}

// The transform of ReadLab, from the file's white point.
cmsHTRANSFORM MakeLabTransform(TIFF *tif, const Layout &l) {
    cmsCIExyY white = {0.3127, 0.3290, 1.0};  // D65
    float *tagged = nullptr;
    if (TIFFGetField(tif, TIFFTAG_WHITEPOINT, &tagged) && tagged && tagged[0] > 0 &&
        tagged[1] > 0 && tagged[0] < 1 && tagged[1] < 1)
        white = {tagged[0], tagged[1], 1.0};
    cmsHPROFILE lab = cmsCreateLab4Profile(&white);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = nullptr;
    if (lab && srgb)
        transform = cmsCreateTransform(lab, l.bps == 16 ? TYPE_Lab_16 : TYPE_Lab_8, srgb,
                                       TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    if (lab) cmsCloseProfile(lab);
    if (srgb) cmsCloseProfile(srgb);
    return transform;
}

// The DIB a direct layout decodes into, and the reader of its rows; null when the file's
// colour map cannot be read.
RowReader PickReader(TIFF *tif, Kind kind, const Layout &l, kit::DibSpec *spec) {
    const bool white0 = l.photometric == PHOTOMETRIC_MINISWHITE;
    switch (kind) {
    case Kind::Bilevel:
        spec->bitCount = 1;
        spec->palette = kit::GreyPalette(1);
        if (white0) std::swap(spec->palette[0], spec->palette[1]);
        return CopyRow;
    case Kind::Palette:
        spec->bitCount = l.bps == 1 ? 1 : l.bps == 8 ? 8 : 4;
        if (!ReadPalette(tif, l.bps, &spec->palette)) return nullptr;
        return l.bps == 2 ? WidenTwoBitIndices : CopyRow;
    case Kind::Grey:
        spec->bitCount = l.alpha >= 0 ? 32 : 8;
        if (l.alpha < 0) spec->palette = kit::GreyPalette(8);
        return l.bps == 8 && l.format == SAMPLEFORMAT_UINT && l.spp == 1 && !white0 ? CopyRow
                                                                                    : ReadGrey;
    case Kind::Lab: spec->bitCount = l.alpha >= 0 ? 32 : 24; return l.lab ? ReadLab : nullptr;
    default:
        spec->bitCount = l.alpha >= 0 ? 32 : 24;
        return l.bps == 8 && l.format == SAMPLEFORMAT_UINT && l.spp == 3 ? SwapRgb8 : ReadRgb;
    }
}

// Bilevel, grey, palette and RGB files, row by row.
HBITMAP DecodeDirect(Reader *r, Kind kind, Layout l, kit::DibSpec spec, ProgressCallbackFn progress,
                     int32_t data, DibAllocCallbackFn alloc) {
    const kit::Owned<void, cmsDeleteTransform> labEnd{
        kind == Kind::Lab ? MakeLabTransform(r->tif, l) : nullptr};
    l.lab = labEnd.get();
    if (kind == Kind::Lab && !l.lab)
        return kit::Fail<HBITMAP>("TIFF: no colour transform for L*a*b* could be made");
    const RowReader read = PickReader(r->tif, kind, l, &spec);
    if (!read) return nullptr;
    // Row buffers hold every sample of a row: a pixel of thousands of extra samples would ask
    // for gigabytes before a byte is read.
    if (l.spp > kMaxSamplesPerPixel)
        return kit::Fail<HBITMAP>("TIFF: " + std::to_string(l.spp) + " samples a pixel; at most " +
                                  std::to_string(kMaxSamplesPerPixel) + " are read");
    RowSource rows;
    if (!rows.Init(r->tif, l, r->width, r->height))
        return kit::Fail<HBITMAP>("TIFF: a strip or tile layout that cannot be read");

    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};

    const int32_t h = static_cast<int32_t>(r->height);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t *in = rows.Row(static_cast<uint32_t>(y));
        if (!in || r->messages.errors)
            return kit::Fail<HBITMAP>("TIFF: the picture's data cannot be read");
        read(in, dib.Row(y), r->width, l);
        kit::ReportProgress(progress, y + 1, h, data);
    }
    if (r->messages.errors) return nullptr;
    return kit::ShowUpright(&owned, dib, spec, r->orientation, alloc);
}

// Everything else, through libtiff's RGBA reader, a band of rows at a time.
HBITMAP DecodeGeneric(Reader *r, kit::DibSpec spec, ProgressCallbackFn progress, int32_t data,
                      DibAllocCallbackFn alloc) {
    TIFF *tif = r->tif;
    char emsg[1024] = "";
    if (!TIFFRGBAImageOK(tif, emsg)) return kit::Fail<HBITMAP>(std::string("TIFF: ") + emsg);
    TIFFRGBAImage img;
    // Stop at the first strip or tile that cannot be read: a small file claiming a large
    // picture must not cost a walk over every missing strip.
    if (!TIFFRGBAImageBegin(&img, tif, 1, emsg))
        return kit::Fail<HBITMAP>(std::string("TIFF: ") + emsg);
    const kit::Owned<TIFFRGBAImage, TIFFRGBAImageEnd> end{&img};
    // Rows as they are stored: the orientation is applied afterwards, alike for every path
    // (libtiff's own handling flips but never turns).
    img.req_orientation = static_cast<uint16_t>(r->orientation);
    // The RGBA reader hands out premultiplied colour for either kind of alpha.
    const bool alpha = img.alpha != 0;
    spec.bitCount = alpha ? 32 : 24;

    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};

    // The reader is asked for whole tiles of a tiled picture, at the tiles' own offsets, as
    // libtiff's tile reader asks it: bands that start inside a tile are not what its tile
    // paths (the old-style JPEG one among them) are made for. Strips go in bands of 64 rows.
    const uint32_t w = r->width, h = r->height;
    uint32_t tileWidth = w, bandHeight = 64;
    if (TIFFIsTiled(tif) &&
        (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth) ||
         !TIFFGetField(tif, TIFFTAG_TILELENGTH, &bandHeight) || tileWidth == 0 || bandHeight == 0))
        return kit::Fail<HBITMAP>("TIFF: the tiles have no size");
    tileWidth = std::min(tileWidth, w);
    bandHeight = std::min(bandHeight, h);
    if (uint64_t{tileWidth} * bandHeight > kit::kMaxPixels)
        return kit::Fail<HBITMAP>("TIFF: the tiles are larger than a picture may be");
    std::vector<uint32_t> raster(static_cast<size_t>(tileWidth) * bandHeight);
    for (uint32_t y0 = 0; y0 < h; y0 += bandHeight) {
        const uint32_t rows = std::min(bandHeight, h - y0);
        for (uint32_t x0 = 0; x0 < w; x0 += tileWidth) {
            const uint32_t columns = std::min(tileWidth, w - x0);
            img.row_offset = static_cast<int>(y0);
            img.col_offset = static_cast<int>(x0);
            if (!TIFFRGBAImageGet(&img, raster.data(), columns, rows) || r->messages.errors)
                return kit::Fail<HBITMAP>("TIFF: the picture's data cannot be read");
            for (uint32_t i = 0; i < rows; ++i) {
                const uint32_t *in = raster.data() + static_cast<size_t>(i) * columns;
                uint8_t *out = dib.Row(static_cast<int32_t>(y0 + i)) +
                               static_cast<size_t>(x0) * (alpha ? 4 : 3);
                for (uint32_t x = 0; x < columns; ++x) {
                    const uint32_t p = in[x];
                    if (alpha) {
                        const uint8_t a = static_cast<uint8_t>(TIFFGetA(p));
                        out[4 * x] = Unpremultiply(static_cast<uint8_t>(TIFFGetB(p)), a);
                        out[4 * x + 1] = Unpremultiply(static_cast<uint8_t>(TIFFGetG(p)), a);
                        out[4 * x + 2] = Unpremultiply(static_cast<uint8_t>(TIFFGetR(p)), a);
                        out[4 * x + 3] = a;
                    } else {
                        out[3 * x] = static_cast<uint8_t>(TIFFGetB(p));
                        out[3 * x + 1] = static_cast<uint8_t>(TIFFGetG(p));
                        out[3 * x + 2] = static_cast<uint8_t>(TIFFGetR(p));
                    }
                }
            }
        }
        kit::ReportProgress(progress, static_cast<int32_t>(y0 + rows), static_cast<int32_t>(h),
                            data);
    }
    if (r->messages.errors) return nullptr;
    return kit::ShowUpright(&owned, dib, spec, r->orientation, alloc);
}

// Whether a page of this kind and layout is read at full depth, and whether it is deep.
bool ReadsDeep(Kind kind) {
    return kind == Kind::Bilevel || kind == Kind::Grey || kind == Kind::Rgb;
}
bool IsDeep(Kind kind, const Layout &l) {
    return (kind == Kind::Grey || kind == Kind::Rgb) && l.format == SAMPLEFORMAT_UINT &&
           l.bps > 8 && l.bps <= 16;
}

// One pixel of the file's row (pixels together) as 16-bit grey or R, G, B and alpha, straight.
void PixelSamples(const uint8_t *in, size_t x, const Layout &l, uint16_t out[4]) {
    const size_t i = x * l.spp;
    if (l.colours == 3) {
        for (int c = 0; c < 3; ++c) out[c] = Sample16(in, i + size_t(c), l);
    } else {
        uint16_t v = Sample16(in, i, l);
        if (l.photometric == PHOTOMETRIC_MINISWHITE) v = static_cast<uint16_t>(65535 - v);
        out[0] = out[1] = out[2] = v;
    }
    const uint32_t a = l.alpha >= 0 ? Sample16(in, i + size_t(l.alpha), l) : 65535;
    out[3] = static_cast<uint16_t>(a);
    if (l.associated)
        for (int c = 0; c < 3; ++c)
            out[c] = a == 0 ? 0
                            : static_cast<uint16_t>(
                                  std::min<uint32_t>(65535, (out[c] * 65535u + a / 2) / a));
}

// The page tif is on at full depth onto the canvas (its top-left, padded as PlaceOnCanvas
// pads: transparent with alpha, else white), turned upright. False, with the cause, when its
// data cannot be read.
bool DecodePageSamples(Reader *r, const Layout &l, const kit::SampleView &canvas,
                       ProgressCallbackFn progress, int32_t data) {
    if (l.spp > kMaxSamplesPerPixel)
        return kit::Fail("TIFF: " + std::to_string(l.spp) + " samples a pixel; at most " +
                         std::to_string(kMaxSamplesPerPixel) + " are read");
    RowSource rows;
    if (!rows.Init(r->tif, l, r->width, r->height))
        return kit::Fail("TIFF: a strip or tile layout that cannot be read");
    const size_t n = size_t(canvas.channels);
    const bool swap = kit::SwapsAxes(r->orientation);
    if ((swap ? r->height : r->width) != uint32_t(canvas.width) ||
        (swap ? r->width : r->height) != uint32_t(canvas.height)) {
        const std::vector<uint16_t> pad(size_t(canvas.width) * n, 65535);
        for (int32_t y = 0; y < canvas.height; ++y) {
            uint16_t *row = canvas.Row(y);
            std::memcpy(row, pad.data(), pad.size() * 2);
            if (n % 2 == 0)
                for (size_t x = n - 1; x < pad.size(); x += n) row[x] = 0;
        }
    }
    std::vector<uint16_t> line(size_t(r->width) * n);
    const int32_t h = static_cast<int32_t>(r->height);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t *in = rows.Row(static_cast<uint32_t>(y));
        if (!in || r->messages.errors) return kit::Fail("TIFF: the picture's data cannot be read");
        uint16_t px[4];
        for (size_t x = 0; x < r->width; ++x) {
            PixelSamples(in, x, l, px);
            uint16_t *out = line.data() + x * n;
            if (n >= 3) std::memcpy(out, px, 6);
            else out[0] = px[0];
            if (n % 2 == 0) out[n - 1] = px[3];
        }
        kit::PlaceSampleRow(line.data(), y, static_cast<int32_t>(r->width), h, r->orientation,
                            canvas);
        kit::ReportProgress(progress, y + 1, h, data);
    }
    return r->messages.errors == 0;
}

// What the first directory holds besides its pixels, and how many more pages follow it.
// The page count goes only where the pages are not read as frames; the samples' depth only
// where they are reduced to 8 bits.
void NoteMetadata(TIFF *tif, const Layout &layout, bool countPages, bool reduced = true) {
    const std::pair<ttag_t, const char *> blocks[] = {{TIFFTAG_ICCPROFILE, FALTRIX_METADATA_ICC},
                                                      {TIFFTAG_XMLPACKET, FALTRIX_METADATA_XMP}};
    for (const auto &[tag, key] : blocks) {
        uint32_t size = 0;
        void *bytes = nullptr;
        if (TIFFGetField(tif, tag, &size, &bytes) && bytes)
            kit::NoteMetadata(key, {static_cast<const char *>(bytes), size});
    }
    if (reduced && layout.bps > 8)
        kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, layout.bps);
    if (const tdir_t pages = countPages ? TIFFNumberOfDirectories(tif) : 0; pages > 1)
        kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, pages);
    // Last: reading the EXIF directory leaves the picture's.
    if (const std::string exif = ReadExifBlock(tif); !exif.empty())
        kit::NoteMetadata(FALTRIX_METADATA_EXIF, exif);
}

// The picture of the directory tif is on, upright; *layout gets its samples' layout.
HBITMAP DecodePage(Reader *r, Layout *layout, ProgressCallbackFn progress, int32_t data,
                   DibAllocCallbackFn alloc) {
    kit::DibSpec spec;
    spec.width = static_cast<int32_t>(r->width);
    spec.height = static_cast<int32_t>(r->height);
    float xres = 0, yres = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(r->tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (TIFFGetField(r->tif, TIFFTAG_XRESOLUTION, &xres) &&
        TIFFGetField(r->tif, TIFFTAG_YRESOLUTION, &yres)) {
        spec.xPelsPerMeter = PelsPerMeter(xres, unit);
        spec.yPelsPerMeter = PelsPerMeter(yres, unit);
    }
    const Kind kind = Classify(r->tif, layout);
    if (layout->format == SAMPLEFORMAT_IEEEFP && kind == Kind::Generic)
        return kit::Fail<HBITMAP>("TIFF: floating-point samples of this kind are not supported");
    return kind == Kind::Generic ? DecodeGeneric(r, spec, progress, data, alloc)
                                 : DecodeDirect(r, kind, *layout, spec, progress, data, alloc);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    Reader r;
    if (!Open(path, &r)) return nullptr;
    Layout layout;
    HBITMAP bitmap = DecodePage(&r, &layout, progress, data, alloc);
    if (bitmap) NoteMetadata(r.tif, layout, true);
    return bitmap;
}

// A camera's raw file is a TIFF structure too (CR2, NEF, ARW, PEF, DNG), with a preview in its
// first directory: it is left to the RAW input, which develops the sensor data, so that the
// preview is never taken for the picture. Known by a DNG version, Canon's "CR" mark, or
// sensor data (colour filter array or linear raw) in the first directory or one of its
// sub-directories. Classic TIFF only: no camera writes BigTIFF.
class RawProbe {
    static constexpr uint32_t kLinearRaw =
        34892;  // DNG's PhotometricInterpretation, unnamed in libtiff

public:
    explicit RawProbe(kit::InputFile &file) : file_(file) {}

    bool HoldsCameraRaw() {
        uint8_t head[10];
        if (file_.size() < 10 || !file_.Read(head, sizeof head) || head[2] + head[3] != 42)
            return false;
        big_ = head[0] == 'M';
        if (head[8] == 'C' && head[9] == 'R') return true;
        std::vector<uint32_t> subs;
        if (Directory(Get32(head + 4), &subs)) return true;
        for (size_t i = 0; i < subs.size() && i < 8; ++i)
            if (Directory(subs[i], nullptr)) return true;
        return false;
    }

private:
    uint32_t Get16(const uint8_t *p) const {
        return big_ ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0];
    }
    uint32_t Get32(const uint8_t *p) const {
        return big_ ? (Get16(p) << 16) | Get16(p + 2) : (Get16(p + 2) << 16) | Get16(p);
    }

    // True when the directory at `offset` says raw data; its sub-directories' offsets are
    // collected when `subs` is given.
    bool Directory(uint32_t offset, std::vector<uint32_t> *subs) {
        uint8_t count[2];
        if (!file_.Seek(offset) || !file_.Read(count, 2)) return false;
        std::vector<uint8_t> entries(size_t{Get16(count)} * 12);
        if (!file_.Read(entries.data(), entries.size())) return false;
        for (size_t at = 0; at < entries.size(); at += 12) {
            const uint8_t *e = entries.data() + at;
            const uint32_t tag = Get16(e), type = Get16(e + 2), n = Get32(e + 4);
            if (tag == TIFFTAG_DNGVERSION) return true;
            if (tag == TIFFTAG_PHOTOMETRIC && type == TIFF_SHORT &&
                (Get16(e + 8) == PHOTOMETRIC_CFA || Get16(e + 8) == kLinearRaw))
                return true;
            if (tag == TIFFTAG_SUBIFD && subs && (type == TIFF_LONG || type == TIFF_IFD))
                ReadOffsets(e, n, subs);
        }
        return false;
    }

    void ReadOffsets(const uint8_t *entry, uint32_t n, std::vector<uint32_t> *subs) {
        if (n == 1) return subs->push_back(Get32(entry + 8));
        std::vector<uint8_t> values(size_t{std::min<uint32_t>(n, 8)} * 4);
        if (!file_.Seek(Get32(entry + 8)) || !file_.Read(values.data(), values.size())) return;
        for (size_t i = 0; i < values.size(); i += 4) subs->push_back(Get32(values.data() + i));
    }

    kit::InputFile &file_;
    bool big_ = false;
};

bool Recognize(const WCHAR *path) {
    uint8_t magic[4];
    if (!kit::ReadFileHead(path, magic, sizeof magic) || !HasSignature(magic)) return false;
    kit::InputFile file;
    return file.Open(path) && !RawProbe(file).HoldsCameraRaw();
}

// The size shown: quarter turns of the Orientation tag swap the sides.
bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Reader r;
    if (!Open(path, &r)) return false;
    const bool swap = kit::SwapsAxes(r.orientation);
    info->width = static_cast<int32_t>(swap ? r.height : r.width);
    info->height = static_cast<int32_t>(swap ? r.width : r.height);
    return true;
}

// The pages of a file as frames, read in ascending order. Each page decodes as Decode decodes
// the first; a page of another size than the first is put at the top-left of the first's
// canvas (kit::PlaceOnCanvas), which OpenFrames tells once with a "dropped" item.
class PageReader final : public kit::FrameReader {
public:
    // Opens the file and counts its pages, with libtiff's guard against directory loops.
    bool Open(const WCHAR *path, kit::Sequence *out) {
        if (!tiff::Open(path, &r_)) return false;
        const tdir_t pages = TIFFNumberOfDirectories(r_.tif);
        if (pages > FALTRIX_MAX_FRAMES)
            return kit::Fail("TIFF: the file holds " + std::to_string(pages) +
                             " pages, more than the " + std::to_string(FALTRIX_MAX_FRAMES) +
                             " that are read");
        pages_ = std::max<int32_t>(1, static_cast<int32_t>(pages));
        r_.messages.errors = 0;  // a loop found while counting is no fault of the first page
        const bool swap = kit::SwapsAxes(r_.orientation);
        width_ = swap ? r_.height : r_.width;
        height_ = swap ? r_.width : r_.height;
        Layout first;
        const Kind kind = Classify(r_.tif, &first);
        if (IsDeep(kind, first)) {
            sampleBits_ = first.bps;
            channels_ = first.colours + (first.alpha >= 0 ? 1 : 0);
        }
        NoteOtherSizes();
        if (!Seek(0)) return false;
        out->sampleBits = sampleBits_;
        out->width = static_cast<int32_t>(width_);
        out->height = static_cast<int32_t>(height_);
        out->frameCount = pages_;
        out->loopCount = 1;
        out->kind = FALTRIX_FRAMES_PAGES;
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        *delay = 0;
        if (index >= pages_) return kit::Fail<HBITMAP>("TIFF: no such page");
        if (!Seek(index))
            return kit::Fail<HBITMAP>("TIFF: page " + std::to_string(index + 1) +
                                      " cannot be read");
        Layout layout;
        HBITMAP page = DecodePage(&r_, &layout, progress, data, alloc);
        if (!page) return nullptr;
        if (index == 0) {
            NoteMetadata(r_.tif, layout, false);
            current_ = -1;  // the EXIF directory may have been read
        }
        return kit::PlaceOnCanvas(page, static_cast<int32_t>(width_), static_cast<int32_t>(height_),
                                  alloc);
    }

    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override {
        *delay = 0;
        if (sampleBits_ == 0) return kit::Fail("TIFF: the file has no samples of more than 8 bits");
        if (index >= pages_) return kit::Fail("TIFF: no such page");
        const std::string page = "TIFF: page " + std::to_string(index + 1);
        if (!Seek(index)) return kit::Fail(page + " cannot be read");
        Layout layout;
        if (!ReadsDeep(Classify(r_.tif, &layout)))
            return kit::Fail(page + " is not bilevel, grey or RGB");
        const kit::SampleView canvas = target.Allocate(channels_, sampleBits_);
        if (!canvas.data) return false;
        if (uint32_t(canvas.width) != width_ || uint32_t(canvas.height) != height_)
            return kit::Fail("TIFF: the samples' canvas is not the first page's size");
        if (!DecodePageSamples(&r_, layout, canvas, progress, data)) return false;
        if (index == 0) {
            NoteMetadata(r_.tif, layout, false, false);
            current_ = -1;  // the EXIF directory may have been read
        }
        return true;
    }

private:
    // Moves to page `index`: the next directory is read in place, any other found from the
    // first. The page's size is checked against the limits.
    bool Seek(int32_t index) {
        if (index == current_) return true;
        r_.messages.errors = 0;
        const bool next = current_ >= 0 && index == current_ + 1;
        current_ = -1;
        if (!(next ? TIFFReadDirectory(r_.tif) : TIFFSetDirectory(r_.tif, tdir_t(index))))
            return false;
        if (!ReadPageHeader(&r_)) return false;
        current_ = index;
        return true;
    }

    // Reads every directory's size, as shown, and notes once how many pages differ from the
    // first. A directory that cannot be read ends the walk; reading that page will fail. Of a
    // deep file, every page's layout is read too: the channels that hold them all, and the
    // file stays 8-bit when a page is not read at full depth.
    void NoteOtherSizes() {
        int32_t other = 0;
        for (int32_t k = 1; k < pages_ && Seek(k); ++k) {
            const bool swap = kit::SwapsAxes(r_.orientation);
            if ((swap ? r_.height : r_.width) != width_ || (swap ? r_.width : r_.height) != height_)
                ++other;
            Layout l;
            if (sampleBits_ == 0) continue;
            if (!ReadsDeep(Classify(r_.tif, &l))) {
                sampleBits_ = 0;
                continue;
            }
            const int colours = std::max(channels_ >= 3 ? 3 : 1, l.colours);
            channels_ = colours + (channels_ % 2 == 0 || l.alpha >= 0 ? 1 : 0);
        }
        kit::NoteOtherSizes(other, "page");
    }

    Reader r_;
    uint32_t width_ = 0, height_ = 0;  // the first page's, as shown
    int32_t pages_ = 1;
    int32_t current_ = 0;  // the directory tif is on; -1 when not known
    int sampleBits_ = 0;   // the first page's depth when read at full depth
    int channels_ = 0;     // of the deep samples
};

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<PageReader>(path, out);
}

}  // namespace
}  // namespace faltrix::tiff

FALTRIX_KIT_INPUT_PLUGIN(faltrix::tiff)
FALTRIX_KIT_FRAMES_INPUT(faltrix::tiff)
FALTRIX_KIT_DEEP_INPUT()
