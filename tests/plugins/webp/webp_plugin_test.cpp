// The WebP plug-ins as the host uses them: loaded from the build tree, called by name.
#include <webp/encode.h>
#include <webp/mux.h>

#include <QApplication>
#include <QCheckBox>
#include <QSpinBox>
#include <QTimer>

#include <thread>

#include "codec_harness.h"

namespace faltrix::test {
namespace {

const Plugin &In() {
    static const Plugin p(FALTRIX_WEBP_INPUT);
    return p;
}
const Plugin &Out() {
    static const Plugin p(FALTRIX_WEBP_OUTPUT);
    return p;
}

QApplication &App() {
    static int argc = 1;
    static char name[] = "webp_plugin_test";
    static char *argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

// Answers the next modal dialog: sets lossless and quality and presses OK, or cancels.
void AnswerDialog(bool lossless, int quality, bool accept) {
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        timer->stop();
        timer->deleteLater();
        if (auto *box = dialog->findChild<QCheckBox *>("Lossless")) box->setChecked(lossless);
        if (auto *spin = dialog->findChild<QSpinBox *>("Quality")) spin->setValue(quality);
        QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject");
    });
    timer->start(10);
}

void ChooseLossless() {
    App();
    AnswerDialog(true, 90, true);
    ASSERT_EQ(Out().configure(nullptr, 0), 0);
}

TEST(WebpPlugin, AnswersTagsDescriptionsAndPatternsWithTheirLengths) {
    ASSERT_TRUE(In().info && Out().info);
    EXPECT_EQ(Info(In().info, 0), u"00IN_EX");
    EXPECT_EQ(Info(Out().info, 0), u"00OUT_EX");
    for (const Plugin *p : {&In(), &Out()}) {
        EXPECT_EQ(Info(p->info, 1).rfind(u"WebP (libwebp 1.", 0), 0u);
        for (int n = 1; n <= 3; ++n) {
            int32_t length = 0;
            const std::u16string text = Info(p->info, n, &length);
            EXPECT_FALSE(text.empty());
            EXPECT_EQ(static_cast<size_t>(length), text.size());
        }
        WCHAR none[8];
        EXPECT_EQ(p->info(4, none, 8), 0);
    }
    EXPECT_EQ(Info(In().info, 2), u"*.webp");
}

// ---- Round trips of every depth, lossless (exact) and lossy (within tolerance) -------------

struct DepthCase {
    const char *name;
    int bits;
    bool topDown;
    bool alpha;
    bool lossless;
    int decodedBits;
    int maxTolerance;      // lossless: largest difference of any channel
    double meanTolerance;  // lossy
};

class WebpRoundTrip : public ::testing::TestWithParam<DepthCase> {};

TEST_P(WebpRoundTrip, StoresAndReadsBack) {
    const DepthCase &c = GetParam();
    if (c.lossless) ChooseLossless();
    TempDir dir;
    std::vector<RGBQUAD> palette;
    if (c.bits <= 8) palette = ColourPalette(1 << c.bits);
    Dib src(61, 43, c.bits, c.topDown, palette);
    FillChart(src, c.alpha);
    const std::string path = dir / "out.webp";
    ProgressLog saved;
    ASSERT_EQ(Save(Out(), src.bitmap, path, &saved), 0);
    EXPECT_EQ(saved.lastDone, 100);
    EXPECT_FALSE(saved.backwards);

    int w = 0, h = 0;
    ASSERT_TRUE(PictureSize(In(), path, &w, &h));
    EXPECT_EQ(w, 61);
    EXPECT_EQ(h, 43);
    ProgressLog loaded;
    Dib back(Load(In(), path, &loaded));
    ASSERT_NE(back.bitmap, nullptr);
    EXPECT_EQ(back.bitCount, c.decodedBits);
    EXPECT_EQ(loaded.lastDone, 43);
    EXPECT_FALSE(loaded.backwards);
    const Image expected = c.alpha ? src.ToImage() : Opaque(src.ToImage());
    if (c.lossless) {
        EXPECT_LE(MaxDifference(back.ToImage(), expected), c.maxTolerance);
    } else {
        EXPECT_LE(MeanDifference(back.ToImage(), expected), c.meanTolerance);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Depths, WebpRoundTrip,
    ::testing::Values(DepthCase{"Palette1Lossless", 1, false, false, true, 24, 0, 0},
                      DepthCase{"Palette4Lossless", 4, true, false, true, 24, 0, 0},
                      DepthCase{"Palette8Lossless", 8, false, false, true, 24, 0, 0},
                      DepthCase{"Rgb16Lossless", 16, false, false, true, 24, 1, 0},
                      DepthCase{"Rgb24BottomUpLossless", 24, false, false, true, 24, 0, 0},
                      DepthCase{"Rgb24TopDownLossless", 24, true, false, true, 24, 0, 0},
                      DepthCase{"Rgbx32AlphaAllZeroLossless", 32, false, false, true, 24, 0, 0},
                      DepthCase{"Rgba32Lossless", 32, true, true, true, 32, 0, 0},
                      DepthCase{"Palette8Lossy", 8, false, false, false, 24, 0, 18.0},
                      DepthCase{"Rgb16Lossy", 16, true, false, false, 24, 0, 12.0},
                      DepthCase{"Rgb24BottomUpLossy", 24, false, false, false, 24, 0, 12.0},
                      DepthCase{"Rgb24TopDownLossy", 24, true, false, false, 24, 0, 12.0},
                      DepthCase{"Rgba32Lossy", 32, false, true, false, 32, 0, 12.0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(WebpRoundTrip, LossyAlphaKeepsTheAlphaBytesExactly) {
    TempDir dir;
    Dib src(40, 30, 32, false);
    FillChart(src, true);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "a.webp"), 0);
    Dib back(Load(In(), dir / "a.webp"));
    ASSERT_NE(back.bitmap, nullptr);
    const Image a = back.ToImage(), b = src.ToImage();
    for (size_t i = 3; i < a.bgra.size(); i += 4) ASSERT_EQ(a.bgra[i], b.bgra[i]) << i / 4;
}

TEST(WebpRoundTrip, AnimationGivesItsFirstFrame) {
    TempDir dir;
    WebPAnimEncoderOptions options;
    ASSERT_TRUE(WebPAnimEncoderOptionsInit(&options));
    WebPAnimEncoder *enc = WebPAnimEncoderNew(20, 10, &options);
    ASSERT_NE(enc, nullptr);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    for (int frame = 0; frame < 2; ++frame) {
        WebPPicture pic;
        WebPPictureInit(&pic);
        pic.width = 20;
        pic.height = 10;
        pic.use_argb = 1;
        WebPPictureAlloc(&pic);
        for (int i = 0; i < 200; ++i) pic.argb[i] = frame == 0 ? 0xFFFF0000u : 0xFF0000FFu;  // red, then blue
        WebPAnimEncoderAdd(enc, &pic, frame * 100, &config);
        WebPPictureFree(&pic);
    }
    WebPAnimEncoderAdd(enc, nullptr, 200, nullptr);
    WebPData data;
    WebPDataInit(&data);
    ASSERT_TRUE(WebPAnimEncoderAssemble(enc, &data));
    WebPAnimEncoderDelete(enc);
    WriteFile(dir / "anim.webp", std::vector<uint8_t>(data.bytes, data.bytes + data.size));
    WebPDataClear(&data);

    int w = 0, h = 0;
    ASSERT_TRUE(PictureSize(In(), dir / "anim.webp", &w, &h));
    EXPECT_EQ(w, 20);
    EXPECT_EQ(h, 10);
    Dib back(Load(In(), dir / "anim.webp"));
    ASSERT_NE(back.bitmap, nullptr);
    EXPECT_EQ(back.bitCount, 32);
    const Image picture = back.ToImage();
    const uint8_t *p = picture.At(7, 5);
    EXPECT_EQ(p[2], 255);  // red
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[3], 255);
}

TEST(WebpRoundTrip, LargeColourProfileBeforeThePicture) {
    TempDir dir;
    Dib src(30, 20, 24, false);
    FillChart(src, false);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "plain.webp"), 0);
    const std::vector<uint8_t> plain = ReadFile(dir / "plain.webp");
    const WebPData image{plain.data(), plain.size()};
    WebPMux *mux = WebPMuxCreate(&image, 1);
    ASSERT_NE(mux, nullptr);
    const std::vector<uint8_t> profile(200 * 1024, 0x42);
    const WebPData icc{profile.data(), profile.size()};
    ASSERT_EQ(WebPMuxSetChunk(mux, "ICCP", &icc, 1), WEBP_MUX_OK);
    WebPData assembled;
    WebPDataInit(&assembled);
    ASSERT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
    WebPMuxDelete(mux);
    WriteFile(dir / "icc.webp", std::vector<uint8_t>(assembled.bytes, assembled.bytes + assembled.size));
    WebPDataClear(&assembled);

    int w = 0, h = 0;
    ASSERT_TRUE(PictureSize(In(), dir / "icc.webp", &w, &h));
    EXPECT_EQ(w, 30);
    Dib withProfile(Load(In(), dir / "icc.webp"));
    Dib without(Load(In(), dir / "plain.webp"));
    ASSERT_NE(withProfile.bitmap, nullptr);
    ASSERT_NE(without.bitmap, nullptr);
    EXPECT_EQ(MaxDifference(withProfile.ToImage(), without.ToImage()), 0);
}

// ---- Hostile files ------------------------------------------------------------------------

std::vector<uint8_t> ValidFile(const TempDir &dir) {
    Dib src(128, 128, 24, false);
    FillChart(src, false);
    EXPECT_EQ(Save(Out(), src.bitmap, dir / "valid.webp"), 0);
    return ReadFile(dir / "valid.webp");
}

// An extended header (VP8X) announcing an animation on a canvas of w x h.
std::vector<uint8_t> AnimatedCanvas(uint32_t w, uint32_t h) {
    std::vector<uint8_t> f = {'R', 'I', 'F', 'F', 22, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X', 10, 0, 0, 0,
                              0x02, 0, 0, 0};
    for (uint32_t v : {w - 1, h - 1}) {
        f.push_back(static_cast<uint8_t>(v));
        f.push_back(static_cast<uint8_t>(v >> 8));
        f.push_back(static_cast<uint8_t>(v >> 16));
    }
    return f;
}

struct HostileCase {
    const char *name;
    std::vector<uint8_t> (*make)(const std::vector<uint8_t> &valid);
    bool headerReadable;
    // Lossy WebP carries no checksum: garbled pixel data may decode to a garbled picture.
    bool mayDecode = false;
};

const HostileCase kHostile[] = {
    {"ZeroBytes", [](const std::vector<uint8_t> &) { return std::vector<uint8_t>{}; }, false},
    {"RiffHeaderOnly", [](const std::vector<uint8_t> &v) { return std::vector<uint8_t>(v.begin(), v.begin() + 12); }, false},
    {"CutInPixels", [](const std::vector<uint8_t> &v) { return std::vector<uint8_t>(v.begin(), v.begin() + v.size() / 2); }, true},
    {"Garbage", [](const std::vector<uint8_t> &v) {
         std::vector<uint8_t> g = v;
         uint32_t s = 7;
         for (size_t i = 12; i < g.size(); ++i) g[i] = static_cast<uint8_t>((s = s * 1103515245 + 12345) >> 16);
         return g;
     }, false},
    {"GarbledPixels", [](const std::vector<uint8_t> &v) {
         std::vector<uint8_t> g = v;
         for (size_t i = 40; i < g.size(); i += 3) g[i] ^= 0x5A;
         return g;
     }, true, true},
    {"Bomb100000x100000", [](const std::vector<uint8_t> &) { return AnimatedCanvas(100000, 100000); }, false},
    {"AnimationWithoutFrames", [](const std::vector<uint8_t> &) { return AnimatedCanvas(64, 64); }, true},
};

class WebpHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(WebpHostile, FailsCleanly) {
    const HostileCase &c = GetParam();
    TempDir dir;
    const std::string path = dir / "hostile.webp";
    WriteFile(path, c.make(ValidFile(dir)));
    int w = 0, h = 0;
    EXPECT_EQ(PictureSize(In(), path, &w, &h), c.headerReadable);
    HBITMAP b = Load(In(), path);
    if (!c.mayDecode) {
        EXPECT_EQ(b, nullptr);
    }
    if (b) DeleteObject(b);
}

INSTANTIATE_TEST_SUITE_P(Files, WebpHostile, ::testing::ValuesIn(kHostile),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Output ---------------------------------------------------------------------------------

TEST(WebpOutputFailure, FullDiskKeepsThePreviousFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir / "out.webp";
    const std::vector<uint8_t> previous(3000, 0x77);
    WriteFile(path, previous);
    // Noise: no encoder makes this smaller than the limit.
    Dib src(300, 300, 24, false);
    uint32_t seed = 1;
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 900; ++x) src.Row(y)[x] = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    const int32_t rc = WithFileSizeLimit(4096, [&] { return Save(Out(), src.bitmap, path); });
    EXPECT_NE(rc, 0);
    EXPECT_EQ(ReadFile(path), previous);
    EXPECT_TRUE(dir.Others({"out.webp"}).empty());
}

TEST(WebpOutputFailure, MissingFolderAndOversizedPicturesFail) {
    TempDir dir;
    Dib src(8, 8, 24, false);
    EXPECT_NE(Save(Out(), src.bitmap, dir / "none/out.webp"), 0);
    Dib wide(16384, 1, 8, false, GreyRamp(8));  // one pixel past WebP's 16383
    EXPECT_NE(Save(Out(), wide.bitmap, dir / "wide.webp"), 0);
    EXPECT_TRUE(dir.Others({}).empty());
}

TEST(WebpSettings, CancelledDialogChangesNothing) {
    App();
    TempDir dir;
    Dib src(64, 48, 24, false);
    FillChart(src, false);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "before.webp"), 0);
    AnswerDialog(true, 10, false);
    EXPECT_NE(Out().configure(nullptr, 0), 0);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "after.webp"), 0);
    EXPECT_EQ(ReadFile(dir / "before.webp"), ReadFile(dir / "after.webp"));
    AnswerDialog(false, 10, true);  // a lower quality gives a smaller file
    EXPECT_EQ(Out().configure(nullptr, 0), 0);
    ASSERT_EQ(Save(Out(), src.bitmap, dir / "q10.webp"), 0);
    EXPECT_LT(ReadFile(dir / "q10.webp").size(), ReadFile(dir / "before.webp").size());
}

TEST(WebpThreads, TwoThreadsDecodeAndStoreAtOnce) {
    TempDir dir;
    Dib src(150, 100, 24, false);
    FillChart(src, false);
    const std::string chart = dir / "chart.webp";
    ASSERT_EQ(Save(Out(), src.bitmap, chart), 0);
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
    const std::string t1 = dir / "t1.webp", t2 = dir / "t2.webp";
    std::thread a(work, t1, &ok1), b(work, t2, &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(ReadFile(t1), ReadFile(t2));
}

}  // namespace
}  // namespace faltrix::test
