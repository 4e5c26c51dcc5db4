// Helpers shared by the pipeline's tests: DIB sections made through the graphics layer, a
// recorder of progress calls, and the raw test plug-ins' folders.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix::testing_support {

// A DIB section the test owns; deleted with the object.
class Dib {
public:
    Dib() = default;
    Dib(int32_t width, int32_t height, int bitCount, std::vector<RGBQUAD> palette = {}, DWORD compression = BI_RGB,
        const DWORD *masks = nullptr, DWORD clrUsed = 0) {
        std::vector<uint8_t> block(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
        BITMAPINFOHEADER h{};
        h.biSize = sizeof h;
        h.biWidth = width;
        h.biHeight = height;
        h.biPlanes = 1;
        h.biBitCount = static_cast<WORD>(bitCount);
        h.biCompression = compression;
        h.biXPelsPerMeter = 3780;
        h.biYPelsPerMeter = 3780;
        h.biClrUsed = clrUsed;
        std::memcpy(block.data(), &h, sizeof h);
        if (masks != nullptr) std::memcpy(block.data() + sizeof h, masks, 3 * sizeof(DWORD));
        if (!palette.empty()) std::memcpy(block.data() + sizeof h, palette.data(), palette.size() * sizeof(RGBQUAD));
        void *bits = nullptr;
        bitmap_ = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO *>(block.data()), DIB_RGB_COLORS, &bits,
                                   nullptr, 0);
        bits_ = static_cast<uint8_t *>(bits);
        if (bitmap_ != nullptr) {
            DIBSECTION ds{};
            GetObjectW(bitmap_, sizeof ds, &ds);
            stride_ = static_cast<size_t>(ds.dsBm.bmWidthBytes);
            rows_ = static_cast<size_t>(ds.dsBm.bmHeight);
        }
    }
    ~Dib() {
        if (bitmap_ != nullptr) DeleteObject(bitmap_);
    }
    Dib(Dib &&other) noexcept { *this = std::move(other); }
    Dib &operator=(Dib &&other) noexcept {
        std::swap(bitmap_, other.bitmap_);
        std::swap(bits_, other.bits_);
        std::swap(stride_, other.stride_);
        std::swap(rows_, other.rows_);
        return *this;
    }

    HBITMAP get() const { return bitmap_; }
    // Hands the bitmap over to the caller.
    HBITMAP release() {
        HBITMAP b = bitmap_;
        bitmap_ = nullptr;
        bits_ = nullptr;
        return b;
    }
    uint8_t *bits() const { return bits_; }
    size_t stride() const { return stride_; }
    size_t rows() const { return rows_; }
    uint8_t *Row(size_t memoryRow) const { return bits_ + memoryRow * stride_; }
    std::vector<uint8_t> Bytes() const { return std::vector<uint8_t>(bits_, bits_ + stride_ * rows_); }
    void FillRandom(uint32_t seed) {
        std::mt19937 random(seed);
        for (size_t i = 0; i < stride_ * rows_; ++i) bits_[i] = static_cast<uint8_t>(random());
    }

private:
    HBITMAP bitmap_ = nullptr;
    uint8_t *bits_ = nullptr;
    size_t stride_ = 0;
    size_t rows_ = 0;
};

// The description of a bitmap.
inline DIBSECTION Describe(HBITMAP bitmap) {
    DIBSECTION ds{};
    GetObjectW(bitmap, sizeof ds, &ds);
    return ds;
}

// Records every call of a ProgressCallbackFn (one recorder at a time).
struct ProgressCall {
    int32_t done;
    int32_t total;
    int32_t data;
    bool operator==(const ProgressCall &) const = default;
};
inline std::vector<ProgressCall> &RecordedProgress() {
    static std::vector<ProgressCall> calls;
    return calls;
}
inline int32_t RecordProgress(int32_t done, int32_t total, int32_t data) {
    RecordedProgress().push_back({done, total, data});
    return 1;
}

// The folder of one raw test plug-in variant, e.g. "input_raw" or "output_no_store".
inline std::string PluginVariantFolder(const std::string &variant) {
    return std::string(FALTRIX_IMAGING_PLUGIN_DIR) + "/" + variant;
}

}  // namespace faltrix::testing_support
