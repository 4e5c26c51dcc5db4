// Forwarding of the status line, the progress bar and the control lock to the installed
// front end.
#include "faltrix/feedback.h"

#include <atomic>
#include <limits>

namespace faltrix {
namespace {

std::atomic<FeedbackFrontEnd *> g_frontEnd{nullptr};

// The last position passed on to the front end. Positions are 32-bit, so a value above
// UINT32_MAX means "none passed on yet" and differs from every real position.
constexpr uint64_t kNoPosition = std::numeric_limits<uint64_t>::max();
std::atomic<uint64_t> g_lastPosition{kNoPosition};

FeedbackFrontEnd *FrontEnd() { return g_frontEnd.load(std::memory_order_acquire); }

}  // namespace

void InstallFrontEnd(FeedbackFrontEnd *frontEnd) {
    g_lastPosition.store(kNoPosition, std::memory_order_relaxed);
    g_frontEnd.store(frontEnd, std::memory_order_release);
}

FeedbackFrontEnd *InstalledFrontEnd() { return FrontEnd(); }

ScopedFrontEnd::ScopedFrontEnd(FeedbackFrontEnd *frontEnd) : previous_(InstalledFrontEnd()) {
    InstallFrontEnd(frontEnd);
}

ScopedFrontEnd::~ScopedFrontEnd() { InstallFrontEnd(previous_); }

void ShowStatus(std::u16string_view text) {
    if (FeedbackFrontEnd *fe = FrontEnd()) {
        fe->SetStatusText(text);
        fe->PauseAfterStatus();
    }
}

void ShowFailureCause(std::u16string_view cause) {
    if (FeedbackFrontEnd *fe = FrontEnd()) fe->AppendStatusLine(cause);
}

void ShowNotice(std::u16string_view notice) {
    if (FeedbackFrontEnd *fe = FrontEnd()) fe->ShowNotice(notice);
}

uint32_t ProgressPosition(int32_t done, int32_t total) {
    if (total == 0) return 0;
    const double exact = static_cast<double>(done) * 100.0 / static_cast<double>(total);
    // Converting a double outside the range of uint32_t is undefined in C++. The position is
    // saturated instead, as the target processor's own conversion does: a negative share
    // gives 0, a share beyond 2^32 - 1 gives 2^32 - 1. |exact| <= 2^31 * 100, never NaN.
    if (exact <= 0.0) return 0;
    if (exact >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(exact);  // truncates toward zero
}

int32_t ProgressCallback(int32_t done, int32_t total, int32_t data) {
    (void)data;
    const uint32_t position = ProgressPosition(done, total);
    // A per-pixel caller repeats the same position thousands of times; only a change
    // reaches the front end. The relaxed load is the common path. Should two threads report
    // at once, the exchange lets exactly one of them pass a given change on.
    if (g_lastPosition.load(std::memory_order_relaxed) == position) return 1;
    if (g_lastPosition.exchange(position, std::memory_order_relaxed) == position) return 1;
    if (FeedbackFrontEnd *fe = FrontEnd()) fe->SetProgressPosition(position);
    return 1;
}

void FillControlSet(HWND dialog, ControlSet *set) {
    if (set == nullptr) return;
    FeedbackFrontEnd *fe = FrontEnd();
    auto byId = [&](int id) -> HWND {
        return fe != nullptr ? fe->ControlById(dialog, id) : nullptr;
    };
    set->code = byId(1);
    set->exit = byId(2);
    set->preview = byId(3);
    set->inputList = byId(1006);
    set->inputDetail = byId(4);
    set->outputList = byId(1007);
    set->outputDetail = byId(5);
    set->inputChooser = byId(1003);
    set->outputChooser = byId(1004);
}

void EnableControlSet(const ControlSet &set, bool enable) {
    FeedbackFrontEnd *fe = FrontEnd();
    if (fe == nullptr) return;
    // Not the record's order: a front end sees the buttons change first, then the choosers,
    // the plug-in lists and last the lists' "Detail" buttons.
    const HWND order[] = {set.code,         set.exit,          set.preview,
                          set.inputChooser, set.outputChooser, set.inputList,
                          set.outputList,   set.inputDetail,   set.outputDetail};
    for (HWND control : order) {
        if (control != nullptr) fe->EnableControl(control, enable);
    }
}

void ShowMessage(std::u16string_view text, std::u16string_view caption) {
    if (FeedbackFrontEnd *fe = FrontEnd()) fe->ShowMessage(text, caption);
}

}  // namespace faltrix
