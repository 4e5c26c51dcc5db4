// What the JPEG, TIFF and WebP plug-in tests add to the shared codec checks: the test chart as
// a DIB of any depth, a round trip judged within a tolerance, hostile files checked at every
// entry point, and answering an output plug-in's settings dialog on the offscreen platform.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTimer>

#include <cstring>
#include <utility>

#include "codec_checks.h"

namespace faltrix::testing {

using Bytes = std::vector<uint8_t>;

// n colours of TestPalette, or for n < 0 the even grey ramp of -n entries.
inline std::vector<RGBQUAD> Palette(int n) {
    if (n >= 0) return TestPalette(n);
    std::vector<RGBQUAD> p;
    for (int i = 0; i < -n; ++i) {
        const auto v = uint8_t(i * 255 / (-n - 1));
        p.push_back(RGBQUAD{v, v, v, 0});
    }
    return p;
}

// The test chart as a DIB section: palettised depths get indices that change every few pixels,
// 32 bits without `alpha` get alpha bytes all 0 (which counts as opaque).
inline HBITMAP ChartDib(int bits, bool topDown, int palette = 0, bool alpha = false, int w = 64, int h = 48,
                        int32_t ppm = 0) {
    DibParams p;
    p.width = w, p.height = h, p.bitCount = bits, p.topDown = topDown, p.palette = Palette(palette);
    p.xPelsPerMeter = p.yPelsPerMeter = ppm;
    uint8_t *data = nullptr;
    uint32_t stride = 0;
    HBITMAP b = MakeDib(p, &data, &stride);
    const QImage chart = TestChart(w, h, alpha).convertToFormat(bits == 16 ? QImage::Format_RGB555
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
            const int a = qAlpha(c);
            auto mix = [a](int v) { return (v * a + 255 * (255 - a) + 127) / 255; };
            image.setPixel(x, y, qRgb(mix(qRed(c)), mix(qGreen(c)), mix(qBlue(c))));
        }
    return image;
}

struct ToleranceCase {
    const char *name;
    int bits;
    int palette;  // see Palette
    bool topDown, alpha;
    int loadedBits;
    double meanTolerance;  // 0: the picture comes back exactly
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const ToleranceCase &c, std::ostream *os) { *os << c.name; }
};

// Saves the chart of the case's layout, loads it back and checks the size, the depth, the
// progress both ways, the resolution (when kept), the alpha bytes exactly (when kept) and the
// picture on white within the tolerance; qtTolerance >= 0: Qt's reading of the file too.
inline void ExpectWithinTolerance(const CodecPlugin &out, const CodecPlugin &in, const ToleranceCase &c,
                                  const std::string &ext, bool keepsResolution, int qtTolerance = -1) {
    HBITMAP source = ChartDib(c.bits, c.topDown, c.palette, c.alpha, 61, 43, 2835);
    ASSERT_NE(source, nullptr);
    TempDir dir;
    const auto file = dir / ("round." + ext);
    ASSERT_EQ(out.Save(source, file), 0);
    EXPECT_GT(CodecPlugin::LastProgress().total, 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    int32_t w = 0, h = 0;
    EXPECT_EQ(in.PictureSize(file, &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(61, 43));
    HBITMAP loaded = in.Decode(file);
    ASSERT_NE(loaded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    EXPECT_EQ(CodecPlugin::LastProgress().done, 43);
    const DibView view = ViewDib(loaded);
    EXPECT_EQ(view.bitCount, c.loadedBits);
    if (keepsResolution) {
        EXPECT_EQ(view.xPelsPerMeter, 2835);
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
    if (qtTolerance >= 0) {
        EXPECT_LE(MaxDifference(have, QImage(QString::fromStdString(file.string())), &where), qtTolerance) << where;
    }
    DeleteObject(loaded);
    DeleteObject(source);
}

// Garbled pixel data of a format without a checksum may decode to a garbled picture.
inline constexpr auto kMayDecode = Caught(int(Caught::kClippedNotRefused) + 1);

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
    if (c.caught != kMayDecode) {
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
