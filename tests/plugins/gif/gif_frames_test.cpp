// The GIF plug-ins' frames: animations written by our output and read back by our input and
// by Pillow (frames, delays, loop count), an animation Pillow writes read frame by frame
// against Pillow's own decoding, and damaged or odd animations made with giflib.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QFile>
#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "codec_test_support.h"

namespace faltrix::testing {
namespace {

const CodecPlugin &In() { return Loaded("gif", "input"); }
const CodecPlugin &Out() { return Loaded("gif", "output"); }

// Runs tests/plugins/gif/pillow_gif.py; its exit status (3: Pillow is missing).
int Pillow(const std::string &args) {
    const std::string command =
        "/usr/bin/python3 " FALTRIX_GIF_TEST_DIR "/pillow_gif.py " + args + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#define SKIP_WITHOUT_PILLOW(answer)                                                  \
    if ((answer) == 3 || (answer) == 127) GTEST_SKIP() << "Pillow is not installed"; \
    ASSERT_EQ((answer), 0)

// Pillow's decoding of a file: its frames, delays and loop count (-1 without one).
struct PillowFrames {
    std::vector<QImage> frames;
    std::vector<int32_t> delays;
    int loop = -2;
};

PillowFrames ReadWithPillow(const std::filesystem::path &folder) {
    PillowFrames p;
    QFile info(QString::fromStdString((folder / "info.txt").string()));
    if (!info.open(QIODevice::ReadOnly)) return p;
    const QStringList lines = QString::fromUtf8(info.readAll()).split('\n');
    p.loop = lines.value(0).section(' ', 1).toInt();
    for (const QString &d : lines.value(1).split(' ').mid(1)) p.delays.push_back(d.toInt());
    for (size_t n = 0; n < p.delays.size(); ++n)
        p.frames.emplace_back(
            QString::fromStdString((folder / (std::to_string(n) + ".png")).string()));
    return p;
}

// ---- Our output read back by our input and by Pillow -----------------------------------

using Pixel = std::function<QRgb(int x, int y, int k)>;

struct RoundTripCase {
    const char *name;
    int frames;
    int32_t loop;
    std::vector<int32_t> delays;    // given
    std::vector<int32_t> expected;  // read back: hundredths of a second
    Pixel pixel;
    int maxDifference;  // per channel; 0 for frames of 256 colours or fewer
    bool globalTable;   // every frame in one global colour table
};

const RoundTripCase kRoundTrips[] = {
    // A square moving over eight bands: few colours, one global table, small rectangles.
    {"MovingSquareFewColours",
     3,
     0,
     {100, 0, 250},
     {100, 0, 250},
     [](int x, int y, int k) {
         const bool square = x >= 4 + 10 * k && x < 14 + 10 * k && y >= 6 && y < 16;
         return square ? qRgb(230, 40, 40) : qRgb(30 * (y / 4), 200, 90);
     },
     0,
     true},
    // Transparent where the frame before was opaque (the earlier frame must be disposed of),
    // then opaque again, then a hole: delays rounded to hundredths.
    {"TransparencyComesAndGoes",
     4,
     3,
     {40, 40, 44, 123},
     {40, 40, 40, 120},
     [](int x, int y, int k) -> QRgb {
         switch (k) {
         case 0: return x < 20 ? qRgb(20, 20, 200) : qRgba(0, 0, 0, 0);
         case 1: return x < 20 ? qRgba(0, 0, 0, 0) : qRgb(200, 20, 20);
         case 2: return qRgb(20, 180, 20);
         default:
             return (x > 10 && x < 30 && y > 8 && y < 20) ? qRgba(0, 0, 0, 0) : qRgb(20, 180, 20);
         }
     },
     0,
     true},
    // Thousands of colours in every frame: a table per frame, reduced closely.
    {"ManyColoursLocalTables",
     3,
     1,
     {50, 50, 50},
     {50, 50, 50},
     [](int x, int y, int k) { return qRgb(6 * x + 20 * k, 8 * y, 3 * (x + y)); },
     24,
     false},
    // Frames equal to the one before: each stored as one pixel.
    {"StillFrames",
     3,
     0,
     {10, 20, 30},
     {10, 20, 30},
     [](int x, int y, int) { return (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0); },
     0,
     true},
};

class GifRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

std::vector<QImage> MakeFrames(const RoundTripCase &c) {
    std::vector<QImage> frames;
    for (int k = 0; k < c.frames; ++k) {
        QImage image(40, 30, QImage::Format_ARGB32);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) image.setPixel(x, y, c.pixel(x, y, k));
        frames.push_back(image);
    }
    return frames;
}

// Whether every frame of the file uses the global colour table.
bool AllFramesGlobal(const std::filesystem::path &file) {
    int error = 0;
    GifFileType *gif = DGifOpenFileName(file.c_str(), &error);
    if (!gif || DGifSlurp(gif) == GIF_ERROR) return false;
    bool global = gif->SColorMap != nullptr;
    for (int i = 0; i < gif->ImageCount; ++i)
        global = global && !gif->SavedImages[i].ImageDesc.ColorMap;
    DGifCloseFile(gif, &error);
    return global;
}

TEST_P(GifRoundTrip, OurReaderAndPillowSeeTheFrames) {
    FALTRIX_SKIP_UNLESS_LOADED(&In(), &Out());
    const RoundTripCase &c = GetParam();
    TempDir dir;
    const std::filesystem::path file = dir / "anim.gif";
    const std::vector<QImage> frames = MakeFrames(c);
    std::vector<HBITMAP> bitmaps;
    for (const QImage &f : frames) bitmaps.push_back(ImageToDib(f, 32, true));
    ASSERT_EQ(Out().SaveFrames(bitmaps, c.delays, c.loop, file), 0)
        << Out().LastFailureText().toStdString();
    for (HBITMAP b : bitmaps) DeleteObject(b);
    EXPECT_EQ(AllFramesGlobal(file), c.globalTable);

    const CodecPlugin::Frames ours = In().DecodeFrames(file);
    EXPECT_EQ(ours.info.frameCount, c.frames);
    EXPECT_EQ(ours.info.loopCount, c.loop);
    ASSERT_EQ(ours.bitmaps.size(), size_t(c.frames)) << In().LastFailureText().toStdString();
    EXPECT_EQ(ours.delays, c.expected);
    HBITMAP picture = In().Decode(file);  // palettised unless transparent, the same pixels
    EXPECT_EQ(MaxDifference(DibToImage(picture), DibToImage(ours.bitmaps[0])), 0);
    DeleteObject(picture);
    for (int k = 0; k < c.frames; ++k) {
        std::string where;
        EXPECT_LE(MaxDifference(DibToImage(ours.bitmaps[size_t(k)]), frames[size_t(k)], &where),
                  c.maxDifference)
            << "frame " << k << " " << where;
    }

    SKIP_WITHOUT_PILLOW(Pillow("read " + file.string() + " " + dir.path().toStdString()));
    const PillowFrames theirs = ReadWithPillow(dir.path().toStdString());
    EXPECT_EQ(theirs.loop, c.loop == 1 ? -1 : c.loop);
    EXPECT_EQ(theirs.delays, c.expected);
    ASSERT_EQ(theirs.frames.size(), size_t(c.frames));
    for (int k = 0; k < c.frames; ++k) {
        std::string where;
        EXPECT_LE(MaxDifference(theirs.frames[size_t(k)], frames[size_t(k)], &where),
                  c.maxDifference)
            << "Pillow's frame " << k << " " << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, GifRoundTrip, ::testing::ValuesIn(kRoundTrips), kCaseName);

// ---- An animation Pillow writes ------------------------------------------------------------

TEST(GifFramesFromPillow, EveryFrameAsPillowShowsItFirstAsGetPictureDib) {
    FALTRIX_SKIP_UNLESS_LOADED(&In());
    TempDir dir;
    const std::filesystem::path file = dir / "pillow.gif";
    SKIP_WITHOUT_PILLOW(Pillow("make " + file.string()));
    ASSERT_EQ(Pillow("read " + file.string() + " " + dir.path().toStdString()), 0);
    const PillowFrames theirs = ReadWithPillow(dir.path().toStdString());

    const CodecPlugin::Frames ours = In().DecodeFrames(file);
    EXPECT_EQ(ours.info.width, 40);
    EXPECT_EQ(ours.info.height, 30);
    EXPECT_EQ(ours.info.loopCount, theirs.loop);
    EXPECT_EQ(ours.delays, theirs.delays);  // 0 kept as 0
    ASSERT_EQ(ours.bitmaps.size(), theirs.frames.size());
    for (size_t k = 0; k < ours.bitmaps.size(); ++k) {
        std::string where;
        EXPECT_EQ(MaxDifference(DibToImage(ours.bitmaps[k]), theirs.frames[k], &where), 0)
            << "frame " << k << " " << where;
    }
    HBITMAP picture = In().Decode(file);
    EXPECT_EQ(MaxDifference(DibToImage(picture), DibToImage(ours.bitmaps[0])), 0);
    DeleteObject(picture);
}

// ---- Damaged and odd animations ----------------------------------------------------------

// An 8 x 6 screen with a global table of red, green, blue and white; frames of one colour
// index each: {left, top, width, height, index, centiseconds}.
struct FrameSpec {
    int left, top, width, height, index, delay;
};

void WriteAnimation(const std::filesystem::path &file, const std::vector<FrameSpec> &frames,
                    int loop) {
    int error = 0;
    GifFileType *gif = EGifOpenFileName(file.c_str(), false, &error);
    ASSERT_NE(gif, nullptr);
    GifColorType colours[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    ColorMapObject *map = GifMakeMapObject(4, colours);
    EGifSetGifVersion(gif, true);
    ASSERT_EQ(EGifPutScreenDesc(gif, 8, 6, 8, 0, map), GIF_OK);
    GifFreeMapObject(map);
    const GifByteType count[3] = {1, GifByteType(loop), GifByteType(loop >> 8)};
    EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
    EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
    EGifPutExtensionBlock(gif, 3, count);
    EGifPutExtensionTrailer(gif);
    for (const FrameSpec &f : frames) {
        GraphicsControlBlock gcb{DISPOSE_DO_NOT, false, f.delay, NO_TRANSPARENT_COLOR};
        GifByteType ext[4];
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(EGifGCBToExtension(&gcb, ext)), ext);
        ASSERT_EQ(EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, false, nullptr), GIF_OK);
        std::vector<GifPixelType> line(size_t(f.width), GifPixelType(f.index));
        for (int y = 0; y < f.height; ++y)
            ASSERT_EQ(EGifPutLine(gif, line.data(), f.width), GIF_OK);
    }
    EGifCloseFile(gif, &error);
}

QRgb At(HBITMAP frame, int x, int y) { return DibToImage(frame).pixel(x, y); }

TEST(GifFramesDamaged, FramesPastTheScreenAreClippedLongDelaysAndLoopsKept) {
    FALTRIX_SKIP_UNLESS_LOADED(&In());
    TempDir dir;
    // Red screen; green reaching past the right and bottom edges; blue wholly outside.
    WriteAnimation(dir / "a.gif",
                   {{0, 0, 8, 6, 0, 0}, {4, 3, 10, 10, 1, 65535}, {20, 20, 2, 2, 2, 1}}, 65535);
    const CodecPlugin::Frames f = In().DecodeFrames(dir / "a.gif");
    EXPECT_EQ(f.info.loopCount, 65535);
    ASSERT_EQ(f.bitmaps.size(), 3u);
    EXPECT_EQ(f.delays, (std::vector<int32_t>{0, 655350, 10}));
    EXPECT_EQ(At(f.bitmaps[1], 3, 2), qRgb(255, 0, 0));
    EXPECT_EQ(At(f.bitmaps[1], 7, 5), qRgb(0, 255, 0));
    EXPECT_EQ(DibToImage(f.bitmaps[2]), DibToImage(f.bitmaps[1]));
}

TEST(GifFramesDamaged, LaterFrameCutShortFailsWithItsCauseEarlierOnesRead) {
    FALTRIX_SKIP_UNLESS_LOADED(&In());
    TempDir dir;
    WriteAnimation(dir / "a.gif", {{0, 0, 8, 6, 0, 5}, {0, 0, 8, 6, 1, 5}, {0, 0, 8, 6, 2, 5}}, 0);
    const std::vector<uint8_t> whole = ReadFile(dir / "a.gif");
    struct Cut {
        const char *name;
        size_t drop;    // bytes cut from the end
        size_t frames;  // read
        bool cause;     // the last Read failed with "ends before"
    };
    for (const Cut &cut :
         {Cut{"trailer", 1, 3, false}, Cut{"in the last frame's data", 6, 2, true}}) {
        SCOPED_TRACE(cut.name);
        QFile out(QString::fromStdString((dir / "cut.gif").string()));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(reinterpret_cast<const char *>(whole.data()), qint64(whole.size() - cut.drop));
        out.close();
        const CodecPlugin::Frames f = In().DecodeFrames(dir / "cut.gif");
        EXPECT_EQ(f.info.frameCount, 3);
        EXPECT_EQ(f.bitmaps.size(), cut.frames);
        if (cut.cause) {
            EXPECT_TRUE(In().LastFailureText().contains("ends before"))
                << In().LastFailureText().toStdString();
        }
    }
}

}  // namespace
}  // namespace faltrix::testing
