// PNG output plug-in over libpng. Palettised pictures stay palettised (an 8-bit picture whose
// palette is the full grey ramp is written as 8-bit grey), 16 and 24 bits become RGB, 32 bits
// RGBA when the picture has alpha and RGB when not. The resolution goes to pHYs. The zlib
// compression level is the one setting, chosen in ConfigurationDlg.
#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/settings_dialog.h"
#include "png_common.h"

namespace faltrix::png {
namespace {

constexpr int kDefaultLevel = 6;  // zlib's own default: a fair balance of size and time

constexpr char kTitle[] = "PNG output";
constexpr char kLevelLabel[] = "Compression level (0 fastest, 9 smallest)";

// The compression level; written only by the dialog, read by any job. The dialog program
// keeps a confirmed level between runs.
std::atomic<int> g_level{kit::KeptValue(kTitle, kLevelLabel, kDefaultLevel, 0, 9)};

enum class Rows { Raw, Bgra, BgrOnWhite };

struct Plan {
    int colorType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    Rows rows = Rows::Raw;
    bool filler = false;  // raw 32-bit rows whose fourth byte libpng drops
    png_color palette[256] = {};
    int paletteSize = 0;
    int level = kDefaultLevel;
};

// 8 bits whose 256 entries are the grey ramp: the DIB PNG input makes of a grey picture.
bool IsGreyRamp(const kit::SourcePicture &src) {
    if (src.bitCount() != 8 || src.palette().size() != 256) return false;
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD &q = src.palette()[size_t(i)];
        if (q.rgbRed != i || q.rgbGreen != i || q.rgbBlue != i) return false;
    }
    return true;
}

// The largest index the rows hold, as stored (the rows go to libpng unchanged).
int MaxRawIndex(const kit::SourcePicture &src) {
    const int bits = src.bitCount();
    int most = 0;
    for (int32_t y = 0; y < src.height(); ++y) {
        const uint8_t *row = src.Row(y);
        for (int32_t x = 0; x < src.width(); ++x) {
            const int v = bits == 8 ? row[x] : bits == 4 ? (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F
                                                         : (row[x >> 3] >> (7 - (x & 7))) & 1;
            most = std::max(most, v);
        }
    }
    return most;
}

// Writes the whole picture; rowBuffer holds a converted row when the plan asks for one.
// setjmp lives here: trivially destructible locals only. 0 on success.
int Encode(Writer *w, FILE *file, const kit::SourcePicture *src, const Plan *plan, uint8_t *rowBuffer,
           ProgressCallbackFn progress, int32_t data) {
    if (setjmp(png_jmpbuf(w->png))) return 1;
    png_init_io(w->png, file);
    png_set_compression_level(w->png, plan->level);
    png_set_IHDR(w->png, w->info, png_uint_32(src->width()), png_uint_32(src->height()), plan->bitDepth,
                 plan->colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (plan->colorType == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(w->png, w->info, plan->palette, plan->paletteSize);
    if (src->xPelsPerMeter() > 0 && src->yPelsPerMeter() > 0)
        png_set_pHYs(w->png, w->info, png_uint_32(src->xPelsPerMeter()), png_uint_32(src->yPelsPerMeter()),
                     PNG_RESOLUTION_METER);
    png_write_info(w->png, w->info);
    if (plan->colorType & PNG_COLOR_MASK_COLOR) png_set_bgr(w->png);
    if (plan->filler) png_set_filler(w->png, 0, PNG_FILLER_AFTER);
    for (int32_t y = 0; y < src->height(); ++y) {
        const uint8_t *row = src->Row(y);
        if (plan->rows == Rows::Bgra) {
            src->RowToBGRA(y, rowBuffer);
            row = rowBuffer;
        } else if (plan->rows == Rows::BgrOnWhite) {
            src->RowToBGROnWhite(y, rowBuffer);
            row = rowBuffer;
        }
        png_write_row(w->png, row);
        kit::ReportProgress(progress, y + 1, src->height(), data);
    }
    png_write_end(w->png, w->info);
    return 0;
}

kit::SaveResult Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store", kit::SaveResult::kNoPicture);
    std::string utf8;
    if (!kit::PathToUtf8(path, &utf8)) return kit::SaveResult::kBadPath;

    Plan plan;
    plan.level = g_level.load();
    const int bits = src.bitCount();
    const uint32_t *m = src.masks();
    const bool standard32 = m[0] == 0xFF0000 && m[1] == 0xFF00 && m[2] == 0xFF;
    if (IsGreyRamp(src)) {
        plan.colorType = PNG_COLOR_TYPE_GRAY;
    } else if (bits <= 8) {
        plan.colorType = PNG_COLOR_TYPE_PALETTE;
        plan.bitDepth = bits;
        // A short colour table is padded with black so that every index in the rows names
        // an entry; libpng refuses indices past the table.
        int used = int(src.palette().size());
        if (used < (1 << bits)) used = std::max(used, MaxRawIndex(src) + 1);
        for (size_t i = 0; i < src.palette().size(); ++i) {
            const RGBQUAD &q = src.palette()[i];
            plan.palette[i] = png_color{q.rgbRed, q.rgbGreen, q.rgbBlue};
        }
        plan.paletteSize = std::min(used, 1 << bits);
    } else if (bits == 24) {
        plan.colorType = PNG_COLOR_TYPE_RGB;
    } else if (bits == 32 && src.HasAlpha()) {
        plan.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
        plan.rows = standard32 ? Rows::Raw : Rows::Bgra;
    } else if (bits == 32 && standard32) {
        plan.colorType = PNG_COLOR_TYPE_RGB;
        plan.filler = true;
    } else {
        plan.colorType = PNG_COLOR_TYPE_RGB;
        plan.rows = Rows::BgrOnWhite;
    }
    std::vector<uint8_t> rowBuffer(plan.rows == Rows::Raw ? 0 : size_t(src.width()) * 4);

    Writer writer;
    if (!writer.ok()) return kit::Fail("not enough memory", kit::SaveResult::kEncoderFailed);
    kit::OutputFile out(utf8);
    if (!out.ok()) return kit::SaveResult::kOutputFailed;
    if (Encode(&writer, out.stream(), &src, &plan, rowBuffer.data(), progress, data) != 0)
        return kit::Fail("PNG: the picture could not be written", kit::SaveResult::kEncoderFailed);
    return out.Close() ? kit::SaveResult::kStored : kit::SaveResult::kOutputFailed;
}

// The compression level; confirmed, it holds for the session.
bool Configure(HWND parent) {
    kit::Setting level;
    level.label = kLevelLabel;
    level.minimum = 0;
    level.maximum = 9;
    level.value = g_level.load();
    std::vector<kit::Setting> settings{level};
    if (!kit::ShowSettingsDialog(parent, kTitle, &settings)) return false;
    g_level.store(settings[0].value);
    return true;
}

}  // namespace
}  // namespace faltrix::png

FALTRIX_KIT_OUTPUT_PLUGIN(faltrix::png)
FALTRIX_KIT_CONFIGURATION_DLG(faltrix::png)
