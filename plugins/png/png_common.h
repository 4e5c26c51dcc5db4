// What the PNG input and output plug-ins share: libpng's error handling and the format's
// information answers.
//
// libpng reports errors by longjmp to the png_jmpbuf of its struct. Every function of these
// plug-ins that calls setjmp keeps only trivially destructible locals, so the jump never skips
// a C++ destructor; the objects that own memory live in the caller.
#pragma once

#include <png.h>

#include <string>

#include "faltrix/kit/kit.h"

namespace faltrix::png {

// libpng's error handler: keeps libpng's words as the failure's cause and goes back to the
// setjmp of the calling helper; nothing is printed.
[[noreturn]] inline void OnError(png_structp png, png_const_charp message) {
    kit::SetLastFailure(message ? message : "libpng error");
    png_longjmp(png, 1);
}
// Warnings (a bad ancillary chunk, an unknown sRGB profile) change nothing for us.
inline void OnWarning(png_structp, png_const_charp) {}

// "PNG (libpng 1.6.39)", with the version of the library actually loaded.
inline kit::FormatInfo Format() {
    std::u16string text = u"PNG (libpng ";
    for (const char *v = png_get_libpng_ver(nullptr); v && *v; ++v) text.push_back(char16_t(*v));
    text += u")";
    return {text, {{u"*.png", u"PNG pictures"}}, {}};
}

}  // namespace faltrix::png
