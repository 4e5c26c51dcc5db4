// ICO and CUR input plug-in. Every entry of the directory is a frame (pages of a document),
// the largest first, the deepest first among those of one size, then in the directory's
// order; GetPictureDIB gives the first of them, the picture a user expects from an icon.
// Entries are BMP (1, 4, 8, 16, 24 or 32 bits, the AND mask becoming alpha where the colour
// rows have none) or PNG; all are decoded to 32-bit B, G, R, A. The directory's width and
// height bytes are not trusted: each entry's own header gives its size, up to kMaxEntrySide.
// A frame of another size than the first is put at the top-left of the first's canvas,
// transparent around it, as pages of other sizes are.
#include <cstring>

#include "faltrix/kit/canvas.h"
#include "faltrix/kit/entry_points.h"
#include "ico_format.h"

namespace faltrix::ico {
namespace {

// A file's directory, with its entries in frame order.
struct Icon {
    kit::InputFile file;
    uint16_t type = 0;
    std::vector<Entry> entries;  // in frame order

    bool Open(const WCHAR *path) {
        if (!file.Open(path) || !ReadDirectory(file, &type, &entries)) return false;
        std::vector<Entry> ordered;
        for (size_t k : FrameOrder(entries)) ordered.push_back(entries[k]);
        entries.swap(ordered);
        return true;
    }

    // Frame `index`'s pixels; false, with the cause.
    bool Decode(size_t index, Pixels *out) {
        const Entry &e = entries[index];
        std::vector<uint8_t> data(e.size);
        if (!file.Seek(e.offset) || !file.Read(data.data(), data.size()))
            return kit::Fail("ICO: an entry is cut short");
        return DecodeEntry(e, data, out);
    }
};

// The pixels as a 32-bit section; null, with the cause.
HBITMAP ToDib(const Pixels &p, DibAllocCallbackFn alloc) {
    kit::DibSpec spec;
    spec.width = p.width;
    spec.height = p.height;
    spec.bitCount = 32;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    bool transparent = true;
    const size_t rowBytes = size_t(p.width) * 4;
    for (int32_t y = 0; y < p.height; ++y) {
        uint8_t *row = dib.Row(y);
        std::memcpy(row, p.bgra.data() + size_t(y) * rowBytes, rowBytes);
        for (int32_t x = 0; x < p.width && transparent; ++x) transparent = row[4 * x + 3] == 0;
    }
    if (transparent) kit::KeepFullTransparency(dib, p.width, p.height);
    return dib.bitmap;
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    Icon icon;
    Pixels pixels;
    if (!icon.Open(path) || !icon.Decode(0, &pixels)) return nullptr;
    HBITMAP bitmap = ToDib(pixels, alloc);
    if (bitmap && icon.entries.size() > 1)
        kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, icon.entries.size());
    kit::ReportProgress(progress, 1, 1, data);
    return bitmap;
}

bool Recognize(const WCHAR *path) {
    Icon icon;
    return icon.Open(path);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Icon icon;
    if (!icon.Open(path)) return false;
    info->width = icon.entries[0].width;
    info->height = icon.entries[0].height;
    return true;
}

// The entries as frames on the first's canvas.
class EntryReader final : public kit::FrameReader {
public:
    bool Open(const WCHAR *path, kit::Sequence *out) {
        if (!icon_.Open(path)) return false;
        const Entry &first = icon_.entries[0];
        int32_t other = 0;
        for (const Entry &e : icon_.entries)
            other += e.width != first.width || e.height != first.height;
        kit::NoteOtherSizes(other, "picture");
        out->width = first.width;
        out->height = first.height;
        out->frameCount = int32_t(icon_.entries.size());
        out->kind = FALTRIX_FRAMES_PAGES;
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        *delay = 0;
        if (size_t(index) >= icon_.entries.size()) return kit::Fail<HBITMAP>("ICO: no such entry");
        Pixels pixels;
        if (!icon_.Decode(size_t(index), &pixels)) return nullptr;
        HBITMAP entry = ToDib(pixels, alloc);
        if (!entry) return nullptr;
        kit::ReportProgress(progress, 1, 1, data);
        return kit::PlaceOnCanvas(entry, icon_.entries[0].width, icon_.entries[0].height, alloc);
    }

private:
    Icon icon_;
};

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<EntryReader>(path, out);
}

}  // namespace
}  // namespace faltrix::ico

FALTRIX_KIT_INPUT_PLUGIN(faltrix::ico)
FALTRIX_KIT_FRAMES_INPUT(faltrix::ico)
