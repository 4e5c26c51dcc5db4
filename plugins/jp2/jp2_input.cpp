// The JPEG 2000 input plug-in: a JP2 file or a bare codestream through OpenJPEG, into a 32-bit
// DIB with straight alpha when the picture has alpha, an 8-bit grey-ramp DIB when it is grey,
// else 24 bits. Read as frames, a picture of 9 to 16 bits also gives its samples at that depth
// (GetFrameSamples: grey, grey and alpha, RGB or RGBA).
//
// Everything that sets the cost of decoding is checked on the header, before a sample is
// decoded: the size against the kit's limits, the precision of each component (1 to 16 bits),
// the tiles, and the memory OpenJPEG takes for the decoded components (4 bytes a sample, a
// palette's columns included), which may be no more than the 1 GiB the other decoders may use.
//
// The colour: grey, sRGB, sYCC and e-sYCC (turned into RGB), CMYK (turned into RGB, without a
// profile), and a codestream's components as grey (1 or 2) or RGB (3 or more), YCC when the
// chroma is sub-sampled. Sub-sampled components are widened to the picture's grid by repeating
// their samples; signed ones are offset by half their range. Alpha is the component the
// channel definition box names (premultiplied alpha divided back), or the one after the colour
// in a file without that box; further components are left out. The ICC profile of the colour box is
// noted for GetPictureMetadata.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "jp2_common.h"

namespace faltrix::jp2 {
namespace {

constexpr uint64_t kMaxDecoderMemory = uint64_t{1} << 30;
constexpr uint8_t kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr uint8_t kCodestreamStart[4] = {0xFF, 0x4F, 0xFF, 0x51};  // SOC, then SIZ

// The codec for the file's first bytes; OPJ_CODEC_UNKNOWN for neither kind.
OPJ_CODEC_FORMAT KindOf(const uint8_t *head, size_t n) {
    if (n >= sizeof kJp2Signature && std::memcmp(head, kJp2Signature, sizeof kJp2Signature) == 0)
        return OPJ_CODEC_JP2;
    if (n >= sizeof kCodestreamStart &&
        std::memcmp(head, kCodestreamStart, sizeof kCodestreamStart) == 0)
        return OPJ_CODEC_J2K;
    return OPJ_CODEC_UNKNOWN;
}

// OpenJPEG's stream over the opened file.
OPJ_SIZE_T ReadBytes(void *buffer, OPJ_SIZE_T n, void *file) {
    const size_t got = std::fread(buffer, 1, n, static_cast<kit::InputFile *>(file)->stream());
    return got == 0 ? static_cast<OPJ_SIZE_T>(-1) : got;
}

OPJ_BOOL SeekTo(OPJ_OFF_T position, void *file) {
    auto *in = static_cast<kit::InputFile *>(file);
    return position >= 0 && position <= in->size() && in->Seek(position) ? OPJ_TRUE : OPJ_FALSE;
}

OPJ_OFF_T SkipBytes(OPJ_OFF_T n, void *file) {
    auto *in = static_cast<kit::InputFile *>(file);
    const OPJ_OFF_T at = ftello(in->stream());
    if (at < 0) return -1;
    const OPJ_OFF_T to = std::clamp<OPJ_OFF_T>(at + n, 0, in->size());
    return in->Seek(to) ? to - at : -1;
}

// The number of columns of the JP2 header's palette box (0 without one): each becomes a
// component of the picture's whole size when OpenJPEG applies the palette.
int PaletteColumns(kit::InputFile &file) {
    uint8_t box[11];
    int64_t at = 0, end = file.size();
    for (int boxes = 0; boxes < 64 && at + 8 <= end; ++boxes) {
        if (!file.Seek(at) || !file.Read(box, 8)) return 0;
        uint64_t length =
            (uint64_t{box[0]} << 24) | (uint64_t{box[1]} << 16) | (uint64_t{box[2]} << 8) | box[3];
        if (length == 0) length = static_cast<uint64_t>(end - at);
        if (length < 8 || length > static_cast<uint64_t>(end - at)) return 0;  // XL boxes too
        if (std::memcmp(box + 4, "jp2h", 4) == 0) {
            end = at + static_cast<int64_t>(length);
            at += 8;  // into the super-box
            continue;
        }
        if (std::memcmp(box + 4, "pclr", 4) == 0)
            return length >= 11 && file.Read(box + 8, 3) ? box[10] : 0;
        if (std::memcmp(box + 4, "jp2c", 4) == 0) return 0;
        at += static_cast<int64_t>(length);
    }
    return 0;
}

// A file with its header read and checked; decoded on demand.
struct Reading {
    kit::InputFile file;
    CodecGuard codec;
    Messages messages;
    ImageGuard image;

    bool Open(const WCHAR *path, bool threads);
    bool Decode();

private:
    bool CheckHeader();
};

bool Reading::Open(const WCHAR *path, bool threads) {
    uint8_t head[12];
    if (!file.Open(path)) return false;
    const size_t n = static_cast<size_t>(std::min<int64_t>(file.size(), sizeof head));
    const OPJ_CODEC_FORMAT kind = file.Read(head, n) ? KindOf(head, n) : OPJ_CODEC_UNKNOWN;
    if (kind == OPJ_CODEC_UNKNOWN) return kit::Fail("JPEG 2000: no JPEG 2000 signature");
    const int columns = kind == OPJ_CODEC_JP2 ? PaletteColumns(file) : 0;
    if (!file.Seek(0)) return false;
    codec.codec = opj_create_decompress(kind);
    codec.stream = opj_stream_create(64 * 1024, OPJ_TRUE);
    if (!codec.codec || !codec.stream) return kit::Fail("not enough memory");
    opj_stream_set_user_data(codec.stream, &file, nullptr);
    opj_stream_set_user_data_length(codec.stream, static_cast<OPJ_UINT64>(file.size()));
    opj_stream_set_read_function(codec.stream, ReadBytes);
    opj_stream_set_skip_function(codec.stream, SkipBytes);
    opj_stream_set_seek_function(codec.stream, SeekTo);
    messages.Listen(codec.codec);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.codec, &parameters) ||
        !opj_decoder_set_strict_mode(codec.codec, OPJ_TRUE) ||
        (threads && opj_has_thread_support() && !opj_codec_set_threads(codec.codec, 2)))
        return messages.Fail("OpenJPEG cannot start decoding");
    if (!opj_read_header(codec.stream, codec.codec, &image.image) || !image.image)
        return messages.Fail("the header is damaged");
    if (!CheckHeader()) return false;
    // A palette makes each of its columns a component of the indexed one's size.
    const opj_image_comp_t &indexed = image.image->comps[0];
    const uint64_t palette = uint64_t{indexed.w} * indexed.h * 4 * static_cast<uint64_t>(columns);
    if (palette > kMaxDecoderMemory)
        return kit::Fail("JPEG 2000: the palette's components need more than the " +
                         std::to_string(kMaxDecoderMemory >> 20) + " MiB the decoder may use");
    return true;
}

// The size, the components, the tiles and the memory, before anything is decoded.
bool Reading::CheckHeader() {
    const opj_image_t &header = *image.image;
    if (header.x1 <= header.x0 || header.y1 <= header.y0 || header.numcomps == 0)
        return kit::Fail("JPEG 2000: the header gives no picture");
    if (!kit::WithinLimits(int64_t{header.x1} - header.x0, int64_t{header.y1} - header.y0))
        return false;
    uint64_t bytes = 0;
    for (OPJ_UINT32 c = 0; c < header.numcomps; ++c) {
        const opj_image_comp_t &comp = header.comps[c];
        if (comp.prec < 1 || comp.prec > 16)
            return kit::Fail("JPEG 2000: a component of " + std::to_string(comp.prec) +
                             " bits (1 to 16 are read)");
        if (comp.dx == 0 || comp.dy == 0) return kit::Fail("JPEG 2000: a component of no size");
        bytes += uint64_t{comp.w} * comp.h * 4;
    }
    if (bytes > kMaxDecoderMemory)
        return kit::Fail("JPEG 2000: decoding needs about " + std::to_string(bytes >> 20) +
                         " MiB, more than the " + std::to_string(kMaxDecoderMemory >> 20) +
                         " MiB the decoder may use");
    opj_codestream_info_v2_t *info = opj_get_cstr_info(codec.codec);
    if (!info) return kit::Fail("not enough memory");
    const uint64_t tiles = uint64_t{info->tw} * info->th;
    const bool tiled = info->tdx > 0 && info->tdy > 0 && tiles > 0 && tiles <= 65535;
    opj_destroy_cstr_info(&info);
    return tiled || kit::Fail("JPEG 2000: the header's tiles do not cover the picture");
}

bool Reading::Decode() {
    if (!opj_decode(codec.codec, codec.stream, image.image) ||
        !opj_end_decompress(codec.codec, codec.stream))
        return messages.Fail("the file is damaged or cut short");
    return true;
}

// One decoded component as the picture's grid sees it: sample (x, y) of the grid is the
// component's sample that covers it, offset to unsigned, widened to 16 bits.
struct Plane {
    const OPJ_INT32 *data = nullptr;
    OPJ_UINT32 w = 0;
    std::vector<uint32_t> columns;  // the component's column under each of the grid's
    std::vector<uint32_t> rows;     // its row under each of the grid's rows
    std::vector<uint16_t> widened;  // value + offset -> 16 bits
    int32_t offset = 0;
    int32_t top = 0;

    bool Take(const opj_image_t &image, const opj_image_comp_t &comp, int32_t width,
              int32_t height) {
        if (!comp.data || comp.w == 0 || comp.h == 0 || comp.prec < 1 || comp.prec > 16)
            return false;
        data = comp.data;
        w = comp.w;
        columns.resize(static_cast<size_t>(width));
        rows.resize(static_cast<size_t>(height));
        for (int32_t x = 0; x < width; ++x)
            columns[static_cast<size_t>(x)] = static_cast<uint32_t>(std::clamp<int64_t>(
                (int64_t{image.x0} + x) / comp.dx - comp.x0, 0, int64_t{comp.w} - 1));
        for (int32_t y = 0; y < height; ++y)
            rows[static_cast<size_t>(y)] = static_cast<uint32_t>(std::clamp<int64_t>(
                (int64_t{image.y0} + y) / comp.dy - comp.y0, 0, int64_t{comp.h} - 1));
        const int bits = static_cast<int>(comp.prec);
        top = (1 << bits) - 1;
        offset = comp.sgnd ? 1 << (bits - 1) : 0;
        widened.resize(static_cast<size_t>(top) + 1);
        for (int32_t v = 0; v <= top; ++v)
            widened[static_cast<size_t>(v)] = kit::WidenSample(static_cast<uint32_t>(v), bits);
        return true;
    }

    uint16_t At(size_t x, const OPJ_INT32 *row) const {
        const int32_t v = std::clamp(row[columns[x]] + offset, 0, top);
        return widened[static_cast<size_t>(v)];
    }
    const OPJ_INT32 *Row(int32_t y) const {
        return data + size_t{rows[static_cast<size_t>(y)]} * w;
    }
};

// The decoded picture as rows of 16-bit samples: grey or RGB, with alpha or without.
class Pixels {
public:
    enum class Colour { kGrey, kRgb, kYcc, kCmyk };

    bool Take(const opj_image_t &image);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int channels() const { return (colour_ == Colour::kGrey ? 1 : 3) + (alpha_ ? 1 : 0); }
    bool alpha() const { return alpha_; }
    int bits() const { return bits_; }  // the deepest component used

    // Row y as channels() samples a pixel.
    void Row(int32_t y, uint16_t *out) const;

private:
    int32_t width_ = 0, height_ = 0;
    Colour colour_ = Colour::kGrey;
    bool alpha_ = false;
    bool premultiplied_ = false;  // the channel definition says so: divided back
    int bits_ = 8;
    std::vector<Plane> planes_;  // the colour's, then alpha
};

// The colour of the picture's components, by the colour box or, without one, their number.
bool ColourOf(const opj_image_t &image, Pixels::Colour *colour, OPJ_UINT32 *count) {
    using Colour = Pixels::Colour;
    if (image.icc_profile_buf && image.icc_profile_len == 0)
        return kit::Fail("JPEG 2000: CIELab colour is not supported");
    switch (image.color_space) {
    case OPJ_CLRSPC_GRAY: *colour = Colour::kGrey; break;
    case OPJ_CLRSPC_SRGB: *colour = Colour::kRgb; break;
    case OPJ_CLRSPC_SYCC:
    case OPJ_CLRSPC_EYCC: *colour = Colour::kYcc; break;
    case OPJ_CLRSPC_CMYK: *colour = Colour::kCmyk; break;
    default: {
        const bool subsampled = image.numcomps >= 3 && (image.comps[1].dx != image.comps[0].dx ||
                                                        image.comps[1].dy != image.comps[0].dy);
        *colour = image.numcomps < 3 ? Colour::kGrey : subsampled ? Colour::kYcc : Colour::kRgb;
    }
    }
    *count = *colour == Colour::kGrey ? 1 : *colour == Colour::kCmyk ? 4 : 3;
    return true;
}

bool Pixels::Take(const opj_image_t &image) {
    OPJ_UINT32 count = 0;
    if (!ColourOf(image, &colour_, &count)) return false;
    width_ = static_cast<int32_t>(image.x1 - image.x0);
    height_ = static_cast<int32_t>(image.y1 - image.y0);
    // The channel definition marks alpha; without it, the component after the colour is.
    std::vector<const opj_image_comp_t *> colour, alpha;
    bool defined = false;
    for (OPJ_UINT32 c = 0; c < image.numcomps; ++c) {
        defined = defined || image.comps[c].alpha != 0;
        (image.comps[c].alpha ? alpha : colour).push_back(&image.comps[c]);
    }
    if (!defined && colour.size() > count) alpha.push_back(colour[count]);
    if (colour.size() < count)
        return kit::Fail("JPEG 2000: " + std::to_string(colour.size()) +
                         " colour components, fewer than the colour space has");
    colour.resize(count);
    alpha_ = !alpha.empty();
    if (alpha_) colour.push_back(alpha.front());
    premultiplied_ = alpha_ && alpha.front()->alpha == 2;
    planes_.resize(colour.size());
    bits_ = 1;
    for (size_t c = 0; c < colour.size(); ++c) {
        if (!planes_[c].Take(image, *colour[c], width_, height_))
            return kit::Fail("JPEG 2000: a component is missing or of more than 16 bits");
        bits_ = std::max(bits_, static_cast<int>(colour[c]->prec));
    }
    return true;
}

uint16_t Clamp16(double v) { return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L)); }

void Pixels::Row(int32_t y, uint16_t *out) const {
    const OPJ_INT32 *rows[5] = {};
    for (size_t c = 0; c < planes_.size(); ++c) rows[c] = planes_[c].Row(y);
    const size_t colourPlanes = planes_.size() - (alpha_ ? 1 : 0);
    for (size_t x = 0; x < static_cast<size_t>(width_); ++x) {
        uint16_t s[4] = {};
        for (size_t c = 0; c < colourPlanes; ++c) s[c] = planes_[c].At(x, rows[c]);
        if (colour_ == Colour::kYcc) {
            const double luma = s[0], cb = s[1] - 32768.0, cr = s[2] - 32768.0;
            s[0] = Clamp16(luma + 1.402 * cr);
            s[1] = Clamp16(luma - 0.344136 * cb - 0.714136 * cr);
            s[2] = Clamp16(luma + 1.772 * cb);
        } else if (colour_ == Colour::kCmyk) {
            const uint32_t white = 65535u - s[3];
            for (int c = 0; c < 3; ++c)
                s[c] = static_cast<uint16_t>((65535u - s[c]) * white / 65535u);
        }
        const size_t n = colour_ == Colour::kGrey ? 1 : 3;
        const uint16_t a = alpha_ ? planes_[colourPlanes].At(x, rows[colourPlanes]) : 65535;
        for (size_t c = 0; premultiplied_ && c < n; ++c)
            s[c] =
                a == 0 ? 0 : static_cast<uint16_t>(std::min(65535u, (s[c] * 65535u + a / 2) / a));
        out = std::copy_n(s, n, out);
        if (alpha_) *out++ = a;
    }
}

// A picture decoded whole, and what it notes.
struct Picture {
    Reading reading;
    Pixels pixels;

    bool Read(const WCHAR *path) {
        if (!reading.Open(path, true) || !reading.Decode()) return false;
        const opj_image_t &image = *reading.image.image;
        if (!pixels.Take(image)) return false;
        if (image.icc_profile_buf && image.icc_profile_len > 0)
            kit::NoteMetadata(
                FALTRIX_METADATA_ICC,
                std::string_view(reinterpret_cast<const char *>(image.icc_profile_buf),
                                 image.icc_profile_len));
        if (pixels.bits() > 8)
            kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE,
                                    static_cast<uint64_t>(pixels.bits()));
        return true;
    }

    // The 8-bit DIB: grey, BGR or BGRA.
    HBITMAP Dib(ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) const {
        kit::DibSpec spec;
        spec.width = pixels.width();
        spec.height = pixels.height();
        const int channels = pixels.channels();
        spec.bitCount = pixels.alpha() ? 32 : channels == 1 ? 8 : 24;
        if (spec.bitCount == 8) spec.palette = kit::GreyPalette(8);
        kit::Dib dib;
        if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
        kit::BitmapGuard owned(dib.bitmap);
        std::vector<uint16_t> row(static_cast<size_t>(spec.width) * static_cast<size_t>(channels));
        const int bytes = spec.bitCount / 8;
        for (int32_t y = 0; y < spec.height; ++y) {
            pixels.Row(y, row.data());
            uint8_t *to = dib.Row(y);
            for (size_t x = 0; x < static_cast<size_t>(spec.width); ++x, to += bytes) {
                const uint16_t *s = row.data() + x * static_cast<size_t>(channels);
                const bool grey = channels <= 2;
                to[0] = static_cast<uint8_t>(kit::NarrowSample(grey ? s[0] : s[2], 8));
                if (bytes == 1) continue;
                to[1] = static_cast<uint8_t>(kit::NarrowSample(grey ? s[0] : s[1], 8));
                to[2] = static_cast<uint8_t>(kit::NarrowSample(s[0], 8));
                if (bytes == 4) to[3] = static_cast<uint8_t>(kit::NarrowSample(s[channels - 1], 8));
            }
            kit::ReportProgress(progress, y + 1, spec.height, data);
        }
        if (spec.bitCount == 32) kit::KeepFullTransparency(dib, spec.width, spec.height);
        return owned.Release();
    }
};

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    Picture picture;
    return picture.Read(path) ? picture.Dib(progress, data, alloc) : nullptr;
}

bool Recognize(const WCHAR *path) {
    uint8_t head[12];
    kit::InputFile file;
    if (!file.Open(path)) return false;
    const size_t n = static_cast<size_t>(std::min<int64_t>(file.size(), sizeof head));
    return file.Read(head, n) && KindOf(head, n) != OPJ_CODEC_UNKNOWN;
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Reading reading;
    if (!reading.Open(path, false)) return false;
    info->width = static_cast<int32_t>(reading.image.image->x1 - reading.image.image->x0);
    info->height = static_cast<int32_t>(reading.image.image->y1 - reading.image.image->y0);
    return true;
}

// The one picture as a frame, decoded when opened: its samples at their depth when deeper
// than 8 bits.
class FrameDecoder final : public kit::FrameReader {
public:
    bool Open(const WCHAR *path, kit::Sequence *out) {
        if (!picture_.Read(path)) return false;
        out->width = picture_.pixels.width();
        out->height = picture_.pixels.height();
        out->frameCount = 1;
        out->kind = FALTRIX_FRAMES_ANIMATION;
        out->sampleBits = picture_.pixels.bits() > 8 ? picture_.pixels.bits() : 0;
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        if (index != 0) return kit::Fail<HBITMAP>("JPEG 2000: no such frame");
        *delay = 0;
        return picture_.Dib(progress, data, alloc);
    }

    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override {
        if (index != 0) return kit::Fail("JPEG 2000: no such frame");
        *delay = 0;
        const Pixels &pixels = picture_.pixels;
        const kit::SampleView view = target.Allocate(pixels.channels(), pixels.bits());
        if (!view.data) return false;
        for (int32_t y = 0; y < view.height; ++y) {
            pixels.Row(y, view.Row(y));
            kit::ReportProgress(progress, y + 1, view.height, data);
        }
        return true;
    }

private:
    Picture picture_;
};

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<FrameDecoder>(path, out);
}

}  // namespace
}  // namespace faltrix::jp2

FALTRIX_KIT_INPUT_PLUGIN(faltrix::jp2)
FALTRIX_KIT_FRAMES_INPUT(faltrix::jp2)
FALTRIX_KIT_DEEP_INPUT()
