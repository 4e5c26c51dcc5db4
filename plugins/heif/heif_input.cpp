// The HEIF input plug-in: the primary image of a HEIF file, HEVC-coded (HEIC) or AV1-coded
// (AVIF), as libheif shows it by default, that is with its rotation, mirroring and clean
// aperture applied; into a 32-bit DIB with straight alpha when the image has alpha, else
// 24-bit. Deeper samples come down to 8 bits with a notice (read as frames, they are also
// given as 16-bit RGB or RGBA samples, with the file's depth); more top-level images than one,
// the colour profile, EXIF and XMP are noted for GetPictureMetadata. Read as frames, the
// top-level images are pages, the primary first, each on the primary's canvas. A colour description
// given as code points (nclx) rather than a profile is shown as sRGB, and said to be dropped
// when it names other primaries or another transfer curve.
//
// libheif reads the file through a reader, box by box, and takes into memory only the boxes
// and the items' data it needs; before it decodes anything, every item's size is checked
// against the kit's limits, grids and overlays by their canvas, and the primary image's
// decoded planes against the decoder's memory.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "heif_frames.h"

#include "faltrix/dib_layout.h"
#include "faltrix/kit/canvas.h"
#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/owned.h"
#include "heif_common.h"
#include "heif_items.h"
#if FALTRIX_HEIF_HEVC_WORKERS
#include "hevc_decoder.h"
#endif

namespace faltrix::heif {
namespace {

// The brands of the ftyp box that name a still image or sequence libheif reads.
bool KnownBrand(const uint8_t *p) {
    static const char *const brands[] = {"heic", "heix", "hevc", "heim", "heis", "hevm",
                                         "hevs", "mif1", "msf1", "avif", "avis"};
    return std::any_of(std::begin(brands), std::end(brands),
                       [&](const char *b) { return std::memcmp(p, b, 4) == 0; });
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
// thumbnail, a depth map); the kit's limits then apply to the primary image and every item.
constexpr int kLibheifSideLimit = 32768;

// What libheif may read of the items' data in all (the pictures, their tiles, EXIF and XMP),
// as the JPEG XL input's whole file: each item it reads whole into memory. The file itself may
// be larger (media data nobody refers to, padding), since it is read through a reader, not
// copied.
constexpr uint64_t kMaxItemBytes = uint64_t{1} << 30;

// What the decoded planes of the primary image may take, as the JPEG XL decoder's memory.
constexpr uint64_t kMaxDecoderMemory = uint64_t{1} << 30;

// The open file as libheif reads it, through heif_reader: at the position libheif last
// asked for, read with pread so that no stream position needs keeping in step.
struct FileReader {
    kit::InputFile file;
    int64_t position = 0;

    bool ReadAt(uint64_t offset, void *out, size_t n) const {
        if (offset > static_cast<uint64_t>(file.size()) ||
            n > static_cast<uint64_t>(file.size()) - offset)
            return false;
        auto *to = static_cast<uint8_t *>(out);
        while (n > 0) {
            const ssize_t got = pread(fileno(file.stream()), to, n, static_cast<off_t>(offset));
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                return false;
            }
            to += got;
            offset += static_cast<uint64_t>(got);
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    static FileReader &Of(void *userdata) { return *static_cast<FileReader *>(userdata); }
    static int64_t Position(void *userdata) { return Of(userdata).position; }
    // libheif's answers: 0 when done, anything else when not.
    static int Read(void *data, size_t size, void *userdata) {
        FileReader &f = Of(userdata);
        if (!f.ReadAt(static_cast<uint64_t>(f.position), data, size)) return 1;
        f.position += static_cast<int64_t>(size);
        return 0;
    }
    static int Seek(int64_t position, void *userdata) {
        FileReader &f = Of(userdata);
        if (position < 0 || position > f.file.size()) return 1;
        f.position = position;
        return 0;
    }
    // The file does not grow while it is read.
    static heif_reader_grow_status WaitForSize(int64_t target, void *userdata) {
        return target <= Of(userdata).file.size() ? heif_reader_grow_status_size_reached
                                                  : heif_reader_grow_status_size_beyond_eof;
    }
};
const heif_reader kFileReader{1, FileReader::Position, FileReader::Read, FileReader::Seek,
                              FileReader::WaitForSize};

// A file parsed by libheif through its reader, with its primary image.
struct Opened {
    FileReader reader;
    ContextGuard context;
    HandleGuard primary;
};

// Within the kit's limits, without recording a cause.
bool Fits(uint64_t width, uint64_t height) {
    return width <= static_cast<uint64_t>(kit::kMaxSide) &&
           height <= static_cast<uint64_t>(kit::kMaxSide) && width * height <= kit::kMaxPixels;
}

// Every item's sides and canvas within the kit's limits and their data within kMaxItemBytes;
// false, with the cause, when not. Read from the boxes before libheif reads them, since
// libheif reads items' data while it parses (a grid's first tile, for one). The size the
// primary image is decoded at comes back in *decoded: its canvas when it is a grid or an
// overlay, whatever its ispe says, else its ispe; 0 x 0 when it has neither.
bool CheckItems(const FileReader &reader, std::pair<uint64_t, uint64_t> *decoded) {
    std::vector<Item> items;
    if (!ReadItems(
            [&](uint64_t offset, void *out, size_t n) { return reader.ReadAt(offset, out, n); },
            static_cast<uint64_t>(reader.file.size()), &items))
        return false;
    uint64_t dataBytes = 0;
    for (const Item &item : items) {
        for (const auto &[w, h] :
             {std::pair(item.width, item.height), std::pair(item.canvasWidth, item.canvasHeight)})
            if (!Fits(w, h))
                return kit::Fail("HEIF: item " + std::to_string(item.id) + " ('" +
                                 TypeName(item.type) + "') is " + std::to_string(w) + " x " +
                                 std::to_string(h) + " pixels, larger than the decoding limits");
        dataBytes += std::min(item.dataBytes, kMaxItemBytes + 1);
        if (!item.primary) continue;
        if (item.canvasWidth) *decoded = {item.canvasWidth, item.canvasHeight};
        else *decoded = {item.width, item.height};
    }
    if (dataBytes > kMaxItemBytes)
        return kit::Fail("HEIF: the items' data comes to more than the " +
                         std::to_string(kMaxItemBytes >> 20) + " MiB the decoder may read");
    return true;
}

// The primary image's decoded planes within kMaxDecoderMemory; false, with the cause, when
// not. libheif decodes into planes of Y, Cb, Cr (taken at full resolution, as 4:4:4 has them)
// and alpha, at 1 byte a sample or 2 past 8 bits, then converts them into the interleaved
// samples asked for, 8 bits, or 16 when `deep`: both are held at once.
bool CheckPlanes(const heif_image_handle *primary, std::pair<uint64_t, uint64_t> decoded,
                 bool deep = false) {
    const uint64_t width = std::max<uint64_t>(
        decoded.first, static_cast<uint64_t>(heif_image_handle_get_width(primary)));
    const uint64_t height = std::max<uint64_t>(
        decoded.second, static_cast<uint64_t>(heif_image_handle_get_height(primary)));
    const uint64_t channels = heif_image_handle_has_alpha_channel(primary) ? 4 : 3;
    const uint64_t sampleBytes = heif_image_handle_get_luma_bits_per_pixel(primary) > 8 ? 2 : 1;
    const uint64_t bytes = width * height * channels * (sampleBytes + (deep ? 2 : 1));
    if (bytes <= kMaxDecoderMemory) return true;
    return kit::Fail("HEIF: decoding needs about " + std::to_string(bytes >> 20) +
                     " MiB, more than the " + std::to_string(kMaxDecoderMemory >> 20) +
                     " MiB the decoder may use");
}

bool Open(const WCHAR *path, Opened *out) {
    if (!out->reader.file.Open(path)) return false;
    const kit::InputFile &file = out->reader.file;
    if (file.size() < 16) return kit::Fail("HEIF: the file is too short");
    uint8_t head[256];
    const size_t n = static_cast<size_t>(std::min<int64_t>(file.size(), sizeof head));
    if (!out->reader.ReadAt(0, head, n) || !HasKnownBrand(head, n))
        return kit::Fail("HEIF: no ftyp box with a HEIF or AVIF brand");
    std::pair<uint64_t, uint64_t> decoded{0, 0};
    if (!CheckItems(out->reader, &decoded)) return false;
    if (!out->context.context) return kit::Fail("not enough memory");
#if FALTRIX_HEIF_HEVC_WORKERS
    UseHevcWorkers();
#endif
    heif_context_set_maximum_image_size_limit(out->context.context, kLibheifSideLimit);
    if (!Succeeded(heif_context_read_from_reader(out->context.context, &kFileReader, &out->reader,
                                                 nullptr)) ||
        !Succeeded(
            heif_context_get_primary_image_handle(out->context.context, &out->primary.handle)))
        return false;
    return kit::WithinLimits(heif_image_handle_get_width(out->primary.handle),
                             heif_image_handle_get_height(out->primary.handle)) &&
           CheckPlanes(out->primary.handle, decoded);
}

// Primaries BT.709 (sRGB's) or unspecified, with the sRGB curve, BT.709's or BT.601's (which
// screens show alike) or an unspecified one: what showing the pixels as sRGB gets right.
bool ShowsAsSrgb(const heif_color_profile_nclx &nclx) {
    const int primaries = nclx.color_primaries, transfer = nclx.transfer_characteristics;
    return (primaries == 1 || primaries == 2) &&
           (transfer == 1 || transfer == 2 || transfer == 6 || transfer == 13);
}

void NoteColour(const heif_image_handle *handle) {
    switch (heif_image_handle_get_color_profile_type(handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        std::string profile(heif_image_handle_get_raw_color_profile_size(handle), '\0');
        if (!profile.empty() &&
            heif_image_handle_get_raw_color_profile(handle, profile.data()).code == heif_error_Ok)
            kit::NoteMetadata(FALTRIX_METADATA_ICC, profile);
        break;
    }
    case heif_color_profile_type_nclx: {
        // libheif may hand over a description together with an error (unknown primaries): it
        // is freed all the same.
        heif_color_profile_nclx *nclx = nullptr;
        const bool read =
            heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok;
        if (read && nclx && !ShowsAsSrgb(*nclx))
            kit::NoteDropped("the colour description (primaries " +
                             std::to_string(nclx->color_primaries) + ", transfer " +
                             std::to_string(nclx->transfer_characteristics) +
                             "): the pixels are taken as sRGB");
        if (nclx) heif_nclx_color_profile_free(nclx);
        break;
    }
    default: break;
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
        const bool exif = type == "Exif", xmp = type == "mime" && content &&
                                                std::string_view(content) == "application/rdf+xml";
        if (!exif && !xmp) continue;
        std::string block(heif_image_handle_get_metadata_size(handle, id), '\0');
        if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
            continue;
        if (xmp) {
            kit::NoteMetadata(FALTRIX_METADATA_XMP, block);
            continue;
        }
        if (block.size() < 4) continue;
        const auto *p = reinterpret_cast<const uint8_t *>(block.data());
        const uint64_t offset =
            (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8) | p[3];
        if (offset > block.size() - 4) continue;
        kit::NoteMetadata(FALTRIX_METADATA_EXIF,
                          std::string_view(block).substr(4 + static_cast<size_t>(offset)));
    }
}

// One image of the file, upright, as libheif shows it: 32-bit with alpha, else 24-bit.
HBITMAP DecodeImage(const heif_image_handle *handle, ProgressCallbackFn progress, int32_t data,
                    DibAllocCallbackFn alloc) {
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;

    const kit::Owned<heif_decoding_options, heif_decoding_options_free> options{
        heif_decoding_options_alloc()};
    if (!options) return kit::Fail<HBITMAP>("not enough memory");
    options->convert_hdr_to_8bit = 1;
    ImageGuard image;
    if (!Succeeded(heif_decode_image(
            handle, &image.image, heif_colorspace_RGB,
            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get())))
        return nullptr;

    kit::DibSpec spec;
    spec.width = heif_image_handle_get_width(handle);
    spec.height = heif_image_handle_get_height(handle);
    spec.bitCount = alpha ? 32 : 24;
    int stride = 0;
    const uint8_t *pixels =
        heif_image_get_plane_readonly(image.image, heif_channel_interleaved, &stride);
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
        SwapRedBlue(pixels + static_cast<size_t>(stride) * static_cast<size_t>(y), channels,
                    dib.Row(y), channels, static_cast<size_t>(spec.width));
        kit::ReportProgress(progress, y + 1, spec.height, data);
    }
    if (alpha) kit::KeepFullTransparency(dib, spec.width, spec.height);
    return owned.Release();
}

// The depth of the samples an image decodes to beyond 8 bits; 0 for 8 bits or fewer.
int32_t DeepBits(const heif_image_handle *handle) {
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
    return bits > 8 ? std::min(bits, 16) : 0;
}

// One image of the file at full depth, upright, placed at the top-left of view (RGB or RGBA):
// libheif's interleaved samples of 16 bits (in the machine's order) past 8 bits, else of 8,
// widened to the whole range from the depth it gives.
bool DecodeSamples(const heif_image_handle *handle, const kit::SampleView &view,
                   ProgressCallbackFn progress, int32_t data) {
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    const bool deep = DeepBits(handle) > 0;
    constexpr bool kLittle = std::endian::native == std::endian::little;
    const heif_chroma chroma =
        !deep ? (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB)
        : alpha
            ? (kLittle ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBBAA_BE)
            : (kLittle ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RRGGBB_BE);
    ImageGuard image;
    if (!Succeeded(heif_decode_image(handle, &image.image, heif_colorspace_RGB, chroma, nullptr)))
        return false;
    int stride = 0;
    const uint8_t *pixels =
        heif_image_get_plane_readonly(image.image, heif_channel_interleaved, &stride);
    const int bits = heif_image_get_bits_per_pixel_range(image.image, heif_channel_interleaved);
    if (!pixels || bits < 1 || bits > 16 || (bits > 8) != deep)
        return kit::Fail("HEIF: the decoded image differs from its description");
    kit::ReportProgress(progress, 0, view.height, data);
    WidenOnto(view, pixels, static_cast<size_t>(stride),
              heif_image_get_width(image.image, heif_channel_interleaved),
              heif_image_get_height(image.image, heif_channel_interleaved), alpha ? 4 : 3, bits);
    kit::ReportProgress(progress, view.height, view.height, data);
    return true;
}

// What the primary image holds besides its pixels; the depth it loses too when `reduced`.
void NoteItems(const heif_image_handle *handle, bool reduced = true) {
    if (const int bits = heif_image_handle_get_luma_bits_per_pixel(handle); bits > 8 && reduced)
        kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, static_cast<uint64_t>(bits));
    NoteColour(handle);
    NoteBlocks(handle);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    Opened file;
    if (!Open(path, &file)) return nullptr;
    HBITMAP bitmap = DecodeImage(file.primary.handle, progress, data, alloc);
    if (!bitmap) return nullptr;
    if (const int images = heif_context_get_number_of_top_level_images(file.context.context);
        images > 1)
        kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, static_cast<uint64_t>(images));
    NoteItems(file.primary.handle);
    return bitmap;
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

// The top-level images of a file as pages: the primary first, then the others in the file's
// order, each decoded as the primary is and put on the primary's canvas (kit::PlaceOnCanvas).
class PageReader final : public kit::FrameReader {
public:
    bool Open(const WCHAR *path, kit::Sequence *out) {
        if (!heif::Open(path, &file_)) return false;
        heif_context *context = file_.context.context;
        const int count = heif_context_get_number_of_top_level_images(context);
        if (count > FALTRIX_MAX_FRAMES)
            return kit::Fail("HEIF: the file holds " + std::to_string(count) +
                             " pictures, more than the " + std::to_string(FALTRIX_MAX_FRAMES) +
                             " that are read");
        std::vector<heif_item_id> ids(static_cast<size_t>(std::max(count, 0)));
        heif_context_get_list_of_top_level_image_IDs(context, ids.data(), count);
        heif_item_id primary = 0;
        if (!Succeeded(heif_context_get_primary_image_ID(context, &primary))) return false;
        ids_.push_back(primary);
        for (const heif_item_id id : ids)
            if (id != primary) ids_.push_back(id);
        width_ = heif_image_handle_get_width(file_.primary.handle);
        height_ = heif_image_handle_get_height(file_.primary.handle);
        deepBits_ = DeepBits(file_.primary.handle);
        alpha_ = heif_image_handle_has_alpha_channel(file_.primary.handle) != 0;
        int32_t other = 0;
        for (size_t k = 1; k < ids_.size(); ++k) {
            HandleGuard page;
            if (heif_context_get_image_handle(context, ids_[k], &page.handle).code != heif_error_Ok)
                continue;
            if (heif_image_handle_get_width(page.handle) != width_ ||
                heif_image_handle_get_height(page.handle) != height_)
                ++other;
            // Deep frames share one layout: the deepest page's depth, alpha when any has it.
            deepBits_ = std::max(deepBits_, DeepBits(page.handle));
            alpha_ = alpha_ || heif_image_handle_has_alpha_channel(page.handle) != 0;
        }
        kit::NoteOtherSizes(other, "picture");
        *out = {width_,   height_, static_cast<int32_t>(ids_.size()), 1, FALTRIX_FRAMES_PAGES,
                deepBits_};
        return true;
    }

    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override {
        *delay = 0;
        if (index >= static_cast<int32_t>(ids_.size())) return kit::Fail("HEIF: no such picture");
        HandleGuard page;
        const heif_image_handle *handle = file_.primary.handle;
        if (index > 0) {
            if (!Succeeded(heif_context_get_image_handle(
                    file_.context.context, ids_[static_cast<size_t>(index)], &page.handle)) ||
                !kit::WithinLimits(heif_image_handle_get_width(page.handle),
                                   heif_image_handle_get_height(page.handle)))
                return false;
            handle = page.handle;
        }
        if (!CheckPlanes(handle, {0, 0}, true)) return false;
        const kit::SampleView view = target.Allocate(alpha_ ? 4 : 3, deepBits_);
        if (!view.data || !DecodeSamples(handle, view, progress, data)) return false;
        if (index == 0) NoteItems(handle, false);
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        *delay = 0;
        if (index >= static_cast<int32_t>(ids_.size()))
            return kit::Fail<HBITMAP>("HEIF: no such picture");
        if (index == 0) {
            HBITMAP first = DecodeImage(file_.primary.handle, progress, data, alloc);
            if (first) NoteItems(file_.primary.handle);
            return first;
        }
        HandleGuard page;
        if (!Succeeded(heif_context_get_image_handle(
                file_.context.context, ids_[static_cast<size_t>(index)], &page.handle)) ||
            !kit::WithinLimits(heif_image_handle_get_width(page.handle),
                               heif_image_handle_get_height(page.handle)) ||
            !CheckPlanes(page.handle, {0, 0}))
            return nullptr;
        HBITMAP bitmap = DecodeImage(page.handle, progress, data, alloc);
        return bitmap ? kit::PlaceOnCanvas(bitmap, width_, height_, alloc) : nullptr;
    }

private:
    Opened file_;
    std::vector<heif_item_id> ids_;  // the primary first
    int32_t width_ = 0, height_ = 0;
    int32_t deepBits_ = 0;  // of the deep frames, which all have alpha when alpha_
    bool alpha_ = false;
};

std::unique_ptr<kit::FrameReader> OpenPages(const WCHAR *path, kit::Sequence *out) {
    auto reader = std::make_unique<PageReader>();
    if (!reader->Open(path, out)) return nullptr;
    return reader;
}

}  // namespace

HBITMAP DecodePrimary(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
                      DibAllocCallbackFn alloc) {
    return Decode(path, progress, data, alloc);
}

bool ReadPrimarySize(const WCHAR *path, PictureInfo *info) { return ReadSize(path, info); }

bool ReadPrimaryDepth(const WCHAR *path, int32_t *deepBits, bool *alpha) {
    Opened file;
    if (!Open(path, &file)) return false;
    *deepBits = DeepBits(file.primary.handle);
    *alpha = heif_image_handle_has_alpha_channel(file.primary.handle) != 0;
    return true;
}

bool DecodePrimarySamples(const WCHAR *path, int32_t channels, int32_t deepBits,
                          kit::SampleTarget &target, ProgressCallbackFn progress, int32_t data) {
    Opened file;
    if (!Open(path, &file) || !CheckPlanes(file.primary.handle, {0, 0}, true)) return false;
    const kit::SampleView view = target.Allocate(channels, deepBits);
    if (!view.data || !DecodeSamples(file.primary.handle, view, progress, data)) return false;
    NoteItems(file.primary.handle, false);
    return true;
}

void WidenOnto(const kit::SampleView &view, const uint8_t *pixels, size_t stride, int32_t width,
               int32_t height, int32_t from, int32_t bits) {
    const uint32_t top = (1u << bits) - 1;
    std::vector<uint16_t> wide(size_t{top} + 1);  // picked once: one division per value
    for (uint32_t v = 0; v <= top; ++v) wide[v] = kit::WidenSample(v, bits);
    const size_t to = static_cast<size_t>(view.channels), in = static_cast<size_t>(from);
    const size_t w = static_cast<size_t>(std::clamp(width, 0, view.width));
    const uint16_t pad = to == 4 ? 0 : 65535;
    for (int32_t y = 0; y < view.height; ++y) {
        uint16_t *row = view.Row(y);
        std::fill(row, row + static_cast<size_t>(view.width) * to, pad);
        if (y >= height) continue;
        const uint8_t *line = pixels + stride * static_cast<size_t>(y);
        for (size_t x = 0; x < w; ++x)
            for (size_t c = 0; c < to; ++c) {
                if (c >= in) {
                    row[x * to + c] = 65535;  // opaque: the picture has no alpha
                    continue;
                }
                uint32_t v = line[x * in + c];
                if (bits > 8) {
                    uint16_t sample;
                    std::memcpy(&sample, line + (x * in + c) * 2, 2);
                    v = sample;
                }
                row[x * to + c] = wide[std::min(v, top)];
            }
    }
}

// An AVIF sequence is read with libavif where the build has it (avif_frames.cpp); any other
// file gives its top-level pictures as pages.
std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
#if FALTRIX_HEIF_AVIF_SEQUENCES
    if (std::unique_ptr<kit::FrameReader> sequence = OpenAvifSequence(path, out)) return sequence;
#endif
    return OpenPages(path, out);
}

}  // namespace faltrix::heif

FALTRIX_KIT_INPUT_PLUGIN(faltrix::heif)
FALTRIX_KIT_FRAMES_INPUT(faltrix::heif)
FALTRIX_KIT_DEEP_INPUT()
