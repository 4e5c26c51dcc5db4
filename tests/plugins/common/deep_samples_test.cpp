// Deep samples through the PNG and TIFF plug-ins' GetFrameSamples and AddFrameSamples, against
// files that libpng and libtiff themselves write and read: exact to the sample both ways, the
// depth of a 10- or 12-bit source kept, frames and pages deep, hostile files refused.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "codec_test_support.h"

namespace faltrix::testing {
namespace {

using Samples = std::vector<uint16_t>;
struct Picture {
    int32_t width = 31, height = 7;
    int channels = 0, bits = 0;  // bits: of the sequence (info.sampleBits)
    std::vector<Samples> frames;
};

// Noise of `bits` bits, which uses every bit of each sample.
Samples Noise(const Picture &p, int bits, uint32_t seed) {
    Samples s(size_t(p.width) * p.height * p.channels);
    for (uint16_t &v : s) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        v = uint16_t(seed >> (32 - bits));
    }
    return s;
}
uint16_t Widen(uint32_t v, int bits) { return uint16_t((v * 65535 + (1u << bits) / 2 - 1) / ((1u << bits) - 1)); }

void *Allocate(SamplePicture *p) {
    auto *samples = new Samples(size_t(p->width) * p->height * p->channels);
    p->stride = int64_t(p->width) * p->channels * 2;
    p->owner = samples;
    return p->data = samples->data();
}

// Every frame at full depth; stops at the first failure, whose cause goes to *failure.
Picture ReadDeep(const std::string &format, const std::filesystem::path &file,
                 std::string *failure = nullptr) {
    const CodecPlugin &in = Loaded(format, "input");
    const auto get = reinterpret_cast<GetFrameSamplesFn>(in.Symbol("GetFrameSamples"));
    FrameSequenceInfo info{};
    info.size = sizeof info;
    void *reader = nullptr;
    Picture p;
    if (reinterpret_cast<OpenFramesFn>(in.Symbol("OpenFrames"))(U16(file).c_str(), &info, &reader))
        return p;
    p.width = info.width, p.height = info.height, p.bits = info.sampleBits;
    for (int32_t k = 0; k < info.frameCount; ++k) {
        SamplePicture s{};
        s.size = sizeof s, s.width = info.width, s.height = info.height;
        FrameInfo frame{};
        frame.size = sizeof frame;
        const int32_t answer = get(reader, k, &frame, &s, nullptr, 0, Allocate);
        std::unique_ptr<Samples> owned(static_cast<Samples *>(s.owner));
        if (answer != 0) {
            if (failure) *failure = in.LastFailureText().toStdString();
            break;
        }
        p.channels = s.channels;
        p.frames.push_back(*owned);
    }
    reinterpret_cast<CloseFramesFn>(in.Symbol("CloseFrames"))(reader);
    return p;
}

int32_t WriteDeep(const std::string &format, const std::filesystem::path &file, Picture p) {
    const CodecPlugin &out = Loaded(format, "output");
    FrameSequenceInfo info{};
    info.size = sizeof info, info.width = p.width, info.height = p.height;
    info.frameCount = int32_t(p.frames.size()), info.loopCount = 0, info.sampleBits = p.bits;
    void *writer = nullptr;
    if (int32_t answer = reinterpret_cast<BeginFramesFn>(out.Symbol("BeginFrames"))(
            U16(file).c_str(), &info, &writer))
        return answer;
    const auto add = reinterpret_cast<AddFrameSamplesFn>(out.Symbol("AddFrameSamples"));
    int32_t failed = 0;
    for (Samples &frame : p.frames) {
        SamplePicture s{};
        s.size = sizeof s, s.width = p.width, s.height = p.height, s.channels = p.channels;
        s.bits = 16, s.significantBits = p.bits, s.stride = int64_t(p.width) * p.channels * 2;
        s.data = frame.data();
        FrameInfo delay{};
        delay.size = sizeof delay, delay.delay = 40;
        if (!failed) failed = add(writer, &s, &delay, nullptr, 0);
    }
    return reinterpret_cast<EndFramesFn>(out.Symbol("EndFrames"))(writer, failed ? 0 : 1) | failed;
}

constexpr int kPngType[4] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                             PNG_COLOR_TYPE_RGB_ALPHA};

// A 16-bit PNG by libpng (samples in the machine's order), with sBIT `bits` below 16 and a tRNS key.
void WritePng(const std::filesystem::path &file, const Picture &p, Samples s, int bits,
              const png_color_16 *key = nullptr) {
    FILE *f = std::fopen(file.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, p.width, p.height, 16, kPngType[p.channels - 1], 0, 0, 0);
    png_color_8 sig{png_byte(bits), png_byte(bits), png_byte(bits), png_byte(bits), png_byte(bits)};
    if (bits < 16) png_set_sBIT(png, info, &sig);
    if (key) png_set_tRNS(png, info, nullptr, 0, key);
    std::vector<png_bytep> rows(p.height);
    for (int y = 0; y < p.height; ++y) rows[y] = reinterpret_cast<png_bytep>(&s[size_t(y) * p.width * p.channels]);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_SWAP_ENDIAN, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// The default picture of a PNG by libpng: its samples, colour type and sBIT (0 without).
Samples ReadPng(const std::filesystem::path &file, int *colour, int *bits) {
    FILE *f = std::fopen(file.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_SWAP_ENDIAN, nullptr);
    *colour = png_get_bit_depth(png, info) == 16 ? png_get_color_type(png, info) : -1;
    png_color_8p sig = nullptr;
    *bits = png_get_sBIT(png, info, &sig) ? sig->red | sig->gray : 0;
    Samples s;
    const size_t n = png_get_rowbytes(png, info) / 2;
    for (png_uint_32 y = 0; y < png_get_image_height(png, info); ++y) {
        const auto *row = reinterpret_cast<const uint16_t *>(png_get_rows(png, info)[y]);
        s.insert(s.end(), row, row + n);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return s;
}

// Pages by libtiff: 16-bit, each plane apart when `separate`; an extra sample is alpha.
void WriteTiff(const std::filesystem::path &file, const Picture &p, bool separate) {
    TIFF *tif = TIFFOpen(file.c_str(), "w");
    for (const Samples &page : p.frames) {
        const uint16_t alpha[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width), TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16), TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.channels);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
        if (p.channels % 2 == 0) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, alpha);
        const int planes = separate ? p.channels : 1, step = separate ? p.channels : 1;
        Samples line(size_t(p.width) * p.channels);
        for (int plane = 0; plane < planes; ++plane)
            for (int y = 0; y < p.height; ++y) {
                for (size_t i = 0; i * step < line.size(); ++i)
                    line[i] = page[size_t(y) * line.size() + i * step + plane];
                TIFFWriteScanline(tif, line.data(), y, uint16_t(plane));
            }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

// Every page by libtiff, contiguous: its bits and its samples unpacked.
std::vector<std::pair<int, Samples>> ReadTiff(const std::filesystem::path &file) {
    std::vector<std::pair<int, Samples>> pages;
    TIFF *tif = TIFFOpen(file.c_str(), "r");
    do {
        uint32_t w = 0, h = 0;
        uint16_t bits = 0, spp = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w), TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits), TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
        std::vector<uint8_t> line(TIFFScanlineSize(tif));
        Samples s;
        for (uint32_t y = 0; y < h; ++y) {
            TIFFReadScanline(tif, line.data(), y, 0);
            for (size_t i = 0, bit = 0; i < size_t(w) * spp; ++i, bit += bits) {
                uint32_t v = 0;
                for (int b = 0; b < bits; ++b)
                    v = v << 1 | (bits == 16 ? (reinterpret_cast<uint16_t *>(line.data())[i] >> (15 - b)) & 1
                                             : (line[(bit + b) / 8] >> (7 - (bit + b) % 8)) & 1);
                s.push_back(uint16_t(v));
            }
        }
        pages.emplace_back(bits, s);
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

struct Layout {
    const char *name;
    int channels;
    bool key;     // PNG: a tRNS key (the first pixel's colour), which makes alpha
    bool planes;  // TIFF: each sample in a plane of its own
};
class DeepLayouts : public ::testing::TestWithParam<Layout> {};
INSTANTIATE_TEST_SUITE_P(, DeepLayouts,
                         ::testing::Values(Layout{"grey", 1, false, false},
                                           Layout{"grey_alpha", 2, false, true},
                                           Layout{"rgb", 3, false, false},
                                           Layout{"rgba", 4, false, true},
                                           Layout{"grey_key", 1, true, false},
                                           Layout{"rgb_key", 3, true, true}),
                         kCaseName);

TEST_P(DeepLayouts, PngAndTiffRoundTripsAreExact) {
    TempDir dir;
    Picture p;
    p.channels = GetParam().channels, p.bits = 16;
    p.frames = {Noise(p, 16, 7)};
    const Samples &s = p.frames[0];
    Picture want = p;
    png_color_16 key{0, s[0], s[size_t(p.channels / 2)], s[size_t(p.channels - 1)], s[0]};
    WritePng(dir / "in.png", p, s, 16, GetParam().key ? &key : nullptr);
    if (GetParam().key) {
        want.channels = p.channels + 1;
        want.frames[0].clear();
        for (auto i = s.begin(); i != s.end(); i += p.channels) {
            want.frames[0].insert(want.frames[0].end(), i, i + p.channels);
            want.frames[0].push_back(std::equal(i, i + p.channels, s.begin()) ? 0 : 65535);
        }
    }
    const Picture png = ReadDeep("png", dir / "in.png");
    EXPECT_EQ(png.bits, 16);
    EXPECT_EQ(png.channels, want.channels);
    EXPECT_EQ(png.frames, want.frames);
    ASSERT_EQ(WriteDeep("png", dir / "out.png", png), 0);
    int colour = 0, bits = 0;
    EXPECT_EQ(ReadPng(dir / "out.png", &colour, &bits), want.frames[0]);
    EXPECT_EQ(colour, kPngType[want.channels - 1]);
    EXPECT_EQ(bits, 0);  // no sBIT: every bit counts

    WriteTiff(dir / "in.tif", p, GetParam().planes);
    const Picture tiff = ReadDeep("tiff", dir / "in.tif");
    EXPECT_EQ(tiff.bits, 16);
    EXPECT_EQ(tiff.frames, p.frames);
    ASSERT_EQ(WriteDeep("tiff", dir / "out.tif", tiff), 0);
    EXPECT_EQ(ReadTiff(dir / "out.tif"), (std::vector<std::pair<int, Samples>>{{16, s}}));
}

// A 10-bit source (a PNG whose sBIT says 10, its samples widened by bit replication) keeps its
// 10 bits: sBIT in PNG, BitsPerSample in TIFF; and 12-bit pages and APNG frames stay deep.
TEST(DeepSamples, SourceDepthAndFramesAreKept) {
    TempDir dir;
    Picture p;
    p.channels = 3;
    const Samples ten = Noise(p, 10, 3);
    Samples replicated, widened;
    for (uint16_t v : ten) replicated.push_back(uint16_t(v << 6 | v >> 4)), widened.push_back(Widen(v, 10));
    WritePng(dir / "ten.png", p, replicated, 10);
    const Picture read = ReadDeep("png", dir / "ten.png");
    EXPECT_EQ(read.bits, 10);
    ASSERT_EQ(read.frames, std::vector<Samples>{widened});
    ASSERT_EQ(WriteDeep("png", dir / "ten-out.png", read), 0);
    int colour = 0, bits = 0;
    Samples stored = ReadPng(dir / "ten-out.png", &colour, &bits);
    for (uint16_t &v : stored) v >>= 6;
    EXPECT_EQ(bits, 10);
    EXPECT_EQ(stored, ten);
    ASSERT_EQ(WriteDeep("tiff", dir / "ten.tif", read), 0);
    EXPECT_EQ(ReadTiff(dir / "ten.tif"), (std::vector<std::pair<int, Samples>>{{10, ten}}));

    Picture frames;
    frames.channels = 2, frames.bits = 12;
    for (uint32_t seed : {1u, 2u, 3u}) {
        frames.frames.push_back(Noise(frames, 12, seed));
        for (uint16_t &v : frames.frames.back()) v = Widen(v, 12);
    }
    ASSERT_EQ(WriteDeep("tiff", dir / "pages.tif", frames), 0);
    ASSERT_EQ(WriteDeep("png", dir / "frames.png", frames), 0);
    EXPECT_EQ(ReadTiff(dir / "pages.tif").size(), 3u);
    EXPECT_EQ(ReadTiff(dir / "pages.tif")[2].first, 12);
    for (const auto &[name, format] : {std::pair{"pages.tif", "tiff"}, {"frames.png", "png"}}) {
        const Picture back = ReadDeep(format, dir / name);
        EXPECT_EQ(back.bits, 12) << name;
        EXPECT_EQ(back.frames, frames.frames) << name;
    }
}

// A 16-bit PNG cut short; one whose header says twice its width, so that its rows are those of
// an 8-bit picture under a 16-bit header; a TIFF whose strip holds half the samples it says:
// each fails with its cause.
TEST(DeepSamples, HostileFilesFailCleanly) {
    TempDir dir;
    Picture p;
    p.channels = 1;
    WritePng(dir / "deep.png", p, Noise(p, 16, 5), 16);
    const Bytes bytes = ReadFile(dir / "deep.png");
    Bytes liar = bytes;
    liar[19] = uint8_t(p.width * 2);  // IHDR's width, then its CRC
    const uLong crc = crc32(0, liar.data() + 12, 17);
    for (int i = 0; i < 4; ++i) liar[29 + i] = uint8_t(crc >> (24 - 8 * i));
    const auto save = [&](const char *name, const Bytes &b) {
        FILE *f = std::fopen((dir / name).c_str(), "wb");
        std::fwrite(b.data(), 1, b.size(), f), std::fclose(f);
        return dir / name;
    };
    TIFF *tif = TIFFOpen((dir / "short.tif").c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 31), TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 7);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16), TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK), TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 7);
    std::vector<uint8_t> half(31 * 7);
    TIFFWriteRawStrip(tif, 0, half.data(), tmsize_t(half.size()));
    TIFFClose(tif);
    const std::pair<std::filesystem::path, const char *> files[] = {
        {save("cut.png", Bytes(bytes.begin(), bytes.begin() + bytes.size() * 2 / 3)), "png"},
        {save("liar.png", liar), "png"}, {dir / "short.tif", "tiff"}};
    for (const auto &[file, format] : files) {
        std::string failure;
        const Picture read = ReadDeep(format, file, &failure);
        EXPECT_EQ(read.bits, 16) << file;
        EXPECT_TRUE(read.frames.empty()) << file;
        EXPECT_NE(failure, "") << file;
    }
}

}  // namespace
}  // namespace faltrix::testing
