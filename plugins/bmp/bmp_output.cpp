// BMP output plug-in: stores the picture in the depth it has. Palettes, 5-5-5 and other
// 16-bit masks, 24 bits and 32 bits are written as they are; a 32-bit picture with alpha gets
// a V4 header whose alpha mask says so, one without alpha a plain 32-bit info header. Rows are
// written bottom-up, the form every reader knows. A colour profile the host set makes the
// header a V5 one that names the profile, which follows the pixel data.
#include <cstring>
#include <string>
#include <string_view>

#include "bmp_format.h"
#include "faltrix/kit/entry_points.h"

namespace faltrix::bmp {
namespace {

inline void Put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A 32-bit picture keeps its alpha (a V4 header).
bool KeepsMetadata(std::string_view key, size_t) {
    return key == FALTRIX_METADATA_ICC || key == FALTRIX_METADATA_TRANSPARENCY;
}

// The picture is stored as it is: a grey palette stays grey pixels, whatever its entries.
kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyPalette(layout.palette) ? kit::StoredColour::kGrey
                                                                      : kit::StoredColour::kColour;
}

// The colour table, as B, G, R and a zero byte per entry; false when it cannot be written.
bool WritePalette(kit::OutputFile &out, const kit::SourcePicture &src, uint32_t paletteEntries) {
    if (paletteEntries) {
        std::vector<uint8_t> table(4 * size_t(paletteEntries));
        for (uint32_t i = 0; i < paletteEntries; ++i) {
            const RGBQUAD &q = src.palette()[i];
            table[4 * i] = q.rgbBlue;
            table[4 * i + 1] = q.rgbGreen;
            table[4 * i + 2] = q.rgbRed;
        }
        if (!out.Write(table.data(), table.size())) return false;
    }
    return true;
}

// The rows, bottom row first; false when one cannot be written.
bool WriteRows(kit::OutputFile &out, const kit::SourcePicture &src, uint32_t stride, bool alpha,
               bool standard32, ProgressCallbackFn progress, int32_t data) {
    const int bits = src.bitCount();
    // Rows are copied as they are unless a 32-bit picture has its own masks, or has no alpha
    // and must be written with the unused byte 0.
    const bool convert32 = bits == 32 && (!standard32 || !alpha);
    std::vector<uint8_t> row(stride, 0);
    for (int32_t i = 0; i < src.height(); ++i) {
        const int32_t y = src.height() - 1 - i;
        const uint8_t *bytes = src.Row(y);
        if (convert32) {
            src.RowToBGRA(y, row.data());
            if (!alpha)
                for (int32_t x = 0; x < src.width(); ++x) row[4 * size_t(x) + 3] = 0;
            bytes = row.data();
        }
        if (!out.Write(bytes, stride)) return false;
        kit::ReportProgress(progress, i + 1, src.height(), data);
    }
    return true;
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    std::string name;
    if (!kit::PathToBytes(path, &name)) return false;

    const int bits = src.bitCount();
    const uint32_t *masks = src.masks();
    const bool alpha = bits == 32 && src.HasAlpha();
    const bool standard32 = masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF;
    const bool standard16 = masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F;
    const bool bitfields16 = bits == 16 && !standard16;

    const std::string profile = kit::OutgoingMetadata(FALTRIX_METADATA_ICC);
    const uint32_t headerSize = !profile.empty() ? kV5HeaderSize
                                : alpha          ? kV4HeaderSize
                                                 : kInfoHeaderSize;
    // From 52 bytes on the masks are part of the header.
    const uint32_t maskBytes = bitfields16 && headerSize == kInfoHeaderSize ? 12 : 0;
    const uint32_t paletteEntries = bits <= 8 ? uint32_t(src.palette().size()) : 0;
    const uint32_t dataOffset = kFileHeaderSize + headerSize + maskBytes + 4 * paletteEntries;
    const uint32_t stride = kit::DibStride(src.width(), bits);
    const uint64_t pixelEnd = dataOffset + uint64_t(stride) * uint64_t(src.height());
    const uint64_t fileSize = pixelEnd + profile.size();
    if (stride == 0 || fileSize > UINT32_MAX) return kit::Fail("BMP holds no file over 4 GiB");

    uint8_t head[kFileHeaderSize + kV5HeaderSize + 12] = {};
    head[0] = 'B';
    head[1] = 'M';
    Put32(head + 2, uint32_t(fileSize));
    Put32(head + 10, dataOffset);
    uint8_t *info = head + kFileHeaderSize;
    Put32(info, headerSize);
    Put32(info + 4, uint32_t(src.width()));
    Put32(info + 8, uint32_t(src.height()));  // positive: bottom-up
    Put16(info + 12, 1);
    Put16(info + 14, uint32_t(bits));
    Put32(info + 16, (alpha || bitfields16) ? BI_BITFIELDS : BI_RGB);
    Put32(info + 20, uint32_t(pixelEnd - dataOffset));
    Put32(info + 24, uint32_t(src.xPelsPerMeter()));
    Put32(info + 28, uint32_t(src.yPelsPerMeter()));
    Put32(info + 32, paletteEntries);
    if (alpha) {
        Put32(info + 40, 0x00FF0000);
        Put32(info + 44, 0x0000FF00);
        Put32(info + 48, 0x000000FF);
        Put32(info + 52, 0xFF000000);
        Put32(info + 56, 0x73524742);  // 'sRGB'
    } else if (bitfields16) {
        for (int i = 0; i < 3; ++i) Put32(info + kInfoHeaderSize + 4 * i, masks[i]);
    }
    if (!profile.empty()) {
        Put32(info + 56, kProfileEmbedded);
        Put32(info + 108, kIntentImages);
        Put32(info + 112, uint32_t(pixelEnd - kFileHeaderSize));
        Put32(info + 116, uint32_t(profile.size()));
    }

    kit::OutputFile out(name);
    if (!out.ok()) return false;
    if (!out.Write(head, kFileHeaderSize + headerSize + maskBytes)) return false;
    if (!WritePalette(out, src, paletteEntries) ||
        !WriteRows(out, src, stride, alpha, standard32, progress, data))
        return false;
    if (!profile.empty() && !out.Write(profile.data(), profile.size())) return false;
    return out.Close() ? true : false;
}

}  // namespace
}  // namespace faltrix::bmp

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::bmp)
