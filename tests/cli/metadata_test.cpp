// What a photo holds besides its pixels, through faltrix-convert and the bundled plug-ins of
// this build: a JPEG with an Adobe RGB profile, EXIF (orientation 6, a thumbnail) and XMP is
// made with libjpeg, libexif and Little CMS, converted, and each output is read back with its
// format's own library and libexif. The hostile test plug-in hands over damaged items.
#include <gtest/gtest.h>

#include <jpeglib.h>
#include <lcms2.h>
#include <libexif/exif-data.h>
#include <png.h>
#include <tiffio.h>
#include <webp/mux.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QtEndian>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

const QString kBuildDir = qEnvironmentVariable("FALTRIX_BUILD_DIR", QStringLiteral(FALTRIX_TEST_BUILD_DIR));
constexpr int kWidth = 32, kHeight = 16;  // stored; shown turned a quarter: 16 x 32
const std::string kXmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF/></x:xmpmeta>";

std::string AdobeRgbProfile() {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return bytes;
}

// Sets a tag of an IFD to an ASCII text or one SHORT or LONG.
void SetTag(ExifData *data, ExifIfd ifd, ExifTag tag, ExifFormat format, const std::string &text, uint32_t value) {
    ExifEntry *entry = exif_entry_new();
    exif_content_add_entry(data->ifd[ifd], entry);
    entry->tag = tag;
    entry->format = format;
    entry->components = format == EXIF_FORMAT_ASCII ? text.size() + 1 : 1;
    entry->size = format == EXIF_FORMAT_ASCII ? text.size() + 1 : exif_format_get_size(format);
    entry->data = static_cast<unsigned char *>(calloc(1, entry->size));
    if (format == EXIF_FORMAT_ASCII) std::memcpy(entry->data, text.c_str(), entry->size);
    else if (format == EXIF_FORMAT_SHORT) exif_set_short(entry->data, exif_data_get_byte_order(data), uint16_t(value));
    else exif_set_long(entry->data, exif_data_get_byte_order(data), value);
    exif_entry_unref(entry);
}

// A camera's block: its name, the date, orientation 6, the stored size and a thumbnail; the
// TIFF structure without "Exif\0\0".
std::string CameraExif() {
    ExifData *data = exif_data_new();
    exif_data_unset_option(data, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_byte_order(data, EXIF_BYTE_ORDER_MOTOROLA);
    SetTag(data, EXIF_IFD_0, EXIF_TAG_MAKE, EXIF_FORMAT_ASCII, "Camera", 0);
    SetTag(data, EXIF_IFD_0, EXIF_TAG_ORIENTATION, EXIF_FORMAT_SHORT, "", 6);
    SetTag(data, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, EXIF_FORMAT_ASCII, "2024:05:06 07:08:09", 0);
    SetTag(data, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, EXIF_FORMAT_SHORT, "", kWidth);
    SetTag(data, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, EXIF_FORMAT_SHORT, "", kHeight);
    data->data = static_cast<unsigned char *>(calloc(1, 64));  // a thumbnail's bytes
    data->size = 64;
    unsigned char *saved = nullptr;
    unsigned size = 0;
    exif_data_save_data(data, &saved, &size);
    std::string block(reinterpret_cast<char *>(saved) + 6, size - 6);
    free(saved);
    exif_data_unref(data);
    return block;
}

// The photo: red left half, blue right half.
bool WriteJpeg(const QString &path, const std::string &exif, const std::string &xmp, const std::string &icc) {
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file) return false;
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    const std::string app1[] = {std::string("Exif\0\0", 6) + exif, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + xmp};
    for (const std::string &segment : app1)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(segment.data()), segment.size());
    jpeg_write_icc_profile(&cinfo, reinterpret_cast<const JOCTET *>(icc.data()), icc.size());
    uint8_t row[kWidth * 3];
    for (int x = 0; x < kWidth; ++x) {
        row[3 * x] = x < kWidth / 2 ? 200 : 0;
        row[3 * x + 1] = 0;
        row[3 * x + 2] = x < kWidth / 2 ? 0 : 200;
    }
    for (int y = 0; y < kHeight; ++y) {
        JSAMPROW line = row;
        jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return std::fclose(file) == 0;
}

// A 16-bit PNG with the same profile, EXIF block and XMP packet, written by libpng.
bool WritePng(const QString &path, const std::string &exif, const std::string &xmp, const std::string &icc) {
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, 4, 2, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_iCCP(png, info, "Adobe RGB", PNG_COMPRESSION_TYPE_BASE, reinterpret_cast<png_const_bytep>(icc.data()),
                 png_uint_32(icc.size()));
    png_set_eXIf_1(png, info, png_uint_32(exif.size()), reinterpret_cast<png_bytep>(const_cast<char *>(exif.data())));
    png_text text{};
    text.compression = PNG_ITXT_COMPRESSION_NONE;
    text.key = const_cast<char *>("XML:com.adobe.xmp");
    text.text = const_cast<char *>(xmp.c_str());
    png_set_text(png, info, &text, 1);
    png_write_info(png, info);
    uint8_t row[4 * 6] = {};
    for (int y = 0; y < 2; ++y) png_write_row(png, row);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

// What an output holds, as its format's library reads it.
struct Found {
    int width = 0, height = 0;
    std::string icc, exif, xmp;
};

Found ReadJpeg(const QString &path) {
    Found found;
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file) return found;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    found.width = int(cinfo.image_width);
    found.height = int(cinfo.image_height);
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        const std::string payload(reinterpret_cast<char *>(m->data), m->data_length);
        if (payload.starts_with(std::string("Exif\0\0", 6))) found.exif = payload.substr(6);
        if (payload.starts_with("http://ns.adobe.com/xap/1.0/")) found.xmp = payload.substr(29);
    }
    JOCTET *icc = nullptr;
    unsigned size = 0;
    if (jpeg_read_icc_profile(&cinfo, &icc, &size)) found.icc.assign(reinterpret_cast<char *>(icc), size);
    free(icc);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
    return found;
}

Found ReadWebp(const QString &path) {
    Found found;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return found;
    const QByteArray bytes = file.readAll();
    const WebPData data{reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())};
    WebPMux *mux = WebPMuxCreate(&data, 0);
    if (!mux) return found;
    WebPMuxGetCanvasSize(mux, &found.width, &found.height);
    const std::pair<const char *, std::string *> chunks[] = {{"ICCP", &found.icc}, {"EXIF", &found.exif}, {"XMP ", &found.xmp}};
    for (const auto &[fourcc, into] : chunks) {
        WebPData chunk{};
        if (WebPMuxGetChunk(mux, fourcc, &chunk) == WEBP_MUX_OK) into->assign(reinterpret_cast<const char *>(chunk.bytes), chunk.size);
    }
    WebPMuxDelete(mux);
    return found;
}

Found ReadTiff(const QString &path) {
    Found found;
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff) return found;
    uint32_t w = 0, h = 0, size = 0;
    void *bytes = nullptr;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &h);
    found.width = int(w);
    found.height = int(h);
    if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &size, &bytes)) found.icc.assign(static_cast<char *>(bytes), size);
    if (TIFFGetField(tiff, TIFFTAG_XMLPACKET, &size, &bytes)) found.xmp.assign(static_cast<char *>(bytes), size);
    TIFFClose(tiff);
    return found;
}

// The BMP's own header: a V5 header names an embedded profile by its offset from the header.
Found ReadBmp(const QString &path) {
    Found found;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return found;
    const QByteArray b = file.readAll();
    const auto u32 = [&](int at) { return at + 4 <= b.size() ? qFromLittleEndian<uint32_t>(b.constData() + at) : 0u; };
    found.width = int(u32(18));
    found.height = std::abs(int(u32(22)));
    if (u32(14) >= 124 && u32(14 + 56) == 0x4D424544 /* 'MBED' */)
        found.icc = b.mid(14 + u32(14 + 112), u32(14 + 116)).toStdString();
    return found;
}

// The EXIF as libexif reads it: orientation, the pixel-dimension tags and the camera's name.
struct ExifSays {
    int orientation = 0;  // 0: none
    uint32_t pixelX = 0, pixelY = 0;
    std::string make;
    bool thumbnail = false;
};
ExifSays ReadExif(const std::string &block) {
    ExifSays says;
    const std::string bytes = std::string("Exif\0\0", 6) + block;
    ExifData *data = exif_data_new_from_data(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    if (!data) return says;
    const ExifByteOrder order = exif_data_get_byte_order(data);
    auto number = [&](ExifIfd ifd, ExifTag tag) -> uint32_t {
        ExifEntry *e = exif_content_get_entry(data->ifd[ifd], tag);
        if (!e) return 0;
        return e->format == EXIF_FORMAT_SHORT ? exif_get_short(e->data, order) : exif_get_long(e->data, order);
    };
    says.orientation = int(number(EXIF_IFD_0, EXIF_TAG_ORIENTATION));
    says.pixelX = number(EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION);
    says.pixelY = number(EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION);
    if (ExifEntry *e = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_MAKE))
        says.make.assign(reinterpret_cast<char *>(e->data), strnlen(reinterpret_cast<char *>(e->data), e->size));
    says.thumbnail = data->size > 0;
    exif_data_unref(data);
    return says;
}

struct RunResult {
    int exitCode = -1;
    QString err;
};

class Metadata : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        for (const char *kind : {"input", "output"}) {
            ASSERT_TRUE(QDir().mkpath(Path(QString("plugins/") + kind)));
            for (const QString &name : QDir(kBuildDir + "/bin/plugins/" + kind).entryList({"*.so"}))
                ASSERT_TRUE(QFile::link(kBuildDir + "/bin/plugins/" + kind + "/" + name,
                                        Path(QString("plugins/") + kind + "/" + name)));
        }
        ASSERT_TRUE(QFile::link(QStringLiteral(FALTRIX_HOSTILE_PLUGIN), Path("plugins/input/hostile.so")));
        ASSERT_TRUE(WriteJpeg(Path("photo.jpg"), CameraExif(), kXmp, icc_));
        ASSERT_TRUE(WritePng(Path("photo16.png"), CameraExif(), kXmp, icc_));
    }
    QString Path(const QString &name) const { return dir_.filePath(name); }

    RunResult Run(QStringList arguments) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("FALTRIX_PLUGIN_DIR", "plugins");
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir_.path());
        process.start(kBuildDir + "/bin/faltrix-convert", arguments);
        const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
        return {ended ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardError())};
    }

    const std::string icc_ = AdobeRgbProfile();
    QTemporaryDir dir_;
};

// ---- every block into every format that holds it ---------------------------------------------

struct OutputCase {
    const char *name;
    const char *extension;
    Found (*read)(const QString &);
    bool exif, xmp;  // the format keeps them (the profile: all of these)
    QStringList arguments;
    int width, height;  // the stored size
};

class MetadataOutput : public Metadata, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(MetadataOutput, KeepsEveryBlockItHoldsUpright) {
    const OutputCase &c = GetParam();
    const QString out = Path(QString("out.") + c.extension);
    const RunResult run = Run(QStringList{"photo.jpg", "-o", out} + c.arguments);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const Found found = c.read(out);
    EXPECT_EQ(QSize(found.width, found.height), QSize(c.width, c.height));
    EXPECT_TRUE(found.icc == icc_) << "profile of " << found.icc.size() << " bytes";
    EXPECT_EQ(found.xmp, c.xmp ? kXmp : std::string());
    if (!c.exif) {
        EXPECT_EQ(found.exif, "");
        return;
    }
    const ExifSays exif = ReadExif(found.exif);
    EXPECT_EQ(exif.orientation, 1);
    EXPECT_EQ(exif.make, "Camera");
    EXPECT_EQ(QSize(int(exif.pixelX), int(exif.pixelY)), QSize(c.width, c.height));
    EXPECT_FALSE(exif.thumbnail);
    EXPECT_FALSE(run.err.contains("keeps no")) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, MetadataOutput,
    ::testing::Values(OutputCase{"Jpeg", "jpg", ReadJpeg, true, true, {}, kHeight, kWidth},
                      OutputCase{"JpegResized", "jpg", ReadJpeg, true, true, {"-W", "8"}, 8, 16},
                      OutputCase{"Webp", "webp", ReadWebp, true, true, {}, kHeight, kWidth},
                      OutputCase{"Tiff", "tif", ReadTiff, false, true, {}, kHeight, kWidth},
                      OutputCase{"Bmp", "bmp", ReadBmp, false, false, {}, kHeight, kWidth}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- what the converter says -------------------------------------------------------------------

struct WarningCase {
    const char *name;
    QStringList arguments;  // a first argument of tests/data is copied in under its own name
    QStringList said;      // each a line of standard error
    bool profileKept;      // the JPEG output holds the profile
    bool exifKept;
};

class MetadataWarning : public Metadata, public ::testing::WithParamInterface<WarningCase> {};

TEST_P(MetadataWarning, OneLinePerKindAndExitZero) {
    const WarningCase &c = GetParam();
    ASSERT_TRUE(QFile::copy(Path("photo.jpg"), Path("meta.hostile")));
    QStringList arguments = c.arguments;
    if (arguments[0].contains(u'/')) {
        const QString name = QFileInfo(arguments[0]).fileName();
        ASSERT_TRUE(QFile::copy(FALTRIX_TEST_DATA_DIR "/" + arguments[0], Path(name)));
        arguments[0] = name;
    }
    const RunResult run = Run(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err.toStdString(), c.said.isEmpty() ? "" : (c.said.join(u'\n') + u'\n').toStdString());
    if (!arguments.contains("out.jpg")) return;
    const Found found = ReadJpeg(Path("out.jpg"));
    EXPECT_EQ(found.icc.empty(), !c.profileKept);
    EXPECT_EQ(found.exif.empty(), !c.exifKept);
}

const QString kPhotoWarning = "faltrix-convert: photo.jpg: warning: ";
const QString kHostileWarning = "faltrix-convert: meta.hostile: warning: ";

INSTANTIATE_TEST_SUITE_P(
    Cases, MetadataWarning,
    ::testing::Values(
        WarningCase{"GifKeepsNone",
                    {"photo.jpg", "-o", "out.gif"},
                    {kPhotoWarning + "the output format keeps no EXIF", kPhotoWarning + "the output format keeps no XMP",
                     kPhotoWarning + "the output format keeps no colour profile; the colours were converted to sRGB"},
                    false, false},
        WarningCase{"PngReadsProfileExifXmpAndDepth",
                    {"photo16.png", "-o", "out.jpg"},
                    {"faltrix-convert: photo16.png: warning: reduced 16 to 8 bits per sample"},
                    true, true},
        WarningCase{"GifFrames", {"gif/layouts/two-frames-first-shown.gif", "-o", "out.bmp"},
                    {"faltrix-convert: two-frames-first-shown.gif: warning: kept frame 1 of 2"}, false, false},
        WarningCase{"WebpFrames", {"webp/layouts/animation-red-then-blue.webp", "-o", "out.bmp"},
                    {"faltrix-convert: animation-red-then-blue.webp: warning: kept frame 1 of 2"}, false, false},
        WarningCase{"TiffDepth", {"tiff/layouts/rgb-16-rounded-to-8.tif", "-o", "out.bmp"},
                    {"faltrix-convert: rgb-16-rounded-to-8.tif: warning: reduced 16 to 8 bits per sample"}, false, false},
        WarningCase{"QuietHidesThem", {"-q", "photo.jpg", "-o", "out.gif"}, {}, false, false},
        WarningCase{"StripDropsAllSilently", {"--strip", "photo.jpg", "-o", "out.jpg"}, {}, false, false},
        WarningCase{"StripOnlyExif", {"--strip-only", "exif", "photo.jpg", "-o", "out.jpg"}, {}, true, false},
        WarningCase{"DamagedItemsAreDroppedThePixelsConverted",
                    {"meta.hostile", "-o", "out.jpg"},
                    {kHostileWarning + "kept frame 1 of 5", kHostileWarning + "reduced 16 to 8 bits per sample",
                     kHostileWarning + "dropped the EXIF block, larger than 16 MiB",
                     kHostileWarning + "dropped an alpha mask",
                     kHostileWarning + "dropped the colour profile, which is cut short or malformed"},
                    false, false}),
    [](const auto &info) { return std::string(info.param.name); });

// The GIF's pixels were turned to sRGB: the profile's red is more saturated than sRGB's, so
// the stored red differs from the file's numbers.
TEST_F(Metadata, ProfileThatCannotGoConvertsThePixels) {
    ASSERT_EQ(Run({"-q", "photo.jpg", "-o", "kept.bmp"}).exitCode, 0);
    ASSERT_EQ(Run({"-q", "--strip", "photo.jpg", "-o", "srgb.bmp"}).exitCode, 0);
    const QImage kept(Path("kept.bmp")), srgb(Path("srgb.bmp"));
    ASSERT_EQ(kept.size(), srgb.size());
    EXPECT_GT(qRed(srgb.pixel(8, 2)) - qRed(kept.pixel(8, 2)), 10);
    EXPECT_TRUE(ReadBmp(Path("srgb.bmp")).icc.empty());
    // The BMP's profile read back by its input plug-in goes on into a JPEG.
    ASSERT_EQ(Run({"-q", "kept.bmp", "-o", "again.jpg"}).exitCode, 0);
    EXPECT_TRUE(ReadJpeg(Path("again.jpg")).icc == icc_);
}

}  // namespace
