// What the converter wrote, read back with each format's own library (or, where the library
// would judge the contents again, from the file's own structure), and the folder a test runs
// faltrix-convert in, with the bundled plug-ins of this build linked into it.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace faltrix::testing {

QByteArray Bytes(const QString &path);

// Writes a JPEG of width x height, grey or RGB, each sample pixel(x, y, channel), with the
// APP1 segments `app1` (each starting with its signature) and the colour profile `icc`.
void WriteJpegFile(const QString &path, int width, int height, bool grey,
                   const std::function<uint8_t(int, int, int)> &pixel, const std::string &icc,
                   const std::vector<std::string> &app1 = {});

// What an output holds.
struct ReadBack {
    bool read = false;  // the file is there and its library read it
    int width = 0, height = 0;
    bool grey = false;  // the pixels are stored as grey
    std::string icc = {}, exif = {}, xmp = {};
    std::string exifSaid = {};  // a TIFF's EXIF as ExifSays words it: it keeps no block as such
};

ReadBack ReadJpeg(const QString &path);
ReadBack ReadPng(const QString &path);  // from the chunks: libpng would judge the profile again
ReadBack ReadTiff(const QString &path);
ReadBack ReadWebp(const QString &path);
ReadBack ReadBmp(const QString &path);
ReadBack ReadGif(const QString &path);
// These two read nothing in a build without libheif or libjxl, where the tests that would
// read such files skip.
ReadBack ReadHeif(const QString &path);
ReadBack ReadJxl(const QString &path);  // a profile only where libjxl keeps no encoding instead

// The bytes of a Little CMS profile (a cmsHPROFILE), which is closed; and an RGB profile of
// Adobe RGB's primaries with a D65 white and a 2.2 gamma, as a photo carries.
std::string ProfileBytes(void *profile);
std::string AdobeRgbProfile();

// A temporary folder with plugins/{input,output} holding links to every bundled plug-in.
class ConverterFolder : public ::testing::Test {
protected:
    void SetUp() override;
    QString Path(const QString &name) const { return dir_.filePath(name); }
    // Runs faltrix-convert in `folder` (the test's folder when empty) with these plug-ins: the
    // exit code (-1 when it did not end) and standard error.
    std::pair<int, QString> Convert(const QStringList &arguments, const QString &folder = {},
                                    int timeoutMs = 600000);

    QTemporaryDir dir_;
};

}  // namespace faltrix::testing
