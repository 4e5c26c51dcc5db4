// JPEG XL animations through the plug-ins of the build tree against libjxl's own tools: our
// lossless frames exact through our reader and djxl (whose animated PNG Pillow reads), cjxl's
// animation read as djxl reads it (files of tests/data/jxl, with one cut short). Lossy
// conversions of animated GIF and WebP, their delays and loop counts, are judged with djxl by
// tests/cli/animation_test.py.
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QStandardPaths>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

using Sequence = PeerFrames;

bool HaveTools() { return !QStandardPaths::findExecutable("djxl").isEmpty() && HavePillow(); }

// djxl's decoding of file, as Pillow reads it; empty when a tool fails.
Sequence DecodeWithDjxl(const fs::path &file, const TempDir &dir) {
    const fs::path apng = dir / "peer.apng";
    if (QProcess::execute("djxl", {Q(file), Q(apng), "--quiet"}) != 0) return {};
    return PillowFrames(apng);
}

Sequence Ours(const CodecPlugin &in, const fs::path &file) {
    const CodecPlugin::Frames frames = in.DecodeFrames(file);
    return {Images(frames.bitmaps), frames.delays, frames.info.loopCount};
}

class JxlAnimation : public KeepsSettings {};

// Frames with alpha and a loop count of 3 (the common 0, opaque frames and lossy coding are in
// tests/cli/animation_test.py); a 0 delay is stored as 1 ms, as a JPEG XL frame of no duration
// is a layer of the next one.
TEST_F(JxlAnimation, LosslessFramesExactThroughOursAndDjxl) {
    const CodecPlugin &in = Loaded("jxl", "input"), &out = Loaded("jxl", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    Keep(out);
    ASSERT_EQ(SetOption(out, u"lossless", u"1"), 0);
    ASSERT_EQ(SetOption(out, u"effort", u"3"), 0);
    std::vector<HBITMAP> bitmaps;
    for (int k = 0; k < 4; ++k)
        bitmaps.push_back(ImageToDib(TestChart(64, 48, true).mirrored(k & 1, k & 2), 32));
    const std::vector<QImage> expected = Images(bitmaps);
    TempDir dir;
    ASSERT_EQ(out.SaveFrames(bitmaps, {100, 0, 40, 1500}, 3, dir / "a.jxl"), 0);
    for (HBITMAP bitmap : bitmaps) DeleteObject(bitmap);
    const Sequence ours = Ours(in, dir / "a.jxl");
    EXPECT_EQ(std::pair(ours.loop, ours.delays), std::pair(3, std::vector{100, 1, 40, 1500}));
    ExpectFrames(ours.frames, expected, 0, "our reader");
    if (!HaveTools()) GTEST_SKIP() << "djxl or Pillow (python3-pil) is not installed";
    const Sequence peer = DecodeWithDjxl(dir / "a.jxl", dir);
    EXPECT_EQ(std::pair(peer.loop, peer.delays), std::pair(3, ours.delays));
    ExpectFrames(peer.frames, expected, 0, "djxl");
}

// tests/data/jxl/layouts/cjxl-animation.jxl, cjxl's animation of five frames of an animated PNG
// (delays 100, 40, 250, 70 and 30 ms, for ever), reads as djxl reads it (through Pillow:
// cjxl-animation.frame-<k>.png). (Cut short past its header:
// tests/data/jxl/hostile/animation-cut-short.jxl.)
TEST(JxlAnimationFiles, ReadAsLibjxlsDecoderReadsThem) {
    const CodecPlugin &in = Loaded("jxl", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const fs::path folder = DataDir() / "jxl" / "layouts";
    std::vector<QImage> peer;
    for (int k = 1; k <= 5; ++k)
        peer.emplace_back(Q(folder / ("cjxl-animation.frame-" + std::to_string(k) + ".png")));
    const Sequence ours = Ours(in, folder / "cjxl-animation.jxl");
    EXPECT_EQ(std::pair(ours.loop, ours.delays), std::pair(0, std::vector{100, 40, 250, 70, 30}));
    ExpectFrames(ours.frames, peer, 1, "our reader");
}

}  // namespace
}  // namespace faltrix
