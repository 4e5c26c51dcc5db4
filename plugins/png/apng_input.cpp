// The frames of an animated PNG, for OpenFrames ... CloseFrames. Opening walks the chunks
// (apng_chunks.cpp) and knows every frame's rectangle and where its rows lie; reading a frame
// inflates and unfilters its rows with libpng, from a PNG of that frame alone made in memory
// (IHDR with the frame's size, the file's PLTE and tRNS, the frame's data as one IDAT), and
// draws them on the canvas as fcTL says.
//
// Which frames: frame 1 is always the picture GetPictureDIB gives (the default picture, IDAT).
// When that picture is the animation's first frame (an fcTL before IDAT) the animation's
// frames follow it as frames 2, 3, ...; when it is not, it stays frame 1 with a delay of 0,
// as the picture plain PNG readers show, and the animation's frames follow from frame 2 on.
//
// The canvas is 32-bit B, G, R, A, rows top-down, fully transparent at the start. Before a frame
// is drawn, the frame before it is disposed of as its fcTL asks (its rectangle cleared, or put
// back as it was before that frame); the frame then replaces its rectangle (source) or is laid
// over it (over, alpha composited). An eXIf orientation before the pixels turns every frame,
// as it turns frame 1.
//
// A 16-bit file's frames can also be read at full depth (GetFrameSamples): the canvas then
// holds 16-bit samples, grey and alpha or RGBA for an animation (its canvas starts
// transparent), the file's own channels for a single picture, and frames are laid over it
// alike. The frames of one reader are read one way or the other, never both.
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "apng.h"
#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/frames.h"
#include "faltrix/kit/metadata.h"
#include "faltrix/kit/orientation.h"
#include "png_common.h"
#include "png_deep.h"

namespace faltrix::png {

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc);

namespace {

void AppendChunk(std::string *png, const char *type, const std::string &data) {
    const uint32_t n = uint32_t(data.size());
    const uint8_t length[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    png->append(reinterpret_cast<const char *>(length), 4);
    const size_t typeAt = png->size();
    png->append(type, 4);
    png->append(data);
    const uLong sum = crc32(0, reinterpret_cast<const Bytef *>(png->data() + typeAt), uInt(n + 4));
    const uint8_t crc[4] = {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8),
                            uint8_t(sum)};
    png->append(reinterpret_cast<const char *>(crc), 4);
}

struct Memory {
    const uint8_t *at;
    size_t left;
};

void ReadFromMemory(png_structp png, png_bytep out, size_t length) {
    auto *m = static_cast<Memory *>(png_get_io_ptr(png));
    if (length > m->left) png_error(png, "the frame's data ends early");
    std::memcpy(out, m->at, length);
    m->at += length;
    m->left -= length;
}

// Decodes the PNG in memory into rows of B, G, R, A: every colour type and depth expanded,
// 16 bits scaled to 8 as GetPictureDIB does. 0 on success. setjmp lives here: trivially
// destructible locals only.
int DecodeBgra(Reader *r, Memory *source, png_bytep *rows, png_uint_32 width) {
    if (setjmp(png_jmpbuf(r->png))) return 1;
    png_set_read_fn(r->png, source, ReadFromMemory);
    png_set_user_limits(r->png, kit::kMaxSide, kit::kMaxSide);
    png_read_info(r->png, r->info);
    const int depth = png_get_bit_depth(r->png, r->info);
    const int colour = png_get_color_type(r->png, r->info);
    if (depth == 16) png_set_scale_16(r->png);
    png_set_expand(r->png);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(r->png);
    png_set_bgr(r->png);
    png_set_add_alpha(r->png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    if (png_get_rowbytes(r->png, r->info) != size_t(width) * 4)
        png_error(r->png, "unexpected row layout");
    png_read_image(r->png, rows);
    return 0;
}

// Decodes the PNG in memory into rows of `channels` 16-bit samples (png_deep.h). 0 on
// success. setjmp lives here: trivially destructible locals only.
int DecodeDeep(Reader *r, Memory *source, png_bytep *rows, png_uint_32 width, int channels) {
    if (setjmp(png_jmpbuf(r->png))) return 1;
    png_set_read_fn(r->png, source, ReadFromMemory);
    png_set_user_limits(r->png, kit::kMaxSide, kit::kMaxSide);
    png_read_info(r->png, r->info);
    if (png_get_bit_depth(r->png, r->info) != 16) png_error(r->png, "a frame is not 16-bit");
    SetDeepTransforms(r->png, r->info, channels);
    png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    if (png_get_rowbytes(r->png, r->info) != size_t(width) * size_t(channels) * 2)
        png_error(r->png, "unexpected row layout");
    png_read_image(r->png, rows);
    return 0;
}

// Lays one pixel of `channels` 16-bit samples over another (the last sample alpha, both
// straight), rounded.
inline void OverSamples(const uint8_t *source, uint8_t *target, int channels) {
    uint16_t src[4], dst[4];
    std::memcpy(src, source, size_t(channels) * 2);
    std::memcpy(dst, target, size_t(channels) * 2);
    const int a = channels - 1;
    const uint64_t sa = src[a];
    if (sa == 65535 || dst[a] == 0) {
        std::memcpy(target, source, size_t(channels) * 2);
        return;
    }
    if (sa == 0) return;
    const uint64_t da = uint64_t(dst[a]) * (65535 - sa);  // scaled by 65535
    const uint64_t outA = sa * 65535 + da;                // scaled by 65535
    for (int c = 0; c < a; ++c)
        dst[c] = uint16_t((src[c] * sa * 65535 + dst[c] * da + outA / 2) / outA);
    dst[a] = uint16_t((outA + 32767) / 65535);
    std::memcpy(target, dst, size_t(channels) * 2);
}

// Lays one B, G, R, A pixel over another (both with straight alpha), rounded.
inline void Over(const uint8_t *src, uint8_t *dst) {
    const unsigned sa = src[3];
    if (sa == 255 || dst[3] == 0) {
        std::memcpy(dst, src, 4);
        return;
    }
    if (sa == 0) return;
    const unsigned da = dst[3] * (255 - sa);  // the destination's share, scaled by 255
    const unsigned outA = sa * 255 + da;      // scaled by 255
    for (int c = 0; c < 3; ++c)
        dst[c] = uint8_t((src[c] * sa * 255 + dst[c] * da + outA / 2) / outA);
    dst[3] = uint8_t((outA + 127) / 255);
}

class ApngReader final : public kit::FrameReader {
public:
    bool Open(const WCHAR *path, kit::Sequence *out);
    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override;
    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override;

private:
    int Reach(int32_t index, bool deep, int32_t *delay);
    bool ReadCompressed(size_t frame, std::string *out);
    bool DecodeFrame(size_t frame, std::vector<uint8_t> *pixels);
    bool Draw(size_t frame);
    void DisposeLast();
    HBITMAP Canvas(ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) const;

    std::u16string path_;
    kit::InputFile file_;
    ChunkMap map_;
    std::vector<uint8_t> canvas_;  // width * height * 4, rows top-down
    std::vector<uint8_t> kept_;    // the rectangle a frame disposed of as Previous puts back
    size_t drawn_ = 0;             // animation frames drawn on the canvas
    int32_t next_ = 0;             // the lowest index Read may still give
    int sampleBits_ = 0;           // the file's depth when over 8 bits (png_deep.h)
    int channels_ = 0;             // of the deep samples
    bool deep_ = false;            // frames read at full depth: the canvas holds samples
    size_t pixelBytes_ = 4;        // of the canvas: B, G, R, A or channels_ 16-bit samples
};

bool ApngReader::Open(const WCHAR *path, kit::Sequence *out) {
    path_ = path;
    if (!file_.Open(path) || !MapChunks(file_.stream(), file_.size(), &map_)) return false;
    if (!kit::WithinLimits(map_.width, map_.height)) return false;
    const bool swap = kit::SwapsAxes(map_.orientation);
    out->width = int32_t(swap ? map_.height : map_.width);
    out->height = int32_t(swap ? map_.width : map_.height);
    out->frameCount = map_.FrameCount();
    out->loopCount = map_.animated ? int32_t(std::min<uint32_t>(map_.plays, INT32_MAX)) : 1;
    out->kind = FALTRIX_FRAMES_ANIMATION;
    int channels = 0;
    if (!ReadDeepLayout(file_.stream(), &sampleBits_, &channels)) return false;
    // Frames drawn on a canvas that starts transparent need alpha, all of them alike.
    channels_ = map_.FrameCount() > 1 ? (channels <= 2 ? 2 : 4) : channels;
    out->sampleBits = sampleBits_;
    return true;
}

// The frame's compressed rows, each chunk's CRC checked.
bool ApngReader::ReadCompressed(size_t frame, std::string *out) {
    const AnimationFrame &f = map_.frames[frame];
    const std::string name = "APNG: frame " + std::to_string(frame + 1);
    if (f.cut) return kit::Fail(name + " is cut short: the file ends inside its data");
    std::string chunk;
    for (const DataSpan &span : f.data) {
        chunk.resize(size_t(span.chunkLength) + 8);
        if (!file_.Seek(span.chunk) || !file_.Read(chunk.data(), chunk.size())) return false;
        const uint8_t *crc = reinterpret_cast<const uint8_t *>(chunk.data()) + chunk.size() - 4;
        const uLong sum =
            crc32(0, reinterpret_cast<const Bytef *>(chunk.data()), uInt(span.chunkLength + 4));
        if (sum != (uLong(crc[0]) << 24 | uLong(crc[1]) << 16 | uLong(crc[2]) << 8 | crc[3]))
            return kit::Fail(name + ": " + chunk.substr(0, 4) + ": CRC error");
        out->append(chunk, 4 + span.skip, span.chunkLength - span.skip);
    }
    return true;
}

bool ApngReader::DecodeFrame(size_t frame, std::vector<uint8_t> *pixels) {
    const FrameControl &c = map_.frames[frame].control;
    std::string compressed;
    if (!ReadCompressed(frame, &compressed)) return false;
    std::string png("\x89PNG\r\n\x1A\n", 8);
    std::string ihdr = map_.ihdr;
    for (int i = 0; i < 4; ++i) {
        ihdr[size_t(i)] = char(c.width >> (24 - 8 * i));
        ihdr[size_t(4 + i)] = char(c.height >> (24 - 8 * i));
    }
    AppendChunk(&png, "IHDR", ihdr);
    if (!map_.plte.empty()) AppendChunk(&png, "PLTE", map_.plte);
    if (!map_.trns.empty()) AppendChunk(&png, "tRNS", map_.trns);
    AppendChunk(&png, "IDAT", compressed);
    compressed = std::string();
    AppendChunk(&png, "IEND", {});

    const size_t span = size_t(c.width) * pixelBytes_;
    pixels->resize(span * c.height);
    std::vector<png_bytep> rows(c.height);
    for (uint32_t y = 0; y < c.height; ++y) rows[y] = pixels->data() + y * span;
    Reader reader;
    if (!reader.ok()) return kit::Fail("not enough memory");
    Memory source{reinterpret_cast<const uint8_t *>(png.data()), png.size()};
    return (deep_ ? DecodeDeep(&reader, &source, rows.data(), c.width, channels_)
                  : DecodeBgra(&reader, &source, rows.data(), c.width)) == 0;
}

// Clears or puts back the rectangle of the frame drawn last, as its fcTL asks.
void ApngReader::DisposeLast() {
    if (drawn_ == 0) return;
    const FrameControl &c = map_.frames[drawn_ - 1].control;
    Dispose how = c.dispose;
    // The first frame has nothing before it to put back: its rectangle is cleared.
    if (how == Dispose::Previous && drawn_ == 1) how = Dispose::Background;
    if (how == Dispose::None) return;
    const size_t span = size_t(c.width) * pixelBytes_;
    for (uint32_t y = 0; y < c.height; ++y) {
        uint8_t *row = canvas_.data() + ((size_t(c.y) + y) * map_.width + c.x) * pixelBytes_;
        if (how == Dispose::Background) std::memset(row, 0, span);
        else std::memcpy(row, kept_.data() + y * span, span);
    }
}

bool ApngReader::Draw(size_t frame) {
    const FrameControl &c = map_.frames[frame].control;
    std::vector<uint8_t> pixels;
    if (!DecodeFrame(frame, &pixels)) return false;
    const size_t bytes = pixelBytes_;
    if (canvas_.empty()) canvas_.assign(size_t(map_.width) * map_.height * bytes, 0);
    DisposeLast();
    const size_t span = size_t(c.width) * bytes;
    if (c.dispose == Dispose::Previous) kept_.resize(span * c.height);
    for (uint32_t y = 0; y < c.height; ++y) {
        uint8_t *row = canvas_.data() + ((size_t(c.y) + y) * map_.width + c.x) * bytes;
        const uint8_t *in = pixels.data() + y * span;
        if (c.dispose == Dispose::Previous) std::memcpy(kept_.data() + y * span, row, span);
        if (c.blend == Blend::Source) std::memcpy(row, in, span);
        else if (deep_)
            for (uint32_t x = 0; x < c.width; ++x)
                OverSamples(in + bytes * x, row + bytes * x, channels_);
        else
            for (uint32_t x = 0; x < c.width; ++x) Over(in + 4 * x, row + 4 * x);
    }
    drawn_ = frame + 1;
    return true;
}

// The canvas as a new section, turned upright as the file asks.
HBITMAP ApngReader::Canvas(ProgressCallbackFn progress, int32_t data,
                           DibAllocCallbackFn alloc) const {
    kit::DibSpec spec;
    spec.width = int32_t(map_.width);
    spec.height = int32_t(map_.height);
    spec.bitCount = 32;
    spec.topDown = true;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard guard(dib.bitmap);
    const size_t span = size_t(map_.width) * 4;
    for (int32_t y = 0; y < spec.height; ++y) {
        std::memcpy(dib.Row(y), canvas_.data() + size_t(y) * span, span);
        kit::ReportProgress(progress, y + 1, spec.height, data);
    }
    kit::KeepFullTransparency(dib, spec.width, spec.height);
    return kit::ShowUpright(&guard, dib, spec, map_.orientation, alloc);
}

// Checks that frame `index` may be read now, and read this way, and draws the animation up
// to it. 0 for the default picture, read from the file as a still picture; 1 for a frame on
// the canvas; -1, with the cause, on failure. *delay gets the frame's delay.
int ApngReader::Reach(int32_t index, bool deep, int32_t *delay) {
    if (index < next_) return kit::Fail("APNG: frames are read in ascending order", -1);
    if (index >= map_.FrameCount()) return kit::Fail("APNG: no such frame", -1);
    if (next_ == 0) {
        deep_ = deep;
        pixelBytes_ = deep ? size_t(channels_) * 2 : 4;
    } else if (deep != deep_) {
        return kit::Fail("APNG: the frames of a file are read at one depth", -1);
    }
    next_ = index + 1;
    const size_t first = map_.defaultIsFrame ? 0 : 1;  // the index of animation frame 0
    if (index == 0) {
        *delay = map_.defaultIsFrame ? DelayMilliseconds(map_.frames[0].control) : 0;
        return 0;
    }
    const size_t frame = size_t(index) - first;
    while (drawn_ <= frame) {
        if (!Draw(drawn_)) return -1;
    }
    *delay = DelayMilliseconds(map_.frames[frame].control);
    return 1;
}

HBITMAP ApngReader::Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                         DibAllocCallbackFn alloc) {
    switch (Reach(index, false, delay)) {
    case 0: return Decode(path_.c_str(), progress, data, alloc);
    case 1: return Canvas(progress, data, alloc);
    default: return nullptr;
    }
}

bool ApngReader::ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress,
                             int32_t data, kit::SampleTarget &target) {
    if (sampleBits_ == 0) return kit::Fail("APNG: the file has no samples of more than 8 bits");
    const int reached = Reach(index, true, delay);
    if (reached == 0) return DecodeSamples(path_.c_str(), channels_, target, progress, data);
    if (reached < 0) return false;
    const kit::SampleView shown = target.Allocate(channels_, sampleBits_);
    if (!shown.data) return false;
    const bool swap = kit::SwapsAxes(map_.orientation);
    if (uint32_t(shown.width) != (swap ? map_.height : map_.width) ||
        uint32_t(shown.height) != (swap ? map_.width : map_.height))
        return kit::Fail("APNG: the samples' canvas is not the picture's size");
    const size_t span = size_t(map_.width) * pixelBytes_;
    std::vector<uint16_t> row(size_t(map_.width) * size_t(channels_));
    const int32_t height = int32_t(map_.height);
    for (int32_t y = 0; y < height; ++y) {
        std::memcpy(row.data(), canvas_.data() + size_t(y) * span, span);
        kit::PlaceSampleRow(row.data(), y, int32_t(map_.width), height, map_.orientation, shown);
        kit::ReportProgress(progress, y + 1, height, data);
    }
    if (sampleBits_ < 16) SnapSamples(shown, sampleBits_);
    return true;
}

}  // namespace

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<ApngReader>(path, out);
}

void NoteFrameCount(FILE *file, int64_t size) {
    ChunkMap map;
    if (MapChunks(file, size, &map) && map.FrameCount() > 1)
        kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, uint64_t(map.FrameCount()));
    kit::ClearLastFailure();  // a lying animation leaves the picture as it is
}

}  // namespace faltrix::png

FALTRIX_KIT_FRAMES_INPUT(faltrix::png)
FALTRIX_KIT_DEEP_INPUT()
