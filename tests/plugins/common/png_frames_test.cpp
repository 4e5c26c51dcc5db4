// Animated PNG through the PNG plug-ins' frame calls: our animations back through our reader
// and through Pillow, Pillow's animations (moving frames, disposal, blending, grey, a default
// picture outside the animation) against Pillow's own composition, and disposal and blending
// worked by hand. Animations whose chunks lie are files of tests/data/png/hostile (frames.txt).
// Plain round trips looping for ever are judged by the program-level animation test.
#include <gtest/gtest.h>

#include <QProcess>

#include <zlib.h>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

QString Script() { return Q(DataDir() / "png" / "animation" / "pillow_apng.py"); }

#define SKIP_WITHOUT_PILLOW() \
    if (!HavePillow()) GTEST_SKIP() << "Pillow is not installed for " << kPython

// Frames that move, fade in and out and cover one another.
std::vector<QImage> Animation(int count) {
    std::vector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        QImage chart = TestChart(48, 36, i % 2 == 1);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) chart.setPixel(4 * i + x, 2 * i + y, 0xFF102030u * (i + 1));
        frames.push_back(i == 2 ? chart.convertToFormat(QImage::Format_RGB888) : chart);
    }
    return frames;
}

// Our output's animation of these frames (the third given as 24 bits, every other one
// bottom-up); the file's bytes.
Bytes Save(const std::vector<QImage> &frames, const std::vector<int32_t> &delays, int32_t loop,
           const fs::path &file) {
    const CodecPlugin &out = Loaded("png", "output");
    std::vector<HBITMAP> bitmaps;
    for (size_t i = 0; i < frames.size(); ++i)
        bitmaps.push_back(ImageToDib(frames[i], i == 2 ? 24 : 32, i % 2 == 0));
    EXPECT_EQ(out.SaveFrames(bitmaps, delays, loop, file), 0) << out.LastFailure();
    for (HBITMAP b : bitmaps) DeleteObject(b);
    return ReadFile(file);
}

// Ours to ours and ours to Pillow: every frame exactly, the delays (0 kept as 0, and one longer
// than fcTL's thousandths can hold), the loop count; the first frame also the still picture.
TEST(ApngRoundTrip, KeepsFramesDelaysAndLoop) {
    const CodecPlugin &in = Loaded("png", "input"), &out = Loaded("png", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    TempDir dir;
    const std::vector<int32_t> delays = {70000, 0, 5};
    const std::vector<QImage> source = Animation(3);
    ASSERT_FALSE(Save(source, delays, 3, dir / "a.png").empty());
    const CodecPlugin::Frames back = in.DecodeFrames(dir / "a.png");
    EXPECT_EQ(back.info.loopCount, 3);
    EXPECT_EQ(back.delays, delays);
    ExpectFrames(Images(back.bitmaps), source, 0, "our reader");
    ExpectFrames({DibToImage(OwnedDib(in.Decode(dir / "a.png")))}, {source[0]}, 0, "GetPictureDIB");
    SKIP_WITHOUT_PILLOW();
    const PeerFrames peer = PillowFrames(dir / "a.png");
    EXPECT_EQ(peer.delays, delays);
    EXPECT_EQ(peer.loop, 3);
    ExpectFrames(peer.frames, source, 0, "Pillow");
}

// Pillow writes only the changed rectangle of each frame, with the disposal and blending the
// script asks for: every frame as we compose it is the frame Pillow composes, but for rounding
// one step apart where a half-transparent pixel lies over another. (Pillow's palette
// animations are no reference: it writes every frame's indices under the first one's palette.)
TEST(ApngFromPillow, ComposesAsPillowDoes) {
    SKIP_WITHOUT_PILLOW();
    const CodecPlugin &in = Loaded("png", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    TempDir dir;
    const QString file = Q(dir / "p.png");
    // Pillow's mode of the frames; 1: the first picture is a default one outside the animation.
    for (const char *args : {"RGBA 0", "RGBA 1", "LA 0"}) {
        SCOPED_TRACE(args);
        ASSERT_EQ(QProcess::execute(kPython,
                                    QStringList{Script(), "make", file} + QString(args).split(' ')),
                  0);
        const PeerFrames peer = PillowFrames(dir / "p.png");
        const CodecPlugin::Frames ours = in.DecodeFrames(dir / "p.png");
        EXPECT_EQ(ours.info.loopCount, peer.loop);
        EXPECT_EQ(ours.delays, peer.delays);
        ExpectFrames(Images(ours.bitmaps), peer.frames, 1, "our reader");
    }
}

// ---- Bytes of our files, changed ----------------------------------------------------------

uint32_t Get32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
void Put32(Bytes *b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

// Where the n-th chunk of that type begins (its length field); 0 when there is none.
size_t FindChunk(const Bytes &png, const char *type, int n) {
    for (size_t at = 8; at + 12 <= png.size(); at += 12 + Get32(png, at))
        if (std::memcmp(&png[at + 4], type, 4) == 0 && n-- == 0) return at;
    return 0;
}

// Puts v at offset `at` of the data of the n-th chunk of that type (32 bits, or one byte when
// byte) and mends the chunk's CRC.
void Change(Bytes *png, const char *type, int n, size_t at, uint32_t v, bool byte = false) {
    const size_t chunk = FindChunk(*png, type, n);
    byte ? void((*png)[chunk + 8 + at] = uint8_t(v)) : Put32(png, chunk + 8 + at, v);
    const uint32_t length = Get32(*png, chunk);
    Put32(png, chunk + 8 + length, uint32_t(crc32(0, png->data() + chunk + 4, length + 4)));
}

// ---- Disposal and blending, worked by hand ------------------------------------------------

// Half-transparent red, then half-transparent blue laid over it (APNG's "over": alpha
// 128 + 128 * 127 / 255 = 192, red 200 * 128 * 127 / (128 * 255 + 128 * 127) = 66.5, blue
// 255 * 255 / 382 = 170.2), over nothing once red is cleared, or replacing it.
TEST(ApngComposition, DisposesAndBlendsAsTheControlsSay) {
    const CodecPlugin &in = Loaded("png", "input"), &out = Loaded("png", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    TempDir dir;
    struct Case {
        const char *name;
        uint8_t firstDispose, secondBlend;
        QRgb second;  // frame 2 as shown
    };
    for (const Case &c : {Case{"over the frame before", 0, 1, qRgba(66, 0, 170, 192)},
                          Case{"over a cleared canvas", 1, 1, qRgba(0, 0, 255, 128)},
                          Case{"over a put back canvas", 2, 1, qRgba(0, 0, 255, 128)},
                          Case{"replacing", 0, 0, qRgba(0, 0, 255, 128)}}) {
        SCOPED_TRACE(c.name);
        std::vector<QImage> source(2, QImage(4, 3, QImage::Format_ARGB32));
        source[0].fill(QColor::fromRgba(qRgba(200, 0, 0, 128)));
        source[1].fill(QColor::fromRgba(qRgba(0, 0, 255, 128)));
        Bytes png = Save(source, {10, 10}, 0, dir / "a.png");
        Change(&png, "fcTL", 0, 24, c.firstDispose, true);
        Change(&png, "fcTL", 1, 25, c.secondBlend, true);
        WriteFile(dir / "b.png", png);
        source[1].fill(QColor::fromRgba(c.second));
        ExpectFrames(Images(in.DecodeFrames(dir / "b.png").bitmaps), source, 1, "our reader");
    }
}

}  // namespace
}  // namespace faltrix
