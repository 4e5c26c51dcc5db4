// GIF output plug-in over giflib. Palettised pictures are written with their own colours
// (the table padded to a power of two, as GIF requires). 16-, 24- and 32-bit pictures are
// reduced to at most 256 colours by our own median cut (quantize.h); pixels with alpha below
// 128 become one transparent index (when there are any), partly transparent ones are put on
// white first. GIF keeps no resolution, only the picture's pixels. Animations are written
// through BeginFrames, AddFrame and EndFrames (gif_frames_output.cpp).
#include <cstring>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/owned.h"
#include "gif_common.h"
#include "quantize.h"

namespace faltrix::gif {
namespace {

int WriteToFile(GifFileType *gif, const GifByteType *buffer, int length) {
    return int(std::fwrite(buffer, 1, size_t(length), static_cast<FILE *>(gif->UserData)));
}

struct Encoder {
    GifFileType *gif = nullptr;
    Encoder() = default;
    ~Encoder() {
        if (gif) EGifCloseFile(gif, nullptr);
    }
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;
    // Flushes giflib's last bytes; false when that fails.
    bool Close() {
        GifFileType *g = gif;
        gif = nullptr;
        return EGifCloseFile(g, nullptr) == GIF_OK;
    }
};

bool GifFailed(int error) { return kit::Fail(ErrorText(error)); }

// GIF keeps no colour profile, EXIF or XMP: the host converts the colours to sRGB instead.
// Transparency is kept as one transparent index; no block is.
bool KeepsMetadata(std::string_view key, size_t) { return key == FALTRIX_METADATA_TRANSPARENCY; }

// A GIF's colour table holds RGB entries.
kit::StoredColour StoredColour(const kit::StoredLayout &) { return kit::StoredColour::kColour; }

// The logical screen, the graphic control block that names the transparent index (when
// there is one) and the descriptor of the one frame, which covers the screen. False when
// giflib refuses one of them (its code is in gif->Error).
bool PutHeader(GifFileType *gif, int32_t w, int32_t h, const ColorMapObject *map,
               int transparentIndex) {
    if (EGifPutScreenDesc(gif, w, h, 8, 0, map) == GIF_ERROR) return false;
    if (transparentIndex != NO_TRANSPARENT_COLOR) {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
        gcb.DelayTime = 0;
        gcb.TransparentColor = transparentIndex;
        GifByteType ext[4];
        const size_t n = EGifGCBToExtension(&gcb, ext);
        if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(n), ext) == GIF_ERROR) return false;
    }
    return EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr) != GIF_ERROR;
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    std::string name;
    if (!kit::PathToBytes(path, &name)) return false;
    if (src.width() > 65535 || src.height() > 65535)  // GIF sizes are 16-bit
        return kit::Fail("GIF holds no side over 65535 pixels");

    const int32_t w = src.width(), h = src.height();
    const bool palettised = src.bitCount() <= 8;
    const bool alpha = src.HasAlpha();
    std::vector<uint8_t> bgra(palettised ? 0 : size_t(w) * 4);
    Quantizer quantizer;
    std::vector<RGBQUAD> palette;
    int transparentIndex = NO_TRANSPARENT_COLOR;

    // Partly transparent pixels go on white; fully transparent ones keep alpha 0 for Map.
    auto colourRow = [&](int32_t y) {
        src.RowToBGRA(y, bgra.data());
        if (!alpha) return;
        for (int32_t x = 0; x < w; ++x) {
            uint8_t *p = &bgra[4 * size_t(x)];
            if (p[3] < 128 || p[3] == 255) continue;
            for (int c = 0; c < 3; ++c)
                p[c] = uint8_t((p[c] * p[3] + 255 * (255 - p[3]) + 127) / 255);
            p[3] = 255;
        }
    };
    if (palettised) {
        palette = src.palette();
    } else {
        for (int32_t y = 0; y < h; ++y) {
            colourRow(y);
            quantizer.Add(bgra.data(), w);
        }
        // A transparent index is spent only when some pixel needs it.
        const bool transparency = alpha && quantizer.sawTransparent();
        quantizer.Build(transparency ? 255 : 256);
        palette = quantizer.palette();
        if (transparency) {
            transparentIndex = int(palette.size());
            palette.push_back(RGBQUAD{255, 255, 255, 0});
        }
    }
    kit::Owned<ColorMapObject, GifFreeMapObject> map{MakeMap(palette)};
    if (!map) return kit::Fail("not enough memory");

    kit::OutputFile out(name);
    if (!out.ok()) return false;
    Encoder enc;
    int error = 0;
    enc.gif = EGifOpen(out.stream(), WriteToFile, &error);
    if (!enc.gif) return GifFailed(error);
    EGifSetGifVersion(enc.gif, true);
    if (!PutHeader(enc.gif, w, h, map.get(), transparentIndex)) return GifFailed(enc.gif->Error);
    std::vector<GifPixelType> indices(static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
        if (palettised) {
            src.RowToIndices(y, indices.data());
        } else {
            colourRow(y);
            quantizer.Map(bgra.data(), w, uint8_t(transparentIndex < 0 ? 0 : transparentIndex),
                          indices.data());
        }
        if (EGifPutLine(enc.gif, indices.data(), w) == GIF_ERROR) return GifFailed(enc.gif->Error);
        kit::ReportProgress(progress, y + 1, h, data);
    }
    if (!enc.Close()) return kit::Fail("GIF: the last bytes could not be written");
    return out.Close();
}

}  // namespace
}  // namespace faltrix::gif

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::gif)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::gif)
