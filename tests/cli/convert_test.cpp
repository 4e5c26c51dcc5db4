// faltrix-convert through the real binary and the bundled plug-ins of this build.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <tuple>

#include "faltrix/device_resize.h"
#include "faltrix/gdi.h"
#include "faltrix/resample.h"

namespace faltrix {
namespace {

QString BuildDir() {
    const char *dir = std::getenv("FALTRIX_BUILD_DIR");
    return dir ? QString::fromLocal8Bit(dir) : QStringLiteral(FALTRIX_TEST_BUILD_DIR);
}

QString ConverterPath() { return BuildDir() + "/bin/faltrix-convert"; }

// A bundled plug-in of this build, e.g. PluginPath("input", "png"); empty when not built.
QString PluginPath(const QString &kind, const QString &name) {
    const QString path = BuildDir() + "/bin/plugins/" + kind + "/" + name + ".so";
    return QFileInfo::exists(path) ? path : QString();
}

// Starts the converter; given a plug-in folder, it looks there instead of beside itself.
void Start(QProcess &process, const QStringList &arguments, const QString &pluginFolder) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!pluginFolder.isEmpty()) env.insert("FALTRIX_PLUGIN_DIR", pluginFolder);
    process.setProcessEnvironment(env);
    process.start(ConverterPath(), arguments);
}

struct RunResult {
    int exitCode = -1;
    bool crashed = false;
    QString out, err;
};

RunResult RunConverter(const QStringList &arguments, const QString &pluginFolder = {}) {
    QProcess process;
    Start(process, arguments, pluginFolder);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(300000);  // false too when it could not start
    return {finished ? process.exitCode() : -1, process.exitStatus() == QProcess::CrashExit,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

std::string Describe(const RunResult &r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out.toStdString() + "stderr:\n" +
           r.err.toStdString();
}

bool WriteBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QImage ReadPicture(const QString &path) { return QImage(path).convertToFormat(QImage::Format_RGB32); }

// Noise: every pixel different, a hard case for any resize.
QImage NoisePicture(int width, int height, uint32_t seed) {
    QImage image(width, height, QImage::Format_RGB888);
    std::generate(image.bits(), image.bits() + image.sizeInBytes(), [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return uchar(seed >> 24);
    });
    return image;
}

// Flat 8 x 8 blocks of a few colours: lossy formats keep it nearly exact.
QImage BlockPicture(int width, int height) {
    static const QRgb kColours[] = {0x000000, 0xFFFFFF, 0xC80000, 0x00B400, 0x0000C8, 0xC8C800,
                                    0xC800C8, 0x00C8C8, 0x5A5A5A, 0xDC7828, 0x2878DC};
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, 0xFF000000 | kColours[((x / 8) * 7 + (y / 8) * 3) % std::size(kColours)]);
    return image;
}

// Mean absolute difference over all channels of two pictures of one size.
double MeanDifference(const QImage &a, const QImage &b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

// A fresh folder for each test; skipped when the BMP plug-ins, which every test uses, are not built.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QFileInfo::exists(ConverterPath())) << "faltrix-convert is not built";
        if (PluginPath("input", "bmp").isEmpty() || PluginPath("output", "bmp").isEmpty())
            GTEST_SKIP() << "the BMP plug-ins are not built";
    }
    QString Path(const QString &name) const { return dir_.filePath(name); }
    bool Save(const QImage &picture, const QString &name) const { return picture.save(Path(name), "BMP"); }

    QTemporaryDir dir_;
};

// ---- every format to every other -----------------------------------------------------------

struct Format {
    const char *plugin;  // bin/plugins/<kind>/<plugin>.so
    const char *extension;
    double meanTolerance;  // 0: lossless
    friend void PrintTo(const Format &c, std::ostream *os) { *os << c.plugin; }
};

// Sharp-edged blocks cost lossy formats a mean error of about 8 levels at default quality; a
// turned, mirrored or channel-swapped picture would be off by far more.
const Format kFormats[] = {{"bmp", "bmp", 0},   {"png", "png", 0},  {"jpeg", "jpg", 12},
                           {"gif", "gif", 4},   {"tiff", "tif", 0}, {"webp", "webp", 12}};

class EveryFormat : public InFolder, public ::testing::WithParamInterface<std::tuple<Format, Format>> {};

TEST_P(EveryFormat, KeepsThePicture) {
    const auto [from, to] = GetParam();
    for (const Format &format : {from, to})
        if (PluginPath("input", format.plugin).isEmpty() || PluginPath("output", format.plugin).isEmpty())
            GTEST_SKIP() << "plug-ins not built: " << format.plugin;

    const QImage original = BlockPicture(48, 32);
    ASSERT_TRUE(Save(original, "original.bmp"));
    // BMP to `from` to `to` and back to BMP, so that only our own plug-ins read and write.
    const QStringList chain{Path("original.bmp"), Path(QString("source.") + from.extension),
                            Path(QString("target.") + to.extension), Path("back.bmp")};
    for (qsizetype i = 1; i < chain.size(); ++i) {
        const RunResult r = RunConverter({chain[i - 1], "-o", chain[i]});
        ASSERT_EQ(r.exitCode, 0) << Describe(r);
        EXPECT_EQ(r.err, "");
    }
    const QImage back = ReadPicture(chain.back());
    ASSERT_EQ(back.size(), original.size());
    const double tolerance = from.meanTolerance + to.meanTolerance;
    if (tolerance == 0) {
        EXPECT_TRUE(back == original) << "a lossless chain changed pixels";
    } else {
        EXPECT_LE(MeanDifference(original, back), tolerance);
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, EveryFormat,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::ValuesIn(kFormats)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).plugin) + "_to_" +
                                    std::get<1>(info.param).plugin;
                         });

// ---- the same bytes as the job's resizers ----------------------------------------------------

// A 24-bit bottom-up DIB section holding the picture.
HBITMAP MakeSection(const QImage &picture) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = picture.width();
    info.bmiHeader.biHeight = picture.height();
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    // Both keep rows of whole 32-bit words.
    const QImage bottomUp = picture.convertToFormat(QImage::Format_BGR888).mirrored();
    if (bitmap) std::memcpy(bits, bottomUp.constBits(), size_t(bottomUp.sizeInBytes()));
    return bitmap;
}

// The pixels of a 24-bit bottom-up section.
QImage ReadSection(HBITMAP bitmap) {
    DIBSECTION ds{};
    if (GetObjectW(bitmap, sizeof ds, &ds) != sizeof ds || ds.dsBm.bmBitsPixel != 24) return {};
    return QImage(static_cast<const uchar *>(ds.dsBm.bmBits), ds.dsBm.bmWidth, ds.dsBm.bmHeight,
                  ds.dsBm.bmWidthBytes, QImage::Format_BGR888)
        .mirrored()
        .convertToFormat(QImage::Format_RGB32);
}

int32_t NoProgress(int32_t, int32_t, int32_t) { return 1; }

struct ResizeCase {
    const char *name;
    int width, height;  // source
    int toWidth, toHeight;
    bool antiAlias;
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const ResizeCase &c, std::ostream *os) { *os << c.name; }
};

class SameBytesAsTheJob : public InFolder, public ::testing::WithParamInterface<ResizeCase> {};

TEST_P(SameBytesAsTheJob, Resize) {
    const ResizeCase &c = GetParam();
    const QImage source = NoisePicture(c.width, c.height, 7);
    ASSERT_TRUE(Save(source, "in.bmp"));
    QStringList arguments{Path("in.bmp"), "-o", Path("out.bmp"), "-W", QString::number(c.toWidth),
                          "-H", QString::number(c.toHeight)};
    if (c.antiAlias) arguments << "--anti-alias";
    const RunResult r = RunConverter(arguments);
    ASSERT_EQ(r.exitCode, 0) << Describe(r);

    HBITMAP section = MakeSection(source);
    DIBSECTION ds{};
    ASSERT_EQ(GetObjectW(section, sizeof ds, &ds), int(sizeof ds));
    DeviceResizeResult resized;  // the device resize takes the section over, the area average does not
    if (c.antiAlias) {
        resized.bitmap = AreaAverageResize(section, double(c.toWidth) / c.width, double(c.toHeight) / c.height,
                                           NoProgress);
        DeleteObject(section);
    } else {
        resized = DeviceResize(section, ds, uint32_t(c.toWidth), uint32_t(c.toHeight));
    }
    ASSERT_NE(resized.bitmap, nullptr);
    const QImage expected = ReadSection(resized.bitmap);
    if (resized.storeDC) DeleteDC(resized.storeDC);
    DeleteObject(resized.bitmap);
    const QImage stored = ReadPicture(Path("out.bmp"));
    ASSERT_EQ(stored.size(), expected.size());
    EXPECT_TRUE(stored == expected) << "stored pixels differ from the resizer's";
}

INSTANTIATE_TEST_SUITE_P(Resizers, SameBytesAsTheJob,
                         ::testing::Values(ResizeCase{"AntiAliasDown", 53, 41, 20, 15, true},
                                           ResizeCase{"AntiAliasUp", 7, 5, 61, 12, true},  // 61 comes out as 60
                                           ResizeCase{"AntiAliasHeightOnly", 30, 20, 30, 9, true},
                                           ResizeCase{"DeviceDown", 53, 41, 20, 15, false},
                                           ResizeCase{"DeviceUp", 7, 5, 61, 12, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- one file: sizes, overwriting, what is printed, errors ---------------------------------

// In arguments and expected texts "@" stands for the test's folder and LONG for a name of 2100
// characters. The folder holds in.bmp (64 x 48), flat.bmp (300 x 2) and notes.txt (no picture).
struct RunCase {
    const char *name;
    std::vector<const char *> arguments;
    int exitCode;
    const char *out;  // the whole standard output; nullptr: not checked
    const char *err;  // a part of standard error; empty: no standard error at all
    QSize size;       // of @/out.bmp afterwards; invalid: absent, or as it was when it existed
    bool existing = false;  // @/out.bmp exists beforehand
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const RunCase &c, std::ostream *os) { *os << c.name; }
};

constexpr char kVerboseLines[] =
    "Now Getting infomation...\nGetting infomation Done.\nNow Decoding input data...\nDecoding input data Done.\n"
    "Now anti-alias Resizing...\nanti-alias Resizing Done.\nNow Coding and Storing...\nCoding and Storing Done.\n"
    "Ready.\n@/in.bmp -> @/out.bmp\n";

class Converter : public InFolder, public ::testing::WithParamInterface<RunCase> {
protected:
    QString Expand(const char *text) const {
        return QString::fromUtf8(text).replace("LONG", QString(2100, u'x')).replace("@", dir_.path());
    }
};

TEST_P(Converter, Runs) {
    const RunCase &c = GetParam();
    ASSERT_TRUE(Save(NoisePicture(64, 48, 3), "in.bmp") && Save(NoisePicture(300, 2, 3), "flat.bmp"));
    ASSERT_TRUE(WriteBytes(Path("notes.txt"), "just some words, not a picture\n"));
    ASSERT_TRUE(!c.existing || WriteBytes(Path("out.bmp"), "precious"));
    QStringList arguments;
    for (const char *argument : c.arguments) arguments << Expand(argument);

    const RunResult r = RunConverter(arguments);
    EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
    EXPECT_TRUE(!c.out || r.out == Expand(c.out)) << Describe(r);
    EXPECT_TRUE(*c.err ? r.err.contains(c.err) : r.err.isEmpty()) << Describe(r);
    // out.bmp afterwards: a picture of the expected size, else the earlier bytes, else nothing.
    EXPECT_EQ(ReadPicture(Path("out.bmp")).size(), c.size.isValid() ? c.size : QSize(0, 0));
    const bool left = c.existing ? ReadBytes(Path("out.bmp")) == "precious" : !QFileInfo::exists(Path("out.bmp"));
    EXPECT_TRUE(c.size.isValid() || left);
}

INSTANTIATE_TEST_SUITE_P(
    OneFile, Converter,
    ::testing::Values(
        // Off a terminal only the final line; the one side given keeps the aspect (64 * 10 / 48 = 13.3).
        RunCase{"OverwriteReplacesTheOutput", {"--overwrite", "@/in.bmp", "-o", "@/out.bmp"}, 0,
                "@/in.bmp -> @/out.bmp\n", "", {64, 48}, true},
        RunCase{"QuietHeightOnly", {"-q", "-H", "10", "@/in.bmp", "-o", "@/out.bmp"}, 0, "", "", {13, 10}},
        RunCase{"VerboseWidthOnly", {"-v", "-a", "-W", "32", "@/in.bmp", "-o", "@/out.bmp"}, 0, kVerboseLines, "",
                {32, 24}},
        RunCase{"SideThatWouldBeZero", {"-W", "10", "@/flat.bmp", "-o", "@/out.bmp"}, 1, nullptr,
                "no usable height", {}},
        RunCase{"ExistingOutputLeftUntouched", {"@/in.bmp", "-o", "@/out.bmp"}, 1, nullptr,
                "the output exists", {}, true},
        RunCase{"OverlongPath", {"@/in.bmp", "-o", "@/LONG.bmp"}, 1, nullptr, "at most 2047", {}},
        RunCase{"UnknownOutputFormat", {"@/in.bmp", "-o", "@/out.xyz"}, 1, nullptr,
                "no output plug-in writes '.xyz' files", {}},
        RunCase{"NoPluginReadsTheFile", {"@/notes.txt", "-o", "@/out.bmp"}, 1, nullptr,
                "no input plug-in can read this file", {}},
        // Usage errors: exit code 2, nothing on standard output.
        RunCase{"UsageErrorNoArguments", {}, 2, "", "No input file given", {}},
        RunCase{"UsageErrorUnknownOption", {"--frobnicate", "@/in.bmp", "-o", "@/out.bmp"}, 2, "", "frobnicate", {}},
        RunCase{"UsageErrorWidthZero", {"-W", "0", "@/in.bmp", "-o", "@/out.bmp"}, 2, "", "Invalid width", {}},
        RunCase{"UsageErrorHeightBeyond32Bits", {"-H", "4294967296", "@/in.bmp", "-o", "@/out.bmp"}, 2, "",
                "Invalid height", {}},
        RunCase{"UsageErrorSeveralInputsToAFile", {"@/in.bmp", "@/flat.bmp", "-o", "@/out.bmp"}, 2, "",
                "existing folder", {}},
        RunCase{"UsageErrorUnknownInputPlugin", {"--input-plugin", "nosuch", "@/in.bmp", "-o", "@/out.bmp"}, 2,
                "", "no input plug-in is named 'nosuch'", {}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- batches, in a plug-in folder that also holds the hostile test plug-in -----------------

class HostilePlugins : public InFolder {
protected:
    void SetUp() override {
        InFolder::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        QDir root(dir_.path());
        ASSERT_TRUE(root.mkpath("plugins/input") && root.mkpath("plugins/output") && root.mkpath("out"));
        ASSERT_TRUE(QFile::link(PluginPath("input", "bmp"), Path("plugins/input/bmp.so")));
        ASSERT_TRUE(QFile::link(PluginPath("output", "bmp"), Path("plugins/output/bmp.so")));
        ASSERT_TRUE(QFile::link(QStringLiteral(FALTRIX_HOSTILE_PLUGIN), Path("plugins/input/hostile.so")));
    }
    RunResult RunHere(const QStringList &arguments) const { return RunConverter(arguments, Path("plugins")); }
};

// Every option reaches each file's worker (the output plug-in forced for an extension no
// plug-in claims); a corrupt file, a refused output, a crash and a hang fail their files alone.
TEST_F(HostilePlugins, BatchFailsTheBadFilesAlone) {
    for (const char *name : {"a.bmp", "three.bmp", "z.bmp"}) ASSERT_TRUE(Save(NoisePicture(20, 10, 9), name));
    // A BMP header that promises far more than the file holds.
    ASSERT_TRUE(WriteBytes(Path("broken.bmp"), ReadBytes(Path("a.bmp")).left(60)));
    ASSERT_TRUE(WriteBytes(Path("crash.hostile"), "FALTRIX-HOSTILE crash\n"));
    ASSERT_TRUE(WriteBytes(Path("hang.hostile"), "FALTRIX-HOSTILE hang\n"));
    ASSERT_TRUE(WriteBytes(Path("out/three.pic"), "earlier"));
    QStringList arguments{"-v", "-j", "2", "--timeout", "2", "-W", "10", "-a", "--output-plugin", "bmp",
                          "-f", "pic", "-o", Path("out")};
    for (const char *name : {"a.bmp", "broken.bmp", "crash.hostile", "hang.hostile", "three.bmp", "z.bmp"})
        arguments << Path(name);

    const RunResult r = RunHere(arguments);
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_FALSE(r.crashed);
    for (const char *name : {"out/a.pic", "out/z.pic"}) {
        EXPECT_TRUE(ReadBytes(Path(name)).startsWith("BM")) << name;
        EXPECT_EQ(QImage(Path(name), "bmp").size(), QSize(10, 5)) << name;
    }
    EXPECT_FALSE(QFileInfo::exists(Path("out/broken.pic")));
    EXPECT_EQ(ReadBytes(Path("out/three.pic")), "earlier");
    EXPECT_TRUE(r.out.contains(Path("a.bmp") + " -> " + Path("out/a.pic"))) << Describe(r);
    // Each file's status lines come as one block after its name, as the job wrote them.
    const QStringList lines = r.out.split('\n');
    const qsizetype first = lines.indexOf(Path("a.bmp") + ":");
    ASSERT_GE(first, 0) << Describe(r);
    EXPECT_EQ(lines.mid(first + 1, 6), QString(kVerboseLines).split('\n').mid(0, 6));
    for (const QString &text : {QString("4 of 6 files failed"), Path("broken.bmp") + ": ", Path("crash.hostile") + ": ",
                                Path("three.bmp") + ": the output exists",
                                Path("hang.hostile") + ": its conversion took longer than 2 s",
                                QString("after \"Now Decoding input data...\"")})
        EXPECT_TRUE(r.err.contains(text)) << text.toStdString() << "\n" << Describe(r);
#if !defined(__SANITIZE_ADDRESS__)
    // (A sanitizer turns the crash into its own report and exit code.)
    EXPECT_TRUE(r.err.contains(Path("crash.hostile") + ": its conversion process crashed")) << Describe(r);
#endif
}

// The processes whose command line mentions `text` (zombies excluded).
std::vector<int> ProcessesMentioning(const QString &text) {
    std::vector<int> found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        QByteArray command = ReadBytes("/proc/" + entry + "/cmdline").replace('\0', ' ');
        if (isPid && !ReadBytes("/proc/" + entry + "/stat").contains(") Z ") && command.contains(text.toUtf8()))
            found.push_back(pid);
    }
    return found;
}

TEST_F(HostilePlugins, WorkerStuckInAPlugInEndsWithItsBatch) {
    ASSERT_TRUE(WriteBytes(Path("stuck.hostile"), "FALTRIX-HOSTILE hang\n"));
    ASSERT_TRUE(Save(NoisePicture(12, 12, 4), "fine.bmp"));
    QProcess batch;
    Start(batch, {"--timeout", "0", "-j", "1", "-f", "bmp", "-o", Path("out"), Path("stuck.hostile"), Path("fine.bmp")},
          Path("plugins"));
    ASSERT_TRUE(batch.waitForStarted());
    std::vector<int> workers;
    for (int i = 0; i < 200 && workers.empty(); ++i) {
        QThread::msleep(50);
        workers = ProcessesMentioning(Path("stuck.hostile"));
        std::erase(workers, int(batch.processId()));
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
    const RunResult r = RunHere({"--list-plugins"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    for (const char *text : {"hostile", "Hostile test plug-in", "*.hostile"})
        EXPECT_TRUE(r.out.contains(text)) << Describe(r);
    // A line of its own for each, with a reason after the path.
    auto refused = [&](const QString &name, const QString &reason) {
        const QString path = QRegularExpression::escape(Path("plugins/" + name));
        const QString line = "^  refused " + path + ": (?=\\S).*" + reason;
        return QRegularExpression(line, QRegularExpression::MultilineOption).match(r.out).hasMatch();
    };
    EXPECT_TRUE(refused("input/junk.so", "")) << Describe(r);
    EXPECT_TRUE(refused("output/graphics.so", "GetPluginInfo")) << Describe(r);
}

}  // namespace
}  // namespace faltrix
