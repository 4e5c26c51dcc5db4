// What the GIF input and output plug-ins share: giflib's version for the description.
#pragma once

#include <gif_lib.h>

#include <string>

namespace faltrix::gif {

#define FALTRIX_GIF_STR2(x) #x
#define FALTRIX_GIF_STR(x) FALTRIX_GIF_STR2(x)
// giflib has no run-time version call; the version it was built against is the one Debian
// ships with the matching soname.
inline const std::u16string &Description() {
    static const std::u16string text = [] {
        const char *v = FALTRIX_GIF_STR(GIFLIB_MAJOR) "." FALTRIX_GIF_STR(GIFLIB_MINOR) "." FALTRIX_GIF_STR(GIFLIB_RELEASE);
        std::u16string t = u"GIF (giflib ";
        for (; *v; ++v) t.push_back(char16_t(*v));
        return t + u")";
    }();
    return text;
}

}  // namespace faltrix::gif
