// Radiance HDR output plug-in, our own writer: the header ("#?RADIANCE", FORMAT=32-bit_rle_rgbe,
// "-Y h +X w"), then each row run-length coded per component (rows of 8 to 32767 pixels; others
// flat), from the linear picture of linear_picture.h. RGBE has no alpha: a picture with
// transparency is put on white, and the host says so. Grey is stored as RGB.
#include <algorithm>
#include <string>

#include "faltrix/kit/entry_points.h"
#include "hdr_format.h"
#include "linear_picture.h"

namespace faltrix::hdr {
namespace {

// One component of a row, `n` bytes every fourth of `v`: runs of 4 or more as (128 + count,
// value), the bytes between as (count, bytes...), at most 127 and 128 a piece.
void PutComponent(const uint8_t *v, int32_t n, std::string *out) {
    const auto at = [&](int32_t i) { return v[4 * size_t(i)]; };
    const auto runAt = [&](int32_t i, int32_t most) {
        int32_t run = 1;
        while (i + run < n && run < most && at(i + run) == at(i)) ++run;
        return run;
    };
    for (int32_t i = 0; i < n;) {
        const int32_t run = runAt(i, 127);
        if (run >= 4) {
            out->push_back(char(128 + run));
            out->push_back(char(at(i)));
            i += run;
            continue;
        }
        const int32_t start = i;
        while (i < n && i - start < 128 && runAt(i, 4) < 4) ++i;
        out->push_back(char(i - start));
        for (int32_t k = start; k < i; ++k) out->push_back(char(at(k)));
    }
}

bool Encode(const linear::Picture &picture, std::string *out) {
    const int32_t w = picture.width;
    *out = "#?RADIANCE\n# Made by Faltrix\nFORMAT=32-bit_rle_rgbe\n\n-Y " +
           std::to_string(picture.height) + " +X " + std::to_string(w) + "\n";
    const bool coded = w >= kMinCodedLength && w <= kMaxCodedLength;
    std::vector<uint8_t> row(4 * size_t(w));
    for (int32_t y = 0; y < picture.height; ++y) {
        const float *in = picture.Row(y);
        for (int32_t x = 0; x < w; ++x) {
            const float *pixel = in + size_t(x) * size_t(picture.channels);
            const float grey[3] = {pixel[0], pixel[0], pixel[0]};
            FloatToRgbe(picture.channels < 3 ? grey : pixel, row.data() + 4 * size_t(x));
        }
        if (!coded) {
            out->append(reinterpret_cast<const char *>(row.data()), row.size());
            continue;
        }
        const char head[4] = {2, 2, char(w >> 8), char(w & 0xFF)};
        out->append(head, 4);
        for (int c = 0; c < 4; ++c) PutComponent(row.data() + c, w, out);
    }
    return true;
}

bool KeepsMetadata(std::string_view, size_t) { return false; }

kit::StoredColour StoredColour(const kit::StoredLayout &) { return kit::StoredColour::kColour; }

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    return linear::SavePicture(dc, path, Encode, false, false, progress, data);
}

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &) {
    return linear::BeginPicture(path, Encode, false, false);
}

}  // namespace
}  // namespace faltrix::hdr

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::hdr)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::hdr)
FALTRIX_KIT_DEEP_OUTPUT()
FALTRIX_KIT_ONE_PICTURE_OUTPUT()
