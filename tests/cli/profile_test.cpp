// Colour profiles through faltrix-convert and the bundled plug-ins of this build: kinds of
// profile, made from one sRGB profile by editing its header, in pictures of each colour type,
// into every output format. Every conversion succeeds; a profile that reaches an output
// describes the colour type the output stored, as the format's own library reads it back;
// every profile that does not reach it is named in a notice.
#include <gtest/gtest.h>

#include <lcms2.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include "bundled_plugins.h"
#include "read_back.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace faltrix::testing;
constexpr int kWidth = 16, kHeight = 8;

void Put32(std::string *bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + size_t(i)] = char(v >> (24 - 8 * i));
}
uint32_t Get32(const std::string &bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | uint8_t(bytes[at + size_t(i)]);
    return v;
}

// The base: Little CMS's sRGB as the version 2 profile that most photos carry, with its name.
std::string SrgbProfile(double version) {
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    cmsSetProfileVersion(profile, version);
    cmsMLU *name = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(name, "en", "US", "sRGB IEC61966-2.1");
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, name);
    cmsMLUfree(name);
    return ProfileBytes(profile);
}

std::string GreyProfile() {
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsFreeToneCurve(gamma);
    return ProfileBytes(profile);
}

// The base with four header bytes replaced.
std::string WithHeader(std::string icc, size_t at, const char *four) {
    icc.replace(at, 4, four, 4);
    return icc;
}

// The base with every tag's data two bytes later: the tags start off the 4-byte grid.
std::string MisalignedTags(std::string icc) {
    const uint32_t count = Get32(icc, 128);
    for (uint32_t i = 0; i < count; ++i)
        Put32(&icc, 132 + 12 * i + 4, Get32(icc, 132 + 12 * i + 4) + 2);
    icc.insert(132 + 12 * count, 2, '\0');
    Put32(&icc, 0, uint32_t(icc.size()));
    return icc;
}

struct Profile {
    const char *name;
    std::string icc;
    bool wellFormed;  // a picture's profile that every format holding profiles may keep
};

std::vector<Profile> ProfileKinds() {
    const std::string v2 = SrgbProfile(2.1), v4 = SrgbProfile(4.3);
    std::string d65 = v2, odd = v4 + '\0', cut = v2.substr(0, v2.size() / 2);
    Put32(&d65, 68, 0xF351);  // PCS illuminant X 0.9505, Y 1, Z 1.089
    Put32(&d65, 72, 0x10000);
    Put32(&d65, 76, 0x116CC);
    Put32(&odd, 0, uint32_t(odd.size()));
    std::string intent5 = v2;
    Put32(&intent5, 64, 5);
    return {{"srgb2", v2, true},
            {"srgb4", v4, true},
            {"grey", GreyProfile(), true},
            {"cmyk", WithHeader(v2, 16, "CMYK"), false},
            {"lab", WithHeader(v2, 16, "Lab "), false},
            {"d65", d65, false},
            {"intent5", intent5, false},
            {"oddv4", odd, false},
            {"misaligned", MisalignedTags(v2), false},
            {"link", WithHeader(v2, 12, "link"), false},
            {"abstract", WithHeader(v2, 12, "abst"), false},
            {"named", WithHeader(v2, 12, "nmcl"), false},
            {"cut", cut, false}};
}

// ---- the pictures that carry them ------------------------------------------------------------

uint8_t Level(int x, int y) { return uint8_t((x * 16 + y * 8) & 0xFF); }

// Each writer takes the path, the profile, whether the pixels are grey and their bits a sample.
void WriteJpeg(const QString &path, const std::string &icc, bool grey, int) {
    WriteJpegFile(
        path, kWidth, kHeight, grey,
        [](int x, int y, int c) {
            return c == 0 ? Level(x, y) : uint8_t(c == 1 ? 200 - y * 10 : 60);
        },
        icc);
}

// bits 1: black and white (min-is-black); 8: grey or RGB.
void WriteTiff(const QString &path, const std::string &icc, bool grey, int bits) {
    const bool colour = !grey;
    TIFF *tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    const int spp = colour ? 3 : 1;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kHeight);
    TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
    std::vector<uint8_t> row(size_t(kWidth * spp), 0);
    for (int y = 0; y < kHeight; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < kWidth; ++x) {
            if (bits == 1) row[size_t(x / 8)] |= uint8_t(((x + y) & 1) << (7 - x % 8));
            else
                for (int c = 0; c < spp; ++c)
                    row[size_t(x * spp + c)] = uint8_t(Level(x, y) + 40 * c);
        }
        TIFFWriteScanline(tif, row.data(), uint32_t(y), 0);
    }
    TIFFClose(tif);
}

// libpng checks a profile when it is set, so the iCCP chunk goes in by hand, right after
// IHDR: the carriers hold profiles libpng would not write. Grey pixels are a palette of greys.
void WritePng(const QString &path, const std::string &icc, bool greyPalette, int) {
    std::string file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &file,
        [](png_structp p, png_bytep data, size_t n) {
            static_cast<std::string *>(png_get_io_ptr(p))
                ->append(reinterpret_cast<char *>(data), n);
        },
        nullptr);
    png_set_IHDR(png, info, kWidth, kHeight, 8,
                 greyPalette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color ramp[256];
    for (int i = 0; i < 256; ++i) ramp[i] = png_color{png_byte(i), png_byte(i), png_byte(i)};
    if (greyPalette) png_set_PLTE(png, info, ramp, 256);
    png_write_info(png, info);
    uint8_t row[kWidth * 3];
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < (greyPalette ? 1 : 3); ++c)
                row[x * (greyPalette ? 1 : 3) + c] = uint8_t(Level(x, y) + 50 * c);
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);

    uLongf packedSize = compressBound(uLong(icc.size()));
    std::string packed(packedSize, '\0');
    compress(reinterpret_cast<Bytef *>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef *>(icc.data()), uLong(icc.size()));
    packed.resize(packedSize);
    std::string chunk =
        std::string("\0\0\0\0iCCPICC profile\0\0", 21) + packed + std::string(4, '\0');
    Put32(&chunk, 0, uint32_t(chunk.size() - 12));
    Put32(&chunk, chunk.size() - 4,
          uint32_t(
              crc32(0, reinterpret_cast<const Bytef *>(chunk.data() + 4), uInt(chunk.size() - 8))));
    file.insert(8 + 25, chunk);  // signature, IHDR
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(file.data(), qint64(file.size()));
}

struct Carrier {
    const char *name;
    const char *extension;
    bool grey;  // its pixels are grey
    void (*write)(const QString &, const std::string &, bool, int);
    int bits = 8;
    // The input plug-in hands over every profile it finds. The PNG input drops, with a notice,
    // one that libpng's reading refuses (a grey one on colour or palette pixels, CMYK, Lab,
    // links, a v4 profile of odd length, one cut short).
    bool handsEveryProfile = true;
};

const Carrier kCarriers[] = {
    {"colour-jpeg", "jpg", false, WriteJpeg},
    {"grey-jpeg", "jpg", true, WriteJpeg},
    {"colour-tiff", "tif", false, WriteTiff},
    {"grey-tiff", "tif", true, WriteTiff},
    {"bilevel-tiff", "tif", true, WriteTiff, 1},
    {"colour-png", "png", false, WritePng, 8, false},
    {"grey-ramp-png", "png", true, WritePng, 8, false},
};

struct Output {
    const char *extension;
    ReadBack (*read)(const QString &);
    const char *plugin;  // its file in plugins/output, without .so
};
void PrintTo(const Output &output, std::ostream *os) { *os << output.extension; }

class Profiles : public ConverterFolder, public ::testing::WithParamInterface<Output> {
protected:
    void SetUp() override {
        ConverterFolder::SetUp();
        ASSERT_TRUE(QDir().mkpath(Path("in")) && QDir().mkpath(Path("out")));
    }

    // Converts every input into out/ in one run; the exit code and the warnings by input.
    std::pair<int, std::map<QString, QStringList>> Run(const QStringList &inputs,
                                                       const QString &format) {
        const auto [exitCode, stderrText] =
            Convert(inputs + QStringList{"-f", format, "-o", Path("out")}, Path("in"));
        std::map<QString, QStringList> said;
        for (const QString &line : stderrText.split(u'\n')) {
            const QStringList parts = line.split(QStringLiteral(": "));
            if (parts.size() >= 3 && parts[0] == "faltrix-convert")
                said[parts[1]].append(parts.mid(2).join(QStringLiteral(": ")));
        }
        return {exitCode, said};
    }
};

// The colour space a profile's header names (bytes 16 to 19).
std::string SpaceOf(const std::string &icc) {
    return icc.size() >= 20 ? icc.substr(16, 4) : std::string();
}

TEST_P(Profiles, EveryConversionSucceedsAndEveryKeptProfileDescribesTheStoredPixels) {
    const Output &output = GetParam();
    FALTRIX_SKIP_UNLESS_BUILT("output", output.plugin);
    const std::vector<Profile> profiles = ProfileKinds();
    QStringList inputs;
    for (const Carrier &carrier : kCarriers)
        for (const Profile &profile : profiles) {
            inputs << QString("%1-%2.%3").arg(carrier.name, profile.name, carrier.extension);
            carrier.write(Path("in/" + inputs.last()), profile.icc, carrier.grey, carrier.bits);
        }
    const auto [exitCode, said] = Run(inputs, output.extension);
    EXPECT_EQ(exitCode, 0);

    // Where the format stores grey pixels for a grey picture.
    const std::string format = output.extension;
    const bool keepsGrey =
        format == "jpg" || format == "png" || format == "tif" || format == "jxl" || format == "bmp";
    size_t index = 0;
    for (const Carrier &carrier : kCarriers)
        for (const Profile &profile : profiles) {
            const QString input = inputs[qsizetype(index++)];
            const QString out = Path("out/" + input.section(u'.', 0, 0) + "." + output.extension);
            SCOPED_TRACE(input.toStdString() + " -> " + format);
            const ReadBack stored = output.read(out);
            ASSERT_TRUE(stored.read) << "no output";
            const QStringList notices = said.count(input) ? said.at(input) : QStringList();
            if (!stored.icc.empty()) {
                EXPECT_EQ(SpaceOf(stored.icc), stored.grey ? "GRAY" : "RGB ");
                // libjxl keeps the profile's meaning, not its bytes.
                if (format != "jxl") {
                    EXPECT_EQ(stored.icc, profile.icc);
                }
            } else {
                EXPECT_TRUE(notices.join(u'\n').contains("colour profile"))
                    << notices.join(u'\n').toStdString();
            }
            // A well-formed profile that describes the pixels as stored is kept, wherever the
            // format holds profiles at all.
            const bool storedGrey = carrier.grey && keepsGrey;
            const bool reachesHost = carrier.handsEveryProfile || SpaceOf(profile.icc) != "GRAY";
            if (profile.wellFormed && reachesHost && format != "gif" &&
                (SpaceOf(profile.icc) == "GRAY") == storedGrey) {
                EXPECT_FALSE(stored.icc.empty()) << notices.join(u'\n').toStdString();
            }
        }
}

// A palette whose profile cannot go (GIF) has its colour table converted to sRGB: each colour
// as Little CMS renders it, in its own channel order.
TEST_F(Profiles, PaletteConvertedToSrgbWhereTheProfileCannotGo) {
    const uint8_t colours[4][3] = {{200, 30, 30}, {30, 200, 30}, {30, 30, 200}, {220, 200, 40}};
    const std::string icc = AdobeRgbProfile();
    TIFF *tif = TIFFOpen(QFile::encodeName(Path("in/palette.tif")).constData(), "w");
    std::vector<uint16_t> map[3] = {std::vector<uint16_t>(256), std::vector<uint16_t>(256),
                                    std::vector<uint16_t>(256)};
    for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 3; ++c) map[c][size_t(i)] = uint16_t(colours[i][c] * 257);
    uint8_t row[4] = {0, 1, 2, 3};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 4);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    TIFFSetField(tif, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
    TIFFWriteScanline(tif, row, 0, 0);
    TIFFClose(tif);
    const auto [exitCode, said] = Run({"palette.tif"}, "gif");
    ASSERT_EQ(exitCode, 0);
    ASSERT_EQ(said.count("palette.tif"), 1u);

    uint8_t expected[4][3];
    cmsHPROFILE source = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())),
                srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM toSrgb =
        cmsCreateTransform(source, TYPE_RGB_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    cmsDoTransform(toSrgb, colours, expected, 4);
    cmsDeleteTransform(toSrgb);
    cmsCloseProfile(source);
    cmsCloseProfile(srgb);
    const QImage gif(Path("out/palette.gif"));
    ASSERT_EQ(gif.size(), QSize(4, 1));
    for (int x = 0; x < 4; ++x) {
        const QRgb have = gif.pixel(x, 0);
        EXPECT_NEAR(qRed(have), expected[x][0], 1) << x;
        EXPECT_NEAR(qGreen(have), expected[x][1], 1) << x;
        EXPECT_NEAR(qBlue(have), expected[x][2], 1) << x;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Profiles,
    ::testing::Values(Output{"jpg", ReadJpeg, "jpeg"}, Output{"png", ReadPng, "png"},
                      Output{"tif", ReadTiff, "tiff"}, Output{"webp", ReadWebp, "webp"},
                      Output{"heic", ReadHeif, "heif-heic"}, Output{"avif", ReadHeif, "heif-avif"},
                      Output{"jxl", ReadJxl, "jxl"}, Output{"bmp", ReadBmp, "bmp"},
                      Output{"gif", ReadGif, "gif"}),
    [](const auto &info) { return std::string(info.param.extension); });

}  // namespace
