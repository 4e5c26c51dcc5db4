// faltrix-convert in batch work, through the real program and the bundled plug-ins: output
// folders made, options checked once, what -r converts and passes over, the quality and
// resolution a picture keeps, and what a plug-in says of its own settings.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

const QString kBuildDir =
    qEnvironmentVariable("FALTRIX_BUILD_DIR", QStringLiteral(FALTRIX_TEST_BUILD_DIR));

struct Outcome {
    int exitCode = -1;
    QString out, err;
    std::string Text() const {
        return QString("exit %1\nstdout:\n%2stderr:\n%3").arg(exitCode).arg(out, err).toStdString();
    }
};

// Runs a shell command line in `folder` with the build's faltrix-convert first on the PATH.
Outcome Shell(const QString &folder, const QString &command) {
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
    Outcome Convert(const QString &arguments) {
        return Shell(Path(), "faltrix-convert " + arguments);
    }
    QTemporaryDir dir_;
};

// Each case: the arguments, the exit code, a part of standard output or error (prefixed
// "err:") that must be there, or all of standard output (prefixed "all:"), and files that must be
// there afterwards ("!name": must not).
struct Case {
    const char *name, *arguments;
    int exitCode;
    const char *says;
    const char *files = "";  // separated by spaces
};

class Runs : public Batch, public ::testing::WithParamInterface<Case> {};

TEST_P(Runs, AsExpected) {
    const Case &c = GetParam();
    const Outcome r = Convert(c.arguments);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.Text();
    const QString says = c.says;
    EXPECT_TRUE(says.startsWith("err:")   ? r.err.contains(says.mid(4))
                : says.startsWith("all:") ? r.out == says.mid(4)
                                          : r.out.contains(says))
        << says.toStdString() << "\n"
        << r.Text();
    // A usage error is one line and nothing is converted.
    if (c.exitCode == 2) {
        EXPECT_EQ(r.err.count(u'\n'), 1) << r.Text();
    }
    for (const QString &file : QString(c.files).split(u' ', Qt::SkipEmptyParts))
        EXPECT_EQ(QFile::exists(Path(file.mid(file.startsWith(u'!')))), !file.startsWith(u'!'))
            << file.toStdString() << "\n"
            << r.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Runs,
    ::testing::Values(
        // -o is a folder, made with its parents, for several inputs, a list, -r or a '/'.
        Case{"SeveralInputs", "a.bmp b.bmp -o new/deep", 0, "a.bmp -> new/deep/a.bmp",
             "new/deep/a.bmp new/deep/b.bmp"},
        Case{"TrailingSlash", "a.bmp -o made/", 0, "", "made/a.bmp"},
        Case{"ListOfOne", "--files-from <(echo a.bmp) -f png -o webp", 0, "", "webp/a.png"},
        Case{"SeveralInputsIntoAFile", "a.bmp b.bmp -o notes.txt", 2,
             "err:the output notes.txt is a file"},
        Case{"UnknownFormat", "-f xyz a.bmp b.bmp -o out", 2, "err:no output plug-in writes"},
        Case{"UnknownExtension", "a.bmp -o out.xyz", 2, "err:no output plug-in writes '.xyz'"},
        // A setting the output plug-in refuses is said once, however many files.
        Case{"SettingRefusedOnce", "-f png --quality 80 a.bmp b.bmp photo.jpg -o out", 2,
             "err:does not take quality=80", "!out/a.png"},
        // -r converts what some input plug-in reads and passes over the rest, hidden names and
        // the output folder inside the tree.
        Case{"Recursive", "-r -f png tree -o tree/out", 0,
             "2 converted, 2 skipped (not a picture), 0 failed",
             "tree/out/top.png tree/out/sub/deep.png !tree/out/out/old.png !tree/out/.hidden.png "
             "!tree/out/fake.png !tree/out/._top.png"},
        Case{"RecursiveHidden", "-r --hidden -f png tree -o out", 0,
             "5 converted, 4 skipped (not a picture)", "out/.hidden.png out/.git/x.png"},
        Case{"RecursiveIncludeExclude", "-r --include '*.bmp' --exclude out -f png tree -o o", 0,
             "", "o/top.png !o/sub/deep.png !o/out/old.png"},
        // Options that exclude each other, set a thing twice or apply only with another.
        Case{"Exclusive", "--lossless --quality 80 a.bmp -o x.webp", 2, "err:exclude"},
        Case{"Twice", "--quality 80 --option quality=70 a.bmp -o x.jpg", 2,
             "err:--quality 80 and --option quality=70"},
        Case{"HiddenWithoutRecursive", "--hidden a.bmp -o x.bmp", 2, "err:applies to -r"},
        // What a plug-in takes, in its own words.
        Case{"ListOptions", "--list-options jpeg", 0,
             "output plug-in jpeg:\n  quality        integer 1..100                   default 90\n"
             "  progressive    flag    0|1                      default 0\n"
             "  subsampling    choice  auto|444|422|420         default auto\n"
             "input plug-in jpeg:\n  lenient        flag"},
        Case{"ListOptionsUnknown", "--list-options nosuch", 2, "err:no plug-in is named 'nosuch'"},
        // Transparency put on white is said; kept, it is not.
        Case{"Flattened", "alpha.png -o x.jpg", 0,
             "err:alpha.png: warning: flattened the transparency on white"},
        Case{"KeptTransparency", "alpha.png -o x.webp 2>&1", 0, "all:alpha.png -> x.webp\n"}),
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
        const Outcome r = Convert(QString("--overwrite %1 a.bmp -o x.%2").arg(arguments, format));
        EXPECT_EQ(r.exitCode, 0) << arguments << r.Text();
        EXPECT_EQ(Kept(Path("x.") + format), kept) << arguments;
    }
}

// A JPEG stored as JPEG keeps its quality, and so about its size, unless one is given.
TEST_F(Batch, JpegKeepsTheSourceQuality) {
    const Outcome r = Convert("photo.jpg -o kept.jpg");
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
    const Outcome r = Shell(Path(), recipe.trimmed());
    EXPECT_EQ(r.exitCode, 0) << recipe.toStdString() << "\n" << r.Text();
    QFile report(Path("report.jsonl"));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    EXPECT_EQ(report.readAll().count("\"status\":\"converted\""), 3) << r.Text();
    for (const char *name : {"webp/photo.webp", "webp/p2.webp", "webp/p3.webp"})
        EXPECT_TRUE(QFile::exists(Path(name))) << name;
}

}  // namespace
