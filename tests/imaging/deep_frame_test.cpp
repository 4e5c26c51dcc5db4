// Deep frames on the host's side: the memory it gives plug-ins, the 16-bit resize and the
// 16-bit conversion to sRGB.
#include "deep_frame.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <string>

namespace faltrix {
namespace {

// A frame of w x h with `channels` channels, every sample from fill(x, y, channel).
template <class Fill>
std::unique_ptr<DeepFrame> MakeFrame(int32_t w, int32_t h, int32_t channels, Fill fill) {
    auto frame = std::make_unique<DeepFrame>(w, h);
    frame->picture.channels = channels;
    frame->picture.bits = 16;
    frame->picture.significantBits = 16;
    EXPECT_NE(DeepFrameAlloc(&frame->picture), nullptr);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            for (int32_t c = 0; c < channels; ++c)
                frame->Row(y)[x * channels + c] = static_cast<uint16_t>(fill(x, y, c));
    return frame;
}

std::string Saved(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

TEST(DeepFrame, AllocationTakesOnlyTheRecordItHandedOutDescribingTheCanvas) {
    struct Case {
        const char *what;
        void (*change)(SamplePicture *);
        bool given;
    } cases[] = {
        {"a valid record", [](SamplePicture *) {}, true},
        {"no channels", [](SamplePicture *p) { p->channels = 0; }, false},
        {"five channels", [](SamplePicture *p) { p->channels = 5; }, false},
        {"8 bits", [](SamplePicture *p) { p->bits = 8; }, false},
        {"a depth of 8", [](SamplePicture *p) { p->significantBits = 8; }, false},
        {"a depth of 17", [](SamplePicture *p) { p->significantBits = 17; }, false},
        {"another width", [](SamplePicture *p) { p->width = 4000; }, false},
        {"another owner", [](SamplePicture *p) { p->owner = nullptr; }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DeepFrame frame(3, 2);
        frame.picture.channels = 3;
        frame.picture.bits = 16;
        frame.picture.significantBits = 12;
        c.change(&frame.picture);
        void *data = DeepFrameAlloc(&frame.picture);
        EXPECT_EQ(data != nullptr, c.given);
        if (!c.given) continue;
        EXPECT_EQ(frame.picture.stride, 3 * 3 * 2);
        EXPECT_EQ(frame.picture.data, data);
        // A second call for the same frame would leak the first memory or swap it under the
        // plug-in's feet.
        EXPECT_EQ(DeepFrameAlloc(&frame.picture), nullptr);
    }
    EXPECT_EQ(DeepFrameAlloc(nullptr), nullptr);
}

TEST(DeepFrame, ResizeKeepsFullDepthAndLetsNoClearColourBleed) {
    // A grey ramp of odd steps, no 8-bit value widened: box-halved, each pixel is its pair's
    // mean, and the in-between values stay.
    auto ramp = MakeFrame(64, 2, 1, [](int32_t x, int32_t, int32_t) { return 1000 + 997 * x; });
    auto half = ResizeDeepFrame(*ramp, 32, 1, ResizeFilter::Box);
    ASSERT_NE(half, nullptr);
    EXPECT_EQ(half->picture.channels, 1);
    EXPECT_EQ(half->picture.significantBits, 16);
    int widened = 0;
    for (int32_t x = 0; x < 32; ++x) {
        const int expected = 1000 + 997 * (2 * x) + 997 / 2;
        EXPECT_NEAR(half->Row(0)[x], expected, 3) << "at " << x;
        widened += half->Row(0)[x] % 257 == 0;
    }
    EXPECT_LT(widened, 2);

    // Opaque red beside clear green: the colour stays red, the alpha is halved.
    for (int32_t channels : {2, 4}) {
        SCOPED_TRACE(channels);
        auto pair = MakeFrame(8, 8, channels, [channels](int32_t x, int32_t, int32_t c) {
            const bool even = x % 2 == 0;
            if (c == channels - 1) return even ? 65535 : 0;
            if (channels == 2) return even ? 20000 : 65535;
            return even == (c == 0) ? 65535 : 0;
        });
        auto one = ResizeDeepFrame(*pair, 4, 4, ResizeFilter::Box);
        ASSERT_NE(one, nullptr);
        const uint16_t *p = one->Row(1) + channels;
        EXPECT_NEAR(p[channels - 1], 32768, 64);
        EXPECT_NEAR(p[0], channels == 2 ? 20000 : 65535, 64);
        if (channels == 4) {
            EXPECT_LT(p[1], 64);
        }
    }
    EXPECT_EQ(ResizeDeepFrame(*ramp, 32, 1, ResizeFilter::Nearest), nullptr);
}

// libswscale picks pixels of a picture under 4 wide rather than filtering them: 3 columns of
// red, green, red shrunk to 2 must mix them (1 red and half a green each), 8 bits or 16.
TEST(DeepFrame, NarrowPicturesAreAveragedNotPicked) {
    auto narrow = MakeFrame(3, 8, 3, [](int32_t x, int32_t, int32_t c) {
        return (x % 2 == 0) == (c == 0) ? 60000 : 0;
    });
    auto deep = ResizeDeepFrame(*narrow, 2, 4, ResizeFilter::Box);
    ASSERT_NE(deep, nullptr);
    EXPECT_NEAR(deep->Row(1)[0], 40000, 100);
    EXPECT_NEAR(deep->Row(1)[1], 20000, 100);

    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 3, -8, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HBITMAP source = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bits, nullptr);
    DIBSECTION section{};
    ASSERT_EQ(GetObjectW(source, sizeof section, &section), int(sizeof section));
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 3; ++x) {
            uint8_t *px = static_cast<uint8_t *>(bits) + y * section.dsBm.bmWidthBytes + 3 * x;
            px[2] = x % 2 == 0 ? 240 : 0;  // B, G, R
            px[1] = x % 2 == 0 ? 0 : 240;
        }
    HBITMAP resized = FilteredResize(source, section, 2, 4, ResizeFilter::Box);
    ASSERT_NE(resized, nullptr);
    DIBSECTION out{};
    ASSERT_EQ(GetObjectW(resized, sizeof out, &out), int(sizeof out));
    const uint8_t *px = static_cast<const uint8_t *>(out.dsBm.bmBits) + out.dsBm.bmWidthBytes;
    EXPECT_NEAR(px[2], 160, 2);
    EXPECT_NEAR(px[1], 80, 2);
    DeleteObject(resized);
    DeleteObject(source);
}

TEST(DeepFrame, ConvertsToSrgbAtFullDepth) {
    // Linear grey: the middle level 32768 becomes sRGB's 0.735 or so, kept grey.
    const cmsCIExyY d50 = {0.3457, 0.3585, 1.0};
    cmsToneCurve *linear = cmsBuildGamma(nullptr, 1.0);
    const std::string grey = Saved(cmsCreateGrayProfile(&d50, linear));
    auto levels = MakeFrame(1, 1, 2, [](int32_t, int32_t, int32_t c) { return c ? 1234 : 32768; });
    ASSERT_TRUE(ConvertDeepFrameToSrgb(levels.get(), grey));
    EXPECT_NEAR(levels->Row(0)[0], 0.735 * 65535, 300);
    EXPECT_EQ(levels->Row(0)[1], 1234) << "alpha is not a colour";

    // sRGB into sRGB changes nothing beyond rounding; linear RGB darkens nothing and lightens
    // the middle. A grey profile cannot describe colour samples.
    const std::string srgb = Saved(cmsCreate_sRGBProfile());
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    cmsToneCurve *curves[3] = {linear, linear, linear};
    const std::string linearRgb = Saved(cmsCreateRGBProfile(&d50, &primaries, curves));
    cmsFreeToneCurve(linear);
    const auto mid = [](int32_t, int32_t, int32_t c) { return c == 3 ? 40000 : 12345 + c * 9000; };
    auto same = MakeFrame(1, 1, 4, mid);
    ASSERT_TRUE(ConvertDeepFrameToSrgb(same.get(), srgb));
    for (int32_t c = 0; c < 4; ++c) EXPECT_NEAR(same->Row(0)[c], mid(0, 0, c), 40) << c;
    auto lighter = MakeFrame(1, 1, 3, mid);
    ASSERT_TRUE(ConvertDeepFrameToSrgb(lighter.get(), linearRgb));
    EXPECT_GT(lighter->Row(0)[0], 12345 + 10000);
    auto colour = MakeFrame(1, 1, 3, mid);
    EXPECT_FALSE(ConvertDeepFrameToSrgb(colour.get(), grey));
    EXPECT_EQ(colour->Row(0)[0], 12345);
    EXPECT_FALSE(ConvertDeepFrameToSrgb(colour.get(), "not a profile"));
}

}  // namespace
}  // namespace faltrix
