// The JPEG plug-ins as the host uses them: loaded from the build tree, called by name.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <QApplication>
#include <QImage>
#include <QImageReader>
#include <QSpinBox>
#include <QTimer>

#include <thread>

#include "codec_harness.h"

namespace faltrix::test {
namespace {

const Plugin &In() {
    static const Plugin p(FALTRIX_JPEG_INPUT);
    return p;
}
const Plugin &Out() {
    static const Plugin p(FALTRIX_JPEG_OUTPUT);
    return p;
}

Image QtDecode(const std::string &path, bool autoTransform = false) {
    QImageReader reader(QString::fromStdString(path));
    reader.setAutoTransform(autoTransform);
    const QImage q = reader.read().convertToFormat(QImage::Format_ARGB32);
    Image img{q.width(), q.height(), std::vector<uint8_t>(static_cast<size_t>(q.width()) * q.height() * 4)};
    for (int y = 0; y < q.height(); ++y) std::memcpy(img.At(0, y), q.constScanLine(y), static_cast<size_t>(q.width()) * 4);
    return img;
}

// A small 24-bit chart stored through the output plug-in.
std::string SavedChart(const TempDir &dir, const std::string &name, int w = 64, int h = 48) {
    Dib src(w, h, 24, false);
    FillChart(src, false);
    const std::string path = dir / name;
    EXPECT_EQ(Save(Out(), src.bitmap, path), 0);
    return path;
}

TEST(JpegPlugin, AnswersTagsDescriptionsAndPatternsWithTheirLengths) {
    ASSERT_TRUE(In().info && Out().info);
    EXPECT_EQ(Info(In().info, 0), u"00IN_EX");
    EXPECT_EQ(Info(Out().info, 0), u"00OUT_EX");
    for (const Plugin *p : {&In(), &Out()}) {
        EXPECT_EQ(Info(p->info, 1).rfind(u"JPEG (libjpeg-turbo ", 0), 0u);
        for (int n = 1; n <= 3; ++n) {
            int32_t length = 0;
            const std::u16string text = Info(p->info, n, &length);
            EXPECT_FALSE(text.empty()) << n;
            EXPECT_EQ(static_cast<size_t>(length), text.size()) << n;
        }
        EXPECT_EQ(p->info(4, nullptr, 0), 0);
        WCHAR none[8];
        EXPECT_EQ(p->info(4, none, 8), 0);
    }
    EXPECT_NE(Info(In().info, 2).find(u"*.jpg"), std::u16string::npos);
    // A short buffer gets what fits, terminated, and the answer says how much that was.
    WCHAR small[5];
    EXPECT_EQ(In().info(1, small, 5), 4);
    EXPECT_EQ(small[4], 0);
}

// ---- Round trips for every depth a DIB can have ----------------------------------------

struct DepthCase {
    const char *name;
    int bits;
    bool topDown;
    bool greyPalette;
    bool alpha;
    int decodedBits;
    // JPEG's loss on this chart (8-pixel red squares, colour palettes changing every few
    // pixels) stays well below this; a picture upside down or mirrored goes far above it.
    double meanTolerance;
};

class JpegRoundTrip : public ::testing::TestWithParam<DepthCase> {};

TEST_P(JpegRoundTrip, StoresAndReadsBackWithinTolerance) {
    const DepthCase &c = GetParam();
    TempDir dir;
    std::vector<RGBQUAD> palette;
    if (c.bits <= 8) palette = c.greyPalette ? GreyRamp(c.bits) : ColourPalette(1 << c.bits);
    Dib src(64, 48, c.bits, c.topDown, palette, 2835);
    FillChart(src, c.alpha);
    const std::string path = dir / "out.jpg";
    ProgressLog saved;
    ASSERT_EQ(Save(Out(), src.bitmap, path, &saved), 0);
    EXPECT_EQ(saved.lastDone, saved.lastTotal);
    EXPECT_FALSE(saved.backwards);

    ProgressLog loaded;
    Dib back(Load(In(), path, &loaded));
    ASSERT_NE(back.bitmap, nullptr);
    EXPECT_EQ(back.bitCount, c.decodedBits);
    EXPECT_EQ(back.PelsPerMeterX(), 2835);
    EXPECT_EQ(loaded.lastDone, 48);
    EXPECT_EQ(loaded.lastTotal, 48);
    EXPECT_FALSE(loaded.backwards);
    const Image expected = c.alpha ? OnWhite(src.ToImage()) : Opaque(src.ToImage());
    EXPECT_LE(MeanDifference(back.ToImage(), expected), c.meanTolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Depths, JpegRoundTrip,
    ::testing::Values(DepthCase{"Grey1", 1, false, true, false, 8, 4.0},
                      DepthCase{"Colour1", 1, false, false, false, 24, 18.0},
                      DepthCase{"Grey4", 4, true, true, false, 8, 4.0},
                      DepthCase{"Colour4", 4, false, false, false, 24, 18.0},
                      DepthCase{"Grey8", 8, false, true, false, 8, 4.0},
                      DepthCase{"Colour8", 8, true, false, false, 24, 18.0},
                      DepthCase{"Rgb16", 16, false, false, false, 24, 8.0},
                      DepthCase{"Rgb24BottomUp", 24, false, false, false, 24, 8.0},
                      DepthCase{"Rgb24TopDown", 24, true, false, false, 24, 8.0},
                      DepthCase{"Rgbx32AlphaAllZero", 32, false, false, false, 24, 8.0},
                      DepthCase{"Rgba32OnWhite", 32, true, false, true, 24, 8.0}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Decoding compared with Qt's reader ---------------------------------------------------

TEST(JpegDecode, ColourMatchesQt) {
    TempDir dir;
    const std::string path = SavedChart(dir, "chart.jpg", 101, 67);
    Dib ours(Load(In(), path));
    ASSERT_NE(ours.bitmap, nullptr);
    EXPECT_LE(MaxDifference(ours.ToImage(), QtDecode(path)), 3);
}

TEST(JpegDecode, GreyMatchesQtAndStaysEightBitGrey) {
    TempDir dir;
    Dib src(40, 30, 8, false, GreyRamp(8));
    FillChart(src, false);
    const std::string path = dir / "grey.jpg";
    ASSERT_EQ(Save(Out(), src.bitmap, path), 0);
    Dib ours(Load(In(), path));
    ASSERT_NE(ours.bitmap, nullptr);
    ASSERT_EQ(ours.bitCount, 8);
    ASSERT_EQ(ours.palette.size(), 256u);
    EXPECT_EQ(ours.palette[200].rgbRed, 200);
    EXPECT_EQ(ours.palette[200].rgbBlue, 200);
    EXPECT_LE(MaxDifference(ours.ToImage(), QtDecode(path)), 3);
}

// A CMYK file as Adobe's software writes it (inverted, with an Adobe marker), made here
// with libjpeg itself.
TEST(JpegDecode, AdobeCmykMatchesQt) {
    TempDir dir;
    const std::string path = dir / "cmyk.jpg";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = 32;
    c.image_height = 24;
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(32 * 4);
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x) {
            row[4 * x] = static_cast<uint8_t>(x * 8);
            row[4 * x + 1] = static_cast<uint8_t>(y * 10);
            row[4 * x + 2] = 128;
            row[4 * x + 3] = static_cast<uint8_t>(255 - x * 4);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);

    Dib ours(Load(In(), path));
    ASSERT_NE(ours.bitmap, nullptr);
    EXPECT_EQ(ours.bitCount, 24);
    EXPECT_LE(MaxDifference(ours.ToImage(), QtDecode(path)), 3);
}

// ---- EXIF orientation -----------------------------------------------------------------------

// Inserts an APP1 EXIF segment asking for `orientation` right after the file's SOI marker.
std::vector<uint8_t> WithOrientation(std::vector<uint8_t> jpeg, int orientation, bool bigEndian) {
    std::vector<uint8_t> tiff;
    auto put16 = [&](unsigned v) {
        if (bigEndian) { tiff.push_back(static_cast<uint8_t>(v >> 8)); tiff.push_back(static_cast<uint8_t>(v)); }
        else { tiff.push_back(static_cast<uint8_t>(v)); tiff.push_back(static_cast<uint8_t>(v >> 8)); }
    };
    auto put32 = [&](uint32_t v) {
        if (bigEndian) { put16(v >> 16); put16(v & 0xFFFF); }
        else { put16(v & 0xFFFF); put16(v >> 16); }
    };
    tiff.push_back(bigEndian ? 'M' : 'I');
    tiff.push_back(bigEndian ? 'M' : 'I');
    put16(42);
    put32(8);
    put16(2);                   // two entries: an unrelated one first
    put16(0x010F); put16(2); put32(4); tiff.insert(tiff.end(), {'A', 'B', 'C', 0});  // Make
    put16(0x0112); put16(3); put32(1); put16(static_cast<unsigned>(orientation)); put16(0);
    put32(0);
    std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    const size_t len = app1.size() - 2;
    app1[2] = static_cast<uint8_t>(len >> 8);
    app1[3] = static_cast<uint8_t>(len);
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    return jpeg;
}

class JpegOrientation : public ::testing::TestWithParam<int> {};

TEST_P(JpegOrientation, AppliedAsQtAppliesIt) {
    const int orientation = GetParam();
    TempDir dir;
    // Four blocks of distinct colours, so that every turn and mirror shows.
    Dib src(48, 32, 24, false);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) {
            uint8_t *p = src.Row(y) + 3 * x;
            const int q = (x >= 24) + 2 * (y >= 16);
            const uint8_t colours[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
            std::memcpy(p, colours[q], 3);
        }
    const std::string plain = dir / "plain.jpg";
    ASSERT_EQ(Save(Out(), src.bitmap, plain), 0);
    for (bool bigEndian : {false, true}) {
        const std::string path = dir / "oriented.jpg";
        WriteFile(path, WithOrientation(ReadFile(plain), orientation, bigEndian));
        int w = 0, h = 0;
        ASSERT_TRUE(PictureSize(In(), path, &w, &h));
        const bool swapped = orientation >= 5;
        EXPECT_EQ(w, swapped ? 32 : 48);
        EXPECT_EQ(h, swapped ? 48 : 32);
        Dib ours(Load(In(), path));
        ASSERT_NE(ours.bitmap, nullptr);
        EXPECT_EQ(ours.w, w);
        EXPECT_EQ(ours.h, h);
        EXPECT_LE(MeanDifference(ours.ToImage(), QtDecode(path, true)), 1.0) << "big-endian " << bigEndian;
    }
}

INSTANTIATE_TEST_SUITE_P(AllEight, JpegOrientation, ::testing::Range(1, 9),
                         [](const auto &info) { return "Orientation" + std::to_string(info.param); });

// ---- Hostile files ------------------------------------------------------------------------

// Offset of the start-of-frame marker's height field.
size_t FrameSizeOffset(const std::vector<uint8_t> &jpeg) {
    for (size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) return i + 5;
    return 0;
}

struct HostileCase {
    const char *name;
    std::vector<uint8_t> (*make)(const std::vector<uint8_t> &valid);
    bool headerReadable;
};

std::vector<uint8_t> SetSize(std::vector<uint8_t> j, unsigned w, unsigned h) {
    const size_t at = FrameSizeOffset(j);
    j[at] = static_cast<uint8_t>(h >> 8); j[at + 1] = static_cast<uint8_t>(h);
    j[at + 2] = static_cast<uint8_t>(w >> 8); j[at + 3] = static_cast<uint8_t>(w);
    return j;
}

const HostileCase kHostile[] = {
    {"ZeroBytes", [](const std::vector<uint8_t> &) { return std::vector<uint8_t>{}; }, false},
    {"SignatureOnly", [](const std::vector<uint8_t> &) { return std::vector<uint8_t>{0xFF, 0xD8, 0xFF}; }, false},
    {"CutInHeader", [](const std::vector<uint8_t> &v) { return std::vector<uint8_t>(v.begin(), v.begin() + 100); }, false},
    {"CutInPixels", [](const std::vector<uint8_t> &v) { return std::vector<uint8_t>(v.begin(), v.begin() + v.size() * 2 / 3); }, true},
    {"Garbage", [](const std::vector<uint8_t> &v) {
         std::vector<uint8_t> g(v.size());
         uint32_t s = 12345;
         for (auto &b : g) b = static_cast<uint8_t>((s = s * 1103515245 + 12345) >> 16);
         g[0] = 0xFF; g[1] = 0xD8; g[2] = 0xFF;
         return g;
     }, false},
    {"GarbledPixels", [](const std::vector<uint8_t> &v) {
         std::vector<uint8_t> g = v;
         for (size_t i = g.size() / 2; i + 2 < g.size(); i += 7) g[i] = static_cast<uint8_t>(i * 31);
         return g;
     }, true},
    {"ZeroWidth", [](const std::vector<uint8_t> &v) { return SetSize(v, 0, 48); }, false},
    {"ZeroHeight", [](const std::vector<uint8_t> &v) { return SetSize(v, 64, 0); }, false},
    {"Bomb65500x65500", [](const std::vector<uint8_t> &v) { return SetSize(v, 65500, 65500); }, false},
};

class JpegHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(JpegHostile, FailsCleanly) {
    const HostileCase &c = GetParam();
    TempDir dir;
    const std::vector<uint8_t> valid = ReadFile(SavedChart(dir, "valid.jpg", 256, 256));
    const std::string path = dir / "hostile.jpg";
    WriteFile(path, c.make(valid));
    int w = 0, h = 0;
    EXPECT_EQ(PictureSize(In(), path, &w, &h), c.headerReadable);
    HBITMAP b = Load(In(), path);
    EXPECT_EQ(b, nullptr);
    if (b) DeleteObject(b);
}

INSTANTIATE_TEST_SUITE_P(Files, JpegHostile, ::testing::ValuesIn(kHostile),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(JpegHostile, PathsThatNameNoPicture) {
    TempDir dir;
    const std::u16string folder = U16(dir.path.string());
    const std::u16string missing = U16(dir / "missing.jpg");
    PictureInfo info{};
    for (const std::u16string &p : {folder, missing, std::u16string()}) {
        EXPECT_EQ(In().isSupported(p.c_str(), 0, 0), 0);
        EXPECT_NE(In().pictureInfo(p.c_str(), 0, 0, &info), 0);
        EXPECT_EQ(In().pictureDib(p.c_str(), 0, 0, nullptr, 0, nullptr), nullptr);
    }
    EXPECT_EQ(In().isSupported(nullptr, 0, 0), 0);
    const std::string chart = SavedChart(dir, "c.jpg");
    EXPECT_NE(In().isSupported(U16(chart).c_str(), 0, 0), 0);
    EXPECT_NE(In().pictureInfo(U16(chart).c_str(), 0, 0, nullptr), 0);
}

// ---- Output failures leave the previous file as it was --------------------------------------

TEST(JpegOutputFailure, FullDiskKeepsThePreviousFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir / "out.jpg";
    const std::vector<uint8_t> previous(3000, 0x5A);
    WriteFile(path, previous);
    Dib src(512, 512, 24, false);
    FillChart(src, false);
    const int32_t rc = WithFileSizeLimit(4096, [&] { return Save(Out(), src.bitmap, path); });
    EXPECT_NE(rc, 0);
    EXPECT_EQ(ReadFile(path), previous);
    EXPECT_TRUE(dir.Others({"out.jpg"}).empty());
}

TEST(JpegOutputFailure, MissingFolderOrNothingSelectedFails) {
    TempDir dir;
    Dib src(8, 8, 24, false);
    EXPECT_NE(Save(Out(), src.bitmap, dir / "no/such/folder/out.jpg"), 0);
    EXPECT_NE(Save(Out(), src.bitmap, dir.path.string()), 0);  // a folder, not a file
    HDC empty = CreateCompatibleDC(nullptr);
    const std::u16string p = U16(dir / "x.jpg");
    EXPECT_NE(Out().save(empty, p.c_str(), 0, 0, nullptr, 0), 0);
    EXPECT_NE(Out().save(nullptr, p.c_str(), 0, 0, nullptr, 0), 0);
    DeleteDC(empty);
    EXPECT_TRUE(dir.Others({}).empty());
}

// ---- Threads ----------------------------------------------------------------------------------

TEST(JpegThreads, TwoThreadsDecodeAndStoreAtOnce) {
    TempDir dir;
    const std::string chart = SavedChart(dir, "chart.jpg", 200, 150);
    Dib reference(Load(In(), chart));
    ASSERT_NE(reference.bitmap, nullptr);
    const Image expected = reference.ToImage();
    auto work = [&](const std::string &out, bool *ok) {
        *ok = true;
        for (int i = 0; i < 10; ++i) {
            Dib d(Load(In(), chart));
            *ok = *ok && d.bitmap && MaxDifference(d.ToImage(), expected) == 0;
            *ok = *ok && Save(Out(), d.bitmap, out) == 0;
        }
    };
    bool ok1 = false, ok2 = false;
    const std::string t1 = dir / "t1.jpg", t2 = dir / "t2.jpg";
    std::thread a(work, t1, &ok1), b(work, t2, &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(ReadFile(dir / "t1.jpg"), ReadFile(dir / "t2.jpg"));
}

// ---- The settings dialog ------------------------------------------------------------------

QApplication &App() {
    static int argc = 1;
    static char name[] = "jpeg_plugin_test";
    static char *argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

// Answers the next modal dialog: sets the quality and presses OK, or cancels.
void AnswerDialog(int quality, bool accept) {
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        timer->stop();
        timer->deleteLater();
        if (auto *spin = dialog->findChild<QSpinBox *>("Quality")) spin->setValue(quality);
        QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject");
    });
    timer->start(10);
}

TEST(JpegSettings, DialogSetsTheQualityForTheSession) {
    App();
    TempDir dir;
    Dib src(128, 96, 24, false);
    FillChart(src, false);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "q90.jpg"), 0);

    QWidget parent;
    AnswerDialog(20, true);
    EXPECT_EQ(Out().configure(reinterpret_cast<HWND>(&parent), 0), 0);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "q20.jpg"), 0);
    EXPECT_LT(ReadFile(dir / "q20.jpg").size(), ReadFile(dir / "q90.jpg").size());

    AnswerDialog(90, false);  // cancelled: the quality stays 20
    EXPECT_NE(Out().configure(nullptr, 0), 0);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "again.jpg"), 0);
    EXPECT_EQ(ReadFile(dir / "again.jpg"), ReadFile(dir / "q20.jpg"));

    AnswerDialog(90, true);
    EXPECT_EQ(Out().configure(nullptr, 0), 0);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "back.jpg"), 0);
    EXPECT_EQ(ReadFile(dir / "back.jpg"), ReadFile(dir / "q90.jpg"));
}

}  // namespace
}  // namespace faltrix::test
