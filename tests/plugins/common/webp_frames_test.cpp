// Animated WebP through the WebP plug-ins' frame calls, against Pillow (run as /usr/bin/python3
// with tests/data/webp/peer_animations.py; the tests are skipped without it): animations that
// we, Pillow and img2webp write read frame by frame as Pillow reads them, and hostile ones
// refused at the frame they break, the frames before it kept.
#include <gtest/gtest.h>

#include <QPainter>
#include <QProcess>
#include <QStandardPaths>

#include <cstring>
#include <fstream>
#include <map>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

bool Peer(const QStringList &arguments) {
    const auto script =
        QString::fromStdString((DataDir() / "webp" / "peer_animations.py").string());
    return QProcess::execute("/usr/bin/python3", QStringList{script} + arguments) == 0;
}

#define SKIP_WITHOUT_PEER(tool)                                                                    \
    if (QProcess::execute("/usr/bin/python3", {"-c",                                               \
                                               "from PIL import features as f; "                   \
                                               "assert f.check('webp_anim')"}) != 0 ||             \
        (std::string(tool) == "img2webp" && QStandardPaths::findExecutable("img2webp").isEmpty())) \
    GTEST_SKIP() << "Pillow with WebP animation, or " << tool << ", is not installed"

QString Q(const fs::path &path) { return QString::fromStdString(path.string()); }

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
        const QString png = Q(file) + QString::number(k) + ".png";
        images[k].save(png);
        args << png << QString::number(delays[k]);
    }
    return Peer(args);
}

struct PillowReading {
    int loop = -1;
    std::vector<int> durations;
    std::vector<QImage> frames;
};

PillowReading PillowReads(const fs::path &file, const fs::path &folder) {
    PillowReading peer;
    fs::create_directories(folder);
    if (!Peer({"dump", Q(file), Q(folder)})) return peer;
    std::ifstream info(folder / "info.txt");
    std::string word;
    for (int value; info >> word >> value;)
        (word == "loop" ? peer.loop : peer.durations.emplace_back()) = value;
    for (size_t k = 0; k < peer.durations.size(); ++k)
        peer.frames.push_back(QImage(Q(folder / (std::to_string(k) + ".png")))
                                  .convertToFormat(QImage::Format_ARGB32_Premultiplied));
    return peer;
}

void Collect(void *items, const char *key, const void *bytes, int32_t size) {
    (*static_cast<std::map<std::string, std::string> *>(items))[key].assign(
        static_cast<const char *>(bytes), size_t(size));
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
    SKIP_WITHOUT_PEER(c.writer);
    const std::vector<QImage> images = MovingFrames(c.delays.size(), c.alpha);
    TempDir dir;
    const fs::path file = dir / "animation.webp";
    if (std::string(c.writer) == "ours") {
        Keep(out);
        ASSERT_EQ(AnswerSettings(out, {{"Lossless", c.lossless ? 1 : 0}}, true), 0);
        std::vector<HBITMAP> bitmaps;  // both row orders, and 24 bits without alpha
        for (size_t k = 0; k < images.size(); ++k)
            bitmaps.push_back(ImageToDib(images[k], c.alpha ? 32 : 24, k % 2 == 0));
        auto set = reinterpret_cast<SetPictureMetadataFn>(out.Symbol("SetPictureMetadata"));
        ASSERT_EQ(set(FALTRIX_METADATA_ICC, "profile", 7), 0);  // kept as by Save
        const int32_t saved = out.SaveFrames(bitmaps, c.delays, c.loop, file);
        set(nullptr, nullptr, 0);
        for (HBITMAP bitmap : bitmaps) DeleteObject(bitmap);
        ASSERT_EQ(saved, 0) << out.LastFailureText().toStdString();
    } else {
        ASSERT_TRUE(PeerWrites(file, c.writer, c.lossless, c.loop, images, c.delays));
    }

    const PillowReading peer = PillowReads(file, dir / "pillow");
    ASSERT_EQ(peer.frames.size(), images.size());
    EXPECT_EQ(peer.loop, c.loop);
    int32_t answer = -1;
    const CodecPlugin::Frames ours = in.DecodeFrames(file, &answer);
    ASSERT_EQ(answer, 0) << in.LastFailureText().toStdString();
    ASSERT_EQ(ours.bitmaps.size(), images.size());
    EXPECT_EQ(ours.info.loopCount, c.loop);
    for (size_t k = 0; k < images.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_NEAR(peer.durations[k], c.delays[k], 10);
        EXPECT_NEAR(ours.delays[k], peer.durations[k], 10);
        const QImage shown = images[k].convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (c.minPsnr == 0) EXPECT_EQ(MaxDifference(peer.frames[k], shown), 0);
        else EXPECT_GE(Psnr(peer.frames[k], shown), c.minPsnr);
        // Both compose with libwebp: the same canvases.
        EXPECT_EQ(ViewDib(ours.bitmaps[k]).bitCount, 32);
        const QImage have =
            DibToImage(ours.bitmaps[k]).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        EXPECT_EQ(MaxDifference(have, peer.frames[k]), 0);
    }
    std::map<std::string, std::string> items;
    auto get = reinterpret_cast<GetPictureMetadataFn>(in.Symbol("GetPictureMetadata"));
    EXPECT_EQ(get(U16(file).c_str(), Collect, &items), 0);
    if (std::string(c.writer) == "ours") {
        EXPECT_EQ(items[FALTRIX_METADATA_ICC], "profile");
    }
    HBITMAP still = in.Decode(file);  // GetPictureDIB gives frame 1
    ASSERT_NE(still, nullptr);
    EXPECT_EQ(ViewDib(still).rows, ViewDib(ours.bitmaps[0]).rows);
    DeleteObject(still);
}

const std::vector<int32_t> kDelays{80, 0, 200, 33};
INSTANTIATE_TEST_SUITE_P(
    Writers, Animations,
    ::testing::Values(
        AnimationCase{"OursLosslessAlpha", "ours", true, true, 3, kDelays, 0},
        AnimationCase{"OursLossyForEver", "ours", false, false, 0, kDelays, 20},
        AnimationCase{"OursLossyAlphaOnce", "ours", false, true, 1, kDelays, 20},
        AnimationCase{"PillowLosslessAlpha", "pillow", true, true, 3, kDelays, 0},
        AnimationCase{"PillowLossy", "pillow", false, false, 0, {50, 60, 70}, 20},
        // img2webp leaves the transparent band out of its frames' rectangles.
        AnimationCase{"Img2webpLossyAlpha", "img2webp", false, true, 2, {70, 20, 30}, 20},
        AnimationCase{"Img2webpLossless", "img2webp", true, false, 1, {30, 30, 40}, 0}),
    kCaseName);

// ---- Hostile animations, made from Pillow's lossless one of 4 frames of 61 x 40 ------------

void Put(Bytes *b, size_t at, uint32_t value, int n) {
    for (int i = 0; i < n; ++i) (*b)[at + i] = uint8_t(value >> (8 * i));
}
// Where the k-th ANMF chunk (from 0) begins.
size_t FrameChunk(const Bytes &b, int k) {
    for (size_t at = 12; at + 8 <= b.size();) {
        uint32_t size;
        std::memcpy(&size, &b[at + 4], 4);
        if (std::memcmp(&b[at], "ANMF", 4) == 0 && k-- == 0) return at;
        at += 8 + size + (size & 1);
    }
    return 0;
}

struct HostileCase {
    const char *name;
    void (*edit)(Bytes *);
    int32_t frameCount;  // 0: OpenFrames refuses
    size_t readable;     // frames given before the first refused one
    const char *cause;
};

class HostileAnimations : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileAnimations, AreRefusedAtTheFrameTheyBreak) {
    const HostileCase &c = GetParam();
    const CodecPlugin &in = Loaded("webp", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    SKIP_WITHOUT_PEER("pillow");
    TempDir dir;
    const fs::path file = dir / "hostile.webp";
    ASSERT_TRUE(PeerWrites(file, "pillow", true, 0, MovingFrames(4, false), {100, 100, 100, 100}));
    Bytes bytes = ReadFile(file);
    ASSERT_NE(FrameChunk(bytes, 3), 0u);
    c.edit(&bytes);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), long(bytes.size()));
    int32_t answer = -1;
    const CodecPlugin::Frames frames = in.DecodeFrames(file, &answer);
    EXPECT_EQ(answer == 0 ? frames.info.frameCount : 0, c.frameCount);
    EXPECT_EQ(frames.bitmaps.size(), c.readable);
    EXPECT_TRUE(in.LastFailureText().contains(c.cause)) << in.LastFailureText().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Defects, HostileAnimations,
    ::testing::Values(
        HostileCase{"CutInFrame3", [](Bytes *b) { b->resize(FrameChunk(*b, 2) + 40); }, 3, 2,
                    "the file ends before frame 3 does"},
        HostileCase{"Frame3Garbled",  // from past its ANMF, VP8L chunk and VP8L headers
                    [](Bytes *b) {
                        std::fill(b->begin() + long(FrameChunk(*b, 2)) + 37,
                                  b->begin() + long(FrameChunk(*b, 3)), 0xFF);
                    },
                    4, 2, "frame 3 is damaged"},
        // VP8X's canvas narrower than the frames' pictures.
        HostileCase{"FramesWiderThanTheCanvas", [](Bytes *b) { Put(b, 12 + 8 + 4, 38 - 1, 3); }, 0,
                    0, "the animation cannot be read"},
        HostileCase{"TenThousandAndOneFrames",
                    [](Bytes *b) {
                        const Bytes frame(b->begin() + long(FrameChunk(*b, 0)),
                                          b->begin() + long(FrameChunk(*b, 1)));
                        b->resize(FrameChunk(*b, 0));
                        for (int k = 0; k <= FALTRIX_MAX_FRAMES; ++k)
                            b->insert(b->end(), frame.begin(), frame.end());
                        Put(b, 4, uint32_t(b->size() - 8), 4);
                    },
                    0, 0, "more than 10000 frames"}),
    kCaseName);

}  // namespace
}  // namespace faltrix
