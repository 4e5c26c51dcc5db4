// Animated WebP through the WebP plug-ins' frame calls, against Pillow (run as /usr/bin/python3
// with tests/data/webp/peer_animations.py; the tests are skipped without it): animations that
// Pillow and img2webp write read frame by frame as Pillow reads them, ours where the
// program-level animation test does not reach, and one of more frames than the host takes.
#include <gtest/gtest.h>

#include <QPainter>
#include <QProcess>
#include <QStandardPaths>

#include <cstring>
#include <fstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

bool Peer(const QStringList &arguments) {
    return QProcess::execute(
               kPython, QStringList{Q(DataDir() / "webp" / "peer_animations.py")} + arguments) == 0;
}

bool HavePeer(const std::string &tool) {
    return Peer({"check"}) &&
           (tool != "img2webp" || !QStandardPaths::findExecutable(tool.c_str()).isEmpty());
}

// The chart with a square that moves, so that no two frames are alike.
std::vector<QImage> MovingFrames(size_t count, bool alpha) {
    std::vector<QImage> frames;
    for (size_t k = 0; k < count; ++k) {
        frames.push_back(TestChart(61, 40, alpha));
        QPainter(&frames.back())
            .fillRect(5 + 11 * int(k), 20, 12, 12, QColor(240, 20 * int(k), 30));
    }
    return frames;
}

// Writes the frames with Pillow or img2webp.
bool PeerWrites(const fs::path &file, const char *tool, bool lossless, int loop,
                const std::vector<QImage> &images, const std::vector<int32_t> &delays) {
    QStringList args{"make", Q(file), tool, lossless ? "1" : "0", QString::number(loop)};
    for (size_t k = 0; k < images.size(); ++k) {
        args << Q(file) + QString::number(k) + ".png" << QString::number(delays[k]);
        images[k].save(args[args.size() - 2]);
    }
    return Peer(args);
}

struct AnimationCase {
    const char *name, *writer;  // "ours", "pillow" or "img2webp"
    bool lossless, alpha;
    int loop;
    std::vector<int32_t> delays;  // img2webp takes no 0
    // Of each frame against the picture written, as shown (premultiplied); 0: every visible
    // pixel back. The dense chart at this size keeps 21.2 to 22.4 dB lossy (ours at quality
    // 90, the peers at theirs); the next frame (its square moved) gives 13.
    double minPsnr;
};

class Animations : public KeepsSettings, public ::testing::WithParamInterface<AnimationCase> {};

TEST_P(Animations, ReadFrameByFrameAsPillowReadsThem) {
    const AnimationCase &c = GetParam();
    const CodecPlugin &out = Loaded("webp", "output"), &in = Loaded("webp", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&out, &in);
    if (!HavePeer(c.writer)) GTEST_SKIP() << "Pillow with WebP animation, or img2webp, is missing";
    const std::vector<QImage> images = MovingFrames(c.delays.size(), c.alpha);
    TempDir dir;
    const fs::path file = dir / "animation.webp";
    const auto set = reinterpret_cast<SetPictureMetadataFn>(out.Symbol("SetPictureMetadata"));
    if (std::string(c.writer) == "ours") {
        Keep(out);
        ASSERT_EQ(AnswerSettings(out, {{"Lossless", c.lossless ? 1 : 0}}, true), 0);
        std::vector<HBITMAP> bitmaps;  // both row orders, and 24 bits without alpha
        for (size_t k = 0; k < images.size(); ++k)
            bitmaps.push_back(ImageToDib(images[k], c.alpha ? 32 : 24, k % 2 == 0));
        ASSERT_EQ(set(FALTRIX_METADATA_ICC, "profile", 7), 0);  // kept as by Save
        const int32_t saved = out.SaveFrames(bitmaps, c.delays, c.loop, file);
        set(nullptr, nullptr, 0);
        for (HBITMAP bitmap : bitmaps) DeleteObject(bitmap);
        ASSERT_EQ(saved, 0) << out.LastFailure();
    } else {
        ASSERT_TRUE(PeerWrites(file, c.writer, c.lossless, c.loop, images, c.delays));
    }

    ASSERT_TRUE(Peer({"dump", Q(file), dir.path()}));  // dir/<k>.png, dir/info.txt
    std::ifstream info(dir / "info.txt");
    int loop = -1;
    std::vector<int> durations(c.delays.size(), -1);
    info >> loop;
    for (int &duration : durations) info >> duration;
    EXPECT_FALSE(info >> loop) << "Pillow reads more frames";
    EXPECT_EQ(loop, c.loop);
    int32_t answer = -1;
    const CodecPlugin::Frames ours = in.DecodeFrames(file, &answer);
    ASSERT_EQ(answer, 0) << in.LastFailure();
    ASSERT_EQ(ours.bitmaps.size(), images.size());
    EXPECT_EQ(ours.info.loopCount, c.loop);
    for (size_t k = 0; k < images.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_NEAR(durations[k], c.delays[k], 10);
        EXPECT_NEAR(ours.delays[k], durations[k], 10);
        const auto shown = [](const QImage &image) {
            return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        };
        const QImage peer = shown(QImage(Q(dir / (std::to_string(k) + ".png"))));
        if (c.minPsnr == 0) EXPECT_EQ(MaxDifference(peer, shown(images[k])), 0);
        else EXPECT_GE(Psnr(peer, shown(images[k])), c.minPsnr);
        EXPECT_EQ(MaxDifference(shown(DibToImage(ours.bitmaps[k])), peer), 0);  // both libwebp's
    }
    const Bytes icc = ReadFile(dir / "icc"), written{'p', 'r', 'o', 'f', 'i', 'l', 'e'};
    EXPECT_EQ(icc, std::string(c.writer) == "ours" ? written : Bytes());  // as Pillow reads it
}

// cli.Animations has Pillow judge our writer's lossy frames without alpha, loops 0 and 3.
const std::vector<int32_t> kDelays{80, 0, 200, 33};
INSTANTIATE_TEST_SUITE_P(
    Writers, Animations,
    ::testing::Values(
        AnimationCase{"OursLosslessAlpha", "ours", true, true, 3, kDelays, 0},
        AnimationCase{"OursLossyOnce", "ours", false, false, 1, kDelays, 20},
        AnimationCase{"OursLossyAlphaForEver", "ours", false, true, 0, kDelays, 20},
        AnimationCase{"PillowLosslessAlpha", "pillow", true, true, 3, kDelays, 0},
        AnimationCase{"PillowLossy", "pillow", false, false, 0, {50, 60, 70}, 20},
        // img2webp leaves the transparent band out of its frames' rectangles.
        AnimationCase{"Img2webpLossyAlpha", "img2webp", false, true, 2, {70, 20, 30}, 20},
        AnimationCase{"Img2webpLossless", "img2webp", true, false, 1, {30, 30, 40}, 0}),
    kCaseName);

// ---- Hostile animations --------------------------------------------------------------------

void Put(Bytes *b, size_t at, uint32_t value, int n) {
    for (int i = 0; i < n; ++i) (*b)[at + i] = uint8_t(value >> (8 * i));
}
// Where the k-th ANMF chunk (from 0) begins.
long FrameChunk(const Bytes &b, int k) {
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t size =
            b[at + 4] | b[at + 5] << 8 | b[at + 6] << 16 | uint32_t(b[at + 7]) << 24;
        if (std::memcmp(&b[at], "ANMF", 4) == 0 && k-- == 0) return long(at);
        at += 8 + size + (size & 1);
    }
    return 0;
}

// An animation of more frames than the host takes (the first frame of a file of tests/data over
// and over) is refused when opened, with the count. (Animations damaged at a frame are files of
// tests/data/webp/hostile: frames.txt.)
TEST(HostileAnimations, MoreFramesThanTheLimitAreRefused) {
    const CodecPlugin &in = Loaded("webp", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    Bytes b = ReadFile(DataDir() / "webp" / "layouts" / "animation-red-then-blue.webp");
    ASSERT_NE(FrameChunk(b, 1), 0);
    const Bytes frame(b.begin() + FrameChunk(b, 0), b.begin() + FrameChunk(b, 1));
    b.resize(size_t(FrameChunk(b, 0)));
    for (int k = 0; k <= FALTRIX_MAX_FRAMES; ++k) b.insert(b.end(), frame.begin(), frame.end());
    Put(&b, 4, uint32_t(b.size() - 8), 4);
    TempDir dir;
    WriteFile(dir / "many.webp", b);
    int32_t answer = -1;
    EXPECT_TRUE(in.DecodeFrames(dir / "many.webp", &answer).bitmaps.empty());
    EXPECT_NE(answer, 0);
    EXPECT_TRUE(in.LastFailureText().contains("more than 10000 frames")) << in.LastFailure();
}

}  // namespace
}  // namespace faltrix
