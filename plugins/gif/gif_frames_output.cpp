// The GIF output's frames: an animation of frames of the sequence's size, each reduced to 256
// colours as SaveDIBPicture reduces a picture (quantize.h), with the delays in hundredths
// of a second and the NETSCAPE2.0 loop extension (left out for a loop count of 1).
//
// Each frame is stored as the rectangle where it differs from what the reader shows before
// it (a transparent screen before the first), with a transparent index for the pixels inside
// that stay as they are, so a frame that changes little costs little. Two rules keep what a reader
// shows equal to the frames:
// - a transparent index only lets through what is below, so where a frame is transparent
//   over a pixel the frame before left opaque, that earlier frame is disposed of
//   ("restore to background", which readers show as transparent when the frame, or the
//   next one, has a transparent index: both then have one) over a rectangle that covers
//   those pixels;
// - so a frame's rectangle and disposal depend on the frame after it: each frame is written
//   when the next one arrives (or at the end). The writer keeps three screens: what readers
//   show before the waiting frame, the waiting frame and the one that just came.
//
// Colours: while the frames' colours fit together in 256 entries, frames share the global
// colour table, which grows as frames come (indices once given never change); a frame that
// does not fit gets a table of its own. As the global table is complete only at the end,
// giflib writes the frames into a temporary file, and the file is the header with the table
// followed by them.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "faltrix/kit/frames.h"
#include "faltrix/kit/kit.h"
#include "faltrix/kit/owned.h"
#include "gif_common.h"
#include "quantize.h"

namespace faltrix::gif {
namespace {

struct Rect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;  // right and bottom exclusive
    bool Empty() const { return right <= left || bottom <= top; }
    void Add(int32_t x, int32_t y) {
        if (Empty()) {
            *this = {x, y, x + 1, y + 1};
            return;
        }
        left = std::min(left, x), top = std::min(top, y);
        right = std::max(right, x + 1), bottom = std::max(bottom, y + 1);
    }
    void Add(const Rect &r) {
        if (r.Empty()) return;
        Add(r.left, r.top);
        Add(r.right - 1, r.bottom - 1);
    }
};

// Where giflib's output goes: nothing while it writes its own screen descriptor (ours is
// written at the end), then the temporary file.
struct Body {
    FILE *file = nullptr;
    bool discard = true;
};

int WriteBody(GifFileType *gif, const GifByteType *buffer, int length) {
    Body *body = static_cast<Body *>(gif->UserData);
    if (body->discard) return length;
    return int(std::fwrite(buffer, 1, size_t(length), body->file));
}

inline uint32_t Key(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}

int BitsFor(size_t colours) {
    int bits = 1;
    while ((size_t(1) << bits) < colours) ++bits;
    return bits;
}

bool Opaque(const uint8_t *p) { return p[3] != 0; }

class Writer final : public kit::FrameWriter {
public:
    Writer(std::string path, const kit::Sequence &s)
        : path_(std::move(path)), width_(s.width), height_(s.height), loop_(s.loopCount) {}
    ~Writer() override {
        if (gif_) EGifCloseFile(gif_, nullptr);
        if (body_.file) std::fclose(body_.file);
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    bool Begin();
    bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) override;
    bool Finish() override;

private:
    size_t Pixels() const { return size_t(width_) * size_t(height_); }
    const uint8_t *At(const std::vector<uint8_t> &screen, int32_t x, int32_t y) const {
        return &screen[(size_t(y) * size_t(width_) + size_t(x)) * 4];
    }
    bool WriteWaiting(const std::vector<uint8_t> *next);
    Rect ChangedRect() const;
    bool CountColours(const Rect &r, bool forceTransparency, Quantizer *q, bool *keep) const;
    bool JoinGlobal(const Quantizer &q, bool transparency, int *transparentIndex);
    bool WriteFrame(const Rect &r, int disposal, bool forceTransparency);
    void RectRow(const Rect &r, int32_t y, bool keep, uint8_t *out) const;
    bool PutControl(int disposal, int transparentIndex);

    std::string path_;
    int32_t width_, height_, loop_;
    int32_t added_ = 0;
    std::unique_ptr<kit::OutputFile> out_;
    Body body_;
    GifFileType *gif_ = nullptr;
    std::vector<uint8_t> shown_;    // what a reader shows before the waiting frame
    std::vector<uint8_t> waiting_;  // the frame written when the next one arrives
    std::vector<uint8_t> incoming_;
    int32_t waitingDelay_ = 0;
    bool forceTransparency_ = false;  // the frame before was disposed of for this one
    std::vector<RGBQUAD> global_;
    std::unordered_map<uint32_t, uint8_t> globalIndex_;
};

bool Writer::Begin() {
    if (width_ > 65535 || height_ > 65535) return kit::Fail("GIF holds no side over 65535 pixels");
    body_.file = std::tmpfile();
    if (!body_.file) return kit::Fail(std::strerror(errno));
    out_ = std::make_unique<kit::OutputFile>(path_);  // an unusable path fails here
    if (!out_->ok()) return false;
    int error = 0;
    gif_ = EGifOpen(&body_, WriteBody, &error);
    if (!gif_) return kit::Fail(ErrorText(error));
    kit::Owned<ColorMapObject, GifFreeMapObject> placeholder{GifMakeMapObject(2, nullptr)};
    if (!placeholder ||
        EGifPutScreenDesc(gif_, width_, height_, 8, 0, placeholder.get()) == GIF_ERROR)
        return kit::Fail(ErrorText(gif_->Error));
    body_.discard = false;
    if (loop_ != 1) {
        const int n = std::clamp(loop_, 0, 65535);
        const GifByteType count[3] = {1, GifByteType(n & 0xFF), GifByteType(n >> 8)};
        if (EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
            EGifPutExtensionBlock(gif_, 11, "NETSCAPE2.0") == GIF_ERROR ||
            EGifPutExtensionBlock(gif_, 3, count) == GIF_ERROR ||
            EGifPutExtensionTrailer(gif_) == GIF_ERROR)
            return kit::Fail(ErrorText(gif_->Error));
    }
    shown_.assign(Pixels() * 4, 0);
    waiting_.resize(Pixels() * 4);
    incoming_.resize(Pixels() * 4);
    return true;
}

bool Writer::Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    if (src.width() != width_ || src.height() != height_)
        return kit::Fail("GIF: a frame's size differs from the animation's");
    // Alpha below 128 is transparent (all bytes 0, so equal pixels compare equal); partly
    // transparent pixels go on white, as SaveDIBPicture puts them.
    for (int32_t y = 0; y < height_; ++y) {
        uint8_t *row = &incoming_[size_t(y) * size_t(width_) * 4];
        src.RowToBGRA(y, row);
        for (int32_t x = 0; x < width_; ++x) {
            uint8_t *p = row + 4 * size_t(x);
            if (p[3] < 128) {
                std::memset(p, 0, 4);
            } else if (p[3] < 255) {
                for (int c = 0; c < 3; ++c)
                    p[c] = uint8_t((p[c] * p[3] + 255 * (255 - p[3]) + 127) / 255);
                p[3] = 255;
            }
        }
        kit::ReportProgress(progress, y + 1, height_, data);
    }
    if (added_ > 0 && !WriteWaiting(&incoming_)) return false;
    std::swap(waiting_, incoming_);
    waitingDelay_ = std::max(delay, 0);
    ++added_;
    return true;
}

// Where the waiting frame differs from what is shown (before the first frame: a transparent
// screen, so the first frame covers its pixels that are not transparent).
Rect Writer::ChangedRect() const {
    Rect r;
    for (int32_t y = 0; y < height_; ++y)
        for (int32_t x = 0; x < width_; ++x)
            if (std::memcmp(At(waiting_, x, y), At(shown_, x, y), 4) != 0) r.Add(x, y);
    return r;
}

// Writes the waiting frame, knowing the next one (null at the end).
bool Writer::WriteWaiting(const std::vector<uint8_t> *next) {
    Rect r = ChangedRect();
    Rect clear;  // opaque now, transparent in the next frame
    for (int32_t y = 0; next && y < height_; ++y)
        for (int32_t x = 0; x < width_; ++x)
            if (Opaque(At(waiting_, x, y)) && !Opaque(At(*next, x, y))) clear.Add(x, y);
    r.Add(clear);
    if (r.Empty()) r = Rect{0, 0, 1, 1};  // a frame has at least one pixel
    const int disposal = clear.Empty() ? DISPOSE_DO_NOT : DISPOSE_BACKGROUND;
    // Readers show the screen a first frame leaves uncovered as transparent only when the
    // frame has a transparent index (else in the background colour); and they clear to
    // transparent only where the frame disposed of has one (Pillow looks at that frame,
    // others at the next): all these get one.
    const bool uncovered =
        added_ == 1 && (r.left > 0 || r.top > 0 || r.right < width_ || r.bottom < height_);
    if (!WriteFrame(r, disposal, forceTransparency_ || !clear.Empty() || uncovered)) return false;
    shown_ = waiting_;
    if (!clear.Empty())
        for (int32_t y = r.top; y < r.bottom; ++y)
            std::memset(&shown_[(size_t(y) * size_t(width_) + size_t(r.left)) * 4], 0,
                        size_t(r.right - r.left) * 4);
    forceTransparency_ = !clear.Empty();
    return true;
}

// Row y of the rectangle as B, G, R, A; with keep, pixels equal to what is shown become
// transparent (they let it through).
void Writer::RectRow(const Rect &r, int32_t y, bool keep, uint8_t *out) const {
    const size_t n = size_t(r.right - r.left);
    std::memcpy(out, At(waiting_, r.left, y), n * 4);
    if (!keep) return;
    const uint8_t *shown = At(shown_, r.left, y);
    for (size_t i = 0; i < n; ++i)
        if (std::memcmp(out + 4 * i, shown + 4 * i, 4) == 0) std::memset(out + 4 * i, 0, 4);
}

bool Writer::PutControl(int disposal, int transparentIndex) {
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = disposal;
    gcb.DelayTime = std::min((waitingDelay_ + 5) / 10, 65535);
    gcb.TransparentColor = transparentIndex;
    GifByteType ext[4];
    const size_t n = EGifGCBToExtension(&gcb, ext);
    return EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, int(n), ext) != GIF_ERROR;
}

// Counts the colours of the rectangle into *q. Pixels left as they are cost a transparent
// index (*keep), unless that would take the 256th colour of a frame that has exactly 256 and
// needs no transparency otherwise. Answers whether the frame needs a transparent index.
bool Writer::CountColours(const Rect &r, bool forceTransparency, Quantizer *q, bool *keep) const {
    const int32_t w = r.right - r.left;
    std::vector<uint8_t> row(size_t(w) * 4);
    *keep = added_ > 1;
    for (;;) {
        *q = Quantizer();
        for (int32_t y = r.top; y < r.bottom; ++y) {
            RectRow(r, y, *keep, row.data());
            q->Add(row.data(), w);
        }
        const bool transparency = forceTransparency || q->sawTransparent();
        if (!*keep || q->DistinctColours() != 256 || !transparency) return transparency;
        *keep = false;  // again, with every pixel drawn
    }
}

// Puts the frame's exact colours into the global table when they fit beside those already
// there, with an entry the frame does not use for its transparent index (*transparentIndex).
// False, with the table unchanged, when they do not fit.
bool Writer::JoinGlobal(const Quantizer &q, bool transparency, int *transparentIndex) {
    const int distinct = q.DistinctColours();
    if (distinct > 256 - (transparency ? 1 : 0)) return false;
    std::vector<bool> used(256, false);
    std::vector<RGBQUAD> fresh;
    for (int i = 0; i < distinct; ++i) {
        const RGBQUAD &c = q.palette()[size_t(i)];
        const auto it = globalIndex_.find(Key(&c.rgbBlue));
        if (it != globalIndex_.end()) used[it->second] = true;
        else fresh.push_back(c);
    }
    const size_t old = global_.size();
    // The spare entry: the first old one the frame does not use, else one more.
    size_t spare = std::find(used.begin(), used.begin() + long(old), false) - used.begin();
    const size_t size = old + fresh.size() + (transparency && spare == old ? 1 : 0);
    if (size > 256) return false;
    for (const RGBQUAD &c : fresh) {
        globalIndex_.emplace(Key(&c.rgbBlue), uint8_t(global_.size()));
        global_.push_back(c);
    }
    if (transparency && spare == old) {
        spare = global_.size();
        global_.push_back(RGBQUAD{0, 0, 0, 0});
    }
    *transparentIndex = transparency ? int(spare) : NO_TRANSPARENT_COLOR;
    return true;
}

bool Writer::WriteFrame(const Rect &r, int disposal, bool forceTransparency) {
    const int32_t w = r.right - r.left;
    Quantizer q;
    bool keep = false;
    const bool transparency = CountColours(r, forceTransparency, &q, &keep);
    q.Build(transparency ? 255 : 256);
    int transparentIndex = NO_TRANSPARENT_COLOR;
    const bool global = JoinGlobal(q, transparency, &transparentIndex);
    kit::Owned<ColorMapObject, GifFreeMapObject> local;
    if (global) {
        // The frame's code size follows the table as it is now (the final one is no smaller).
        GifFreeMapObject(gif_->SColorMap);
        gif_->SColorMap = GifMakeMapObject(1 << BitsFor(global_.size()), nullptr);
        if (!gif_->SColorMap) return kit::Fail("not enough memory");
    } else {
        std::vector<RGBQUAD> palette = q.palette();
        if (transparency) {
            transparentIndex = int(palette.size());
            palette.push_back(RGBQUAD{255, 255, 255, 0});
        }
        local.reset(MakeMap(palette));
        if (!local) return kit::Fail("not enough memory");
    }

    if (!PutControl(disposal, transparentIndex) ||
        EGifPutImageDesc(gif_, r.left, r.top, w, r.bottom - r.top, false, local.get()) == GIF_ERROR)
        return kit::Fail(ErrorText(gif_->Error));
    std::vector<uint8_t> row(size_t(w) * 4);
    std::vector<GifPixelType> indices(static_cast<size_t>(w));
    const uint8_t clearIndex = uint8_t(std::max(transparentIndex, 0));
    for (int32_t y = r.top; y < r.bottom; ++y) {
        RectRow(r, y, keep, row.data());
        if (global) {
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t *p = &row[4 * size_t(x)];
                indices[size_t(x)] = p[3] < 128 ? clearIndex : globalIndex_[Key(p)];
            }
        } else {
            q.Map(row.data(), w, clearIndex, indices.data());
        }
        if (EGifPutLine(gif_, indices.data(), w) == GIF_ERROR)
            return kit::Fail(ErrorText(gif_->Error));
    }
    return true;
}

bool Writer::Finish() {
    if (added_ == 0) return kit::Fail("GIF: the animation has no frames");
    if (!WriteWaiting(nullptr)) return false;
    GifFileType *gif = gif_;
    gif_ = nullptr;
    if (EGifCloseFile(gif, nullptr) != GIF_OK || std::fflush(body_.file) != 0 ||
        std::ferror(body_.file))
        return kit::Fail("GIF: the frames could not be written to a temporary file");

    // The header: signature, logical screen (global table flag, 8 bits of colour resolution,
    // table size), background index 0, no aspect ratio; then the global table.
    std::vector<uint8_t> head = {'G', 'I', 'F', '8', '9', 'a'};
    for (int32_t v : {width_, height_}) head.push_back(uint8_t(v)), head.push_back(uint8_t(v >> 8));
    const int bits = BitsFor(std::max<size_t>(global_.size(), 2));
    head.push_back(global_.empty() ? 0x70 : uint8_t(0xF0 | (bits - 1)));
    head.push_back(0);
    head.push_back(0);
    if (!global_.empty()) {
        for (size_t i = 0; i < (size_t(1) << bits); ++i) {
            const RGBQUAD c = i < global_.size() ? global_[i] : RGBQUAD{0, 0, 0, 0};
            head.insert(head.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    }
    kit::OutputFile &out = *out_;
    if (!out.Write(head.data(), head.size())) return false;
    std::rewind(body_.file);
    std::vector<uint8_t> chunk(size_t(1) << 16);
    for (;;) {
        const size_t n = std::fread(chunk.data(), 1, chunk.size(), body_.file);
        if (n > 0 && !out.Write(chunk.data(), n)) return false;
        if (n < chunk.size()) break;
    }
    if (std::ferror(body_.file)) return kit::Fail("GIF: the temporary file could not be read");
    return out.Close();
}

}  // namespace

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    auto writer = kit::MakeWriter<Writer>(path, sequence);
    if (!writer || !writer->Begin()) return nullptr;
    return writer;
}

}  // namespace faltrix::gif
