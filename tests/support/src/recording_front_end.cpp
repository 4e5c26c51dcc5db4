#include "faltrix/recording_front_end.h"

#include <algorithm>

namespace faltrix {
namespace {
// Fake control handles live in a range no allocator hands out: the ID above a high base.
constexpr uintptr_t kHandleBase = 0xFA170000u;
}  // namespace

HWND RecordingFrontEnd::ControlHandle(int id) {
    return reinterpret_cast<HWND>(kHandleBase + static_cast<uint16_t>(id));
}

int RecordingFrontEnd::ControlId(HWND control) {
    const auto value = reinterpret_cast<uintptr_t>(control);
    if (value < kHandleBase || value > kHandleBase + 0xFFFFu) return 0;
    return static_cast<int>(value - kHandleBase);
}

void RecordingFrontEnd::Record(Event event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

void RecordingFrontEnd::SetStatusText(std::u16string_view text) {
    Record({Kind::Status, std::u16string(text), {}, 0, nullptr, false});
}

void RecordingFrontEnd::PauseAfterStatus() { Record({Kind::Pause, {}, {}, 0, nullptr, false}); }

void RecordingFrontEnd::SetProgressPosition(uint32_t position) {
    Record({Kind::Progress, {}, {}, position, nullptr, false});
}

void RecordingFrontEnd::EnableControl(HWND control, bool enable) {
    Record({Kind::Enable, {}, {}, 0, control, enable});
}

HWND RecordingFrontEnd::ControlById(HWND dialog, int id) {
    (void)dialog;
    std::lock_guard lock(mutex_);
    return missing_.count(id) != 0 ? nullptr : ControlHandle(id);
}

void RecordingFrontEnd::ShowMessage(std::u16string_view text, std::u16string_view caption) {
    Record({Kind::Message, std::u16string(text), std::u16string(caption), 0, nullptr, false});
}

RECT RecordingFrontEnd::WindowRect(HWND window) {
    std::lock_guard lock(mutex_);
    auto it = rects_.find(window);
    return it != rects_.end() ? it->second : RECT{0, 0, 0, 0};
}

void RecordingFrontEnd::RepaintWindow(HWND window) {
    Record({Kind::Repaint, {}, {}, 0, window, false});
}

void RecordingFrontEnd::SetMissingControls(std::set<int> ids) {
    std::lock_guard lock(mutex_);
    missing_ = std::move(ids);
}

void RecordingFrontEnd::SetWindowRect(HWND window, RECT rect) {
    std::lock_guard lock(mutex_);
    rects_[window] = rect;
}

std::vector<RecordingFrontEnd::Event> RecordingFrontEnd::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::u16string> RecordingFrontEnd::StatusLines() const {
    return Collect<std::u16string>(Kind::Status, [](const Event &e) { return e.text; });
}

std::vector<uint32_t> RecordingFrontEnd::ProgressPositions() const {
    return Collect<uint32_t>(Kind::Progress, [](const Event &e) { return e.position; });
}

std::vector<RecordingFrontEnd::ControlChange> RecordingFrontEnd::ControlChanges() const {
    return Collect<ControlChange>(Kind::Enable, [](const Event &e) {
        return ControlChange{e.control, e.enable};
    });
}

std::vector<RecordingFrontEnd::Message> RecordingFrontEnd::Messages() const {
    return Collect<Message>(Kind::Message, [](const Event &e) {
        return Message{e.text, e.caption};
    });
}

int RecordingFrontEnd::RepaintCount(HWND window) const {
    const auto repainted = Collect<HWND>(Kind::Repaint, [](const Event &e) { return e.control; });
    return static_cast<int>(std::count(repainted.begin(), repainted.end(), window));
}

void RecordingFrontEnd::Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

}  // namespace faltrix
