// faltrix-convert through the real binary and the bundled plug-ins of this build.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <QImage>
#include <QTemporaryDir>

#include "cli_test_support.h"
#include "faltrix/gdi.h"
#include "faltrix/device_resize.h"
#include "faltrix/resample.h"

namespace faltrix {
namespace {

using testing::Difference;
using testing::PluginPath;
using testing::ReadBytes;
using testing::ReadPicture;
using testing::RunConverter;
using testing::RunResult;
using testing::WriteBmp24;
using testing::WriteBytes;

struct Format {
    const char *plugin;     // bin/plugins/<kind>/<plugin>.so
    const char *extension;
    double meanTolerance;   // 0: lossless
};

const Format kFormats[] = {
    // Sharp-edged blocks cost lossy formats a mean error of about 8 levels at default quality;
    // a turned, mirrored or channel-swapped picture would be off by far more.
    {"bmp", "bmp", 0}, {"png", "png", 0}, {"jpeg", "jpg", 12}, {"gif", "gif", 4}, {"tiff", "tif", 0},
    {"webp", "webp", 12},
};

bool Built(const Format &format) {
    return !PluginPath("input", format.plugin).isEmpty() && !PluginPath("output", format.plugin).isEmpty();
}

std::string Describe(const RunResult &r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out.toStdString() + "stderr:\n" +
           r.err.toStdString();
}

class Converter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QFileInfo::exists(testing::ConverterPath())) << "faltrix-convert is not built";
    }
    QString Path(const QString &name) const { return dir_.filePath(name); }
    void NeedBmp() {
        if (PluginPath("input", "bmp").isEmpty() || PluginPath("output", "bmp").isEmpty())
            GTEST_SKIP() << "the BMP plug-ins are not built";
    }

    QTemporaryDir dir_;
};

// ---- every format to every other -----------------------------------------------------------

class EveryFormat : public Converter, public ::testing::WithParamInterface<std::pair<Format, Format>> {};

TEST_P(EveryFormat, KeepsThePicture) {
    const auto [from, to] = GetParam();
    NeedBmp();
    if (!Built(from) || !Built(to)) GTEST_SKIP() << "plug-ins not built: " << from.plugin << ", " << to.plugin;

    const testing::Picture original = testing::BlockPicture(48, 32);
    ASSERT_TRUE(WriteBmp24(Path("original.bmp"), original));
    const QString source = Path(QStringLiteral("source.") + from.extension);
    const QString target = Path(QStringLiteral("target.") + to.extension);
    if (QString(from.extension) != "bmp") {
        RunResult r = RunConverter({Path("original.bmp"), "-o", source});
        ASSERT_EQ(r.exitCode, 0) << Describe(r);
    } else {
        ASSERT_TRUE(QFile::copy(Path("original.bmp"), source));
    }
    RunResult r = RunConverter({source, "-o", target});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(r.err, "");
    // Back to BMP through the plug-ins, so that only our own decoders judge the result.
    r = RunConverter({target, "-o", Path("back.bmp")});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);

    const testing::Picture back = ReadPicture(Path("back.bmp"));
    ASSERT_EQ(back.width, original.width);
    ASSERT_EQ(back.height, original.height);
    const auto [mean, largest] = Difference(original, back);
    const double tolerance = from.meanTolerance + to.meanTolerance;
    if (tolerance == 0) {
        EXPECT_EQ(largest, 0) << "a lossless chain changed pixels (mean " << mean << ")";
    } else {
        EXPECT_LE(mean, tolerance) << "largest difference " << largest;
    }
}

std::vector<std::pair<Format, Format>> AllPairs() {
    std::vector<std::pair<Format, Format>> pairs;
    for (const Format &a : kFormats)
        for (const Format &b : kFormats) pairs.push_back({a, b});
    return pairs;
}

INSTANTIATE_TEST_SUITE_P(Pairs, EveryFormat, ::testing::ValuesIn(AllPairs()), [](const auto &info) {
    return std::string(info.param.first.plugin) + "_to_" + info.param.second.plugin;
});

// ---- the same bytes as the job's resizers ----------------------------------------------------

// A 24-bit bottom-up DIB section holding the picture.
HBITMAP MakeSection(const testing::Picture &picture) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return nullptr;
    const size_t stride = (static_cast<size_t>(picture.width) * 3 + 3) & ~size_t{3};
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(static_cast<uint8_t *>(bits) + stride * static_cast<size_t>(picture.height - 1 - y),
                    picture.Pixel(0, y), static_cast<size_t>(picture.width) * 3);
    }
    return bitmap;
}

// The pixels of a section read back through a DC holding it (top row first), as a Picture.
// With no DC given, one is made for the reading.
testing::Picture ReadSection(HBITMAP bitmap, HDC holding = nullptr) {
    testing::Picture picture;
    DIBSECTION ds{};
    if (GetObjectW(bitmap, sizeof ds, &ds) != sizeof ds) return picture;
    HDC dc = holding ? holding : CreateCompatibleDC(nullptr);
    if (!holding) SelectObject(dc, bitmap);
    picture.width = ds.dsBm.bmWidth;
    picture.height = ds.dsBm.bmHeight;
    picture.bgr.resize(static_cast<size_t>(picture.width) * picture.height * 3);
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const COLORREF c = GetPixel(dc, x, y);
            uint8_t *p = picture.Pixel(x, y);
            p[0] = GetBValue(c);
            p[1] = GetGValue(c);
            p[2] = GetRValue(c);
        }
    }
    if (!holding) DeleteDC(dc);
    return picture;
}

int32_t NoProgress(int32_t, int32_t, int32_t) { return 1; }

struct ResizeCase {
    const char *name;
    int width, height;   // source
    int toWidth, toHeight;
    bool antiAlias;
};

class SameBytesAsTheJob : public Converter, public ::testing::WithParamInterface<ResizeCase> {};

TEST_P(SameBytesAsTheJob, Resize) {
    const ResizeCase &c = GetParam();
    NeedBmp();
    const testing::Picture source = testing::NoisePicture(c.width, c.height, 7);
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), source));

    QStringList arguments{Path("in.bmp"), "-o", Path("out.bmp"), "-W", QString::number(c.toWidth), "-H",
                          QString::number(c.toHeight)};
    if (c.antiAlias) arguments << "--anti-alias";
    const RunResult r = RunConverter(arguments);
    ASSERT_EQ(r.exitCode, 0) << Describe(r);

    HBITMAP section = MakeSection(source);
    ASSERT_NE(section, nullptr);
    testing::Picture expected;
    if (c.antiAlias) {
        HBITMAP resized = AreaAverageResize(section, double(uint32_t(c.toWidth)) / double(c.width),
                                            double(uint32_t(c.toHeight)) / double(c.height), NoProgress);
        ASSERT_NE(resized, nullptr);
        expected = ReadSection(resized);
        DeleteObject(resized);
        DeleteObject(section);
    } else {
        DIBSECTION ds{};
        ASSERT_EQ(GetObjectW(section, sizeof ds, &ds), int(sizeof ds));
        const DeviceResizeResult resized = DeviceResize(section, ds, uint32_t(c.toWidth), uint32_t(c.toHeight));
        ASSERT_NE(resized.bitmap, nullptr);
        expected = ReadSection(resized.bitmap, resized.storeDC);
        DeleteDC(resized.storeDC);
        DeleteObject(resized.bitmap);
    }
    const testing::Picture stored = ReadPicture(Path("out.bmp"));
    ASSERT_EQ(stored.width, expected.width);
    ASSERT_EQ(stored.height, expected.height);
    EXPECT_TRUE(stored.bgr == expected.bgr) << "stored pixels differ from the resizer's";
}

INSTANTIATE_TEST_SUITE_P(
    Resizers, SameBytesAsTheJob,
    ::testing::Values(ResizeCase{"AntiAliasDown", 53, 41, 20, 15, true},
                      ResizeCase{"AntiAliasUp", 7, 5, 61, 12, true},  // 61 comes out as 60
                      ResizeCase{"AntiAliasHeightOnly", 30, 20, 30, 9, true},
                      ResizeCase{"DeviceDown", 53, 41, 20, 15, false},
                      ResizeCase{"DeviceUp", 7, 5, 61, 12, false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- sizes, overwriting, output ------------------------------------------------------------

TEST_F(Converter, OneSideGivenKeepsTheAspectRatio) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(64, 48, 3)));
    RunResult r = RunConverter({Path("in.bmp"), "-o", Path("w.bmp"), "-W", "32"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    r = RunConverter({Path("in.bmp"), "-o", Path("h.bmp"), "-H", "10"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    const testing::Picture w = ReadPicture(Path("w.bmp"));
    const testing::Picture h = ReadPicture(Path("h.bmp"));
    EXPECT_EQ(std::make_pair(w.width, w.height), std::make_pair(32, 24));
    EXPECT_EQ(std::make_pair(h.width, h.height), std::make_pair(13, 10));  // 64 * 10 / 48 = 13.3
}

TEST_F(Converter, SideThatWouldBeZeroIsAClearError) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(300, 2, 3)));
    const RunResult r = RunConverter({Path("in.bmp"), "-o", Path("out.bmp"), "-W", "10"});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_TRUE(r.err.contains("no usable height")) << Describe(r);
    EXPECT_FALSE(QFileInfo::exists(Path("out.bmp")));
}

TEST_F(Converter, ExistingOutputIsRefusedAndLeftUntouched) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(16, 16, 5)));
    ASSERT_TRUE(WriteBytes(Path("out.bmp"), "precious"));
    RunResult r = RunConverter({Path("in.bmp"), "-o", Path("out.bmp")});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_TRUE(r.err.contains("exists")) << Describe(r);
    EXPECT_EQ(ReadBytes(Path("out.bmp")), QByteArray("precious"));

    r = RunConverter({Path("in.bmp"), "-o", Path("out.bmp"), "--overwrite"});
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(ReadPicture(Path("out.bmp")).width, 16);
}

TEST_F(Converter, OffATerminalOnlyTheFinalLine) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(16, 16, 5)));
    const RunResult r = RunConverter({Path("in.bmp"), "-o", Path("out.bmp")});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(r.out, Path("in.bmp") + " -> " + Path("out.bmp") + "\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Converter, QuietPrintsNothingOnSuccess) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(16, 16, 5)));
    const RunResult r = RunConverter({"-q", Path("in.bmp"), "-o", Path("out.bmp")});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(r.out + r.err, "");
}

TEST_F(Converter, VerbosePrintsTheJobsStatusLinesAsWritten) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(40, 30, 5)));
    const RunResult r = RunConverter({"-v", "-a", "-W", "20", "-H", "15", Path("in.bmp"), "-o", Path("out.bmp")});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    const QStringList expected{"Now Getting infomation...", "Getting infomation Done.", "Now Decoding input data...",
                               "Decoding input data Done.", "Now anti-alias Resizing...", "anti-alias Resizing Done.",
                               "Now Coding and Storing...", "Coding and Storing Done.", "Ready.",
                               Path("in.bmp") + " -> " + Path("out.bmp")};
    EXPECT_EQ(r.out.split('\n', Qt::SkipEmptyParts), expected);
}

TEST_F(Converter, OverlongPathIsRefusedClearly) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(8, 8, 5)));
    const QString longOutput = Path(QString(2100, u'x') + ".bmp");
    const RunResult r = RunConverter({Path("in.bmp"), "-o", longOutput});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_TRUE(r.err.contains("at most 2047")) << Describe(r);
}

TEST_F(Converter, UnknownOutputFormatIsAClearError) {
    NeedBmp();
    ASSERT_TRUE(WriteBmp24(Path("in.bmp"), testing::NoisePicture(8, 8, 5)));
    const RunResult r = RunConverter({Path("in.bmp"), "-o", Path("out.xyz")});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_TRUE(r.err.contains("no output plug-in writes '.xyz' files")) << Describe(r);
}

TEST_F(Converter, FileNoPluginAcceptsIsAClearError) {
    NeedBmp();
    ASSERT_TRUE(WriteBytes(Path("notes.txt"), "just some words, not a picture\n"));
    const RunResult r = RunConverter({Path("notes.txt"), "-o", Path("out.bmp")});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_TRUE(r.err.contains("no input plug-in can read this file")) << Describe(r);
    EXPECT_FALSE(QFileInfo::exists(Path("out.bmp")));
}

// ---- batches -------------------------------------------------------------------------------

TEST_F(Converter, BatchWithACorruptInputConvertsTheOthers) {
    NeedBmp();
    ASSERT_TRUE(QDir(dir_.path()).mkdir("out"));
    QStringList arguments{"-j", "2", "-f", "bmp", "-o", Path("out")};
    for (const char *name : {"one.bmp", "two.bmp", "three.bmp"}) {
        ASSERT_TRUE(WriteBmp24(Path(name), testing::NoisePicture(20, 10, 9)));
        arguments << Path(name);
    }
    // A BMP header that promises far more than the file holds.
    QByteArray corrupt = ReadBytes(Path("one.bmp")).left(60);
    ASSERT_TRUE(WriteBytes(Path("broken.bmp"), corrupt));
    arguments.insert(6, Path("broken.bmp"));
    ASSERT_TRUE(WriteBytes(Path("out/three.bmp"), "earlier"));

    const RunResult r = RunConverter(arguments);
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_TRUE(QFileInfo::exists(Path("out/one.bmp")));
    EXPECT_TRUE(QFileInfo::exists(Path("out/two.bmp")));
    EXPECT_FALSE(QFileInfo::exists(Path("out/broken.bmp")));
    EXPECT_EQ(ReadBytes(Path("out/three.bmp")), QByteArray("earlier"));
    EXPECT_TRUE(r.err.contains("2 of 4 files failed")) << Describe(r);
    EXPECT_TRUE(r.err.contains(Path("broken.bmp") + ": ")) << Describe(r);
    EXPECT_TRUE(r.err.contains(Path("three.bmp") + ": the output exists")) << Describe(r);
    EXPECT_TRUE(r.out.contains(Path("one.bmp") + " -> " + Path("out/one.bmp"))) << Describe(r);
}

TEST_F(Converter, BatchHandsEveryOptionToEachFile) {
    NeedBmp();
    if (PluginPath("output", "png").isEmpty()) GTEST_SKIP() << "the PNG output plug-in is not built";
    ASSERT_TRUE(QDir(dir_.path()).mkdir("out"));
    QStringList arguments{"-v", "-j", "2", "-W", "10", "-a", "--input-plugin", "BMP", "--output-plugin", "png",
                          "-f", "pic", "-o", Path("out")};
    for (const char *name : {"first.bmp", "second.bmp"}) {
        ASSERT_TRUE(WriteBmp24(Path(name), testing::NoisePicture(40, 20, 11)));
        arguments << Path(name);
    }
    const RunResult r = RunConverter(arguments);
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    for (const char *name : {"out/first.pic", "out/second.pic"}) {
        EXPECT_TRUE(ReadBytes(Path(name)).startsWith("\x89PNG")) << name;
        const QImage stored(Path(name), "png");
        EXPECT_EQ(stored.size(), QSize(10, 5)) << name;
    }
    // Each file's status lines come as one block after its name, as the job wrote them.
    const QStringList lines = r.out.split('\n');
    const qsizetype first = lines.indexOf(Path("first.bmp") + ":");
    ASSERT_GE(first, 0) << Describe(r);
    EXPECT_EQ(lines.mid(first + 1, 6), QStringList({"Now Getting infomation...", "Getting infomation Done.",
                                                     "Now Decoding input data...", "Decoding input data Done.",
                                                     "Now anti-alias Resizing...", "anti-alias Resizing Done."}));
}

// A plug-in folder of links to this build's BMP plug-ins and the hostile test plug-in.
class HostilePlugins : public Converter {
protected:
    void SetUp() override {
        Converter::SetUp();
        NeedBmp();
        QDir root(dir_.path());
        ASSERT_TRUE(root.mkpath("plugins/input") && root.mkpath("plugins/output") && root.mkpath("out"));
        ASSERT_TRUE(QFile::link(PluginPath("input", "bmp"), Path("plugins/input/bmp.so")));
        ASSERT_TRUE(QFile::link(PluginPath("output", "bmp"), Path("plugins/output/bmp.so")));
        ASSERT_TRUE(QFile::link(QStringLiteral(FALTRIX_HOSTILE_PLUGIN), Path("plugins/input/hostile.so")));
    }
    QStringList Environment() const { return {"FALTRIX_PLUGIN_DIR=" + Path("plugins")}; }
};

TEST_F(HostilePlugins, CrashAndHangFailTheirFilesAlone) {
    QStringList arguments{"-j", "2", "--timeout", "2", "-f", "bmp", "-o", Path("out")};
    for (const char *name : {"a.bmp", "z.bmp"}) {
        ASSERT_TRUE(WriteBmp24(Path(name), testing::NoisePicture(12, 12, 4)));
    }
    ASSERT_TRUE(WriteBytes(Path("crash.hostile"), "FALTRIX-HOSTILE crash\n"));
    ASSERT_TRUE(WriteBytes(Path("hang.hostile"), "FALTRIX-HOSTILE hang\n"));
    arguments << Path("a.bmp") << Path("crash.hostile") << Path("hang.hostile") << Path("z.bmp");

    const RunResult r = RunConverter(arguments, Environment());
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_FALSE(r.crashed);
    EXPECT_TRUE(QFileInfo::exists(Path("out/a.bmp")));
    EXPECT_TRUE(QFileInfo::exists(Path("out/z.bmp")));
    EXPECT_TRUE(r.err.contains("2 of 4 files failed")) << Describe(r);
#if !defined(__SANITIZE_ADDRESS__)
    // (A sanitizer turns the crash into its own report and exit code.)
    EXPECT_TRUE(r.err.contains(Path("crash.hostile") + ": its conversion process crashed")) << Describe(r);
#endif
    EXPECT_TRUE(r.err.contains(Path("crash.hostile") + ": ")) << Describe(r);
    EXPECT_TRUE(r.err.contains(Path("hang.hostile") + ": its conversion took longer than 2 s")) << Describe(r);
    EXPECT_TRUE(r.err.contains("after \"Now Decoding input data...\"")) << Describe(r);
}

// The processes whose command line mentions `text` (zombies excluded).
std::vector<int> ProcessesMentioning(const QString &text) {
    std::vector<int> found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (!isPid) continue;
        const QByteArray status = ReadBytes("/proc/" + entry + "/stat");
        if (status.contains(") Z ")) continue;
        QByteArray command = ReadBytes("/proc/" + entry + "/cmdline");
        command.replace('\0', ' ');
        if (command.contains(text.toUtf8())) found.push_back(pid);
    }
    return found;
}

TEST_F(HostilePlugins, WorkerStuckInAPlugInEndsWithItsBatch) {
    ASSERT_TRUE(WriteBytes(Path("stuck.hostile"), "FALTRIX-HOSTILE hang\n"));
    ASSERT_TRUE(WriteBmp24(Path("fine.bmp"), testing::NoisePicture(12, 12, 4)));
    QProcess batch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FALTRIX_PLUGIN_DIR", Path("plugins"));
    batch.setProcessEnvironment(env);
    batch.start(testing::ConverterPath(), {"--timeout", "0", "-j", "1", "-f", "bmp", "-o", Path("out"),
                                           Path("stuck.hostile"), Path("fine.bmp")});
    ASSERT_TRUE(batch.waitForStarted());
    std::vector<int> workers;
    for (int i = 0; i < 200 && workers.empty(); ++i) {
        QThread::msleep(50);
        workers = ProcessesMentioning(Path("stuck.hostile"));
        workers.erase(std::remove(workers.begin(), workers.end(), int(batch.processId())), workers.end());
    }
    ASSERT_FALSE(workers.empty()) << "no worker started";

    batch.terminate();  // SIGTERM to the parent alone, as a time limit of a script would send
    ASSERT_TRUE(batch.waitForFinished(10000));
    for (int i = 0; i < 200 && !ProcessesMentioning(Path("stuck.hostile")).empty(); ++i) QThread::msleep(50);
    const std::vector<int> left = ProcessesMentioning(Path("stuck.hostile"));
    EXPECT_TRUE(left.empty()) << "the worker outlived its batch";
    for (int pid : left) ::kill(pid, SIGKILL);  // leave no stray process behind a failure
}

TEST_F(HostilePlugins, ListShowsRefusedLibrariesAndWhy) {
    ASSERT_TRUE(WriteBytes(Path("plugins/input/junk.so"), "this is no library"));
    // A real library that is no plug-in: the graphics layer exports no GetPluginInfo.
    ASSERT_TRUE(QFile::link(QStringLiteral(FALTRIX_GDI_LIBRARY), Path("plugins/output/graphics.so")));
    const RunResult r = RunConverter({"--list-plugins"}, Environment());
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_TRUE(r.out.contains("hostile")) << Describe(r);
    EXPECT_TRUE(r.out.contains("Hostile test plug-in")) << Describe(r);
    EXPECT_TRUE(r.out.contains("*.hostile")) << Describe(r);
    const QStringList lines = r.out.split('\n');
    auto lineWith = [&lines](const QString &what) {
        for (const QString &line : lines)
            if (line.contains(what)) return line;
        return QString();
    };
    EXPECT_TRUE(lineWith("junk.so").contains("refused")) << Describe(r);
    EXPECT_GT(lineWith("junk.so").size(), QString("  refused " + Path("plugins/input/junk.so") + ": ").size())
        << "no reason given\n" << Describe(r);
    EXPECT_TRUE(lineWith("graphics.so").contains("GetPluginInfo")) << Describe(r);
}

// ---- usage errors --------------------------------------------------------------------------

struct UsageCase {
    const char *name;
    std::vector<const char *> arguments;
    const char *message;
};

class UsageError : public Converter, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageError, ExitsWithTwoAndSaysWhy) {
    QStringList arguments;
    for (const char *argument : GetParam().arguments) arguments << QString::fromUtf8(argument).replace("@", dir_.path());
    const RunResult r = RunConverter(arguments);
    EXPECT_EQ(r.exitCode, 2) << Describe(r);
    EXPECT_TRUE(r.err.contains(GetParam().message)) << Describe(r);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageError,
    ::testing::Values(UsageCase{"NoArguments", {}, "No input file given"},
                      UsageCase{"NoOutput", {"a.png"}, "No output given"},
                      UsageCase{"UnknownOption", {"--frobnicate", "a.png", "-o", "b.png"}, "frobnicate"},
                      UsageCase{"WidthNotANumber", {"-W", "wide", "a.png", "-o", "b.png"}, "Invalid width"},
                      UsageCase{"WidthZero", {"-W", "0", "a.png", "-o", "b.png"}, "Invalid width"},
                      UsageCase{"HeightTooLarge", {"-H", "4294967296", "a.png", "-o", "b.png"}, "Invalid height"},
                      UsageCase{"NoJobs", {"-j", "0", "a.png", "b.png", "-o", "@"}, "Invalid number of jobs"},
                      UsageCase{"NegativeTimeout", {"--timeout", "-1", "a.png", "-o", "b.png"}, "Invalid timeout"},
                      UsageCase{"VerboseAndQuiet", {"-v", "-q", "a.png", "-o", "b.png"}, "exclude each other"},
                      UsageCase{"SeveralInputsToAFile", {"a.png", "b.png", "-o", "@/c.png"}, "existing folder"},
                      UsageCase{"UnknownInputPlugin", {"--input-plugin", "nosuch", "a.png", "-o", "b.png"},
                                "no input plug-in is named 'nosuch'"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faltrix
