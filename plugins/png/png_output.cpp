// PNG output plug-in. Palettised pictures stay palettised (a 1-, 4- or 8-bit picture whose
// palette is the full grey ramp is written as grey of that depth), 16 and 24 bits become RGB, 32
// bits RGBA when the picture has alpha and RGB when not. The resolution goes to pHYs. libpng still
// writes every chunk with its length and checksum, the ones before the pixels as it always did; the
// pixels are filtered and compressed here instead, by libdeflate, several times faster than
// the zlib that libpng compresses with: a part of the rows at a time on as many threads as
// there are cores (up to kMaxThreads), each part one IDAT chunk. Parts keep the memory the
// writer adds to a few MiB per thread, whatever the picture's size. The compression level is
// the one setting, chosen in ConfigurationDlg or set as the option "compression" for the session.
#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "deflate_parts.h"
#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "png_common.h"
#include "png_filter.h"

namespace faltrix::png {
namespace {

// The dialog's levels 0 (stored, fastest) to 9 (smallest) as libdeflate's 0 to 12.
constexpr int kLibdeflateLevel[10] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 12};
// The default. From level 2 on, each part of the rows is compressed more than one way and the
// smallest kept (see CompressPart); at 4, a 24-megapixel photo takes about a tenth more
// processor time than libdeflate 4 alone, and every picture of bench/convert/png_sizes.sh comes
// out smaller than zlib's default level 6 with the same filters (at most 0.994 of it).
constexpr int kDefaultLevel = 4;
// The first level that tries more than one way.
constexpr int kFirstTrialLevel = 2;
// A part whose filtered bytes are this share 0 or more is flat, a chart's or a screenshot's:
// left unfiltered its rows often compress better still (repeated runs of pixels match as
// they stand, where the filters turn each edge into bytes of their own), and general matching
// runs several times as fast on it as on a photo, so that two levels more cost little. Photos
// stay far below (at most 0.41 in the benchmark's; flat parts at least 0.88).
constexpr double kFlatShare = 0.85;
constexpr int kFlatLevelsUp = 2;
// The parts of a photo are alike: a way (libdeflate or run-length) that gave a part a stream
// this much larger than the other is skipped on the thread's next kSkippedParts parts that are
// not flat, then tried again. On the benchmark's 24-megapixel photo, where libdeflate wins every
// part by 3 %, trying both on every part took 50 % more time for the same file.
constexpr double kClearWin = 1.02;
constexpr int kSkippedParts = 7;
// Where neither way won clearly on the thread's last part, libdeflate works one level harder on
// the next: photos whose noise leaves the two ways close come out a little smaller for a third
// more of libdeflate's time on those parts alone. A thread's first part stays at the level, as
// does every part of a photo where one way wins clearly: small pictures have few parts a thread,
// and a first part one level up cost them 6 % more time for 0.3 % fewer bytes.

// Filtered bytes per part: large enough that the matches a part cannot reach into the one
// before cost nothing measurable, small enough to stay in the caches' reach.
constexpr size_t kPartBytes = size_t{1} << 20;
constexpr unsigned kMaxThreads = 4;
constexpr char kTitle[] = "PNG output";  // of the settings dialog, naming its kept values

// The session's compression level, set by the dialog or SetPluginOption, read by any job; the
// dialog program keeps a confirmed level between runs.
kit::Options options({{"compression",
                       "Compression level (0 fastest, 9 smallest)",
                       kit::Setting::Kind::Integer,
                       0,
                       9,
                       {},
                       kDefaultLevel}});
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

// How a row of the picture becomes PNG's bytes.
enum class Rows {
    Packed,      // palette indices or grey, as stored
    Bgr,         // 24 bits
    Bgra,        // 32 bits B, G, R, A with alpha
    Bgrx,        // 32 bits B, G, R and a byte that is dropped
    MaskedBgra,  // 32 bits with other masks and alpha, through the kit
    OnWhite      // anything else, through the kit, transparency on white
};

struct Plan {
    int colorType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    Rows rows = Rows::Bgr;
    png_color palette[256] = {};
    int paletteSize = 0;
    int level = kDefaultLevel;
    bool trials = true;   // whether parts are compressed more than one way
    size_t rowBytes = 0;  // PNG's bytes of one row, without the filter byte
    size_t bpp = 1;       // bytes of a pixel for filtering; 1 for depths below 8
};

}  // namespace

// Grey when the palette is the full grey ramp of its depth (the DIB a grey PNG or a grey fax
// decodes to), whose indices are grey samples as they stand; every other palette is PLTE's
// RGB entries, and deeper pictures RGB.
kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    if (layout.bitCount <= 8 && kit::IsGreyRamp(layout.palette, layout.bitCount))
        return kit::StoredColour::kGrey;
    return kit::StoredColour::kColour;
}

namespace {

// The largest index the rows hold, as stored (the rows go to the file unchanged).
int MaxRawIndex(const kit::SourcePicture &src) {
    const int bits = src.bitCount();
    int most = 0;
    for (int32_t y = 0; y < src.height(); ++y) {
        const uint8_t *row = src.Row(y);
        for (int32_t x = 0; x < src.width(); ++x) {
            most = std::max(most, int(ReadDibIndex(row, size_t(x), bits)));
        }
    }
    return most;
}

// Row y as PNG's bytes (plan.rowBytes) in out; scratch holds 4 * width bytes. Reads the
// picture only, so that threads may call it at once, except for Rows::OnWhite, whose kit call
// keeps a buffer of its own.
void PngRow(const kit::SourcePicture &src, const Plan &plan, int32_t y, uint8_t *__restrict out,
            uint8_t *__restrict scratch) {
    const size_t w = size_t(src.width());
    const uint8_t *in = src.Row(y);
    switch (plan.rows) {
    case Rows::Packed:
        std::memcpy(out, in, plan.rowBytes);
        // The bits past the last pixel are cleared: what they hold is not the picture's.
        if (const size_t bits = w * size_t(plan.bitDepth) % 8; bits != 0)
            out[plan.rowBytes - 1] &= uint8_t(0xFF00u >> bits);
        return;
    case Rows::Bgr: SwapRedBlue<3, 3>(in, out, w); return;
    case Rows::MaskedBgra:
        src.RowToBGRA(y, scratch);
        in = scratch;
        [[fallthrough]];
    case Rows::Bgra: SwapRedBlue<4, 4>(in, out, w); return;
    case Rows::Bgrx: SwapRedBlue<4, 3>(in, out, w); return;
    case Rows::OnWhite:
        src.RowToBGROnWhite(y, scratch);
        SwapRedBlue<3, 3>(scratch, out, w);
        return;
    }
}

// What one thread needs for a part, all allocated before the threads start, since nothing
// may throw on them.
struct Worker {
    libdeflate_compressor *compressor = nullptr;
    libdeflate_compressor *flatCompressor = nullptr;   // flat parts' level; null: no trials
    libdeflate_compressor *closeCompressor = nullptr;  // one level up, for close calls
    z_stream runLength{};                              // set up when there are trials
    bool runLengthStarted = false;
    std::vector<uint8_t> rows[2];  // this row and the one above, each after bpp zero bytes
    std::vector<uint8_t> scratch;
    // The part's rows each with its filter [0], and unfiltered [1] when there are trials.
    std::vector<uint8_t> filtered[2];
    // Two ways' streams, each after 2 bytes for the zlib header and with 4 for the checksum.
    std::vector<uint8_t> packed[2];
    size_t filteredSize = 0, packedSize = 0;
    int filteredUsed = 0, packedUsed = 0;  // what the kept stream is of, and where it is
    // The parts this thread still skips libdeflate or run-length on (see kClearWin).
    int generalRest = 0, runLengthRest = 0;
    bool clearWin = true;  // whether one way won the thread's last comparison clearly (or none yet)

    Worker() = default;
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;
    ~Worker() {
        libdeflate_free_compressor(compressor);
        libdeflate_free_compressor(flatCompressor);
        libdeflate_free_compressor(closeCompressor);
        if (runLengthStarted) deflateEnd(&runLength);
    }
    // Compresses filtered[rows] one way (compress(in, n, out, capacity) -> bytes, 0 on
    // failure) into the buffer that does not hold the smallest stream so far, and keeps it if
    // it is smaller.
    template <class Compress>
    size_t Try(int rows, Compress compress) {
        const int into = packedSize == 0 ? 0 : 1 - packedUsed;
        std::vector<uint8_t> &out = packed[into];
        const size_t size =
            compress(filtered[rows].data(), filteredSize, out.data() + 2, out.size() - 6);
        if (size == 0 || (packedSize != 0 && size >= packedSize)) return size;
        packedSize = size;
        packedUsed = into;
        filteredUsed = rows;
        return size;
    }
};

// Filters rows [first, end) of the picture and compresses them as one part of the stream:
// with libdeflate; from kFirstTrialLevel on, also with zlib's run-length strategy (smaller on
// most photos), and a flat part also unfiltered, both ways with libdeflate kFlatLevelsUp
// levels up; the smallest stream is kept. packedSize stays 0 on failure.
void CompressPart(const kit::SourcePicture &src, const Plan &plan, int32_t first, int32_t end,
                  bool last, Worker *w) {
    uint8_t *row = w->rows[0].data() + plan.bpp, *above = w->rows[1].data() + plan.bpp;
    if (first > 0) PngRow(src, plan, first - 1, above, w->scratch.data());
    else std::memset(above, 0, plan.rowBytes);
    uint8_t *out = w->filtered[0].data(), *plain = w->filtered[1].data();
    for (int32_t y = first; y < end; ++y) {
        PngRow(src, plan, y, row, w->scratch.data());
        FilterRow(row, above, plan.rowBytes, plan.bpp, out);
        out += plan.rowBytes + 1;
        if (plan.trials) {
            *plain = 0;
            std::memcpy(plain + 1, row, plan.rowBytes);
            plain += plan.rowBytes + 1;
        }
        std::swap(row, above);
    }
    const size_t n = size_t(out - w->filtered[0].data());
    w->filteredSize = n;
    w->packedSize = 0;
    const bool flat =
        plan.trials && double(CountZeros(w->filtered[0].data(), n)) >= kFlatShare * double(n);
    const auto withLibdeflate = [&](libdeflate_compressor *c) {
        return [=](const uint8_t *in, size_t size, uint8_t *to, size_t room) {
            return DeflatePart(c, in, size, last, to, room);
        };
    };
    if (!plan.trials) {
        w->Try(0, withLibdeflate(w->compressor));
        return;
    }
    const bool general = flat || w->generalRest == 0, runLength = flat || w->runLengthRest == 0;
    libdeflate_compressor *const generalCompressor = flat          ? w->flatCompressor
                                                     : w->clearWin ? w->compressor
                                                                   : w->closeCompressor;
    const size_t generalSize = general ? w->Try(0, withLibdeflate(generalCompressor)) : 0;
    const size_t runLengthSize =
        runLength ? w->Try(0,
                           [&](const uint8_t *in, size_t size, uint8_t *to, size_t room) {
                               return RunLengthPart(&w->runLength, in, size, last, to, room);
                           })
                  : 0;
    if (!general) --w->generalRest;
    if (!runLength) --w->runLengthRest;
    if (!flat && general && runLength && generalSize != 0 && runLengthSize != 0) {
        const double ratio = double(runLengthSize) / double(generalSize);
        if (ratio > kClearWin) w->runLengthRest = kSkippedParts;
        if (ratio < 1 / kClearWin) w->generalRest = kSkippedParts;
        w->clearWin = ratio > kClearWin || ratio < 1 / kClearWin;
    }
    if (flat) w->Try(1, withLibdeflate(w->flatCompressor));
    if (w->packedSize == 0 && !general) w->Try(0, withLibdeflate(w->compressor));
}

// Sets up a worker's compressors and buffers for parts of rowsPerPart rows; false when
// memory runs short.
bool Prepare(const kit::SourcePicture &src, const Plan &plan, int32_t rowsPerPart, Worker *w) {
    w->compressor = libdeflate_alloc_compressor(kLibdeflateLevel[plan.level]);
    if (!w->compressor) return false;
    const size_t filtered = size_t(rowsPerPart) * (plan.rowBytes + 1);
    size_t packed = DeflatePartBound(w->compressor, filtered);
    if (plan.trials) {
        w->flatCompressor =
            libdeflate_alloc_compressor(kLibdeflateLevel[std::min(9, plan.level + kFlatLevelsUp)]);
        w->closeCompressor =
            libdeflate_alloc_compressor(kLibdeflateLevel[std::min(9, plan.level + 1)]);
        w->runLengthStarted = StartRunLength(&w->runLength);
        if (!w->flatCompressor || !w->closeCompressor || !w->runLengthStarted) return false;
        packed = std::max({packed, DeflatePartBound(w->flatCompressor, filtered),
                           DeflatePartBound(w->closeCompressor, filtered),
                           RunLengthBound(&w->runLength, filtered)});
    }
    for (auto &r : w->rows) r.assign(plan.bpp + plan.rowBytes, 0);
    w->scratch.resize(size_t(src.width()) * 4);
    for (int i = 0; i < (plan.trials ? 2 : 1); ++i) {
        w->filtered[i].resize(filtered);
        w->packed[i].resize(packed + 6);
    }
    return true;
}

}  // namespace

// The items the host set, as PNG keeps them: iCCP, eXIf, and the XMP packet in an
// uncompressed iTXt chunk named "XML:com.adobe.xmp".
bool KeepsMetadata(std::string_view key, size_t) {
    if (key == FALTRIX_METADATA_TRANSPARENCY) return true;  // alpha is kept
    return key == FALTRIX_METADATA_ICC || key == FALTRIX_METADATA_EXIF ||
           key == FALTRIX_METADATA_XMP;
}

namespace {

// libpng's verdict on a profile: its last complaint, which for a profile it drops is the
// reason ("profile 'ICC profile': 0h: PCS illuminant is not D50").
struct ProfileVerdict {
    char complaint[200] = "";
};

void NoteComplaint(png_structp png, png_const_charp message) {
    auto *verdict = static_cast<ProfileVerdict *>(png_get_error_ptr(png));
    std::snprintf(verdict->complaint, sizeof verdict->complaint, "%s", message ? message : "");
}

[[noreturn]] void OnCheckError(png_structp png, png_const_charp message) {
    NoteComplaint(png, message);
    png_longjmp(png, 1);
}

}  // namespace

// The checks we share with other PNG writers: libpng's test for the known sRGB profiles is
// skipped, since it refuses the widespread "sRGB IEC61966-2.1" profile (version 2) that most
// photos carry, and a benign error (a profile libpng finds wrong) drops the chunk with a
// warning instead of failing the picture.
void RelaxProfileChecks(png_structp png) {
#ifdef PNG_SKIP_sRGB_CHECK_PROFILE
    png_set_option(png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
#endif
    png_set_benign_errors(png, 1);
}

bool SetPictureChunks(png_structp png, png_infop info, int32_t xppm, int32_t yppm,
                      const Items &items, const char *refused) {
    if (xppm > 0 && yppm > 0)
        png_set_pHYs(png, info, png_uint_32(xppm), png_uint_32(yppm), PNG_RESOLUTION_METER);
    if (!items.icc.empty()) {
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(items.icc.data()),
                     png_uint_32(items.icc.size()));
        if (!png_get_valid(png, info, PNG_INFO_iCCP)) return kit::Fail(refused);
    }
    if (!items.exif.empty())
        png_set_eXIf_1(png, info, png_uint_32(items.exif.size()),
                       reinterpret_cast<png_bytep>(const_cast<char *>(items.exif.data())));
    if (!items.xmp.empty()) {
        png_text xmp{};  // libpng copies it
        xmp.compression = PNG_ITXT_COMPRESSION_NONE;
        xmp.key = const_cast<char *>("XML:com.adobe.xmp");
        xmp.text = const_cast<char *>(items.xmp.c_str());
        xmp.itxt_length = items.xmp.size();
        png_set_text(png, info, &xmp, 1);
    }
    return true;
}

namespace {

// PNG's colour type that a profile of that colour space goes with (bytes 16 to 19).
int ColourTypeFor(std::string_view icc) {
    return icc.size() >= 20 && icc.substr(16, 4) == "GRAY" ? PNG_COLOR_TYPE_GRAY
                                                           : PNG_COLOR_TYPE_RGB;
}

// 0 when libpng keeps the profile on a picture of colour type colorType: png_set_iCCP on
// scratch state runs every check it makes while writing. Trivially destructible locals only.
int TryProfile(png_structp png, png_infop info, const char *bytes, png_uint_32 size,
               int colorType) {
    if (setjmp(png_jmpbuf(png))) return 1;
    png_set_IHDR(png, info, 1, 1, 8, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE,
                 reinterpret_cast<png_const_bytep>(bytes), size);
    return png_get_valid(png, info, PNG_INFO_iCCP) ? 0 : 1;
}

}  // namespace

// A profile goes into iCCP only when libpng takes it; the reason for a refusal is libpng's,
// without its prefix naming the chunk.
bool AcceptsMetadata(std::string_view key, std::string_view bytes) {
    if (key != FALTRIX_METADATA_ICC) return true;
    Writer scratch;
    if (!scratch.ok()) return kit::Fail("could not be checked: not enough memory");
    ProfileVerdict verdict;
    png_set_error_fn(scratch.png, &verdict, OnCheckError, NoteComplaint);
    RelaxProfileChecks(scratch.png);
    if (TryProfile(scratch.png, scratch.info, bytes.data(), png_uint_32(bytes.size()),
                   ColourTypeFor(bytes)) == 0)
        return true;
    std::string_view reason(verdict.complaint);
    if (const size_t colon = reason.rfind(": "); colon != std::string_view::npos)
        reason.remove_prefix(colon + 2);
    if (reason.empty()) reason = "no reason given";
    return kit::Fail(std::string("libpng rejects: ") + std::string(reason));
}

namespace {

// libpng's part: the chunks before the pixels. setjmp lives in each of these helpers:
// trivially destructible locals only. 0 on success.
int WriteHead(Writer *w, FILE *file, const kit::SourcePicture *src, const Plan *plan,
              const Items *items) {
    if (setjmp(png_jmpbuf(w->png))) return 1;
    png_init_io(w->png, file);
    RelaxProfileChecks(w->png);
    png_set_IHDR(w->png, w->info, png_uint_32(src->width()), png_uint_32(src->height()),
                 plan->bitDepth, plan->colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (plan->colorType == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(w->png, w->info, plan->palette, plan->paletteSize);
    if (!SetPictureChunks(w->png, w->info, src->xPelsPerMeter(), src->yPelsPerMeter(), *items,
                          "PNG: libpng rejects the colour profile for this picture"))
        return 1;
    png_write_info(w->png, w->info);
    return 0;
}

int WriteChunk(Writer *w, const char *name, const uint8_t *data, size_t size) {
    if (setjmp(png_jmpbuf(w->png))) return 1;
    png_write_chunk(w->png, reinterpret_cast<png_const_bytep>(name), data, size);
    return 0;
}

// Fills the plan's layout from the picture. The palette: a short colour table is padded with
// black so that every index in the rows names an entry, as decoders refuse indices past it.
Plan MakePlan(const kit::SourcePicture &src, int level) {
    Plan plan;
    plan.level = level;
    plan.trials = level >= kFirstTrialLevel;
    const int bits = src.bitCount();
    const uint32_t *m = src.masks();
    const bool standard32 = m[0] == 0xFF0000 && m[1] == 0xFF00 && m[2] == 0xFF;
    int channels = 3;
    if (StoredColour({bits, src.palette()}) == kit::StoredColour::kGrey) {
        plan.colorType = PNG_COLOR_TYPE_GRAY;
        plan.bitDepth = bits;
        plan.rows = Rows::Packed;
        channels = 1;
    } else if (bits <= 8) {
        plan.colorType = PNG_COLOR_TYPE_PALETTE;
        plan.bitDepth = bits;
        plan.rows = Rows::Packed;
        channels = 1;
        int used = int(src.palette().size());
        if (used < (1 << bits)) used = std::max(used, MaxRawIndex(src) + 1);
        for (size_t i = 0; i < src.palette().size(); ++i) {
            const RGBQUAD &q = src.palette()[i];
            plan.palette[i] = png_color{q.rgbRed, q.rgbGreen, q.rgbBlue};
        }
        plan.paletteSize = std::min(used, 1 << bits);
    } else if (bits == 24) {
        plan.rows = Rows::Bgr;
    } else if (bits == 32 && src.HasAlpha()) {
        plan.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
        plan.rows = standard32 ? Rows::Bgra : Rows::MaskedBgra;
        channels = 4;
    } else if (bits == 32 && standard32) {
        plan.rows = Rows::Bgrx;
    } else {
        plan.rows = Rows::OnWhite;
    }
    const size_t pixelBits = size_t(channels) * size_t(plan.bitDepth);
    plan.rowBytes = (size_t(src.width()) * pixelBits + 7) / 8;
    plan.bpp = std::max<size_t>(1, pixelBits / 8);
    return plan;
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    std::string name;
    if (!kit::PathToBytes(path, &name)) return false;
    const Plan plan = MakePlan(src, options.Get("compression"));

    const int32_t height = src.height();
    const int32_t rowsPerPart =
        int32_t(std::clamp<size_t>(kPartBytes / (plan.rowBytes + 1), 1, size_t(height)));
    const int32_t parts = (height + rowsPerPart - 1) / rowsPerPart;
    unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    if (plan.rows == Rows::OnWhite) threads = 1;
    threads = std::min(threads, unsigned(parts));
    std::vector<Worker> workers(threads);
    for (Worker &w : workers)
        if (!Prepare(src, plan, rowsPerPart, &w)) return kit::Fail("not enough memory");

    Writer writer;
    if (!writer.ok()) return kit::Fail("not enough memory");
    kit::OutputFile out(name);
    if (!out.ok()) return false;
    const auto failed = [] { return kit::Fail("PNG: the picture could not be written"); };
    const Items items;
    if (WriteHead(&writer, out.stream(), &src, &plan, &items) != 0) return failed();

    uint32_t adler = 1;
    for (int32_t round = 0; round < parts; round += int32_t(threads)) {
        const int32_t count = std::min(int32_t(threads), parts - round);
        const auto work = [&](int32_t t) {
            const int32_t part = round + t, first = part * rowsPerPart;
            CompressPart(src, plan, first, std::min(height, first + rowsPerPart), part == parts - 1,
                         &workers[size_t(t)]);
        };
        {
            std::vector<std::jthread> helpers;
            for (int32_t t = 1; t < count; ++t) helpers.emplace_back(work, t);
            work(0);
        }
        for (int32_t t = 0; t < count; ++t) {
            Worker &w = workers[size_t(t)];
            if (w.packedSize == 0) return failed();
            const int32_t part = round + t;
            adler = libdeflate_adler32(adler, w.filtered[w.filteredUsed].data(), w.filteredSize);
            uint8_t *begin = w.packed[w.packedUsed].data() + 2, *end = begin + w.packedSize;
            if (part == 0) {
                begin -= 2;
                ZlibHeader(kLibdeflateLevel[plan.level], begin);
            }
            if (part == parts - 1) {
                for (int shift = 24; shift >= 0; shift -= 8) *end++ = uint8_t(adler >> shift);
            }
            if (WriteChunk(&writer, "IDAT", begin, size_t(end - begin)) != 0) return failed();
            const int32_t first = part * rowsPerPart, last = std::min(height, first + rowsPerPart);
            for (int32_t y = first; y < last; ++y)
                kit::ReportProgress(progress, y + 1, height, data);
        }
    }
    if (WriteChunk(&writer, "IEND", nullptr, 0) != 0) return failed();
    return out.Close();
}

}  // namespace

int LibdeflateLevel() { return kLibdeflateLevel[options.Get("compression")]; }

}  // namespace faltrix::png

FALTRIX_KIT_BUNDLED_OUTPUT_CHECKED(faltrix::png)
FALTRIX_KIT_SETTINGS(faltrix::png, faltrix::png::kTitle)
