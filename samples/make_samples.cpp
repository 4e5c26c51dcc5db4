// Makes the sample pictures in samples/ through our own output plug-ins: a test chart with
// gradients, fine lines and sharp edges in every bundled format, a palettised picture and one
// with transparency. Run from the build tree:  tests/faltrix_make_samples <folder>
#include <QImage>

#include <cstdio>
#include <filesystem>
#include <string>

#include "codec_test_support.h"

using namespace faltrix::testing;
namespace fs = std::filesystem;

namespace {

// The chart reduced to 16 fixed colours, as a 4-bit palettised DIB.
HBITMAP PaletteChart(const QImage &chart) {
    QList<QRgb> table;
    for (int i = 0; i < 16; ++i)
        table.append(qRgb((i & 1) ? 255 : 0,
                          (i & 2)   ? 255
                          : (i & 8) ? 128
                                    : 0,
                          (i & 4)   ? 255
                          : (i & 8) ? 64
                                    : 0));
    const QImage indexed =
        chart.convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither);
    DibParams p;
    p.width = chart.width();
    p.height = chart.height();
    p.bitCount = 4;
    for (QRgb c : table)
        p.palette.push_back(RGBQUAD{uint8_t(qBlue(c)), uint8_t(qGreen(c)), uint8_t(qRed(c)), 0});
    p.xPelsPerMeter = p.yPelsPerMeter = 3780;  // 96 dots per inch
    uint8_t *bits;
    uint32_t stride;
    HBITMAP b = MakeDib(p, &bits, &stride);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            bits[size_t(p.height - 1 - y) * stride + size_t(x / 2)] |=
                uint8_t(indexed.pixelIndex(x, y) << ((x & 1) ? 0 : 4));
    return b;
}

bool Store(const std::string &format, HBITMAP picture, const fs::path &file) {
    CodecPlugin plugin(format, "output");
    if (!plugin.loaded()) {
        std::fprintf(stderr, "skipped %s: no %s output plug-in\n", file.c_str(), format.c_str());
        return true;
    }
    if (plugin.Save(picture, file) != 0) {
        std::fprintf(stderr, "failed: %s\n", file.c_str());
        return false;
    }
    std::printf("%s\n", file.c_str());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    const QImage chart = TestChart(160, 120);
    HBITMAP chart24 = ImageToDib(chart, 24);
    HBITMAP palette = PaletteChart(chart);
    HBITMAP alpha = ImageToDib(TestChart(160, 120, true), 32, true);
    bool ok = true;
    const std::pair<const char *, const char *> formats[] = {
        {"bmp", "bmp"},  {"png", "png"},   {"gif", "gif"},        {"jpeg", "jpg"},
        {"tiff", "tif"}, {"webp", "webp"}, {"heif-heic", "heic"}, {"heif-avif", "avif"},
        {"jxl", "jxl"},  {"ico", "ico"},   {"cur", "cur"},        {"tga", "tga"},
        {"jp2", "jp2"},  {"exr", "exr"},   {"hdr", "hdr"}};
    for (const auto &[format, ext] : formats)
        ok = Store(format, chart24, folder / (std::string("chart.") + ext)) && ok;
    for (const char *format : {"bmp", "png", "gif"})
        ok = Store(format, palette, folder / (std::string("palette.") + format)) && ok;
    for (const char *format : {"png", "gif"})
        ok = Store(format, alpha, folder / (std::string("alpha.") + format)) && ok;
    for (const char *format : {"webp", "jxl"})
        ok = Store(format, alpha, folder / (std::string("alpha.") + format)) && ok;
    DeleteObject(chart24);
    DeleteObject(palette);
    DeleteObject(alpha);
    return ok ? 0 : 1;
}
