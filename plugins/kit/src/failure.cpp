// The calling thread's last failure cause. A plain character buffer rather than a
// std::string: a thread-local object with a destructor would keep an unloaded plug-in's code
// registered with every thread that ever called it.
#include <algorithm>

#include "faltrix/kit/kit.h"

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

}  // namespace faltrix::kit
