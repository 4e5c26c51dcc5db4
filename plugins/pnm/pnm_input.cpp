// PNM and PAM input plug-in: P1 to P7, plain and binary, any maxval. A maxval up to 255 is
// read into a DIB: bitmaps (and one-channel pictures of maxval 1) as 1 bit, greys as 8 bits
// with the grey ramp, RGB as 24 bits, pictures with alpha as 32; samples are scaled to 0 .. 255
// from the maxval. A larger maxval gives deep samples (GetFrameSamples) of as many bits as it
// needs, scaled to the whole 16-bit range, and the DIB reduced to 8 bits. Several pictures in
// one file are its pages.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "faltrix/kit/canvas.h"
#include "faltrix/kit/entry_points.h"
#include "pnm_format.h"

namespace faltrix::pnm {
namespace {

kit::DibSpec SpecFor(const Page &p) {
    kit::DibSpec spec;
    spec.width = p.width;
    spec.height = p.height;
    spec.topDown = true;
    if (p.channels == 1) {
        spec.bitCount = p.maxval == 1 ? 1 : 8;
        spec.palette = kit::GreyPalette(spec.bitCount);
    } else {
        spec.bitCount = p.channels == 3 ? 24 : 32;
    }
    return spec;
}

// One row of samples into the DIB's row, 8 bits from the maxval by `to8`.
void PutRow(const uint16_t *s, int32_t width, int channels, int bitCount,
            const std::vector<uint8_t> &to8, uint8_t *row) {
    switch (bitCount) {
    case 1:
        std::fill(row, row + (width + 7) / 8, uint8_t{0});
        for (int32_t x = 0; x < width; ++x)
            if (s[x]) row[x / 8] |= uint8_t(0x80 >> (x % 8));
        break;
    case 8:
        for (int32_t x = 0; x < width; ++x) row[x] = to8[s[x]];
        break;
    case 24:
        for (int32_t x = 0; x < width; ++x, s += 3, row += 3) {
            row[0] = to8[s[2]];
            row[1] = to8[s[1]];
            row[2] = to8[s[0]];
        }
        break;
    default:  // grey and alpha, or RGBA, as B, G, R, A
        for (int32_t x = 0; x < width; ++x, s += channels, row += 4) {
            const bool grey = channels == 2;
            row[0] = to8[s[grey ? 0 : 2]];
            row[1] = to8[s[grey ? 0 : 1]];
            row[2] = to8[s[0]];
            row[3] = to8[s[channels - 1]];
        }
    }
}

// Decodes the page whose header was read into a DIB of its own size.
HBITMAP DecodePage(kit::InputFile &file, const Page &page, ProgressCallbackFn progress,
                   int32_t data, DibAllocCallbackFn alloc) {
    if (page.rasterAt + page.LeastRasterBytes() > file.size())
        return kit::Fail<HBITMAP>("PNM: the file is too short for its raster");
    const kit::DibSpec spec = SpecFor(page);
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard guard(dib.bitmap);
    std::vector<uint8_t> to8(size_t(page.maxval) + 1), scratch;
    for (uint32_t v = 0; v <= page.maxval; ++v)
        to8[v] = uint8_t((v * 255 + page.maxval / 2) / page.maxval);
    std::vector<uint16_t> samples(size_t(page.width) * size_t(page.channels));
    if (!file.Seek(page.rasterAt)) return nullptr;
    for (int32_t y = 0; y < page.height; ++y) {
        if (!ReadRow(file, page, scratch, samples.data()))
            return kit::Fail<HBITMAP>("PNM: the raster is cut short or damaged at row " +
                                      std::to_string(y + 1));
        PutRow(samples.data(), page.width, page.channels, spec.bitCount, to8, dib.Row(y));
        kit::ReportProgress(progress, y + 1, page.height, data);
    }
    if (spec.bitCount == 32) kit::KeepFullTransparency(dib, page.width, page.height);
    return guard.Release();
}

// What the 8-bit picture of a file does not show: its depth and its other pages.
void NoteReduced(const Page &first, size_t pages) {
    if (first.Bits() > 8) kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, first.Bits());
    if (pages > 1) kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, pages);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    kit::InputFile file;
    std::vector<Page> pages;
    if (!file.Open(path) || !ReadPages(file, &pages)) return nullptr;
    HBITMAP bitmap = DecodePage(file, pages[0], progress, data, alloc);
    if (bitmap) NoteReduced(pages[0], pages.size());
    return bitmap;
}

bool Recognize(const WCHAR *path) {
    Page page;
    return kit::ReadFileHeader(
        path, &page, [](kit::InputFile &file, Page *out) { return ReadPage(file, out, false); });
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    return kit::ReadHeaderSize<Page>(
        path, info, [](kit::InputFile &file, Page *out) { return ReadPage(file, out); });
}

// A page's samples on the canvas, widened from its maxval to 16 bits; grey is spread to
// RGB and alpha made opaque where the canvas has them. Where the page is smaller than the
// canvas it is padded with white, transparent when the canvas has alpha.
bool ReadPageSamples(kit::InputFile &file, const Page &page, const kit::SampleView &canvas,
                     ProgressCallbackFn progress, int32_t data) {
    if (page.rasterAt + page.LeastRasterBytes() > file.size())
        return kit::Fail("PNM: the file is too short for its raster");
    if (!file.Seek(page.rasterAt)) return false;
    const int out = canvas.channels, in = page.channels;
    const bool canvasAlpha = out == 2 || out == 4;
    std::vector<uint16_t> wide(size_t(page.maxval) + 1);
    for (uint32_t v = 0; v <= page.maxval; ++v)
        wide[v] = uint16_t((uint64_t(v) * 65535 + page.maxval / 2) / page.maxval);
    std::vector<uint16_t> samples(size_t(page.width) * size_t(in));
    std::vector<uint8_t> scratch;
    for (int32_t y = 0; y < canvas.height; ++y) {
        uint16_t *row = canvas.Row(y);
        std::fill(row, row + size_t(canvas.width) * size_t(out), uint16_t{65535});
        if (canvasAlpha)
            for (int32_t x = 0; x < canvas.width; ++x) row[size_t(x) * out + out - 1] = 0;
        if (y >= page.height) continue;
        if (!ReadRow(file, page, scratch, samples.data()))
            return kit::Fail("PNM: the raster is cut short or damaged at row " +
                             std::to_string(y + 1));
        for (int32_t x = 0; x < std::min(page.width, canvas.width); ++x) {
            const uint16_t *s = &samples[size_t(x) * in];
            uint16_t *d = row + size_t(x) * out;
            const bool colour = in >= 3;
            for (int c = 0; c < (out >= 3 ? 3 : 1); ++c) d[c] = wide[s[colour ? c : 0]];
            if (canvasAlpha) d[out - 1] = page.Alpha() ? wide[s[in - 1]] : 65535;
        }
        kit::ReportProgress(progress, y + 1, canvas.height, data);
    }
    return true;
}

// The pictures of a file as pages. Pages of another size than the first are put on its
// canvas; a file whose pages differ in channels gives samples with all of them.
class PageReader final : public kit::FrameReader {
public:
    bool Open(const WCHAR *path, kit::Sequence *out) {
        if (!file_.Open(path) || !ReadPages(file_, &pages_)) return false;
        int32_t other = 0;
        bool colour = false, alpha = false;
        for (const Page &p : pages_) {
            other += p.width != pages_[0].width || p.height != pages_[0].height;
            colour = colour || p.channels >= 3;
            alpha = alpha || p.Alpha();
            bits_ = std::max(bits_, p.Bits());
        }
        kit::NoteOtherSizes(other, "page");
        channels_ = (colour ? 3 : 1) + (alpha ? 1 : 0);
        out->width = pages_[0].width;
        out->height = pages_[0].height;
        out->frameCount = int32_t(pages_.size());
        out->kind = FALTRIX_FRAMES_PAGES;
        out->sampleBits = bits_ > 8 ? bits_ : 0;
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        *delay = 0;
        if (index < 0 || size_t(index) >= pages_.size())
            return kit::Fail<HBITMAP>("PNM: no such page");
        HBITMAP page = DecodePage(file_, pages_[size_t(index)], progress, data, alloc);
        if (!page) return nullptr;
        if (index == 0 && bits_ > 8)
            kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, bits_);
        return kit::PlaceOnCanvas(page, pages_[0].width, pages_[0].height, alloc);
    }

    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override {
        *delay = 0;
        if (bits_ <= 8) return kit::Fail("PNM: the file has no samples of more than 8 bits");
        if (index < 0 || size_t(index) >= pages_.size()) return kit::Fail("PNM: no such page");
        const kit::SampleView canvas = target.Allocate(channels_, bits_);
        if (!canvas.data) return false;
        return ReadPageSamples(file_, pages_[size_t(index)], canvas, progress, data);
    }

private:
    kit::InputFile file_;
    std::vector<Page> pages_;
    int bits_ = 0;      // the deepest page's bits
    int channels_ = 1;  // of the deep samples
};

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<PageReader>(path, out);
}

}  // namespace
}  // namespace faltrix::pnm

FALTRIX_KIT_INPUT_PLUGIN(faltrix::pnm)
FALTRIX_KIT_FRAMES_INPUT(faltrix::pnm)
FALTRIX_KIT_DEEP_INPUT()
