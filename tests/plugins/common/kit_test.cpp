// The codec kit: paths, information answers, limits, DIB allocation, reading the picture to
// store in every depth, atomic output, and the settings dialog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "codec_test_support.h"
#include "faltrix/kit/kit.h"
#include "faltrix/kit/settings_dialog.h"

namespace faltrix {
namespace {

using testing::DibParams;
using testing::MakeDib;
using testing::TempDir;

// ---- Paths -----------------------------------------------------------------------------------

struct PathCase {
    const char *name;
    std::u16string utf16;
    bool ok;
    std::string utf8;
};

class PathToUtf8Test : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathToUtf8Test, Converts) {
    const PathCase &c = GetParam();
    std::string out = "unchanged";
    EXPECT_EQ(kit::PathToUtf8(c.utf16.c_str(), &out), c.ok);
    EXPECT_EQ(out, c.ok ? c.utf8 : "unchanged");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathToUtf8Test,
    ::testing::Values(PathCase{"Ascii", u"/tmp/a.png", true, "/tmp/a.png"},
                      PathCase{"TwoAndThreeBytes", u"/t/\u00e9\u4e2d", true, "/t/\xc3\xa9\xe4\xb8\xad"},
                      PathCase{"SurrogatePair", u"/\U0001F600", true, "/\xf0\x9f\x98\x80"},
                      PathCase{"LoneHighSurrogate", std::u16string(u"/a") + char16_t(0xD800) + u"b", false, ""},
                      PathCase{"LoneLowSurrogate", std::u16string(u"/a") + char16_t(0xDC00), false, ""},
                      PathCase{"Empty", u"", false, ""},
                      PathCase{"LongerThanPathMax", u"/" + std::u16string(5000, u'a'), false, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PathToUtf8Test, NullPathIsRefused) {
    std::string out;
    EXPECT_FALSE(kit::PathToUtf8(nullptr, &out));
}

// ---- Information answers -----------------------------------------------------------------

const kit::PluginInfoTable kTable{FALTRIX_INPUT_TAG, u"PNG (libpng 1.6.39)",
                                  {{u"*.png", u"PNG pictures"}, {u"*.apng", u""}}};

TEST(AnswerPluginInfoTest, AnswersEachNumberWithTheLengthWritten) {
    const std::pair<int, std::u16string> expected[] = {
        {0, u"00IN_EX"}, {1, u"PNG (libpng 1.6.39)"}, {2, u"*.png"}, {3, u"PNG pictures"}, {4, u"*.apng"}};
    for (const auto &[number, text] : expected) {
        WCHAR buffer[64];
        const int32_t n = kit::AnswerPluginInfo(kTable, number, buffer, 64);
        EXPECT_EQ(std::u16string(buffer), text) << number;
        EXPECT_EQ(n, int32_t(text.size())) << number;
    }
}

TEST(AnswerPluginInfoTest, UnknownNumbersAndEmptyDescriptionsAnswerZero) {
    WCHAR buffer[64];
    for (int number : {5, 6, 7, 100, -1}) EXPECT_EQ(kit::AnswerPluginInfo(kTable, number, buffer, 64), 0) << number;
}

TEST(AnswerPluginInfoTest, ClampsToTheBufferAndStillAnswersTheLengthWritten) {
    WCHAR buffer[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
    EXPECT_EQ(kit::AnswerPluginInfo(kTable, 1, buffer, 5), 4);
    EXPECT_EQ(std::u16string(buffer), u"PNG ");
    EXPECT_EQ(buffer[5], u'#');  // nothing past the buffer
    EXPECT_EQ(kit::AnswerPluginInfo(kTable, 1, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(kit::AnswerPluginInfo(kTable, 1, buffer, 0), 0);
    EXPECT_EQ(kit::AnswerPluginInfo(kTable, 1, nullptr, 10), 0);
}

// ---- Limits and strides ------------------------------------------------------------------

struct LimitCase {
    const char *name;
    int64_t width, height;
    bool within;
};
class WithinLimitsTest : public ::testing::TestWithParam<LimitCase> {};
TEST_P(WithinLimitsTest, Decides) {
    EXPECT_EQ(kit::WithinLimits(GetParam().width, GetParam().height), GetParam().within);
}
INSTANTIATE_TEST_SUITE_P(
    Limits, WithinLimitsTest,
    ::testing::Values(LimitCase{"OnePixel", 1, 1, true}, LimitCase{"ZeroWidth", 0, 10, false},
                      LimitCase{"ZeroHeight", 10, 0, false}, LimitCase{"Negative", -5, 10, false},
                      LimitCase{"AtThePixelLimit", 16384, 16384, true},
                      LimitCase{"OnePastThePixelLimit", 16384, 16385, false},
                      LimitCase{"LongThinAtTheSideLimit", kit::kMaxSide, 1, true},
                      LimitCase{"SidePastTheLimit", kit::kMaxSide + 1, 1, false},
                      LimitCase{"Bomb100000", 100000, 100000, false},
                      LimitCase{"TwoToThe31", int64_t{1} << 31, 1, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DibStrideTest, PadsToFourBytesAndRefusesNonsense) {
    EXPECT_EQ(kit::DibStride(1, 1), 4u);
    EXPECT_EQ(kit::DibStride(33, 1), 8u);
    EXPECT_EQ(kit::DibStride(3, 4), 4u);
    EXPECT_EQ(kit::DibStride(9, 4), 8u);
    EXPECT_EQ(kit::DibStride(5, 8), 8u);
    EXPECT_EQ(kit::DibStride(3, 16), 8u);
    EXPECT_EQ(kit::DibStride(5, 24), 16u);
    EXPECT_EQ(kit::DibStride(3, 32), 12u);
    EXPECT_EQ(kit::DibStride(0, 24), 0u);
    EXPECT_EQ(kit::DibStride(10, 7), 0u);
    EXPECT_EQ(kit::DibStride(int64_t{1} << 31, 32), 0u);  // 8 GiB rows do not fit 32 bits
}

// ---- DIB allocation ----------------------------------------------------------------------

TEST(AllocateDibTest, RefusesWhatCannotBeAPicture) {
    kit::Dib dib;
    kit::DibSpec spec;
    spec.width = 100000;
    spec.height = 100000;
    EXPECT_FALSE(kit::AllocateDib(nullptr, spec, &dib));
    spec = {};
    spec.width = spec.height = 4;
    spec.bitCount = 4;
    spec.palette.assign(17, RGBQUAD{});  // more colours than 4 bits can name
    EXPECT_FALSE(kit::AllocateDib(nullptr, spec, &dib));
    spec.palette.clear();  // palettised without a palette
    EXPECT_FALSE(kit::AllocateDib(nullptr, spec, &dib));
    EXPECT_EQ(dib.bitmap, nullptr);
}

TEST(AllocateDibTest, RowCountsFromTheTopInBothOrders) {
    for (bool topDown : {true, false}) {
        kit::DibSpec spec;
        spec.width = 3;
        spec.height = 4;
        spec.bitCount = 8;
        spec.topDown = topDown;
        spec.palette = kit::GreyPalette(8);
        spec.xPelsPerMeter = 2835;
        kit::Dib dib;
        ASSERT_TRUE(kit::AllocateDib(nullptr, spec, &dib));
        for (int y = 0; y < 4; ++y) dib.Row(y)[0] = uint8_t(10 * y);
        const testing::DibView v = testing::ViewDib(dib.bitmap);
        EXPECT_EQ(v.topDown, topDown);
        EXPECT_EQ(v.xPelsPerMeter, 2835);
        EXPECT_EQ(v.palette.size(), 256u);
        for (int y = 0; y < 4; ++y) EXPECT_EQ(v.rows[size_t(y)][0], 10 * y) << "top-down " << topDown;
        DeleteObject(dib.bitmap);
    }
}

// ---- The picture to store ----------------------------------------------------------------

// One 3 x 2 picture of known colours per layout, checked through RowToBGRA.
struct SourceCase {
    const char *name;
    DibParams params;
    std::vector<std::vector<uint8_t>> memoryRows;  // as laid out in memory, first row first
    std::vector<std::vector<uint8_t>> bgraTopFirst;
    bool hasAlpha;
};

class SourcePictureTest : public ::testing::TestWithParam<SourceCase> {};

TEST_P(SourcePictureTest, ReadsRowsAsBgraTopFirst) {
    const SourceCase &c = GetParam();
    uint8_t *bits;
    uint32_t stride;
    HBITMAP b = MakeDib(c.params, &bits, &stride);
    ASSERT_NE(b, nullptr);
    for (size_t i = 0; i < c.memoryRows.size(); ++i)
        std::memcpy(bits + i * stride, c.memoryRows[i].data(), c.memoryRows[i].size());
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, b);
    kit::SourcePicture src;
    ASSERT_TRUE(src.Open(dc));
    EXPECT_EQ(src.HasAlpha(), c.hasAlpha);
    for (int y = 0; y < 2; ++y) {
        std::vector<uint8_t> row(12);
        src.RowToBGRA(y, row.data());
        EXPECT_EQ(row, c.bgraTopFirst[size_t(y)]) << "row " << y;
    }
    DeleteDC(dc);
    DeleteObject(b);
}

DibParams Params(int bits, bool topDown = false, std::vector<RGBQUAD> palette = {}, uint32_t r = 0, uint32_t g = 0,
                 uint32_t b = 0) {
    DibParams p;
    p.width = 3;
    p.height = 2;
    p.bitCount = bits;
    p.topDown = topDown;
    p.palette = std::move(palette);
    p.masks[0] = r, p.masks[1] = g, p.masks[2] = b;
    return p;
}

const std::vector<RGBQUAD> kFour = {{0, 0, 255, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}, {9, 8, 7, 0}};
const std::vector<uint8_t> kRedGreenBlue = {0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255};
const std::vector<uint8_t> kBlueBlueRed = {255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 255, 255};

INSTANTIATE_TEST_SUITE_P(
    Layouts, SourcePictureTest,
    ::testing::Values(
        // Bottom-up: the first memory row is the bottom row.
        SourceCase{"OneBit", Params(1, false, {{0, 0, 255, 0}, {255, 0, 0, 0}}), {{0x00}, {0x60}},
                   {{0, 0, 255, 255, 255, 0, 0, 255, 255, 0, 0, 255}, {0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255}}, false},
        SourceCase{"FourBit", Params(4, false, kFour), {{0x22, 0x00}, {0x01, 0x20}}, {kRedGreenBlue, kBlueBlueRed}, false},
        SourceCase{"EightBitTopDown", Params(8, true, kFour), {{0, 1, 2}, {2, 2, 0}}, {kRedGreenBlue, kBlueBlueRed}, false},
        SourceCase{"EightBitIndexPastShortTable", Params(8, true, {{1, 2, 3, 0}}), {{0, 7, 200}, {0, 0, 0}},
                   {{1, 2, 3, 255, 1, 2, 3, 255, 1, 2, 3, 255}, {1, 2, 3, 255, 1, 2, 3, 255, 1, 2, 3, 255}}, false},
        SourceCase{"Sixteen555", Params(16, true), {{0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00}, {0x1F, 0, 0x1F, 0, 0, 0x7C}},
                   {kRedGreenBlue, kBlueBlueRed}, false},
        SourceCase{"Sixteen565", Params(16, true, {}, 0xF800, 0x07E0, 0x001F),
                   {{0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00}, {0x1F, 0, 0x1F, 0, 0, 0xF8}}, {kRedGreenBlue, kBlueBlueRed}, false},
        SourceCase{"TwentyFourBottomUp", Params(24), {{255, 0, 0, 255, 0, 0, 0, 0, 255}, {0, 0, 255, 0, 255, 0, 255, 0, 0}},
                   {kRedGreenBlue, kBlueBlueRed}, false},
        SourceCase{"ThirtyTwoAllAlphaZeroIsOpaque", Params(32, true),
                   {{0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0}, {255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 0}},
                   {kRedGreenBlue, kBlueBlueRed}, false},
        SourceCase{"ThirtyTwoWithAlpha", Params(32, true),
                   {{0, 0, 255, 0, 0, 255, 0, 128, 255, 0, 0, 255}, {255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 255, 255}},
                   {{0, 0, 255, 0, 0, 255, 0, 128, 255, 0, 0, 255}, kBlueBlueRed}, true},
        SourceCase{"ThirtyTwoRgbMasks", Params(32, true, {}, 0x000000FF, 0x0000FF00, 0x00FF0000),
                   {{255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0}, {0, 0, 255, 0, 0, 0, 255, 0, 255, 0, 0, 0}},
                   {kRedGreenBlue, kBlueBlueRed}, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SourcePictureOpenTest, RefusesADcWithoutAPicture) {
    kit::SourcePicture src;
    EXPECT_FALSE(src.Open(nullptr));
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_FALSE(src.Open(dc));
    DeleteDC(dc);
}

TEST(SourcePictureOpenTest, PutsTransparencyOnWhite) {
    DibParams p = Params(32, true);
    p.width = 3;
    p.height = 1;
    uint8_t *bits;
    HBITMAP b = MakeDib(p, &bits);
    const uint8_t px[] = {0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 128};  // clear, black, half black
    std::memcpy(bits, px, sizeof px);
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, b);
    kit::SourcePicture src;
    ASSERT_TRUE(src.Open(dc));
    uint8_t bgr[9];
    src.RowToBGROnWhite(0, bgr);
    EXPECT_EQ(std::vector<uint8_t>(bgr, bgr + 9), (std::vector<uint8_t>{255, 255, 255, 0, 0, 0, 127, 127, 127}));
    DeleteDC(dc);
    DeleteObject(b);
}

// ---- Atomic output -----------------------------------------------------------------------

mode_t ModeOf(const std::filesystem::path &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(AtomicOutputFileTest, NewFileGetsTheUsualModeAndAppearsOnlyOnCommit) {
    TempDir dir;
    const auto out = dir / "new.bin";
    const mode_t old = umask(027);
    {
        kit::AtomicOutputFile f(out.string());
        ASSERT_TRUE(f.ok());
        ASSERT_TRUE(f.Write("abc", 3));
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_TRUE(f.Commit());
    }
    umask(old);
    EXPECT_EQ(testing::ReadFile(out), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(ModeOf(out), mode_t(0640));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"new.bin"});
}

TEST(AtomicOutputFileTest, ExistingFileKeepsItsModeWhenReplaced) {
    TempDir dir;
    const auto out = dir / "old.bin";
    testing::WriteFile(out, {1, 2, 3});
    chmod(out.c_str(), 0604);
    kit::AtomicOutputFile f(out.string());
    ASSERT_TRUE(f.Write("xy", 2));
    ASSERT_TRUE(f.Commit());
    EXPECT_EQ(testing::ReadFile(out), (std::vector<uint8_t>{'x', 'y'}));
    EXPECT_EQ(ModeOf(out), mode_t(0604));
}

TEST(AtomicOutputFileTest, AbandonedFileLeavesTheOldOutputAndNoTemporary) {
    TempDir dir;
    const auto out = dir / "keep.bin";
    testing::WriteFile(out, {7, 7, 7});
    {
        kit::AtomicOutputFile f(out.string());
        ASSERT_TRUE(f.Write("partial", 7));
    }
    EXPECT_EQ(testing::ReadFile(out), (std::vector<uint8_t>{7, 7, 7}));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"keep.bin"});
}

TEST(AtomicOutputFileTest, WriteFailureOnAFullDiskLeavesTheOldOutputAndNoTemporary) {
    TempDir dir;
    const auto out = dir / "keep.bin";
    testing::WriteFile(out, std::vector<uint8_t>(100, 9));
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit;
    getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit limit = oldLimit;
    limit.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    bool committed;
    {
        kit::AtomicOutputFile f(out.string());
        std::vector<char> big(64 * 1024, 'x');
        f.Write(big.data(), big.size());
        committed = f.Commit();
    }
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(committed);
    EXPECT_EQ(testing::ReadFile(out), std::vector<uint8_t>(100, 9));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"keep.bin"});
}

TEST(AtomicOutputFileTest, MissingFolderOrAFolderAsOutputIsRefused) {
    TempDir dir;
    EXPECT_FALSE(kit::AtomicOutputFile((dir / "no-such-folder" / "x.bin").string()).ok());
    std::filesystem::create_directory(dir / "sub");
    EXPECT_FALSE(kit::AtomicOutputFile((dir / "sub").string()).ok());
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"sub"});
}

TEST(AtomicOutputFileTest, ThroughASymbolicLinkReplacesTheTargetAndKeepsTheLink) {
    TempDir dir;
    testing::WriteFile(dir / "target.bin", {1});
    std::filesystem::create_symlink("target.bin", dir / "link.bin");
    kit::AtomicOutputFile f((dir / "link.bin").string());
    ASSERT_TRUE(f.Write("z", 1));
    ASSERT_TRUE(f.Commit());
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.bin"));
    EXPECT_EQ(testing::ReadFile(dir / "target.bin"), std::vector<uint8_t>{'z'});
}

// ---- Settings dialog ---------------------------------------------------------------------

QApplication *App() {
    static int argc = 1;
    static char name[] = "plugin_kit_test";
    static char *argv[] = {name, nullptr};
    static QApplication *app = new QApplication(argc, argv);
    return app;
}

std::vector<kit::Setting> LevelSetting() {
    kit::Setting s;
    s.label = "Level";
    s.minimum = 0;
    s.maximum = 9;
    s.value = 6;
    return {s};
}

TEST(SettingsDialogTest, ConfirmedChoiceIsReturned) {
    App();
    auto settings = LevelSetting();
    QTimer::singleShot(0, [] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QSpinBox *>()->setValue(3);
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    EXPECT_TRUE(kit::ShowSettingsDialog(nullptr, "PNG output", &settings));
    EXPECT_EQ(settings[0].value, 3);
}

TEST(SettingsDialogTest, CancelKeepsTheOldChoice) {
    App();
    auto settings = LevelSetting();
    QTimer::singleShot(0, [] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QSpinBox *>()->setValue(1);
        dialog->reject();
    });
    EXPECT_FALSE(kit::ShowSettingsDialog(nullptr, "PNG output", &settings));
    EXPECT_EQ(settings[0].value, 6);
}

TEST(SettingsDialogTest, RefusedFromAThreadOtherThanTheApplications) {
    App();
    auto settings = LevelSetting();
    bool shown = true;
    std::thread([&] { shown = kit::ShowSettingsDialog(nullptr, "x", &settings); }).join();
    EXPECT_FALSE(shown);
}

}  // namespace
}  // namespace faltrix
