#include "read_back.h"

#include <jpeglib.h>
#include <lcms2.h>
#include <tiffio.h>
#include <webp/mux.h>
#include <zlib.h>
#ifdef FALTRIX_TEST_HEIF
#include <libheif/heif.h>
#endif
#ifdef FALTRIX_TEST_JXL
#include <jxl/decode.h>
#endif

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtEndian>
#include <cstdio>
#include <cstdlib>

namespace faltrix::testing {

namespace {

const QString kBuildDir =
    qEnvironmentVariable("FALTRIX_BUILD_DIR", QStringLiteral(FALTRIX_TEST_BUILD_DIR));
const std::string kExifSignature("Exif\0\0", 6), kXmpSignature("http://ns.adobe.com/xap/1.0/");

std::string Inflated(const QByteArray &packed) {
    std::string out(16 << 20, '\0');
    uLongf size = uLongf(out.size());
    if (uncompress(reinterpret_cast<Bytef *>(out.data()), &size,
                   reinterpret_cast<const Bytef *>(packed.constData()),
                   uLong(packed.size())) != Z_OK)
        return {};
    return out.substr(0, size);
}

}  // namespace

QByteArray Bytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::string ProfileBytes(void *profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

std::string AdobeRgbProfile() {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    const std::string bytes = ProfileBytes(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(gamma);
    return bytes;
}

void WriteJpegFile(const QString &path, int width, int height, bool grey,
                   const std::function<uint8_t(int, int, int)> &pixel, const std::string &icc,
                   const std::vector<std::string> &app1) {
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "wb");
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    for (const std::string &segment : app1)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(segment.data()),
                          unsigned(segment.size()));
    jpeg_write_icc_profile(&cinfo, reinterpret_cast<const JOCTET *>(icc.data()),
                           unsigned(icc.size()));
    std::vector<uint8_t> row(size_t(width) * cinfo.input_components);
    for (int y = 0; y < height; ++y) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = pixel(int(i) / cinfo.input_components, y, int(i) % cinfo.input_components);
        JSAMPROW line = row.data();
        jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

ReadBack ReadJpeg(const QString &path) {
    ReadBack found;
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file) return found;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    for (int marker : {JPEG_APP0 + 1, JPEG_APP0 + 2}) jpeg_save_markers(&cinfo, marker, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    found.read = true;
    found.width = int(cinfo.image_width);
    found.height = int(cinfo.image_height);
    found.grey = cinfo.num_components == 1;
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        const std::string payload(reinterpret_cast<char *>(m->data), m->data_length);
        if (payload.starts_with(kExifSignature)) found.exif = payload.substr(6);
        if (payload.starts_with(kXmpSignature)) found.xmp = payload.substr(29);
    }
    JOCTET *icc = nullptr;
    unsigned size = 0;
    if (jpeg_read_icc_profile(&cinfo, &icc, &size))
        found.icc.assign(reinterpret_cast<char *>(icc), size);
    free(icc);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
    return found;
}

ReadBack ReadPng(const QString &path) {
    ReadBack found;
    const QByteArray b = Bytes(path);
    if (b.size() < 33 || !b.startsWith("\x89PNG")) return found;
    found.read = true;
    found.width = int(qFromBigEndian<quint32>(b.constData() + 16));
    found.height = int(qFromBigEndian<quint32>(b.constData() + 20));
    found.grey = (uint8_t(b[25]) & 2) == 0 && uint8_t(b[25]) != 3;  // no colour, no palette
    for (qsizetype at = 8; at + 12 <= b.size();) {
        const qsizetype length = qFromBigEndian<quint32>(b.constData() + at);
        const QByteArray type = b.mid(at + 4, 4), body = b.mid(at + 8, length);
        const qsizetype zero = body.indexOf('\0');
        if (type == "iCCP") found.icc = Inflated(body.mid(zero + 2));
        if (type == "eXIf") found.exif = body.toStdString();
        if (type == "iTXt" && body.left(zero) == "XML:com.adobe.xmp") {
            // flag, method, language and translated keyword, each ended by a zero
            const bool packed = body[zero + 1] != 0;
            const qsizetype text = body.indexOf('\0', body.indexOf('\0', zero + 3) + 1) + 1;
            found.xmp = packed ? Inflated(body.mid(text)) : body.mid(text).toStdString();
        }
        at += 12 + length;
    }
    return found;
}

ReadBack ReadTiff(const QString &path) {
    ReadBack found;
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff) return found;
    found.read = true;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &found.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &found.height);
    uint16_t photometric = 0, orientation = 0;
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    found.grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
    for (const auto &[tag, into] :
         {std::pair{TIFFTAG_ICCPROFILE, &found.icc}, {TIFFTAG_XMLPACKET, &found.xmp}}) {
        uint32_t size = 0;
        void *bytes = nullptr;
        if (TIFFGetField(tiff, tag, &size, &bytes)) into->assign(static_cast<char *>(bytes), size);
    }
    uint64_t exif = 0;
    uint32_t x = 0, y = 0;
    char *date = nullptr;
    TIFFGetField(tiff, TIFFTAG_ORIENTATION, &orientation);
    if (TIFFGetField(tiff, TIFFTAG_EXIFIFD, &exif) && TIFFReadEXIFDirectory(tiff, exif) &&
        TIFFGetField(tiff, EXIFTAG_PIXELXDIMENSION, &x) &&
        TIFFGetField(tiff, EXIFTAG_PIXELYDIMENSION, &y) &&
        TIFFGetField(tiff, EXIFTAG_DATETIMEORIGINAL, &date))
        found.exifSaid = (orientation == 1 ? "orientation Top-left, " : "orientation ?, ") +
                         std::to_string(x) + " x " + std::to_string(y) + ", date " + date +
                         ", thumbnail 0 bytes";
    TIFFClose(tiff);
    return found;
}

ReadBack ReadWebp(const QString &path) {
    ReadBack found;
    const QByteArray bytes = Bytes(path);
    const WebPData data{reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())};
    WebPMux *mux = WebPMuxCreate(&data, 0);
    if (!mux) return found;
    found.read = true;
    WebPMuxGetCanvasSize(mux, &found.width, &found.height);
    for (const auto &[fourcc, into] :
         {std::pair{"ICCP", &found.icc}, {"EXIF", &found.exif}, {"XMP ", &found.xmp}}) {
        WebPData chunk{};
        if (WebPMuxGetChunk(mux, fourcc, &chunk) == WEBP_MUX_OK)
            into->assign(reinterpret_cast<const char *>(chunk.bytes), chunk.size);
    }
    WebPMuxDelete(mux);
    return found;
}

// A V5 header names an embedded ('MBED') profile by its offset from the header and its size;
// the pixels are grey when a palette of grey entries holds them.
ReadBack ReadBmp(const QString &path) {
    ReadBack found;
    const QByteArray b = Bytes(path);
    const auto u32 = [&](qsizetype at) {
        return at + 4 <= b.size() ? qFromLittleEndian<quint32>(b.constData() + at) : 0u;
    };
    if (!b.startsWith("BM") || b.size() < 54) return found;
    found.read = true;
    found.width = int(u32(18));
    found.height = std::abs(int(u32(22)));
    const quint32 header = u32(14), bits = qFromLittleEndian<quint16>(b.constData() + 28);
    if (bits <= 8) {
        const quint32 used = u32(46) ? u32(46) : 1u << bits;
        found.grey = true;
        for (quint32 i = 0; i < used; ++i) {
            const char *q = b.constData() + 14 + header + 4 * i;
            found.grey = found.grey && q[0] == q[1] && q[1] == q[2];
        }
    }
    if (header == 124 && u32(70) == 0x4D424544)
        found.icc = b.mid(14 + u32(126), u32(130)).toStdString();
    return found;
}

ReadBack ReadGif(const QString &path) {
    ReadBack found;
    found.read = Bytes(path).startsWith("GIF8");
    return found;
}

#ifdef FALTRIX_TEST_HEIF
ReadBack ReadHeif(const QString &path) {
    ReadBack found;
    heif_context *context = heif_context_alloc();
    heif_image_handle *handle = nullptr;
    if (heif_context_read_from_file(context, QFile::encodeName(path).constData(), nullptr).code ==
            heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok) {
        found.read = true;
        // A monochrome picture has no chroma planes.
        found.grey = heif_image_handle_get_chroma_bits_per_pixel(handle) <= 0;
        if (heif_image_handle_get_color_profile_type(handle) == heif_color_profile_type_prof) {
            found.icc.resize(heif_image_handle_get_raw_color_profile_size(handle));
            heif_image_handle_get_raw_color_profile(handle, found.icc.data());
        }
        heif_image_handle_release(handle);
    }
    heif_context_free(context);
    return found;
}
#else
ReadBack ReadHeif(const QString &) { return {}; }
#endif

#ifdef FALTRIX_TEST_JXL
ReadBack ReadJxl(const QString &path) {
    ReadBack found;
    const QByteArray bytes = Bytes(path);
    JxlDecoder *decoder = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(decoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING);
    JxlDecoderSetInput(decoder, reinterpret_cast<const uint8_t *>(bytes.constData()),
                       size_t(bytes.size()));
    JxlDecoderCloseInput(decoder);
    const auto target = JXL_COLOR_PROFILE_TARGET_ORIGINAL;
    for (JxlDecoderStatus status = JxlDecoderProcessInput(decoder);
         status != JXL_DEC_ERROR && status != JXL_DEC_SUCCESS && status != JXL_DEC_NEED_MORE_INPUT;
         status = JxlDecoderProcessInput(decoder)) {
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            JxlDecoderGetBasicInfo(decoder, &info);
            found.grey = info.num_color_channels == 1;
            found.width = int(info.xsize);
            found.height = int(info.ysize);
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            found.read = true;
            JxlColorEncoding encoding;
            size_t size = 0;
            if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, target, &encoding) !=
                    JXL_DEC_SUCCESS &&
                JxlDecoderGetICCProfileSize(decoder, nullptr, target, &size) == JXL_DEC_SUCCESS) {
                found.icc.resize(size);
                JxlDecoderGetColorAsICCProfile(decoder, nullptr, target,
                                               reinterpret_cast<uint8_t *>(found.icc.data()), size);
            }
            break;
        }
    }
    JxlDecoderDestroy(decoder);
    return found;
}
#else
ReadBack ReadJxl(const QString &) { return {}; }
#endif

void ConverterFolder::SetUp() {
    ASSERT_TRUE(dir_.isValid());
    for (const QString kind : {"input", "output"}) {
        ASSERT_TRUE(QDir().mkpath(Path("plugins/" + kind)));
        for (const QString &name : QDir(kBuildDir + "/bin/plugins/" + kind).entryList({"*.so"}))
            ASSERT_TRUE(QFile::link(kBuildDir + "/bin/plugins/" + kind + "/" + name,
                                    Path("plugins/" + kind + "/" + name)));
    }
}

std::pair<int, QString> ConverterFolder::Convert(const QStringList &arguments,
                                                 const QString &folder, int timeoutMs) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FALTRIX_PLUGIN_DIR", Path("plugins"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(folder.isEmpty() ? dir_.path() : folder);
    process.start(kBuildDir + "/bin/faltrix-convert", arguments);
    const bool ended =
        process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardError())};
}

}  // namespace faltrix::testing
