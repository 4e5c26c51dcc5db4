// Animated PNG through the PNG plug-ins' frame calls: our animations back through our reader
// and through Pillow, Pillow's animations (moving frames, disposal, blending, grey, a default
// picture outside the animation) against Pillow's own composition, and animations
// whose chunks lie, each made from one of ours by changing a few bytes.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>

#include <zlib.h>
#include <fstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

const char kPython[] = "/usr/bin/python3";

QString Script() {
    return QString::fromStdString(DataDir() / "png" / "animation" / "pillow_apng.py");
}

bool HavePillow() { return QProcess::execute(kPython, {"-c", "import PIL.PngImagePlugin"}) == 0; }

#define SKIP_WITHOUT_PILLOW() \
    if (!HavePillow()) GTEST_SKIP() << "Pillow is not installed for " << kPython

// Pillow's reading of an animation: its frames as it composes them, its loop and durations.
struct PeerFrames {
    std::vector<QImage> frames;
    int32_t loop = -1;
    std::vector<int32_t> delays;
};

PeerFrames PillowReads(const fs::path &file, const TempDir &dir) {
    PeerFrames peer;
    const QString folder = dir.path() + "/peer";
    QDir().mkpath(folder);
    if (QProcess::execute(kPython, {Script(), "dump", QString::fromStdString(file), folder}) != 0)
        return peer;
    std::ifstream info(folder.toStdString() + "/info.txt");
    int32_t count = 0;
    info >> count >> peer.loop;
    for (int32_t i = 0, d = 0; i < count && info >> d; ++i) {
        peer.delays.push_back(d);
        peer.frames.emplace_back(folder + QString("/frame%1.png").arg(i));
    }
    return peer;
}

// Frames that move, fade in and out and cover one another, as 32-bit sections with alpha.
std::vector<HBITMAP> Animation(int count) {
    std::vector<HBITMAP> frames;
    for (int i = 0; i < count; ++i) {
        QImage chart = TestChart(48, 36, i % 2 == 1);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) chart.setPixel(4 * i + x, 2 * i + y, 0xFF102030u * (i + 1));
        frames.push_back(ImageToDib(chart, i == 2 ? 24 : 32, i % 2 == 0));
    }
    return frames;
}

struct RoundTripCase {
    const char *name;
    std::vector<int32_t> delays;
    int32_t loop;
};

class ApngRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// Ours to ours and ours to Pillow: every frame exactly, the delays (0 kept as 0, and one longer
// than fcTL's thousandths can hold) and the loop count.
TEST_P(ApngRoundTrip, KeepsFramesDelaysAndLoop) {
    const CodecPlugin &in = Loaded("png", "input"), &out = Loaded("png", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    const RoundTripCase &c = GetParam();
    TempDir dir;
    const std::vector<HBITMAP> source = Animation(int(c.delays.size()));
    ASSERT_EQ(out.SaveFrames(source, c.delays, c.loop, dir / "a.png"), 0)
        << out.LastFailureText().toStdString();
    const CodecPlugin::Frames back = in.DecodeFrames(dir / "a.png");
    ASSERT_EQ(back.bitmaps.size(), source.size()) << in.LastFailureText().toStdString();
    EXPECT_EQ(back.info.loopCount, c.loop);
    EXPECT_EQ(back.delays, c.delays);
    const PeerFrames peer = PillowReads(dir / "a.png", dir);
    for (size_t i = 0; i < source.size(); ++i) {
        const QImage expected = DibToImage(source[i]);
        std::string where;
        EXPECT_EQ(MaxDifference(DibToImage(back.bitmaps[i]), expected, &where), 0)
            << "frame " << i << " " << where;
        if (i < peer.frames.size()) {
            EXPECT_EQ(MaxDifference(peer.frames[i], expected, &where), 0)
                << "Pillow's frame " << i << " " << where;
        }
    }
    // The first frame is also the picture every PNG reader shows.
    HBITMAP still = in.Decode(dir / "a.png");
    EXPECT_EQ(MaxDifference(DibToImage(still), DibToImage(source[0])), 0);
    DeleteObject(still);
    for (HBITMAP b : source) DeleteObject(b);
    if (!HavePillow()) GTEST_SKIP() << "Pillow is not installed for " << kPython;
    ASSERT_EQ(peer.frames.size(), source.size());
    EXPECT_EQ(peer.delays, c.delays);
    EXPECT_EQ(peer.loop, c.loop);
}

INSTANTIATE_TEST_SUITE_P(Png, ApngRoundTrip,
                         ::testing::Values(RoundTripCase{"ForEver", {100, 0, 40, 1000}, 0},
                                           RoundTripCase{"Once", {10, 20}, 1},
                                           RoundTripCase{"ThreeTimesLongDelay", {70000, 5, 0}, 3}),
                         kCaseName);

struct PeerCase {
    const char *name;
    const char *mode;  // Pillow's mode of the frames
    bool defaultPicture;
};

class ApngFromPillow : public ::testing::TestWithParam<PeerCase> {};

// Pillow writes only the changed rectangle of each frame, with the disposal and blending the
// script asks for: every frame as we compose it is the frame Pillow composes. (Pillow's
// palette animations are no reference: it writes every frame's indices under the first
// frame's palette.)
TEST_P(ApngFromPillow, ComposesAsPillowDoes) {
    SKIP_WITHOUT_PILLOW();
    const CodecPlugin &in = Loaded("png", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const PeerCase &c = GetParam();
    TempDir dir;
    const QString file = QString::fromStdString(dir / "p.png");
    ASSERT_EQ(
        QProcess::execute(kPython, {Script(), "make", file, c.mode, c.defaultPicture ? "1" : "0"}),
        0);
    const PeerFrames peer = PillowReads(dir / "p.png", dir);
    const CodecPlugin::Frames ours = in.DecodeFrames(dir / "p.png");
    ASSERT_EQ(ours.bitmaps.size(), peer.frames.size()) << in.LastFailureText().toStdString();
    EXPECT_EQ(ours.info.loopCount, peer.loop);
    EXPECT_EQ(ours.delays, peer.delays);
    for (size_t i = 0; i < peer.frames.size(); ++i) {
        std::string where;
        // Laying a half-transparent pixel over another may round one step apart.
        EXPECT_LE(MaxDifference(DibToImage(ours.bitmaps[i]), peer.frames[i], &where), 1)
            << "frame " << i << " " << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Png, ApngFromPillow,
                         ::testing::Values(PeerCase{"Rgba", "RGBA", false},
                                           PeerCase{"RgbaDefaultPicture", "RGBA", true},
                                           PeerCase{"GreyAlpha", "LA", false}),
                         kCaseName);

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

void FixCrc(Bytes *png, size_t chunk) {
    const uint32_t n = Get32(*png, chunk);
    Put32(png, chunk + 8 + n, uint32_t(crc32(0, png->data() + chunk + 4, n + 4)));
}

// ---- Disposal and blending, worked by hand ------------------------------------------------

// One colour on the whole picture, as a 32-bit section with alpha.
HBITMAP Plain(QRgb argb) {
    QImage image(4, 3, QImage::Format_ARGB32);
    image.fill(QColor::fromRgba(argb));
    return ImageToDib(image, 32, true);
}

void SetControl(Bytes *png, int frame, uint8_t dispose, uint8_t blend) {
    const size_t fctl = FindChunk(*png, "fcTL", frame);
    (*png)[fctl + 8 + 24] = dispose;
    (*png)[fctl + 8 + 25] = blend;
    FixCrc(png, fctl);
}

struct CompositionCase {
    const char *name;
    uint8_t firstDispose, secondBlend;
    QRgb second;  // frame 2 as shown
};

class ApngComposition : public ::testing::TestWithParam<CompositionCase> {};

// Half-transparent red, then half-transparent blue laid over it (APNG's "over": alpha
// 128 + 128 * 127 / 255 = 192, red 200 * 128 * 127 / (128 * 255 + 128 * 127) = 66.5, blue
// 255 * 255 / 382 = 170.2), over nothing once red is cleared, or replacing it.
TEST_P(ApngComposition, DisposesAndBlendsAsTheControlsSay) {
    const CodecPlugin &in = Loaded("png", "input"), &out = Loaded("png", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    const CompositionCase &c = GetParam();
    TempDir dir;
    const std::vector<HBITMAP> source = {Plain(qRgba(200, 0, 0, 128)),
                                         Plain(qRgba(0, 0, 255, 128))};
    ASSERT_EQ(out.SaveFrames(source, {10, 10}, 0, dir / "a.png"), 0);
    for (HBITMAP b : source) DeleteObject(b);
    Bytes png = ReadFile(dir / "a.png");
    SetControl(&png, 0, c.firstDispose, 0);
    SetControl(&png, 1, 0, c.secondBlend);
    std::ofstream(dir / "b.png", std::ios::binary)
        .write(reinterpret_cast<const char *>(png.data()), std::streamsize(png.size()));
    const CodecPlugin::Frames frames = in.DecodeFrames(dir / "b.png");
    ASSERT_EQ(frames.bitmaps.size(), 2u) << in.LastFailureText().toStdString();
    QImage expected(4, 3, QImage::Format_ARGB32);
    expected.fill(QColor::fromRgba(c.second));
    std::string where;
    EXPECT_LE(MaxDifference(DibToImage(frames.bitmaps[1]), expected, &where), 1) << where;
}

INSTANTIATE_TEST_SUITE_P(
    Png, ApngComposition,
    ::testing::Values(CompositionCase{"OverTheFrameBefore", 0, 1, qRgba(66, 0, 170, 192)},
                      CompositionCase{"OverAClearedCanvas", 1, 1, qRgba(0, 0, 255, 128)},
                      CompositionCase{"OverAPutBackCanvas", 2, 1, qRgba(0, 0, 255, 128)},
                      CompositionCase{"Replacing", 0, 0, qRgba(0, 0, 255, 128)}),
    kCaseName);

// ---- Animations that lie ------------------------------------------------------------------

struct LieCase {
    const char *name;
    std::function<void(Bytes *)> change;
    bool opens;
    int32_t frameCount;  // when it opens
    size_t framesRead;   // before the first that fails
    const char *cause;   // of the failure, in part
};

class ApngLies : public ::testing::TestWithParam<LieCase> {};

// Three frames of ours, changed as the case says: refused at opening with a cause, or read up
// to the frame that is damaged, which fails with a cause. The picture of plain PNG readers
// stays readable.
TEST_P(ApngLies, RefusedOrReadUpToTheDamage) {
    const CodecPlugin &in = Loaded("png", "input"), &out = Loaded("png", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    const LieCase &c = GetParam();
    TempDir dir;
    const std::vector<HBITMAP> source = Animation(3);
    ASSERT_EQ(out.SaveFrames(source, {50, 50, 50}, 0, dir / "good.png"), 0);
    for (HBITMAP b : source) DeleteObject(b);
    Bytes png = ReadFile(dir / "good.png");
    c.change(&png);
    std::ofstream(dir / "bad.png", std::ios::binary)
        .write(reinterpret_cast<const char *>(png.data()), std::streamsize(png.size()));
    int32_t answer = 0;
    const CodecPlugin::Frames frames = in.DecodeFrames(dir / "bad.png", &answer);
    const std::string cause = in.LastFailureText().toStdString();
    EXPECT_EQ(answer == 0, c.opens) << cause;
    if (c.opens) {
        EXPECT_EQ(frames.info.frameCount, c.frameCount);
    }
    EXPECT_EQ(frames.bitmaps.size(), c.framesRead);
    if (c.cause[0] != '\0') {
        EXPECT_NE(cause.find(c.cause), std::string::npos) << cause;
    }
    HBITMAP still = in.Decode(dir / "bad.png");
    EXPECT_NE(still, nullptr);
    DeleteObject(still);
}

void FramePlacedAt(Bytes *png, uint32_t x) {
    const size_t fctl = FindChunk(*png, "fcTL", 1);
    Put32(png, fctl + 8 + 12, x);
    FixCrc(png, fctl);
}
void Announce(Bytes *png, uint32_t frames) {
    const size_t actl = FindChunk(*png, "acTL", 0);
    Put32(png, actl + 8, frames);
    FixCrc(png, actl);
}

INSTANTIATE_TEST_SUITE_P(
    Png, ApngLies,
    ::testing::Values(
        LieCase{"FrameOutsideCanvas", [](Bytes *p) { FramePlacedAt(p, 1); }, false, 0, 0,
                "reaches outside the canvas"},
        LieCase{"FrameFarOutsideCanvas", [](Bytes *p) { FramePlacedAt(p, 0xFFFFFFF0u); }, false, 0,
                0, "reaches outside the canvas"},
        LieCase{"CountAboveFrames", [](Bytes *p) { Announce(p, 9); }, true, 3, 3, ""},
        LieCase{"CountBelowFrames", [](Bytes *p) { Announce(p, 2); }, true, 2, 2, ""},
        LieCase{"LastFrameCutShort", [](Bytes *p) { p->resize(FindChunk(*p, "fdAT", 1) + 40); },
                true, 3, 2, "frame 3 is cut short"},
        LieCase{"FrameDataDamaged", [](Bytes *p) { (*p)[FindChunk(*p, "fdAT", 1) + 20] ^= 0x55; },
                true, 3, 2, "CRC error"},
        LieCase{"SequenceOutOfOrder",
                [](Bytes *p) {
                    const size_t fdat = FindChunk(*p, "fdAT", 0);
                    Put32(p, fdat + 8, 7);
                    FixCrc(p, fdat);
                },
                false, 0, 0, "sequence number 7"}),
    kCaseName);

}  // namespace
}  // namespace faltrix
