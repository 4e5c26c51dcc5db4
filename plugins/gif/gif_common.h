// What the GIF input and output plug-ins share: their information answers, with giflib's
// version in the description.
#pragma once

#include <gif_lib.h>

#include <string>

#include "faltrix/kit/kit.h"

namespace faltrix::gif {

#define FALTRIX_GIF_STR2(x) #x
#define FALTRIX_GIF_STR(x) FALTRIX_GIF_STR2(x)
// giflib has no run-time version call; the version it was built against is the one Debian
// ships with the matching soname.
inline kit::FormatInfo Format() {
    const char *v = FALTRIX_GIF_STR(GIFLIB_MAJOR) "." FALTRIX_GIF_STR(
        GIFLIB_MINOR) "." FALTRIX_GIF_STR(GIFLIB_RELEASE);
    std::u16string text = u"GIF (giflib ";
    for (; *v; ++v) text.push_back(char16_t(*v));
    return {text + u")", {{u"*.gif", u"GIF pictures"}}, {}};
}

// giflib's words for an error code, as a failure's cause.
inline std::string ErrorText(int error) {
    const char *text = GifErrorString(error);
    return std::string("GIF: ") + (text ? text : "giflib error");
}

}  // namespace faltrix::gif
