// The GIF plug-ins' frames: animations written by our output and read back by our input and
// by Pillow (frames, delays, loop count), an animation Pillow wrote read frame by frame
// against Pillow's own decoding, and an odd animation made with giflib (it and the damaged ones
// are files of tests/data/gif/hostile). Plain round trips of a few flat colours are judged by
// the program-level animation test.
#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <string>
#include <vector>

#include "codec_test_support.h"

namespace faltrix::testing {
namespace {

const CodecPlugin &In() { return Loaded("gif", "input"); }
const CodecPlugin &Out() { return Loaded("gif", "output"); }

// ---- Our output read back by our input and by Pillow -----------------------------------

struct RoundTripCase {
    const char *name;
    int frames;
    int32_t loop;
    std::vector<int32_t> delays, expected;  // given; read back in hundredths of a second
    QRgb (*pixel)(int x, int y, int k);
    int maxDifference;  // per channel; 0 for frames of 256 colours or fewer
};

QRgb Holes(int x, int y, int k) {  // transparent where the frame before was opaque, and back
    const QRgb clear = qRgba(0, 0, 0, 0), green = qRgb(20, 180, 20);
    if (k < 2) return (x < 20) == (k == 0) ? qRgb(20 + 180 * k, 20, 200 - 180 * k) : clear;
    return (k == 3 && x > 10 && x < 30 && y > 8 && y < 20) ? clear : green;
}
QRgb Colours(int x, int y, int k) { return qRgb(6 * x + 20 * k, 8 * y, 3 * (x + y)); }
QRgb Still(int x, int y, int) { return (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0); }

const RoundTripCase kRoundTrips[] = {
    {"TransparencyComesAndGoes", 4, 3, {40, 40, 44, 123}, {40, 40, 40, 120}, Holes, 0},
    {"ManyColoursLocalTablesOnce", 3, 1, {50, 50, 50}, {50, 50, 50}, Colours, 24},
    {"StillFramesStoredAsOnePixel", 3, 0, {10, 20, 30}, {10, 20, 30}, Still, 0},
};

class GifRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(GifRoundTrip, OurReaderAndPillowSeeTheFrames) {
    FALTRIX_SKIP_UNLESS_LOADED(&In(), &Out());
    const RoundTripCase &c = GetParam();
    TempDir dir;
    const std::filesystem::path file = dir / "anim.gif";
    std::vector<QImage> frames(size_t(c.frames), QImage(40, 30, QImage::Format_ARGB32));
    std::vector<HBITMAP> bitmaps;
    for (int k = 0; k < c.frames; ++k) {
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) frames[size_t(k)].setPixel(x, y, c.pixel(x, y, k));
        bitmaps.push_back(ImageToDib(frames[size_t(k)], 32, true));
    }
    ASSERT_EQ(Out().SaveFrames(bitmaps, c.delays, c.loop, file), 0) << Out().LastFailure();
    for (HBITMAP b : bitmaps) DeleteObject(b);

    const CodecPlugin::Frames ours = In().DecodeFrames(file);
    EXPECT_EQ(ours.info.loopCount, c.loop);
    EXPECT_EQ(ours.delays, c.expected);
    ExpectFrames(Images(ours.bitmaps), frames, c.maxDifference, "our");

    if (!HavePillow()) GTEST_SKIP() << "Pillow is not installed";
    const PeerFrames theirs = PillowFrames(file);
    EXPECT_EQ(theirs.loop, c.loop == 1 ? -1 : c.loop);
    EXPECT_EQ(theirs.delays, c.expected);
    ExpectFrames(theirs.frames, frames, c.maxDifference, "Pillow's");
}

INSTANTIATE_TEST_SUITE_P(Frames, GifRoundTrip, ::testing::ValuesIn(kRoundTrips), kCaseName);

// ---- An animation Pillow writes ------------------------------------------------------------

// tests/data/gif/layouts/pillow-disposals.gif, Pillow's animation of 5 frames, 40 x 30, with a
// transparent index, frames smaller than the screen and the disposals none, background,
// previous, none, leave, delays 100, 0, 70, 250 and 30 ms and loop count 2, reads frame by frame
// as Pillow shows it (pillow-disposals.frame-<k>.png), its first frame as GetPictureDIB gives it.
TEST(GifFramesFromPillow, EveryFrameAsPillowShowsItFirstAsGetPictureDib) {
    FALTRIX_SKIP_UNLESS_LOADED(&In());
    const std::filesystem::path folder = DataDir() / "gif" / "layouts";
    std::vector<QImage> theirs;
    for (int k = 1; k <= 5; ++k)
        theirs.emplace_back(Q(folder / ("pillow-disposals.frame-" + std::to_string(k) + ".png")));
    const CodecPlugin::Frames ours = In().DecodeFrames(folder / "pillow-disposals.gif");
    EXPECT_EQ(ours.info.loopCount, 2);
    EXPECT_EQ(ours.delays, (std::vector<int32_t>{100, 0, 70, 250, 30}));  // 0 kept as 0
    ExpectFrames(Images(ours.bitmaps), theirs, 0, "our");
    ExpectFrames({DibToImage(OwnedDib(In().Decode(folder / "pillow-disposals.gif")))},
                 {theirs.at(0)}, 0, "picture as");
}

// ---- Odd animations ----------------------------------------------------------------------

// tests/data/gif/hostile/frames-past-the-screen.gif, written with giflib: an 8 x 6 screen with a
// global table of red, green, blue and white, looping 65535 times; frames of one index each, a
// red screen shown 0 ms, green reaching past the right and bottom edges from (4, 3) for 655.35
// s, and blue wholly outside at (20, 20) for 10 ms.
TEST(GifFramesDamaged, FramesPastTheScreenAreClippedLongDelaysAndLoopsKept) {
    FALTRIX_SKIP_UNLESS_LOADED(&In());
    const CodecPlugin::Frames f =
        In().DecodeFrames(DataDir() / "gif" / "hostile" / "frames-past-the-screen.gif");
    EXPECT_EQ(f.info.loopCount, 65535);
    ASSERT_EQ(f.bitmaps.size(), 3u);
    EXPECT_EQ(f.delays, (std::vector<int32_t>{0, 655350, 10}));
    EXPECT_EQ(DibToImage(f.bitmaps[1]).pixel(3, 2), qRgb(255, 0, 0));
    EXPECT_EQ(DibToImage(f.bitmaps[1]).pixel(7, 5), qRgb(0, 255, 0));
    EXPECT_EQ(DibToImage(f.bitmaps[2]), DibToImage(f.bitmaps[1]));
}

}  // namespace
}  // namespace faltrix::testing
