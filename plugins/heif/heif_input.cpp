// The HEIF input plug-in: the primary image of a HEIF file, HEVC-coded (HEIC) or AV1-coded
// (AVIF), as libheif shows it by default, that is with its rotation, mirroring and clean
// aperture applied; into a 32-bit DIB with straight alpha when the image has alpha, else
// 24-bit. Deeper samples come down to 8 bits with a notice; more top-level images than one,
// the colour profile, EXIF and XMP are noted for GetPictureMetadata. A colour description
// given as code points (nclx) rather than a profile is shown as sRGB, and said to be dropped
// when it names other primaries or another transfer curve.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "heif_common.h"

namespace faltrix::heif {
namespace {

// The brands of the ftyp box that name a still image or sequence libheif reads.
bool KnownBrand(const uint8_t *p) {
    static const char *const brands[] = {"heic", "heix", "hevc", "heim", "heis", "hevm",
                                         "hevs", "mif1", "msf1", "avif", "avis"};
    return std::any_of(std::begin(brands), std::end(brands), [&](const char *b) { return std::memcmp(p, b, 4) == 0; });
}

// The file starts with an ftyp box (a 32-bit size, "ftyp", the major brand, a minor version
// and the compatible brands) whose major or one compatible brand is known.
bool HasKnownBrand(const uint8_t *p, size_t n) {
    if (n < 16 || std::memcmp(p + 4, "ftyp", 4) != 0) return false;
    const size_t box = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
    if (box < 16) return false;
    if (KnownBrand(p + 8)) return true;
    for (size_t at = 16; at + 4 <= std::min(box, n); at += 4)
        if (KnownBrand(p + at)) return true;
    return false;
}

// No side over this is read from a file, not even of an image that is not decoded (a
// thumbnail, a depth map); the kit's limits then apply to the primary image.
constexpr int kLibheifSideLimit = 32768;

// A file read whole into memory and parsed by libheif, with its primary image.
struct Opened {
    std::vector<uint8_t> bytes;
    ContextGuard context;
    HandleGuard primary;
};

bool Open(const WCHAR *path, Opened *out) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    if (file.size() < 16) return kit::Fail("HEIF: the file is too short");
    out->bytes.resize(static_cast<size_t>(file.size()));
    if (!file.Read(out->bytes.data(), out->bytes.size())) return false;
    if (!HasKnownBrand(out->bytes.data(), out->bytes.size()))
        return kit::Fail("HEIF: no ftyp box with a HEIF or AVIF brand");
    if (!out->context.context) return kit::Fail("not enough memory");
    heif_context_set_maximum_image_size_limit(out->context.context, kLibheifSideLimit);
    if (!Succeeded(heif_context_read_from_memory_without_copy(out->context.context, out->bytes.data(),
                                                              out->bytes.size(), nullptr)) ||
        !Succeeded(heif_context_get_primary_image_handle(out->context.context, &out->primary.handle)))
        return false;
    return kit::WithinLimits(heif_image_handle_get_width(out->primary.handle),
                             heif_image_handle_get_height(out->primary.handle));
}

// Primaries BT.709 (sRGB's) or unspecified, with the sRGB curve, BT.709's or BT.601's (which
// screens show alike) or an unspecified one: what showing the pixels as sRGB gets right.
bool ShowsAsSrgb(const heif_color_profile_nclx &nclx) {
    const int primaries = nclx.color_primaries, transfer = nclx.transfer_characteristics;
    return (primaries == 1 || primaries == 2) && (transfer == 1 || transfer == 2 || transfer == 6 || transfer == 13);
}

void NoteColour(const heif_image_handle *handle) {
    switch (heif_image_handle_get_color_profile_type(handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        std::string profile(heif_image_handle_get_raw_color_profile_size(handle), '\0');
        if (!profile.empty() && heif_image_handle_get_raw_color_profile(handle, profile.data()).code == heif_error_Ok)
            kit::NoteMetadata(FALTRIX_METADATA_ICC, profile);
        break;
    }
    case heif_color_profile_type_nclx: {
        // libheif may hand over a description together with an error (unknown primaries): it
        // is freed all the same.
        heif_color_profile_nclx *nclx = nullptr;
        const bool read = heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok;
        if (read && nclx && !ShowsAsSrgb(*nclx))
            kit::NoteDropped("the colour description (primaries " + std::to_string(nclx->color_primaries) +
                             ", transfer " + std::to_string(nclx->transfer_characteristics) +
                             "): the pixels are taken as sRGB");
        if (nclx) heif_nclx_color_profile_free(nclx);
        break;
    }
    default:
        break;
    }
}

// EXIF blocks start with the offset of the TIFF header from the end of that 32-bit field
// (usually 6, past "Exif\0\0"), which the host's EXIF item does not have.
void NoteBlocks(const heif_image_handle *handle) {
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, nullptr);
    if (count <= 0) return;
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    heif_image_handle_get_list_of_metadata_block_IDs(handle, nullptr, ids.data(), count);
    for (const heif_item_id id : ids) {
        const std::string_view type = heif_image_handle_get_metadata_type(handle, id);
        const char *content = heif_image_handle_get_metadata_content_type(handle, id);
        const bool exif = type == "Exif", xmp = type == "mime" && content && std::string_view(content) == "application/rdf+xml";
        if (!exif && !xmp) continue;
        std::string block(heif_image_handle_get_metadata_size(handle, id), '\0');
        if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) continue;
        if (xmp) {
            kit::NoteMetadata(FALTRIX_METADATA_XMP, block);
            continue;
        }
        if (block.size() < 4) continue;
        const auto *p = reinterpret_cast<const uint8_t *>(block.data());
        const uint64_t offset = (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8) | p[3];
        if (offset > block.size() - 4) continue;
        kit::NoteMetadata(FALTRIX_METADATA_EXIF, std::string_view(block).substr(4 + static_cast<size_t>(offset)));
    }
}

struct OptionsGuard {
    heif_decoding_options *options = heif_decoding_options_alloc();
    ~OptionsGuard() { heif_decoding_options_free(options); }
};

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) {
    Opened file;
    if (!Open(path, &file)) return nullptr;
    const heif_image_handle *handle = file.primary.handle;
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;

    OptionsGuard options;
    if (!options.options) return kit::Fail<HBITMAP>("not enough memory");
    options.options->convert_hdr_to_8bit = 1;
    ImageGuard image;
    if (!Succeeded(heif_decode_image(handle, &image.image, heif_colorspace_RGB,
                                     alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                                     options.options)))
        return nullptr;

    kit::DibSpec spec;
    spec.width = heif_image_handle_get_width(handle);
    spec.height = heif_image_handle_get_height(handle);
    spec.bitCount = alpha ? 32 : 24;
    int stride = 0;
    const uint8_t *pixels = heif_image_get_plane_readonly(image.image, heif_channel_interleaved, &stride);
    if (!pixels || heif_image_get_width(image.image, heif_channel_interleaved) != spec.width ||
        heif_image_get_height(image.image, heif_channel_interleaved) != spec.height ||
        heif_image_get_bits_per_pixel_range(image.image, heif_channel_interleaved) != 8)
        return kit::Fail<HBITMAP>("HEIF: the decoded image differs from its description");
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};

    // R, G, B (A) as libheif gives them; B, G, R (A) as the DIB holds them.
    const int channels = alpha ? 4 : 3;
    for (int32_t y = 0; y < spec.height; ++y) {
        const uint8_t *from = pixels + static_cast<size_t>(stride) * static_cast<size_t>(y);
        uint8_t *to = dib.Row(y);
        for (int32_t x = 0; x < spec.width; ++x, from += channels, to += channels) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
            if (alpha) to[3] = from[3];
        }
        kit::ReportProgress(progress, y + 1, spec.height, data);
    }
    if (alpha) kit::KeepFullTransparency(dib, spec.width, spec.height);

    if (const int bits = heif_image_handle_get_luma_bits_per_pixel(handle); bits > 8)
        kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, static_cast<uint64_t>(bits));
    if (const int images = heif_context_get_number_of_top_level_images(file.context.context); images > 1)
        kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, static_cast<uint64_t>(images));
    NoteColour(handle);
    NoteBlocks(handle);
    return owned.Release();
}

bool Recognize(const WCHAR *path) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    uint8_t head[256];
    const size_t n = static_cast<size_t>(std::min<int64_t>(file.size(), sizeof head));
    return file.Read(head, n) && HasKnownBrand(head, n);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Opened file;
    if (!Open(path, &file)) return false;
    info->width = heif_image_handle_get_width(file.primary.handle);
    info->height = heif_image_handle_get_height(file.primary.handle);
    return true;
}

}  // namespace
}  // namespace faltrix::heif

FALTRIX_KIT_INPUT_PLUGIN(faltrix::heif)
