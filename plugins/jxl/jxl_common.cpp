#include "jxl_common.h"

#include <jxl/decode.h>
#include <sched.h>

#include <algorithm>
#include <string>

namespace faltrix::jxl {

kit::FormatInfo Format() {
    const uint32_t v = JxlDecoderVersion();  // major * 1000000 + minor * 1000 + patch
    const std::string version = std::to_string(v / 1000000) + "." +
                                std::to_string(v / 1000 % 1000) + "." + std::to_string(v % 1000);
    std::u16string text = u"JPEG XL (libjxl ";
    text.append(version.begin(), version.end());
    text += u")";
    return {text, {{u"*.jxl", u"JPEG XL pictures"}}, {}};
}

size_t Cores() {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0
               ? static_cast<size_t>(std::max(1, CPU_COUNT(&cpus)))
               : 1;
}

}  // namespace faltrix::jxl
