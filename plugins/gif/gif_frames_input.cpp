// The GIF input's frames: every frame composed on the logical screen, as a viewer shows it.
// OpenFrames counts the frames by skipping over their records (the compressed data is read
// past, never decoded) and takes the loop count from the NETSCAPE2.0 (or ANIMEXTS1.0)
// application extension, 1 without one. The reader then walks the records once, in order,
// keeping only the composed screen and, while a frame asks to be undone (disposal
// "previous"), the part of the screen it covers.
//
// A file of one frame gives GetPictureDIB's picture. With more frames each one is 32 bits,
// B, G, R, A, top-down: the first on the screen as GetPictureDIB fills it (uncovered pixels
// transparent when the frame has a transparent index, else the background colour), later
// ones over what the frame before left. A frame's disposal applies before the next is drawn:
//   none, leave      -> the frame stays
//   background       -> its rectangle becomes transparent when it or the next frame has a
//                       transparent index (what browsers and Pillow show), else the global
//                       table's background colour
//   previous         -> its rectangle gets back what it covered
// Delays are the graphic control block's hundredths of a second in milliseconds, 0 kept.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "faltrix/kit/kit.h"
#include "faltrix/kit/metadata.h"
#include "gif_reading.h"

namespace faltrix::gif {
namespace {

// What a graphic control block says of the frame after it.
struct Control {
    int disposal = DISPOSAL_UNSPECIFIED;
    int32_t delay = 0;  // milliseconds
    int transparent = NO_TRANSPARENT_COLOR;
};

// The screen area a frame covers, clipped to the screen.
struct Area {
    int32_t left = 0, top = 0, width = 0, height = 0;
};

bool IsLoopExtension(const GifByteType *block) {
    return block && block[0] == 11 &&
           (std::memcmp(block + 1, "NETSCAPE2.0", 11) == 0 ||
            std::memcmp(block + 1, "ANIMEXTS1.0", 11) == 0);
}

// Reads one extension record: a graphic control block into *control, a loop count into
// *loop. False, with giflib's cause, when the record is damaged.
bool ReadExtension(GifFileType *gif, Control *control, int32_t *loop) {
    int code = 0;
    GifByteType *block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return GifFailed(gif->Error);
    GraphicsControlBlock gcb;
    if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4 &&
        DGifExtensionToGCB(4, block + 1, &gcb) == GIF_OK) {
        control->disposal = gcb.DisposalMode;
        control->delay = int32_t(gcb.DelayTime) * 10;
        control->transparent = gcb.TransparentColor;
    }
    const bool looping = code == APPLICATION_EXT_FUNC_CODE && IsLoopExtension(block);
    for (;;) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return GifFailed(gif->Error);
        if (!block) return true;
        // The loop sub-block: 1, then the count, least significant byte first.
        if (looping && block[0] >= 3 && block[1] == 1) *loop = block[2] | (block[3] << 8);
    }
}

// What OpenFrames learns from one pass over the records.
struct Scan {
    int32_t frames = 0;
    int32_t loop = 1;
    int32_t firstDelay = 0;
    int64_t firstRight = 0, firstBottom = 0;  // the first frame's extent
};

// Counts the frames, skipping their compressed data, up to one more than FALTRIX_MAX_FRAMES.
// A file damaged after some frame counts
// up to the frame that broke (whose Read then fails with the cause); one that breaks before
// any frame fails here.
bool ScanFrames(GifFileType *gif, Scan *scan) {
    Control control;
    bool damaged = true;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) break;
        if (type == TERMINATE_RECORD_TYPE) {
            damaged = false;
            break;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            if (!ReadExtension(gif, &control, &scan->loop)) break;
        } else if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) == GIF_ERROR) break;
            // Past the most frames the host takes, the count no longer matters: it refuses
            // the file, and a file of many tiny frames costs no more to open.
            if (scan->frames > FALTRIX_MAX_FRAMES) break;
            if (++scan->frames == 1) {
                scan->firstDelay = control.delay;
                scan->firstRight = int64_t(gif->Image.Left) + gif->Image.Width;
                scan->firstBottom = int64_t(gif->Image.Top) + gif->Image.Height;
            }
            control = Control{};
            int size = 0;
            GifByteType *block = nullptr;
            if (DGifGetCode(gif, &size, &block) == GIF_ERROR) break;
            while (block)
                if (DGifGetCodeNext(gif, &block) == GIF_ERROR) break;
            if (block) break;
        }
    }
    if (scan->frames > 0) return true;
    return damaged ? GifFailed(gif->Error) : kit::Fail("GIF: the file holds no picture");
}

class Reader final : public kit::FrameReader {
public:
    Reader(const WCHAR *path, int32_t width, int32_t height, const Scan &scan)
        : path_(path),
          width_(width),
          height_(height),
          frames_(scan.frames),
          firstDelay_(scan.firstDelay) {}

    bool Open() {
        if (frames_ == 1) return true;  // read by Decode, as GetPictureDIB reads it
        if (!file_.Open(path_.c_str()) || !HasSignature(file_) ||
            std::fseek(file_.stream(), 0, SEEK_SET) != 0)
            return false;
        handle_ = std::make_unique<Handle>(file_.stream());
        return handle_->gif || GifFailed(handle_->openError);
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        if (index >= frames_) return kit::Fail<HBITMAP>("GIF: no such frame");
        if (frames_ == 1) {
            *delay = firstDelay_;
            return Decode(path_.c_str(), progress, data, alloc);
        }
        if (broken_) return kit::Fail<HBITMAP>("GIF: an earlier frame was damaged");
        if (index < next_) return kit::Fail<HBITMAP>("GIF: frames are read in ascending order");
        // Frames the host skips are composed all the same: later ones are drawn over them.
        while (next_ <= index) {
            if (!ComposeNext(next_ == index ? progress : nullptr, data, delay)) {
                broken_ = true;
                return nullptr;
            }
        }
        return ScreenToDib(alloc);
    }

private:
    bool ComposeNext(ProgressCallbackFn progress, int32_t data, int32_t *delay);
    bool NextImage(Control *control);
    void Dispose(int nextTransparent);
    void FillFirstScreen(const ColorMapObject *map, int transparent);
    bool DrawRows(const ColorMapObject *map, int transparent, ProgressCallbackFn progress,
                  int32_t data);
    HBITMAP ScreenToDib(DibAllocCallbackFn alloc) const;
    uint8_t *Pixel(int32_t x, int32_t y) {
        return &screen_[(size_t(y) * size_t(width_) + size_t(x)) * 4];
    }

    std::u16string path_;
    int32_t width_, height_, frames_, firstDelay_;
    kit::InputFile file_;
    std::unique_ptr<Handle> handle_;
    std::vector<uint8_t> screen_;   // B, G, R, A, top-down
    std::vector<uint8_t> covered_;  // what the last frame covered, while it asks to be undone
    Control last_;                  // the last frame drawn, and where
    Area lastArea_;
    int32_t next_ = 0;
    bool broken_ = false;
};

// Reads the records up to the next image descriptor, with the control block before it.
bool Reader::NextImage(Control *control) {
    GifFileType *gif = handle_->gif;
    int32_t loop = 0;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return GifFailed(gif->Error);
        if (type == TERMINATE_RECORD_TYPE) return kit::Fail("GIF: the file ends before the frame");
        if (type == EXTENSION_RECORD_TYPE && !ReadExtension(gif, control, &loop)) return false;
        if (type != IMAGE_DESC_RECORD_TYPE) continue;
        if (DGifGetImageDesc(gif) == GIF_ERROR) return GifFailed(gif->Error);
        const GifImageDesc &desc = gif->Image;
        return (desc.Left >= 0 && desc.Top >= 0 && kit::WithinLimits(desc.Width, desc.Height)) ||
               kit::Fail("GIF: a frame's size is out of bounds");
    }
}

// Undoes the last frame as its disposal asks, before the next frame is drawn.
void Reader::Dispose(int nextTransparent) {
    const Area &a = lastArea_;
    if (last_.disposal == DISPOSE_PREVIOUS) {
        for (int32_t y = 0; y < a.height; ++y)
            std::memcpy(Pixel(a.left, a.top + y), &covered_[size_t(y) * size_t(a.width) * 4],
                        size_t(a.width) * 4);
    } else if (last_.disposal == DISPOSE_BACKGROUND) {
        const ColorMapObject *global = handle_->gif->SColorMap;
        const int bg = handle_->gif->SBackGroundColor;
        uint8_t fill[4] = {0, 0, 0, 0};
        if (last_.transparent == NO_TRANSPARENT_COLOR && nextTransparent == NO_TRANSPARENT_COLOR &&
            global && bg < global->ColorCount) {
            const GifColorType &c = global->Colors[bg];
            fill[0] = c.Blue, fill[1] = c.Green, fill[2] = c.Red, fill[3] = 255;
        }
        for (int32_t y = 0; y < a.height; ++y)
            for (int32_t x = 0; x < a.width; ++x)
                std::memcpy(Pixel(a.left + x, a.top + y), fill, 4);
    }
    covered_.clear();
}

// The screen before the first frame, as GetPictureDIB leaves what the frame does not cover.
void Reader::FillFirstScreen(const ColorMapObject *map, int transparent) {
    if (transparent != NO_TRANSPARENT_COLOR) return;  // all transparent already
    const GifFileType *gif = handle_->gif;
    const int bg = (gif->Image.ColorMap == nullptr && gif->SBackGroundColor < map->ColorCount)
                       ? gif->SBackGroundColor
                       : 0;
    const GifColorType &c = map->Colors[bg];
    const uint8_t fill[4] = {c.Blue, c.Green, c.Red, 255};
    for (size_t i = 0; i < screen_.size(); i += 4) std::memcpy(&screen_[i], fill, 4);
}

// Decodes the frame's rows (in interlaced order where it is interlaced) and draws the
// pixels that are not transparent on the screen; the part off the screen is dropped.
bool Reader::DrawRows(const ColorMapObject *map, int transparent, ProgressCallbackFn progress,
                      int32_t data) {
    GifFileType *gif = handle_->gif;
    const GifImageDesc desc = gif->Image;
    const int32_t visible = std::max(0, std::min<int32_t>(desc.Width, width_ - desc.Left));
    std::vector<GifPixelType> line(size_t(desc.Width));
    static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    int32_t done = 0;
    for (int pass = 0; pass < (desc.Interlace ? 4 : 1); ++pass) {
        const int start = desc.Interlace ? kStart[pass] : 0,
                  step = desc.Interlace ? kStep[pass] : 1;
        for (int32_t r = start; r < desc.Height; r += step) {
            if (DGifGetLine(gif, line.data(), desc.Width) == GIF_ERROR)
                return GifFailed(gif->Error);
            const int32_t y = desc.Top + r;
            for (int32_t x = 0; y < height_ && x < visible; ++x) {
                const int v = line[size_t(x)];
                if (v == transparent || v >= map->ColorCount) continue;
                const GifColorType &c = map->Colors[v];
                uint8_t *o = Pixel(desc.Left + x, y);
                o[0] = c.Blue, o[1] = c.Green, o[2] = c.Red, o[3] = 255;
            }
            kit::ReportProgress(progress, ++done, desc.Height, data);
        }
    }
    return true;
}

bool Reader::ComposeNext(ProgressCallbackFn progress, int32_t data, int32_t *delay) {
    GifFileType *gif = handle_->gif;
    Control control;
    if (!NextImage(&control)) return false;
    const GifImageDesc &desc = gif->Image;
    const ColorMapObject *map = desc.ColorMap    ? desc.ColorMap
                                : gif->SColorMap ? gif->SColorMap
                                                 : GreyMap();
    if (map->ColorCount < 1 || map->ColorCount > 256 || !map->Colors)
        return kit::Fail("GIF: a frame's colour table is unusable");
    if (control.transparent >= map->ColorCount) control.transparent = NO_TRANSPARENT_COLOR;

    if (next_ == 0) {
        screen_.assign(size_t(width_) * size_t(height_) * 4, 0);  // taken at the first Read
        FillFirstScreen(map, control.transparent);
    } else Dispose(control.transparent);
    Area area;
    area.left = std::min(desc.Left, width_);
    area.top = std::min(desc.Top, height_);
    area.width = std::min(desc.Width, width_ - area.left);
    area.height = std::min(desc.Height, height_ - area.top);
    if (control.disposal == DISPOSE_PREVIOUS) {
        covered_.resize(size_t(area.width) * size_t(area.height) * 4);
        for (int32_t y = 0; y < area.height; ++y)
            std::memcpy(&covered_[size_t(y) * size_t(area.width) * 4],
                        Pixel(area.left, area.top + y), size_t(area.width) * 4);
    }
    if (!DrawRows(map, control.transparent, progress, data)) return false;
    last_ = control;
    lastArea_ = area;
    *delay = control.delay;
    ++next_;
    return true;
}

HBITMAP Reader::ScreenToDib(DibAllocCallbackFn alloc) const {
    kit::DibSpec spec;
    spec.width = width_;
    spec.height = height_;
    spec.bitCount = 32;
    spec.topDown = true;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    for (int32_t y = 0; y < height_; ++y)
        std::memcpy(dib.Row(y), &screen_[size_t(y) * size_t(width_) * 4], size_t(width_) * 4);
    kit::KeepFullTransparency(dib, width_, height_);
    return dib.bitmap;
}

}  // namespace

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    Scan scan;
    int32_t width = 0, height = 0;
    {
        kit::InputFile file;
        if (!file.Open(path) || !HasSignature(file) || std::fseek(file.stream(), 0, SEEK_SET) != 0)
            return nullptr;
        Handle handle(file.stream());
        if (!handle.gif) return GifFailed(handle.openError), nullptr;
        if (!ScanFrames(handle.gif, &scan)) return nullptr;
        // A screen with a side of 0 takes the first frame's extent, as Decode does.
        const bool screen = handle.gif->SWidth > 0 && handle.gif->SHeight > 0;
        const int64_t w = screen ? handle.gif->SWidth : scan.firstRight;
        const int64_t h = screen ? handle.gif->SHeight : scan.firstBottom;
        if (!kit::WithinLimits(w, h)) return nullptr;
        width = int32_t(w), height = int32_t(h);
    }
    kit::ClearLastFailure();  // a damaged tail is the cause of its own frame's Read
    auto reader = std::make_unique<Reader>(path, width, height, scan);
    if (!reader->Open()) return nullptr;
    out->width = width;
    out->height = height;
    out->frameCount = scan.frames;
    out->loopCount = scan.loop;
    out->kind = FALTRIX_FRAMES_ANIMATION;
    if (scan.frames > 1) kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, uint64_t(scan.frames));
    return reader;
}

}  // namespace faltrix::gif
