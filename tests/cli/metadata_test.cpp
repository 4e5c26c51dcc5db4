// What a photo holds besides its pixels, through faltrix-convert and the bundled plug-ins of
// this build: a JPEG with an Adobe RGB profile, EXIF (orientation 6, a date, a thumbnail) and
// XMP is made with libjpeg, libexif and Little CMS, converted, and each output is read back
// with its format's own library and libexif. The hostile test plug-in hands over bad items.
#include <gtest/gtest.h>

#include <lcms2.h>
#include <libexif/exif-data.h>
#include <png.h>
#include <tiffio.h>
#include <webp/mux.h>

#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTransform>
#include <QtEndian>
#include <cstdio>
#include <string>

#include "bundled_plugins.h"
#include "read_back.h"

namespace {

using namespace faltrix::testing;
using Found = ReadBack;
using Args = QStringList;
constexpr int kWidth = 32, kHeight = 16;  // as stored; shown turned a quarter, 16 x 32
const std::string kXmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF/></x:xmpmeta>";
const std::string kExifSignature("Exif\0\0", 6);

// A block without "Exif\0\0" as libexif reads it, and back.
ExifData *ParsedExif(const std::string &block) {
    const std::string bytes = kExifSignature + block;
    return exif_data_new_from_data(reinterpret_cast<const unsigned char *>(bytes.data()),
                                   unsigned(bytes.size()));
}
std::string SavedExif(ExifData *data) {
    unsigned char *saved = nullptr;
    unsigned size = 0;
    exif_data_save_data(data, &saved, &size);
    const std::string block(reinterpret_cast<char *>(saved) + 6, size - 6);
    free(saved);
    exif_data_unref(data);
    return block;
}

// An entry's value as libexif words it; "none" when it is not there.
std::string ExifValue(ExifData *data, ExifIfd ifd, ExifTag tag) {
    char text[64] = "none";
    if (ExifEntry *e = exif_content_get_entry(data->ifd[ifd], tag))
        exif_entry_get_value(e, text, sizeof text);
    return std::string(text);
}

// A camera's block, without "Exif\0\0": the orientation (6 unless given), the date (libexif's
// default: now), the stored size and a thumbnail's bytes.
std::string CameraExif(uint32_t orientation = 6) {
    ExifData *data = exif_data_new();
    exif_data_set_byte_order(data, EXIF_BYTE_ORDER_MOTOROLA);
    const std::tuple<ExifIfd, ExifTag, uint32_t> tags[] = {
        {EXIF_IFD_0, EXIF_TAG_ORIENTATION, orientation},
        {EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, 0},
        {EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, kWidth},
        {EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, kHeight}};
    for (const auto &[ifd, tag, value] : tags) {
        ExifEntry *entry = exif_entry_new();
        exif_content_add_entry(data->ifd[ifd], entry);
        exif_entry_initialize(entry, tag);
        if (entry->format == EXIF_FORMAT_SHORT)
            exif_set_short(entry->data, EXIF_BYTE_ORDER_MOTOROLA, uint16_t(value));
        if (entry->format == EXIF_FORMAT_LONG)
            exif_set_long(entry->data, EXIF_BYTE_ORDER_MOTOROLA, value);
        exif_entry_unref(entry);
    }
    data->data = static_cast<unsigned char *>(calloc(1, 64));
    data->size = 64;
    return SavedExif(data);
}

// The block as libexif reads it: "orientation O, X x Y, date D, thumbnail N bytes".
std::string ExifSays(const std::string &block) {
    ExifData *data = ParsedExif(block);
    const auto value = [&](ExifIfd ifd, ExifTag tag) { return ExifValue(data, ifd, tag); };
    const std::string said = "orientation " + value(EXIF_IFD_0, EXIF_TAG_ORIENTATION) + ", " +
                             value(EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION) + " x " +
                             value(EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION) + ", date " +
                             value(EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL) + ", thumbnail " +
                             std::to_string(data->size) + " bytes";
    exif_data_unref(data);
    return said;
}

// The photo: red left half, blue right half.
void WriteJpeg(const QString &path, const std::string &exif, const std::string &icc) {
    WriteJpegFile(
        path, kWidth, kHeight, false,
        [](int x, int, int c) { return uint8_t(c == (x < kWidth / 2 ? 0 : 2) ? 200 : 0); }, icc,
        {kExifSignature + exif, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + kXmp});
}

class Metadata : public ConverterFolder {
protected:
    void SetUp() override {
        ConverterFolder::SetUp();
        ASSERT_TRUE(
            QFile::link(QStringLiteral(FALTRIX_HOSTILE_PLUGIN), Path("plugins/input/hostile.so")));
        WriteJpeg(Path("photo.jpg"), exif_, icc_);
        // Qt writes the 16-bit PNG: iCCP from the colour space, the XMP packet as a text chunk.
        QImage png(4, 2, QImage::Format_RGBX64);
        png.fill(Qt::red);
        png.setColorSpace(QColorSpace::fromIccProfile(QByteArray::fromStdString(icc_)));
        png.setText("XML:com.adobe.xmp", QString::fromStdString(kXmp));
        ASSERT_TRUE(png.save(Path("photo16.png")));
    }

    // The exit code (-1: it did not end) and standard error of a run in the folder.
    std::pair<int, std::string> Run(const QStringList &arguments) {
        const auto [exitCode, stderrText] = Convert(arguments, {}, 120000);
        // Without the line libjxl's build prints for each failure, which it cannot be told not to.
        QStringList said = stderrText.split(u'\n');
        said.removeIf([](const QString &line) { return line.startsWith(u"./lib/jxl/"); });
        return {exitCode, said.join(u'\n').toStdString()};
    }

    const std::string icc_ = AdobeRgbProfile(), exif_ = CameraExif();
};

// ---- each block into each format that holds it -----------------------------------------------

struct OutputCase {
    const char *name;
    QStringList arguments;  // the output is out.<extension>
    Found (*read)(const QString &);
    const char *keeps = "icc exif xmp";
    int width = kHeight, height = kWidth;  // as stored: the photo upright
    int minRed = 0;  // of the upright picture's pixel (8, 2), read by Qt: more than 200 once sRGB
};

class MetadataOutput : public Metadata, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(MetadataOutput, KeepsEachBlockItHoldsWithThePicturesSizeUpright) {
    const OutputCase &c = GetParam();
    const QString made = c.arguments[0];
    if (QStringList{"photo.tif", "photo.heic", "photo.avif", "photo.jxl", "recompressed.jxl"}
            .contains(made)) {  // read back from an output of ours
        const QString plugin = made.endsWith(".jxl") ? "jxl" : "heif";
        if (!made.endsWith(".tif")) FALTRIX_SKIP_UNLESS_BUILT("input", plugin.toStdString());
        // recompressed.jxl holds the JPEG itself, its own EXIF (orientation 6) and all.
        const QStringList option = made.startsWith("recompressed")
                                       ? QStringList{"--option", "recompress-jpeg=1"}
                                       : QStringList{};
        ASSERT_EQ(Run(option + QStringList{"photo.jpg", "-o", made}).first, 0);
    }
    const auto [exitCode, said] = Run(c.arguments);
    ASSERT_EQ(exitCode, 0) << said;
    const QString out = Path(c.arguments.last());
    const Found found = c.read(out);
    const std::string keeps = c.keeps;
    EXPECT_EQ(QSize(found.width, found.height), QSize(c.width, c.height));
    EXPECT_EQ(found.icc == icc_, keeps.find("icc") != std::string::npos)
        << found.icc.size() << " bytes";
    EXPECT_EQ(found.xmp, keeps.find("xmp") != std::string::npos ? kXmp : "");
    // Upright, the stored size, the date as it was, no thumbnail.
    const std::string source = ExifSays(exif_), date = source.substr(source.find(", date"));
    const std::string upright = "orientation Top-left, " + std::to_string(c.width) + " x " +
                                std::to_string(c.height) +
                                date.substr(0, date.find(", thumbnail")) + ", thumbnail 0 bytes";
    EXPECT_EQ(found.exif.empty() ? found.exifSaid : ExifSays(found.exif),
              keeps.find("exif") != std::string::npos ? upright : "");
    if (c.minRed > 0) {
        EXPECT_GT(qRed(QImage(out).pixel(8, 2)), c.minRed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, MetadataOutput,
    ::testing::Values(
        OutputCase{"Jpeg", Args{"photo.jpg", "-o", "out.jpg"}, ReadJpeg},
        OutputCase{"JpegResized", Args{"photo.jpg", "-W", "8", "-o", "out.jpg"}, ReadJpeg,
                   "icc exif xmp", 8, 16},
        OutputCase{"Webp", Args{"photo.jpg", "-o", "out.webp"}, ReadWebp},
        OutputCase{"Tiff", Args{"photo.jpg", "-o", "out.tif"}, ReadTiff},
        OutputCase{"Png", Args{"photo.jpg", "-o", "out.png"}, ReadPng},
        OutputCase{"TiffRead", Args{"photo.tif", "-o", "out.jpg"}, ReadJpeg},
        // HEIC and AVIF come back through our own reader, as TIFF does.
        OutputCase{"HeicRead", Args{"photo.heic", "-o", "out.jpg"}, ReadJpeg},
        OutputCase{"AvifRead", Args{"photo.avif", "-o", "out.jpg"}, ReadJpeg},
        OutputCase{"JxlRead", Args{"photo.jxl", "-o", "out.jpg"}, ReadJpeg},
        OutputCase{"JxlRecompressedRead", Args{"recompressed.jxl", "-o", "out.jpg"}, ReadJpeg},
        OutputCase{"Bmp", Args{"photo.jpg", "-o", "out.bmp"}, ReadBmp, "icc"},
        OutputCase{"BmpStrippedInSrgb", Args{"--strip", "photo.jpg", "-o", "out.bmp"}, ReadBmp, "",
                   kHeight, kWidth, 225},
        OutputCase{"StripOnlyExif", Args{"--strip-only", "exif", "photo.jpg", "-o", "out.jpg"},
                   ReadJpeg, "icc xmp"},
        OutputCase{"PngRead", Args{"photo16.png", "-o", "out.jpg"}, ReadJpeg, "icc xmp", 4, 2}),
    [](const auto &info) { return std::string(info.param.name); });

// The shown picture for each orientation, as a viewer that honours it turns the stored one.
QImage Shown(const QImage &stored, uint32_t orientation) {
    const auto turned = [&](int degrees) {
        return stored.transformed(QTransform().rotate(degrees));
    };
    switch (orientation) {
    case 2: return stored.mirrored(true, false);
    case 3: return turned(180);
    case 4: return stored.mirrored(false, true);
    case 5: return turned(90).mirrored(true, false);
    case 6: return turned(90);
    case 7: return turned(90).mirrored(false, true);
    case 8: return turned(270);
    default: return stored;
    }
}

// A PNG or WebP whose EXIF gives an orientation is stored upright, and its EXIF and XMP both
// say 1 afterwards, so that no reader turns it again. A PNG's items after the pixel data are
// kept too; their orientation, which no size query sees, leaves the pixels as stored.
TEST_F(Metadata, EveryOrientationOfAPngOrWebpComesOutUpright) {
    const std::string xmp =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description "
        "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" "
        "tiff:Orientation=\"%\"/></rdf:RDF></x:xmpmeta>";
    const auto withOrientation = [&](uint32_t o) {
        std::string packet = xmp;
        return packet.replace(packet.find('%'), 1, std::to_string(o));
    };
    // 3 x 2 pictures of six colours by libpng, an eXIf chunk and the XMP packet before the pixels
    // (in items-after-the-pixels.png after them, compressed): tests/data/metadata/orientation.
    const QString data = FALTRIX_TEST_DATA_DIR "/metadata/orientation/";
    const QString turned = data + "turned-%1.png";
    const QImage stored = QImage(turned.arg(1)).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(Run({"-q", "--lossless", "--strip", turned.arg(1), "-o", "stored.webp"}).first, 0);
    // The lossless WebP of the same pixels with EXIF and XMP chunks giving the orientation.
    const auto writeWebpTurned = [&](const QString &path, uint32_t o) {
        const QByteArray plain = Bytes(Path("stored.webp"));
        const std::string exif = CameraExif(o), packet = withOrientation(o);
        const WebPData image{reinterpret_cast<const uint8_t *>(plain.constData()),
                             size_t(plain.size())};
        WebPMux *mux = WebPMuxCreate(&image, 1);
        const WebPData exifData{reinterpret_cast<const uint8_t *>(exif.data()), exif.size()};
        const WebPData xmpData{reinterpret_cast<const uint8_t *>(packet.data()), packet.size()};
        WebPMuxSetChunk(mux, "EXIF", &exifData, 1);
        WebPMuxSetChunk(mux, "XMP ", &xmpData, 1);
        WebPData assembled{};
        WebPMuxAssemble(mux, &assembled);
        QByteArray file(reinterpret_cast<const char *>(assembled.bytes), qsizetype(assembled.size));
        if (o == 8) {
            // A chunk of a writer's own before the picture, sized so that the picture ends just
            // before the first MiB and the EXIF chunk after it crosses it: the decoder has all
            // it needs before the chunks that follow are read.
            const int afterVp8x = 12 + 8 + 10;
            const uint32_t picture = qFromLittleEndian<uint32_t>(file.constData() + afterVp8x + 4);
            const int junkSize = (1 << 20) - afterVp8x - 8 - int(8 + picture + (picture & 1)) - 4;
            QByteArray junk = QByteArray("JUNK") + QByteArray(4, '\0') + QByteArray(junkSize, '\0');
            qToLittleEndian<uint32_t>(uint32_t(junkSize), junk.data() + 4);
            file.insert(afterVp8x, junk);
            const uint32_t riff = uint32_t(file.size() - 8);
            for (int i = 0; i < 4; ++i) file[4 + i] = char(riff >> (8 * i));
        }
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(file);
        WebPDataClear(&assembled);
        WebPMuxDelete(mux);
    };
    for (const QString format : {"png", "webp"}) {
        for (uint32_t o = 1; o <= 8; ++o) {
            const QString source = format == "png" ? turned.arg(o) : Path("turned.webp");
            if (format == "webp") writeWebpTurned(source, o);
            const auto [exitCode, said] = Run({"-q", "--overwrite", source, "-o", "out.png"});
            ASSERT_EQ(exitCode, 0) << said;
            EXPECT_EQ(QImage(Path("out.png")).convertToFormat(QImage::Format_RGB32),
                      Shown(stored, o))
                << format.toStdString() << o;
            const Found found = ReadPng(Path("out.png"));
            EXPECT_TRUE(ExifSays(found.exif).starts_with("orientation Top-left, "))
                << o << ": " << ExifSays(found.exif);
            EXPECT_EQ(found.xmp, withOrientation(1)) << format.toStdString() << o;
        }
    }
    // Where EXIF turns nothing, the XMP keeps its own orientation, for the readers that use it.
    ASSERT_EQ(Run({"-q", data + "xmp-turned-exif-not.png", "-o", "xmp-turns-out.png"}).first, 0);
    EXPECT_EQ(ReadPng(Path("xmp-turns-out.png")).xmp, withOrientation(6));
    const auto [exitCode, said] =
        Run({"-q", data + "items-after-the-pixels.png", "-o", "late.jpg"});
    ASSERT_EQ(exitCode, 0) << said;
    const Found late = ReadJpeg(Path("late.jpg"));
    EXPECT_EQ(QSize(late.width, late.height), QSize(3, 2));
    EXPECT_TRUE(ExifSays(late.exif).starts_with("orientation Top-left, 3 x 2, date "))
        << ExifSays(late.exif);
    EXPECT_EQ(late.xmp, withOrientation(1));
}

// The camera's block with what a TIFF keeps outside its EXIF directory: an artist, a Windows
// comment and a GPS directory (latitude 45 30' N); without the EXIF directory when asked.
std::string TaggedExif(bool exifDirectory) {
    ExifData *data = ParsedExif(CameraExif());
    while (!exifDirectory && data->ifd[EXIF_IFD_EXIF]->count > 0)
        exif_content_remove_entry(data->ifd[EXIF_IFD_EXIF], data->ifd[EXIF_IFD_EXIF]->entries[0]);
    const auto add = [&](ExifIfd ifd, ExifTag tag, ExifFormat format, const std::string &bytes) {
        ExifEntry *e = exif_entry_new();
        e->tag = tag;
        e->format = format;
        e->components = bytes.size() / exif_format_get_size(format);
        e->size = bytes.size();
        e->data = static_cast<unsigned char *>(malloc(bytes.size()));
        std::memcpy(e->data, bytes.data(), bytes.size());
        exif_content_add_entry(data->ifd[ifd], e);
        exif_entry_unref(e);
    };
    add(EXIF_IFD_0, EXIF_TAG_ARTIST, EXIF_FORMAT_ASCII, std::string("A. Painter", 11));
    add(EXIF_IFD_0, EXIF_TAG_XP_COMMENT, EXIF_FORMAT_BYTE, std::string("h\0i\0\0\0", 6));
    add(EXIF_IFD_GPS, ExifTag(0x0001), EXIF_FORMAT_ASCII, std::string("N", 2));
    std::string latitude(24, '\0');
    const uint32_t parts[6] = {45, 1, 30, 1, 0, 1};
    for (int i = 0; i < 6; ++i)
        exif_set_long(reinterpret_cast<unsigned char *>(latitude.data()) + 4 * i,
                      exif_data_get_byte_order(data), parts[i]);
    add(EXIF_IFD_GPS, ExifTag(0x0002), EXIF_FORMAT_RATIONAL, latitude);
    return SavedExif(data);
}

// A TIFF keeps the first directory's descriptive fields and the GPS directory, and gives them
// back when it is read, also from a block without an EXIF directory.
TEST_F(Metadata, TiffKeepsTheWholeExif) {
    for (const bool exifDirectory : {true, false}) {
        SCOPED_TRACE(exifDirectory ? "with an EXIF directory" : "without one");
        WriteJpeg(Path("tagged.jpg"), TaggedExif(exifDirectory), icc_);
        ASSERT_EQ(Run({"-q", "--overwrite", "tagged.jpg", "-o", "tagged.tif"}).first, 0);
        ASSERT_EQ(Run({"-q", "--overwrite", "tagged.tif", "-o", "back.jpg"}).first, 0);
        ExifData *data = ParsedExif(ReadJpeg(Path("back.jpg")).exif);
        EXPECT_EQ(ExifValue(data, EXIF_IFD_0, EXIF_TAG_ARTIST), "A. Painter");
        EXPECT_EQ(ExifValue(data, EXIF_IFD_0, EXIF_TAG_XP_COMMENT), "hi");
        EXPECT_EQ(ExifValue(data, EXIF_IFD_GPS, ExifTag(0x0001)), "N");
        // (libtiff keeps rationals as floating point: they come back over a million)
        EXPECT_EQ(ExifValue(data, EXIF_IFD_GPS, ExifTag(0x0002)), "45.000000, 30.000000, 0.000000");
        exif_data_unref(data);
    }
}

// The large block's entries as an output holds them: the description, the sides and the GPS
// version, read from the block or, in a TIFF, from libtiff's directories.
std::string LargeEntries(const std::string &exif) {
    if (kExifSignature.size() + exif.size() > 0xFFFE) return "too large for libexif";
    ExifData *data = ParsedExif(exif);
    std::string said;
    for (const auto &[ifd, tag] : {std::pair{EXIF_IFD_0, EXIF_TAG_IMAGE_DESCRIPTION},
                                   {EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION},
                                   {EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION},
                                   {EXIF_IFD_GPS, ExifTag(0)},
                                   {EXIF_IFD_EXIF, EXIF_TAG_MAKER_NOTE}})
        said += ExifValue(data, ifd, tag) + ";";
    exif_data_unref(data);
    return said;
}

std::string LargeEntriesInTiff(const QString &path) {
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    char *description = nullptr;
    uint64_t exif = 0, gps = 0;
    uint32_t x = 0, y = 0;
    uint8_t *version = nullptr;
    std::string said =
        TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description) ? description : "none";
    TIFFGetField(tiff, TIFFTAG_GPSIFD, &gps);
    if (TIFFGetField(tiff, TIFFTAG_EXIFIFD, &exif) && TIFFReadEXIFDirectory(tiff, exif) &&
        TIFFGetField(tiff, EXIFTAG_PIXELXDIMENSION, &x) &&
        TIFFGetField(tiff, EXIFTAG_PIXELYDIMENSION, &y))
        said += ";" + std::to_string(x) + ";" + std::to_string(y);
    if (gps != 0 && TIFFReadGPSDirectory(tiff, gps) &&
        TIFFGetField(tiff, GPSTAG_VERSIONID, &version))
        said += ";" + std::to_string(version[0]) + "." + std::to_string(version[1]);
    TIFFClose(tiff);
    return said;
}

// EXIF past what libexif reads keeps every byte in each output that holds so large a block
// (only the orientation and the sizes change, in place), and every entry in a TIFF. A JPEG,
// whose EXIF segment holds 64 KiB, gets the block rebuilt without the padding; with a maker
// note that alone does not fit, without the maker note, and says so. The block of
// tests/data/metadata/orientation/large-exif*.png has 70,000 bytes, little-endian: IFD0 with
// orientation 6, a description whose text lies past 64 KiB, and links to the EXIF directory
// (the picture 3 x 2 as stored, and a maker note of 65,600 bytes in -with-maker-note) and to a
// GPS directory (version 2.2); the rest is padding.
TEST_F(Metadata, LargeExifKeepsEveryEntry) {
    for (const bool makerNote : {false, true}) {
        QFile::remove(Path("large.png"));
        ASSERT_TRUE(QFile::copy(FALTRIX_TEST_DATA_DIR "/metadata/orientation/large-exif" +
                                    QString(makerNote ? "-with-maker-note.png" : ".png"),
                                Path("large.png")));
        std::string expected = ReadPng(Path("large.png")).exif;
        ASSERT_EQ(expected.size(), 70000u);
        expected[22 + 8] = 1;  // orientation 1, and the sides of the picture turned upright
        expected[102 + 8] = 2;
        expected[114 + 8] = 3;
        for (const QString out : {"out.png", "out.webp", "out.tif", "out.jpg"}) {
            SCOPED_TRACE(out.toStdString() + (makerNote ? " with a maker note" : ""));
            const auto [exitCode, said] = Run({"--overwrite", "large.png", "-o", out});
            ASSERT_EQ(exitCode, 0) << said;
            if (out == "out.tif") {
                EXPECT_EQ(said, "");
                EXPECT_EQ(LargeEntriesInTiff(Path(out)), "far away text;2;3;2.2");
            } else if (out == "out.jpg") {
                const std::string note =
                    "faltrix-convert: large.png: warning: dropped MakerNote from the EXIF block, "
                    "which does not fit a JPEG's 64 KiB EXIF segment\n";
                EXPECT_EQ(said, makerNote ? note : "");
                EXPECT_EQ(LargeEntries(ReadJpeg(Path(out)).exif),
                          "far away text;2;3;2.2.0.0;none;");
            } else {
                const Found found = (out == "out.png" ? ReadPng : ReadWebp)(Path(out));
                EXPECT_TRUE(found.exif == expected);
                EXPECT_EQ(found.exif.substr(66000, 13), "far away text");
            }
        }
    }
}

// A GIF keeps no profile: its pixels are the source's as Little CMS renders them in sRGB.
TEST_F(Metadata, GifLooksLikeTheSrgbRendering) {
    ASSERT_EQ(Run({"photo.jpg", "-q", "-o", "out.gif"}).first, 0);
    QImageReader reader(Path("photo.jpg"));
    reader.setAutoTransform(true);  // shown turned, as the GIF is stored
    const QImage decoded = reader.read().convertToFormat(QImage::Format_RGB888);
    QImage expected = decoded;
    cmsHPROFILE source = cmsOpenProfileFromMem(icc_.data(), cmsUInt32Number(icc_.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM toSrgb =
        cmsCreateTransform(source, TYPE_RGB_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    for (int y = 0; y < decoded.height(); ++y)
        cmsDoTransform(toSrgb, decoded.constScanLine(y), expected.scanLine(y),
                       cmsUInt32Number(decoded.width()));
    cmsDeleteTransform(toSrgb);
    cmsCloseProfile(source);
    cmsCloseProfile(srgb);
    const QImage gif = QImage(Path("out.gif")).convertToFormat(QImage::Format_RGB888);
    ASSERT_EQ(gif.size(), expected.size());
    double difference = 0;
    for (int y = 0; y < gif.height(); ++y)
        for (int i = 0; i < 3 * gif.width(); ++i)
            difference += std::abs(gif.constScanLine(y)[i] - expected.constScanLine(y)[i]);
    EXPECT_LT(difference / (3.0 * gif.width() * gif.height()), 2.0);
}

// An output that fails while it holds items gets the picture once more without them, into a
// temporary of its own: the output holds only what the second try wrote, and nothing the
// first left is lying about.
TEST_F(Metadata, StoringFailedWithItemsIsTriedOnceMoreWithout) {
    ASSERT_TRUE(QFile::link(QStringLiteral(FALTRIX_HOSTILE_OUTPUT_PLUGIN),
                            Path("plugins/output/hostile.so")));
    const auto [exitCode, said] = Run({"photo.jpg", "-o", "out.picky"});
    EXPECT_EQ(exitCode, 0) << said;
    EXPECT_EQ(Bytes(Path("out.picky")), "mine");
    EXPECT_EQ(said,
              "faltrix-convert: photo.jpg: warning: stored without the colour profile, EXIF and "
              "XMP, since storing failed with them (cannot store the items); the colours were "
              "converted to sRGB\n");
    EXPECT_EQ(QDir(dir_.path()).entryList({"*.picky*", ".*picky*"}, QDir::Files | QDir::Hidden),
              QStringList{"out.picky"});
}

// ---- a JPEG stored as itself -------------------------------------------------------------------

struct SourceCase {
    const char *name;
    QStringList arguments;  // before "-o out.jxl"
    bool rebuilt;           // the output holds what rebuilds the JPEG
};

class JpegSource : public Metadata, public ::testing::WithParamInterface<SourceCase> {};

// The JPEG XL output, asked to, gets the JPEG's bytes only when the picture is stored as
// decoded, and djxl then gives them back byte for byte.
TEST_P(JpegSource, HandedOverOnlyWhenStoredAsDecoded) {
    const SourceCase &c = GetParam();
    FALTRIX_SKIP_UNLESS_BUILT("output", "jxl");
    QStringList arguments = c.arguments;
    if (arguments.last().contains(u'/')) {  // of tests/data, copied in
        ASSERT_TRUE(QFile::copy(FALTRIX_TEST_DATA_DIR "/" + arguments.last(), Path("source.jpg")));
        arguments.last() = "source.jpg";
    }
    const auto [exitCode, said] = Run(arguments + QStringList{"-o", "out.jxl"});
    ASSERT_EQ(exitCode, 0) << said;
    QFile out(Path("out.jxl")), photo(Path("photo.jpg"));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly) && photo.open(QIODevice::ReadOnly));
    EXPECT_EQ(out.readAll().contains("jbrd"), c.rebuilt);
    const QString djxl = QStandardPaths::findExecutable("djxl");
    if (!c.rebuilt || djxl.isEmpty()) return;
    ASSERT_EQ(QProcess::execute(djxl, {Path("out.jxl"), Path("back.jpg"), "--quiet"}), 0);
    QFile back(Path("back.jpg"));
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    EXPECT_EQ(back.readAll(), photo.readAll());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JpegSource,
    ::testing::Values(
        SourceCase{"AsDecoded", Args{"--option", "recompress-jpeg=1", "photo.jpg"}, true},
        SourceCase{"OptionOff", Args{"photo.jpg"}, false},
        SourceCase{"Resized", Args{"--option", "recompress-jpeg=1", "photo.jpg", "-W", "8"}, false},
        SourceCase{"Stripped",
                   Args{"--option", "recompress-jpeg=1", "--strip-only", "xmp", "photo.jpg"},
                   false},
        SourceCase{"NotAJpeg", Args{"--option", "recompress-jpeg=1", "photo16.png"}, false},
        // libjxl cannot store a CMYK JPEG as itself: its pixels are stored.
        SourceCase{"CmykFromPixels",
                   Args{"--option", "recompress-jpeg=1", "jpeg/layouts/adobe-cmyk.jpg"}, false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- what the converter says -------------------------------------------------------------------

struct WarningCase {
    const char *name;
    QStringList arguments;  // a first argument of tests/data is copied in under its own name
    std::string said;  // standard error, "W: " standing for "faltrix-convert: <input>: warning: "
};

class MetadataWarning : public Metadata, public ::testing::WithParamInterface<WarningCase> {};

TEST_P(MetadataWarning, OneLinePerKindAndExitZero) {
    QStringList arguments = GetParam().arguments;
    const QString input = QFileInfo(arguments[0]).fileName();
    const QString format = arguments[0].section(u'/', 0, 0);
    if (format == "heif" || format == "jxl")
        FALTRIX_SKIP_UNLESS_BUILT("input", format.toStdString());
    const QString stored = arguments.last().section(u'.', -1);
    if (stored == "jp2" || stored == "exr")
        FALTRIX_SKIP_UNLESS_BUILT("output", stored.toStdString());
    if (arguments[0].contains(u'/')) {
        ASSERT_TRUE(QFile::copy(FALTRIX_TEST_DATA_DIR "/" + arguments[0], Path(input)));
    }
    arguments[0] = input;
    ASSERT_TRUE(QFile::copy(Path("photo.jpg"), Path("meta.hostile")));
    const QString expected = QString::fromStdString(GetParam().said)
                                 .replace("W: ", "faltrix-convert: " + input + ": warning: ");
    EXPECT_EQ(Run(arguments), std::pair(0, expected.toStdString()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetadataWarning,
    ::testing::Values(
        WarningCase{
            "GifKeepsNone", QStringList{"photo.jpg", "-o", "out.gif"},
            "W: the output format keeps no EXIF\nW: the output format keeps no XMP\n"
            "W: the output format keeps no colour profile; the colours were converted to sRGB\n"},
        WarningCase{"QuietHidesThem", Args{"photo.jpg", "-q", "-o", "out.gif"}, ""},
        WarningCase{"StripIsSilent", Args{"photo.jpg", "--strip", "-o", "out.gif"}, ""},
        WarningCase{"PngDepth", Args{"photo16.png", "-o", "out.webp"},
                    "W: reduced 16 to 8 bits per sample\n"},
        WarningCase{"PngDepthKept", Args{"photo16.png", "-o", "out.tif"}, ""},
        WarningCase{"GifFrames", Args{"gif/layouts/two-frames-first-shown.gif", "-o", "out.bmp"},
                    "W: kept frame 1 of 2\n"},
        // Formats of one picture that take deep samples through the sequence calls.
        WarningCase{"GifFramesToJpeg2000",
                    Args{"gif/layouts/two-frames-first-shown.gif", "-o", "out.jp2"},
                    "W: kept frame 1 of 2\n"},
        WarningCase{"WebpFramesToOpenExr",
                    Args{"webp/layouts/animation-red-then-blue.webp", "-o", "out.exr"},
                    "W: kept frame 1 of 2\n"},
        WarningCase{"WebpFrames",
                    Args{"webp/layouts/animation-red-then-blue.webp", "-o", "out.bmp"},
                    "W: kept frame 1 of 2\n"},
        WarningCase{"TiffDepth", Args{"tiff/layouts/rgb-16-rounded-to-8.tif", "-o", "out.bmp"},
                    "W: reduced 16 to 8 bits per sample\n"},
        WarningCase{"PngProfileLibpngRejects",
                    Args{"png/layouts/grey-profile-on-rgb-dropped.png", "-o", "out.bmp"},
                    "W: dropped the colour profile, which libpng rejects: profile 'grey': 'GRAY': "
                    "Gray color space not permitted on RGB PNG\n"},
        WarningCase{"TiffProfilePastTheEnd",
                    Args{"tiff/layouts/colour-profile-past-the-end.tif", "-o", "out.bmp"},
                    "W: dropped the colour profile, which the file cuts short\n"},
        // libtiff's complaint about a value out of range is a notice, not a failure.
        WarningCase{"TiffOrientationOutOfRange",
                    Args{"tiff/layouts/orientation-9-ignored.tif", "-o", "out.bmp"},
                    "W: dropped the Orientation value 9, which is out of range (taken as 1)\n"},
        WarningCase{"HeifDepth", Args{"heif/layouts/deep-10-bits-alpha.heic", "-o", "out.bmp"},
                    "W: reduced 10 to 8 bits per sample\n"},
        WarningCase{"HeifImages",
                    Args{"heif/layouts/two-images-red-then-blue.heic", "-o", "out.bmp"},
                    "W: kept frame 1 of 2\n"},
        WarningCase{"JxlDepth", Args{"jxl/layouts/deep-16-bits-alpha.jxl", "-o", "out.bmp"},
                    "W: reduced 16 to 8 bits per sample\n"},
        WarningCase{"JxlColours", Args{"jxl/layouts/adobe-rgb-in-xyb.jxl", "-o", "out.bmp"},
                    "W: dropped the colour profile: libjxl gives the pixels in sRGB\n"},
        WarningCase{"JxlFrames", Args{"jxl/layouts/animation-red-then-blue.jxl", "-o", "out.bmp"},
                    "W: kept frame 1 of 2\n"},
        WarningCase{"JxlExifCutShort", Args{"jxl/layouts/exif-box-cut-short.jxl", "-o", "out.bmp"},
                    "W: dropped the EXIF block, which the file cuts short\n"},
        WarningCase{"HeifColours", Args{"heif/layouts/bt2020-pq-colours.avif", "-o", "out.bmp"},
                    "W: dropped the colour description (primaries 9, transfer 16): the pixels are "
                    "taken as sRGB\n"},
        // An EXIF block past the limit and a profile cut short are dropped; the pixels convert.
        WarningCase{"HostileItems", Args{"meta.hostile", "-o", "out.jpg"},
                    "W: kept frame 1 of 5\nW: reduced 16 to 8 bits per sample\nW: dropped the EXIF "
                    "block, larger than 16 MiB\nW: dropped an alpha mask\nW: dropped the colour "
                    "profile, which is cut short or malformed\n"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
