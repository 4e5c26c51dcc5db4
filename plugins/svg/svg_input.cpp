// The SVG input plug-in: SVG drawings, plain or gzip-compressed (.svgz), rendered by librsvg
// through cairo into 32-bit DIBs with straight alpha.
//
// The drawing's natural size is its width and height in pixels (physical units at 96 dpi);
// when it gives a viewBox without them, the viewBox's size in user units (scaled to a width or
// height that alone is given); with neither, the extent of what it draws from its origin.
// A conversion to another size renders at that size (OpenFramesAtSize) rather than scaling
// the pixels of the natural one, stretched when the size asked changes the aspect.
//
// librsvg loads what a drawing refers to only from the drawing's own folder and the folders
// below it (images, included text): never another folder, never a network address. Its
// parser keeps its safety limits (no RSVG_HANDLE_FLAG_UNLIMITED). The file, or its inflated
// text, is read within kMaxTextBytes, and the size rendered within the decoding limits.
//
// Threads: each reader has a handle of its own, used on its thread only; librsvg keeps no
// state between handles that needs a guard, and fontconfig guards its own.
#include <librsvg/rsvg.h>

#include <cmath>
#include <memory>
#include <string>

#include "faltrix/kit/cairo_render.h"
#include "faltrix/kit/entry_points.h"
#include "svg_text.h"

namespace faltrix::svg {
namespace {

constexpr double kDpi = 96;
// Bytes of the head read to judge a file: room for a long XML declaration and comments.
constexpr size_t kHeadBytes = 64 * 1024;

struct ObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, ObjectDeleter>;

// Records the GError's words after `what` and frees it; false.
bool FailWith(GError *error, const std::string &what) {
    const std::string words = error && error->message ? error->message : "unknown error";
    if (error) g_error_free(error);
    return kit::Fail("SVG: " + what + ": " + words);
}

// The file's bytes, up to `limit` of them: all of them unless `head`, when fewer are fine.
bool ReadBytes(const WCHAR *path, size_t limit, bool head, std::string *out) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    if (!head && uint64_t(file.size()) > limit)
        return kit::Fail("SVG: the file is larger than " + std::to_string(limit >> 20) + " MiB");
    out->resize(std::min<uint64_t>(uint64_t(file.size()), limit));
    return file.Read(out->data(), out->size()) || kit::Fail("SVG: the file cannot be read");
}

// Pixels a length of the root element takes at kDpi; 0 for relative units.
double LengthInPixels(const RsvgLength &length) {
    switch (length.unit) {
    case RSVG_UNIT_PX: return length.length;
    case RSVG_UNIT_IN: return length.length * kDpi;
    case RSVG_UNIT_CM: return length.length * kDpi / 2.54;
    case RSVG_UNIT_MM: return length.length * kDpi / 25.4;
    case RSVG_UNIT_PT: return length.length * kDpi / 72;
    case RSVG_UNIT_PC: return length.length * kDpi / 6;
    default: return 0;
    }
}

// The drawing's size from its viewBox, a width or height given alone keeping its aspect.
bool SizeFromViewBox(RsvgHandle *handle, double *w, double *h) {
    gboolean hasW = FALSE, hasH = FALSE, hasBox = FALSE;
    RsvgLength width{}, height{};
    RsvgRectangle box{};
    rsvg_handle_get_intrinsic_dimensions(handle, &hasW, &width, &hasH, &height, &hasBox, &box);
    if (!hasBox || !(box.width > 0) || !(box.height > 0)) return false;
    const double givenW = hasW ? LengthInPixels(width) : 0,
                 givenH = hasH ? LengthInPixels(height) : 0;
    *w = box.width, *h = box.height;
    if (givenW > 0) *w = givenW, *h = givenW * box.height / box.width;
    else if (givenH > 0) *w = givenH * box.width / box.height, *h = givenH;
    return true;
}

// The extent of what the drawing draws, from its origin.
bool SizeFromInk(RsvgHandle *handle, double *w, double *h) {
    const RsvgRectangle viewport{0, 0, 100, 100};
    RsvgRectangle ink{}, logical{};
    GError *error = nullptr;
    if (!rsvg_handle_get_geometry_for_layer(handle, nullptr, &viewport, &ink, &logical, &error))
        return FailWith(error, "its size cannot be measured");
    *w = ink.x + ink.width, *h = ink.y + ink.height;
    return true;
}

// A parsed drawing and its natural size.
struct Drawing {
    GObjectPtr<RsvgHandle> handle;
    double width = 0, height = 0;            // the natural size, exact
    int32_t pixelsWide = 0, pixelsHigh = 0;  // the same rounded up: the picture's size
};

// Judges the size and rounds it up, as librsvg advises; a hair above a whole number (from
// unit conversion) stays that number.
bool SetSize(Drawing *d) {
    RsvgHandle *handle = d->handle.get();
    if (!rsvg_handle_get_intrinsic_size_in_pixels(handle, &d->width, &d->height) &&
        !SizeFromViewBox(handle, &d->width, &d->height) &&
        !SizeFromInk(handle, &d->width, &d->height))
        return false;
    if (!std::isfinite(d->width) || !std::isfinite(d->height) || !(d->width > 0) ||
        !(d->height > 0))
        return kit::Fail("SVG: the drawing has no size");
    const double w = std::ceil(d->width - 1e-6), h = std::ceil(d->height - 1e-6);
    if (w > double(kit::kMaxSide) || h > double(kit::kMaxSide) ||
        !kit::WithinLimits(int64_t(w), int64_t(h)))
        return kit::Fail("SVG: the drawing's size, " + std::to_string(int64_t(w)) + " x " +
                         std::to_string(int64_t(h)) +
                         " pixels, is larger than the decoding limits");
    d->pixelsWide = int32_t(w), d->pixelsHigh = int32_t(h);
    return true;
}

// Reads and parses the drawing at path, relative references resolved in its folder.
bool Load(const WCHAR *path, Drawing *d) {
    std::string bytes, text;
    std::string native;
    if (!kit::PathToBytes(path, &native) || !ReadBytes(path, kMaxTextBytes, false, &bytes))
        return false;
    if (IsGzip(bytes)) {
        if (!Inflate(bytes, kMaxTextBytes, false, &text)) return false;
        bytes.swap(text);
    }
    if (!RootIsSvg(bytes)) return kit::Fail("SVG: the file is not an SVG drawing");
    GObjectPtr<GFile> base(g_file_new_for_path(native.c_str()));
    GObjectPtr<GInputStream> stream(
        g_memory_input_stream_new_from_data(bytes.data(), gssize(bytes.size()), nullptr));
    GError *error = nullptr;
    d->handle.reset(rsvg_handle_new_from_stream_sync(stream.get(), base.get(),
                                                     RSVG_HANDLE_FLAGS_NONE, nullptr, &error));
    if (!d->handle) return FailWith(error, "the drawing cannot be read");
    rsvg_handle_set_dpi(d->handle.get(), kDpi);
    return SetSize(d);
}

// The drawing's one frame, rendered at the canvas's size.
class DrawingReader final : public kit::FrameReader {
public:
    DrawingReader(Drawing drawing, int32_t width, int32_t height)
        : d_(std::move(drawing)), width_(width), height_(height) {}

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        *delay = 0;
        if (index != 0) return kit::Fail<HBITMAP>("SVG: a drawing has one picture");
        const double sx = double(width_) / d_.pixelsWide, sy = double(height_) / d_.pixelsHigh;
        const RsvgRectangle viewport{0, 0, d_.width, d_.height};
        return kit::RenderWithCairo(
            width_, height_, kit::CairoBackground::kTransparent,
            [&](cairo_t *cr) {
                cairo_scale(cr, sx, sy);
                GError *error = nullptr;
                return rsvg_handle_render_document(d_.handle.get(), cr, &viewport, &error) ||
                       FailWith(error, "the drawing cannot be rendered");
            },
            progress, data, alloc);
    }

private:
    Drawing d_;
    int32_t width_, height_;
};

}  // namespace

kit::FormatInfo Format() {
    const std::string version = std::to_string(rsvg_major_version) + "." +
                                std::to_string(rsvg_minor_version) + "." +
                                std::to_string(rsvg_micro_version);
    std::u16string text = u"SVG (librsvg ";
    text.append(version.begin(), version.end());
    return {text + u")", {{u"*.svg;*.svgz", u"SVG drawings"}}, {}};
}

bool Recognize(const WCHAR *path) {
    std::string head, text;
    if (!ReadBytes(path, kHeadBytes, true, &head)) return false;
    if (!IsGzip(head)) return RootIsSvg(head);
    return Inflate(head, kHeadBytes, true, &text) && RootIsSvg(text);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Drawing d;
    if (!Load(path, &d)) return false;
    info->width = d.pixelsWide;
    info->height = d.pixelsHigh;
    return true;
}

// width and height 0: the natural size.
std::unique_ptr<kit::FrameReader> OpenFramesAtSize(const WCHAR *path, int32_t width, int32_t height,
                                                   kit::Sequence *out) {
    Drawing d;
    if (!Load(path, &d)) return nullptr;
    out->width = width > 0 ? width : d.pixelsWide;
    out->height = height > 0 ? height : d.pixelsHigh;
    out->frameCount = 1;
    return std::make_unique<DrawingReader>(std::move(d), out->width, out->height);
}

}  // namespace faltrix::svg

FALTRIX_KIT_DRAWN_INPUT(faltrix::svg)
