// The JPEG input plug-in as the host uses it: Adobe CMYK and EXIF orientations against Qt's
// reader, and hostile files. Round trips and the quality dialog are in the conversion matrix.
#include <cstdio>

#include <jpeglib.h>

#include <QImageReader>

#include "codec_harness.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

const CodecPlugin In("jpeg", "input"), Out("jpeg", "output");

// A chart stored through the output plug-in at the session's quality.
Bytes SavedChart(int w, int h) {
    TempDir dir;
    HBITMAP source = ChartDib(24, false, 0, false, w, h);
    EXPECT_EQ(Out.Save(source, dir / "chart.jpg"), 0);
    DeleteObject(source);
    return ReadFile(dir / "chart.jpg");
}

// A CMYK file as Adobe's software writes it (inverted, with an Adobe marker), made with libjpeg.
TEST(JpegDecode, AdobeCmykMatchesQt) {
    TempDir dir;
    const auto path = dir / "cmyk.jpg";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = 32, c.image_height = 24, c.input_components = 4, c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    uint8_t row[32 * 4];
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x) row[4 * x] = uint8_t(x * 8), row[4 * x + 1] = uint8_t(y * 10), row[4 * x + 2] = 128, row[4 * x + 3] = uint8_t(255 - x * 4);
        JSAMPROW r = row;
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
    HBITMAP ours = In.Decode(path);
    EXPECT_EQ(ViewDib(ours).bitCount, 24);
    std::string where;
    EXPECT_LE(MaxDifference(DibToImage(ours), QImage(QString::fromStdString(path.string())), &where), 3) << where;
    DeleteObject(ours);
}

// ---- EXIF orientation -----------------------------------------------------------------------

// The file with an APP1 EXIF segment asking for `orientation` right after its SOI marker; an
// unrelated entry comes first in the directory.
Bytes WithOrientation(Bytes jpeg, int orientation, bool bigEndian) {
    Bytes app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) app1.push_back(uint8_t(v >> 8 * (bigEndian ? bytes - 1 - i : i)));
    };
    app1.insert(app1.end(), 2, bigEndian ? 'M' : 'I');
    put(42, 2), put(8, 4), put(2, 2);
    put(0x010F, 2), put(2, 2), put(4, 4), app1.insert(app1.end(), {'A', 'B', 'C', 0});  // Make
    put(0x0112, 2), put(3, 2), put(1, 4), put(uint32_t(orientation), 2), put(0, 2), put(0, 4);
    app1[2] = uint8_t((app1.size() - 2) >> 8), app1[3] = uint8_t(app1.size() - 2);
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    return jpeg;
}

class JpegOrientation : public ::testing::TestWithParam<int> {};

TEST_P(JpegOrientation, AppliedAsQtAppliesItAndReportedInTheSize) {
    const int orientation = GetParam();
    const bool swapped = orientation >= 5;
    const Bytes plain = SavedChart(48, 32);
    TempDir dir;
    for (bool bigEndian : {false, true}) {
        const auto path = dir / "oriented.jpg";
        WriteFile(path, WithOrientation(plain, orientation, bigEndian));
        int32_t w = 0, h = 0;
        ASSERT_EQ(In.PictureSize(path, &w, &h), 0);
        EXPECT_EQ(std::pair(w, h), swapped ? std::pair(32, 48) : std::pair(48, 32));
        HBITMAP ours = In.Decode(path);
        QImageReader reader(QString::fromStdString(path.string()));
        reader.setAutoTransform(true);
        const QImage qt = reader.read(), have = DibToImage(ours);
        EXPECT_EQ(have.size(), QSize(w, h));
        EXPECT_LE(MeanDifference(have, qt), 1.0) << "big-endian " << bigEndian;
        DeleteObject(ours);
    }
}

INSTANTIATE_TEST_SUITE_P(AllEight, JpegOrientation, ::testing::Range(1, 9),
                         [](const auto &info) { return "Orientation" + std::to_string(info.param); });

// ---- Hostile files ------------------------------------------------------------------------

const Bytes &Valid() {
    static const Bytes valid = SavedChart(256, 256);
    return valid;
}

// The valid file with its frame header claiming w x h.
Bytes WithSize(unsigned w, unsigned h) {
    Bytes j = Valid();
    size_t at = 2;
    while (at + 9 < j.size() && !(j[at] == 0xFF && (j[at + 1] == 0xC0 || j[at + 1] == 0xC2))) ++at;
    j[at + 5] = uint8_t(h >> 8), j[at + 6] = uint8_t(h), j[at + 7] = uint8_t(w >> 8), j[at + 8] = uint8_t(w);
    return j;
}

class JpegHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(JpegHostile, FailsCleanly) { ExpectHostile(In, GetParam(), "jpg"); }

constexpr Caught kSignature = Caught::kByIsSupported, kInfo = Caught::kByGetPictureInfo, kDib = Caught::kByGetPictureDIB;

INSTANTIATE_TEST_SUITE_P(
    Files, JpegHostile,
    ::testing::Values(
        HostileCase{"ZeroBytes", [] { return Bytes{}; }, kSignature},
        HostileCase{"SignatureOnly", [] { return Bytes{0xFF, 0xD8, 0xFF}; }, kInfo},
        HostileCase{"CutInHeader", [] { return Bytes(Valid().begin(), Valid().begin() + 100); }, kInfo},
        // A truncated file is a failure, not a picture with a grey bottom.
        HostileCase{"CutInPixels", [] { return Bytes(Valid().begin(), Valid().begin() + Valid().size() * 2 / 3); }, kDib},
        HostileCase{"Garbage", [] {
            Bytes g(Valid().size());
            uint32_t s = 12345;
            for (auto &b : g) b = uint8_t((s = s * 1103515245 + 12345) >> 16);
            g[0] = 0xFF, g[1] = 0xD8, g[2] = 0xFF;
            return g; }, kInfo},
        HostileCase{"GarbledPixels", [] {
            Bytes g = Valid();
            for (size_t i = g.size() / 2; i + 2 < g.size(); i += 7) g[i] = uint8_t(i * 31);
            return g; }, kDib},
        HostileCase{"ZeroWidth", [] { return WithSize(0, 48); }, kInfo},
        HostileCase{"ZeroHeight", [] { return WithSize(64, 0); }, kInfo},
        HostileCase{"Bomb65500x65500", [] { return WithSize(65500, 65500); }, kInfo}),
    kCaseName);

}  // namespace
}  // namespace faltrix
