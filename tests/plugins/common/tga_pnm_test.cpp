// TGA and PNM/PAM against their peers: a file of several PNM pictures reads as pages, and what
// faltrix-convert stores (8-bit and deep, with and without alpha, in every setting) is read back
// the same by netpbm and by Pillow. (That neither claims another format's file:
// conversion_matrix_test.)
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QStandardPaths>

#include "bundled_plugins.h"
#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
using namespace std::string_view_literals;
namespace fs = std::filesystem;

TEST(PnmPages, PicturesOneAfterAnotherAreThePages) {
    const CodecPlugin &in = Loaded("pnm", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const fs::path layouts = DataDir() / "pnm" / "layouts";
    const CodecPlugin::Frames frames = in.DecodeFrames(layouts / "three-pages.pnm");
    ASSERT_EQ(frames.bitmaps.size(), 3u) << in.LastFailure();
    EXPECT_EQ(frames.info.kind, FALTRIX_FRAMES_PAGES);
    const char *const pages[] = {"netpbm-p5", "pillow-p6", "netpbm-p4-odd-width"};
    for (int k = 0; k < 3; ++k) {
        std::string where;
        const QImage expected(Q(layouts / pages[k]) + ".expected.png");
        EXPECT_EQ(MaxDifference(DibToImage(frames.bitmaps[size_t(k)]), expected, &where), 0)
            << "page " << k + 1 << ": " << where;
    }
}

// ---- Our files as the peers read them ---------------------------------------------------------

// The peers that read a file: netpbm and ImageMagick every kind, Pillow all but PAM.
enum Peers { kNetpbm = 1, kPillow = 2, kMagick = 4, kAll = 7 };

struct PeerCase {
    const char *name;
    const char *source;     // under tests/data
    const char *output;     // its name: the output plug-in and, for PNM, PAM or not
    const char *option;     // for --option, or ""
    std::string_view head;  // how the file starts
    int deep;               // 0: compared at 8 bits; else at 16, within this
    int peers = kAll;
    friend void PrintTo(const PeerCase &c, std::ostream *os) { *os << c.name; }
};

// The picture as each peer of `peers` that is installed decodes `file`, as PNG files beside it
// (netpbm, Pillow, ImageMagick);
// a peer that is installed but fails is a failure of the test.
std::vector<QString> PeerReadings(const QString &file, bool pam, int peers) {
    std::vector<QString> made;
    const QString netpbm = file + ".netpbm.png", pillow = file + ".pillow.png";
    const char *const tool = file.endsWith(".tga") ? "tgatoppm '%1' | pnmtopng"
                             : pam                 ? "pamtopng '%1'"
                                                   : "pnmtopng '%1'";
    if ((peers & kNetpbm) && !QStandardPaths::findExecutable("pnmtopng").isEmpty()) {
        EXPECT_EQ(RunQuietly("sh", {"-c", QString(tool).arg(file) + " > '" + netpbm + "'"}), 0);
        made.push_back(netpbm);
    }
    if ((peers & kPillow) && RunQuietly(kPython, {"-c", "import PIL"}) == 0) {
        EXPECT_EQ(RunQuietly(kPython, {"-c",
                                       "import sys; from PIL import Image; "
                                       "Image.open(sys.argv[1]).save(sys.argv[2])",
                                       file, pillow}),
                  0);
        made.push_back(pillow);
    }
    if ((peers & kMagick) && !QStandardPaths::findExecutable("convert").isEmpty()) {
        EXPECT_EQ(RunQuietly("convert", {file, "png:" + file + ".magick.png"}), 0);
        made.push_back(file + ".magick.png");
    }
    return made;
}

// The largest difference of two pictures' 16-bit channels (alpha included).
int MaxDeepDifference(const QImage &a, const QImage &b) {
    const QImage x = a.convertToFormat(QImage::Format_RGBA64);
    const QImage y = b.convertToFormat(QImage::Format_RGBA64);
    if (x.size() != y.size()) return 65536;
    int worst = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int i = 0; i < x.width() * 4; ++i)
            worst = std::max(worst,
                             std::abs(reinterpret_cast<const uint16_t *>(x.constScanLine(row))[i] -
                                      reinterpret_cast<const uint16_t *>(y.constScanLine(row))[i]));
    return worst;
}

class PeersRead : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeersRead, WhatFaltrixConvertStores) {
    const PeerCase &c = GetParam();
    FALTRIX_SKIP_UNLESS_BUILT("output", "tga", "pnm");
    TempDir dir;
    const QString source = Q(DataDir() / c.source);
    const QString out = Q(dir / c.output);
    QStringList args{source, "-o", out};
    if (*c.option) args << "--option" << c.option;
    QProcess convert;
    convert.start(FALTRIX_CONVERT, args);
    ASSERT_TRUE(convert.waitForFinished());
    ASSERT_EQ(convert.exitCode(), 0) << convert.readAllStandardError().toStdString();
    QFile file(out);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.read(128).startsWith(QByteArray(c.head.data(), qsizetype(c.head.size()))));
    const std::vector<QString> readings = PeerReadings(out, c.head.substr(0, 2) == "P7", c.peers);
    if (readings.empty())
        GTEST_SKIP() << "none of netpbm, Pillow (python3-pil), ImageMagick is installed";
    const QImage expected(source);
    for (const QString &reading : readings) {
        std::string where;
        if (c.deep)
            EXPECT_LE(MaxDeepDifference(QImage(reading), expected), c.deep)
                << reading.toStdString();
        else
            EXPECT_EQ(MaxDifference(QImage(reading), expected, &where), 0)
                << reading.toStdString() << " " << where;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, PeersRead,
    ::testing::Values(
        PeerCase{"Pixmap", "tga/layouts/pillow-24-rle-bottom-left.expected.png", "o.ppm", "",
                 "P6\n31 23\n255\n", 0},
        PeerCase{"PlainPixmap", "tga/layouts/pillow-24-rle-bottom-left.expected.png", "o.ppm",
                 "format=ascii", "P3\n31 23\n255\n", 0},
        PeerCase{"GreyMap", "tga/layouts/pillow-grey-8.expected.png", "o.pgm", "", "P5\n", 0},
        PeerCase{"Bitmap", "pnm/layouts/netpbm-p4-odd-width.pbm", "o.pbm", "", "P4\n31 23\n", 0},
        PeerCase{"PamByName", "pnm/layouts/netpbm-p4-odd-width.pbm", "o.pam", "",
                 "P7\nWIDTH 31\nHEIGHT 23\nDEPTH 1\nMAXVAL 1\nTUPLTYPE BLACKANDWHITE\n", 0,
                 kNetpbm | kMagick},
        PeerCase{"PamForAlpha", "pnm/layouts/netpbm-p7-rgb-alpha.expected.png", "o.ppm", "",
                 "P7\nWIDTH 31\nHEIGHT 23\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\n", 0,
                 kNetpbm | kMagick},
        PeerCase{"SixteenBitPixmap", "png/layouts/one-pixel-16-bit-grey-tRNS-key.png", "o.pam", "",
                 "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 65535\nTUPLTYPE GRAYSCALE_ALPHA\n", true,
                 kNetpbm | kMagick},
        // Widened from 1000 levels and narrowed to 1023, which pnmtopng widens by repeating
        // bits: within a 10-bit step.
        PeerCase{"TenBitPixmap", "pnm/layouts/netpbm-p6-maxval-1000.ppm", "o.ppm", "",
                 "P6\n31 23\n1023\n", 64},
        PeerCase{"TgaRle", "tga/layouts/pillow-24-rle-bottom-left.expected.png", "o.tga", "",
                 "\0\0\x0A\0\0\0\0\0\0\0\0\0\x1F\0\x17\0\x18\x20"sv, 0},
        PeerCase{"TgaPlain", "tga/layouts/pillow-24-rle-bottom-left.expected.png", "o.tga", "rle=0",
                 "\0\0\x02\0\0\0\0\0\0\0\0\0\x1F\0\x17\0\x18\x20"sv, 0},
        PeerCase{"TgaGrey", "tga/layouts/pillow-grey-8.expected.png", "o.tga", "",
                 "\0\0\x0B\0\0\0\0\0\0\0\0\0\x1F\0\x17\0\x08\x20"sv, 0},
        PeerCase{"TgaAlpha", "pnm/layouts/netpbm-p7-rgb-alpha.expected.png", "o.tga", "",
                 "\0\0\x0A\0\0\0\0\0\0\0\0\0\x1F\0\x17\0\x20\x28"sv, 0,
                 kPillow | kMagick}),  // tgatoppm leaves alpha out
    kCaseName);

}  // namespace
}  // namespace faltrix
