// The JPEG 2000 output plug-in: the picture through OpenJPEG, as a JP2 file, or as a bare
// codestream when the output's name ends in .j2k, .j2c or .jpc. Lossless by default (the
// reversible 5/3 wavelet); a quality below 100 stores it lossy (the irreversible 9/7 wavelet)
// at a peak signal-to-noise ratio of 20 + 0.3 x quality dB: 35 dB at 50, 47 dB at 90. The
// "lossless" flag, which faltrix-convert's --lossless sets, stores it losslessly whatever
// the quality.
// Grey pictures (a grey palette) are one component, others three, with alpha a component
// more that the channel definition box names; RGB goes through the colour transform.
// The colour profile the host set goes into the JP2 colour box (a codestream has no place
// for it). Tiles are off; the number of resolutions is OpenJPEG's 6, fewer for a picture
// too small for them.
//
// Deep frames (AddFrameSamples) keep the host's depth, 9 to 16 bits. A JPEG 2000 file holds
// one picture: of a sequence, the first frame is stored.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "jp2_common.h"

namespace faltrix::jp2::output {
namespace {

constexpr int kLossless = 100;  // the quality that stores the picture losslessly

std::vector<kit::OptionSpec> Specs() {
    return {
        {"quality", "Quality (100 lossless)", kit::Setting::Kind::Integer, 1, 100, {}, kLossless},
        {"lossless", "Lossless at any quality", kit::Setting::Kind::Flag, 0, 1, {}, 0}};
}

}  // namespace

constexpr const char *kTitle = "JPEG 2000 settings";  // of the settings dialog

// The session's settings, set by the dialog or SetPluginOption and read by a job thread.
kit::Options options(Specs());

namespace {

[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

}  // namespace

kit::FormatInfo Format() { return jp2::Format(); }

bool KeepsMetadata(std::string_view key, size_t) {
    return key == FALTRIX_METADATA_ICC || key == FALTRIX_METADATA_TRANSPARENCY;
}

kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyPalette(layout.palette) ? kit::StoredColour::kGrey
                                                                      : kit::StoredColour::kColour;
}

namespace {

// The encoded bytes, grown as OpenJPEG writes, seeks and skips.
struct Buffer {
    std::vector<uint8_t> bytes;
    size_t at = 0;
    size_t used = 0;

    static OPJ_SIZE_T Write(void *data, OPJ_SIZE_T n, void *self) {
        auto *b = static_cast<Buffer *>(self);
        if (b->bytes.size() < b->at + n) b->bytes.resize(std::max(b->at + n, b->bytes.size() * 2));
        std::memcpy(b->bytes.data() + b->at, data, n);
        b->at += n;
        b->used = std::max(b->used, b->at);
        return n;
    }
    static OPJ_OFF_T Skip(OPJ_OFF_T n, void *self) {
        auto *b = static_cast<Buffer *>(self);
        if (n < 0 && static_cast<size_t>(-n) > b->at) return -1;
        b->at = static_cast<size_t>(static_cast<OPJ_OFF_T>(b->at) + n);
        if (b->bytes.size() < b->at) b->bytes.resize(b->at);
        b->used = std::max(b->used, b->at);
        return n;
    }
    static OPJ_BOOL Seek(OPJ_OFF_T position, void *self) {
        auto *b = static_cast<Buffer *>(self);
        if (position < 0 || static_cast<size_t>(position) > b->used) return OPJ_FALSE;
        b->at = static_cast<size_t>(position);
        return OPJ_TRUE;
    }
};

// The layout of the picture to store.
struct Layout {
    int32_t width = 0, height = 0;
    int channels = 3;  // 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA
    int bits = 8;
};

// A codestream rather than a JP2 file for an output named so.
bool WantsCodestream(const std::string &path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
    std::string extension = path.substr(dot + 1);
    for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == "j2k" || extension == "j2c" || extension == "jpc";
}

// Resolutions OpenJPEG's default 6, fewer when the shorter side cannot halve that often.
int Resolutions(const Layout &layout) {
    const int32_t side = std::min(layout.width, layout.height);
    int levels = 1;
    while (levels < 6 && (side >> levels) > 0) ++levels;
    return levels;
}

opj_cparameters_t Parameters(const Layout &layout) {
    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    const int quality = options.Get("quality");
    parameters.tcp_numlayers = 1;
    parameters.numresolution = Resolutions(layout);
    parameters.tcp_mct = layout.channels >= 3 ? 1 : 0;
    if (quality >= kLossless || options.Get("lossless") != 0) {
        parameters.irreversible = 0;
        parameters.tcp_rates[0] = 0;
        parameters.cp_disto_alloc = 1;
    } else {
        parameters.irreversible = 1;
        parameters.tcp_distoratio[0] = 20.0f + 0.3f * static_cast<float>(quality);
        parameters.cp_fixed_quality = 1;
    }
    return parameters;
}

void Put32(std::vector<uint8_t> *out, uint64_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

// Appends a box of that type holding `content`; an XL box past 4 GiB.
void PutBox(std::vector<uint8_t> *out, const char *type, const uint8_t *content, size_t size) {
    const bool xl = size > 0xFFFFFFF0u;
    Put32(out, xl ? 1 : size + 8);
    out->insert(out->end(), type, type + 4);
    if (xl) {
        Put32(out, (uint64_t{size} + 16) >> 32);
        Put32(out, (uint64_t{size} + 16) & 0xFFFFFFFFu);
    }
    out->insert(out->end(), content, content + size);
}

// The JP2 file around a codestream: the signature, the file type, the header (the picture's
// layout, its colour as sRGB, grey or the profile, and the channels when alpha is one) and the
// codestream. OpenJPEG 2.5.0 cannot store a profile (it asserts), so the boxes are our own.
std::vector<uint8_t> Jp2File(const Layout &layout, const std::string &profile,
                             const std::vector<uint8_t> &codestream) {
    std::vector<uint8_t> header, box;
    Put32(&box, static_cast<uint32_t>(layout.height));
    Put32(&box, static_cast<uint32_t>(layout.width));
    box.insert(box.end(), {0, static_cast<uint8_t>(layout.channels),
                           static_cast<uint8_t>(layout.bits - 1), 7, 0, 0});
    PutBox(&header, "ihdr", box.data(), box.size());
    box = {static_cast<uint8_t>(profile.empty() ? 1 : 2), 0, 0};
    if (profile.empty()) Put32(&box, layout.channels >= 3 ? 16 : 17);  // sRGB, grey
    else box.insert(box.end(), profile.begin(), profile.end());
    PutBox(&header, "colr", box.data(), box.size());
    if (layout.channels % 2 == 0) {
        box = {0, static_cast<uint8_t>(layout.channels)};
        for (int c = 0; c < layout.channels; ++c) {
            const bool alpha = c == layout.channels - 1;
            box.insert(box.end(), {0, static_cast<uint8_t>(c), 0, static_cast<uint8_t>(alpha), 0,
                                   static_cast<uint8_t>(alpha ? 0 : c + 1)});
        }
        PutBox(&header, "cdef", box.data(), box.size());
    }
    static const uint8_t signature[] = {0x0D, 0x0A, 0x87, 0x0A};
    static const uint8_t type[] = {'j', 'p', '2', ' ', 0, 0, 0, 0, 'j', 'p', '2', ' '};
    std::vector<uint8_t> file;
    file.reserve(codestream.size() + header.size() + 64);
    PutBox(&file, "jP  ", signature, sizeof signature);
    PutBox(&file, "ftyp", type, sizeof type);
    PutBox(&file, "jp2h", header.data(), header.size());
    PutBox(&file, "jp2c", codestream.data(), codestream.size());
    return file;
}

// Encodes the picture whose samples fill(image) puts in its components into *out: the
// codestream, in a JP2 file unless `codestream`.
template <class Fill>
bool Encode(const Layout &layout, bool codestream, Fill fill, std::vector<uint8_t> *out) {
    opj_image_cmptparm_t components[4] = {};
    for (int c = 0; c < layout.channels; ++c) {
        components[c].dx = components[c].dy = 1;
        components[c].w = static_cast<OPJ_UINT32>(layout.width);
        components[c].h = static_cast<OPJ_UINT32>(layout.height);
        components[c].prec = static_cast<OPJ_UINT32>(layout.bits);
    }
    ImageGuard image;
    image.image = opj_image_create(static_cast<OPJ_UINT32>(layout.channels), components,
                                   layout.channels >= 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY);
    if (!image.image) return kit::Fail("not enough memory");
    image.image->x1 = static_cast<OPJ_UINT32>(layout.width);
    image.image->y1 = static_cast<OPJ_UINT32>(layout.height);
    fill(*image.image);
    CodecGuard codec;
    Messages messages;
    Buffer buffer;
    codec.codec = opj_create_compress(OPJ_CODEC_J2K);
    codec.stream = opj_stream_create(1 << 20, OPJ_FALSE);
    if (!codec.codec || !codec.stream) return kit::Fail("not enough memory");
    messages.Listen(codec.codec);
    opj_stream_set_user_data(codec.stream, &buffer, nullptr);
    opj_stream_set_write_function(codec.stream, Buffer::Write);
    opj_stream_set_skip_function(codec.stream, Buffer::Skip);
    opj_stream_set_seek_function(codec.stream, Buffer::Seek);
    opj_cparameters_t parameters = Parameters(layout);
    if (!opj_setup_encoder(codec.codec, &parameters, image.image) ||
        (opj_has_thread_support() && !opj_codec_set_threads(codec.codec, 2)) ||
        !opj_start_compress(codec.codec, image.image, codec.stream) ||
        !opj_encode(codec.codec, codec.stream) || !opj_end_compress(codec.codec, codec.stream))
        return messages.Fail("OpenJPEG cannot encode the picture");
    buffer.bytes.resize(buffer.used);
    *out = codestream ? std::move(buffer.bytes)
                      : Jp2File(layout, kit::OutgoingMetadata(FALTRIX_METADATA_ICC), buffer.bytes);
    return true;
}

// An 8-bit picture's layout and samples: grey from a grey palette, else R, G, B and alpha
// when it has any.
bool EncodePicture(const kit::SourcePicture &src, bool codestream, std::vector<uint8_t> *out) {
    Layout layout{src.width(), src.height(), 3, 8};
    if (StoredColour({src.bitCount(), src.palette()}) == kit::StoredColour::kGrey)
        layout.channels = 1;
    else if (src.HasAlpha()) layout.channels = 4;
    return Encode(
        layout, codestream,
        [&](opj_image_t &image) {
            std::vector<uint8_t> row(static_cast<size_t>(layout.width) * 4);
            const size_t w = static_cast<size_t>(layout.width);
            for (int32_t y = 0; y < layout.height; ++y) {
                const size_t at = static_cast<size_t>(y) * w;
                if (layout.channels == 1) {
                    src.RowToIndices(y, row.data());
                    for (size_t x = 0; x < w; ++x)
                        image.comps[0].data[at + x] = src.palette()[row[x]].rgbGreen;
                    continue;
                }
                src.RowToBGRA(y, row.data());
                for (size_t x = 0; x < w; ++x) {
                    const uint8_t *p = row.data() + 4 * x;
                    image.comps[0].data[at + x] = p[2];
                    image.comps[1].data[at + x] = p[1];
                    image.comps[2].data[at + x] = p[0];
                    if (layout.channels == 4) image.comps[3].data[at + x] = p[3];
                }
            }
        },
        out);
}

// Deep samples at `bits` bits, in their own channels.
bool EncodeSamples(const kit::SampleView &samples, int bits, bool codestream,
                   std::vector<uint8_t> *out) {
    const Layout layout{samples.width, samples.height, samples.channels, bits};
    return Encode(
        layout, codestream,
        [&](opj_image_t &image) {
            const size_t w = static_cast<size_t>(layout.width),
                         n = static_cast<size_t>(layout.channels);
            for (int32_t y = 0; y < layout.height; ++y) {
                const uint16_t *row = samples.Row(y);
                const size_t at = static_cast<size_t>(y) * w;
                for (size_t x = 0; x < w; ++x)
                    for (size_t c = 0; c < n; ++c)
                        image.comps[c].data[at + x] =
                            static_cast<OPJ_INT32>(kit::NarrowSample(row[x * n + c], bits));
            }
        },
        out);
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::OpenSave(dc, path, &target, &src, progress, data)) return false;
    std::vector<uint8_t> bytes;
    if (!EncodePicture(src, WantsCodestream(target), &bytes)) return false;
    return kit::StoreBytes(target, progress, data, bytes.data(), bytes.size());
}

// The first frame of a sequence, as Save stores a picture, or at the sequence's depth.
class FirstFrameWriter final : public kit::FrameWriter {
public:
    FirstFrameWriter(std::string target, const kit::Sequence &sequence)
        : target_(std::move(target)), sequence_(sequence) {}

    bool Add(HDC dc, int32_t, ProgressCallbackFn progress, int32_t data) override {
        if (stored_) return true;
        kit::SourcePicture src;
        if (!src.Open(dc)) return kit::Fail("no picture to store");
        kit::ReportProgress(progress, 0, 100, data);
        if (!EncodePicture(src, WantsCodestream(target_), &bytes_)) return false;
        stored_ = true;
        kit::ReportProgress(progress, 100, 100, data);
        return true;
    }

    bool AddSamples(const kit::SampleView &samples, int32_t, ProgressCallbackFn progress,
                    int32_t data) override {
        if (stored_) return true;
        if (sequence_.sampleBits < 9 || sequence_.sampleBits > 16)
            return kit::Fail("JPEG 2000: the sequence takes 8-bit frames");
        kit::ReportProgress(progress, 0, 100, data);
        if (!EncodeSamples(samples, sequence_.sampleBits, WantsCodestream(target_), &bytes_))
            return false;
        stored_ = true;
        kit::ReportProgress(progress, 100, 100, data);
        return true;
    }

    bool Finish() override {
        if (!stored_) return kit::Fail("JPEG 2000: no frame to store");
        return kit::StoreBytes(target_, nullptr, 0, bytes_.data(), bytes_.size());
    }

private:
    std::string target_;
    kit::Sequence sequence_;
    bool stored_ = false;
    std::vector<uint8_t> bytes_;
};

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    return kit::MakeWriter<FirstFrameWriter>(path, sequence);
}

}  // namespace
}  // namespace faltrix::jp2::output

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::jp2::output)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::jp2::output)
FALTRIX_KIT_DEEP_OUTPUT()
FALTRIX_KIT_ONE_PICTURE_OUTPUT()
FALTRIX_KIT_SETTINGS(faltrix::jp2::output, faltrix::jp2::output::kTitle)
