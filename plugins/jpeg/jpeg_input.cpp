// The JPEG input plug-in: reads baseline and progressive JPEG (grey, YCbCr, CMYK/YCCK) into
// 8-bit grey or 24-bit DIBs, applying the EXIF orientation. A file whose pixel data ends
// early or is corrupt is refused with the row where the loss starts, unless the session's
// lenient setting asks for what libjpeg can salvage. The colour profile, the EXIF block and
// the XMP packet are noted for GetPictureMetadata.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/orientation.h"
#include "jpeg_guard.h"
#include "jpeg_metadata.h"

namespace faltrix::jpeg {
namespace {

constexpr char kTitle[] = "JPEG reading";  // of the settings dialog, naming its kept values

// The session's lenient setting: set by the Detail dialog on the dialog's thread or by
// SetPluginOption, read by a job thread.
kit::Options options({{"lenient", "Salvage damaged files", kit::Setting::Kind::Flag, 0, 1, {}, 0}});
// The values the dialog program kept from an earlier run, if any.
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

// One open file with its header read. Members are destroyed in reverse order: the
// decompressor before the file it reads.
struct Reader {
    kit::InputFile file;
    ErrorState err;
    ScanLimit scanLimit;
    jpeg_decompress_struct cinfo{};
    DecompressGuard guard{&cinfo};
    int orientation = 1;
};

// Decoding keeps the colour profile's APP2 segments too; reading the size needs APP1 only.
bool OpenAndReadHeader(const WCHAR *path, Reader *r, bool withProfile = false) {
    if (!r->file.Open(path)) return false;
    InstallErrorHandler(&r->err);
    r->cinfo.err = &r->err.pub;
    if (!GuardedCreate(&r->cinfo)) return false;
    r->guard.created = true;
    r->cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
    InstallScanLimit(&r->cinfo, &r->scanLimit);
    if (!GuardedStdioSource(&r->cinfo, r->file.stream()) ||
        !GuardedSaveMarkers(&r->cinfo, JPEG_APP0 + 1, 0xFFFF) ||
        (withProfile && !GuardedSaveMarkers(&r->cinfo, JPEG_APP0 + 2, 0xFFFF)) ||
        !GuardedReadHeader(&r->cinfo))
        return false;
    for (jpeg_saved_marker_ptr m = r->cinfo.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1) continue;
        const int o = kit::ExifOrientation(m->data, m->data_length);
        if (o != 1) {
            r->orientation = o;
            break;
        }
    }
    return kit::WithinLimits(r->cinfo.image_width, r->cinfo.image_height);
}

// Notes the EXIF block (without its signature), the first XMP packet and the joined colour
// profile of the header just read. The profile's segments are added up before libjpeg joins
// them, so that one beyond the limit is refused without being copied.
void NoteHeaderMetadata(jpeg_decompress_struct *cinfo) {
    bool exif = false, xmp = false;
    size_t profileBytes = 0;
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
        const std::string_view payload(reinterpret_cast<const char *>(m->data), m->data_length);
        if (m->marker == JPEG_APP0 + 2 && payload.starts_with(kIccSignature))
            profileBytes += m->data_length;
        if (m->marker != kExifMarker) continue;
        if (!exif && payload.starts_with(kExifSignature)) {
            exif = true;
            kit::NoteMetadata(FALTRIX_METADATA_EXIF, payload.substr(kExifSignature.size()));
        } else if (!xmp && payload.starts_with(kXmpSignature)) {
            xmp = true;
            kit::NoteMetadata(FALTRIX_METADATA_XMP, payload.substr(kXmpSignature.size()));
        }
    }
    if (profileBytes == 0) return;
    if (profileBytes > FALTRIX_METADATA_MAX_SIZE)
        return kit::NoteDropped("the colour profile, larger than 16 MiB");
    JOCTET *profile = nullptr;
    unsigned size = 0;
    if (GuardedReadIccProfile(cinfo, &profile, &size) && profile != nullptr)
        kit::NoteMetadata(FALTRIX_METADATA_ICC,
                          std::string_view(reinterpret_cast<const char *>(profile), size));
    else kit::NoteDropped("the colour profile, whose segments are incomplete or damaged");
    std::free(profile);
}

int32_t PelsPerMeter(int unit, unsigned density) {
    switch (unit) {
    case 1: return static_cast<int32_t>(std::lround(density / 0.0254));  // dots per inch
    case 2: return static_cast<int32_t>(density * 100);                  // dots per cm
    default: return 0;                                                   // aspect ratio only
    }
}

// Adobe writes CMYK inverted (0 = full ink); others write it plain.
void CmykToBgr(const uint8_t *cmyk, uint8_t *bgr, size_t width, bool inverted) {
    for (size_t x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        bgr[0] = static_cast<uint8_t>((y * k + 127) / 255);
        bgr[1] = static_cast<uint8_t>((m * k + 127) / 255);
        bgr[2] = static_cast<uint8_t>((c * k + 127) / 255);
    }
}

void ReversePixels(uint8_t *row, size_t width, size_t bpp) {
    if (width < 2) return;
    for (size_t a = 0, b = width - 1; a < b; ++a, --b)
        for (size_t i = 0; i < bpp; ++i) std::swap(row[a * bpp + i], row[b * bpp + i]);
}

// Reads every row into the bitmap, turned by the orientation, CMYK converted to B, G, R.
// False when libjpeg stops (the cause is recorded).
bool ReadRows(jpeg_decompress_struct &cinfo, const kit::Dib &dib, int orientation, bool cmyk,
              size_t bpp, ProgressCallbackFn progress, int32_t data) {
    const int32_t w = static_cast<int32_t>(cinfo.output_width);
    const int32_t h = static_cast<int32_t>(cinfo.output_height);
    // Orientations that keep rows as rows decode straight into the bitmap; the others (and
    // CMYK, which needs converting) go through a small band and are placed pixel by pixel.
    const bool direct = !cmyk && orientation <= 4;
    constexpr JDIMENSION kBand = 8;
    const size_t srcBpp = cmyk ? 4 : bpp;
    std::vector<uint8_t> band;
    std::vector<uint8_t> converted;
    if (!direct) {
        band.resize(static_cast<size_t>(w) * srcBpp * kBand);
        if (cmyk) converted.resize(static_cast<size_t>(w) * 3);
    }
    const bool cmykInverted = cinfo.saw_Adobe_marker;

    JSAMPROW rows[kBand];
    while (cinfo.output_scanline < cinfo.output_height) {
        const int32_t first = static_cast<int32_t>(cinfo.output_scanline);
        const JDIMENSION want =
            std::min<JDIMENSION>(kBand, cinfo.output_height - cinfo.output_scanline);
        for (JDIMENSION i = 0; i < want; ++i) {
            const int32_t y = first + static_cast<int32_t>(i);
            rows[i] = direct ? dib.Row(orientation >= 3 ? h - 1 - y : y)
                             : band.data() + i * static_cast<size_t>(w) * srcBpp;
        }
        JDIMENSION got = 0;
        if (!GuardedReadScanlines(&cinfo, rows, want, &got)) return false;
        if (got == 0) return kit::Fail("JPEG: no rows where rows were due");
        for (JDIMENSION i = 0; i < got; ++i) {
            const int32_t y = first + static_cast<int32_t>(i);
            if (direct) {
                if (orientation == 2 || orientation == 3) ReversePixels(rows[i], w, bpp);
                continue;
            }
            const uint8_t *src = rows[i];
            if (cmyk) {
                CmykToBgr(src, converted.data(), w, cmykInverted);
                src = converted.data();
            }
            for (int32_t x = 0; x < w; ++x) {
                const kit::OrientedPoint p = kit::Orient(orientation, x, y, w, h);
                std::memcpy(dib.Row(p.y) + static_cast<size_t>(p.x) * bpp, src + x * bpp, bpp);
            }
        }
        kit::ReportProgress(progress, static_cast<int32_t>(cinfo.output_scanline), h, data);
    }
    return true;
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    Reader r;
    if (!OpenAndReadHeader(path, &r, true)) return nullptr;
    NoteHeaderMetadata(&r.cinfo);
    r.err.lenient = options.Get("lenient") != 0;
    jpeg_decompress_struct &cinfo = r.cinfo;

    bool cmyk = false;
    size_t bpp = 3;
    switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo.out_color_space = JCS_GRAYSCALE;
        bpp = 1;
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        cinfo.out_color_space = JCS_CMYK;
        cmyk = true;
        break;
    default: cinfo.out_color_space = JCS_EXT_BGR; break;
    }
    if (!GuardedStartDecompress(&cinfo)) return nullptr;
    const int32_t w = static_cast<int32_t>(cinfo.output_width);
    const int32_t h = static_cast<int32_t>(cinfo.output_height);
    const int orientation = r.orientation;
    const bool swap = kit::SwapsAxes(orientation);

    kit::DibSpec spec;
    spec.width = swap ? h : w;
    spec.height = swap ? w : h;
    spec.bitCount = bpp == 1 ? 8 : 24;
    if (bpp == 1) spec.palette = kit::GreyPalette(8);
    if (cinfo.saw_JFIF_marker) {
        spec.xPelsPerMeter = PelsPerMeter(cinfo.density_unit, cinfo.X_density);
        spec.yPelsPerMeter = PelsPerMeter(cinfo.density_unit, cinfo.Y_density);
        if (swap) std::swap(spec.xPelsPerMeter, spec.yPelsPerMeter);
    }
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};

    if (!ReadRows(cinfo, dib, orientation, cmyk, bpp, progress, data)) return nullptr;
    if (!GuardedFinishDecompress(&cinfo)) return nullptr;
    if (const char *damage = DamageOf(r.err); *damage != '\0') {
        if (!r.err.lenient) return kit::Fail<HBITMAP>(damage);
        // Salvaged: the picture is handed over, and the host tells the user what it lacks.
        kit::NoteDropped(std::string("the damaged pixel data, salvaged leniently: ") + damage);
    }
    return owned.Release();
}

bool Recognize(const WCHAR *path) {
    uint8_t magic[3];
    return kit::ReadFileHead(path, magic, sizeof magic) && magic[0] == 0xFF && magic[1] == 0xD8 &&
           magic[2] == 0xFF;
}

// The size shown: quarter turns of the EXIF orientation swap the sides.
bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Reader r;
    if (!OpenAndReadHeader(path, &r)) return false;
    const bool swap = kit::SwapsAxes(r.orientation);
    info->width = static_cast<int32_t>(swap ? r.cinfo.image_height : r.cinfo.image_width);
    info->height = static_cast<int32_t>(swap ? r.cinfo.image_width : r.cinfo.image_height);
    return true;
}

}  // namespace
}  // namespace faltrix::jpeg

FALTRIX_KIT_INPUT_PLUGIN(faltrix::jpeg)
FALTRIX_KIT_SETTINGS(faltrix::jpeg, faltrix::jpeg::kTitle)
