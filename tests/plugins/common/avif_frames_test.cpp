// AVIF sequences through the frame calls of the HEIF input and the AVIF output (libavif): our
// sequences back through our reader and through avifdec, avifenc's sequences against
// avifdec's own decoding, and a sequence cut short. Skipped by name where the plug-ins were
// built without libavif or the tools are missing.
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QStandardPaths>

#include <fstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

#define SKIP_WITHOUT_SEQUENCES(in, out)                         \
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);                      \
    if (!in.Symbol("OpenFrames") || !out.Symbol("BeginFrames")) \
    GTEST_SKIP() << "the HEIF plug-ins were built without libavif: no AVIF sequences"

#define SKIP_WITHOUT_TOOL(tool) \
    if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed"

// The tool's answer, its words to the terminal left out.
int RunQuietly(const QString &program, const QStringList &args) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, args);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
               ? process.exitCode()
               : -1;
}

// Three frames with alpha that differ everywhere.
std::vector<HBITMAP> Frames() {
    std::vector<HBITMAP> frames;
    for (int i = 0; i < 3; ++i) {
        QImage chart = TestChart(64, 48, true).mirrored(i == 1, i == 2);
        frames.push_back(ImageToDib(chart, 32, true));
    }
    return frames;
}

// avifdec's decoding of frame `index` (its --index).
QImage AvifdecFrame(const fs::path &file, int index, const TempDir &dir) {
    const QString png = QString::fromStdString(dir / ("avifdec" + std::to_string(index) + ".png"));
    if (RunQuietly("avifdec",
                   {"--index", QString::number(index), QString::fromStdString(file), png}) != 0)
        return {};
    return QImage(png);
}

class AvifFrames : public KeepsSettings {};

// Lossless, so every frame comes back exactly, through our reader and through avifdec, with
// its delay; a delay of 0 is kept as the 1 ms libavif's shortest duration gives.
TEST_F(AvifFrames, OursBackThroughOursAndAvifdec) {
    const CodecPlugin &in = Loaded("heif", "input"), &out = Loaded("heif-avif", "output");
    SKIP_WITHOUT_SEQUENCES(in, out);
    Keep(out);
    ASSERT_EQ(SetOption(out, u"lossless", u"1"), 0);
    TempDir dir;
    const std::vector<HBITMAP> source = Frames();
    ASSERT_EQ(out.SaveFrames(source, {100, 0, 40}, 0, dir / "a.avif"), 0)
        << out.LastFailureText().toStdString();
    const CodecPlugin::Frames back = in.DecodeFrames(dir / "a.avif");
    ASSERT_EQ(back.bitmaps.size(), 3u) << in.LastFailureText().toStdString();
    EXPECT_EQ(back.delays, (std::vector<int32_t>{100, 1, 40}));
    EXPECT_EQ(back.info.loopCount, 0);
    const bool avifdec = !QStandardPaths::findExecutable("avifdec").isEmpty();
    for (size_t i = 0; i < source.size(); ++i) {
        std::string where;
        const QImage expected = DibToImage(source[i]);
        EXPECT_EQ(MaxDifference(DibToImage(back.bitmaps[i]), expected, &where), 0)
            << "frame " << i << " " << where;
        if (avifdec) {
            EXPECT_EQ(MaxDifference(AvifdecFrame(dir / "a.avif", int(i), dir), expected, &where), 0)
                << "avifdec's frame " << i << " " << where;
        }
    }
    for (HBITMAP b : source) DeleteObject(b);
}

// avifenc's lossless sequence: each frame as avifdec decodes it, the durations it was given.
TEST_F(AvifFrames, AvifencSequenceAsAvifdecDecodesIt) {
    const CodecPlugin &in = Loaded("heif", "input"), &out = Loaded("heif-avif", "output");
    SKIP_WITHOUT_SEQUENCES(in, out);
    SKIP_WITHOUT_TOOL("avifenc");
    SKIP_WITHOUT_TOOL("avifdec");
    TempDir dir;
    QStringList args{"-l", "--timescale", "1000"};
    const int durations[] = {100, 40, 250};
    for (int i = 0; i < 3; ++i) {
        const QString png = QString::fromStdString(dir / ("in" + std::to_string(i) + ".png"));
        ASSERT_TRUE(TestChart(40, 30, true).mirrored(i == 1, i == 2).save(png));
        args << "--duration" << QString::number(durations[i]) << png;
    }
    ASSERT_EQ(RunQuietly("avifenc", args << QString::fromStdString(dir / "s.avif")), 0);
    const CodecPlugin::Frames ours = in.DecodeFrames(dir / "s.avif");
    ASSERT_EQ(ours.bitmaps.size(), 3u) << in.LastFailureText().toStdString();
    EXPECT_EQ(ours.delays, (std::vector<int32_t>{100, 40, 250}));
    for (int i = 0; i < 3; ++i) {
        std::string where;
        EXPECT_EQ(MaxDifference(DibToImage(ours.bitmaps[size_t(i)]),
                                AvifdecFrame(dir / "s.avif", i, dir), &where),
                  0)
            << "frame " << i << " " << where;
    }
}

// A sequence whose file ends early: opening and the first frame are fine, and the frames
// whose data is gone fail with libavif's cause rather than anything worse.
TEST_F(AvifFrames, CutShortFailsAtTheMissingFrame) {
    const CodecPlugin &in = Loaded("heif", "input"), &out = Loaded("heif-avif", "output");
    SKIP_WITHOUT_SEQUENCES(in, out);
    TempDir dir;
    const std::vector<HBITMAP> source = Frames();
    ASSERT_EQ(out.SaveFrames(source, {50, 50, 50}, 0, dir / "a.avif"), 0);
    for (HBITMAP b : source) DeleteObject(b);
    Bytes bytes = ReadFile(dir / "a.avif");
    bytes.resize(bytes.size() - 200);
    std::ofstream(dir / "cut.avif", std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    const CodecPlugin::Frames frames = in.DecodeFrames(dir / "cut.avif");
    EXPECT_EQ(frames.info.frameCount, 3);
    EXPECT_GE(frames.bitmaps.size(), 1u);
    EXPECT_LT(frames.bitmaps.size(), 3u);
    EXPECT_NE(in.LastFailureText().toStdString().find("AVIF: "), std::string::npos)
        << in.LastFailureText().toStdString();
}

// Without a sequence, a file's top-level images are its pages, the primary image first.
TEST_F(AvifFrames, TopLevelImagesArePages) {
    const CodecPlugin &in = Loaded("heif", "input"), &out = Loaded("heif-avif", "output");
    SKIP_WITHOUT_SEQUENCES(in, out);
    const CodecPlugin::Frames pages =
        in.DecodeFrames(DataDir() / "heif" / "layouts" / "two-images-red-then-blue.heic");
    ASSERT_EQ(pages.bitmaps.size(), 2u) << in.LastFailureText().toStdString();
    EXPECT_EQ(pages.info.kind, FALTRIX_FRAMES_PAGES);
    const QColor first = DibToImage(pages.bitmaps[0]).pixelColor(4, 4);
    const QColor second = DibToImage(pages.bitmaps[1]).pixelColor(4, 4);
    EXPECT_TRUE(first.red() > 180 && first.blue() < 60) << first.name().toStdString();
    EXPECT_TRUE(second.blue() > 180 && second.red() < 60) << second.name().toStdString();
}

}  // namespace
}  // namespace faltrix
