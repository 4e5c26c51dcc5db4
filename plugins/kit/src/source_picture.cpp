// The picture an encoder stores: the DIB section selected in the host's device context, read
// row by row in any of the layer's formats.
#include <algorithm>
#include <cstring>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/kit.h"

namespace faltrix::kit {
namespace {

inline uint8_t OnWhite(uint8_t c, uint8_t a) {
    return static_cast<uint8_t>((c * a + 255 * (255 - a) + 127) / 255);
}

}  // namespace

bool SourcePicture::Open(HDC dc) {
    *this = SourcePicture{};
    if (!dc) return false;
    HGDIOBJ object = GetCurrentObject(dc, OBJ_BITMAP);
    if (!object) return false;
    DIBSECTION ds;
    std::memset(&ds, 0, sizeof ds);
    if (GetObjectW(object, sizeof ds, &ds) != static_cast<int>(sizeof ds)) return false;

    const int bits = ds.dsBm.bmBitsPixel;
    if (ds.dsBm.bmWidth < 1 || ds.dsBm.bmHeight < 1 || !ds.dsBm.bmBits) return false;
    const uint32_t minStride = DibStride(ds.dsBm.bmWidth, bits);
    if (minStride == 0 || ds.dsBm.bmWidthBytes < 0 ||
        static_cast<uint32_t>(ds.dsBm.bmWidthBytes) < minStride)
        return false;

    width_ = ds.dsBm.bmWidth;
    height_ = ds.dsBm.bmHeight;
    bitCount_ = bits;
    topDown_ = ds.dsBmih.biHeight < 0;
    bits_ = static_cast<const uint8_t *>(ds.dsBm.bmBits);
    stride_ = static_cast<uint32_t>(ds.dsBm.bmWidthBytes);
    compression_ = ds.dsBmih.biCompression;
    xppm_ = ds.dsBmih.biXPelsPerMeter;
    yppm_ = ds.dsBmih.biYPelsPerMeter;

    if (bits <= 8) {
        RGBQUAD table[256];
        const UINT n = GetDIBColorTable(dc, 0, 256, table);
        // Indices past a short table are clamped to its last entry when read.
        palette_.assign(table, table + std::min<UINT>(n, UINT{1} << bits));
        if (palette_.empty()) palette_ = GreyPalette(bits);
    } else if (bits == 16 || bits == 32) {
        if (compression_ == BI_BITFIELDS &&
            (ds.dsBitfields[0] | ds.dsBitfields[1] | ds.dsBitfields[2]) != 0) {
            for (int i = 0; i < 3; ++i) masks_[i] = ds.dsBitfields[i];
        } else if (bits == 16) {
            masks_[0] = 0x7C00;
            masks_[1] = 0x03E0;
            masks_[2] = 0x001F;
        } else {
            masks_[0] = 0x00FF0000;
            masks_[1] = 0x0000FF00;
            masks_[2] = 0x000000FF;
        }
        for (uint32_t m : masks_)
            if (!OneRunOfBits(m)) return false;
    }

    if (bits == 32) {
        // Alpha lives in the bits no colour mask claims; a picture whose alpha is 0
        // everywhere was made without alpha and counts as opaque.
        const uint32_t alphaMask = ~(masks_[0] | masks_[1] | masks_[2]);
        for (int32_t y = 0; y < height_ && !hasAlpha_ && alphaMask; ++y) {
            const auto *row = reinterpret_cast<const uint32_t *>(Row(y));
            for (int32_t x = 0; x < width_; ++x) {
                if (row[x] & alphaMask) {
                    hasAlpha_ = true;
                    break;
                }
            }
        }
    }
    return true;
}

bool SourcePicture::IsGreyPalette() const {
    if (bitCount_ > 8 || palette_.empty()) return false;
    for (const RGBQUAD &q : palette_)
        if (q.rgbRed != q.rgbGreen || q.rgbGreen != q.rgbBlue) return false;
    return true;
}

const uint8_t *SourcePicture::Row(int32_t y) const {
    if (!bits_ || y < 0 || y >= height_) return nullptr;
    const size_t memoryRow = static_cast<size_t>(topDown_ ? y : height_ - 1 - y);
    return bits_ + memoryRow * stride_;
}

void SourcePicture::RowToIndices(int32_t y, uint8_t *out) const {
    const uint8_t *row = Row(y);
    if (!row || bitCount_ > 8) {
        std::memset(out, 0, static_cast<size_t>(width_));
        return;
    }
    const size_t last = palette_.empty() ? 0 : palette_.size() - 1;
    for (int32_t x = 0; x < width_; ++x) {
        const unsigned v = ReadDibIndex(row, static_cast<size_t>(x), bitCount_);
        // An index past a short colour table is clamped to its last entry.
        out[x] = static_cast<uint8_t>(v > last ? last : v);
    }
}

void SourcePicture::RowToBGRA(int32_t y, uint8_t *out) const {
    const uint8_t *row = Row(y);
    if (!row) {
        std::memset(out, 0, static_cast<size_t>(width_) * 4);
        return;
    }
    const size_t w = static_cast<size_t>(width_);
    switch (bitCount_) {
    case 1:
    case 4:
    case 8: {
        const size_t last = palette_.size() - 1;
        for (size_t x = 0; x < w; ++x) {
            const unsigned v = ReadDibIndex(row, x, bitCount_);
            const RGBQUAD &q = palette_[v > last ? last : v];
            out[4 * x] = q.rgbBlue;
            out[4 * x + 1] = q.rgbGreen;
            out[4 * x + 2] = q.rgbRed;
            out[4 * x + 3] = 255;
        }
        break;
    }
    case 24:
        for (size_t x = 0; x < w; ++x) {
            out[4 * x] = row[3 * x];
            out[4 * x + 1] = row[3 * x + 1];
            out[4 * x + 2] = row[3 * x + 2];
            out[4 * x + 3] = 255;
        }
        break;
    case 16:
    case 32: {
        const MaskedChannel r(masks_[0]), g(masks_[1]), b(masks_[2]);
        const MaskedChannel a(bitCount_ == 32 ? ~(masks_[0] | masks_[1] | masks_[2]) : 0);
        const bool standard32 =
            bitCount_ == 32 && masks_[0] == 0xFF0000 && masks_[1] == 0xFF00 && masks_[2] == 0xFF;
        if (standard32) {
            std::memcpy(out, row, w * 4);
            if (!hasAlpha_)
                for (size_t x = 0; x < w; ++x) out[4 * x + 3] = 255;
            break;
        }
        for (size_t x = 0; x < w; ++x) {
            uint32_t px;
            if (bitCount_ == 16) px = static_cast<uint32_t>(row[2 * x] | (row[2 * x + 1] << 8));
            else std::memcpy(&px, row + 4 * x, 4);
            out[4 * x] = b(px);
            out[4 * x + 1] = g(px);
            out[4 * x + 2] = r(px);
            out[4 * x + 3] = hasAlpha_ ? a(px) : 255;
        }
        break;
    }
    default: std::memset(out, 0, w * 4);
    }
}

void SourcePicture::RowToBGROnWhite(int32_t y, uint8_t *out) const {
    const size_t w = static_cast<size_t>(width_);
    if (bitCount_ == 24) {
        const uint8_t *row = Row(y);
        if (row) std::memcpy(out, row, w * 3);
        else std::memset(out, 0, w * 3);
        return;
    }
    scratch_.resize(w * 4);
    uint8_t *bgra = scratch_.data();
    RowToBGRA(y, bgra);
    for (size_t x = 0; x < w; ++x) {
        const uint8_t a = bgra[4 * x + 3];
        out[3 * x] = OnWhite(bgra[4 * x], a);
        out[3 * x + 1] = OnWhite(bgra[4 * x + 1], a);
        out[3 * x + 2] = OnWhite(bgra[4 * x + 2], a);
    }
}

bool OpenSave(HDC dc, const WCHAR *path, std::string *target, SourcePicture *src,
              ProgressCallbackFn progress, int32_t data) {
    if (!PathToBytes(path, target)) return false;
    if (!src->Open(dc)) return Fail("no picture to store");
    ReportProgress(progress, 0, 100, data);
    return true;
}

}  // namespace faltrix::kit
