// The WebP input plug-in as the host uses it: animations, a large colour profile first and
// hostile files. Round trips (lossless exact, lossy within a tolerance with the alpha exact)
// and the settings dialog are in the conversion matrix.
#include <webp/encode.h>
#include <webp/mux.h>

#include "codec_harness.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

const CodecPlugin In("webp", "input"), Out("webp", "output");

void Choose(bool lossless, int quality = 90) {
    ASSERT_EQ(AnswerSettings(Out, {{"Lossless", lossless}, {"Quality", quality}}, true), 0);
}

// ---- Files as other software writes them ----------------------------------------------------

// Two frames of 20 x 10, red then blue: the first is what is read.
TEST(WebpFiles, AnimationGivesItsFirstFrame) {
    WebPAnimEncoderOptions options;
    ASSERT_TRUE(WebPAnimEncoderOptionsInit(&options));
    WebPAnimEncoder *enc = WebPAnimEncoderNew(20, 10, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    for (uint32_t colour : {0xFFFF0000u, 0xFF0000FFu}) {
        WebPPicture pic;
        WebPPictureInit(&pic);
        pic.width = 20, pic.height = 10, pic.use_argb = 1;
        WebPPictureAlloc(&pic);
        std::fill(pic.argb, pic.argb + 200, colour);
        WebPAnimEncoderAdd(enc, &pic, colour == 0xFFFF0000u ? 0 : 100, &config);
        WebPPictureFree(&pic);
    }
    WebPAnimEncoderAdd(enc, nullptr, 200, nullptr);
    WebPData data;
    WebPDataInit(&data);
    ASSERT_TRUE(WebPAnimEncoderAssemble(enc, &data));
    WebPAnimEncoderDelete(enc);
    TempDir dir;
    WriteFile(dir / "anim.webp", Bytes(data.bytes, data.bytes + data.size));
    WebPDataClear(&data);
    int32_t w = 0, h = 0;
    ASSERT_EQ(In.PictureSize(dir / "anim.webp", &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(20, 10));
    HBITMAP b = In.Decode(dir / "anim.webp");
    EXPECT_EQ(ViewDib(b).bitCount, 32);
    QImage red(20, 10, QImage::Format_ARGB32);
    red.fill(qRgb(255, 0, 0));
    EXPECT_EQ(MaxDifference(DibToImage(b), red), 0);
    DeleteObject(b);
}

// A 200 KiB ICC profile before the picture's own chunk: the headers are found past it.
TEST(WebpFiles, LargeColourProfileBeforeThePicture) {
    TempDir dir;
    HBITMAP chart = ChartDib(24, false, 0, false, 30, 20);
    ASSERT_EQ(Out.Save(chart, dir / "plain.webp"), 0);
    DeleteObject(chart);
    const Bytes plain = ReadFile(dir / "plain.webp"), profile(200 * 1024, 0x42);
    const WebPData image{plain.data(), plain.size()}, icc{profile.data(), profile.size()};
    WebPMux *mux = WebPMuxCreate(&image, 1);
    ASSERT_EQ(WebPMuxSetChunk(mux, "ICCP", &icc, 1), WEBP_MUX_OK);
    WebPData assembled;
    WebPDataInit(&assembled);
    ASSERT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
    WebPMuxDelete(mux);
    WriteFile(dir / "icc.webp", Bytes(assembled.bytes, assembled.bytes + assembled.size));
    WebPDataClear(&assembled);
    int32_t w = 0, h = 0;
    ASSERT_EQ(In.PictureSize(dir / "icc.webp", &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(30, 20));
    HBITMAP withProfile = In.Decode(dir / "icc.webp"), without = In.Decode(dir / "plain.webp");
    ASSERT_NE(withProfile, nullptr);
    EXPECT_EQ(MaxDifference(DibToImage(withProfile), DibToImage(without)), 0);
    DeleteObject(withProfile);
    DeleteObject(without);
}

// ---- Hostile files ------------------------------------------------------------------------

const Bytes &Valid() {
    static const Bytes valid = [] {
        Choose(false);
        TempDir dir;
        HBITMAP chart = ChartDib(24, false, 0, false, 128, 128);
        Out.Save(chart, dir / "valid.webp");
        DeleteObject(chart);
        return ReadFile(dir / "valid.webp");
    }();
    return valid;
}

// An extended header (VP8X) announcing an animation on a canvas of w x h, and no frames.
Bytes AnimatedCanvas(uint32_t w, uint32_t h) {
    Bytes f = {'R', 'I', 'F', 'F', 22, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X', 10, 0, 0, 0, 0x02, 0, 0, 0};
    for (uint32_t v : {w - 1, h - 1})
        for (int shift : {0, 8, 16}) f.push_back(uint8_t(v >> shift));
    return f;
}

class WebpHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(WebpHostile, FailsCleanly) { ExpectHostile(In, GetParam(), "webp"); }

constexpr Caught kSignature = Caught::kByIsSupported, kInfo = Caught::kByGetPictureInfo, kDib = Caught::kByGetPictureDIB,
                 kMayDecode = Caught::kMayDecode;

INSTANTIATE_TEST_SUITE_P(
    Files, WebpHostile,
    ::testing::Values(
        HostileCase{"ZeroBytes", [] { return Bytes{}; }, kSignature},
        HostileCase{"RiffHeaderOnly", [] { return Bytes(Valid().begin(), Valid().begin() + 12); }, kInfo},
        HostileCase{"CutInPixels", [] { return Bytes(Valid().begin(), Valid().begin() + Valid().size() / 2); }, kDib},
        HostileCase{"Garbage", [] {
            Bytes g = Valid();
            uint32_t s = 7;
            for (size_t i = 12; i < g.size(); ++i) g[i] = uint8_t((s = s * 1103515245 + 12345) >> 16);
            return g; }, kInfo},
        // Lossy WebP carries no checksum: garbled pixel data may decode to a garbled picture.
        HostileCase{"GarbledPixels", [] {
            Bytes g = Valid();
            for (size_t i = 40; i < g.size(); i += 3) g[i] ^= 0x5A;
            return g; }, kMayDecode},
        HostileCase{"Bomb100000x100000", [] { return AnimatedCanvas(100000, 100000); }, kInfo},
        HostileCase{"AnimationWithoutFrames", [] { return AnimatedCanvas(64, 64); }, kDib}),
    kCaseName);

}  // namespace
}  // namespace faltrix
