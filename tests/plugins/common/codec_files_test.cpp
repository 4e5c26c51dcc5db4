// Files of every format through the input plug-ins of the build tree: the hostile files of
// tests/data/<plug-in>/hostile, each refused from the entry point its stages.txt line names or
// read up to the frame its frames.txt or deep.txt line names, the files of
// tests/data/<plug-in>/layouts as other software writes them, each decoded to the reference picture
// its references.txt line names, and the PNG suite against Qt's reader, and through our PNG writer
// back to both readers.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

// One line of a folder's list: a file and the words after it.
struct Fixture {
    std::string format, folder, file;
    std::vector<std::string> words;
    fs::path Path(const std::string &name) const { return DataDir() / format / folder / name; }
    friend void PrintTo(const Fixture &f, std::ostream *os) {
        *os << f.format << "/" << f.folder << "/" << f.file;
    }
};

std::vector<Fixture> Listed(const std::string &folder, const std::string &list) {
    std::vector<Fixture> all;
    for (const char *format : {"bmp", "png", "gif", "jpeg", "tiff", "webp", "heif", "jxl", "ico",
                               "pnm", "tga", "jp2", "raw", "svg", "pdf", "exr", "hdr"}) {
        std::ifstream in(DataDir() / format / folder / list);
        for (std::string file, rest; in >> file && std::getline(in, rest);) {
            std::istringstream words(rest);
            all.push_back({format, folder, file, {std::istream_iterator<std::string>(words), {}}});
        }
    }
    return all;
}

// The words of a line from the `from`-th on, as one text: a part of a cause.
QString Words(const Fixture &f, size_t from) {
    QStringList words;
    for (size_t i = from; i < f.words.size(); ++i) words << QString::fromStdString(f.words[i]);
    return words.join(u' ');
}

std::string FixtureName(const ::testing::TestParamInfo<Fixture> &info) {
    std::string name =
        info.param.format + "_" + info.param.file.substr(0, info.param.file.rfind('.'));
    std::replace(name.begin(), name.end(), '-', '_');  // the files' names are of a-z, 0-9 and '-'
    return name;
}

// Asks the file's size, then decodes it: the two agree and the progress only moves forward, to
// its end. Gives the decoded layout (not ok when nothing was decoded) and its pixels.
std::pair<DibView, QImage> DecodeChecked(const CodecPlugin &in, const fs::path &file) {
    int32_t w = 0, h = 0;
    EXPECT_EQ(in.PictureSize(file, &w, &h), 0);
    const OwnedDib b = in.Decode(file);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    std::pair<DibView, QImage> decoded{ViewDib(b), DibToImage(b)};
    EXPECT_EQ(std::pair(decoded.first.width, decoded.first.height), std::pair(w, h));
    return decoded;
}

// stderr without the lines libjxl's build prints for each failure ("./lib/jxl/decode.cc:1716:
// invalid box size"), which it has no way to turn off.
std::string WithoutLibjxlTrace(const std::string &said) {
    std::istringstream lines(said);
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("./lib/jxl/", 0) != 0) kept += line + "\n";
    return kept;
}

// ---- Hostile files --------------------------------------------------------------------------

// Where a file must be stopped at the latest, in the order the host calls the entry points;
// "clipped" files decode (a frame past the screen), "may-decode" ones may (garbled pixels of
// a format without a checksum).
const std::vector<std::string> kStages = {"signature", "info", "dib", "clipped", "may-decode"};

class HostileFiles : public ::testing::TestWithParam<Fixture> {};

// Refused at each entry point from the listed one on, accepted before it, with the listed
// words in the cause of the first refusal; nothing of the libraries' own reaches stderr.
TEST_P(HostileFiles, RefusedFromTheirStageOnAndQuietly) {
    const Fixture &f = GetParam();
    const CodecPlugin &in = Loaded(f.format, "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const auto stage = std::find(kStages.begin(), kStages.end(), f.words.at(0)) - kStages.begin();
    ASSERT_LT(size_t(stage), kStages.size()) << "unknown stage " << f.words[0];
    const fs::path file = f.Path(f.file);
    ASSERT_TRUE(fs::exists(file));
    ::testing::internal::CaptureStderr();
    const int32_t supported = in.IsSupported(file);
    int32_t w, h;
    const int32_t info = in.PictureSize(file, &w, &h);
    const QString infoCause = in.LastFailureText();
    const OwnedDib b = in.Decode(file);
    const QString cause = stage == 1 ? infoCause : in.LastFailureText();
    EXPECT_EQ(WithoutLibjxlTrace(::testing::internal::GetCapturedStderr()), "");
    EXPECT_TRUE(cause.contains(Words(f, 1))) << cause.toStdString();
    EXPECT_EQ(supported != 0, stage > 0);
    EXPECT_EQ(info == 0, stage > 1);
    if (kStages[size_t(stage)] != "may-decode") {
        EXPECT_EQ(b != nullptr, kStages[size_t(stage)] == "clipped");
    }
}

INSTANTIATE_TEST_SUITE_P(Data, HostileFiles, ::testing::ValuesIn(Listed("hostile", "stages.txt")),
                         FixtureName);

// Animations and documents damaged after their first frames, listed in frames.txt: the frame
// count opening gives (0: refused when opened), the frames given before the first that fails,
// and words of the cause. The first frame is the one GetPictureDIB gives.
class DamagedFrames : public ::testing::TestWithParam<Fixture> {};

TEST_P(DamagedFrames, ReadUpToTheDamage) {
    const Fixture &f = GetParam();
    const CodecPlugin &in = Loaded(f.format, "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    int32_t answer = -1;
    const CodecPlugin::Frames frames = in.DecodeFrames(f.Path(f.file), &answer);
    const QString cause = in.LastFailureText();
    EXPECT_EQ(answer == 0 ? frames.info.frameCount : 0, std::stoi(f.words.at(0)));
    ASSERT_EQ(frames.bitmaps.size(), std::stoul(f.words.at(1))) << cause.toStdString();
    EXPECT_TRUE(cause.contains(Words(f, 2))) << cause.toStdString();
    if (!frames.bitmaps.empty()) {
        const QImage picture = DibToImage(OwnedDib(in.Decode(f.Path(f.file))));
        EXPECT_EQ(MaxDifference(picture, DibToImage(frames.bitmaps[0])), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Data, DamagedFrames, ::testing::ValuesIn(Listed("hostile", "frames.txt")),
                         FixtureName);

// Deep files damaged (cut short, or a header that lies about the width or the depth), listed in
// deep.txt: the depth OpenFrames gives, the frames GetFrameSamples gives before the first that
// fails, and words of the cause, which there must be.
class DamagedDeepFiles : public ::testing::TestWithParam<Fixture> {};

TEST_P(DamagedDeepFiles, FailWithACause) {
    const Fixture &f = GetParam();
    const CodecPlugin &in = Loaded(f.format, "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const DeepPicture read = ReadDeep(in, f.Path(f.file));
    EXPECT_EQ(std::pair(read.bits, read.frames.size()),
              std::pair(std::stoi(f.words.at(0)), size_t(std::stoul(f.words.at(1)))));
    EXPECT_NE(read.failure, "");
    EXPECT_TRUE(QString::fromStdString(read.failure).contains(Words(f, 2))) << read.failure;
}

INSTANTIATE_TEST_SUITE_P(Data, DamagedDeepFiles, ::testing::ValuesIn(Listed("hostile", "deep.txt")),
                         FixtureName);

// JPEG files whose pixel data ends early or is corrupt, refused above, are salvaged once the
// plug-in is set lenient (by its Detail dialog for the first, by SetPluginOption for the
// others), with a "dropped" item naming the cause and its row, and refused again once it is
// not; an option or value it does not know is refused.
class LenientJpeg : public KeepsSettings {};

// A metadata callback that keeps the "dropped" item's text in the std::string at `into`.
TEST_F(LenientJpeg, SalvagesDamagedFilesOnlyWhenAskedAndSaysWhere) {
    const CodecPlugin &in = Loaded("jpeg", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    Keep(in);
    const auto set =
        reinterpret_cast<int32_t (*)(const WCHAR *, const WCHAR *)>(in.Symbol("SetPluginOption"));
    ASSERT_NE(set, nullptr);
    EXPECT_NE(set(u"lenient", u"2") * set(u"quality", u"1") * set(nullptr, u"1"), 0);
    const std::pair<const char *, const char *> cases[] = {
        {"cut-in-pixels.jpg", "truncated JPEG data at row 144\n"},  // the file ends there
        {"cut-inside-pixel-data-before-the-end-marker.jpg", "truncated JPEG data at row 48\n"},
        {"corrupt-pixel-data-between-restart-markers.jpg",
         "corrupt JPEG data at row 48: premature end of data segment\n"}};
    for (const auto &[name, cause] : cases) {
        const fs::path file = DataDir() / "jpeg" / "hostile" / name;
        const bool byDialog = name == cases[0].first;
        ASSERT_EQ(byDialog ? AnswerSettings(in, {{"Salvage damaged files", 1}}, true)
                           : set(u"lenient", u"1"),
                  0);
        const OwnedDib b = in.Decode(file);
        EXPECT_EQ(MetadataItem(in, file, FALTRIX_METADATA_DROPPED) + "\n",
                  std::string("the damaged pixel data, salvaged leniently: ") + cause)
            << name;
        EXPECT_TRUE(b != nullptr &&
                    CodecPlugin::LastProgress().done == CodecPlugin::LastProgress().total)
            << name;
        ASSERT_EQ(set(u"lenient", u"0"), 0);
        EXPECT_EQ(in.Decode(file), nullptr) << name;
    }
}

// ---- Files as other software writes them ----------------------------------------------------

class LayoutFiles : public ::testing::TestWithParam<Fixture> {};

// A references.txt line: the file, its reference picture, the depth it is read into and how
// far it may be from the reference: "max" (largest channel difference) or "mean". The size
// query gives the reference's size too (DecodeChecked holds it to the decoded size).
TEST_P(LayoutFiles, DecodeToTheReferencePictureAtTheirDepth) {
    const Fixture &f = GetParam();
    const CodecPlugin &in = Loaded(f.format, "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    ASSERT_EQ(f.words.size(), 4u);
    const QImage expected(Q(f.Path(f.words[0])));
    ASSERT_FALSE(expected.isNull()) << f.words[0];
    const auto [view, have] = DecodeChecked(in, f.Path(f.file));
    ASSERT_TRUE(view.ok);
    EXPECT_EQ(view.bitCount, std::stoi(f.words[1]));
    ASSERT_EQ(have.size(), expected.size());
    std::string where;
    if (f.words[2] == "mean") {
        EXPECT_LE(MeanDifference(have, expected), std::stod(f.words[3]));
    } else {
        EXPECT_LE(MaxDifference(have, expected, &where), std::stoi(f.words[3])) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Data, LayoutFiles,
                         ::testing::ValuesIn(Listed("layouts", "references.txt")), FixtureName);

// ---- The PNG suite -------------------------------------------------------------------------

// The depth the decoder should choose, from the file's header and whether it has tRNS.
int ExpectedDepth(const Bytes &file) {
    const int bitDepth = file[24], colorType = file[25];
    const bool trns = std::search(file.begin(), file.end(), std::begin("tRNS"),
                                  std::end("tRNS") - 1) != file.end();
    if (trns || colorType == 4 || colorType == 6) return 32;
    if (colorType == 3) return bitDepth == 2 ? 4 : bitDepth;
    return colorType == 0 ? 8 : 24;
}

class PngSuite : public ::testing::TestWithParam<std::string> {};

TEST_P(PngSuite, DecodesAsQtDoes) {
    const fs::path suite = SharedCorpus("pngsuite");
    if (suite.empty())
        GTEST_SKIP() << "the PNG suite is read from ../shared/corpus/pngsuite beside the project "
                        "(never copied into it), which is not there";
    const CodecPlugin &in = Loaded("png", "input");
    const fs::path file = suite / GetParam();
    const Bytes bytes = ReadFile(file);
    ASSERT_NE(in.IsSupported(file), 0);
    const auto [view, have] = DecodeChecked(in, file);
    ASSERT_TRUE(view.ok);
    EXPECT_EQ(view.bitCount, ExpectedDepth(bytes));
    if (bytes[25] == 0 && view.bitCount == 8) {  // greys carry the grey ramp
        ASSERT_EQ(view.palette.size(), 256u);
        EXPECT_EQ(std::pair(view.palette[128].rgbRed, view.palette[128].rgbBlue),
                  std::pair(uint8_t(128), uint8_t(128)));
    }
    const QImage expected(Q(file));
    ASSERT_FALSE(expected.isNull());
    std::string where;
    if (bytes[24] == 16 && bytes[25] == 2 && view.bitCount == 32) {
        // Qt mis-reads 16-bit RGB with a tRNS key (opaque pixels come out white or clear): there
        // only the key is checked, as the background in the corners.
        EXPECT_EQ(qAlpha(have.pixel(0, 0)), 0);
    } else {
        // 16-bit samples are reduced to 8 with rounding by both, possibly differently by one.
        EXPECT_LE(MaxDifference(have, expected, &where), 1) << where;
    }
    // Stored again by our writer, the picture comes back the same through our reader and Qt's.
    TempDir dir;
    ASSERT_EQ(Loaded("png", "output").Save(OwnedDib(in.Decode(file)), dir / "again.png"), 0);
    const OwnedDib again = in.Decode(dir / "again.png");
    if (ViewDib(again).bitCount == view.bitCount) {
        EXPECT_EQ(ViewDib(again).rows, view.rows);
    }
    EXPECT_EQ(MaxDifference(DibToImage(again), have, &where), 0) << where;
    EXPECT_EQ(MaxDifference(QImage(Q(dir / "again.png")), have, &where), 0) << "Qt: " << where;
}

std::vector<std::string> SuiteFiles() {
    std::vector<std::string> names;
    if (const fs::path suite = SharedCorpus("pngsuite"); !suite.empty())
        for (const auto &e : fs::directory_iterator(suite))
            if (e.path().extension() == ".png") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    if (names.empty()) names.push_back("basn0g01.png");  // reported as skipped
    return names;
}

INSTANTIATE_TEST_SUITE_P(Files, PngSuite, ::testing::ValuesIn(SuiteFiles()), [](const auto &info) {
    return info.param.substr(0, info.param.find('.'));
});

}  // namespace
}  // namespace faltrix
