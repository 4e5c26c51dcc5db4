// A front end for tests: records every status line, progress position, control change,
// message and repaint request, in the order they arrive, from any thread.
//
//     faltrix::RecordingFrontEnd recorder;
//     faltrix::ScopedFrontEnd installed(&recorder);
//     ... run a job ...
//     EXPECT_EQ(recorder.StatusLines().back(), u"Ready.");
//
// ControlById hands out a distinct fake handle per ID (ControlHandle(id)), null for the IDs
// named with SetMissingControls, so FillControlSet and EnableControlSet can be checked
// without widgets.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "faltrix/feedback.h"

namespace faltrix {

class RecordingFrontEnd : public FeedbackFrontEnd {
public:
    enum class Kind { Status, Pause, Progress, Enable, Message, Repaint };
    struct Event {
        Kind kind;
        std::u16string text;     // Status, Message
        std::u16string caption;  // Message
        uint32_t position = 0;   // Progress
        HWND control = nullptr;  // Enable, Repaint
        bool enable = false;     // Enable
    };
    struct ControlChange {
        HWND control;
        bool enable;
        bool operator==(const ControlChange &) const = default;
    };
    struct Message {
        std::u16string text;
        std::u16string caption;
        bool operator==(const Message &) const = default;
    };

    // The fake handle ControlById gives for a control ID, and the ID back from a handle
    // (0 for a handle that is not one of them).
    static HWND ControlHandle(int id);
    static int ControlId(HWND control);

    // FeedbackFrontEnd
    void SetStatusText(std::u16string_view text) override;
    void PauseAfterStatus() override;
    void SetProgressPosition(uint32_t position) override;
    void EnableControl(HWND control, bool enable) override;
    HWND ControlById(HWND dialog, int id) override;
    void ShowMessage(std::u16string_view text, std::u16string_view caption) override;
    RECT WindowRect(HWND window) override;
    void RepaintWindow(HWND window) override;

    // Set-up.
    void SetMissingControls(std::set<int> ids);
    void SetWindowRect(HWND window, RECT rect);

    // What was recorded (copies, safe to take while a job still reports).
    std::vector<Event> Events() const;
    std::vector<std::u16string> StatusLines() const;
    std::vector<uint32_t> ProgressPositions() const;
    std::vector<ControlChange> ControlChanges() const;
    std::vector<Message> Messages() const;
    int RepaintCount(HWND window) const;
    // Forgets every recorded event (set-up stays).
    void Clear();

private:
    void Record(Event event);
    // What `take` makes of each recorded event of the kind, in order.
    template <typename T, typename Take>
    std::vector<T> Collect(Kind kind, Take take) const {
        std::lock_guard lock(mutex_);
        std::vector<T> out;
        for (const Event &e : events_)
            if (e.kind == kind) out.push_back(take(e));
        return out;
    }

    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::set<int> missing_;
    std::map<HWND, RECT> rects_;
};

}  // namespace faltrix
