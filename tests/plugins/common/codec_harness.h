// The GoogleTest checks every format folder shares: round trips through a pair of plug-ins,
// hostile files judged at each entry point, and answering an output plug-in's settings dialog
// on the offscreen platform.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTimer>

#include <cstring>
#include <utility>

#include "codec_test_support.h"

namespace faltrix::testing {

using Bytes = std::vector<uint8_t>;

// Names the cases of a TEST_P by their `name` field.
inline constexpr auto kCaseName = [](const auto &info) { return std::string(info.param.name); };

// The test chart as a DIB section: palettised depths get indices that change every few pixels
// (palette: see TestPalette), 16 bits 5-5-5 or the 5-6-5 of `masks`, 32 bits without `alpha`
// alpha bytes all 0 (which counts as opaque).
inline HBITMAP ChartDib(int bits, bool topDown, int palette = 0, bool alpha = false, int w = 64, int h = 48,
                        const uint32_t *masks = nullptr) {
    DibParams p;
    p.width = w, p.height = h, p.bitCount = bits, p.topDown = topDown, p.palette = TestPalette(palette);
    if (masks) std::memcpy(p.masks, masks, sizeof p.masks);
    p.xPelsPerMeter = 3937, p.yPelsPerMeter = 2835;  // 100 and 72 dots per inch
    uint8_t *data = nullptr;
    uint32_t stride = 0;
    HBITMAP b = MakeDib(p, &data, &stride);
    const QImage chart = TestChart(w, h, alpha).convertToFormat(bits == 16 ? (masks ? QImage::Format_RGB16 : QImage::Format_RGB555)
                                                                : bits == 24 ? QImage::Format_BGR888
                                                                             : QImage::Format_ARGB32);
    for (int y = 0; b && y < h; ++y) {
        uint8_t *row = data + size_t(topDown ? y : h - 1 - y) * stride;
        if (bits <= 8) {
            for (int x = 0; x < w; ++x)
                row[x * bits / 8] |= uint8_t(((x / 3 + y / 5) % p.palette.size()) << (8 - bits - x * bits % 8));
            continue;
        }
        std::memcpy(row, chart.constScanLine(y), size_t(w) * size_t(bits / 8));
        for (int x = 0; bits == 32 && !alpha && x < w; ++x) row[4 * x + 3] = 0;
    }
    return b;
}

// The picture put on white and made opaque, as a format without alpha stores it.
inline QImage OnWhite(QImage image) {
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            auto mix = [a = qAlpha(c)](int v) { return (v * a + 255 * (255 - a) + 127) / 255; };
            image.setPixel(x, y, qRgb(mix(qRed(c)), mix(qGreen(c)), mix(qBlue(c))));
        }
    return image;
}

// What a format keeps of a picture, for the checks below.
struct FormatTraits {
    const char *ext;
    bool keepsResolution;
    int qtTolerance;  // how far Qt's reading of our file may be from ours; -1: not compared
};

struct RoundTripCase {
    int bits;
    int palette;  // see TestPalette
    bool topDown, alpha;
    int loadedBits;        // the depth the input plug-in gives back
    double meanTolerance;  // 0: the picture comes back exactly
    bool indexPastTable = false;  // one pixel names an entry past a short table
    const uint32_t *masks = nullptr;
};

// Saves the chart of the case's layout, loads it back and checks the size, the depth, the
// progress both ways, the resolution (when kept), the palette and the rows byte for byte when
// the depth is kept exactly, the picture (exactly, or on white within the tolerance with the
// alpha exact) and Qt's reading of the file.
inline void ExpectRoundTrip(const CodecPlugin &out, const CodecPlugin &in, const RoundTripCase &c, const FormatTraits &f) {
    HBITMAP source = ChartDib(c.bits, c.topDown, c.palette, c.alpha, 61, 43, c.masks);
    ASSERT_NE(source, nullptr);
    DIBSECTION ds;
    if (c.indexPastTable && GetObjectW(source, sizeof ds, &ds)) static_cast<uint8_t *>(ds.dsBm.bmBits)[3] = uint8_t(c.palette + 3);
    TempDir dir;
    const auto file = dir / (std::string("round.") + f.ext);
    ASSERT_EQ(out.Save(source, file), 0);
    EXPECT_GT(CodecPlugin::LastProgress().total, 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    int32_t w = 0, h = 0;
    EXPECT_EQ(in.PictureSize(file, &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(61, 43));
    HBITMAP loaded = in.Decode(file);
    ASSERT_NE(loaded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    const DibView a = ViewDib(source), b = ViewDib(loaded);
    EXPECT_EQ(b.bitCount, c.loadedBits);
    if (f.keepsResolution) {
        EXPECT_EQ(std::pair(b.xPelsPerMeter, b.yPelsPerMeter), std::pair(3937, 2835));
    }
    if (a.bitCount == b.bitCount && c.meanTolerance == 0) {
        EXPECT_GE(b.palette.size(), a.palette.size());
        for (size_t i = 0; i < std::min(a.palette.size(), b.palette.size()); ++i)
            EXPECT_EQ(std::memcmp(&a.palette[i], &b.palette[i], 3), 0) << "entry " << i;
        EXPECT_EQ(b.rows, a.rows);
    }
    const QImage expected = DibToImage(source), have = DibToImage(loaded);
    std::string where;
    if (c.meanTolerance == 0) {
        EXPECT_EQ(MaxDifference(have, expected, &where), 0) << where;
    } else {
        EXPECT_LE(MeanDifference(OnWhite(have), OnWhite(expected)), c.meanTolerance);
    }
    for (int y = 0; c.loadedBits == 32 && y < 43; ++y)
        for (int x = 0; x < 61; ++x) ASSERT_EQ(qAlpha(have.pixel(x, y)), qAlpha(expected.pixel(x, y))) << x << "," << y;
    if (f.qtTolerance >= 0) {
        EXPECT_LE(MaxDifference(QImage(QString::fromStdString(file.string())), have, &where), f.qtTolerance) << "Qt: " << where;
    }
    DeleteObject(loaded);
    DeleteObject(source);
}

// Where a hostile file must be stopped at the latest.
enum class Caught { kByIsSupported, kByGetPictureInfo, kByGetPictureDIB, kClippedNotRefused, kMayDecode };

struct HostileCase {
    const char *name;
    std::function<Bytes()> make;
    Caught caught;  // kMayDecode: garbled pixels of a format without a checksum may decode
    friend void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }
};

// The file is judged at each entry point: refused from `caught` on, accepted before; nothing
// is printed on stderr.
inline void ExpectHostile(const CodecPlugin &in, const HostileCase &c, const std::string &ext) {
    TempDir dir;
    const auto file = dir / ("hostile." + ext);
    WriteFile(file, c.make());
    ::testing::internal::CaptureStderr();
    const int32_t supported = in.IsSupported(file);
    int32_t w, h;
    const int32_t info = in.PictureSize(file, &w, &h);
    HBITMAP b = in.Decode(file);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(supported != 0, c.caught > Caught::kByIsSupported);
    EXPECT_EQ(info == 0, c.caught > Caught::kByGetPictureInfo);
    if (c.caught != Caught::kMayDecode) {
        EXPECT_EQ(b != nullptr, c.caught == Caught::kClippedNotRefused);
    }
    if (b) DeleteObject(b);
}

inline QApplication &App() {
    static int argc = 1;
    static char name[] = "codec_test", *argv[] = {name, nullptr};
    static QApplication *app = new QApplication(argc, argv);  // never destroyed: plug-ins outlive it
    return *app;
}

// Runs the plug-in's ConfigurationDlg: the named editors (spin box, check box or choice) get
// their values and the dialog is confirmed or cancelled. Gives the plug-in's answer.
inline int32_t AnswerSettings(const CodecPlugin &out, std::vector<std::pair<const char *, int>> values, bool confirm,
                              HWND parent = nullptr) {
    App();
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        timer->stop();
        timer->deleteLater();
        for (const auto &[editor, v] : values) {
            if (auto *spin = dialog->findChild<QSpinBox *>(editor)) spin->setValue(v);
            if (auto *box = dialog->findChild<QCheckBox *>(editor)) box->setChecked(v != 0);
            if (auto *combo = dialog->findChild<QComboBox *>(editor)) combo->setCurrentIndex(v);
        }
        QMetaObject::invokeMethod(dialog, confirm ? "accept" : "reject");
    });
    timer->start(10);
    auto fn = reinterpret_cast<ConfigurationDlgFn>(out.Symbol("ConfigurationDlg"));
    return fn ? fn(parent, 0) : -1;
}

}  // namespace faltrix::testing
