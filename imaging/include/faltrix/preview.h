// The preview surface and the preview job: the input picture decoded on a thread of its own,
// fitted and centred into an off-screen surface the size of the preview box, from which the
// box paints itself.
#pragma once

#include <cstdint>
#include <mutex>

#include "faltrix/feedback.h"

namespace faltrix {

// The off-screen surface: a compatible (32-bit top-down) bitmap selected into a memory DC,
// white wherever no picture was drawn. Owned by the dialog's thread.
struct PreviewSurface {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    int32_t width = 0;
    int32_t height = 0;
};
extern PreviewSurface ThePreviewSurface;

// Orders a job's drawing into the surface with the box's painting from it: both hold it.
std::mutex &PreviewSurfaceMutex();

// Replaces the surface by a white one of the box's window-rectangle size. Always true.
bool CreatePreviewSurface(HWND previewBox);
// Deletes the surface's DC and bitmap and resets the record.
void DestroyPreviewSurface();
// Fills the surface with white; does not repaint the box.
void ClearPreviewSurface();

struct PreviewRequest {
    HWND previewBox = nullptr;
    ControlSet controls;
    HDC surfaceDC = nullptr;
    int32_t antiAlias = 0;
};
extern PreviewRequest ThePreviewRequest;

// "Illegal input file name." and false when InputPath is empty; otherwise writes the request,
// disables the controls on the calling thread and starts PreviewJob on a new thread.
bool StartPreviewJob(HWND previewBox, HDC surfaceDC, const ControlSet &controls, int32_t antiAlias);

// The job itself; always returns 0.
int PreviewJob(void *unused);

}  // namespace faltrix
