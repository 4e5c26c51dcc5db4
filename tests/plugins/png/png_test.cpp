// The PNG input plug-in, loaded from the build tree: the PNG suite against Qt's reader (and
// libpng's own where Qt errs) and hostile files. Round trips and the compression level dialog
// are in the conversion matrix.
#include <png.h>
#include <zlib.h>

#include "codec_harness.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

const CodecPlugin In("png", "input");

// ---- The PNG suite -------------------------------------------------------------------------

// The depth the decoder should choose, from the file's header and whether it has tRNS.
int ExpectedDepth(const Bytes &file) {
    const int bitDepth = file[24], colorType = file[25];
    const bool trns = std::search(file.begin(), file.end(), std::begin("tRNS"), std::end("tRNS") - 1) != file.end();
    if (trns || colorType == 4 || colorType == 6) return 32;
    if (colorType == 3) return bitDepth == 2 ? 4 : bitDepth;
    return colorType == 0 ? 8 : 24;
}

// libpng's simplified reader, asked for 16-bit linear samples so that no gamma is applied
// (linear output is premultiplied; a tRNS key gives only clear or opaque pixels).
QImage LibpngReference(const fs::path &file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, file.c_str())) return {};
    image.format = PNG_FORMAT_LINEAR_RGB_ALPHA;
    std::vector<uint16_t> samples(PNG_IMAGE_SIZE(image) / 2);
    if (!png_image_finish_read(&image, nullptr, samples.data(), 0, nullptr)) return {};
    QImage out(int(image.width), int(image.height), QImage::Format_ARGB32);
    auto to8 = [](uint16_t v) { return (v * 255 + 32767) / 65535; };
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            const uint16_t *p = &samples[(size_t(y) * image.width + size_t(x)) * 4];
            out.setPixel(x, y, qRgba(to8(p[0]), to8(p[1]), to8(p[2]), to8(p[3])));
        }
    return out;
}

class PngSuite : public ::testing::TestWithParam<std::string> {};

TEST_P(PngSuite, DecodesAsQtDoes) {
    const fs::path suite = SharedCorpus("pngsuite");
    if (suite.empty()) GTEST_SKIP() << "../shared/corpus/pngsuite is not there";
    const fs::path file = suite / GetParam();
    const Bytes bytes = ReadFile(file);
    ASSERT_NE(In.IsSupported(file), 0);
    int32_t w = 0, h = 0;
    ASSERT_EQ(In.PictureSize(file, &w, &h), 0);
    HBITMAP decoded = In.Decode(file);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    const DibView view = ViewDib(decoded);
    EXPECT_EQ(std::pair(view.width, view.height), std::pair(w, h));
    EXPECT_EQ(view.bitCount, ExpectedDepth(bytes));
    if (bytes[25] == 0 && view.bitCount == 8) {  // greys carry the grey ramp
        ASSERT_EQ(view.palette.size(), 256u);
        EXPECT_EQ(std::pair(view.palette[128].rgbRed, view.palette[128].rgbBlue), std::pair(uint8_t(128), uint8_t(128)));
    }
    QImage expected(QString::fromStdString(file.string()));
    ASSERT_FALSE(expected.isNull());
    const QImage have = DibToImage(decoded);
    if (bytes[24] == 16 && bytes[25] == 2 && view.bitCount == 32) {
        // Qt mis-reads 16-bit RGB with a tRNS key (opaque pixels come out white or clear):
        // libpng's own reader stands in for it there.
        EXPECT_EQ(qAlpha(have.pixel(0, 0)), 0);  // the key is the background, in the corners
        expected = LibpngReference(file);
    }
    std::string where;
    // 16-bit samples are reduced to 8 with rounding by both, possibly differently by one.
    EXPECT_LE(MaxDifference(have, expected, &where), 1) << where;
    DeleteObject(decoded);
}

std::vector<std::string> SuiteFiles() {
    std::vector<std::string> names;
    if (const fs::path suite = SharedCorpus("pngsuite"); !suite.empty())
        for (const auto &e : fs::directory_iterator(suite))
            if (e.path().extension() == ".png") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    if (names.empty()) names.push_back("basn0g01.png");  // reported as skipped
    return names;
}

INSTANTIATE_TEST_SUITE_P(Files, PngSuite, ::testing::ValuesIn(SuiteFiles()),
                         [](const auto &info) { return info.param.substr(0, info.param.find('.')); });

// ---- Hostile files ---------------------------------------------------------------------------

void Put32(Bytes &v, uint32_t x) {
    for (int i = 3; i >= 0; --i) v.push_back(uint8_t(x >> (8 * i)));
}

void Chunk(Bytes &file, const char *type, const Bytes &data) {
    Put32(file, uint32_t(data.size()));
    const size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    Put32(file, uint32_t(crc32(0, file.data() + start, uInt(file.size() - start))));
}

// A valid-looking PNG of the given header whose IDAT holds `rows` rows of `rowBytes` zeros.
Bytes Png(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour, size_t rows, size_t rowBytes,
          const Bytes &plte = {}) {
    Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, ihdr;
    Put32(ihdr, width);
    Put32(ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colour, 0, 0, 0});
    Chunk(file, "IHDR", ihdr);
    if (!plte.empty()) Chunk(file, "PLTE", plte);
    const Bytes raw(rows * (rowBytes + 1), 0);
    uLongf size = compressBound(uLong(raw.size()));
    Bytes packed(size);
    compress(packed.data(), &size, raw.data(), uLong(raw.size()));
    packed.resize(size);
    Chunk(file, "IDAT", packed);
    Chunk(file, "IEND", {});
    return file;
}

class PngHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(PngHostile, FailsCleanly) { ExpectHostile(In, GetParam(), "png"); }

constexpr Caught kSignature = Caught::kByIsSupported, kInfo = Caught::kByGetPictureInfo, kDib = Caught::kByGetPictureDIB;

INSTANTIATE_TEST_SUITE_P(
    Defects, PngHostile,
    ::testing::Values(
        HostileCase{"ZeroByte", [] { return Bytes{}; }, kSignature},
        HostileCase{"Garbage", [] { Bytes g(400); for (size_t i = 0; i < g.size(); ++i) g[i] = uint8_t(i * 37 + 1); return g; }, kSignature},
        HostileCase{"TruncatedHeader", [] { auto f = Png(10, 10, 8, 2, 10, 30); f.resize(20); return f; }, kInfo},
        HostileCase{"TruncatedData", [] { auto f = Png(300, 300, 8, 2, 300, 900); f.resize(f.size() - 40); return f; }, kDib},
        HostileCase{"ZeroWidth", [] { return Png(0, 10, 8, 2, 10, 0); }, kInfo},
        HostileCase{"Width2Pow31", [] { return Png(0x80000000u, 1, 8, 2, 1, 3); }, kInfo},
        HostileCase{"Bomb100000x100000", [] { return Png(100000, 100000, 8, 2, 2, 300000); }, kInfo},
        HostileCase{"PaletteMissing", [] { return Png(10, 10, 8, 3, 10, 10); }, kInfo},
        // The PLTE length field says 300 entries; the chunk holds 4.
        HostileCase{"PaletteClaimsMoreEntriesThanExist", [] {
            auto f = Png(4, 4, 8, 3, 4, 4, Bytes(12, 7));
            f[33] = 0, f[34] = 0, f[35] = 0x03, f[36] = 0x84;
            return f; }, kInfo}),
    kCaseName);

}  // namespace
}  // namespace faltrix
