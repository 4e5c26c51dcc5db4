// BMP input plug-in: our own decoder for what other software writes (OS/2 core and 2.x
// headers, info, V4 and V5 headers; 1, 2, 4, 8, 16, 24 and 32 bits; RLE8, RLE4 and OS/2's
// RLE24; bit-field masks; bottom-up and top-down rows).
//
// The decoded DIB keeps the file's own layout wherever the graphics layer has it (palettes,
// 5-5-5 and 5-6-5 16-bit, 24-bit, 32-bit B, G, R, A), so those rows are read straight into
// the section. Other mask layouts become 24 bits, or 32 with alpha when the file has an
// alpha mask. A 32-bit file without an alpha mask gets alpha bytes of 0 (opaque). Two bits
// a pixel, which a section cannot hold, become four.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "bmp_format.h"
#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"

namespace faltrix::bmp {
namespace {

enum class Layout { Raw, Raw32NoAlpha, Convert, Widen2 };

// A file row's bytes with its padding to 4 bytes, for any bit count (the section's own
// stride knows only the depths a section can have).
uint32_t FileStride(int32_t width, int bitCount) {
    return static_cast<uint32_t>((uint64_t(width) * uint64_t(bitCount) + 31) / 32 * 4);
}

// Chooses the DIB for the file; Raw means file rows are section rows byte for byte.
Layout ChooseLayout(const Header &h, kit::DibSpec *spec) {
    spec->width = h.width;
    spec->height = h.height;
    // RLE data is bottom-up as a rule, but a negative height says top-down for it too, and
    // that is how ImageMagick and Pillow read such files: the first encoded row is the top.
    spec->topDown = h.topDown;
    spec->xPelsPerMeter = h.xPelsPerMeter;
    spec->yPelsPerMeter = h.yPelsPerMeter;
    spec->bitCount = h.bitCount;
    if (h.bitCount <= 8) {
        spec->palette = h.palette;
        if (h.bitCount != 2) return Layout::Raw;
        spec->bitCount = 4;
        return Layout::Widen2;
    }
    if (h.bitCount == 24) return Layout::Raw;
    const uint32_t r = h.masks[0], g = h.masks[1], b = h.masks[2], a = h.masks[3];
    if (h.bitCount == 16 && a == 0) {
        if (r == 0x7C00 && g == 0x03E0 && b == 0x001F) return Layout::Raw;
        if (r == 0xF800 && g == 0x07E0 && b == 0x001F) {
            spec->masks = {r, g, b};
            return Layout::Raw;
        }
    }
    if (h.bitCount == 32 && r == 0xFF0000 && g == 0xFF00 && b == 0xFF) {
        if (a == 0xFF000000u) return Layout::Raw;
        if (a == 0) return Layout::Raw32NoAlpha;
    }
    spec->bitCount = a ? 32 : 24;
    return Layout::Convert;
}

bool ReadRaw(kit::InputFile &file, const Header &h, Layout layout, const kit::Dib &dib,
             ProgressCallbackFn progress, int32_t data) {
    const uint32_t fileStride = FileStride(h.width, h.bitCount);
    const uint32_t rowBytes = static_cast<uint32_t>((uint64_t(h.width) * h.bitCount + 7) / 8);
    constexpr int32_t kChunk = 64;
    // Memory rows and file rows run in the same order: the section has the file's orientation.
    for (int32_t first = 0; first < h.height; first += kChunk) {
        const int32_t rows = std::min(kChunk, h.height - first);
        uint8_t *dest = dib.bits + size_t(first) * dib.stride;
        if (dib.stride == fileStride) {
            const size_t want = size_t(rows) * fileStride;
            const size_t got = std::fread(dest, 1, want, file.stream());
            // Some writers leave out the padding of the very last row.
            const bool lastRowShort =
                first + rows == h.height && got >= want - (fileStride - rowBytes);
            if (got != want && !lastRowShort) return false;
        } else {
            for (int32_t i = 0; i < rows; ++i) {
                const size_t got =
                    std::fread(dest + size_t(i) * dib.stride, 1, fileStride, file.stream());
                if (got != fileStride && !(first + i == h.height - 1 && got >= rowBytes))
                    return false;
            }
        }
        if (layout == Layout::Raw32NoAlpha)
            for (int32_t i = 0; i < rows; ++i) {
                uint8_t *row = dest + size_t(i) * dib.stride;
                for (int32_t x = 0; x < h.width; ++x) row[4 * x + 3] = 0;
            }
        kit::ReportProgress(progress, first + rows, h.height, data);
    }
    return true;
}

// 2 bits a pixel to 4: each byte's four indices become two bytes of two.
bool ReadWidened(kit::InputFile &file, const Header &h, const kit::Dib &dib,
                 ProgressCallbackFn progress, int32_t data) {
    const uint32_t fileStride = FileStride(h.width, 2);
    const uint32_t rowBytes = static_cast<uint32_t>((uint64_t(h.width) * 2 + 7) / 8);
    std::vector<uint8_t> row(fileStride);
    for (int32_t i = 0; i < h.height; ++i) {
        const size_t got = std::fread(row.data(), 1, fileStride, file.stream());
        if (got != fileStride && !(i == h.height - 1 && got >= rowBytes)) return false;
        uint8_t *out = dib.bits + size_t(i) * dib.stride;
        for (size_t x = 0; x < size_t(h.width); ++x)
            WriteDibIndex(out, x, 4, ReadDibIndex(row.data(), x, 2));
        kit::ReportProgress(progress, i + 1, h.height, data);
    }
    return true;
}

bool ReadConverted(kit::InputFile &file, const Header &h, int outBits, const kit::Dib &dib,
                   ProgressCallbackFn progress, int32_t data) {
    const uint32_t fileStride = FileStride(h.width, h.bitCount);
    const uint32_t rowBytes = static_cast<uint32_t>(uint64_t(h.width) * h.bitCount / 8);
    std::vector<uint8_t> row(fileStride);
    const MaskedChannel r(h.masks[0]), g(h.masks[1]), b(h.masks[2]), a(h.masks[3]);
    const int outBytes = outBits / 8;
    for (int32_t i = 0; i < h.height; ++i) {
        const size_t got = std::fread(row.data(), 1, fileStride, file.stream());
        if (got != fileStride && !(i == h.height - 1 && got >= rowBytes)) return false;
        uint8_t *out = dib.bits + size_t(i) * dib.stride;
        for (int32_t x = 0; x < h.width; ++x) {
            uint32_t px;
            if (h.bitCount == 16) px = uint32_t(row[2 * x]) | (uint32_t(row[2 * x + 1]) << 8);
            else std::memcpy(&px, &row[4 * size_t(x)], 4);
            uint8_t *o = out + size_t(x) * outBytes;
            o[0] = b(px);
            o[1] = g(px);
            o[2] = r(px);
            if (outBytes == 4) o[3] = a(px);
        }
        kit::ReportProgress(progress, i + 1, h.height, data);
    }
    return true;
}

// RLE8, RLE4 and RLE24: runs and literal stretches of indices (or of blue, green, red
// triplets), rows in the file's order, as the section has them. The pixels are taken as one
// sequence, as other readers take them: a run or a literal that passes the end of its row goes on
// at the start of the next (until an end-of-row mark puts the next row's pixels in their place),
// and what passes the end of the picture is dropped; pixels no code reaches stay as
// allocated (index 0, or black). Data that ends before the end-of-picture mark with rows still
// missing is damage.
bool ReadRle(kit::InputFile &file, const Header &h, const kit::Dib &dib,
             ProgressCallbackFn progress, int32_t data) {
    const int64_t available = file.size() - h.dataOffset;
    if (available <= 0) return false;
    std::vector<uint8_t> in(static_cast<size_t>(available));
    const size_t n = std::fread(in.data(), 1, in.size(), file.stream());
    in.resize(n);

    const bool four = h.compression == BI_RLE4;
    const size_t unit = h.compression == kOs2Rle24 ? 3 : 1;  // bytes of one value
    int64_t x = 0, y = 0;  // y counts rows in the file's order; x may pass the row's end
    const int64_t pixels = int64_t(h.width) * h.height;
    auto put = [&](const uint8_t *value) {
        const int64_t at = y * h.width + x++;
        if (at >= pixels) return;  // past the end of the picture: dropped
        const int64_t column = at % h.width;
        uint8_t *row = dib.bits + size_t(at / h.width) * dib.stride;
        if (four) {
            WriteDibIndex(row, size_t(column), 4, *value);
        } else {
            std::memcpy(row + size_t(column) * unit, value, unit);
        }
    };
    size_t p = 0;
    while (y < h.height && y * h.width + x < pixels) {
        if (p + 2 > in.size()) return false;  // cut short with rows missing
        const uint8_t count = in[p], value = in[p + 1];
        p += 2;
        if (count > 0) {  // a run: one value, or for RLE4 two alternating ones
            uint8_t run[3] = {value, 0, 0};
            if (unit == 3) {  // the triplet's green and red follow its blue
                if (p + 2 > in.size()) return false;
                run[1] = in[p];
                run[2] = in[p + 1];
                p += 2;
            }
            for (int i = 0; i < count; ++i) {
                const uint8_t nibble = (i & 1) ? (value & 0x0F) : (value >> 4);
                put(four ? &nibble : run);
            }
            continue;
        }
        switch (value) {
        case 0:  // end of row
            x = 0;
            ++y;
            kit::ReportProgress(progress, int32_t(std::min<int64_t>(y, h.height)), h.height, data);
            break;
        case 1:  // end of picture
            y = h.height;
            break;
        case 2:  // jump right and on by rows (up, in a bottom-up picture)
            if (p + 2 > in.size()) return false;
            x += in[p];
            y += in[p + 1];
            p += 2;
            break;
        default: {  // a literal stretch of `value` values, padded to an even number of bytes
            const size_t bytes = four ? (value + 1u) / 2 : size_t(value) * unit;
            if (p + bytes > in.size()) return false;
            for (int i = 0; i < value; ++i) {
                const uint8_t nibble = (i & 1) ? (in[p + i / 2] & 0x0F) : (in[p + i / 2] >> 4);
                put(four ? &nibble : &in[p + size_t(i) * unit]);
            }
            p += (bytes + 1) & ~size_t{1};
            break;
        }
        }
    }
    kit::ReportProgress(progress, h.height, h.height, data);
    return true;
}

// The embedded profile of a V5 header, for GetPictureMetadata; one that does not lie within
// the file, or is over the limit, is named as dropped without being read.
void NoteProfile(kit::InputFile &file, const Header &h) {
    if (h.profileSize == 0) return;
    const int64_t start = int64_t{kFileHeaderSize} + h.profileOffset;
    if (h.profileSize > FALTRIX_METADATA_MAX_SIZE)
        return kit::NoteDropped("the colour profile, larger than 16 MiB");
    std::string profile(h.profileSize, '\0');
    if (start + int64_t{h.profileSize} > file.size() ||
        std::fseek(file.stream(), long(start), SEEK_SET) != 0 ||
        !file.Read(profile.data(), profile.size()))
        return kit::NoteDropped("the colour profile, which lies beyond the end of the file");
    kit::NoteMetadata(FALTRIX_METADATA_ICC, profile);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    kit::InputFile file;
    Header h;
    if (!file.Open(path) || !ReadHeader(file, &h)) return nullptr;
    // Uncompressed rows have a known size: a file too short for them is refused before the
    // section is allocated (the last row may lack its padding).
    if (!h.Rle()) {
        const uint64_t stride = FileStride(h.width, h.bitCount);
        const uint64_t lastRow = (uint64_t(h.width) * uint64_t(h.bitCount) + 7) / 8;
        if (uint64_t(file.size() - h.dataOffset) < stride * uint64_t(h.height - 1) + lastRow)
            return kit::Fail<HBITMAP>("BMP: the file is too short for its rows");
    }
    kit::DibSpec spec;
    const Layout layout = ChooseLayout(h, &spec);
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard guard(dib.bitmap);
    if (std::fseek(file.stream(), long(h.dataOffset), SEEK_SET) != 0) return nullptr;
    bool ok;
    if (h.Rle()) ok = ReadRle(file, h, dib, progress, data);
    else if (layout == Layout::Widen2) ok = ReadWidened(file, h, dib, progress, data);
    else if (layout == Layout::Convert)
        ok = ReadConverted(file, h, spec.bitCount, dib, progress, data);
    else ok = ReadRaw(file, h, layout, dib, progress, data);
    if (!ok) return kit::Fail<HBITMAP>("BMP: the pixel data is damaged or cut short");
    NoteProfile(file, h);
    return guard.Release();
}

bool Recognize(const WCHAR *path) {
    Header h;
    return kit::ReadFileHeader(path, &h, ReadHeader);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    return kit::ReadHeaderSize<Header>(path, info, ReadHeader);
}

}  // namespace
}  // namespace faltrix::bmp

FALTRIX_KIT_INPUT_PLUGIN(faltrix::bmp)
