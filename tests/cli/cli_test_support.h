// Running the real faltrix-convert, and making and reading small pictures for its tests.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <utility>
#include <vector>

namespace faltrix::testing {

struct RunResult {
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;
};

// The converter of this build (bin/faltrix-convert).
QString ConverterPath();
// A bundled plug-in of this build, e.g. PluginPath("input", "png"); empty when not built.
QString PluginPath(const char *kind, const QString &name);

// Runs the converter with the arguments; `environment` adds NAME=value pairs.
RunResult RunConverter(const QStringList &arguments, const QStringList &environment = {});

// A 24-bit picture with pixels in memory order B, G, R, rows top to bottom, no padding.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgr;
    uint8_t *Pixel(int x, int y) { return &bgr[(static_cast<size_t>(y) * width + x) * 3]; }
    const uint8_t *Pixel(int x, int y) const { return &bgr[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Noise: every pixel different, a hard case for any resize.
Picture NoisePicture(int width, int height, uint32_t seed);
// Flat 8 x 8 blocks of a few colours: lossy formats keep it nearly exact.
Picture BlockPicture(int width, int height);

// Writes a 24-bit bottom-up BMP (the classic 40-byte header). False on an I/O error.
bool WriteBmp24(const QString &path, const Picture &picture);
// Reads any picture Qt can read into the same layout; width 0 when it cannot.
Picture ReadPicture(const QString &path);

bool WriteBytes(const QString &path, const QByteArray &bytes);
QByteArray ReadBytes(const QString &path);

// Mean and largest absolute difference over all channels of two pictures of one size.
std::pair<double, int> Difference(const Picture &a, const Picture &b);

}  // namespace faltrix::testing
