// faltrix-convert: its pieces (the keep-aspect arithmetic, what a worker reports, what the
// terminal front end writes), then the real binary with the bundled plug-ins of this build and
// a hostile one, and in batch work with the bundled plug-ins beside it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <thread>

#include "faltrix/cli/batch.h"
#include "faltrix/keep_aspect.h"

namespace faltrix {
namespace {

// ---- the pieces -----------------------------------------------------------------------------

// The converter's runs show plain cases (64 x 48 to 32 wide is 24 high; 300 x 2 to 140 wide is
// 0 high, truncated), and the dialog's tests an answer beyond 32 bits, which a 32-bit product
// would wrap into a number; here the edges that neither reaches.
TEST(KeepAspect, GivesTheOtherSideWithoutOverflowOrDivisionByZero) {
    // The picture's side that is given, its other side, the side given, the other side expected.
    const std::tuple<int32_t, int32_t, uint32_t, std::optional<uint32_t>> cases[] = {
        {1, 0x7FFFFFFF, 2, 0xFFFFFFFEu},  // the largest answer that fits
        {0, 480, 320, std::nullopt},      // picture sides that could not be obtained
        {-640, 480, 320, std::nullopt},
        {640, 0, 320, std::nullopt},
    };
    for (const auto &[side, other, given, expected] : cases)
        EXPECT_EQ(KeepAspectSide(side, other, given), expected)
            << side << " x " << other << " to " << given;
}

TEST(WorkerProtocol, ReadsBackWhatTheWorkerWrites) {
    EXPECT_EQ(ParseWorkerLine("P 45").position, 45u);
    for (const char *bad : {"P x", "", "Q what"})
        EXPECT_EQ(ParseWorkerLine(bad).kind, WorkerEvent::Unknown) << bad;
    // A reason naming a file whose bytes are not UTF-8 comes back with the same escapes, on one
    // line.
    const QString reason = QStringLiteral("the output's folder caf") + QChar(0xDCE9) +
                           QChar(0xDC80) + "\n\x1b does not exist";
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    WorkerFrontEnd(ends[1]).ReportFailure(reason);
    ::close(ends[1]);
    char line[256];
    const ssize_t got = ::read(ends[0], line, sizeof line);
    ::close(ends[0]);
    ASSERT_GT(got, 1);
    ASSERT_EQ(line[got - 1], '\n');
    const WorkerEvent event = ParseWorkerLine(QByteArray(line, got - 1));
    EXPECT_EQ(event.kind, WorkerEvent::Failure);
    EXPECT_EQ(event.text, QString(reason).replace(u'\n', u' '));
}

// What the front end writes to standard output and error, with a bar as on a terminal (80
// columns), while a file's conversion writes a status line and progress and a plug-in that no
// longer loads shows a message.
std::pair<std::string, std::string> FrontEndWrites(Verbosity verbosity) {
    char text[2][1024] = {};
    FILE *out = fmemopen(text[0], sizeof text[0], "w"),
         *err = fmemopen(text[1], sizeof text[1], "w");
    TerminalFrontEnd front(verbosity, true, out, err);
    front.BeginFile("a.png");
    front.SetStatusText(u"Now Decoding input data...");
    front.SetProgressPosition(50);
    front.ShowMessage(u"Failed in loading library.", u"/p/x.so");
    front.EndFile();
    EXPECT_EQ(front.LastStatus(), "Now Decoding input data...");
    for (FILE *stream : {out, err}) std::fclose(stream);
    return {text[0], text[1]};
}

// The bar stays on one line, is cleared for a message and redrawn after it, and is cleared at
// the file's end; quiet draws none, but a message is an error and is shown.
TEST(TerminalFrontEnd, BarAroundMessagesNoneWhenQuietAndNeverWiderThanTheTerminal) {
    const std::string message = "faltrix-convert: /p/x.so: Failed in loading library.\n",
                      half =
                          "\ra.png [##########..........]  50%  Now Decoding input data...\x1b[K";
    EXPECT_EQ(FrontEndWrites(Verbosity::Normal),
              std::pair(std::string(),
                        "\ra.png [....................]   0%  Now Decoding input data...\x1b[K" +
                            half + "\r\x1b[K" + message + half + "\r\x1b[K"));
    EXPECT_EQ(FrontEndWrites(Verbosity::Quiet), std::pair(std::string(), message));
    // A name's control characters and bytes that are not UTF-8 are written out in the bar.
    EXPECT_EQ(ProgressLine(QStringLiteral("a\x1b[2J") + QChar(0xDCE9), 0, {}, 80).toStdString(),
              "a\\x1b[2J\\xe9 [....................]   0%");
    // The bar is never wider than the terminal, and shows no more than 100%.
    for (int columns : {20, 40, 80, 300})
        EXPECT_LT(
            ProgressLine(QString(200, u'n'), 45, "Now Decoding input data...", columns).size(),
            columns);
    EXPECT_TRUE(ProgressLine("a.png", 250, {}, 80).contains("100%"));
}

// ---- the program ----------------------------------------------------------------------------

const QString kBuildDir =
    qEnvironmentVariable("FALTRIX_BUILD_DIR", QStringLiteral(FALTRIX_TEST_BUILD_DIR));

const QString kPluginDir = kBuildDir + "/bin/plugins/";

// Starts the converter; given a folder, it runs there and looks for plug-ins in its plugins/
// instead of beside itself. A file-size limit (in 512-byte blocks) stands for a full disk: the
// shell ignores SIGXFSZ, so that a write past it fails with EFBIG instead of killing. Words
// after the arguments are read by the shell, so that they can hold any bytes
// ("$(printf 'caf\351')"), which QProcess would pass as UTF-8.
void Start(QProcess &process, const QStringList &arguments, const QString &folder = {},
           int sizeLimit = 0, const QString &words = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!folder.isEmpty())
        env.insert("FALTRIX_PLUGIN_DIR", QDir(folder).absoluteFilePath("plugins"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(folder);
    const QString limit = QString("trap '' XFSZ; ulimit -f %1; ").arg(sizeLimit);
    if (sizeLimit > 0 || !words.isEmpty())
        process.start(
            "/bin/sh",
            QStringList{"-c", (sizeLimit > 0 ? limit : QString()) + "exec \"$0\" \"$@\" " + words,
                        kBuildDir + "/bin/faltrix-convert"} +
                arguments);
    else process.start(kBuildDir + "/bin/faltrix-convert", arguments);
    process.closeWriteChannel();
}

// How a run ended: its exit code (-1: it crashed or did not end), standard output and error as
// bytes.
struct RunResult {
    int exitCode = -1;
    QByteArray out, err;
    std::string Text() const {
        return "exit " + std::to_string(exitCode) + "\nstdout:\n" + out.toStdString() +
               "stderr:\n" + err.toStdString();
    }
};

RunResult RunConverter(const QStringList &arguments, const QString &folder = {}, int sizeLimit = 0,
                       const QString &words = {}) {
    QProcess process;
    Start(process, arguments, folder, sizeLimit, words);
    const bool finished =
        process.waitForFinished(300000) && process.exitStatus() == QProcess::NormalExit;
    return {finished ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// Runs a bash command line in `folder` with the build's faltrix-convert first on the PATH and
// its bundled plug-ins beside it.
RunResult Shell(const QString &folder, const QString &command) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", kBuildDir + "/bin:" + env.value("PATH"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(folder);
    process.start("/bin/bash", {"-c", command});
    process.closeWriteChannel();
    const bool ended =
        process.waitForFinished(300000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// Whether the whole of `text`, read as UTF-8, matches `pattern`.
bool Matches(const char *pattern, const QByteArray &text) {
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern))
        .match(QString::fromUtf8(text))
        .hasMatch();
}

bool WriteBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Flat 8 x 8 blocks of a few colours, different in every pair of neighbours: lossy formats
// keep it nearly exact, and a resize shows which pixels it took.
QImage BlockPicture(int width, int height) {
    static const QRgb kColours[] = {0x000000, 0xFFFFFF, 0xC80000, 0x00B400, 0x0000C8, 0xC8C800,
                                    0xC800C8, 0x00C8C8, 0x5A5A5A, 0xDC7828, 0x2878DC};
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(
                x, y, 0xFF000000 | kColours[((x / 8) * 7 + (y / 8) * 3) % std::size(kColours)]);
    return image;
}

// Mean absolute difference over all channels of two pictures of one size, whose rows in three
// bytes a pixel need no padding (a width that is a multiple of 4).
double MeanDifference(const QImage &a, const QImage &b) {
    const QImage p = a.convertToFormat(QImage::Format_RGB888),
                 q = b.convertToFormat(QImage::Format_RGB888);
    const double sum =
        std::transform_reduce(p.constBits(), p.constBits() + p.sizeInBytes(), q.constBits(), 0.0,
                              std::plus<>(), [](int x, int y) { return std::abs(x - y); });
    return sum / double(p.sizeInBytes());
}

// A fresh folder for each test, skipped when the BMP plug-ins, which every test uses, are not
// built. It holds the 64 x 48 block picture as in.bmp, in, three.bmp, z.tar.bmp and -x.bmp,
// flat.bmp (300 x 2), broken.bmp (a header that promises far more than the file holds), cut.jpg
// (a 128 x 96 JPEG whose pixel data stops at row 48, before its end marker), and the bytes
// "precious" (no picture) in notes.txt, crash.hostile, hang.hostile, fail.hostile,
// exit.hostile, chatty.hostile and the
// existing outputs out/three.bmp (also named by the link out/link.bmp), out/three.pic and
// out/locked.bmp (read-only); its plugins/ holds the BMP plug-ins, the JPEG input plug-in, the
// hostile input and output ones and three libraries that are refused.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        for (const char *folder : {"plugins/input", "plugins/output", "out"})
            ASSERT_TRUE(QDir().mkpath(Path(folder)));
        ASSERT_TRUE(QFile::copy(FALTRIX_TEST_DATA_DIR
                                "/jpeg/hostile/cut-inside-pixel-data-before-the-end-marker.jpg",
                                Path("cut.jpg")));
        // The last three are refused at every scan: a library that is no plug-in, one that
        // crashes when asked for its tag, one that crashes when asked for its description; so are
        // a FIFO that would hang a loader that opened it, and (below) no library at all.
        using Link = std::pair<QString, const char *>;
        for (const auto &[target, name] :
             {Link{kPluginDir + "input/bmp.so", "input/bmp.so"},
              Link{kPluginDir + "output/bmp.so", "output/bmp.so"},
              Link{FALTRIX_HOSTILE_PLUGIN, "input/hostile.so"},
              Link{FALTRIX_HOSTILE_OUTPUT_PLUGIN, "output/hostile.so"},
              Link{kPluginDir + "input/jpeg.so", "input/jpeg.so"},
              Link{FALTRIX_GDI_LIBRARY, "output/graphics.so"},
              Link{FALTRIX_CRASHING_PLUGIN, "input/crash.so"},
              Link{FALTRIX_DESCRIPTION_CRASHING_PLUGIN, "input/dcrash.so"}})
            ASSERT_TRUE(QFile::link(target, Path(QString("plugins/") + name))) << name;
        ASSERT_EQ(::mkfifo(QFile::encodeName(Path("plugins/input/fifo.so")).constData(), 0600), 0);
        for (const char *name : {"in.bmp", "in", "three.bmp", "z.tar.bmp", "-x.bmp"})
            ASSERT_TRUE(BlockPicture(64, 48).save(Path(name), "BMP"));
        ASSERT_TRUE(BlockPicture(300, 2).save(Path("flat.bmp"), "BMP"));
        ASSERT_TRUE(QDir().mkpath(Path("tree/sub")));
        for (const char *name : {"tree/top.bmp", "tree/sub/deep.bmp"})
            ASSERT_TRUE(QFile::copy(Path("in.bmp"), Path(name)));
        ASSERT_TRUE(WriteBytes(Path("list0"), QByteArray("in.bmp\0z.tar.bmp\0", 18)));
        ASSERT_TRUE(WriteBytes(Path("broken.bmp"), ReadBytes(Path("in.bmp")).left(60)));
        for (const char *name :
             {"notes.txt", "crash.hostile", "hang.hostile", "fail.hostile", "exit.hostile",
              "chatty.hostile", "out/three.bmp", "out/three.pic", "plugins/input/junk.so"})
            ASSERT_TRUE(WriteBytes(Path(name), "precious"));
        ASSERT_TRUE(QFile::copy(Path("notes.txt"), Path("out/locked.bmp")));
        ASSERT_TRUE(QFile::link("three.bmp", Path("out/link.bmp")));
        ASSERT_TRUE(
            QFile::setPermissions(Path("out/locked.bmp"), QFile::ReadOwner | QFile::ReadOther));
    }
    QString Path(const QString &name) const { return dir_.filePath(name); }

    // The storing temporaries left in the folder and in out/: none, whatever happened.
    QStringList Leftovers() const {
        QStringList left;
        for (const char *folder : {".", "out"})
            left += QDir(Path(folder))
                        .entryList({".faltrix-*"}, QDir::Files | QDir::Hidden | QDir::System);
        return left;
    }

    QTemporaryDir dir_;
};

// ---- runs in the folder with its plug-in folder ----------------------------------------------

// Paths are relative to the folder.
using Args = QStringList;
Args Words(const char *words) { return QString(words).split(u' '); }
using Err = std::vector<const char *>;
using File = std::pair<const char *, QSize>;
using Files = std::vector<File>;

struct RunCase {
    const char *name;
    Args arguments;
    int exitCode;
    const char *out;  // a pattern for the whole standard output
    Err err;          // parts of standard error; none: no standard error at all
    // Files afterwards: a picture of that size; invalid: absent, or as the folder had it.
    Files files = {};
    int sizeLimit = 0;  // a full disk after this many 512-byte blocks; 0: none
    friend void PrintTo(const RunCase &c, std::ostream *os) { *os << c.name; }
};

class Converter : public InFolder, public ::testing::WithParamInterface<RunCase> {};

TEST_P(Converter, Runs) {
    const RunCase &c = GetParam();
    const RunResult r = RunConverter(c.arguments, dir_.path(), c.sizeLimit);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.Text();
    EXPECT_TRUE(Matches(c.out, r.out)) << r.Text();
    EXPECT_EQ(r.err.isEmpty(), c.err.empty()) << r.Text();
    for (const char *part : c.err) EXPECT_TRUE(r.err.contains(part)) << part << "\n" << r.Text();
    // Qt's scaled() takes the nearest pixels, as the resize without averaging does; at whole-block
    // factors averaging gives each block's own colour too.
    for (const auto &[name, size] : c.files) {
        if (size.isValid())
            EXPECT_EQ(QImage(Path(name)), BlockPicture(64, 48).scaled(size)) << name;
        else
            EXPECT_TRUE(!QFileInfo::exists(Path(name)) || ReadBytes(Path(name)) == "precious")
                << name;
    }
    EXPECT_EQ(Leftovers(), QStringList());
}

// The job's status lines when it resizes by area averaging.
#define ANTI_ALIAS_LINES                                                                 \
    "Now Getting infomation...\nGetting infomation Done.\nNow Decoding input data...\n"  \
    "Decoding input data Done.\nNow anti-alias Resizing...\nanti-alias Resizing Done.\n" \
    "Now Coding and Storing...\nCoding and Storing Done.\nReady.\n"

// A part of standard error that names a plug-in's crash; none where a sanitizer turns the
// crash into its own report and exit code.
#if defined(__SANITIZE_ADDRESS__)
#define CRASH_TEXT(text) ""
#else
#define CRASH_TEXT(text) text
#endif

INSTANTIATE_TEST_SUITE_P(
    Runs, Converter,
    ::testing::Values(
        // One file: verbose, each status line as the job writes it; the width alone gives the
        // height.
        RunCase{"VerboseAntiAliasWidthOnly",
                Args{"-v", "-a", "-W", "32", "in.bmp", "-o", "out.bmp"}, 0,
                ANTI_ALIAS_LINES "in.bmp -> out.bmp\n", Err{}, Files{{"out.bmp", {32, 24}}}},
        // 70 wide, 2 * 70 / 300 = 0.47 high, which rounds to nothing.
        RunCase{"SideThatWouldBeZero", Args{"-W", "70", "flat.bmp", "-o", "out.bmp"}, 1, "",
                Err{"flat.bmp: a 300 x 2 picture would have no usable height at that size"}},
        // Per cent of the picture's side, the other side following; the derived side rounded
        // (300 x 2 at 150 wide: 1); --fit the largest inside the box.
        RunCase{"PercentOfThePicture",
                Args{"-q", "--filter", "box", "-W", "50%", "in.bmp", "-o", "out.bmp"}, 0, "", Err{},
                Files{{"out.bmp", {32, 24}}}},
        RunCase{"DerivedSideRounded", Args{"-q", "-W", "150", "flat.bmp", "-o", "out.bmp"}, 0, "",
                Err{}},
        RunCase{"FitInsideABox",
                Args{"-q", "--filter", "BOX", "--fit", "16x16", "in.bmp", "-o", "out.bmp"}, 0, "",
                Err{}, Files{{"out.bmp", {16, 12}}}},
        RunCase{"UnknownFilter", Args{"--filter", "sinc", "in.bmp", "-o", "out.bmp"}, 2, "",
                Err{"Unknown filter 'sinc'"}},
        RunCase{"OverlongPath", Args{"in", "-o", QString(2100, u'x')}, 1, "",
                Err{"2100 UTF-16 units long; at most 2047"}},
        // A plug-in's cause follows the job's last status line; a plug-in that gives none leaves
        // the line as it is. The file it would have replaced stays as it was.
        RunCase{
            "FullDiskGivesTheSystemsWords", Args{"--overwrite", "in.bmp", "-o", "out/three.bmp"}, 1,
            "",
            Err{"faltrix-convert: in.bmp: Failed in Coding or Storing data. (File too large)\n"},
            Files{{"out/three.bmp", {}}}, 4},
        // The host stores: a file made at the output meanwhile is kept, and a plug-in that claims
        // to have stored without writing fails.
        RunCase{"OutputAppearingMeanwhileSurvives", Args{"in.bmp", "-o", "out.race"}, 1, "",
                Err{"in.bmp: Failed in Coding or Storing data. (the output file appeared during "
                    "the conversion and was not replaced)\n"},
                Files{{"out.race", {}}}},
        RunCase{"PluginStoringNothingFails", Args{"in.bmp", "-o", "out.liar"}, 1, "",
                Err{"in.bmp: Failed in Coding or Storing data. (the output plug-in reported "
                    "success but wrote nothing)\n"},
                Files{{"out.liar", {}}}},
        // A read-only output is replaced only with --force.
        RunCase{"ReadOnlyOutputNeedsForce", Args{"--overwrite", "in.bmp", "-o", "out/locked.bmp"},
                1, "", Err{"in.bmp: the output is read-only (--force replaces it)\n"},
                Files{{"out/locked.bmp", {}}}},
        RunCase{"ForceReplacesAReadOnlyOutput", Args{"--force", "in.bmp", "-o", "out/locked.bmp"},
                0, "in.bmp -> out/locked.bmp\n", Err{}, Files{{"out/locked.bmp", {64, 48}}}},
        // Through a symbolic link the file it names is replaced, the link kept.
        RunCase{"ReplacesThroughALink", Args{"-q", "--overwrite", "in.bmp", "-o", "out/link.bmp"},
                0, "", Err{}, Files{{"out/three.bmp", {64, 48}}}},
        // A single file is converted in a child process too: a crash or a hang fails it with
        // the plug-in named.
        RunCase{"CrashingPluginIsNamed", Args{"crash.hostile", "-o", "out.bmp"}, 1, "",
                Err{"faltrix-convert: crash.hostile: ",
                    CRASH_TEXT("the input plug-in hostile crashed (signal 11, Segmentation "
                               "fault) after \"Now Decoding input data...\"\n")}},
        // Only a worker that says its output is in place has converted its file: a plug-in that
        // ends the process with status 0 fails it, named, the report says so, and its temporary
        // goes.
        RunCase{"PluginEndingTheWorkerWhileDecoding",
                Args{"--report", "-", "exit.hostile", "-o", "out.bmp"}, 1,
                "\\{\"input\":\"exit.hostile\",.*\"status\":\"failed\"\\}\n",
                Err{"faltrix-convert: exit.hostile: the input plug-in hostile ended its worker "
                    "without finishing (exit status 0) after \"Now Decoding input data...\"\n"},
                Files{{"out.bmp", {}}}},
        RunCase{"PluginEndingTheWorkerWhileStoring",
                Args{"--report", "-", "in.bmp", "-o", "out.quit"}, 1,
                "\\{\"input\":\"in.bmp\",.*\"size\":0,\"status\":\"failed\"\\}\n",
                Err{"faltrix-convert: in.bmp: the output plug-in hostile ended its worker without "
                    "finishing (exit status 0) after \"Now Coding and Storing...\"\n"},
                Files{{"out.quit", {}}}},
        RunCase{"PluginEndingTheWorkerGivesNoPicture", Args{"exit.hostile", "-f", "bmp", "-o", "-"},
                1, "",
                Err{"exit.hostile: the input plug-in hostile ended its worker without finishing"}},
        RunCase{
            "PluginEndingAWorkerOfABatch",
            Args{"-j", "1", "-f", "bmp", "-o", "out", "exit.hostile", "in.bmp"}, 1,
            "in.bmp -> out/in.bmp\n",
            Err{"\n  exit.hostile: the input plug-in hostile ended its worker without finishing"},
            Files{{"out/in.bmp", {64, 48}}, {"out/exit.bmp", {}}}},
        // What a plug-in prints goes to standard error when standard output carries the picture
        // or the report, which stay as they were.
        RunCase{"ChattyPluginsKeepOffThePicture", Args{"chatty.hostile", "-f", "chatty", "-o", "-"},
                0, "picture",
                Err{"chatty: reading the size\n", "chatty: decoding\nchatty: raw\n",
                    "chatty: storing\nchatty: raw\n"}},
        RunCase{"ChattyPluginsKeepOffTheReport",
                Args{"-v", "--report", "-", "chatty.hostile", "-o", "out.chatty"}, 0,
                "\\{\"input\":\"chatty.hostile\",\"message\":\"\",\"output\":\"out.chatty\","
                "\"seconds\":[0-9.e-]+,\"size\":7,\"status\":\"converted\"\\}\n",
                Err{"chatty: decoding\n", "chatty: storing\n", "Coding and Storing Done.\n"}},
        // Sizes no plug-in could read back are refused before the job, with the limit named: a
        // side in pixels as the command line is read, a size made from the picture's per file.
        RunCase{"WidthBeyondTheSideLimit", Args{"-W", "100000000", "in.bmp", "-o", "out.bmp"}, 2,
                "",
                Err{"faltrix-convert: -W 100000000: 100000000 pixels wide, more than the 1048575 a "
                    "side the plug-ins read\n"},
                Files{{"out.bmp", {}}}},
        RunCase{"HeightBeyondTheSideLimit", Args{"-H", "1048576", "in.bmp", "-o", "out.bmp"}, 2, "",
                Err{"-H 1048576: 1048576 pixels high, more than the 1048575 a side the plug-ins "
                    "read\n"}},
        RunCase{"SizeBeyondThePixelLimit", Args{"-W", "20000", "in.bmp", "-o", "out.bmp"}, 2, "",
                Err{"faltrix-convert: in.bmp: -W 20000: 20000 x 15000 is 300 million pixels, more "
                    "than the 268 million the plug-ins read\n"},
                Files{{"out.bmp", {}}}},
        RunCase{"PercentBeyondTheSideLimit", Args{"-W", "5000000%", "in.bmp", "-o", "out.bmp"}, 2,
                "",
                Err{"in.bmp: -W 5000000%: 3200000 pixels wide, more than the 1048575 a side the "
                    "plug-ins read\n"}},
        RunCase{"HangingPluginIsStopped", Args{"--timeout", "1", "hang.hostile", "-o", "out.bmp"},
                1, "",
                Err{"hang.hostile: the input plug-in hostile took longer than 1 s and was stopped "
                    "after \"Now Decoding input data...\" (--timeout sets the limit)\n"}},
        // Folders below an input mirrored under the output; an existing output skipped, not
        // failed; one JSON line per file on standard output.
        RunCase{
            "RecursiveSkipsExistingAndReports",
            Args{"-r", "--skip-existing", "-j", "1", "--report", "-", "-f", "pic",
                 "--output-plugin", "bmp", "-o", "out", "tree", "three.bmp"},
            0,
            "\\{\"input\":\"tree/sub/deep.bmp\",\"message\":\"\",\"output\":\"out/sub/"
            "deep.pic\",\"seconds\":[0-9.e-]+,\"size\":9270,\"status\":\"converted\"\\}\n"
            "\\{\"input\":\"tree/top.bmp\".*\"status\":\"converted\"\\}\n"
            "\\{\"input\":\"three.bmp\",\"message\":\"\",\"output\":\"out/three.pic\","
            "\"seconds\":0,\"size\":0,\"status\":\"skipped\"\\}\n",
            Err{},
            Files{
                {"out/sub/deep.pic", {64, 48}}, {"out/top.pic", {64, 48}}, {"out/three.pic", {}}}},
        RunCase{"FilesFromNulSeparated",
                Args{"--files-from", "list0", "-0", "-q", "-f", "bmp", "-o", "out"}, 0, "", Err{},
                Files{{"out/in.bmp", {64, 48}}, {"out/z.tar.bmp", {64, 48}}}},
        RunCase{"FormatMustMatchTheOutputName", Args{"-f", "png", "in.bmp", "-o", "x.bmp"}, 2, "",
                Err{"-f png does not match the output x.bmp"}},
        RunCase{"StandardOutputNeedsAFormat", Args{"in.bmp", "-o", "-"}, 2, "",
                Err{"needs -f to name the format"}},
        RunCase{"PluginWithoutCause", Args{"fail.hostile", "-o", "out.bmp"}, 1, "",
                Err{"faltrix-convert: fail.hostile: Failed in Getting information.\n"}},
        // Damaged pixel data fails with its cause; --lenient reaches every worker: the JPEG plug-in
        // salvages the picture and says where it is damaged, the BMP plug-in, which has no lenient
        // mode, is named.
        RunCase{"DamagedJpeg", Args{"cut.jpg", "-o", "out.bmp"}, 1, "",
                Err{"cut.jpg: Failed in Decoding input data. (truncated JPEG data at row 48)\n"}},
        RunCase{"LenientBatch", Args{"--lenient", "-f", "bmp", "-o", "out", "cut.jpg", "in.bmp"}, 0,
                "(cut.jpg -> out/cut.bmp\n|in.bmp -> out/in.bmp\n){2}",
                Err{"faltrix-convert: cut.jpg: warning: dropped the damaged pixel data, salvaged "
                    "leniently: truncated JPEG data at row 48\n",
                    "faltrix-convert: in.bmp: warning: the input plug-in bmp has no lenient mode"},
                Files{{"out/in.bmp", {64, 48}}}},
        // Usage errors: exit code 2, nothing on standard output.
        RunCase{"UsageErrorNoArguments", Args{}, 2, "", Err{"No input file given"}},
        RunCase{"UsageErrorUnknownOption", Args{"--frobnicate", "in", "-o", "o.bmp"}, 2, "",
                Err{"frobnicate"}},
        RunCase{"UsageErrorWidthZero", Args{"-W", "0", "in", "-o", "o.bmp"}, 2, "",
                Err{"Invalid width"}},
        RunCase{"UsageErrorHeightBeyond32Bits", Args{"-H", "4294967296", "in", "-o", "o"}, 2, "",
                Err{"Invalid height"}},
        RunCase{"UsageErrorUnknownInputPlugin", Args{"--input-plugin", "xx", "in", "-o", "o"}, 2,
                "", Err{"no input plug-in is named 'xx'"}},
        // A file at a time (-j 1), so that the hang's stop comes before the next file. The output
        // plug-in is forced for an extension no plug-in claims; --format replaces the last
        // extension or adds one, and "in" would go where in.bmp went. A hang, a corrupt file (its
        // cause carried from its worker), a crash, a clash and an unreadable file fail their files
        // alone; every option reaches the workers, and a name that looks like an option is a file.
        // Each file's status lines come as one block after its name, as the job wrote them.
        RunCase{"BatchFailsTheBadFilesAlone",
                Words("-v -j 1 --timeout 2 -W 16 -H 6 -a --overwrite --output-plugin bmp -f pic "
                      "-o out -- hang.hostile in.bmp broken.bmp crash.hostile z.tar.bmp in "
                      "three.bmp -x.bmp notes.txt"),
                1,
                "hang.hostile:\n[\\s\\S]*\nin.bmp:\n" ANTI_ALIAS_LINES
                "in.bmp -> out/in.pic\n[\\s\\S]*",
                Err{"\nfaltrix-convert: 5 of 9 files failed:\n"
                    "  hang.hostile: the input plug-in hostile took longer than 2 s and was "
                    "stopped after \"Now Decoding input",
                    "\n  broken.bmp: Failed in Decoding input data. (BMP: the file is too short "
                    "for its rows)\n",
                    CRASH_TEXT("\n  crash.hostile: the input plug-in hostile crashed (signal 11, "
                               "Segmentation fault) after \"Now Dec"),
                    "\n  in: it would go to out/in.pic, as in.bmp does\n"
                    "  notes.txt: no input plug-in can read this file"},
                Files{File{"out/in.pic", {16, 6}}, File{"out/z.tar.pic", {16, 6}},
                      File{"out/three.pic", {16, 6}}, File{"out/-x.pic", {16, 6}},
                      File{"out/broken.pic", {}}}},
        // Without --format each file keeps its own extension, and one without has none to go by;
        // an existing output is left as it is. Off a terminal only each file's final line; two at
        // once, in either order. The height alone gives the width (40), and the resize without
        // averaging by 1.6 is one that averaging would blend.
        RunCase{"BatchKeepsTheExtensions",
                Args{"-j", "2", "--filter", "nearest", "-H", "30", "-o", "out", "in.bmp",
                     "z.tar.bmp", "in", "three.bmp"},
                1, "(in.bmp -> out/in.bmp\n|z.tar.bmp -> out/z.tar.bmp\n){2}",
                Err{"\n  in: the output has no extension to choose a format by (use -f or "
                    "--output-plugin)\n  three.bmp: the output exists (--overwrite replaces it)\n"},
                Files{File{"out/in.bmp", {40, 30}}, File{"out/z.tar.bmp", {40, 30}},
                      File{"out/in", {}}, File{"out/three.bmp", {}}}},
        // The input plug-in named (by its file name, in any case) reaches the workers: the
        // hostile one refuses in.bmp.
        RunCase{"NamedInputPlugin", Args{"--input-plugin=HOSTILE", "-o", "out", "in", "in.bmp"}, 1,
                "", Err{"This input"}},
        // Each refused library on a line of its own, with a reason after the path.
        // The libraries kept are the ones accepted: the FIFO is never opened.
        RunCase{"ListShowsRefusedLibrariesAndWhy", Args{"--list-plugins"}, 0,
                "Input plug-ins in /\\S*/plugins/input/\n  bmp .*\n.*\n"
                "  hostile   Hostile test plug-in\n      \\*\\.hostile\n  jpeg .*\n.*\n"
                "  refused /\\S*/plugins/input/crash.so: \\S.* while being examined .*\n"
                "  refused /\\S*/plugins/input/dcrash.so: \\S.* while being examined .*\n"
                "  refused /\\S*/plugins/input/fifo.so: not loaded: it is a FIFO\n"
                "  refused /\\S*/plugins/input/junk.so: \\S.*\n"
                "Output plug-ins in /\\S*/plugins/output/\n  bmp .*\n.*\n"
                "  hostile   Hostile test plug-in\n      \\*\\.liar\n      \\*\\.race\n"
                "      \\*\\.slow\n      \\*\\.quit\n      \\*\\.chatty\n      \\*\\.picky\n"
                "  refused /\\S*/plugins/output/graphics.so: .*GetPluginInfo\n",
                Err{}},
        // A plug-in's own -1 from SetPluginOption is a refusal, not a missing entry point.
        RunCase{"OptionRefusedWithMinusOne",
                Args{"--option", "colour=blue", "in.bmp", "-o", "out.liar"}, 2, "",
                Err{"the output plug-in hostile does not take colour=blue: no colour here"}}),
    [](const auto &info) { return std::string(info.param.name); });

// The processes named `name` whose /proc folder `chosen` takes, once some are there (`present`)
// or none is, waiting 10 s at most.
std::vector<int> ProcessesOnce(const QByteArray &name,
                               const std::function<bool(const QString &)> &chosen,
                               bool present = true) {
    for (int i = 0;; ++i) {
        std::vector<int> found;
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs))
            if (ReadBytes("/proc/" + entry + "/comm") == name + "\n" &&
                chosen("/proc/" + entry + "/"))
                found.push_back(entry.toInt());
        if (found.empty() != present || i == 200) return found;
        QThread::msleep(50);
    }
}

// The batch workers converting `input`, once some run (`running`) or none does. A zombie's
// command line is empty.
std::vector<int> WorkersOnce(const QString &input, bool running) {
    return ProcessesOnce(
        "faltrix-worker",
        [&](const QString &at) { return ReadBytes(at + "cmdline").contains(input.toUtf8()); },
        running);
}

// The sweeper of `run`, once there is one other than `old`; 0: none. Its parent is the fourth
// word of its stat line.
int SweeperOf(const QProcess &run, int old = 0) {
    const std::vector<int> found = ProcessesOnce("faltrix-sweeper", [&](const QString &at) {
        return at != QString("/proc/%1/").arg(old) &&
               ReadBytes(at + "stat").split(' ').value(3).toLongLong() == run.processId();
    });
    return found.empty() ? 0 : found.front();
}

TEST_F(InFolder, WorkerStuckInAPlugInEndsWithItsBatch) {
    QProcess batch;
    Start(batch,
          {"--timeout", "0", "-j", "1", "-f", "bmp", "-o", "out", Path("hang.hostile"), "in.bmp"},
          dir_.path());
    ASSERT_FALSE(WorkersOnce(Path("hang.hostile"), true).empty()) << "no worker started";

    batch.terminate();  // SIGTERM to the parent alone, as a time limit of a script would send
    ASSERT_TRUE(batch.waitForFinished(10000));
    const std::vector<int> left = WorkersOnce(Path("hang.hostile"), false);
    EXPECT_TRUE(left.empty()) << "the worker outlived its batch";
    for (int pid : left) ::kill(pid, SIGKILL);  // leave no stray process behind a failure
}

// The plug-in folder is taken only when it is named absolutely and no other user may write it.
TEST_F(InFolder, UntrustedPluginFoldersAreNotRead) {
    const RunResult relative =
        Shell(dir_.path(), "FALTRIX_PLUGIN_DIR=plugins faltrix-convert --list-plugins");
    EXPECT_EQ(relative.exitCode, 2) << relative.Text();
    EXPECT_TRUE(relative.err.contains("FALTRIX_PLUGIN_DIR must be an absolute path, not plugins"));

    ASSERT_EQ(::chmod(QFile::encodeName(Path("plugins/input")).constData(), 0777), 0);
    const RunResult r = RunConverter({"in.bmp", "-o", "out.bmp"}, dir_.path());
    EXPECT_EQ(r.exitCode, 1) << r.Text();
    EXPECT_TRUE(
        r.err.contains("/plugins/input/ is not used: it may be written by other users (mode 0777)"))
        << r.Text();
    EXPECT_FALSE(QFileInfo::exists(Path("out.bmp")));
}

// Settings reach the bundled output plug-ins by their keys; one a plug-in does not take is a
// mistake on the command line, in the plug-in's words.
TEST_F(InFolder, OutputSettingsReachThePlugIns) {
    const struct {
        QStringList arguments;
        int exitCode;
        const char *err;
    } cases[] = {
        {Args{"--quality", "20", "-o", "low.jpg"}, 0, ""},
        {Args{"--option", "progressive=1", "-o", "progressive.jpg"}, 0, ""},
        {Args{"--compression", "none", "-o", "plain.tif"}, 0, ""},
        {Args{"--option", "compression=DEFLATE", "-o", "deflated.tif"}, 0, ""},
        {Args{"--quality", "150", "-o", "x.jpg"}, 2,
         "the output plug-in jpeg does not take quality=150: quality takes a whole number from 1 "
         "to 100, not '150'\n"},
        {Args{"--option", "speed=3", "-o", "x.webp"}, 2,
         "webp does not take speed=3: unknown option 'speed'; known: lossless (1 or 0), quality "
         "(0 to 100)\n"},
        {Args{"--compression", "zip", "-o", "x.tif"}, 2,
         "compression takes one of none, lzw, deflate, packbits, not 'zip'"},
        {Args{"--quality", "50", "-o", "x.bmp"}, 2,
         "the output plug-in bmp has no settings (quality=50)"},
    };
    for (const auto &c : cases) {
        const RunResult r = RunConverter(QStringList{"-q", Path("in.bmp")} +
                                         c.arguments.mid(0, c.arguments.size() - 1) +
                                         QStringList{Path(c.arguments.last())});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.Text();
        EXPECT_TRUE(r.err.contains(c.err)) << r.Text();
    }
    // Lower quality gives a smaller file than the default; no compression a larger one.
    ASSERT_EQ(RunConverter({"-q", Path("in.bmp"), "-o", Path("default.jpg")}).exitCode, 0);
    EXPECT_LT(QFileInfo(Path("low.jpg")).size(), QFileInfo(Path("default.jpg")).size());
    EXPECT_GT(QFileInfo(Path("plain.tif")).size(), QFileInfo(Path("deflated.tif")).size());
    EXPECT_TRUE(ReadBytes(Path("progressive.jpg")).contains("\xFF\xC2"))
        << "no progressive frame header";
    EXPECT_FALSE(ReadBytes(Path("default.jpg")).contains("\xFF\xC2"));
}

// ---- batch work: output folders, options checked once, -r's choice, what a picture keeps ----

// What a written picture keeps: the luminance sampling factors in a JPEG's baseline frame
// header, a TIFF's resolution and its unit, any other's size.
QString Kept(const QString &path) {
    QFile file(path);
    if (path.endsWith(".jpg") && file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        const qsizetype at = bytes.indexOf("\xff\xc0") + 11;  // -1 + 11 when there is none
        const char sampling = at > 10 && at < bytes.size() ? bytes[at] : 0;
        return QString("sampling %1x%2").arg(sampling >> 4 & 15).arg(sampling & 15);
    }
    if (TIFF *tif =
            path.endsWith(".tif") ? TIFFOpen(QFile::encodeName(path).constData(), "r") : nullptr) {
        float x = 0, y = 0;
        uint16_t unit = 0;
        TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x);
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y);
        TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        TIFFClose(tif);
        return QString("%1/%2 per %3").arg(x).arg(y).arg(unit == RESUNIT_INCH ? "inch" : "other");
    }
    const QSize size = QImage(path).size();
    return QString("%1x%2").arg(size.width()).arg(size.height());
}

// A fresh folder: a.bmp and b.bmp (64 x 48, 300 dpi), photo.jpg (quality 70), alpha.png (half
// transparent), the text file notes.txt, and the tree
//   tree/top.bmp  tree/sub/deep.png  tree/notes.txt  tree/fake.jpg (text)  tree/.DS_Store
//   tree/.hidden.bmp  tree/._top.bmp (text)  tree/.git/x.bmp  tree/out/old.bmp
class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QImage picture(64, 48, QImage::Format_RGB32);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) picture.setPixel(x, y, qRgb(x * 4, y * 5, (x ^ y) * 4));
        picture.setDotsPerMeterX(11811);  // 300 dpi
        picture.setDotsPerMeterY(11811);
        QImage alpha = picture.convertToFormat(QImage::Format_ARGB32);
        for (int i = 0; i < 64 * 24; ++i)
            alpha.setPixel(i % 64, i / 64, qRgba(i % 64 * 4, 0, 0, 100));
        for (const char *folder : {"tree/sub", "tree/.git", "tree/out"})
            QDir(Path()).mkpath(folder);
        for (const char *name : {"a.bmp", "b.bmp", "tree/top.bmp", "tree/.hidden.bmp",
                                 "tree/.git/x.bmp", "tree/out/old.bmp"})
            ASSERT_TRUE(picture.save(Path(name), "BMP"));
        ASSERT_TRUE(picture.save(Path("photo.jpg"), "JPG", 70));
        ASSERT_TRUE(picture.save(Path("tree/sub/deep.png"), "PNG"));
        ASSERT_TRUE(alpha.save(Path("alpha.png"), "PNG"));
        for (const char *name :
             {"notes.txt", "tree/notes.txt", "tree/fake.jpg", "tree/.DS_Store", "tree/._top.bmp"}) {
            QFile text(Path(name));
            ASSERT_TRUE(text.open(QIODevice::WriteOnly) && text.write("no picture\n") > 0);
        }
    }
    QString Path(const QString &name = {}) const { return dir_.filePath(name); }
    RunResult Convert(const QString &arguments) {
        return Shell(Path(), "faltrix-convert " + arguments);
    }
    QTemporaryDir dir_;
};

// Each case: the arguments, the exit code, a part of standard output or error (prefixed
// "err:") that must be there, or all of standard output (prefixed "all:"), and files that must be
// there afterwards ("!name": must not).
struct BatchCase {
    const char *name, *arguments;
    int exitCode;
    const char *says;
    const char *files = "";  // separated by spaces
};

class BatchRuns : public Batch, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(BatchRuns, AsExpected) {
    const BatchCase &c = GetParam();
    const RunResult r = Convert(c.arguments);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.Text();
    const QByteArray says = c.says;
    EXPECT_TRUE(says.startsWith("err:")   ? r.err.contains(says.mid(4))
                : says.startsWith("all:") ? r.out == says.mid(4)
                                          : r.out.contains(says))
        << says.toStdString() << "\n"
        << r.Text();
    // A usage error is one line and nothing is converted.
    if (c.exitCode == 2) {
        EXPECT_EQ(r.err.count('\n'), 1) << r.Text();
    }
    for (const QString &file : QString(c.files).split(u' ', Qt::SkipEmptyParts))
        EXPECT_EQ(QFile::exists(Path(file.mid(file.startsWith(u'!')))), !file.startsWith(u'!'))
            << file.toStdString() << "\n"
            << r.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchRuns,
    ::testing::Values(
        // -o is a folder, made with its parents, for several inputs, a list, -r or a '/'.
        BatchCase{"SeveralInputs", "a.bmp b.bmp -o new/deep", 0, "a.bmp -> new/deep/a.bmp",
                  "new/deep/a.bmp new/deep/b.bmp"},
        BatchCase{"TrailingSlash", "a.bmp -o made/", 0, "", "made/a.bmp"},
        BatchCase{"ListOfOne", "--files-from <(echo a.bmp) -f png -o webp", 0, "", "webp/a.png"},
        BatchCase{"SeveralInputsIntoAFile", "a.bmp b.bmp -o notes.txt", 2,
                  "err:the output notes.txt is a file"},
        BatchCase{"UnknownFormat", "-f xyz a.bmp b.bmp -o out", 2, "err:no output plug-in writes"},
        BatchCase{"UnknownExtension", "a.bmp -o out.xyz", 2, "err:no output plug-in writes '.xyz'"},
        // A setting the output plug-in refuses is said once, however many files.
        BatchCase{"SettingRefusedOnce", "-f png --quality 80 a.bmp b.bmp photo.jpg -o out", 2,
                  "err:does not take quality=80", "!out/a.png"},
        // -r converts what some input plug-in reads and passes over the rest, hidden names and
        // the output folder inside the tree.
        BatchCase{
            "Recursive", "-r -f png tree -o tree/out", 0,
            "2 converted, 2 skipped (not a picture), 0 failed",
            "tree/out/top.png tree/out/sub/deep.png !tree/out/out/old.png !tree/out/.hidden.png "
            "!tree/out/fake.png !tree/out/._top.png"},
        BatchCase{"RecursiveHidden", "-r --hidden -f png tree -o out", 0,
                  "5 converted, 4 skipped (not a picture)", "out/.hidden.png out/.git/x.png"},
        BatchCase{"RecursiveIncludeExclude", "-r --include '*.bmp' --exclude out -f png tree -o o",
                  0, "", "o/top.png !o/sub/deep.png !o/out/old.png"},
        // Options that exclude each other, set a thing twice or apply only with another.
        BatchCase{"Exclusive", "--lossless --quality 80 a.bmp -o x.webp", 2, "err:exclude"},
        BatchCase{"Twice", "--quality 80 --option quality=70 a.bmp -o x.jpg", 2,
                  "err:--quality 80 and --option quality=70"},
        BatchCase{"HiddenWithoutRecursive", "--hidden a.bmp -o x.bmp", 2, "err:applies to -r"},
        // What a plug-in takes, in its own words.
        BatchCase{
            "ListOptions", "--list-options jpeg", 0,
            "output plug-in jpeg:\n  quality        integer 1..100                   default 90\n"
            "  progressive    flag    0|1                      default 0\n"
            "  subsampling    choice  auto|444|422|420         default auto\n"
            "input plug-in jpeg:\n  lenient        flag"},
        BatchCase{"ListOptionsUnknown", "--list-options nosuch", 2,
                  "err:no plug-in is named 'nosuch'"},
        // Transparency put on white is said; kept, it is not.
        BatchCase{"Flattened", "alpha.png -o x.jpg", 0,
                  "err:alpha.png: warning: flattened the transparency on white"},
        BatchCase{"KeptTransparency", "alpha.png -o x.webp 2>&1", 0, "all:alpha.png -> x.webp\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// --fit bounds one side or both, --shrink-only never enlarges (the picture is 64 x 48); a
// JPEG's subsampling follows the quality unless given; 300 dpi stays exactly 300/1 in a TIFF
// and halves with the width.
TEST_F(Batch, WhatAPictureKeeps) {
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"--fit 32", "bmp", "32x24"},
        {"--fit x12", "bmp", "16x12"},
        {"--fit 200x30", "bmp", "40x30"},
        {"--fit 200", "bmp", "200x150"},
        {"--fit 200 --shrink-only", "bmp", "64x48"},
        {"-W 32 -H 40 --shrink-only", "bmp", "32x40"},
        {"-H 24 --shrink-only", "bmp", "32x24"},
        {"", "jpg", "sampling 1x1"},
        {"--quality 89", "jpg", "sampling 2x2"},
        {"--option subsampling=422", "jpg", "sampling 2x1"},
        {"--quality 100 --option subsampling=420", "jpg", "sampling 2x2"},
        {"", "tif", "300/300 per inch"},
        {"-W 32", "tif", "150/150 per inch"}};
    for (const auto &[arguments, format, kept] : cases) {
        const RunResult r = Convert(QString("--overwrite %1 a.bmp -o x.%2").arg(arguments, format));
        EXPECT_EQ(r.exitCode, 0) << arguments << r.Text();
        EXPECT_EQ(Kept(Path("x.") + format), kept) << arguments;
    }
}

// A JPEG stored as JPEG keeps its quality, and so about its size, unless one is given.
TEST_F(Batch, JpegKeepsTheSourceQuality) {
    const RunResult r = Convert("photo.jpg -o kept.jpg");
    EXPECT_TRUE(r.out.contains("photo.jpg -> kept.jpg (quality 70, the source's)")) << r.Text();
    EXPECT_LT(QFile(Path("kept.jpg")).size(), QFile(Path("photo.jpg")).size() * 11 / 10);
}

// The recipe of docs/scaling.md as it is written there, with this machine as its one host
// (parallel's ":"), chunks of two names so that the last holds one, and an output folder that
// does not exist yet.
TEST_F(Batch, ScalingRecipeRunsAsWritten) {
    if (QStandardPaths::findExecutable("parallel").isEmpty())
        GTEST_SKIP() << "GNU parallel is not installed";
    QFile page(QStringLiteral(FALTRIX_TEST_SOURCE_DIR) + "/docs/scaling.md");
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QString text = page.readAll();
    const qsizetype start = text.indexOf("The same as a bare parallel command:\n\n") + 39;
    QString recipe = text.mid(start, text.indexOf("\n\n", start) - start);
    const QStringList swaps{
        // pairs: the text, what it becomes here
        "\\\n",         " ",          "/shared/photos",    Path(),
        "/shared/webp", Path("webp"), "host1,host2,host3", ":",
        "-N 200",       "-N 2",       "report.jsonl",      Path("report.jsonl")};
    for (qsizetype i = 0; i < swaps.size(); i += 2) recipe.replace(swaps[i], swaps[i + 1]);
    ASSERT_TRUE(recipe.contains("parallel --pipe")) << recipe.toStdString();
    ASSERT_TRUE(QFile::copy(Path("photo.jpg"), Path("tree/sub/p2.jpg")));
    ASSERT_TRUE(QFile::copy(Path("photo.jpg"), Path("tree/p3.jpg")));
    ASSERT_TRUE(QFile::remove(Path("tree/fake.jpg")));
    const RunResult r = Shell(Path(), recipe.trimmed());
    EXPECT_EQ(r.exitCode, 0) << recipe.toStdString() << "\n" << r.Text();
    QFile report(Path("report.jsonl"));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    EXPECT_EQ(report.readAll().count("\"status\":\"converted\""), 3) << r.Text();
    for (const char *name : {"webp/photo.webp", "webp/p2.webp", "webp/p3.webp"})
        EXPECT_TRUE(QFile::exists(Path(name))) << name;
}

// ---- names whose bytes are not UTF-8 ---------------------------------------------------------

using Made = std::vector<std::string>;

// The converter's arguments as words a shell reads.
struct NameRun {
    const char *name;
    const char *words;
    int exitCode;
    const char *out;               // a pattern for standard output
    const char *err;               // a part of standard error; empty: none at all
    Made made = {};                // files that must hold the 64 x 48 picture, by their bytes
    const char *report = nullptr;  // a pattern for report.json
    friend void PrintTo(const NameRun &c, std::ostream *os) { *os << c.name; }
};

// The folder also holds "caf\xE9\x1B.bmp" (a Latin-1 letter and an escape character), the same
// picture under "arbre\xE8/sub\xE9/a\xFF.bmp", "liste" naming the first and in.bmp, and
// "\xE9" "fail.hostile", and the bytes "precious" as "notes\xE9.txt".
class NotUtf8 : public InFolder, public ::testing::WithParamInterface<NameRun> {
protected:
    void SetUp() override {
        InFolder::SetUp();
        if (IsSkipped()) return;
        const std::string folder = dir_.path().toStdString() + "/";
        std::filesystem::copy_file(folder + "in.bmp", folder + "caf\xE9\x1B.bmp");
        std::filesystem::create_directories(folder + "arbre\xE8/sub\xE9");
        std::filesystem::copy_file(folder + "in.bmp", folder + "arbre\xE8/sub\xE9/a\xFF.bmp");
        std::ofstream(folder + "liste") << "caf\xE9\x1B.bmp\nin.bmp\n";
        std::filesystem::copy_file(folder + "fail.hostile", folder + "\xE9" + "fail.hostile");
        std::filesystem::copy_file(folder + "notes.txt", folder + "notes\xE9.txt");
    }
    std::string Bytes(const std::string &name) const {
        return dir_.path().toStdString() + "/" + name;
    }
};

TEST_P(NotUtf8, ConvertsAndShowsTheNamesEscaped) {
    const NameRun &c = GetParam();
    const RunResult r = RunConverter({}, dir_.path(), 0, c.words);
    const std::string text = r.Text();
    EXPECT_EQ(r.exitCode, c.exitCode) << text;
    EXPECT_TRUE(Matches(c.out, r.out)) << text;
    if (*c.err == 0) EXPECT_EQ(r.err, "") << text;
    else EXPECT_TRUE(r.err.contains(c.err)) << text;
    // Nothing of a name reaches the terminal raw: no control character but the line breaks,
    // and nothing that is not UTF-8.
    for (const QByteArray &stream : {r.out, r.err}) {
        for (const char byte : stream)
            EXPECT_TRUE(byte == '\n' || static_cast<unsigned char>(byte) >= 0x20) << text;
        EXPECT_FALSE(QString::fromUtf8(stream).contains(QChar::ReplacementCharacter)) << text;
    }
    for (const std::string &made : c.made) {
        std::ifstream file(Bytes(made), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), {}};
        EXPECT_EQ(QImage::fromData(QByteArray::fromStdString(bytes)), BlockPicture(64, 48)) << made;
    }
    const QByteArray report = ReadBytes(Path("report.json"));
    EXPECT_TRUE(c.report == nullptr || Matches(c.report, report)) << report.toStdString();
    EXPECT_EQ(Leftovers(), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, NotUtf8,
    ::testing::Values(
        // The output's name too; the report gives the bytes back as \udcNN.
        NameRun{
            "OneFile",
            R"w("$(printf 'caf\351\033.bmp')" -o "$(printf 'sortie\377\001.bmp')" --report report.json)w",
            0, "caf\\\\xe9\\\\x1b.bmp -> sortie\\\\xff\\\\x01.bmp\n", "",
            Made{"sortie\xFF\x01.bmp"},
            "\\{\"input\":\"caf\\\\udce9\\\\u001b.bmp\",\"message\":\"\",\"output\":"
            "\"sortie\\\\udcff\\\\u0001.bmp\",\"seconds\":[0-9.e-]+,\"size\":9270,"
            "\"status\":\"converted\"\\}\n"},
        NameRun{"MissingFile", R"w("$(printf 'gone\351\033[2J.bmp')" -o out.bmp)w", 1, "",
                "faltrix-convert: gone\\xe9\\x1b[2J.bmp: cannot read the input: No such file or "
                "directory\n"},
        // Folders of such names below the input, mirrored under the output.
        NameRun{"Recursive", R"w(-r -f bmp -o out "$(printf 'arbre\350')")w", 0,
                "arbre\\\\xe8/sub\\\\xe9/a\\\\xff.bmp -> out/sub\\\\xe9/a\\\\xff.bmp\n", "",
                Made{"out/sub\xE9/a\xFF.bmp"}},
        NameRun{"FilesFromAndABatch",
                R"w(-j 2 --files-from liste -f pic --output-plugin bmp -o out)w", 0,
                "(caf\\\\xe9\\\\x1b.bmp -> out/caf\\\\xe9\\\\x1b.pic\n|in.bmp -> out/in.pic\n){2}",
                "", Made{"out/caf\xE9\x1B.pic", "out/in.pic"}},
        // A plug-in that fails such a name without saying why: the name may be the cause.
        NameRun{"PluginWithoutCause", R"w("$(printf '\351fail.hostile')" -o out.bmp)w", 1, "",
                "faltrix-convert: \\xe9fail.hostile: Failed in Getting information. (the file's "
                "name is not UTF-8; the plug-in gets its other bytes as U+DC80..U+DCFF, and may "
                "not take such names)\n"},
        NameRun{"NoPluginTakesIt", R"w("$(printf 'notes\351.txt')" -o out.bmp)w", 1, "",
                "faltrix-convert: notes\\xe9.txt: no input plug-in can read this file (see "
                "--list-plugins; its name is not UTF-8, which some plug-ins do not take)\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// Standard input to standard output, through the bundled plug-ins, as in a shell pipe.
TEST_F(InFolder, PipesAPictureThrough) {
    const RunResult r = Shell(dir_.path(), "faltrix-convert - -f jpg -o - < in.bmp");
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage piped = QImage::fromData(r.out, "JPEG");
    ASSERT_EQ(piped.size(), QSize(64, 48));
    EXPECT_LE(MeanDifference(BlockPicture(64, 48), piped), 12);
}

// Stopped while the output plug-in stores (it writes a few bytes and waits for ever), a
// conversion leaves no temporary and the file it would have replaced as it was: whichever
// signal stops the converter, the whole process group with SIGKILL too, or its time limit. A
// sweeper that dies is no failure of anyone's: the one that takes its place removes the
// temporary of a worker it never heard from itself when the whole run is killed.
TEST_F(InFolder, StoppedConversionLeavesNoTemporary) {
    const struct {
        const char *name;
        int signal;  // 0: the time limit
        bool group;
        QStringList inputs;
        bool sweeperKilled = false;  // first, once the plug-in stores
    } cases[] = {
        {"SIGINT", SIGINT, false, {"in.bmp"}},
        {"SIGTERM", SIGTERM, false, {"in.bmp"}},
        {"SIGHUP", SIGHUP, false, {"in.bmp"}},
        {"SIGKILL", SIGKILL, false, {"in.bmp"}},
        {"SIGKILL to all", SIGKILL, true, {"in.bmp"}},
        {"--timeout", 0, false, {"in.bmp"}},
        {"SIGINT to a batch", SIGINT, false, {"in.bmp", "three.bmp"}},
        {"SIGKILL to all, sweeper replaced", SIGKILL, true, {"in.bmp", "three.bmp"}, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const bool batch = c.inputs.size() > 1;
        const QString output = batch ? "out/in.slow" : "out.slow";
        ASSERT_TRUE(WriteBytes(Path(output), "precious"));
        QProcess run;
        run.setChildProcessModifier(
            [] { ::setsid(); });  // a group of its own, away from the test's
        Start(run,
              QStringList{"--overwrite", "--timeout", c.signal ? "0" : "1", "-j", "1", "-o",
                          batch ? "out" : output, "-f", "slow"} +
                  c.inputs,
              dir_.path());
        for (int i = 0; i < 400 && Leftovers().isEmpty(); ++i) QThread::msleep(25);
        ASSERT_FALSE(Leftovers().isEmpty()) << "the plug-in never started storing";
        if (c.sweeperKilled) {
            const int sweeper = SweeperOf(run);
            ASSERT_NE(sweeper, 0);
            ASSERT_EQ(::kill(sweeper, SIGKILL), 0);
            ASSERT_NE(SweeperOf(run, sweeper), 0) << "no new sweeper";
        }
        ASSERT_TRUE(c.signal == 0 || (c.group ? ::killpg : ::kill)(run.processId(), c.signal) == 0);
        ASSERT_TRUE(run.waitForFinished(20000));
        const std::string err = run.readAllStandardError().toStdString();
        const char *said = c.signal == 0 ? "the output plug-in hostile took longer than 1 s"
                           : batch && c.signal == SIGINT
                               ? "interrupted (Interrupt): 0 of 2 files converted, 1 failed or "
                                 "stopped, 1 not started"
                               : "";
        EXPECT_NE(err.find(said), std::string::npos) << err;
        EXPECT_EQ(run.exitStatus(), c.signal == 0 ? QProcess::NormalExit : QProcess::CrashExit)
            << "ends by the signal";
        // The sweeper of a run killed whole removes the temporary once every process has gone.
        for (int i = 0; i < 400 && !Leftovers().isEmpty(); ++i) QThread::msleep(25);
        EXPECT_EQ(Leftovers(), QStringList());
        EXPECT_EQ(ReadBytes(Path(output)), "precious");
    }
}

// Standard input is copied to a scratch file up to a ceiling: a stream past it (more than a
// pipe holds, so that the copy reads while the writer writes) is cut off, the copy no larger.
TEST(CopyAtMost, StopsAStreamPastTheCeiling) {
    ::signal(SIGPIPE, SIG_IGN);  // the writer of a stream cut off gets EPIPE instead
    const QByteArray bytes(100000, 'y');
    for (const auto &[ceiling, expected] : {std::pair{int64_t{100000}, CopyEnd::Copied},
                                            {int64_t{99999}, CopyEnd::TooLarge},
                                            {int64_t{10}, CopyEnd::TooLarge}}) {
        QTemporaryDir dir;
        QFile copy(dir.filePath("copy"));
        ASSERT_TRUE(copy.open(QIODevice::ReadWrite));
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        std::thread writer([&] {
            for (qsizetype done = 0, put = 0; done < bytes.size() && put >= 0; done += put)
                put = ::write(ends[1], bytes.constData() + done, size_t(bytes.size() - done));
            ::close(ends[1]);
        });
        EXPECT_EQ(CopyAtMost(ends[0], copy.handle(), ceiling), expected) << ceiling;
        ::close(ends[0]);
        writer.join();
        if (expected == CopyEnd::Copied) {
            EXPECT_EQ(copy.size(), bytes.size());
        } else {
            EXPECT_LE(copy.size(), ceiling);
        }
    }
}

// Standard input one byte past the ceiling (a sparse file, so that nothing is written) is
// refused with the ceiling named, and the scratch file goes with it.
TEST_F(InFolder, StandardInputPastTheCeilingIsRefused) {
    const RunResult r = Shell(dir_.path(), QString("truncate -s %1 huge && TMPDIR=\"$PWD\" "
                                                   "faltrix-convert - -o out.bmp < huge")
                                               .arg(kMaxStandardInputBytes + 1));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.toStdString(),
              "faltrix-convert: standard input holds more than 1024 MiB, the most taken from it "
              "(give the file by its name instead)\n");
    EXPECT_EQ(Leftovers(), QStringList());
    EXPECT_FALSE(QFileInfo::exists(Path("out.bmp")));
}

// A sweeper that dies is no failure of anyone's: a worker that writes to it afterwards does
// not die of SIGPIPE but converts its file.
TEST_F(InFolder, DeadSweeperIsReplaced) {
    ASSERT_TRUE(WriteBytes(Path("wait.hostile"), "precious") &&
                WriteBytes(Path("wait.hostile.hold"), ""));
    QProcess run;
    Start(run, {Path("wait.hostile"), "-o", "out.bmp"}, dir_.path());
    const int sweeper = SweeperOf(run);
    ASSERT_NE(sweeper, 0) << "no sweeper started";
    ASSERT_FALSE(WorkersOnce(Path("wait.hostile"), true).empty()) << "no worker started";
    ASSERT_EQ(::kill(sweeper, SIGKILL), 0);
    ASSERT_NE(SweeperOf(run, sweeper), 0) << "no new sweeper";
    ASSERT_TRUE(
        QFile::remove(Path("wait.hostile.hold")));  // on to storing, which names its temporary
    ASSERT_TRUE(run.waitForFinished(30000));
    const std::string out = run.readAllStandardOutput().toStdString(),
                      err = run.readAllStandardError().toStdString();
    EXPECT_EQ(run.exitCode(), 0) << err;
    EXPECT_EQ(out, Path("wait.hostile").toStdString() + " -> out.bmp\n") << err;
    EXPECT_EQ(QImage(Path("out.bmp")).size(), QSize(8, 8));
}

}  // namespace
}  // namespace faltrix
