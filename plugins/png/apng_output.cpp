// The frames of an animated PNG, for BeginFrames ... EndFrames. Frame 1 is the default picture
// (IDAT, with an fcTL before it), so that a reader that knows no animation shows it; acTL
// before it announces the frames and how often they play; every later frame is an fcTL and
// its fdAT chunks. Each frame covers the whole canvas, replaces it (blend source) and stays
// (dispose none). Every frame is stored as 8-bit RGBA, since all frames share IHDR's colour
// type and a later frame may bring alpha or colours the first did not have.
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

// libpng's part: the signature and the chunks before the pixels, RGBA. A profile libpng finds
// wrong for RGBA (a grey one) fails the frames, which the host then stores without it.
// setjmp lives here: trivially destructible locals only. 0 on success.
int WriteHead(Writer *w, FILE *file, const kit::SourcePicture *src, const Items *items) {
    if (setjmp(png_jmpbuf(w->png))) return 1;
    png_init_io(w->png, file);
    RelaxProfileChecks(w->png);
    png_set_IHDR(w->png, w->info, png_uint_32(src->width()), png_uint_32(src->height()), 8,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Refused for RGBA (a grey profile): the frames fail, as a still picture does.
    if (!SetPictureChunks(w->png, w->info, *src, *items,
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
    bool Finish() override;

private:
    bool Chunk(const char *type, const uint8_t *data, size_t n, bool numbered = false);
    bool Rows(const kit::SourcePicture &src, ProgressCallbackFn progress, int32_t data);

    kit::OutputFile out_;
    kit::Sequence sequence_;
    Writer png_;
    libdeflate_compressor *compressor_ = nullptr;
    int level_ = 0;
    int32_t added_ = 0;
    uint32_t nextSequence_ = 0;  // fcTL's and fdAT's shared counter
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
// an IDAT chunk for frame 1 and an fdAT chunk after.
bool ApngWriter::Rows(const kit::SourcePicture &src, ProgressCallbackFn progress, int32_t data) {
    const size_t w = size_t(src.width()), rowBytes = w * 4;
    const int32_t height = src.height();
    const int32_t perPart =
        int32_t(std::clamp<size_t>(kPartBytes / (rowBytes + 1), 1, size_t(height)));
    for (auto &r : rows_) r.assign(4 + rowBytes, 0);
    bgra_.resize(rowBytes);
    filtered_.resize(size_t(perPart) * (rowBytes + 1));
    packed_.resize(DeflatePartBound(compressor_, filtered_.size()) + 6);
    uint8_t *row = rows_[0].data() + 4, *above = rows_[1].data() + 4;
    const bool first = added_ == 0;
    uint32_t adler = 1;
    for (int32_t top = 0; top < height; top += perPart) {
        const int32_t end = std::min(height, top + perPart);
        uint8_t *out = filtered_.data();
        for (int32_t y = top; y < end; ++y) {
            src.RowToBGRA(y, bgra_.data());
            SwapRedBlue<4, 4>(bgra_.data(), row, w);
            FilterRow(row, above, rowBytes, 4, out);
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

bool ApngWriter::Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    if (src.width() != sequence_.width || src.height() != sequence_.height)
        return kit::Fail("APNG: a frame is not of the sequence's size");
    if (added_ >= sequence_.frameCount) return kit::Fail("APNG: more frames than announced");
    if (added_ == 0) {
        const Items items;
        if (WriteHead(&png_, out_.stream(), &src, &items) != 0) return false;
        uint8_t actl[8];
        const uint32_t frames = uint32_t(sequence_.frameCount);
        const uint32_t plays = uint32_t(std::max(sequence_.loopCount, 0));
        for (int i = 0; i < 4; ++i) {
            actl[i] = uint8_t(frames >> (24 - 8 * i));
            actl[4 + i] = uint8_t(plays >> (24 - 8 * i));
        }
        if (!Chunk("acTL", actl, sizeof actl)) return false;
    }
    FrameControl control;
    control.sequence = nextSequence_++;
    control.width = uint32_t(src.width());
    control.height = uint32_t(src.height());
    SetDelay(&control, delay);
    uint8_t fctl[kFrameControlSize];
    PutFrameControl(control, fctl);
    if (!Chunk("fcTL", fctl, sizeof fctl) || !Rows(src, progress, data)) return false;
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
    std::string name;
    if (!kit::PathToBytes(path, &name)) return nullptr;
    auto writer = std::make_unique<ApngWriter>(name, sequence);
    if (!writer->Begin()) return nullptr;
    return writer;
}

}  // namespace faltrix::png

FALTRIX_KIT_FRAMES_OUTPUT(faltrix::png)
