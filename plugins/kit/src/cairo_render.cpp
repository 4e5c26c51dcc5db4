// Tiles rendered by cairo and copied into the DIB: cairo's premultiplied ARGB turned into
// straight alpha, or its opaque pixels into 24-bit rows.
#include "faltrix/kit/cairo_render.h"

#include <algorithm>
#include <memory>
#include <string>

#include "faltrix/kit/kit.h"

namespace faltrix::kit {
namespace {

// cairo's largest image surface side.
constexpr int32_t kMaxCairoSide = 32767;
// Pixels rendered at once: tiles are cut so that the scratch surface stays near 64 MiB.
constexpr int64_t kTilePixels = int64_t{1} << 24;

struct SurfaceDeleter {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
    void operator()(cairo_t *cr) const { cairo_destroy(cr); }
};

// cairo's premultiplied B, G, R, A pixels (little-endian ARGB32) as straight B, G, R, A.
void Unpremultiply(const uint8_t *in, uint8_t *out, int32_t n) {
    for (int32_t x = 0; x < n; ++x, in += 4, out += 4) {
        const unsigned a = in[3];
        if (a == 255) {
            std::copy(in, in + 4, out);
        } else if (a == 0) {
            std::fill(out, out + 4, uint8_t{0});
        } else {
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<uint8_t>(std::min(255u, (in[c] * 255u + a / 2) / a));
            out[3] = static_cast<uint8_t>(a);
        }
    }
}

// Opaque B, G, R, X pixels as B, G, R.
void DropFourthByte(const uint8_t *in, uint8_t *out, int32_t n) {
    for (int32_t x = 0; x < n; ++x, in += 4, out += 3) std::copy(in, in + 3, out);
}

// Renders the tile at (x0, y0) and copies it into the DIB.
bool RenderTile(const Dib &dib, int32_t x0, int32_t y0, cairo_surface_t *scratch, int32_t w,
                int32_t h, CairoBackground background, const CairoDraw &draw) {
    std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(scratch));
    cairo_save(cr.get());
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    if (background == CairoBackground::kWhite) cairo_set_source_rgb(cr.get(), 1, 1, 1);
    else cairo_set_source_rgba(cr.get(), 0, 0, 0, 0);
    cairo_paint(cr.get());
    cairo_restore(cr.get());
    cairo_rectangle(cr.get(), 0, 0, w, h);
    cairo_clip(cr.get());
    cairo_translate(cr.get(), -x0, -y0);
    if (!draw(cr.get())) return false;
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
        return Fail(std::string("cairo: ") + cairo_status_to_string(cairo_status(cr.get())));
    cairo_surface_flush(scratch);
    const uint8_t *bits = cairo_image_surface_get_data(scratch);
    const int stride = cairo_image_surface_get_stride(scratch);
    const int bytes = background == CairoBackground::kWhite ? 3 : 4;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t *in = bits + size_t(y) * size_t(stride);
        uint8_t *out = dib.Row(y0 + y) + size_t(x0) * size_t(bytes);
        if (bytes == 3) DropFourthByte(in, out, w);
        else Unpremultiply(in, out, w);
    }
    return true;
}

}  // namespace

HBITMAP RenderWithCairo(int32_t width, int32_t height, CairoBackground background,
                        const CairoDraw &draw, ProgressCallbackFn progress, int32_t data,
                        DibAllocCallbackFn alloc) {
    DibSpec spec;
    spec.width = width;
    spec.height = height;
    spec.bitCount = background == CairoBackground::kWhite ? 24 : 32;
    Dib dib;
    if (!AllocateDib(alloc, spec, &dib)) return nullptr;
    BitmapGuard guard(dib.bitmap);
    const int32_t tileWidth = std::min(width, kMaxCairoSide);
    const int32_t tileHeight = static_cast<int32_t>(
        std::clamp<int64_t>(kTilePixels / tileWidth, 1, std::min(height, kMaxCairoSide)));
    std::unique_ptr<cairo_surface_t, SurfaceDeleter> scratch(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, tileWidth, tileHeight));
    if (cairo_surface_status(scratch.get()) != CAIRO_STATUS_SUCCESS)
        return Fail<HBITMAP>("not enough memory to render the picture");
    const int32_t across = (width + tileWidth - 1) / tileWidth;
    const int32_t down = (height + tileHeight - 1) / tileHeight;
    ReportProgress(progress, 0, across * down, data);
    for (int32_t ty = 0; ty < down; ++ty) {
        for (int32_t tx = 0; tx < across; ++tx) {
            const int32_t x0 = tx * tileWidth, y0 = ty * tileHeight;
            if (!RenderTile(dib, x0, y0, scratch.get(), std::min(tileWidth, width - x0),
                            std::min(tileHeight, height - y0), background, draw))
                return nullptr;
            ReportProgress(progress, ty * across + tx + 1, across * down, data);
        }
    }
    if (background == CairoBackground::kTransparent) KeepFullTransparency(dib, width, height);
    return guard.Release();
}

}  // namespace faltrix::kit
