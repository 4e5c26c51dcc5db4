// The small kit every bundled codec plug-in links statically: failure causes, paths, the
// information-number answers, the decoding limits, DIB allocation for decoders, reading the
// picture to store for encoders, and atomic file writing. The entry points themselves are
// defined by the macros of entry_points.h.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix::kit {

// ---- Failure causes -----------------------------------------------------------------------

// The cause of the calling thread's last failure, in words for the user: "No space left on
// device", "JPEG: Premature end of JPEG file". Each entry point starts with it empty
// (Guarded); the first cause recorded during a call is kept, since it is the one nearest the
// defect (a library's own message comes before the plug-in's summary of it). Meaningful only
// after a call that failed. Kept in a fixed buffer, so causes past 511 bytes are cut.
const char *LastFailure() noexcept;
void ClearLastFailure() noexcept;
void SetLastFailure(std::string_view cause) noexcept;

// Answers GetLastFailureText: LastFailure() as UTF-16, cut to bufferLength - 1 units (never
// inside a surrogate pair) and terminated. Returns the units written; 0 with no buffer or no
// cause. Leaves the cause as it is.
int32_t AnswerLastFailure(WCHAR *buffer, int32_t bufferLength) noexcept;

// Records cause and returns answer, for `return kit::Fail("...")` (false),
// `return kit::Fail<HBITMAP>("...")` (null) and `return kit::Fail("...", 1)`.
template <class T = bool>
T Fail(std::string_view cause, T answer = T{}) noexcept {
    SetLastFailure(cause);
    return answer;
}

// ---- Entry points -----------------------------------------------------------------------

// What an entry point returns: body()'s answer, or failure when body throws (no memory, for
// one), since nothing may leave an entry point. The calling thread's failure cause starts
// empty.
template <class F>
std::invoke_result_t<F> Guarded(std::invoke_result_t<F> failure, F &&body) noexcept {
    ClearLastFailure();
    try {
        return std::forward<F>(body)();
    } catch (const std::bad_alloc &) {
        return Fail("not enough memory", failure);
    } catch (...) {
        return Fail("unexpected error", failure);
    }
}

// ---- Paths ------------------------------------------------------------------------------

// Converts a NUL-terminated UTF-16 path to the bytes of the name on disk: UTF-8, with each
// U+DC80..U+DCFF the byte 0x80..0xFF it stands for (a name that is not UTF-8, as the host
// passes it; see faltrix/plugin.h). False, with the cause recorded, for a null or empty path,
// a surrogate that stands for no byte, or a path longer than the system allows (PATH_MAX
// bytes with the NUL).
bool PathToBytes(const WCHAR *path, std::string *out);

// A picture file opened for reading by its UTF-16 path; closed on destruction.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    // False when the path is unusable, names no regular file, or cannot be opened; the
    // system's words for why are the recorded cause.
    bool Open(const WCHAR *path);
    FILE *stream() const { return stream_; }
    int64_t size() const { return size_; }  // bytes, as found when opened
    // Reads exactly n bytes; false on a short read or an error.
    bool Read(void *out, size_t n);
    // Moves to byte `position` of the file (0 up to size()); false, with the cause, beyond.
    bool Seek(int64_t position);

private:
    FILE *stream_ = nullptr;
    int64_t size_ = 0;
};

// Reads the first n bytes of the picture file at path (a regular file, as InputFile opens),
// for a signature check. False when it cannot be opened or is shorter than n bytes.
bool ReadFileHead(const WCHAR *path, void *out, size_t n);

// The header of the picture file at path, for Recognize and ReadSize of a format whose header
// alone tells what the file holds: the file opened as InputFile opens it, then read(file, out),
// the format's own bool (InputFile &, Header *). False, with the cause recorded, when either
// fails.
template <class Header, class Read>
bool ReadFileHeader(const WCHAR *path, Header *out, Read read) {
    InputFile file;
    return file.Open(path) && read(file, out);
}

// ReadSize of such a format: the width and height of the header ReadFileHeader reads.
template <class Header, class Read>
bool ReadHeaderSize(const WCHAR *path, PictureInfo *info, Read read) {
    Header header;
    if (!ReadFileHeader(path, &header, read)) return false;
    info->width = header.width;
    info->height = header.height;
    return true;
}

// Calls progress(done, total, data) when progress is not null.
inline void ReportProgress(ProgressCallbackFn progress, int32_t done, int32_t total, int32_t data) {
    if (progress) progress(done, total, data);
}

// ---- GetPluginInfo answers ----------------------------------------------------------------

struct Pattern {
    std::u16string_view pattern;      // "*.png" or "*.jpg;*.jpeg"
    std::u16string_view description;  // "PNG pictures"
};

struct PluginInfoTable {
    std::u16string_view tag;     // FALTRIX_INPUT_TAG or FALTRIX_OUTPUT_TAG
    std::u16string description;  // names the format and the library version
    std::vector<Pattern> patterns;
};

// What a format's input and output plug-ins answer alike: one per format.
struct FormatInfo {
    std::u16string description;          // "PNG (libpng 1.6.39)"
    std::vector<Pattern> readPatterns;   // the input plug-in's
    std::vector<Pattern> writePatterns;  // the output plug-in's; empty: the same as readPatterns
};
PluginInfoTable InputInfo(const FormatInfo &format);
PluginInfoTable OutputInfo(const FormatInfo &format);

// Answers information number n from the table: 0 tag, 1 description, 2k pattern k, 2k + 1
// its description; 0 for anything else. Writes at most bufferLength - 1 units and a NUL and
// returns the number of units written.
int32_t AnswerPluginInfo(const PluginInfoTable &table, int32_t infoNumber, WCHAR *buffer,
                         int32_t bufferLength);

// ---- Decoding limits ----------------------------------------------------------------------

// Pictures larger than this are refused before any pixel memory is taken: 2^28 pixels
// (about 16384 x 16384), and no side of 2^20 pixels or more. WithinLimits records the cause
// when it answers false.
inline constexpr uint64_t kMaxPixels = FALTRIX_MAX_PICTURE_PIXELS;
inline constexpr int64_t kMaxSide = FALTRIX_MAX_PICTURE_SIDE;
bool WithinLimits(int64_t width, int64_t height);

// ---- DIBs ---------------------------------------------------------------------------------

// Bytes of one row of `width` pixels at `bitCount` bits, padded to 4; 0 on overflow, a width
// below 1 or a bit count other than 1, 4, 8, 16, 24, 32.
uint32_t DibStride(int64_t width, int bitCount);

// The 2^n-entry grey palette for n = 1, 4 or 8 bits (0 to 255 spread evenly).
std::vector<RGBQUAD> GreyPalette(int bitCount);

struct DibSpec {
    int32_t width = 0;
    int32_t height = 0;            // positive
    int bitCount = 24;             // 1, 4, 8, 16, 24, 32
    bool topDown = true;           // rows top-down in memory (negative biHeight)
    std::vector<RGBQUAD> palette;  // for 1, 4 and 8 bits
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    // 16 and 32 bits: red, green, blue masks (BI_BITFIELDS). All zero: the default layout
    // (5-5-5 for 16 bits, B, G, R, A bytes for 32 bits).
    std::array<uint32_t, 3> masks{0, 0, 0};
};

// A decoder's picture: allocated through the host's allocator.
struct Dib {
    HBITMAP bitmap = nullptr;
    uint8_t *bits = nullptr;
    uint32_t stride = 0;
    int32_t height = 0;
    bool topDown = true;
    // Row y counted from the top of the picture.
    uint8_t *Row(int32_t y) const {
        return bits + static_cast<size_t>(topDown ? y : height - 1 - y) * stride;
    }
};

// Deletes a section unless Release()d, so that a decoder frees what it took on every
// failure path.
class BitmapGuard {
public:
    explicit BitmapGuard(HBITMAP bitmap = nullptr) : bitmap_(bitmap) {}
    ~BitmapGuard() {
        if (bitmap_) DeleteObject(bitmap_);
    }
    BitmapGuard(const BitmapGuard &) = delete;
    BitmapGuard &operator=(const BitmapGuard &) = delete;
    HBITMAP Release() {
        HBITMAP b = bitmap_;
        bitmap_ = nullptr;
        return b;
    }

private:
    HBITMAP bitmap_;
};

// A 32-bit picture whose alpha bytes are all 0 counts as opaque (the alpha of a 32-bit DIB is
// used only when some pixel has any). For a decoder whose format said every pixel is fully
// transparent, this gives pixel (0, 0) an alpha of 1, so that the picture keeps its
// transparency at the cost of one step on one pixel. Width pixels of height rows.
void KeepFullTransparency(const Dib &dib, int32_t width, int32_t height);

// Allocates the section with alloc (CreateDIBSection when null). Returns false, with
// nothing allocated and the cause recorded, when the picture described is out of the limits
// above, its palette does not suit its depth, or no memory is left.
bool AllocateDib(DibAllocCallbackFn alloc, const DibSpec &spec, Dib *out);

// The picture to store, as the host selected it into the DC handed to SaveDIBPicture.
class SourcePicture {
public:
    // Reads the selected bitmap's layout, colour table and masks. False when nothing usable
    // is selected.
    bool Open(HDC dc);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int bitCount() const { return bitCount_; }
    const std::vector<RGBQUAD> &palette() const { return palette_; }  // 1, 4, 8 bits
    // Red, green, blue masks in effect for 16 and 32 bits (the defaults when not BI_BITFIELDS).
    const uint32_t *masks() const { return masks_; }
    bool topDown() const { return topDown_; }
    int32_t xPelsPerMeter() const { return xppm_; }
    int32_t yPelsPerMeter() const { return yppm_; }
    // True for a 32-bit picture with at least one non-zero alpha byte (all zero: opaque).
    bool HasAlpha() const { return hasAlpha_; }
    // True when every palette entry is grey (palettised pictures only).
    bool IsGreyPalette() const;

    // Row y counted from the top, in the bitmap's own format.
    const uint8_t *Row(int32_t y) const;
    // Row y as B, G, R, A bytes (alpha 255 unless HasAlpha()); out holds 4 * width bytes.
    void RowToBGRA(int32_t y, uint8_t *out) const;
    // Row y as B, G, R bytes, transparent areas put on white; out holds 3 * width bytes.
    void RowToBGROnWhite(int32_t y, uint8_t *out) const;
    // Row y of a palettised picture as one index byte per pixel.
    void RowToIndices(int32_t y, uint8_t *out) const;

private:
    int32_t width_ = 0, height_ = 0;
    int bitCount_ = 0;
    bool topDown_ = false;
    bool hasAlpha_ = false;
    const uint8_t *bits_ = nullptr;
    uint32_t stride_ = 0;
    uint32_t compression_ = 0;
    uint32_t masks_[3] = {0, 0, 0};
    std::vector<RGBQUAD> palette_;
    int32_t xppm_ = 0, yppm_ = 0;
    mutable std::vector<uint8_t> scratch_;
};

// The first steps of a Save: *target the path as the bytes of the name on disk (PathToBytes)
// and *src the picture the host selected into dc. False, with the cause recorded, when either
// is unusable. With progress, it is then reported at 0 %, for an encoder that tells no
// progress of its own before StoreEncoded.
bool OpenSave(HDC dc, const WCHAR *path, std::string *target, SourcePicture *src,
              ProgressCallbackFn progress = nullptr, int32_t data = 0);

// ---- Output file --------------------------------------------------------------------------

// The file at the path the host gives, created or truncated and written in place: the host
// makes that path a temporary of its own and alone decides whether it replaces the output.
// Every failure records the system's words for it ("No space left on device").
class OutputFile {
public:
    explicit OutputFile(const std::string &path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool ok() const { return stream_ != nullptr; }
    FILE *stream() { return stream_; }
    // fwrite on the stream; false on a short write.
    bool Write(const void *data, size_t n);
    // Flushes and closes. False when either fails, including an earlier write error on the
    // stream.
    bool Close();

private:
    int fd_ = -1;  // closed with the stream
    FILE *stream_ = nullptr;
};

// The last steps of a Save whose encoder makes the whole file in memory first: progress at
// 90 %, the output opened, `write(out)` to put the encoded bytes in it, the output closed and
// progress at 100 %. False when the file cannot be opened, written or closed.
template <typename Write>
bool StoreEncoded(const std::string &path, ProgressCallbackFn progress, int32_t data, Write write) {
    ReportProgress(progress, 90, 100, data);
    OutputFile out(path);
    if (!out.ok() || !write(out) || !out.Close()) return false;
    ReportProgress(progress, 100, 100, data);
    return true;
}

// StoreEncoded of `size` bytes the encoder left in memory at `bytes`.
inline bool StoreBytes(const std::string &path, ProgressCallbackFn progress, int32_t data,
                       const void *bytes, size_t size) {
    return StoreEncoded(path, progress, data,
                        [&](OutputFile &out) { return out.Write(bytes, size); });
}

}  // namespace faltrix::kit
