// The dialog's front end of the feedback functions: status box, progress bar, enabling
// controls. A call from a job thread is carried over to the dialog's thread and waited for;
// the dialog's thread never waits for a job thread.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>

#include "faltrix/feedback.h"

namespace faltrix {

class MainDialog;

class QtFrontEnd final : public QObject, public FeedbackFrontEnd {
public:
    explicit QtFrontEnd(MainDialog *dialog);

    // The pause after each status line (100 ms; tests set 0).
    void SetStatusPause(std::chrono::milliseconds pause) { pauseMs_.store(pause.count()); }

    // A line kept below every status text until it is set empty (what the dialog waits for).
    void SetStatusNote(const QString &note);

    void SetStatusText(std::u16string_view text) override;
    // Keeps the status box's text and adds the line below it.
    void AppendStatusLine(std::u16string_view text) override;
    void PauseAfterStatus() override;
    // Positions outside 0..100 are shown as 0 or 100.
    void SetProgressPosition(uint32_t position) override;
    void EnableControl(HWND control, bool enable) override;
    HWND ControlById(HWND dialog, int id) override;
    void ShowMessage(std::u16string_view text, std::u16string_view caption) override;
    // In device pixels.
    RECT WindowRect(HWND window) override;
    void RepaintWindow(HWND window) override;

private:
    // Runs `action` on the dialog's thread: at once when called there, otherwise queued to it
    // while the caller waits.
    template <class Action>
    void OnDialogThread(Action &&action);

    MainDialog *dialog_;
    std::atomic<long long> pauseMs_{100};
    QString note_;  // used on the dialog's thread only
};

}  // namespace faltrix
