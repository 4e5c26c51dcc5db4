// GIF input plug-in over giflib: the first frame, on the logical screen (or, where a writer
// left the screen's size at 0, on the frame's own extent, as other readers take it); how many
// frames the file holds is noted for GetPictureMetadata. A file without any colour table is
// read as grey, each index its own grey level, as other readers read it.
//   no transparency  -> 1, 4 or 8 bits with the frame's colour table (the smallest depth
//                       that holds it); screen pixels the frame leaves uncovered get the
//                       background colour
//   a transparent index (graphic control extension) -> 32 bits, B, G, R, A; transparent and
//                       uncovered pixels get alpha 0
// Records are read one at a time, so frames after the first are never read. Every frame,
// composed, comes through OpenFrames and GetFrameDIB (gif_frames_input.cpp).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "gif_reading.h"

namespace faltrix::gif {
namespace {

// A short read keeps what stopped it, which giflib itself words only as "Failed to read".
int ReadFromFile(GifFileType *gif, GifByteType *buffer, int length) {
    FILE *file = static_cast<FILE *>(gif->UserData);
    const size_t got = std::fread(buffer, 1, size_t(length), file);
    if (got < size_t(length))
        kit::SetLastFailure(std::ferror(file) ? std::strerror(errno)
                                              : "GIF: the file ends before the picture does");
    return int(got);
}

}  // namespace

Handle::Handle(FILE *f) { gif = DGifOpen(f, ReadFromFile, &openError); }

Handle::~Handle() {
    if (gif) DGifCloseFile(gif, nullptr);
}

bool HasSignature(kit::InputFile &file) {
    char sig[6];
    return (file.Read(sig, sizeof sig) &&
            (std::memcmp(sig, "GIF87a", 6) == 0 || std::memcmp(sig, "GIF89a", 6) == 0)) ||
           kit::Fail("GIF: no GIF87a or GIF89a signature");
}

bool GifFailed(int error) { return kit::Fail(ErrorText(error)); }

namespace {

// Reads up to the first image's descriptor (gif->Image), keeping the transparent index of
// the graphic control block before it.
bool FindFirstImage(GifFileType *gif, int *transparent) {
    *transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return GifFailed(gif->Error);
        if (type == IMAGE_DESC_RECORD_TYPE) break;
        if (type == TERMINATE_RECORD_TYPE) return kit::Fail("GIF: the file holds no picture");
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType *ext;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) return GifFailed(gif->Error);
            if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) {
                GraphicsControlBlock gcb;
                if (DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK)
                    *transparent = gcb.TransparentColor;
            }
            while (ext) {
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) return GifFailed(gif->Error);
            }
        }
    }
    if (DGifGetImageDesc(gif) == GIF_ERROR) return GifFailed(gif->Error);
    const GifImageDesc &desc = gif->Image;
    return (kit::WithinLimits(desc.Width, desc.Height) && desc.Left >= 0 && desc.Top >= 0) ||
           kit::Fail("GIF: the first frame's size is out of bounds");
}

// The picture's size: the logical screen's, checked against the limits; a screen with a side
// of 0 takes the first frame's extent (which is read for it).
bool PictureSize(GifFileType *gif, int32_t *w, int32_t *h, int *transparent) {
    if (gif->SWidth > 0 && gif->SHeight > 0) {
        if (!kit::WithinLimits(gif->SWidth, gif->SHeight)) return false;
        *w = gif->SWidth;
        *h = gif->SHeight;
        return true;
    }
    if (!FindFirstImage(gif, transparent)) return false;
    const int64_t width = int64_t(gif->Image.Left) + gif->Image.Width;
    const int64_t height = int64_t(gif->Image.Top) + gif->Image.Height;
    if (!kit::WithinLimits(width, height)) return false;
    *w = static_cast<int32_t>(width);
    *h = static_cast<int32_t>(height);
    return true;
}

}  // namespace

const ColorMapObject *GreyMap() {
    // Filled once: a size query and a job may ask at the same time.
    static GifColorType colours[256];
    static const ColorMapObject map = [] {
        for (int i = 0; i < 256; ++i)
            colours[i] = GifColorType{GifByteType(i), GifByteType(i), GifByteType(i)};
        return ColorMapObject{256, 8, false, colours};
    }();
    return &map;
}

namespace {

// The frames of the file, the first one (read already) included, counted by skipping over the
// rest without decoding them. A file that is damaged past the first frame counts as far as
// it can be read: the picture is the first frame either way.
void NoteFrameCount(GifFileType *gif) {
    int frames = 1;
    GifRecordType type;
    while (DGifGetRecordType(gif, &type) != GIF_ERROR && type != TERMINATE_RECORD_TYPE) {
        int code;
        GifByteType *block = nullptr;
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) == GIF_ERROR || DGifGetCode(gif, &code, &block) == GIF_ERROR)
                break;
            ++frames;
            while (block && DGifGetCodeNext(gif, &block) != GIF_ERROR) {}
            if (block) break;
        } else if (type == EXTENSION_RECORD_TYPE) {
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) break;
            while (block && DGifGetExtensionNext(gif, &block) != GIF_ERROR) {}
            if (block) break;
        }
    }
    if (frames > 1) kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, uint64_t(frames));
}

// The section the picture is decoded into: 32 bits when an index is transparent, otherwise
// the smallest depth that holds the colour table, with the table as palette.
kit::DibSpec SpecFor(int32_t width, int32_t height, int transparent, const ColorMapObject *map,
                     int colours) {
    kit::DibSpec spec;
    spec.width = width;
    spec.height = height;
    spec.topDown = true;
    if (transparent != NO_TRANSPARENT_COLOR) {
        spec.bitCount = 32;
    } else {
        spec.bitCount = colours <= 2 ? 1 : colours <= 16 ? 4 : 8;
        for (int i = 0; i < colours; ++i)
            spec.palette.push_back(
                RGBQUAD{map->Colors[i].Blue, map->Colors[i].Green, map->Colors[i].Red, 0});
    }
    return spec;
}

// The frame's rows, in interlaced order where the frame is interlaced, stored on the screen
// through `store`.
template <typename Store>
bool DecodeRows(GifFileType *gif, const kit::Dib &dib, const kit::DibSpec &spec, int32_t width,
                int32_t height, std::vector<GifPixelType> &line, const Store &store,
                ProgressCallbackFn progress, int32_t data) {
    const GifImageDesc &desc = gif->Image;
    // The part of the frame on the screen; the rest of it is decoded and dropped.
    const int32_t visibleWidth = std::max(0, std::min<int32_t>(desc.Width, width - desc.Left));
    const int32_t rows = desc.Height;
    static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    int32_t done = 0;
    for (int pass = 0; pass < (desc.Interlace ? 4 : 1); ++pass) {
        const int start = desc.Interlace ? kStart[pass] : 0,
                  step = desc.Interlace ? kStep[pass] : 1;
        for (int32_t r = start; r < rows; r += step) {
            const int32_t y = desc.Top + r;
            if (spec.bitCount == 8 && visibleWidth == desc.Width && y < height) {
                // The whole line lands on the screen: decode straight into the section.
                if (DGifGetLine(gif, dib.Row(y) + desc.Left, desc.Width) == GIF_ERROR)
                    return GifFailed(gif->Error);
            } else {
                if (DGifGetLine(gif, line.data(), desc.Width) == GIF_ERROR)
                    return GifFailed(gif->Error);
                if (y < height && visibleWidth > 0) store(y, desc.Left, line.data(), visibleWidth);
            }
            kit::ReportProgress(progress, ++done, rows, data);
        }
    }
    return true;
}

}  // namespace

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    kit::InputFile file;
    if (!file.Open(path) || !HasSignature(file) || std::fseek(file.stream(), 0, SEEK_SET) != 0)
        return nullptr;
    Handle handle(file.stream());
    GifFileType *gif = handle.gif;
    int32_t width, height;
    if (!gif) return GifFailed(handle.openError), nullptr;
    int transparent = NO_TRANSPARENT_COLOR;
    const bool frameRead = gif->SWidth <= 0 || gif->SHeight <= 0;
    if (!PictureSize(gif, &width, &height, &transparent)) return nullptr;
    if (!frameRead && !FindFirstImage(gif, &transparent)) return nullptr;
    const GifImageDesc &desc = gif->Image;
    const ColorMapObject *map = desc.ColorMap    ? desc.ColorMap
                                : gif->SColorMap ? gif->SColorMap
                                                 : GreyMap();
    if (map->ColorCount < 1 || map->ColorCount > 256 || !map->Colors)
        return kit::Fail<HBITMAP>("GIF: the picture's colour table is unusable");
    const int colours = map->ColorCount;
    if (transparent >= colours) transparent = NO_TRANSPARENT_COLOR;

    const kit::DibSpec spec = SpecFor(width, height, transparent, map, colours);
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard guard(dib.bitmap);

    // Uncovered screen: the background colour when opaque (the section starts at index 0,
    // so only a non-zero background needs filling); transparent stays all zero.
    const int background =
        (desc.ColorMap == nullptr && gif->SBackGroundColor < colours) ? gif->SBackGroundColor : 0;
    std::vector<GifPixelType> line(size_t(desc.Width));
    auto store = [&](int32_t y, int32_t xFrom, const GifPixelType *px, int32_t n) {
        uint8_t *row = dib.Row(y);
        if (spec.bitCount == 8) {
            std::memcpy(row + xFrom, px, size_t(n));
            return;
        }
        for (int32_t i = 0; i < n; ++i) {
            const int32_t x = xFrom + i;
            const unsigned v = px[i];
            switch (spec.bitCount) {
            case 1:
            case 4:
            case 8: WriteDibIndex(row, size_t(x), spec.bitCount, v); break;
            default: {
                uint8_t *o = row + 4 * size_t(x);
                if (int(v) == transparent || int(v) >= colours) {
                    std::memset(o, 0, 4);
                } else {
                    const GifColorType &c = map->Colors[v];
                    o[0] = c.Blue, o[1] = c.Green, o[2] = c.Red, o[3] = 255;
                }
            }
            }
        }
    };
    if (background != 0 && spec.bitCount <= 8) {
        // One row filled pixel by pixel, the others copied from it: a large screen costs a
        // copy per row, not a store per pixel.
        const GifPixelType bg = GifPixelType(background);
        for (int32_t x = 0; x < width; ++x) store(0, x, &bg, 1);
        for (int32_t y = 1; y < height; ++y) std::memcpy(dib.Row(y), dib.Row(0), dib.stride);
    }

    if (!DecodeRows(gif, dib, spec, width, height, line, store, progress, data)) return nullptr;
    if (spec.bitCount == 32) kit::KeepFullTransparency(dib, width, height);
    NoteFrameCount(gif);
    return guard.Release();
}

namespace {

bool Recognize(const WCHAR *path) {
    kit::InputFile file;
    return file.Open(path) && HasSignature(file);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    kit::InputFile file;
    if (!file.Open(path) || !HasSignature(file) || std::fseek(file.stream(), 0, SEEK_SET) != 0)
        return false;
    Handle handle(file.stream());
    if (!handle.gif) return GifFailed(handle.openError);
    int transparent;
    return PictureSize(handle.gif, &info->width, &info->height, &transparent);
}

}  // namespace
}  // namespace faltrix::gif

FALTRIX_KIT_INPUT_PLUGIN(faltrix::gif)
FALTRIX_KIT_FRAMES_INPUT(faltrix::gif)
