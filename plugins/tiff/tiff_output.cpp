// The TIFF output plug-in. Palettised pictures stay palettised (1, 4, 8 bits; a picture
// whose palette is the plain grey ramp of its depth is stored as grey, min-is-black), 24-bit and
// opaque 32-bit pictures become 8-bit RGB, 32-bit pictures with alpha RGBA with unassociated alpha,
// 16-bit ones RGB. The resolution is stored in dots per inch. Compression is a session setting. The
// colour profile and the XMP packet the host set go into their tags, the EXIF block into an
// EXIF directory. Several frames become a document of pages, a directory each (marked as a page,
// numbered), written as they come; the first page carries the EXIF block and the XMP packet,
// every page the colour profile.
//
// Deep frames (AddFrameSamples), a single picture among them, are stored at 16 bits a sample,
// grey (min-is-black) or RGB, with unassociated alpha when they have it. A 10- or 12-bit
// source is widened rather than packed at its own depth: many readers take 8 and 16 bits
// only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "tiff_common.h"
#include "tiff_exif.h"

namespace faltrix::tiff {
namespace {

// The choices of the dialog, in its order.
struct CompressionChoice {
    const char *name;
    uint16_t scheme;
};
constexpr CompressionChoice kCompressions[] = {
    {"None", COMPRESSION_NONE},
    {"LZW", COMPRESSION_LZW},
    {"Deflate", COMPRESSION_ADOBE_DEFLATE},
    {"PackBits", COMPRESSION_PACKBITS},
};

constexpr char kTitle[] = "TIFF settings";  // of the settings dialog, naming its kept values

// The session's choice, set by the dialog or SetPluginOption and read by a job thread. LZW:
// lossless and read by everything.
kit::Options options({{"compression",
                       "Compression",
                       kit::Setting::Kind::Choice,
                       0,
                       0,
                       {kCompressions[0].name, kCompressions[1].name, kCompressions[2].name,
                        kCompressions[3].name},
                       1}});
// The values the dialog program kept from an earlier run, if any.
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

uint16_t Compression() { return kCompressions[options.Get("compression")].scheme; }

// What libtiff writes through: the stream of an OutputFile, which only writes, and a second
// descriptor of the same file for what libtiff reads back (the last directory's link, when it
// appends the next). Closing is left to their owners.
struct Handle {
    FILE *stream = nullptr;
    int readFd = -1;
};

tmsize_t ReadProc(thandle_t h, void *buf, tmsize_t n) {
    Handle *handle = static_cast<Handle *>(h);
    const off_t at = ftello(handle->stream);
    if (at < 0 || std::fflush(handle->stream) != 0) return -1;
    const ssize_t got = pread(handle->readFd, buf, static_cast<size_t>(n), at);
    if (got > 0) fseeko(handle->stream, at + got, SEEK_SET);
    return static_cast<tmsize_t>(got);
}
tmsize_t WriteProc(thandle_t h, void *buf, tmsize_t n) {
    return static_cast<tmsize_t>(
        std::fwrite(buf, 1, static_cast<size_t>(n), static_cast<Handle *>(h)->stream));
}
toff_t SeekProc(thandle_t h, toff_t off, int whence) {
    FILE *f = static_cast<Handle *>(h)->stream;
    if (fseeko(f, static_cast<off_t>(off), whence) != 0) return static_cast<toff_t>(-1);
    return static_cast<toff_t>(ftello(f));
}
int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t h) {
    Handle *handle = static_cast<Handle *>(h);
    std::fflush(handle->stream);
    struct stat st;
    return fstat(handle->readFd, &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}
int MapProc(thandle_t, void **, toff_t *) { return 0; }
void UnmapProc(thandle_t, void *, toff_t) {}

// Grey (min-is-black) for the even grey ramp that grey files decode to, whose indices are the
// grey samples; any other palette is an RGB colour map, deeper pictures RGB.
kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyRamp(layout.palette, layout.bitCount)
               ? kit::StoredColour::kGrey
               : kit::StoredColour::kColour;
}

// The colour profile and the XMP packet have tags of their own, the EXIF block a directory.
bool KeepsMetadata(std::string_view key, size_t) {
    if (key == FALTRIX_METADATA_TRANSPARENCY) return true;  // alpha is kept
    return key == FALTRIX_METADATA_ICC || key == FALTRIX_METADATA_XMP ||
           key == FALTRIX_METADATA_EXIF;
}

// How the picture is stored: its depth and samples, and the bytes of one stored row.
struct Layout {
    int bits;
    bool palettised;
    bool grey;
    bool alpha;
    uint16_t spp;
    uint16_t bps;
    size_t w;
    size_t lineBytes;
};

Layout LayoutOf(const kit::SourcePicture &src) {
    const int bits = src.bitCount();
    const bool palettised = bits <= 8;
    const bool grey = StoredColour({bits, src.palette()}) == kit::StoredColour::kGrey;
    const bool alpha = bits == 32 && src.HasAlpha();
    const uint16_t spp = palettised ? 1 : alpha ? 4 : 3;
    const uint16_t bps = palettised ? static_cast<uint16_t>(bits) : 8;
    const size_t w = static_cast<size_t>(src.width());
    const size_t lineBytes = palettised ? (w * bits + 7) / 8 : w * spp;
    return {bits, palettised, grey, alpha, spp, bps, w, lineBytes};
}

// A resolution as TIFF keeps it, a rational: a DIB holds whole pels per metre, which hold
// the dots per inch a picture was made with only to within a pel, so 300 dpi comes back as
// 11811 pels, 299.9994 dpi. A whole number of dots per inch within a pel and a half (a resize
// truncates once more) is taken to be what was meant and stored exactly, as 300/1; else
// whole dots per centimetre (11800 pels: 118/1); else the nearest the rational holds.
struct StoredResolution {
    float value;
    uint16_t unit;
};
StoredResolution ResolutionOf(int32_t pelsPerMeter, uint16_t unit = 0) {
    const double dpi = pelsPerMeter * 0.0254, whole = std::round(dpi);
    const bool wholeInches = std::abs(whole / 0.0254 - pelsPerMeter) <= 1.5;
    if (unit == 0)
        unit = wholeInches || pelsPerMeter % 100 != 0 ? RESUNIT_INCH : RESUNIT_CENTIMETER;
    if (unit == RESUNIT_CENTIMETER) return {static_cast<float>(pelsPerMeter / 100.0), unit};
    return {static_cast<float>(wholeInches ? whole : dpi), unit};
}

// The strips, the profile and, when withXmp, the XMP packet of a directory.
bool SetStripsAndItems(TIFF *tif, bool withXmp) {
    bool ok = TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    const std::pair<ttag_t, const char *> blocks[] = {{TIFFTAG_ICCPROFILE, FALTRIX_METADATA_ICC},
                                                      {TIFFTAG_XMLPACKET, FALTRIX_METADATA_XMP}};
    for (const auto &[tag, key] : blocks) {
        const std::string item =
            tag == TIFFTAG_ICCPROFILE || withXmp ? kit::OutgoingMetadata(key) : "";
        if (!item.empty())
            ok = ok && TIFFSetField(tif, tag, static_cast<uint32_t>(item.size()), item.data());
    }
    return ok;
}

// The picture's directory: size, samples, colour, compression, resolution, strips and the
// profile and, when withXmp, the XMP packet. False when libtiff refuses one of them.
bool SetTags(TIFF *tif, const kit::SourcePicture &src, const Layout &layout, uint16_t compression,
             bool withXmp) {
    const auto [bits, palettised, grey, alpha, spp, bps, w, lineBytes] = layout;
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(src.width())) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(src.height())) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    if (palettised && !grey) {
        // The colour map has 2^bits entries; indices past a short palette show its last
        // colour, as they do when the picture is read from the DIB.
        const size_t n = size_t{1} << bits;
        const std::vector<RGBQUAD> &pal = src.palette();
        std::vector<uint16_t> r(n), g(n), b(n);
        for (size_t i = 0; i < n; ++i) {
            const RGBQUAD &q = pal[std::min(i, pal.size() - 1)];
            r[i] = static_cast<uint16_t>(q.rgbRed * 257);
            g[i] = static_cast<uint16_t>(q.rgbGreen * 257);
            b[i] = static_cast<uint16_t>(q.rgbBlue * 257);
        }
        ok = ok && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE) &&
             TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    } else if (grey) {
        ok = ok && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    } else {
        ok = ok && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        if (alpha) {
            const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
            ok = ok && TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
        }
    }
    // Horizontal differencing helps LZW and Deflate on continuous tone, not on indices.
    if (bps == 8 && !palettised &&
        (compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE))
        ok = ok && TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (src.xPelsPerMeter() > 0 && src.yPelsPerMeter() > 0) {
        const StoredResolution x = ResolutionOf(src.xPelsPerMeter()),
                               y = ResolutionOf(src.yPelsPerMeter(), x.unit);
        ok = ok && TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, x.unit) &&
             TIFFSetField(tif, TIFFTAG_XRESOLUTION, x.value) &&
             TIFFSetField(tif, TIFFTAG_YRESOLUTION, y.value);
    }
    return ok && SetStripsAndItems(tif, withXmp);
}

// The directory of deep samples (see the top): false when libtiff refuses a tag.
bool SetSampleTags(TIFF *tif, const kit::SampleView &s, int bits, uint16_t compression,
                   bool withXmp) {
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(s.width)) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(s.height)) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(bits)) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(s.channels)) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, compression) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                           s.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (s.channels % 2 == 0) {
        const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        ok = ok && TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    // libtiff's differencing takes whole bytes of samples: 16 bits, not packed depths.
    if (bits == 16 && (compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE))
        ok = ok && TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    return ok && SetStripsAndItems(tif, withXmp);
}

// Every row, top first, turned from the DIB's order into the stored samples.
bool WriteRows(TIFF *tif, const kit::SourcePicture &src, const Layout &layout,
               ProgressCallbackFn progress, int32_t data) {
    const auto [bits, palettised, grey, alpha, spp, bps, w, lineBytes] = layout;
    std::vector<uint8_t> line(std::max<size_t>(lineBytes, w * 4));
    const int32_t h = src.height();
    for (int32_t y = 0; y < h; ++y) {
        uint8_t *o = line.data();
        if (palettised) {
            std::copy_n(src.Row(y), lineBytes, o);
        } else if (bits == 24) {
            SwapRedBlue<3, 3>(src.Row(y), o, w);
        } else {
            // RGB(A) in place over B, G, R, A.
            src.RowToBGRA(y, o);
            SwapRedBlue(o, 4, o, spp, w);
        }
        if (TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0) < 0)
            return kit::Fail("TIFF: a row could not be written");
        kit::ReportProgress(progress, y + 1, h, data);
    }
    return true;
}

// Every row of deep samples, top first, in the machine's order, as libtiff takes them: from a
// copy, since libtiff's differencing works in the buffer it is given, and the samples are the
// host's.
bool WriteSampleRows(TIFF *tif, const kit::SampleView &s, ProgressCallbackFn progress,
                     int32_t data) {
    std::vector<uint16_t> line(static_cast<size_t>(s.width) * static_cast<size_t>(s.channels));
    for (int32_t y = 0; y < s.height; ++y) {
        std::copy_n(s.Row(y), line.size(), line.data());
        if (TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0) < 0)
            return kit::Fail("TIFF: a row could not be written");
        kit::ReportProgress(progress, y + 1, s.height, data);
    }
    return true;
}

// The file being written: libtiff over the host's temporary, one directory per picture.
// The messages outlive the TIFF handle.
class TiffFile {
public:
    explicit TiffFile(const std::string &target) : out_(target), target_(target) {}
    ~TiffFile() {
        if (tif_) TIFFClose(tif_);
        if (handle_.readFd >= 0) close(handle_.readFd);
    }
    TiffFile(const TiffFile &) = delete;
    TiffFile &operator=(const TiffFile &) = delete;

    // Pictures beyond 4 GiB need BigTIFF; ours stay far below (see the decoding limits), but
    // a picture is never refused for its size alone. `bytes`: the rows of every picture.
    bool Start(uint64_t bytes) {
        if (!out_.ok()) return false;
        handle_ = {out_.stream(), open(target_.c_str(), O_RDONLY | O_CLOEXEC)};
        if (handle_.readFd < 0) return kit::Fail(std::strerror(errno));
        TIFFOpenOptions *opts = NewOptions(&messages_);
        if (!opts) return kit::Fail("not enough memory");
        const bool big = bytes > (uint64_t{3} << 30);
        tif_ = TIFFClientOpenExt(target_.c_str(), big ? "w8" : "w", &handle_, ReadProc, WriteProc,
                                 SeekProc, CloseProc, SizeProc, MapProc, UnmapProc, opts);
        TIFFOpenOptionsFree(opts);
        if (!tif_) return kit::Fail("TIFF: the file could not be started");
        compression_ = Compression();
        return true;
    }

    // One directory for the picture; the first carries the EXIF block and the XMP packet,
    // every one the colour profile. `page`, `pages`: its number (from 0) and the count of a
    // document of several, whose directories say so; 0, 1 for a single picture.
    bool Add(const kit::SourcePicture &src, uint16_t page, uint16_t pages,
             ProgressCallbackFn progress, int32_t data) {
        const Layout layout = LayoutOf(src);
        return Directory(
            page, pages, [&] { return SetTags(tif_, src, layout, compression_, page == 0); },
            [&] { return WriteRows(tif_, src, layout, progress, data); });
    }

    // The same for deep samples, stored at 16 bits.
    bool AddSamples(const kit::SampleView &s, uint16_t page, uint16_t pages,
                    ProgressCallbackFn progress, int32_t data) {
        return Directory(
            page, pages, [&] { return SetSampleTags(tif_, s, 16, compression_, page == 0); },
            [&] { return WriteSampleRows(tif_, s, progress, data); });
    }

    bool Finish() {
        TIFF *tif = tif_;
        tif_ = nullptr;
        TIFFClose(tif);
        if (messages_.errors) return kit::Fail("TIFF: the file could not be finished");
        return out_.Close();
    }

private:
    // One directory: setTags() sets the picture's tags, writeRows() its rows.
    template <class SetTagsFn, class WriteRowsFn>
    bool Directory(uint16_t page, uint16_t pages, SetTagsFn setTags, WriteRowsFn writeRows) {
        // The EXIF directory goes first, so that the picture's directory can name it.
        if (const std::string exif = page == 0 ? kit::OutgoingMetadata(FALTRIX_METADATA_EXIF) : "";
            !exif.empty() && !WriteExifFirst(tif_, exif))
            return kit::Fail("TIFF: the EXIF directory could not be written");
        if (!setTags()) return kit::Fail("TIFF: a tag was refused");
        if (pages > 1 && (!TIFFSetField(tif_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) ||
                          !TIFFSetField(tif_, TIFFTAG_PAGENUMBER, page, pages)))
            return kit::Fail("TIFF: a tag was refused");
        if (!writeRows()) return false;
        if (!TIFFWriteDirectory(tif_) || messages_.errors)
            return kit::Fail("TIFF: the directory could not be written");
        return true;
    }

    kit::OutputFile out_;
    std::string target_;
    Handle handle_;
    Messages messages_;
    TIFF *tif_ = nullptr;
    uint16_t compression_ = COMPRESSION_NONE;
};

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::OpenSave(dc, path, &target, &src)) return false;
    TiffFile file(target);
    return file.Start(uint64_t{LayoutOf(src).lineBytes} * uint64_t(src.height())) &&
           file.Add(src, 0, 1, progress, data) && file.Finish();
}

// A document of pages: one directory each, written as it comes. Delays and loops have no
// place in TIFF and are left out.
class PageWriter final : public kit::FrameWriter {
public:
    PageWriter(const std::string &target, int32_t pages) : file_(target), pages_(pages) {}
    bool Start(const kit::Sequence &sequence) {
        sampleBits_ = sequence.sampleBits;
        // At most 4 bytes a pixel are stored, 8 for deep samples.
        return file_.Start(uint64_t(sequence.width) * uint64_t(sequence.height) *
                           (sampleBits_ > 8 ? 8 : 4) * uint64_t(sequence.frameCount));
    }
    bool Add(HDC dc, int32_t, ProgressCallbackFn progress, int32_t data) override {
        kit::SourcePicture src;
        if (!src.Open(dc)) return kit::Fail("no picture to store");
        return Next([&](uint16_t page, uint16_t pages) {
            return file_.Add(src, page, pages, progress, data);
        });
    }
    bool AddSamples(const kit::SampleView &samples, int32_t, ProgressCallbackFn progress,
                    int32_t data) override {
        if (sampleBits_ < 9 || sampleBits_ > 16)
            return kit::Fail("TIFF: the pages begun take 8-bit pictures");
        return Next([&](uint16_t page, uint16_t pages) {
            return file_.AddSamples(samples, page, pages, progress, data);
        });
    }
    bool Finish() override {
        if (added_ != pages_) return kit::Fail("TIFF: fewer pages than announced");
        return file_.Finish();
    }

private:
    // Adds the next page through add(page, pages).
    template <class AddFn>
    bool Next(AddFn add) {
        if (added_ >= pages_) return kit::Fail("TIFF: more pages than announced");
        // PageNumber holds 16 bits: longer documents leave it out.
        const bool numbered = pages_ <= UINT16_MAX;
        if (!add(numbered ? uint16_t(added_) : 0, numbered ? uint16_t(pages_) : 1)) return false;
        ++added_;
        return true;
    }

    TiffFile file_;
    int32_t pages_ = 0, added_ = 0;
    int sampleBits_ = 0;
};

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    auto writer = kit::MakeWriter<PageWriter>(path, sequence.frameCount);
    if (!writer || !writer->Start(sequence)) return nullptr;
    return writer;
}

}  // namespace
}  // namespace faltrix::tiff

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::tiff)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::tiff)
FALTRIX_KIT_DEEP_OUTPUT()
FALTRIX_KIT_SETTINGS(faltrix::tiff, faltrix::tiff::kTitle)
