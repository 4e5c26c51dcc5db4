// The calling thread's last failure cause, and its answer to GetLastFailureText. A plain character
// buffer rather than a std::string: a thread-local object with a destructor would keep an unloaded
// plug-in's code registered with every thread that ever called it.
#include <algorithm>

#include "faltrix/kit/kit.h"
#include "faltrix/text.h"

namespace faltrix::kit {
namespace {

thread_local char t_cause[512];

}  // namespace

const char *LastFailure() noexcept { return t_cause; }

void ClearLastFailure() noexcept { t_cause[0] = '\0'; }

void SetLastFailure(std::string_view cause) noexcept {
    if (t_cause[0] != '\0') return;  // the first cause of a call is the nearest to the defect
    const size_t n = std::min(cause.size(), sizeof t_cause - 1);
    std::copy_n(cause.data(), n, t_cause);
    t_cause[n] = '\0';
}

int32_t AnswerLastFailure(WCHAR *buffer, int32_t bufferLength) noexcept {
    if (buffer == nullptr || bufferLength <= 0) return 0;
    buffer[0] = 0;
    try {
        const std::u16string text = Utf8ToUtf16(t_cause);
        size_t n = std::min(text.size(), static_cast<size_t>(bufferLength - 1));
        // A high surrogate whose partner did not fit would be text no one can show.
        if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        std::copy_n(text.data(), n, buffer);
        buffer[n] = 0;
        return static_cast<int32_t>(n);
    } catch (...) {
        return 0;  // no memory for the conversion: no cause is better than a broken one
    }
}

}  // namespace faltrix::kit
