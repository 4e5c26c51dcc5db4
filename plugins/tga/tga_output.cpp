// TGA output plug-in: grey pictures (a grey palette) as 8-bit grey (type 3), pictures with
// alpha as 32-bit true colour with 8 attribute bits, others as 24-bit true colour (type 2).
// Run-length encoding (types 11 and 10) is a setting, on by default: it costs nothing to
// read, every TGA reader knows it, and it shrinks the flat areas of screen pictures; packets
// end at each row's end, as TGA 2.0 asks. Rows are stored top row first (origin top left,
// descriptor bit 5): ImageMagick 6, and libvips through it, keep a file's rows in the order
// stored and show a bottom-left file upside down, while Pillow and netpbm follow the origin
// bits either way, so top-left is the order every one of them shows upright. Every file ends in a
// TGA 2.0 extension area and footer, whose attribute type says whether the alpha is real (3)
// or absent (0), and whose signature lets the file be recognised under any name.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/metadata.h"
#include "faltrix/kit/options.h"
#include "tga_format.h"

namespace faltrix::tga {
namespace {

constexpr char kTitle[] = "TGA settings";

kit::Options options({{"rle", "Run-length encoding", kit::Setting::Kind::Flag, 0, 1, {}, 1}});
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

bool KeepsMetadata(std::string_view key, size_t) { return key == FALTRIX_METADATA_TRANSPARENCY; }

kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyPalette(layout.palette) ? kit::StoredColour::kGrey
                                                                      : kit::StoredColour::kColour;
}

void Put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Run-length packets of one row of n pixels of `unit` bytes, appended to out: runs of two or
// more equal pixels as run packets, the rest as raw packets, 128 pixels a packet at most.
void EncodeRle(const uint8_t *p, int32_t n, size_t unit, std::string &out) {
    auto same = [&](int32_t a, int32_t b) {
        return std::memcmp(p + size_t(a) * unit, p + size_t(b) * unit, unit) == 0;
    };
    for (int32_t x = 0; x < n;) {
        int32_t run = 1;
        while (x + run < n && run < 128 && same(x, x + run)) ++run;
        if (run >= 2) {
            out += char(0x80 | (run - 1));
            out.append(reinterpret_cast<const char *>(p + size_t(x) * unit), unit);
            x += run;
            continue;
        }
        int32_t raw = 1;
        while (x + raw < n && raw < 128 && !(x + raw + 1 < n && same(x + raw, x + raw + 1))) ++raw;
        out += char(raw - 1);
        out.append(reinterpret_cast<const char *>(p + size_t(x) * unit), size_t(raw) * unit);
        x += raw;
    }
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    std::string name;
    if (!kit::PathToBytes(path, &name)) return false;
    if (src.width() > 65535 || src.height() > 65535)
        return kit::Fail("TGA holds no picture wider or higher than 65535 pixels");
    const bool grey = src.bitCount() <= 8 && src.IsGreyPalette();
    const bool alpha = src.HasAlpha();
    const bool rle = options.Get("rle") != 0;
    const size_t unit = grey ? 1 : alpha ? 4 : 3;

    uint8_t head[kHeaderSize] = {};
    head[2] = uint8_t((grey ? 3 : 2) + (rle ? 8 : 0));
    Put16(head + 12, uint32_t(src.width()));
    Put16(head + 14, uint32_t(src.height()));
    head[16] = uint8_t(unit * 8);
    head[17] = uint8_t((alpha ? 8 : 0) | kTopFirst);  // attribute bits; origin top left
    std::string bytes(reinterpret_cast<const char *>(head), sizeof head);

    kit::OutputFile out(name);
    if (!out.ok()) return false;
    std::vector<uint8_t> bgra(4 * size_t(src.width())), row(unit * size_t(src.width()));
    for (int32_t y = 0; y < src.height(); ++y) {
        if (grey) {
            src.RowToIndices(y, row.data());
            for (uint8_t &v : row) v = src.palette()[v].rgbRed;
        } else {
            src.RowToBGRA(y, bgra.data());
            for (int32_t x = 0; x < src.width(); ++x)
                std::memcpy(&row[unit * size_t(x)], &bgra[4 * size_t(x)], unit);
        }
        if (rle) EncodeRle(row.data(), src.width(), unit, bytes);
        else bytes.append(reinterpret_cast<const char *>(row.data()), row.size());
        if (bytes.size() >= (1u << 16)) {
            if (!out.Write(bytes.data(), bytes.size())) return false;
            bytes.clear();
        }
        kit::ReportProgress(progress, y + 1, src.height(), data);
    }
    if (!out.Write(bytes.data(), bytes.size())) return false;
    const long extensionAt = std::ftell(out.stream());
    if (extensionAt < 0 || extensionAt > long(UINT32_MAX))
        return kit::Fail("TGA holds no file over 4 GiB");
    uint8_t extension[kExtensionSize] = {}, footer[kFooterSize] = {};
    Put16(extension, kExtensionSize);
    extension[kAttributeTypeAt] = alpha ? 3 : 0;
    Put16(footer, uint32_t(extensionAt));
    Put16(footer + 2, uint32_t(extensionAt) >> 16);
    std::memcpy(footer + 8, kSignature, sizeof kSignature);
    return out.Write(extension, sizeof extension) && out.Write(footer, sizeof footer) &&
           out.Close();
}

}  // namespace
}  // namespace faltrix::tga

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::tga)
FALTRIX_KIT_SETTINGS(faltrix::tga, faltrix::tga::kTitle)
