// Camera RAW through the RAW input plug-in: DNG files laid out as cameras lay them out
// (tests/data/raw) developed at 16 bits as LibRaw's own dcraw_emu develops them with the
// camera's white balance, never as their preview. (8-bit and hostile ones: codec_files_test;
// that the RAW input takes no other format's file, nor the TIFF input a DNG:
// conversion_matrix_test.)
#include <gtest/gtest.h>

#include <QImage>

#include <fstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

fs::path Raw(const std::string &name) { return DataDir() / "raw" / name; }

// The samples of a 16-bit binary PPM, as dcraw_emu -6 writes it (Qt reads 8 bits of them).
std::vector<uint16_t> Ppm16(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::string magic;
    int w = 0, h = 0, top = 0;
    in >> magic >> w >> h >> top;
    in.get();
    std::vector<uint16_t> samples;
    for (int i = 0, hi, lo; i < w * h * 3 && (hi = in.get()) >= 0 && (lo = in.get()) >= 0; ++i)
        samples.push_back(uint16_t(hi << 8 | lo));
    return samples;
}

struct RawCase {
    const char *name, *file;
    QSize shown;  // linear.dng says a quarter turn
};

class RawFiles : public ::testing::TestWithParam<RawCase> {};

// A copy under a TIFF name goes to the RAW input in faltrix-convert, whose 16-bit PNG holds
// dcraw_emu -w -6's samples exactly: the camera's white balance, the raw data (not cfa.dng's
// magenta preview of 48 x 32) turned upright. (The 8-bit pictures are compared with
// dcraw_emu's in codec_files_test, as tests/data/raw/layouts/references.txt lists them.)
TEST_P(RawFiles, DevelopedAsDcrawEmuDevelopsThemAt16Bits) {
    const RawCase &c = GetParam();
    CodecPlugin in("raw", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    if (!Have("dcraw_emu")) GTEST_SKIP() << "dcraw_emu (libraw-bin) is not installed";
    TempDir dir;
    const fs::path file = Raw(std::string("layouts/") + c.file);
    fs::copy_file(file, dir / c.file);
    fs::copy_file(file, dir / "camera.tif");
    ASSERT_EQ(RunQuietly("dcraw_emu", {"-w", "-6", Q(dir / c.file)}), 0);
    ASSERT_EQ(RunQuietly(FALTRIX_CONVERT, {Q(dir / "camera.tif"), "-o", Q(dir / "deep.png")}), 0);
    const QImage deep = QImage(Q(dir / "deep.png")).convertToFormat(QImage::Format_RGBX64);
    ASSERT_EQ(deep.size(), c.shown);
    std::vector<uint16_t> samples;
    for (int y = 0; y < deep.height(); ++y)
        for (int x = 0; x < deep.width(); ++x) {
            const QRgba64 p = deep.pixelColor(x, y).rgba64();
            samples.insert(samples.end(), {p.red(), p.green(), p.blue()});
        }
    EXPECT_EQ(samples, Ppm16(Q(dir / c.file).toStdString() + ".ppm"));
}

INSTANTIATE_TEST_SUITE_P(Dng, RawFiles,
                         ::testing::Values(RawCase{"Mosaic", "cfa.dng", {96, 64}},
                                           RawCase{"LinearTurned", "linear.dng", {32, 48}}),
                         kCaseName);

}  // namespace
}  // namespace faltrix
