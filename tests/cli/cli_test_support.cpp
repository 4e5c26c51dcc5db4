#include "cli_test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <cstdlib>

namespace faltrix::testing {
namespace {

QString BuildDir() {
    const char *dir = std::getenv("FALTRIX_BUILD_DIR");
    return dir ? QString::fromLocal8Bit(dir) : QStringLiteral(FALTRIX_TEST_BUILD_DIR);
}

void PutLe(QByteArray *out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

QString ConverterPath() { return BuildDir() + QStringLiteral("/bin/faltrix-convert"); }

QString PluginPath(const char *kind, const QString &name) {
    const QString path = BuildDir() + QStringLiteral("/bin/plugins/%1/%2.so").arg(QLatin1String(kind), name);
    return QFileInfo::exists(path) ? path : QString();
}

RunResult RunConverter(const QStringList &arguments, const QStringList &environment) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : environment) {
        const qsizetype eq = pair.indexOf(u'=');
        env.insert(pair.left(eq), pair.mid(eq + 1));
    }
    process.setProcessEnvironment(env);
    process.start(ConverterPath(), arguments);
    RunResult result;
    if (!process.waitForStarted(30000)) {
        result.err = QStringLiteral("could not start ") + ConverterPath();
        return result;
    }
    process.closeWriteChannel();
    process.waitForFinished(300000);
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

Picture NoisePicture(int width, int height, uint32_t seed) {
    Picture picture{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
    uint32_t state = seed ? seed : 1;
    for (uint8_t &byte : picture.bgr) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return picture;
}

Picture BlockPicture(int width, int height) {
    static const uint8_t kColours[][3] = {{0, 0, 0},     {255, 255, 255}, {0, 0, 200},   {0, 180, 0},
                                          {200, 0, 0},   {0, 200, 200},   {200, 0, 200}, {200, 200, 0},
                                          {90, 90, 90},  {40, 120, 220},  {220, 120, 40}};
    constexpr int kCount = sizeof kColours / sizeof kColours[0];
    Picture picture{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t *colour = kColours[((x / 8) * 7 + (y / 8) * 3) % kCount];
            uint8_t *pixel = picture.Pixel(x, y);
            pixel[0] = colour[0];
            pixel[1] = colour[1];
            pixel[2] = colour[2];
        }
    }
    return picture;
}

bool WriteBmp24(const QString &path, const Picture &picture) {
    const uint32_t stride = (static_cast<uint32_t>(picture.width) * 3 + 3) & ~3u;
    const uint32_t imageBytes = stride * static_cast<uint32_t>(picture.height);
    QByteArray bytes("BM");
    PutLe(&bytes, 14 + 40 + imageBytes, 4);
    PutLe(&bytes, 0, 4);
    PutLe(&bytes, 14 + 40, 4);
    PutLe(&bytes, 40, 4);
    PutLe(&bytes, static_cast<uint32_t>(picture.width), 4);
    PutLe(&bytes, static_cast<uint32_t>(picture.height), 4);
    PutLe(&bytes, 1, 2);
    PutLe(&bytes, 24, 2);
    PutLe(&bytes, 0, 4);
    PutLe(&bytes, imageBytes, 4);
    PutLe(&bytes, 2835, 4);
    PutLe(&bytes, 2835, 4);
    PutLe(&bytes, 0, 4);
    PutLe(&bytes, 0, 4);
    for (int y = picture.height - 1; y >= 0; --y) {
        bytes.append(reinterpret_cast<const char *>(picture.Pixel(0, y)), picture.width * 3);
        bytes.append(QByteArray(static_cast<qsizetype>(stride) - picture.width * 3, '\0'));
    }
    return WriteBytes(path, bytes);
}

Picture ReadPicture(const QString &path) {
    QImage image(path);
    Picture picture;
    if (image.isNull()) return picture;
    image = image.convertToFormat(QImage::Format_RGB32);
    picture.width = image.width();
    picture.height = image.height();
    picture.bgr.resize(static_cast<size_t>(picture.width) * picture.height * 3);
    for (int y = 0; y < picture.height; ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < picture.width; ++x) {
            uint8_t *pixel = picture.Pixel(x, y);
            pixel[0] = static_cast<uint8_t>(qBlue(row[x]));
            pixel[1] = static_cast<uint8_t>(qGreen(row[x]));
            pixel[2] = static_cast<uint8_t>(qRed(row[x]));
        }
    }
    return picture;
}

bool WriteBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::pair<double, int> Difference(const Picture &a, const Picture &b) {
    if (a.bgr.size() != b.bgr.size() || a.bgr.empty()) return {255.0, 255};
    double sum = 0;
    int largest = 0;
    for (size_t i = 0; i < a.bgr.size(); ++i) {
        const int d = std::abs(int(a.bgr[i]) - int(b.bgr[i]));
        sum += d;
        largest = std::max(largest, d);
    }
    return {sum / static_cast<double>(a.bgr.size()), largest};
}

}  // namespace faltrix::testing
