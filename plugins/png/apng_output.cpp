// The frames of an animated PNG, for BeginFrames ... EndFrames. Frame 1 is the default picture
// (IDAT, with an fcTL before it), so that a reader that knows no animation shows it; acTL
// before it announces the frames and how often they play; every later frame is an fcTL and
// its fdAT chunks. Each frame covers the whole canvas, replaces it (blend source) and stays
// (dispose none). Every frame is stored as 8-bit RGBA, since all frames share IHDR's colour
// type and a later frame may bring alpha or colours the first did not have.
//
// Deep frames (AddFrameSamples) keep their channels, which every frame of a sequence shares,
// as 16-bit grey, grey and alpha, RGB or RGBA; a source of 9 to 15 bits is stored as 16-bit
// samples scaled from its depth, with an sBIT chunk that says the depth. A single deep picture
// (a sequence of one frame) is a plain PNG, without acTL and fcTL.
//
// The rows are filtered and compressed as the PNG writer does (png_filter.h, deflate_parts.h):
// a part of the rows at a time, one zlib stream per frame, each part one IDAT or fdAT chunk,
// at the session's compression level. Only the frame being added is held.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "apng.h"
#include "deflate_parts.h"
#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/frames.h"
#include "faltrix/kit/metadata.h"
#include "png_common.h"
#include "png_filter.h"

namespace faltrix::png {
namespace {

// Filtered bytes per part, as the PNG writer's parts.
constexpr size_t kPartBytes = size_t{1} << 20;

// What IHDR says, and the chunks that go with it.
struct Head {
    uint32_t width = 0, height = 0;
    int depth = 8, colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    int significant = 0;  // sBIT for every channel; 0: all of the depth
    int32_t xppm = 0, yppm = 0;
};

// libpng's part: the signature and the chunks before the pixels. A profile libpng finds
// wrong for the colour type (a grey one on RGBA) fails the frames, which the host then stores
// without it. setjmp lives here: trivially destructible locals only. 0 on success.
int WriteHead(Writer *w, FILE *file, const Head *head, const Items *items) {
    if (setjmp(png_jmpbuf(w->png))) return 1;
    png_init_io(w->png, file);
    RelaxProfileChecks(w->png);
    png_set_IHDR(w->png, w->info, head->width, head->height, head->depth, head->colorType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (head->significant > 0) {
        const png_byte n = png_byte(head->significant);
        png_color_8 significant{n, n, n, n, n};
        png_set_sBIT(w->png, w->info, &significant);
    }
    if (!SetPictureChunks(w->png, w->info, head->xppm, head->yppm, *items,
                          "PNG: libpng rejects the colour profile for these frames"))
        return 1;
    png_write_info(w->png, w->info);
    std::fflush(file);
    return 0;
}

class ApngWriter final : public kit::FrameWriter {
public:
    ApngWriter(const std::string &name, const kit::Sequence &sequence)
        : out_(name), sequence_(sequence) {}
    ~ApngWriter() override { libdeflate_free_compressor(compressor_); }
    bool Begin();
    bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) override;
    bool AddSamples(const kit::SampleView &samples, int32_t delay, ProgressCallbackFn progress,
                    int32_t data) override;
    bool Finish() override;

private:
    bool Chunk(const char *type, const uint8_t *data, size_t n, bool numbered = false);
    bool Start(const Head &head, bool animated, int32_t delay);
    template <class MakeRow>
    bool Rows(int32_t height, size_t rowBytes, size_t bpp, MakeRow makeRow,
              ProgressCallbackFn progress, int32_t data);

    kit::OutputFile out_;
    kit::Sequence sequence_;
    Writer png_;
    libdeflate_compressor *compressor_ = nullptr;
    int level_ = 0;
    int32_t added_ = 0;
    uint32_t nextSequence_ = 0;  // fcTL's and fdAT's shared counter
    bool animated_ = true;       // acTL and fcTL are written
    int channels_ = 0;           // of deep frames, set by the first
    std::vector<uint8_t> rows_[2], bgra_, filtered_, packed_;
};

bool ApngWriter::Begin() {
    if (!out_.ok()) return false;
    if (!png_.ok()) return kit::Fail("not enough memory");
    level_ = LibdeflateLevel();
    compressor_ = libdeflate_alloc_compressor(level_);
    if (!compressor_) return kit::Fail("not enough memory");
    return true;
}

// A chunk with its length and CRC; `numbered` puts the next sequence number before the data.
bool ApngWriter::Chunk(const char *type, const uint8_t *data, size_t n, bool numbered) {
    uint8_t head[12];
    const uint32_t length = uint32_t(n + (numbered ? 4 : 0));
    for (int i = 0; i < 4; ++i) head[i] = uint8_t(length >> (24 - 8 * i));
    std::memcpy(head + 4, type, 4);
    if (numbered) {
        for (int i = 0; i < 4; ++i) head[8 + i] = uint8_t(nextSequence_ >> (24 - 8 * i));
        ++nextSequence_;
    }
    uLong crc = crc32(0, head + 4, numbered ? 8 : 4);
    if (n > 0) crc = crc32(crc, data, uInt(n));
    const uint8_t tail[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8),
                             uint8_t(crc)};
    return out_.Write(head, numbered ? 12 : 8) && (n == 0 || out_.Write(data, n)) &&
           out_.Write(tail, 4);
}

// The frame's rows as one zlib stream, filtered and compressed a part at a time; each part
// an IDAT chunk for frame 1 and an fdAT chunk after. makeRow(y, out) puts row y's rowBytes
// bytes, as PNG stores them, in out; bpp is the bytes of a pixel.
template <class MakeRow>
bool ApngWriter::Rows(int32_t height, size_t rowBytes, size_t bpp, MakeRow makeRow,
                      ProgressCallbackFn progress, int32_t data) {
    const int32_t perPart =
        int32_t(std::clamp<size_t>(kPartBytes / (rowBytes + 1), 1, size_t(height)));
    for (auto &r : rows_) r.assign(bpp + rowBytes, 0);
    filtered_.resize(size_t(perPart) * (rowBytes + 1));
    packed_.resize(DeflatePartBound(compressor_, filtered_.size()) + 6);
    uint8_t *row = rows_[0].data() + bpp, *above = rows_[1].data() + bpp;
    const bool first = added_ == 0;
    uint32_t adler = 1;
    for (int32_t top = 0; top < height; top += perPart) {
        const int32_t end = std::min(height, top + perPart);
        uint8_t *out = filtered_.data();
        for (int32_t y = top; y < end; ++y) {
            makeRow(y, row);
            FilterRow(row, above, rowBytes, bpp, out);
            out += rowBytes + 1;
            std::swap(row, above);
            kit::ReportProgress(progress, y + 1, height, data);
        }
        const size_t n = size_t(out - filtered_.data());
        const bool last = end == height;
        const size_t packed = DeflatePart(compressor_, filtered_.data(), n, last,
                                          packed_.data() + 2, packed_.size() - 6);
        if (packed == 0) return kit::Fail("not enough memory");
        adler = libdeflate_adler32(adler, filtered_.data(), n);
        uint8_t *begin = packed_.data() + 2, *stop = begin + packed;
        if (top == 0) {
            begin -= 2;
            ZlibHeader(level_, begin);
        }
        if (last)
            for (int shift = 24; shift >= 0; shift -= 8) *stop++ = uint8_t(adler >> shift);
        if (!Chunk(first ? "IDAT" : "fdAT", begin, size_t(stop - begin), !first)) return false;
    }
    return true;
}

// Before a frame's rows: the chunks before the pixels and acTL with the first frame, and
// the frame's fcTL, for an animation.
bool ApngWriter::Start(const Head &head, bool animated, int32_t delay) {
    if (head.width != uint32_t(sequence_.width) || head.height != uint32_t(sequence_.height))
        return kit::Fail("APNG: a frame is not of the sequence's size");
    if (added_ >= sequence_.frameCount) return kit::Fail("APNG: more frames than announced");
    if (added_ == 0) {
        animated_ = animated;
        const Items items;
        if (WriteHead(&png_, out_.stream(), &head, &items) != 0) return false;
        uint8_t actl[8];
        const uint32_t frames = uint32_t(sequence_.frameCount);
        const uint32_t plays = uint32_t(std::max(sequence_.loopCount, 0));
        for (int i = 0; i < 4; ++i) {
            actl[i] = uint8_t(frames >> (24 - 8 * i));
            actl[4 + i] = uint8_t(plays >> (24 - 8 * i));
        }
        if (animated_ && !Chunk("acTL", actl, sizeof actl)) return false;
    }
    if (!animated_) return true;
    FrameControl control;
    control.sequence = nextSequence_++;
    control.width = head.width;
    control.height = head.height;
    SetDelay(&control, delay);
    uint8_t fctl[kFrameControlSize];
    PutFrameControl(control, fctl);
    return Chunk("fcTL", fctl, sizeof fctl);
}

bool ApngWriter::Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    if (sequence_.sampleBits != 0) return kit::Fail("APNG: the sequence takes deep frames");
    Head head;
    head.width = uint32_t(src.width());
    head.height = uint32_t(src.height());
    head.xppm = src.xPelsPerMeter();
    head.yppm = src.yPelsPerMeter();
    if (!Start(head, true, delay)) return false;
    const size_t w = size_t(src.width());
    bgra_.resize(w * 4);
    const auto rgba = [&](int32_t y, uint8_t *out) {
        src.RowToBGRA(y, bgra_.data());
        SwapRedBlue<4, 4>(bgra_.data(), out, w);
    };
    if (!Rows(src.height(), w * 4, 4, rgba, progress, data)) return false;
    ++added_;
    return true;
}

bool ApngWriter::AddSamples(const kit::SampleView &samples, int32_t delay,
                            ProgressCallbackFn progress, int32_t data) {
    const int bits = sequence_.sampleBits;
    if (bits < 9 || bits > 16) return kit::Fail("APNG: the sequence takes 8-bit frames");
    if (added_ > 0 && samples.channels != channels_)
        return kit::Fail("APNG: the frames of a sequence have different channels");
    channels_ = samples.channels;
    constexpr int kColourTypes[4] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                     PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
    Head head;
    head.width = uint32_t(samples.width);
    head.height = uint32_t(samples.height);
    head.depth = 16;
    head.colorType = kColourTypes[channels_ - 1];
    head.significant = bits < 16 ? bits : 0;
    if (!Start(head, sequence_.frameCount > 1, delay)) return false;
    // Below 16 bits, each sample is the nearest value of that depth widened again.
    std::vector<uint16_t> exact(bits < 16 ? 65536 : 0);
    for (uint32_t v = 0; v < exact.size(); ++v)
        exact[v] = kit::WidenSample(kit::NarrowSample(uint16_t(v), bits), bits);
    const size_t n = size_t(samples.width) * size_t(channels_);
    const auto bigEndian = [&](int32_t y, uint8_t *out) {
        const uint16_t *in = samples.Row(y);
        for (size_t i = 0; i < n; ++i) {
            const uint16_t v = exact.empty() ? in[i] : exact[in[i]];
            out[2 * i] = uint8_t(v >> 8);
            out[2 * i + 1] = uint8_t(v);
        }
    };
    if (!Rows(samples.height, n * 2, size_t(channels_) * 2, bigEndian, progress, data))
        return false;
    ++added_;
    return true;
}

bool ApngWriter::Finish() {
    if (added_ != sequence_.frameCount)
        return kit::Fail("APNG: " + std::to_string(sequence_.frameCount) +
                         " frames were announced and " + std::to_string(added_) + " added");
    return Chunk("IEND", nullptr, 0) && out_.Close();
}

}  // namespace

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    auto writer = kit::MakeWriter<ApngWriter>(path, sequence);
    if (!writer || !writer->Begin()) return nullptr;
    return writer;
}

}  // namespace faltrix::png

FALTRIX_KIT_FRAMES_OUTPUT(faltrix::png)
FALTRIX_KIT_DEEP_OUTPUT()
