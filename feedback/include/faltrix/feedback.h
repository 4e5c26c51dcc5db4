// The status line, the progress bar and the control lock: the only way in which jobs,
// plug-ins and commands reach whatever front end shows them (the Qt dialog, the command-line
// converter, or a test that records every call). Each call forwards to the front end
// installed at start-up; with none installed, the calls do nothing.
#pragma once

#include <cstdint>
#include <string_view>

#include "faltrix/plugin.h"

namespace faltrix {

// The nine controls a job disables while it runs, in this order: code button (ID 1), exit
// button (2), "Show Preview" (3), input plug-in list (1006), input "Detail" (4), output
// plug-in list (1007), output "Detail" (5), "IN" (1003), "OUT" (1004). A control the layout
// does not have is null, and every operation on it does nothing.
struct ControlSet {
    HWND code = nullptr;
    HWND exit = nullptr;
    HWND preview = nullptr;
    HWND inputList = nullptr;
    HWND inputDetail = nullptr;
    HWND outputList = nullptr;
    HWND outputDetail = nullptr;
    HWND inputChooser = nullptr;
    HWND outputChooser = nullptr;
};

// What a front end implements. Calls may come from the dialog's thread and from job threads;
// a front end that owns widgets carries each call over to its own thread and waits for it.
class FeedbackFrontEnd {
public:
    virtual ~FeedbackFrontEnd() = default;
    // Replaces the whole text of the status box.
    virtual void SetStatusText(std::u16string_view text) = 0;
    // Adds one line below the status box's text: the cause of a failure, after the job's last
    // status line. No pause follows. Front ends that report causes in their own way ignore it.
    virtual void AppendStatusLine(std::u16string_view text) { (void)text; }
    // A notice: what the stored picture lost or had changed ("kept frame 1 of 5"), one line
    // per kind after the job's last status line. The dialog shows it as a line of its own
    // below the status box's text; the command line prints it as a warning.
    virtual void ShowNotice(std::u16string_view text) { AppendStatusLine(text); }
    // The pause after each status line, on the calling thread: 100 ms in the dialog, none
    // elsewhere.
    virtual void PauseAfterStatus() {}
    // The progress bar's new position, as computed (not limited to 0..100).
    virtual void SetProgressPosition(uint32_t position) = 0;
    // Enables or disables one control (never null here).
    virtual void EnableControl(HWND control, bool enable) = 0;
    // The control of the dialog with the given ID, or null when the layout lacks it.
    virtual HWND ControlById(HWND dialog, int id) = 0;
    // A message box with an OK button and no owner window (for instance "Failed in loading
    // library." with the library's path as the caption).
    virtual void ShowMessage(std::u16string_view text, std::u16string_view caption) = 0;
    // The window rectangle of a control in screen pixels (the preview box's size); an empty
    // rectangle when unknown.
    virtual RECT WindowRect(HWND window) {
        (void)window;
        return RECT{0, 0, 0, 0};
    }
    // Asks a window to repaint itself soon (the preview box after a job drew its surface).
    virtual void RepaintWindow(HWND window) { (void)window; }
};

// Installs the front end (null removes it). Not thread-safe against running jobs: install
// before any job starts. Forgets the last progress position.
void InstallFrontEnd(FeedbackFrontEnd *frontEnd);
FeedbackFrontEnd *InstalledFrontEnd();

// Installs a front end for the lifetime of this object, then puts back the one installed
// before (tests, and front ends that live in a scope of main()).
class ScopedFrontEnd {
public:
    explicit ScopedFrontEnd(FeedbackFrontEnd *frontEnd);
    ~ScopedFrontEnd();
    ScopedFrontEnd(const ScopedFrontEnd &) = delete;
    ScopedFrontEnd &operator=(const ScopedFrontEnd &) = delete;

private:
    FeedbackFrontEnd *previous_;
};

// Writes one status line, then pauses the calling thread as the front end says.
void ShowStatus(std::u16string_view text);

// Puts a failure's cause on a line of its own below the last status line, without a pause.
void ShowFailureCause(std::u16string_view cause);

// Hands a notice to the front end, without a pause.
void ShowNotice(std::u16string_view notice);

// Progress report of plug-ins, the resampler and the jobs: the position is 0 when total is 0,
// else done * 100.0 / total in double precision truncated toward zero to an unsigned integer.
// The front end hears of a position only when it differs from the last one passed on. Always
// returns 1; data is ignored. Its type is the plug-ins' ProgressCallbackFn.
int32_t ProgressCallback(int32_t done, int32_t total, int32_t data);

// The position ProgressCallback computes, without passing it on. A share below 0 gives 0 and
// one beyond 2^32 - 1 gives 2^32 - 1 (the conversion saturates; what a bar shows for a
// position outside 0..100 is the front end's to decide).
uint32_t ProgressPosition(int32_t done, int32_t total);

// Takes the nine controls of the dialog by ID into set, in ControlSet's order.
void FillControlSet(HWND dialog, ControlSet *set);

// Enables or disables the nine controls, null ones skipped, in the order of their IDs 1, 2,
// 3, 1003, 1004, 1006, 1007, 4, 5: the buttons, the choosers, the plug-in lists, then the
// lists' "Detail" buttons.
void EnableControlSet(const ControlSet &set, bool enable);

// A message box through the front end.
void ShowMessage(std::u16string_view text, std::u16string_view caption);

}  // namespace faltrix
