// PNG input plug-in over libpng. The DIB loses as little as the graphics layer allows:
//   palette (1, 4, 8 bits)        -> the same depth and palette; 2-bit palettes become 4-bit
//   grey (1 to 16 bits)           -> 8 bits with a 256-entry grey palette
//   RGB                           -> 24 bits
//   any alpha channel or tRNS     -> 32 bits B, G, R, A with the alpha kept
//   16-bit samples                -> reduced to 8 (rounded); read as frames, the host may ask
//                                    for them at full depth instead (png_deep.h)
// pHYs in pixels per metre becomes biXPelsPerMeter / biYPelsPerMeter. Sections are top-down,
// PNG's own row order, so rows are decoded straight into the section. An eXIf chunk before the
// pixel data that gives an orientation other than 1 has the picture turned upright, and the
// size reported is the size shown; one after the pixel data is never seen by a size query, so
// neither turns the picture (the host's EXIF then says 1, as the pixels are stored). The colour
// profile (iCCP), the EXIF block (eXIf) and the XMP packet (iTXt "XML:com.adobe.xmp") are noted for
// GetPictureMetadata, and so are 16-bit samples: those before the pixel data as libpng reads
// them, an eXIf or XMP text after it (libpng reads no further than the pixels) by a walk over
// the chunks that follow, unless one came before. A profile libpng rejects is dropped with
// its words. An animated PNG's frame count (apng_input.cpp) is noted as "frames".
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apng.h"
#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/orientation.h"
#include "png_common.h"
#include "png_deep.h"
#include "png_pixels.h"

namespace faltrix::png {
namespace {

// What the header says, and the DIB it decodes into.
struct Layout {
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colorType = 0, interlace = 0;
    int dibBits = 0;      // 1, 4, 8, 24, 32
    bool twoBit = false;  // 2-bit palette: decoded to bytes, packed into 4-bit by us
    int passes = 1;
    bool trns = false;  // a tRNS chunk that stays valid
    int32_t xppm = 0, yppm = 0;
    RGBQUAD palette[256] = {};
    int paletteSize = 0;
    int orientation = 1;  // from an eXIf chunk before the pixel data
};

// Reads the header and sets up libpng's transformations. 0 on success. setjmp lives here:
// trivially destructible locals only.
int ReadHeader(Reader *r, FILE *file, bool transforms, Layout *out) {
    if (setjmp(png_jmpbuf(r->png))) return 1;
    png_set_read_fn(r->png, file, ReadFromFile);
    png_set_user_limits(r->png, kit::kMaxSide, kit::kMaxSide);
    png_read_info(r->png, r->info);
    png_uint_32 w, h;
    int depth, color, interlace;
    png_get_IHDR(r->png, r->info, &w, &h, &depth, &color, &interlace, nullptr, nullptr);
    if (!kit::WithinLimits(w, h)) return 2;
    out->width = w;
    out->height = h;
    out->bitDepth = depth;
    out->colorType = color;
    out->interlace = interlace;
    png_uint_32 rx, ry;
    int unit;
    if (png_get_pHYs(r->png, r->info, &rx, &ry, &unit) && unit == PNG_RESOLUTION_METER &&
        rx <= INT32_MAX && ry <= INT32_MAX) {
        out->xppm = int32_t(rx);
        out->yppm = int32_t(ry);
    }
    png_uint_32 exifSize = 0;
    png_bytep exif = nullptr;
    if (png_get_eXIf_1(r->png, r->info, &exifSize, &exif) && exif)
        out->orientation = kit::ExifOrientation(exif, exifSize);
    if (!transforms) return 0;

    // A grey or colour key beyond the samples' depth can match no pixel (libpng would mask
    // it into range and match some): such a tRNS makes nothing transparent.
    if (png_get_valid(r->png, r->info, PNG_INFO_tRNS) &&
        (color == PNG_COLOR_TYPE_GRAY || color == PNG_COLOR_TYPE_RGB)) {
        png_color_16p key = nullptr;
        png_get_tRNS(r->png, r->info, nullptr, nullptr, &key);
        const unsigned highest = (1u << depth) - 1;
        if (key && (key->gray > highest || key->red > highest || key->green > highest ||
                    key->blue > highest))
            png_set_invalid(r->png, r->info, PNG_INFO_tRNS);
    }
    const bool trns = png_get_valid(r->png, r->info, PNG_INFO_tRNS) != 0;
    out->trns = trns;
    if (depth == 16) png_set_scale_16(r->png);
    if (color == PNG_COLOR_TYPE_PALETTE && !trns) {
        png_colorp pal = nullptr;
        int n = 0;
        if (!png_get_PLTE(r->png, r->info, &pal, &n) || n < 1)
            return kit::Fail("PNG: the palette is missing", 3);
        const int dibBits = depth == 2 ? 4 : depth;
        if (n > (1 << dibBits)) n = 1 << dibBits;
        for (int i = 0; i < n; ++i)
            out->palette[i] = RGBQUAD{pal[i].blue, pal[i].green, pal[i].red, 0};
        out->paletteSize = n;
        out->dibBits = dibBits;
        out->twoBit = depth == 2;
        if (out->twoBit) png_set_packing(r->png);
    } else if (color == PNG_COLOR_TYPE_GRAY && !trns) {
        if (depth < 8) png_set_expand_gray_1_2_4_to_8(r->png);
        for (int i = 0; i < 256; ++i) out->palette[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
        out->paletteSize = 256;
        out->dibBits = 8;
    } else {
        // Everything else is colour: expand palettes, greys and tRNS keys, then B, G, R(, A).
        png_set_expand(r->png);
        if (color == PNG_COLOR_TYPE_GRAY || color == PNG_COLOR_TYPE_GRAY_ALPHA)
            png_set_gray_to_rgb(r->png);
        png_set_bgr(r->png);
        out->dibBits = (trns || (color & PNG_COLOR_MASK_ALPHA)) ? 32 : 24;
    }
    out->passes = png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    return 0;
}

// Reads every pass into rows[0 .. height - 1]. 0 on success.
int ReadRows(Reader *r, png_bytep *rows, const Layout *l, ProgressCallbackFn progress,
             int32_t data) {
    if (setjmp(png_jmpbuf(r->png))) return 1;
    const int64_t total = int64_t(l->passes) * l->height;
    for (int pass = 0; pass < l->passes; ++pass) {
        for (png_uint_32 y = 0; y < l->height; ++y) {
            png_read_row(r->png, rows[y], nullptr);
            const int64_t done = int64_t(pass) * l->height + y + 1;
            // Scaled so that done and total fit the callback's 32 bits for any interlacing.
            kit::ReportProgress(progress, int32_t(done * l->height / total), int32_t(l->height),
                                data);
        }
    }
    return 0;
}

// libpng's warnings while it reads the chunks before the pixels: the first about the colour
// profile (libpng names the chunk first, "iCCP: ..."), which libpng then leaves out.
void OnReadWarning(png_structp png, png_const_charp message) {
    auto *profileWarning = static_cast<std::string *>(png_get_error_ptr(png));
    if (profileWarning && profileWarning->empty() && message &&
        std::strncmp(message, "iCCP: ", 6) == 0)
        *profileWarning = message + 6;
}

// Which items the chunks before the pixels held.
struct Noted {
    bool exif = false, xmp = false;
};

// What the chunks read with the header hold besides pixels; libpng has checked and inflated
// them within its own limits.
Noted NoteMetadata(png_structp png, png_infop info, const Layout &l,
                   const std::string &profileWarning, bool reduced = true) {
    Noted noted;
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileSize = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profileSize) && profile)
        kit::NoteMetadata(FALTRIX_METADATA_ICC,
                          {reinterpret_cast<const char *>(profile), profileSize});
    else if (!profileWarning.empty())
        kit::NoteDropped("the colour profile, which libpng rejects: " + profileWarning);
    png_uint_32 exifSize = 0;
    png_bytep exif = nullptr;
    if (png_get_eXIf_1(png, info, &exifSize, &exif) && exif) {
        kit::NoteMetadata(FALTRIX_METADATA_EXIF, {reinterpret_cast<const char *>(exif), exifSize});
        noted.exif = true;
    }
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, info, &texts, &count);
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(texts[i].key, "XML:com.adobe.xmp") != 0) continue;
        // Written as iTXt; a tEXt or zTXt chunk of that key is taken too.
        const bool itxt = texts[i].compression >= PNG_ITXT_COMPRESSION_NONE;
        kit::NoteMetadata(FALTRIX_METADATA_XMP,
                          {texts[i].text, itxt ? texts[i].itxt_length : texts[i].text_length});
        noted.xmp = true;
        break;
    }
    if (reduced && l.bitDepth == 16) kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, 16);
    return noted;
}

constexpr char kXmpKey[] = "XML:com.adobe.xmp";

// A zlib stream inflated to at most `limit` bytes (one more tells the caller it was larger);
// nothing when the stream is damaged or ends early.
std::optional<std::string> Inflate(std::string_view in, size_t limit) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = uInt(in.size());
    std::string out;
    int status = Z_OK;
    while (status == Z_OK && out.size() <= limit) {
        const size_t at = out.size();
        out.resize(std::min(limit + 1, at + 65536));
        z.next_out = reinterpret_cast<Bytef *>(out.data() + at);
        z.avail_out = uInt(out.size() - at);
        status = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (status == Z_BUF_ERROR && z.avail_out != 0) break;  // no progress: input used up
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END && out.size() <= limit) return std::nullopt;
    return out;
}

// The XMP packet of a text chunk's data (tEXt, zTXt or iTXt), or nothing when the chunk holds
// another key or cannot be read.
std::optional<std::string> XmpOfTextChunk(std::string_view type, std::string_view data) {
    const size_t nul = data.find('\0');
    if (nul == std::string_view::npos || data.substr(0, nul) != kXmpKey) return std::nullopt;
    std::string_view rest = data.substr(nul + 1);
    constexpr size_t kLimit = FALTRIX_METADATA_MAX_SIZE;
    if (type == "tEXt") return std::string(rest);
    if (type == "zTXt")
        return rest.empty() || rest[0] != 0 ? std::nullopt : Inflate(rest.substr(1), kLimit);
    // iTXt: compression flag and method, then language and translated keyword, each ended by NUL.
    if (rest.size() < 2) return std::nullopt;
    const bool compressed = rest[0] != 0;
    rest.remove_prefix(2);
    for (int field = 0; field < 2; ++field) {
        const size_t end = rest.find('\0');
        if (end == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(end + 1);
    }
    return compressed ? Inflate(rest, kLimit) : std::optional<std::string>(std::string(rest));
}

uint32_t BigEndian32(const uint8_t *b) {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

// Walks the chunks after the pixel data, by their lengths, and notes an eXIf chunk and an XMP
// text chunk there that the chunks before the pixels did not already give. A chunk whose CRC
// is wrong is skipped, as libpng skips a damaged ancillary chunk; the walk ends at IEND, at the
// file's end or at a length no chunk can have.
void NoteMetadataAfterPixels(FILE *file, Noted noted) {
    if (std::fseek(file, 8, SEEK_SET) != 0) return;
    bool pixelsSeen = false;
    uint8_t head[8];
    while (!(noted.exif && noted.xmp) && std::fread(head, 1, 8, file) == 8) {
        const uint32_t length = BigEndian32(head);
        const std::string_view type(reinterpret_cast<const char *>(head + 4), 4);
        if (length > 0x7FFFFFFFu || type == "IEND") return;
        const bool idat = type == "IDAT";
        pixelsSeen = pixelsSeen || idat;
        const bool wanted = pixelsSeen && !idat &&
                            ((type == "eXIf" && !noted.exif) ||
                             (!noted.xmp && (type == "iTXt" || type == "tEXt" || type == "zTXt")));
        if (!wanted || length > FALTRIX_METADATA_MAX_SIZE + 4096u) {
            if (std::fseek(file, long(length) + 4, SEEK_CUR) != 0) return;
            continue;
        }
        std::string data(length, '\0');
        uint8_t crc[4];
        if (std::fread(data.data(), 1, length, file) != length || std::fread(crc, 1, 4, file) != 4)
            return;
        uLong sum = crc32(crc32(0, head + 4, 4), reinterpret_cast<const Bytef *>(data.data()),
                          uInt(length));
        if (sum != BigEndian32(crc)) continue;
        if (type == "eXIf") {
            kit::NoteMetadata(FALTRIX_METADATA_EXIF, data);
            noted.exif = true;
        } else if (const std::optional<std::string> xmp = XmpOfTextChunk(type, data)) {
            kit::NoteMetadata(FALTRIX_METADATA_XMP, *xmp);
            noted.xmp = true;
        }
    }
}

}  // namespace

// Also frame 1 of the frames (apng_input.cpp).
HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    kit::InputFile file;
    if (!file.Open(path)) return nullptr;
    Reader reader;
    Layout l;
    if (!reader.ok()) return kit::Fail<HBITMAP>("not enough memory");
    std::string profileWarning;
    png_set_error_fn(reader.png, &profileWarning, OnError, OnReadWarning);
    // A profile libpng accepts may be as large as any item the host takes.
    png_set_chunk_malloc_max(reader.png, FALTRIX_METADATA_MAX_SIZE + 65536);
    if (ReadHeader(&reader, file.stream(), true, &l) != 0) return nullptr;
    const Noted before = NoteMetadata(reader.png, reader.info, l, profileWarning);

    kit::DibSpec spec;
    spec.width = int32_t(l.width);
    spec.height = int32_t(l.height);
    spec.bitCount = l.dibBits;
    spec.topDown = true;
    spec.palette.assign(l.palette, l.palette + l.paletteSize);
    spec.xPelsPerMeter = l.xppm;
    spec.yPelsPerMeter = l.yppm;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard guard(dib.bitmap);

    // 8-bit RGB and RGBA, most PNGs there are, are read by our own faster reader.
    const bool colour8 = l.bitDepth == 8 && l.interlace == PNG_INTERLACE_NONE;
    if (colour8 && (l.colorType == PNG_COLOR_TYPE_RGB_ALPHA ||
                    (l.colorType == PNG_COLOR_TYPE_RGB && !l.trns))) {
        if (!ReadPixels(file.stream(), l.width, l.height, l.colorType == PNG_COLOR_TYPE_RGB ? 3 : 4,
                        dib, progress, data))
            return nullptr;
        if (l.dibBits == 32) kit::KeepFullTransparency(dib, int32_t(l.width), int32_t(l.height));
        NoteMetadataAfterPixels(file.stream(), before);
        NoteFrameCount(file.stream(), file.size());
        return kit::ShowUpright(&guard, dib, spec, l.orientation, alloc);
    }
    // A 2-bit palette is decoded one index per byte into a buffer of our own, then packed.
    std::vector<uint8_t> unpacked;
    std::vector<png_bytep> rows(l.height);
    if (l.twoBit) {
        unpacked.resize(size_t(l.width) * l.height);
        for (png_uint_32 y = 0; y < l.height; ++y) rows[y] = unpacked.data() + size_t(y) * l.width;
    } else {
        for (png_uint_32 y = 0; y < l.height; ++y) rows[y] = dib.Row(int32_t(y));
    }
    if (ReadRows(&reader, rows.data(), &l, progress, data) != 0) return nullptr;
    if (l.twoBit) {
        for (png_uint_32 y = 0; y < l.height; ++y) {
            const uint8_t *in = rows[y];
            uint8_t *out = dib.Row(int32_t(y));
            for (png_uint_32 x = 0; x < l.width; ++x) WriteDibIndex(out, x, 4, in[x]);
        }
    }
    if (l.dibBits == 32) kit::KeepFullTransparency(dib, int32_t(l.width), int32_t(l.height));
    NoteMetadataAfterPixels(file.stream(), before);
    NoteFrameCount(file.stream(), file.size());
    return kit::ShowUpright(&guard, dib, spec, l.orientation, alloc);
}

int DeepBits(png_structp png, png_infop info) {
    if (png_get_bit_depth(png, info) != 16) return 0;
    png_color_8p significant = nullptr;
    if (!png_get_sBIT(png, info, &significant) || !significant) return 16;
    const int colour = png_get_color_type(png, info);
    const bool rgb = (colour & PNG_COLOR_MASK_COLOR) != 0;
    const int n = rgb ? significant->red : significant->gray;
    bool same = !rgb || (significant->green == n && significant->blue == n);
    if (colour & PNG_COLOR_MASK_ALPHA) same = same && significant->alpha == n;
    return same && n > 8 && n < 16 ? n : 16;
}

int FileChannels(png_structp png, png_infop info) {
    const int colour = png_get_color_type(png, info);
    const bool alpha = (colour & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    return ((colour & PNG_COLOR_MASK_COLOR) ? 3 : 1) + (alpha ? 1 : 0);
}

void SetDeepTransforms(png_structp png, png_infop info, int channels) {
    const int colour = png_get_color_type(png, info);
    const bool alpha = (colour & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    png_set_expand(png);  // a tRNS key to alpha
    if (channels >= 3 && !(colour & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
    if (channels % 2 == 0 && !alpha) png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
    if constexpr (std::endian::native == std::endian::little) png_set_swap(png);
}

void SnapSamples(const kit::SampleView &view, int bits) {
    std::vector<uint16_t> exact(65536);
    for (uint32_t v = 0; v < 65536; ++v)
        exact[v] = kit::WidenSample(kit::NarrowSample(uint16_t(v), bits), bits);
    const size_t n = size_t(view.width) * size_t(view.channels);
    for (int32_t y = 0; y < view.height; ++y) {
        uint16_t *row = view.Row(y);
        for (size_t i = 0; i < n; ++i) row[i] = exact[row[i]];
    }
}

bool ReadDeepLayout(FILE *file, int *bits, int *channels) {
    Reader reader;
    Layout l;
    if (!reader.ok()) return kit::Fail("not enough memory");
    if (std::fseek(file, 0, SEEK_SET) != 0 || ReadHeader(&reader, file, false, &l) != 0)
        return false;
    *bits = DeepBits(reader.png, reader.info);
    *channels = FileChannels(reader.png, reader.info);
    return true;
}

namespace {

// Sets up the deep transformations and the passes. 0 on success. setjmp lives here.
int StartDeepRows(Reader *r, int channels, Layout *l) {
    if (setjmp(png_jmpbuf(r->png))) return 1;
    SetDeepTransforms(r->png, r->info, channels);
    l->passes = png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    return 0;
}

}  // namespace

bool DecodeSamples(const WCHAR *path, int channels, kit::SampleTarget &target,
                   ProgressCallbackFn progress, int32_t data) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    Reader reader;
    Layout l;
    if (!reader.ok()) return kit::Fail("not enough memory");
    std::string profileWarning;
    png_set_error_fn(reader.png, &profileWarning, OnError, OnReadWarning);
    png_set_chunk_malloc_max(reader.png, FALTRIX_METADATA_MAX_SIZE + 65536);
    if (ReadHeader(&reader, file.stream(), false, &l) != 0) return false;
    const int bits = DeepBits(reader.png, reader.info);
    if (bits == 0) return kit::Fail("PNG: the picture has no samples of more than 8 bits");
    const Noted before = NoteMetadata(reader.png, reader.info, l, profileWarning, false);
    if (StartDeepRows(&reader, channels, &l) != 0) return false;
    const size_t rowSamples = size_t(l.width) * size_t(channels);
    if (png_get_rowbytes(reader.png, reader.info) != rowSamples * 2)
        return kit::Fail("PNG: the rows are not of the samples asked for");

    const kit::SampleView shown = target.Allocate(channels, bits);
    if (!shown.data) return false;
    const bool swap = kit::SwapsAxes(l.orientation);
    if (png_uint_32(shown.width) != (swap ? l.height : l.width) ||
        png_uint_32(shown.height) != (swap ? l.width : l.height))
        return kit::Fail("PNG: the samples' canvas is not the picture's size");
    // Upright pictures are read straight into the host's memory; others first as stored.
    const bool upright = l.orientation == 1;
    std::vector<uint16_t> stored(upright ? 0 : rowSamples * l.height);
    std::vector<png_bytep> rows(l.height);
    for (png_uint_32 y = 0; y < l.height; ++y)
        rows[y] = reinterpret_cast<png_bytep>(upright ? shown.Row(int32_t(y))
                                                      : stored.data() + rowSamples * y);
    if (ReadRows(&reader, rows.data(), &l, progress, data) != 0) return false;
    if (!upright)
        for (png_uint_32 y = 0; y < l.height; ++y)
            kit::PlaceSampleRow(stored.data() + rowSamples * y, int32_t(y), int32_t(l.width),
                                int32_t(l.height), l.orientation, shown);
    if (bits < 16) SnapSamples(shown, bits);
    NoteMetadataAfterPixels(file.stream(), before);
    NoteFrameCount(file.stream(), file.size());
    return true;
}

namespace {

bool Recognize(const WCHAR *path) {
    png_byte sig[8];
    return kit::ReadFileHead(path, sig, sizeof sig) && png_sig_cmp(sig, 0, sizeof sig) == 0;
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    Reader reader;
    Layout l;
    if (!reader.ok() || ReadHeader(&reader, file.stream(), false, &l) != 0) return false;
    const bool swap = kit::SwapsAxes(l.orientation);
    info->width = int32_t(swap ? l.height : l.width);
    info->height = int32_t(swap ? l.width : l.height);
    return true;
}

}  // namespace
}  // namespace faltrix::png

FALTRIX_KIT_INPUT_PLUGIN(faltrix::png)
