// The codec kit: limits, DIB allocation, reading the picture to store, the information answers,
// the output file and failure causes (through the BMP decoder's entry points, compiled in).
// Paths and orientation are tried through the real plug-ins and the files of tests/data.
#include <gtest/gtest.h>

#include "codec_test_support.h"
#include "faltrix/kit/kit.h"
#include "faltrix/kit/options.h"

#include <QApplication>
#include <QSettings>
#include <QSpinBox>
#include <QString>
#include <QTimer>

#include <thread>

namespace faltrix {
namespace {

using namespace faltrix::testing;

// The documented decoding limits, and what cannot be a picture at all.
TEST(LimitsTest, PixelCountSidesStridesAndAllocation) {
    EXPECT_TRUE(kit::WithinLimits(16384, 16384));  // the pixel limit itself
    EXPECT_FALSE(kit::WithinLimits(16384, 16385));
    EXPECT_TRUE(kit::WithinLimits(kit::kMaxSide, 1));
    EXPECT_FALSE(kit::WithinLimits(kit::kMaxSide + 1, 1));
    using Size = std::pair<int64_t, int64_t>;
    for (auto [w, h] :
         {Size{0, 10}, Size{10, 0}, Size{-5, 10}, Size{100000, 100000}, Size{int64_t{1} << 31, 1}})
        EXPECT_FALSE(kit::WithinLimits(w, h)) << w << " x " << h;
    EXPECT_EQ(kit::DibStride(10, 7), 0u);
    kit::Dib dib;
    kit::DibSpec layout;
    layout.width = layout.height = 4;
    layout.bitCount = 4;
    layout.palette.assign(17, RGBQUAD{});  // more colours than 4 bits can name
    EXPECT_FALSE(kit::AllocateDib(nullptr, layout, &dib));
    layout.palette.clear();  // palettised without a palette
    EXPECT_FALSE(kit::AllocateDib(nullptr, layout, &dib));
    EXPECT_EQ(dib.bitmap, nullptr);
}

// A 3 x 2 picture of known colours per layout, read through RowToBGRA.
DibParams Params(int bits, bool topDown, std::vector<RGBQUAD> palette = {},
                 std::array<uint32_t, 3> masks = {}) {
    DibParams p;
    p.width = 3, p.height = 2, p.bitCount = bits, p.topDown = topDown,
    p.palette = std::move(palette);
    std::copy(masks.begin(), masks.end(), p.masks);
    return p;
}

TEST(SourcePictureTest, ReadsEachLayoutTopFirstAndPutsTransparencyOnWhite) {
    const std::vector<RGBQUAD> four = {
        {0, 0, 255, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}, {9, 8, 7, 0}};
    const Bytes redGreenBlue = {0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255};
    const Bytes blueBlueRed = {255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 255, 255};
    const Bytes grey = {1, 2, 3, 255, 1, 2, 3, 255, 1, 2, 3, 255};
    using Rows = std::vector<Bytes>;
    const struct {
        const char *name;
        DibParams params;
        Rows memoryRows, bgraTopFirst;  // memory order: bottom-up, the first is the bottom row
        bool hasAlpha;
        Bytes topOnWhite = {};  // the top row as RowToBGROnWhite gives it, where checked
    } cases[] = {{"FourBitBottomUp", Params(4, false, four), Rows{{0x22, 0x00}, {0x01, 0x20}},
                  Rows{redGreenBlue, blueBlueRed}, false},
                 {"EightBitIndexPastShortTable", Params(8, true, {{1, 2, 3, 0}}),
                  Rows{{0, 7, 200}, {0, 0, 0}}, Rows{grey, grey}, false},
                 {"Sixteen565", Params(16, true, {}, {0xF800, 0x07E0, 0x001F}),
                  Rows{{0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00}, {0x1F, 0, 0x1F, 0, 0, 0xF8}},
                  Rows{redGreenBlue, blueBlueRed}, false},
                 {"ThirtyTwoRgbMasks", Params(32, true, {}, {0x000000FF, 0x0000FF00, 0x00FF0000}),
                  Rows{{255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0},
                       {0, 0, 255, 0, 0, 0, 255, 0, 255, 0, 0, 0}},
                  Rows{redGreenBlue, blueBlueRed}, false},
                 {"ThirtyTwoWithAlpha", Params(32, true),
                  Rows{{0, 0, 255, 0, 0, 255, 0, 128, 255, 0, 0, 255},
                       {255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 255, 255}},
                  Rows{{0, 0, 255, 0, 0, 255, 0, 128, 255, 0, 0, 255}, blueBlueRed}, true,
                  Bytes{255, 255, 255, 127, 255, 127, 255, 0, 0}}};
    kit::SourcePicture src;  // (a DC without a picture is tried on every output plug-in)
    HDC dc = CreateCompatibleDC(nullptr);
    for (const auto &c : cases) {
        uint8_t *bits;
        uint32_t stride;
        const OwnedDib b = testing::MakeDib(c.params, &bits, &stride);
        for (size_t i = 0; i < c.memoryRows.size(); ++i)
            std::memcpy(bits + i * stride, c.memoryRows[i].data(), c.memoryRows[i].size());
        HGDIOBJ old = SelectObject(dc, b);
        ASSERT_TRUE(src.Open(dc)) << c.name;
        EXPECT_EQ(src.HasAlpha(), c.hasAlpha) << c.name;
        for (int y = 0; y < 2; ++y) {
            Bytes row(12);
            src.RowToBGRA(y, row.data());
            EXPECT_EQ(row, c.bgraTopFirst[size_t(y)]) << c.name << " row " << y;
        }
        Bytes onWhite(9);
        src.RowToBGROnWhite(0, onWhite.data());
        EXPECT_TRUE(c.topOnWhite.empty() || onWhite == c.topOnWhite) << c.name;
        SelectObject(dc, old);
    }
    DeleteDC(dc);
}

// Each answer's length is the length of the text written: before the tag, past the patterns
// and into no buffer comes 0; a short buffer gets as much as fits before the terminating 0.
TEST(PluginInfoTest, AnswersAreClampedToTheBufferAndEndPastThePatterns) {
    const kit::PluginInfoTable table = kit::OutputInfo(
        {u"PNG (libpng)", {{u"*.png;*.apng", u"PNG pictures"}}, {{u"*.png", u"PNG pictures"}}});
    const std::u16string expected[] = {u"", u"00OUT_EX", u"PNG (libpng)", u"*.png", u"PNG pictures",
                                       u"", u""};
    WCHAR buffer[64];
    for (int32_t number = -1; number <= 5; ++number) {
        const int32_t n = kit::AnswerPluginInfo(table, number, buffer, 64);
        EXPECT_EQ(std::u16string(buffer, size_t(n)), expected[number + 1]) << number;
    }
    EXPECT_EQ(kit::AnswerPluginInfo(table, 1, buffer, 5), 4);
    EXPECT_EQ(std::u16string(buffer), u"PNG ");
    EXPECT_EQ(kit::AnswerPluginInfo(table, 1, nullptr, 10), 0);
}

// The cause of a failure names the defect: the system's words, or the decoder's own, as
// GetLastFailureText gives them. (The output file's own words on a full disk: every output
// plug-in's in conversion_matrix_test.)
TEST(FailureCauseTest, KeptForTheCallingThreadAndNamingTheDefect) {
    TempDir dir;
    WCHAR buffer[512];
    auto decode = [&](const std::filesystem::path &file) {
        const std::u16string path = Q(file).toStdU16String();
        EXPECT_EQ(GetPictureDIB(path.c_str(), 0, 0, nullptr, 0, nullptr), nullptr) << file;
        return QString::fromUtf16(buffer, GetLastFailureText(buffer, 512)).toStdString();
    };
    EXPECT_EQ(decode(dir / "missing.bmp"), "No such file or directory");
    EXPECT_EQ(decode(testing::DataDir() / "bmp" / "hostile" /
                     "palette-claims-more-entries-than-bits-allow.bmp"),
              "BMP: more colours than the bit count can name");
    std::thread([] { EXPECT_STREQ(kit::LastFailure(), ""); }).join();
    // Cut to the buffer, never between the two halves of a character beyond 16 bits.
    kit::ClearLastFailure();
    kit::SetLastFailure("a\xF0\x9F\x98\x80");
    for (auto [length, text] : {std::pair{4, u"a\U0001F600"}, {3, u"a"}, {1, u""}}) {
        EXPECT_EQ(GetLastFailureText(buffer, length),
                  static_cast<int32_t>(std::u16string_view(text).size()));
        EXPECT_EQ(std::u16string(buffer), text) << length;
    }
}

// Kept settings live under the option's key, so a reworded row keeps them. A value an earlier
// version kept under the row's label is moved to the key once; a value under the key wins.
TEST(KeptOptionsTest, KeyedByOptionWithLabelValuesCarriedOverOnce) {
    TempDir dir;
    const QString file = Q(dir / "plugins.conf");
    {
        QSettings earlier(file, QSettings::IniFormat);
        earlier.setValue("JPEG settings/Quality", 37);
        earlier.setValue("JPEG settings/Progressive", 1);
        earlier.setValue("JPEG settings/progressive", 0);
    }
    App().setProperty(kit::kKeptSettingsProperty, file);
    const auto table = [](const char *qualityLabel) {
        using Kind = kit::Setting::Kind;
        return std::vector<kit::OptionSpec>{
            {"quality", qualityLabel, Kind::Integer, 1, 100, {}, 90},
            {"progressive", "Progressive", Kind::Flag, 0, 1, {}, 0}};
    };
    for (const char *label : {"Quality", "Picture quality"}) {
        kit::Options options(table(label));
        kit::TakeKeptOptions("JPEG settings", &options);
        EXPECT_EQ(options.Get("quality"), 37) << label;
        EXPECT_EQ(options.Get("progressive"), 0) << label;
    }
    QSettings kept(file, QSettings::IniFormat);
    QStringList keys = kept.allKeys();
    keys.sort();
    EXPECT_EQ(keys, QStringList({"JPEG settings/Progressive", "JPEG settings/progressive",
                                 "JPEG settings/quality"}));

    // Confirmed in the dialog, a value is kept under the key.
    kit::Options options(table("Picture quality"));
    QTimer::singleShot(0, [] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (dialog == nullptr) return;
        dialog->findChild<QSpinBox *>("Picture quality")->setValue(55);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    ASSERT_TRUE(kit::ConfigureOptions(nullptr, "JPEG settings", &options));
    kept.sync();
    EXPECT_EQ(kept.value("JPEG settings/quality").toInt(), 55);
    EXPECT_FALSE(kept.contains("JPEG settings/Picture quality"));
    App().setProperty(kit::kKeptSettingsProperty, QVariant());
}

}  // namespace
}  // namespace faltrix
