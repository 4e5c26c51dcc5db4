// The JPEG output plug-in: stores any DIB as a baseline JPEG, grey when the picture is a grey
// palette, else colour with transparent areas put on white, with Huffman tables optimised for
// the picture. Quality, progressive output and the colour subsampling are session settings. The
// EXIF block and the XMP packet the host set go into APP1 segments, the colour profile into APP2
// segments, after the JFIF header.
#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "jpeg_guard.h"
#include "jpeg_metadata.h"

namespace faltrix::jpeg {
namespace {

constexpr char kTitle[] = "JPEG settings";  // of the settings dialog, naming its kept values

// The session's quality, set by the dialog or SetPluginOption and read by a job thread.
kit::Options options({{"quality", "Quality", kit::Setting::Kind::Integer, 1, 100, {}, 90},
                      {"progressive", "Progressive", kit::Setting::Kind::Flag, 0, 1, {}, 0},
                      {"subsampling",
                       "Colour subsampling",
                       kit::Setting::Kind::Choice,
                       0,
                       0,
                       {"auto", "444", "422", "420"},
                       0}});
// The values the dialog program kept from an earlier run, if any.
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

int Quality() { return options.Get("quality"); }

// The luminance sampling factors (across, down) against the chrominance's 1 x 1: 444 keeps
// the colour at full resolution, 422 halves it across, 420 both ways. "auto" takes 444 from
// quality 90 on and 420 below, as ImageMagick does: measured on photographs, 444 costs about
// a quarter more bytes at the same quality and is worth them where quality was asked for
// (2 dB PSNR at quality 90), while at equal size the two are within half a dB.
std::pair<int, int> LumaSampling() {
    switch (options.Get("subsampling")) {
    case 1: return {1, 1};
    case 2: return {2, 1};
    case 3: return {2, 2};
    default: return Quality() >= 90 ? std::pair(1, 1) : std::pair(2, 2);
    }
}

// JFIF keeps 16-bit dots per inch; pels per metre are converted and rounded.
uint16_t DotsPerInch(int32_t pelsPerMeter) {
    if (pelsPerMeter <= 0) return 0;
    const double dpi = std::round(pelsPerMeter * 0.0254);
    return static_cast<uint16_t>(std::clamp(dpi, 1.0, 65535.0));
}

// EXIF and XMP each fit one APP1 segment behind their signature (no extended XMP); a
// profile is split over up to 255 APP2 segments of 65519 bytes.
bool KeepsMetadata(std::string_view key, size_t size) {
    if (key == FALTRIX_METADATA_EXIF)
        return size + kExifSignature.size() <= kMaxSegmentPayload ||
               kit::Fail("does not fit a JPEG's 64 KiB EXIF segment");
    if (key == FALTRIX_METADATA_XMP) return size + kXmpSignature.size() <= kMaxSegmentPayload;
    if (key == FALTRIX_METADATA_ICC) return size > 0 && size <= size_t{255} * 65519;
    return false;
}

// One component for a grey palette, three (YCbCr) for everything else.
kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyPalette(layout.palette) ? kit::StoredColour::kGrey
                                                                      : kit::StoredColour::kColour;
}

// Writes the items the host set, right after the JFIF header.
bool WriteMetadata(jpeg_compress_struct *cinfo) {
    const std::pair<const char *, std::string_view> app1[] = {
        {FALTRIX_METADATA_EXIF, kExifSignature}, {FALTRIX_METADATA_XMP, kXmpSignature}};
    for (const auto &[key, signature] : app1) {
        const std::string item = kit::OutgoingMetadata(key);
        if (item.empty()) continue;
        const std::string segment = std::string(signature) + item;
        if (!GuardedWriteMarker(cinfo, kExifMarker,
                                reinterpret_cast<const JOCTET *>(segment.data()),
                                static_cast<unsigned>(segment.size())))
            return false;
    }
    const std::string profile = kit::OutgoingMetadata(FALTRIX_METADATA_ICC);
    return profile.empty() ||
           GuardedWriteIccProfile(cinfo, reinterpret_cast<const JOCTET *>(profile.data()),
                                  static_cast<unsigned>(profile.size()));
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::OpenSave(dc, path, &target, &src)) return false;
    // JPEG's frame header holds 16-bit sizes, and libjpeg stops at 65500.
    if (src.width() > JPEG_MAX_DIMENSION || src.height() > JPEG_MAX_DIMENSION)
        return kit::Fail("JPEG holds no side over 65500 pixels");

    const size_t w = static_cast<size_t>(src.width());
    const bool grey = StoredColour({src.bitCount(), src.palette()}) == kit::StoredColour::kGrey;
    // A 24-bit picture's rows are already B, G, R: they go to the encoder as they are.
    const bool direct = src.bitCount() == 24;
    std::vector<uint8_t> row(grey ? w : w * 3);
    std::vector<uint8_t> indices(grey ? w : 0);

    kit::OutputFile out(target);
    if (!out.ok()) return false;

    ErrorState err;
    InstallErrorHandler(&err);
    jpeg_compress_struct cinfo{};
    cinfo.err = &err.pub;
    CompressGuard guard{&cinfo};
    if (!GuardedCreate(&cinfo)) return false;
    guard.created = true;
    if (!GuardedStdioDest(&cinfo, out.stream())) return false;
    cinfo.image_width = static_cast<JDIMENSION>(src.width());
    cinfo.image_height = static_cast<JDIMENSION>(src.height());
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    if (!GuardedSetDefaults(&cinfo, Quality(), options.Get("progressive") != 0)) return false;
    if (!grey)
        std::tie(cinfo.comp_info[0].h_samp_factor, cinfo.comp_info[0].v_samp_factor) =
            LumaSampling();
    const uint16_t xdpi = DotsPerInch(src.xPelsPerMeter());
    const uint16_t ydpi = DotsPerInch(src.yPelsPerMeter());
    if (xdpi && ydpi) {
        cinfo.density_unit = 1;
        cinfo.X_density = xdpi;
        cinfo.Y_density = ydpi;
    }
    if (!GuardedStartCompress(&cinfo) || !WriteMetadata(&cinfo)) return false;

    const std::vector<RGBQUAD> &palette = src.palette();
    for (int32_t y = 0; y < src.height(); ++y) {
        JSAMPROW line;
        if (direct) {
            // libjpeg reads the row and never writes to it.
            line = const_cast<JSAMPROW>(src.Row(y));
        } else if (grey) {
            src.RowToIndices(y, indices.data());
            for (size_t x = 0; x < w; ++x) row[x] = palette[indices[x]].rgbRed;
            line = row.data();
        } else {
            src.RowToBGROnWhite(y, row.data());
            line = row.data();
        }
        if (!GuardedWriteScanlines(&cinfo, &line, 1)) return false;
        kit::ReportProgress(progress, y + 1, src.height(), data);
    }
    if (!GuardedFinishCompress(&cinfo)) return false;
    return out.Close();
}

}  // namespace
}  // namespace faltrix::jpeg

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::jpeg)
FALTRIX_KIT_SETTINGS(faltrix::jpeg, faltrix::jpeg::kTitle)
