// Radiance HDR input plug-in, our own reader. The header is read line by line within fixed
// bounds (lines of at most 4 KiB, 64 KiB in all); FORMAT must be 32-bit_rle_rgbe when given
// (XYZE pictures are refused by name); EXPOSURE and the other variables are left as the
// Radiance programs leave them to the viewer. The resolution line may name its axes in any of
// the eight orders and directions; each scanline is placed where they say. Scanlines are read
// in each of their three forms: run-length coded per component, flat, and flat with the old
// repeat pixels (1, 1, 1, n). The linear picture goes through linear_picture.h: RGB, no alpha,
// 16 bits at full depth, tone-mapped when it has values above 1.0.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "faltrix/kit/entry_points.h"
#include "hdr_format.h"
#include "linear_picture.h"

namespace faltrix::hdr {
namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxHeader = 65536;

// Bytes of the file through a buffer of our own; Next() tells the end from a read error.
class ByteReader {
public:
    explicit ByteReader(FILE *file) : file_(file) {}
    // The next byte, or -1 at the end or on an error (Error() then says which).
    int Next() {
        if (at_ == size_ && !Fill()) return -1;
        return buffer_[at_++];
    }
    bool Read(uint8_t *out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const int b = Next();
            if (b < 0) return false;
            out[i] = uint8_t(b);
        }
        return true;
    }
    bool Error() const { return std::ferror(file_) != 0; }

private:
    bool Fill() {
        size_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        at_ = 0;
        return size_ > 0;
    }
    FILE *file_;
    std::array<uint8_t, 65536> buffer_;
    size_t at_ = 0, size_ = 0;
};

// Where scanline `line`'s pixel `i` goes, as the resolution line says.
struct Layout {
    int32_t width = 0, height = 0;
    bool rowsAlongX = true;  // "-Y h +X w": scanlines are rows; "+X w -Y h": columns
    bool topFirst = true;    // -Y
    bool leftFirst = true;   // +X
    int32_t Lines() const { return rowsAlongX ? height : width; }
    int32_t Length() const { return rowsAlongX ? width : height; }
    int32_t X(int32_t line, int32_t i) const {
        const int32_t x = rowsAlongX ? i : line;
        return leftFirst ? x : width - 1 - x;
    }
    int32_t Y(int32_t line, int32_t i) const {
        const int32_t y = rowsAlongX ? line : i;
        return topFirst ? y : height - 1 - y;
    }
};

bool Failed(ByteReader &in, const char *where) {
    if (in.Error()) return kit::Fail("Radiance HDR: the file cannot be read");
    return kit::Fail(std::string("Radiance HDR: the file ends ") + where);
}

// One header line, without its newline; false at the end of the file or past kMaxLine.
bool ReadLine(ByteReader &in, std::string *line, size_t *used) {
    line->clear();
    for (;;) {
        const int b = in.Next();
        if (b < 0) return Failed(in, "within the header");
        if (++*used > kMaxHeader) return kit::Fail("Radiance HDR: the header is over 64 KiB long");
        if (b == '\n') break;
        if (line->size() == kMaxLine) return kit::Fail("Radiance HDR: a header line is over 4 KiB");
        line->push_back(char(b));
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

bool IsSignature(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line == "#?RADIANCE" || line == "#?RGBE";
}

// One "-Y 480" of the resolution line: the sign, the axis and the size.
bool ReadAxis(std::string_view *text, char *sign, char *axis, int64_t *size) {
    while (!text->empty() && text->front() == ' ') text->remove_prefix(1);
    if (text->size() < 4 || (text->at(0) != '-' && text->at(0) != '+') ||
        (text->at(1) != 'X' && text->at(1) != 'Y') || text->at(2) != ' ')
        return false;
    *sign = text->at(0);
    *axis = text->at(1);
    text->remove_prefix(3);
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), *size);
    if (error != std::errc() || *size < 1) return false;
    text->remove_prefix(size_t(end - text->data()));
    return true;
}

bool ReadResolution(std::string_view text, Layout *out) {
    char sign[2], axis[2];
    int64_t size[2];
    if (!ReadAxis(&text, &sign[0], &axis[0], &size[0]) ||
        !ReadAxis(&text, &sign[1], &axis[1], &size[1]) || axis[0] == axis[1])
        return kit::Fail("Radiance HDR: the resolution line is not of the form \"-Y 480 +X 640\"");
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
    if (!text.empty()) return kit::Fail("Radiance HDR: the resolution line has more than two axes");
    const int y = axis[0] == 'Y' ? 0 : 1;
    if (!kit::WithinLimits(size[1 - y], size[y])) return false;
    out->rowsAlongX = y == 0;
    out->height = int32_t(size[y]);
    out->width = int32_t(size[1 - y]);
    out->topFirst = sign[y] == '-';
    out->leftFirst = sign[1 - y] == '+';
    return true;
}

// The header up to the first scanline. False, with the cause, when it is not a Radiance
// picture of RGBE pixels within the limits.
bool ReadHeader(ByteReader &in, Layout *out) {
    std::string line;
    size_t used = 0;
    if (!ReadLine(in, &line, &used) || !IsSignature(line))
        return kit::Fail("Radiance HDR: the file does not start with #?RADIANCE or #?RGBE");
    for (;;) {
        if (!ReadLine(in, &line, &used)) return false;
        if (line.empty()) break;
        if (line.rfind("FORMAT=", 0) == 0) {
            std::string_view format = std::string_view(line).substr(7);
            while (!format.empty() && format.back() == ' ') format.remove_suffix(1);
            if (format == "32-bit_rle_xyze")
                return kit::Fail("Radiance HDR: pictures of XYZE pixels are not read");
            if (format != "32-bit_rle_rgbe")
                return kit::Fail("Radiance HDR: the pixel format " + std::string(format) +
                                 " is not RGBE");
        }
    }
    return ReadLine(in, &line, &used) && ReadResolution(line, out);
}

// One component of a run-length coded scanline: `length` bytes, every fourth of out.
bool ReadComponent(ByteReader &in, int32_t length, uint8_t *out) {
    for (int32_t i = 0; i < length;) {
        const int count = in.Next();
        if (count < 0) return Failed(in, "within a scanline");
        const bool run = count > 128;
        const int32_t n = run ? count - 128 : count;
        if (n == 0 || n > length - i)
            return kit::Fail("Radiance HDR: a run goes past the end of its scanline");
        if (run) {
            const int value = in.Next();
            if (value < 0) return Failed(in, "within a scanline");
            for (int32_t k = 0; k < n; ++k, ++i) out[4 * size_t(i)] = uint8_t(value);
        } else {
            for (int32_t k = 0; k < n; ++k, ++i) {
                const int value = in.Next();
                if (value < 0) return Failed(in, "within a scanline");
                out[4 * size_t(i)] = uint8_t(value);
            }
        }
    }
    return true;
}

// A flat scanline whose first pixel is read already; (1, 1, 1, n) repeats the pixel before
// n times, n shifted up 8 bits for each such pixel in a row.
bool ReadFlat(ByteReader &in, int32_t length, uint8_t *out) {
    int shift = 0;
    for (int32_t i = 0; i < length;) {
        uint8_t *pixel = out + 4 * size_t(i);
        if (i > 0 && !in.Read(pixel, 4)) return Failed(in, "within a scanline");
        if (pixel[0] == 1 && pixel[1] == 1 && pixel[2] == 1 && i > 0 && shift < 24) {
            const int64_t n = int64_t(pixel[3]) << shift;
            if (n > length - i) return kit::Fail("Radiance HDR: a repeat goes past its scanline");
            for (int64_t k = 0; k < n; ++k, ++i) std::memcpy(out + 4 * size_t(i), pixel - 4, 4);
            shift += 8;
        } else {
            shift = 0;
            ++i;
        }
    }
    return true;
}

bool ReadScanline(ByteReader &in, int32_t length, uint8_t *out) {
    if (!in.Read(out, 4)) return Failed(in, "before the last scanline");
    const bool coded = length >= kMinCodedLength && length <= kMaxCodedLength && out[0] == 2 &&
                       out[1] == 2 && (out[2] & 0x80) == 0;
    if (!coded) return ReadFlat(in, length, out);
    if ((int32_t(out[2]) << 8 | out[3]) != length)
        return kit::Fail("Radiance HDR: a scanline's length is not the picture's");
    for (int c = 0; c < 4; ++c)
        if (!ReadComponent(in, length, out + c)) return false;
    return true;
}

bool DecodeFile(const WCHAR *path, linear::Picture *out, ProgressCallbackFn progress,
                int32_t data) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    ByteReader in(file.stream());
    Layout l;
    if (!ReadHeader(in, &l)) return false;
    // Every scanline takes 4 bytes at least (one pixel), so a short file cannot claim a
    // picture of many scanlines.
    if (file.size() / 4 < l.Lines())
        return kit::Fail("Radiance HDR: the file is too short for the size its header gives");
    if (!out->Allocate(l.width, l.height, 3)) return false;
    std::vector<uint8_t> line(4 * size_t(l.Length()));
    for (int32_t n = 0; n < l.Lines(); ++n) {
        if (!ReadScanline(in, l.Length(), line.data())) return false;
        for (int32_t i = 0; i < l.Length(); ++i)
            RgbeToFloat(line.data() + 4 * size_t(i), out->Row(l.Y(n, i)) + 3 * size_t(l.X(n, i)));
        kit::ReportProgress(progress, n + 1, l.Lines(), data);
    }
    return true;
}

bool ReadLayout(const WCHAR *path, Layout *l) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    ByteReader in(file.stream());
    return ReadHeader(in, l);
}

bool Recognize(const WCHAR *path) {
    char head[11] = {};
    if (!kit::ReadFileHead(path, head, 7)) return false;
    if (std::memcmp(head, "#?RGBE", 6) == 0)
        return head[6] == '\n' || head[6] == '\r' || head[6] == ' ';
    if (!kit::ReadFileHead(path, head, 11)) return false;
    return std::memcmp(head, "#?RADIANCE", 10) == 0 &&
           (head[10] == '\n' || head[10] == '\r' || head[10] == ' ');
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Layout l;
    if (!ReadLayout(path, &l)) return false;
    info->width = l.width;
    info->height = l.height;
    return true;
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    linear::Picture picture;
    if (!DecodeFile(path, &picture, progress, data)) return nullptr;
    return linear::ToDib(picture, "Radiance HDR", alloc);
}

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    Layout l;
    if (!ReadLayout(path, &l)) return nullptr;
    out->width = l.width;
    out->height = l.height;
    out->sampleBits = 16;
    return std::make_unique<linear::PictureReader>(path, DecodeFile, "Radiance HDR");
}

}  // namespace
}  // namespace faltrix::hdr

FALTRIX_KIT_INPUT_PLUGIN(faltrix::hdr)
FALTRIX_KIT_FRAMES_INPUT(faltrix::hdr)
FALTRIX_KIT_DEEP_INPUT()
