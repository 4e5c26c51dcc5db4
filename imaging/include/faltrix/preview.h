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

// Orders a job's drawing into the surface with the box's painting from it: both hold it
// (as do the surface operations below). The job makes no front-end call while it holds the
// mutex, so the box may paint under it on the dialog's thread; a holder must not wait for a
// job.
std::mutex &PreviewSurfaceMutex();

// Replaces the surface by a white one of the box's size, as the front end's WindowRect(box)
// gives it (no surface bitmap when that is empty).
void CreatePreviewSurface(HWND previewBox);
// Deletes the surface's DC and bitmap and resets the record.
void DestroyPreviewSurface();
// Fills the surface with white; does not repaint the box.
void ClearPreviewSurface();

struct PreviewRequest {
    HWND previewBox = nullptr;
    ControlSet controls;
    HDC surfaceDC = nullptr;
    bool antiAlias = false;
};
extern PreviewRequest ThePreviewRequest;

// False, doing nothing, while a job (conversion or preview) runs. "Illegal input file name."
// and false when InputPath is empty; otherwise writes the request, disables the controls on
// the calling thread and starts PreviewJob on a new thread (false, controls enabled again,
// when no thread could be made).
bool StartPreviewJob(HWND previewBox, HDC surfaceDC, const ControlSet &controls, bool antiAlias);

// The job itself, with ThePreviewRequest and InputPath: fits the picture into the box
// (WindowRect of previewBox), draws it into surfaceDC under PreviewSurfaceMutex() and asks the
// front end to repaint the box (RepaintWindow). A PictureInfo of zero or negative size counts
// as information not obtained. Called directly while another job runs, it first waits for
// that job to end. Always returns 0.
int PreviewJob(void *unused);

}  // namespace faltrix
