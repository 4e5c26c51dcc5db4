// JPEG XL animations through the plug-ins of the build tree: our frames, delays and loop count
// back through our reader and through libjxl's own decoder (djxl, whose animated PNG Pillow
// reads), an animation libjxl's encoder made read as djxl reads it, and a file cut short.
#include <gtest/gtest.h>

#include <QPainter>
#include <QProcess>
#include <QStandardPaths>

#include <fstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

const char *const kPython = "/usr/bin/python3";  // Debian's, which has Pillow (python3-pil)

// dir/peer.apng as Pillow reads it: every frame as dir/peer-<k>.png (RGBA), and one line of
// the loop count and the durations in dir/peer.txt.
const char *const kPillowFrames = R"(
import sys
from PIL import Image, ImageSequence
d = sys.argv[1]
with Image.open(d + '/peer.apng') as im:
    durations = []
    for k, frame in enumerate(ImageSequence.Iterator(im)):
        frame.convert('RGBA').save('%s/peer-%d.png' % (d, k))
        durations.append(int(frame.info.get('duration', 0)))
    open(d + '/peer.txt', 'w').write(' '.join(map(str, [im.info.get('loop', 1)] + durations)))
)";

struct Peer {
    int loop = -1;
    std::vector<int32_t> delays;
    std::vector<QImage> frames;
};

// djxl's decoding of file, as Pillow reads it; empty when a tool is missing or fails.
Peer DecodeWithDjxl(const fs::path &file, const TempDir &dir) {
    Peer peer;
    const QString djxl = QStandardPaths::findExecutable("djxl");
    if (djxl.isEmpty() ||
        QProcess::execute(djxl, {QString::fromStdString(file),
                                 QString::fromStdString(dir / "peer.apng"), "--quiet"}) != 0 ||
        QProcess::execute(kPython, {"-c", kPillowFrames, dir.path()}) != 0)
        return peer;
    std::ifstream list(dir / "peer.txt");
    list >> peer.loop;
    for (int32_t delay; list >> delay;) {
        peer.frames.emplace_back(
            QString::fromStdString(dir / ("peer-" + std::to_string(peer.delays.size()) + ".png")));
        peer.delays.push_back(delay);
    }
    return peer;
}

bool HaveTools() {
    return !QStandardPaths::findExecutable("djxl").isEmpty() &&
           !QStandardPaths::findExecutable("cjxl").isEmpty() &&
           QProcess::execute(kPython, {"-c", "import PIL.ImageSequence"}) == 0;
}

// Frame k of a test animation: the chart with a square that moves, alpha when asked.
QImage Frame(int k, bool alpha) {
    QImage image = TestChart(64, 48, alpha);
    QPainter(&image).fillRect(8 * k, 4 * k, 12, 12, QColor(20 * k, 200, 255 - 30 * k));
    return image;
}

class JxlAnimation : public KeepsSettings {};

// Lossless frames come back exactly, with their delays and loop count, through our reader and
// through djxl; a 0 delay is stored as 1 ms, since a JPEG XL frame of no duration is a layer
// of the next one and no frame of its own.
TEST_F(JxlAnimation, FramesDelaysAndLoopComeBackThroughBothDecoders) {
    const CodecPlugin &in = Loaded("jxl", "input"), &out = Loaded("jxl", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    Keep(out);
    ASSERT_EQ(SetOption(out, u"lossless", u"1"), 0);
    ASSERT_EQ(SetOption(out, u"effort", u"3"), 0);
    const std::vector<int32_t> delays{100, 0, 40, 1500};
    for (const auto &[alpha, loop] : {std::pair(false, 0), std::pair(true, 3)}) {
        std::vector<HBITMAP> frames;
        for (int k = 0; k < 4; ++k) frames.push_back(ImageToDib(Frame(k, alpha), alpha ? 32 : 24));
        TempDir dir;
        const fs::path file = dir / "animation.jxl";
        ASSERT_EQ(out.SaveFrames(frames, delays, loop, file), 0);
        const CodecPlugin::Frames back = in.DecodeFrames(file);
        ASSERT_EQ(back.bitmaps.size(), 4u) << in.LastFailureText().toStdString();
        EXPECT_EQ(back.info.loopCount, loop);
        EXPECT_EQ(back.info.kind, FALTRIX_FRAMES_ANIMATION);
        EXPECT_EQ(back.delays, (std::vector<int32_t>{100, 1, 40, 1500}));
        const Peer peer = HaveTools() ? DecodeWithDjxl(file, dir) : Peer{};
        EXPECT_TRUE(!HaveTools() || !peer.frames.empty());
        if (!peer.frames.empty()) {
            EXPECT_EQ(peer.loop, loop);
            EXPECT_EQ(peer.delays, back.delays);
            EXPECT_EQ(peer.frames.size(), 4u);
        }
        for (size_t k = 0; k < 4; ++k) {
            std::string where;
            const QImage expected = DibToImage(frames[k]);
            EXPECT_EQ(MaxDifference(DibToImage(back.bitmaps[k]), expected, &where), 0)
                << "frame " << k << ": " << where;
            if (k < peer.frames.size()) {
                EXPECT_EQ(MaxDifference(peer.frames[k], expected, &where), 0)
                    << "djxl's frame " << k << ": " << where;
            }
            DeleteObject(frames[k]);
        }
    }
}

// cjxl makes an animation of an animated PNG; each frame, delay and the loop count come back as
// djxl gives them. Cut short past its header, the file still opens with every frame counted
// and gives the frames before the cut, then a cause.
TEST(JxlAnimationFiles, ReadAsLibjxlsDecoderReadsThem) {
    const CodecPlugin &in = Loaded("jxl", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    if (!HaveTools()) GTEST_SKIP() << "cjxl, djxl or Pillow (python3-pil) is not installed";
    TempDir dir;
    ASSERT_EQ(QProcess::execute(kPython, {"-c", R"(
import sys
from PIL import Image
d = sys.argv[1]
frames = [Image.radial_gradient('L').resize((48, 40)).convert('RGBA').rotate(a) for a in (0, 25, 50, 75, 100)]
frames[0].save(d + '/source.png', save_all=True, append_images=frames[1:],
               duration=[100, 40, 250, 70, 30], loop=0)
)",
                                          dir.path()}),
              0);
    const fs::path file = dir / "animation.jxl";
    ASSERT_EQ(QProcess::execute(QStandardPaths::findExecutable("cjxl"),
                                {QString::fromStdString(dir / "source.png"),
                                 QString::fromStdString(file), "-d", "1", "--quiet"}),
              0);
    const Peer peer = DecodeWithDjxl(file, dir);
    ASSERT_EQ(peer.frames.size(), 5u);
    const CodecPlugin::Frames frames = in.DecodeFrames(file);
    ASSERT_EQ(frames.bitmaps.size(), 5u) << in.LastFailureText().toStdString();
    EXPECT_EQ(frames.info.loopCount, peer.loop);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_NEAR(frames.delays[k], peer.delays[k], 10) << "frame " << k;
        std::string where;
        EXPECT_LE(MaxDifference(DibToImage(frames.bitmaps[k]), peer.frames[k], &where), 1)
            << "frame " << k << ": " << where;
    }

    Bytes bytes = ReadFile(file);
    bytes.resize(bytes.size() * 3 / 5);
    std::ofstream(dir / "cut.jxl", std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    const CodecPlugin::Frames cut = in.DecodeFrames(dir / "cut.jxl");
    EXPECT_GE(cut.info.frameCount, int32_t(cut.bitmaps.size()) + 1);
    EXPECT_GE(cut.bitmaps.size(), 1u);
    EXPECT_EQ(in.LastFailureText(), "JPEG XL: the file is cut short");
}

}  // namespace
}  // namespace faltrix
