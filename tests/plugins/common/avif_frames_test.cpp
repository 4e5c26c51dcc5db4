// AVIF sequences through the frame calls of the HEIF input and the AVIF output (libavif): our
// lossless sequence exact through our reader and avifdec, and avifenc's sequence read as avifdec
// reads it (files of tests/data/heif, with one cut short). Lossy conversions of animated
// GIF and WebP to AVIF are judged with avifdec by tests/cli/animation_test.py; pages in
// tests/plugins/common/pages_test.cpp.
#include <gtest/gtest.h>

#include <QImage>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

// The three frames of `file` as avifdec decodes them.
std::vector<QImage> Avifdec(const fs::path &file) {
    std::vector<QImage> frames;
    for (int i = 0; i < 3; ++i) {
        const QString name = Q(file), png = name + QString::number(i) + ".png";
        EXPECT_EQ(RunQuietly("avifdec", {"--index", QString::number(i), name, png}), 0);
        frames.emplace_back(png);
    }
    return frames;
}

class AvifFrames : public KeepsSettings {
protected:
    void SetUp() override {
        in_ = &Loaded("heif", "input"), out_ = &Loaded("heif-avif", "output");
        FALTRIX_SKIP_UNLESS_LOADED(in_, out_);
        if (!in_->Symbol("OpenFrames") || !out_->Symbol("BeginFrames"))
            GTEST_SKIP() << "the HEIF plug-ins were built without libavif: no AVIF sequences";
        Keep(*out_);
        ASSERT_EQ(SetOption(*out_, u"lossless", u"1"), 0);
        std::vector<HBITMAP> bitmaps;
        for (int i = 0; i < 3; ++i)  // three frames with alpha that differ everywhere
            bitmaps.push_back(
                ImageToDib(TestChart(64, 48, true).mirrored(i == 1, i == 2), 32, true));
        source_ = Images(bitmaps);
        ASSERT_EQ(out_->SaveFrames(bitmaps, {100, 0, 40}, 0, dir_ / "a.avif"), 0)
            << out_->LastFailure();
        for (HBITMAP bitmap : bitmaps) DeleteObject(bitmap);
    }
    const CodecPlugin *in_ = nullptr, *out_ = nullptr;
    TempDir dir_;
    std::vector<QImage> source_;  // as written to dir_/a.avif
};

// Every frame exact through both decoders; a delay of 0 kept as libavif's shortest, 1 ms.
TEST_F(AvifFrames, OursBackThroughOursAndAvifdec) {
    const CodecPlugin::Frames back = in_->DecodeFrames(dir_ / "a.avif");
    EXPECT_EQ(back.delays, (std::vector<int32_t>{100, 1, 40})) << in_->LastFailure();
    EXPECT_EQ(back.info.loopCount, 0);
    ExpectFrames(Images(back.bitmaps), source_, 0, "our reader");
    if (Have("avifdec")) {
        ExpectFrames(Avifdec(dir_ / "a.avif"), source_, 0, "avifdec");
    }
}

// tests/data/heif/layouts/avifenc-sequence.avif, avifenc's lossless sequence of three frames
// with alpha, lasting 100, 40 and 250 ms: each frame as avifdec decodes it
// (avifenc-sequence.frame-<k>.png), the durations it was given.
TEST_F(AvifFrames, AvifencSequenceAsAvifdecDecodesIt) {
    const std::filesystem::path folder = DataDir() / "heif" / "layouts";
    std::vector<QImage> avifdec;
    for (int k = 1; k <= 3; ++k)
        avifdec.emplace_back(Q(folder / ("avifenc-sequence.frame-" + std::to_string(k) + ".png")));
    const CodecPlugin::Frames ours = in_->DecodeFrames(folder / "avifenc-sequence.avif");
    EXPECT_EQ(ours.delays, (std::vector<int32_t>{100, 40, 250})) << in_->LastFailure();
    ExpectFrames(Images(ours.bitmaps), avifdec, 0, "our reader");
}

}  // namespace
}  // namespace faltrix
