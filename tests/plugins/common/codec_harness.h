// What the codec tests share beside the support library: the plug-ins loaded once, the test
// chart at every depth, and answering an output plug-in's settings dialog on the offscreen
// platform.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTimer>

#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "codec_test_support.h"

namespace faltrix::testing {

using Bytes = std::vector<uint8_t>;

// Names the cases of a TEST_P by their `name` field.
inline constexpr auto kCaseName = [](const auto &info) { return std::string(info.param.name); };

// The plug-ins stay loaded for the whole run, as the program keeps its chosen pair, so that
// settings hold from one test to the next.
inline const CodecPlugin &Loaded(const std::string &format, const std::string &kind) {
    static std::map<std::string, std::unique_ptr<CodecPlugin>> loaded;
    auto &p = loaded[format + "/" + kind];
    if (!p) p = std::make_unique<CodecPlugin>(format, kind);
    return *p;
}

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
