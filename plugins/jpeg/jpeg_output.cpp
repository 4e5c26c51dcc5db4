// The JPEG output plug-in: stores any DIB as a baseline JPEG, grey when the picture is a grey
// palette, else colour with transparent areas put on white. Quality is a session setting.
#include <algorithm>
#include <cmath>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/options.h"
#include "jpeg_guard.h"

namespace faltrix::jpeg {
namespace {

constexpr char kTitle[] = "JPEG settings";  // of the settings dialog, naming its kept values

// The session's quality, set by the dialog or SetPluginOption and read by a job thread.
kit::Options options({{"quality", "Quality", kit::Setting::Kind::Integer, 1, 100, {}, 90}});
// The values the dialog program kept from an earlier run, if any.
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

int Quality() { return options.Get("quality"); }

// JFIF keeps 16-bit dots per inch; pels per metre are converted and rounded.
uint16_t DotsPerInch(int32_t pelsPerMeter) {
    if (pelsPerMeter <= 0) return 0;
    const double dpi = std::round(pelsPerMeter * 0.0254);
    return static_cast<uint16_t>(std::clamp(dpi, 1.0, 65535.0));
}

kit::SaveResult Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::PathToUtf8(path, &target)) return kit::SaveResult::kBadPath;
    if (!src.Open(dc)) return kit::Fail("no picture to store", kit::SaveResult::kNoPicture);
    // JPEG's frame header holds 16-bit sizes, and libjpeg stops at 65500.
    if (src.width() > JPEG_MAX_DIMENSION || src.height() > JPEG_MAX_DIMENSION)
        return kit::Fail("JPEG holds no side over 65500 pixels", kit::SaveResult::kTooLarge);

    const size_t w = static_cast<size_t>(src.width());
    const bool grey = src.bitCount() <= 8 && src.IsGreyPalette();
    // A 24-bit picture's rows are already B, G, R: they go to the encoder as they are.
    const bool direct = src.bitCount() == 24;
    std::vector<uint8_t> row(grey ? w : w * 3);
    std::vector<uint8_t> indices(grey ? w : 0);

    kit::OutputFile out(target);
    if (!out.ok()) return kit::SaveResult::kOutputFailed;

    ErrorState err;
    InstallErrorHandler(&err);
    jpeg_compress_struct cinfo{};
    cinfo.err = &err.pub;
    CompressGuard guard{&cinfo};
    if (!GuardedCreate(&cinfo)) return kit::SaveResult::kEncoderFailed;
    guard.created = true;
    if (!GuardedStdioDest(&cinfo, out.stream())) return kit::SaveResult::kEncoderFailed;
    cinfo.image_width = static_cast<JDIMENSION>(src.width());
    cinfo.image_height = static_cast<JDIMENSION>(src.height());
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    if (!GuardedSetDefaults(&cinfo, Quality())) return kit::SaveResult::kEncoderFailed;
    const uint16_t xdpi = DotsPerInch(src.xPelsPerMeter());
    const uint16_t ydpi = DotsPerInch(src.yPelsPerMeter());
    if (xdpi && ydpi) {
        cinfo.density_unit = 1;
        cinfo.X_density = xdpi;
        cinfo.Y_density = ydpi;
    }
    if (!GuardedStartCompress(&cinfo)) return kit::SaveResult::kEncoderFailed;

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
        if (!GuardedWriteScanlines(&cinfo, &line, 1)) return kit::SaveResult::kEncoderFailed;
        kit::ReportProgress(progress, y + 1, src.height(), data);
    }
    if (!GuardedFinishCompress(&cinfo)) return kit::SaveResult::kEncoderFailed;
    return out.Close() ? kit::SaveResult::kStored : kit::SaveResult::kOutputFailed;
}

// The quality; confirmed, it holds for the session.
bool Configure(HWND parent) { return kit::ConfigureOptions(parent, kTitle, &options); }

// "quality": 1 to 100.
bool SetOption(std::u16string_view name, std::u16string_view value) { return options.Set(name, value); }

}  // namespace
}  // namespace faltrix::jpeg

FALTRIX_KIT_OUTPUT_PLUGIN(faltrix::jpeg)
FALTRIX_KIT_CONFIGURATION_DLG(faltrix::jpeg)
FALTRIX_KIT_PLUGIN_OPTION(faltrix::jpeg)
