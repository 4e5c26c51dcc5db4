// HEVC decoding for libheif over libde265, with a worker per core. libheif's own libde265
// decoder starts one worker, so a HEIC of a single picture decodes on one core even when its
// encoder cut the picture into wavefront rows or tiles (x265 makes wavefronts by default), which
// libde265 decodes side by side when it has the workers for them. Everything else is as libheif's
// own decoder does it, so that the pixels are the same: the NAL units as libheif hands them
// (each behind a 4-byte length), the planes copied as libde265 gives them, the stream's colour
// description beside them.
#include "hevc_decoder.h"

#include <dlfcn.h>
#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace faltrix::heif {
namespace {

// Above the priority of libheif's own libde265 decoder (100), so that HEVC comes here.
constexpr int kPriority = 150;
// Wavefronts run a row of blocks behind each other; past a few workers they wait on each other.
constexpr unsigned kMaxWorkers = 8;

struct Decoder {
    de265_decoder_context *context = nullptr;
};

constexpr heif_error kOk = {heif_error_Ok, heif_suberror_Unspecified, "Success"};

heif_error Failure(heif_suberror_code code, const char *message) {
    return {heif_error_Decoder_plugin_error, code, message};
}

const char *Name() { return "libde265 HEVC decoder, a worker per core"; }
void Initialise() { de265_init(); }
void Finish() { de265_free(); }

int Supports(heif_compression_format format) {
    return format == heif_compression_HEVC ? kPriority : 0;
}

heif_error NewDecoder(void **out) {
    auto *decoder = new (std::nothrow) Decoder;
    if (decoder) decoder->context = de265_new_decoder();
    if (!decoder || !decoder->context) {
        delete decoder;
        return Failure(heif_suberror_Unspecified, "not enough memory for the HEVC decoder");
    }
    const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
    de265_start_worker_threads(decoder->context, static_cast<int>(workers));
    *out = decoder;
    return kOk;
}

void FreeDecoder(void *raw) {
    auto *decoder = static_cast<Decoder *>(raw);
    de265_free_decoder(decoder->context);
    delete decoder;
}

// libde265 checks the stream as it is; there is nothing stricter to ask of it.
void SetStrict(void *, int) {}

// NAL units, each behind its length in 4 bytes, most significant first.
heif_error Push(void *raw, const void *data, size_t size) {
    auto *decoder = static_cast<Decoder *>(raw);
    const auto *bytes = static_cast<const uint8_t *>(data);
    size_t at = 0;
    while (at < size) {
        if (size - at < 4) return Failure(heif_suberror_End_of_data, "HEVC data cut short");
        const size_t length = (size_t{bytes[at]} << 24) | (size_t{bytes[at + 1]} << 16) |
                              (size_t{bytes[at + 2]} << 8) | bytes[at + 3];
        at += 4;
        if (length > size - at) return Failure(heif_suberror_End_of_data, "HEVC data cut short");
        if (de265_push_NAL(decoder->context, bytes + at, static_cast<int>(length), 0, nullptr) !=
            DE265_OK)
            return Failure(heif_suberror_Unspecified, "not enough memory for the HEVC data");
        at += length;
    }
    return kOk;
}

// The planes of a decoded picture in a new libheif image: Y alone for monochrome, else Y, Cb and
// Cr at the stream's chroma sampling, every plane at the one depth.
heif_error ToHeifImage(const de265_image *picture, heif_image **out) {
    const bool mono = de265_get_chroma_format(picture) == de265_chroma_mono;
    heif_error error =
        heif_image_create(de265_get_image_width(picture, 0), de265_get_image_height(picture, 0),
                          mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
                          static_cast<heif_chroma>(de265_get_chroma_format(picture)), out);
    if (error.code != heif_error_Ok) return error;
    constexpr heif_channel kPlanes[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    const int bits = de265_get_bits_per_pixel(picture, 0);
    for (int c = 0; c < (mono ? 1 : 3); ++c) {
        const int width = de265_get_image_width(picture, c);
        const int height = de265_get_image_height(picture, c);
        if (de265_get_bits_per_pixel(picture, c) != bits)
            error = {heif_error_Unsupported_feature, heif_suberror_Unsupported_color_conversion,
                     "HEVC planes of different depths"};
        else if (width <= 0 || height <= 0)
            error = Failure(heif_suberror_Invalid_image_size, "HEVC plane without pixels");
        else error = heif_image_add_plane(*out, kPlanes[c], width, height, bits);
        if (error.code != heif_error_Ok) {
            heif_image_release(*out);
            *out = nullptr;
            return error;
        }
        int from_stride = 0, to_stride = 0;
        const uint8_t *from = de265_get_image_plane(picture, c, &from_stride);
        uint8_t *to = heif_image_get_plane(*out, kPlanes[c], &to_stride);
        const size_t row = static_cast<size_t>(width) * static_cast<size_t>((bits + 7) / 8);
        for (int y = 0; y < height; ++y)
            std::memcpy(to + static_cast<size_t>(y) * static_cast<size_t>(to_stride),
                        from + static_cast<size_t>(y) * static_cast<size_t>(from_stride), row);
    }
    return kOk;
}

// The stream's own colour description, which libheif uses where the file gives none. Values
// libheif does not know are left at its defaults, as its own decoder does.
void SetColour(const de265_image *picture, heif_image *image) {
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    if (!nclx) return;
    heif_nclx_color_profile_set_color_primaries(
        nclx, static_cast<uint16_t>(de265_get_image_colour_primaries(picture)));
    heif_nclx_color_profile_set_transfer_characteristics(
        nclx, static_cast<uint16_t>(de265_get_image_transfer_characteristics(picture)));
    heif_nclx_color_profile_set_matrix_coefficients(
        nclx, static_cast<uint16_t>(de265_get_image_matrix_coefficients(picture)));
    nclx->full_range_flag = static_cast<uint8_t>(de265_get_image_full_range_flag(picture) != 0);
    heif_image_set_nclx_color_profile(image, nclx);
    heif_nclx_color_profile_free(nclx);
}

// Decodes all that was pushed and keeps the last picture, as libheif's own decoder does (an
// image item holds one).
heif_error Decode(void *raw, heif_image **out) {
    auto *decoder = static_cast<Decoder *>(raw);
    *out = nullptr;
    de265_flush_data(decoder->context);
    int more = 0;
    do {
        more = 0;
        if (de265_decode(decoder->context, &more) != DE265_OK) break;
        const de265_image *picture = de265_get_next_picture(decoder->context);
        if (!picture) continue;
        if (*out) heif_image_release(*out);
        const heif_error error = ToHeifImage(picture, out);
        if (error.code != heif_error_Ok) return error;
        SetColour(picture, *out);
        de265_release_next_picture(decoder->context);
    } while (more);
    if (!*out) return Failure(heif_suberror_Unspecified, "the HEVC data holds no picture");
    return kOk;
}

const heif_decoder_plugin kDecoder = {
    3,  // the interface's version: with SetStrict and the id
    Name,        Initialise, Finish, Supports,  NewDecoder,
    FreeDecoder, Push,       Decode, SetStrict, "faltrix-libde265",
};

}  // namespace

void UseHevcWorkers() {
    static std::once_flag once;
    std::call_once(once, [] {
        // libheif keeps a pointer to the decoder for the life of the process: this library must
        // stay loaded as long as libheif does, whoever unloads it.
        // (The fuzz target links this file into the program itself, which stays anyway.)
        Dl_info self{};
        link_map *map = nullptr;
        if (dladdr1(&kDecoder, &self, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0 ||
            !map || !map->l_name)
            return;
        const bool program = map->l_name[0] == '\0';
        if (!program && !dlopen(map->l_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) return;
        heif_register_decoder_plugin(&kDecoder);
    });
}

}  // namespace faltrix::heif
