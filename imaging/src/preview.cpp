// The preview surface and the preview job.
#include "faltrix/preview.h"

#include <algorithm>
#include <array>

#include "decode_stage.h"
#include "faltrix/conversion_job.h"
#include "faltrix/resample.h"
#include "faltrix/text.h"
#include "job_slot.h"

namespace faltrix {

PreviewSurface ThePreviewSurface;
PreviewRequest ThePreviewRequest;

namespace {

// A window's size from its window rectangle, as the front end reports it. A size that is
// negative or does not fit counts as 0.
struct BoxSize {
    int32_t width = 0;
    int32_t height = 0;
};

BoxSize WindowSize(HWND window) {
    FeedbackFrontEnd *frontEnd = InstalledFrontEnd();
    if (frontEnd == nullptr) return {};
    const RECT rect = frontEnd->WindowRect(window);
    auto extent = [](LONG from, LONG to) -> int32_t {
        const int64_t size = int64_t{to} - int64_t{from};
        return size > 0 && size <= INT32_MAX ? static_cast<int32_t>(size) : 0;
    };
    return BoxSize{extent(rect.left, rect.right), extent(rect.top, rect.bottom)};
}

void FillWhite(HDC dc, int32_t width, int32_t height) {
    const RECT all{0, 0, width, height};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
}

// A 32-bit picture whose top bytes hold alpha (any of them not 0) is put on white in place,
// as the output plug-ins store it where a format has no transparency, so the preview shows
// the result and not the colours hidden under transparent pixels. A picture whose alpha is 0
// everywhere was made without alpha and stays as it is; so does any picture of other masks.
void PutOnWhite(HBITMAP bitmap) {
    DIBSECTION section{};
    if (GetObjectW(bitmap, sizeof section, &section) != static_cast<int>(sizeof section)) return;
    const BITMAP &bm = section.dsBm;
    const bool standard = section.dsBmih.biCompression == BI_RGB ||
                          (section.dsBitfields[0] == 0xFF0000 && section.dsBitfields[1] == 0xFF00 &&
                           section.dsBitfields[2] == 0xFF);
    if (bm.bmBits == nullptr || bm.bmBitsPixel != 32 || !standard || bm.bmWidth <= 0) return;
    auto *bytes = static_cast<uint8_t *>(bm.bmBits);
    const size_t stride = static_cast<size_t>(bm.bmWidthBytes),
                 width = static_cast<size_t>(bm.bmWidth);
    const size_t rows = static_cast<size_t>(bm.bmHeight < 0 ? -int64_t{bm.bmHeight} : bm.bmHeight);
    bool hasAlpha = false;
    for (size_t y = 0; y < rows && !hasAlpha; ++y) {
        for (size_t x = 0; x < width && !hasAlpha; ++x)
            hasAlpha = bytes[y * stride + 4 * x + 3] != 0;
    }
    if (!hasAlpha) return;
    for (size_t y = 0; y < rows; ++y) {
        for (uint8_t *px = bytes + y * stride, *end = px + 4 * width; px < end; px += 4) {
            const unsigned a = px[3];
            for (int c = 0; c < 3; ++c)
                px[c] = static_cast<uint8_t>((px[c] * a + 255 * (255 - a) + 127) / 255);
            px[3] = 255;
        }
    }
}

// Where and how large the picture is drawn into the box.
struct Placement {
    bool fitted = false;  // shrunk to fit, else drawn at its own size
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// A picture that fits inside the box is centred at its own size (the halvings truncate before
// the subtraction); a larger one is shrunk by the smaller of the two ratios and centred along
// the other axis. Equal ratios fit the height.
Placement PlacePicture(BoxSize box, int32_t W, int32_t H) {
    Placement p;
    if (W <= box.width && H <= box.height) {
        p.x = box.width / 2 - W / 2;
        p.y = box.height / 2 - H / 2;
        p.width = W;
        p.height = H;
        return p;
    }
    p.fitted = true;
    const double rx = static_cast<double>(box.width) / static_cast<double>(W);
    const double ry = static_cast<double>(box.height) / static_cast<double>(H);
    if (rx < ry) {
        p.width = box.width;
        p.height = static_cast<int32_t>(rx * static_cast<double>(H));
        p.x = 0;
        p.y = static_cast<int32_t>(box.height * 0.5 - p.height * 0.5);
    } else {
        p.height = box.height;
        p.width = static_cast<int32_t>(ry * static_cast<double>(W));
        p.y = 0;
        p.x = static_cast<int32_t>(box.width * 0.5 - p.width * 0.5);
    }
    return p;
}

// Draws the picture into the surface as placed, in one step under the surface's mutex, with
// no front-end call while it is held: the box paints itself under the same mutex on the
// dialog's thread, which the front end's calls may wait for. The sizes for the copies come
// from PictureInfo, not from the decoded bitmap.
void DrawIntoSurface(HDC surfaceDC, BoxSize box, const Placement &place, HBITMAP decoded,
                     HBITMAP resampled, int32_t W, int32_t H) {
    std::lock_guard lock(PreviewSurfaceMutex());
    HDC memoryDC = CreateCompatibleDC(surfaceDC);
    FillWhite(surfaceDC, box.width, box.height);
    if (resampled != nullptr) {
        SelectObject(memoryDC, resampled);
        BitBlt(surfaceDC, place.x, place.y, place.width, place.height, memoryDC, 0, 0, SRCCOPY);
    } else if (!place.fitted) {
        SelectObject(memoryDC, decoded);
        BitBlt(surfaceDC, place.x, place.y, W, H, memoryDC, 0, 0, SRCCOPY);
    } else {
        SelectObject(memoryDC, decoded);
        StretchBlt(surfaceDC, place.x, place.y, place.width, place.height, memoryDC, 0, 0, W, H,
                   SRCCOPY);
    }
    DeleteDC(memoryDC);
}

// Decodes the picture, fits it into the box and draws it; true when it was drawn.
bool DecodeAndDraw(const PreviewRequest &request, BoxSize box, const WCHAR *input) {
    // A picture of no size cannot be fitted (the ratios would divide by zero): that is
    // information not obtained.
    const decode_stage::Decoded decoded = decode_stage::DecodeInput(
        input, {.notSupportedLine = u"This input is NOT supported or illegal format.",
                .positiveInfoSize = true,
                .frame = 0});
    if (decoded.failure != decode_stage::Failure::None) {
        // The picture drawn before belongs to another file: the box is emptied, and the
        // cause follows the failure's line as the conversion shows it.
        {
            std::lock_guard lock(PreviewSurfaceMutex());
            FillWhite(request.surfaceDC, box.width, box.height);
        }
        if (FeedbackFrontEnd *frontEnd = InstalledFrontEnd())
            frontEnd->RepaintWindow(request.previewBox);
        if (!decoded.cause.empty()) ShowFailureCause(decoded.cause);
        return false;
    }
    PutOnWhite(decoded.bitmap);
    const int32_t W = decoded.info.width;
    const int32_t H = decoded.info.height;

    const Placement place = PlacePicture(box, W, H);
    HBITMAP resampled = nullptr;
    if (place.fitted && request.antiAlias) {
        ShowStatus(u"Now anti-alias Resizing...");
        const double sx = static_cast<double>(place.width) / static_cast<double>(W);
        const double sy = static_cast<double>(place.height) / static_cast<double>(H);
        resampled = AreaAverageResize(decoded.bitmap, sx, sy, ProgressCallback);
        // A refusal falls back to the stretching blit without a line of its own.
        if (resampled != nullptr) ShowStatus(u"anti-alias Resizing Done.");
    }

    DrawIntoSurface(request.surfaceDC, box, place, decoded.bitmap, resampled, W, H);
    if (FeedbackFrontEnd *frontEnd = InstalledFrontEnd())
        frontEnd->RepaintWindow(request.previewBox);

    if (resampled != nullptr) DeleteObject(resampled);
    DeleteObject(decoded.bitmap);
    // An animation or a document shows its first frame, and says so.
    if (decoded.sequence.frameCount > 1)
        ShowStatus(
            (u"frame 1 of " + Utf8ToUtf16(std::to_string(decoded.sequence.frameCount))).c_str());
    return true;
}

void RunPreview() {
    const PreviewRequest request = ThePreviewRequest;
    const job_slot::JobPath input = job_slot::CopyJobPath(InputPath);

    const BoxSize box = WindowSize(request.previewBox);
    EnableControlSet(request.controls, false);
    ProgressCallback(0, 1, 0);
    // A failure has shown its own line already.
    if (DecodeAndDraw(request, box, input.data())) ShowStatus(u"Ready.");
    EnableControlSet(request.controls, true);
    ProgressCallback(0, 1, 0);
}

}  // namespace

std::mutex &PreviewSurfaceMutex() {
    static std::mutex mutex;
    return mutex;
}

void CreatePreviewSurface(HWND previewBox) {
    // The front end is asked before the mutex is taken: it may need the dialog's thread.
    const BoxSize size = WindowSize(previewBox);
    std::lock_guard lock(PreviewSurfaceMutex());
    DeleteDC(ThePreviewSurface.dc);
    DeleteObject(ThePreviewSurface.bitmap);
    ThePreviewSurface = PreviewSurface{};

    HDC boxDC = GetDC(previewBox);
    ThePreviewSurface.dc = CreateCompatibleDC(boxDC);
    ThePreviewSurface.width = size.width;
    ThePreviewSurface.height = size.height;
    ThePreviewSurface.bitmap = CreateCompatibleBitmap(boxDC, size.width, size.height);
    if (ThePreviewSurface.dc != nullptr && ThePreviewSurface.bitmap != nullptr) {
        SelectObject(ThePreviewSurface.dc, ThePreviewSurface.bitmap);
        FillWhite(ThePreviewSurface.dc, size.width, size.height);
    }
    ReleaseDC(previewBox, boxDC);
}

void DestroyPreviewSurface() {
    std::lock_guard lock(PreviewSurfaceMutex());
    // The DC goes first: the bitmap is still selected in it.
    if (ThePreviewSurface.dc != nullptr) DeleteDC(ThePreviewSurface.dc);
    if (ThePreviewSurface.bitmap != nullptr) DeleteObject(ThePreviewSurface.bitmap);
    ThePreviewSurface = PreviewSurface{};
}

void ClearPreviewSurface() {
    std::lock_guard lock(PreviewSurfaceMutex());
    FillWhite(ThePreviewSurface.dc, ThePreviewSurface.width, ThePreviewSurface.height);
}

bool StartPreviewJob(HWND previewBox, HDC surfaceDC, const ControlSet &controls, bool antiAlias) {
    if (JobRunning()) return false;
    if (InputPath[0] == u'\0') {
        ShowStatus(u"Illegal input file name.");
        return false;
    }
    return job_slot::StartJob(
        controls,
        [&] {
            ThePreviewRequest = PreviewRequest{previewBox, controls, surfaceDC, antiAlias};
        },
        RunPreview);
}

int PreviewJob(void *unused) {
    (void)unused;
    job_slot::Acquire();
    RunPreview();
    job_slot::Release();
    return 0;
}

}  // namespace faltrix
