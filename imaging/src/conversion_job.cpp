// The conversion job: decode with the current input plug-in, resize, store with the current
// output plug-in, reporting every stage as a status line.
#include "faltrix/conversion_job.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "faltrix/device_resize.h"
#include "faltrix/plugin_list.h"
#include "faltrix/resample.h"
#include "job_slot.h"

namespace faltrix {

char16_t InputPath[kPathBufferLength] = {};
char16_t OutputPath[kPathBufferLength] = {};
ConversionRequest TheConversionRequest;

namespace {

std::atomic<ConversionOutcome> g_lastOutcome{ConversionOutcome::None};

ConversionOutcome RunConversion() {
    const ConversionRequest request = TheConversionRequest;
    const job_slot::JobPath input = job_slot::CopyJobPath(InputPath);
    const job_slot::JobPath output = job_slot::CopyJobPath(OutputPath);
    InputPluginList &decoder = InputPlugins();

    EnableControlSet(request.controls, 0);
    ProgressCallback(0, 1, 0);

    HBITMAP result = nullptr;
    HDC storeDC = nullptr;
    ConversionOutcome outcome = ConversionOutcome::None;
    [&] {
        if (decoder.IsSupported(input.data(), 0, 0) == 0) {
            ShowStatus(u"This input is not supported or illegal format.");
            outcome = ConversionOutcome::NotSupported;
            return;
        }

        ShowStatus(u"Now Getting infomation...");
        PictureInfo info;  // only the call's success matters here
        if (decoder.GetPictureInfo(input.data(), 0, 0, &info) != 0) {
            ShowStatus(u"Failed in Getting information.");
            outcome = ConversionOutcome::InfoFailed;
            return;
        }

        ShowStatus(u"Getting infomation Done.");
        ShowStatus(u"Now Decoding input data...");
        HBITMAP decoded = decoder.GetPictureDIB(input.data(), 0, 0, ProgressCallback, 0, DibAllocCallback);
        // A bitmap that is not a readable DIB section of some size is no decoded picture.
        DIBSECTION source{};
        if (decoded != nullptr && (GetObjectW(decoded, sizeof source, &source) != static_cast<int>(sizeof source) ||
                                   source.dsBmih.biWidth <= 0 || source.dsBmih.biHeight == 0)) {
            DeleteObject(decoded);
            decoded = nullptr;
        }
        if (decoded == nullptr) {
            ShowStatus(u"Failed in Decoding input data.");
            outcome = ConversionOutcome::DecodeFailed;
            return;
        }
        ShowStatus(u"Decoding input data Done.");

        // A top-down picture (negative height) has the same size as its bottom-up twin.
        const int32_t sourceWidth = source.dsBmih.biWidth;
        const int32_t sourceHeight = source.dsBmih.biHeight < 0 ? -source.dsBmih.biHeight : source.dsBmih.biHeight;
        const bool sizeChanged = request.outputWidth != static_cast<uint32_t>(sourceWidth) ||
                                 request.outputHeight != static_cast<uint32_t>(sourceHeight);

        if (request.antiAlias != 0 && sizeChanged) {
            ShowStatus(u"Now anti-alias Resizing...");
            const double sx = static_cast<double>(request.outputWidth) / static_cast<double>(sourceWidth);
            const double sy = static_cast<double>(request.outputHeight) / static_cast<double>(sourceHeight);
            HBITMAP resized = AreaAverageResize(decoded, sx, sy, ProgressCallback);
            if (resized != nullptr) {
                ShowStatus(u"anti-alias Resizing Done.");
                DeleteObject(decoded);
                HDC screen = GetDC(nullptr);
                storeDC = CreateCompatibleDC(screen);
                ReleaseDC(nullptr, screen);
                if (storeDC != nullptr) SelectObject(storeDC, resized);
                if (storeDC == nullptr || GetCurrentObject(storeDC, OBJ_BITMAP) != resized) {
                    if (storeDC != nullptr) DeleteDC(storeDC);
                    storeDC = nullptr;
                    DeleteObject(resized);
                    ShowStatus(u"Failed in Resizing.");
                    outcome = ConversionOutcome::ResizeFailed;
                    return;
                }
                result = resized;
            } else {
                ShowStatus(u"anti-alias Resizing supportes 24bits only.");
                ShowStatus(u"Now Resizing by default CE function.");
            }
        }

        if (result == nullptr) {
            const DeviceResizeResult resized =
                DeviceResize(decoded, source, request.outputWidth, request.outputHeight);
            if (resized.bitmap == nullptr) {
                // Nothing to store: saying "Done." here would store an empty picture.
                ShowStatus(u"Failed in Resizing.");
                outcome = ConversionOutcome::ResizeFailed;
                return;
            }
            result = resized.bitmap;
            storeDC = resized.storeDC;
            ShowStatus(u"normal Resizing Done.");
        }

        ShowStatus(u"Now Coding and Storing...");
        if (OutputPlugins().SaveDIBPicture(storeDC, output.data(), 0, 0, ProgressCallback, 0) == 0) {
            ShowStatus(u"Coding and Storing Done.");
            ShowStatus(u"Ready.");
            outcome = ConversionOutcome::Stored;
        } else {
            ShowStatus(u"Failed in Coding or Storing data.");
            outcome = ConversionOutcome::StoreFailed;
        }
    }();

    // The store DC goes first: the result is still selected in it.
    if (storeDC != nullptr) DeleteDC(storeDC);
    if (result != nullptr) DeleteObject(result);
    ProgressCallback(0, 1, 0);
    EnableControlSet(request.controls, 1);
    return outcome;
}

}  // namespace

bool StartConversionJob(const ControlSet &controls, uint32_t outputWidth, uint32_t outputHeight,
                        int32_t antiAlias) {
    if (!job_slot::TryAcquire()) return false;
    TheConversionRequest.controls = controls;
    TheConversionRequest.outputWidth = outputWidth;
    TheConversionRequest.outputHeight = outputHeight;
    TheConversionRequest.antiAlias = antiAlias;
    // Disabled here, before the thread exists, so that no command slips in between.
    EnableControlSet(controls, 0);
    const bool started = job_slot::StartThread([] { g_lastOutcome.store(RunConversion()); });
    if (!started) {
        EnableControlSet(controls, 1);
        job_slot::Release(false);
    }
    return started;
}

int ConversionJob(void *unused) {
    (void)unused;
    job_slot::Acquire();
    g_lastOutcome.store(RunConversion());
    job_slot::Release();
    return 0;
}

ConversionOutcome LastConversionOutcome() { return g_lastOutcome.load(); }

}  // namespace faltrix
