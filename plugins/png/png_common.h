// What the PNG input and output plug-ins share: libpng's error handling and the format's
// information answers.
//
// libpng reports errors by longjmp to the png_jmpbuf of its struct. Every function of these
// plug-ins that calls setjmp keeps only trivially destructible locals, so the jump never skips
// a C++ destructor; the objects that own memory live in the caller.
#pragma once

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "faltrix/kit/kit.h"
#include "faltrix/kit/metadata.h"

namespace faltrix::png {

// libpng's error handler: keeps libpng's words as the failure's cause and goes back to the
// setjmp of the calling helper; nothing is printed.
[[noreturn]] inline void OnError(png_structp png, png_const_charp message) {
    char text[256];
    std::snprintf(text, sizeof text, "PNG: %s", message ? message : "libpng error");
    kit::SetLastFailure(text);
    png_longjmp(png, 1);
}

// libpng's reading from the file (what png_init_io sets up), telling a file that ends early
// from one that cannot be read before libpng's own "Read Error".
inline void ReadFromFile(png_structp png, png_bytep data, size_t length) {
    FILE *file = static_cast<FILE *>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, file) == length) return;
    kit::SetLastFailure(std::ferror(file) ? std::strerror(errno)
                                          : "PNG: the file ends before the picture does");
    png_error(png, "Read Error");
}
// Warnings (a bad ancillary chunk, an unknown sRGB profile) change nothing for us.
inline void OnWarning(png_structp, png_const_charp) {}

// The libpng state of one call, for reading or for writing. Destroyed by its owner, never
// across a jump.
template <bool kWrite>
struct State {
    png_structp png = nullptr;
    png_infop info = nullptr;
    State() {
        png = kWrite ? png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning)
                     : png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
        if (png) info = png_create_info_struct(png);
    }
    ~State() {
        if (!png) return;
        if constexpr (kWrite) png_destroy_write_struct(&png, info ? &info : nullptr);
        else png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    bool ok() const { return png && info; }
};
using Reader = State<false>;
using Writer = State<true>;

// "PNG (libpng 1.6.39)", with the version of the library actually loaded.
inline kit::FormatInfo Format() {
    std::u16string text = u"PNG (libpng ";
    for (const char *v = png_get_libpng_ver(nullptr); v && *v; ++v) text.push_back(char16_t(*v));
    text += u")";
    return {text, {{u"*.png", u"PNG pictures"}}, {}};
}

// What the writers of a still picture and of frames share. RelaxProfileChecks: libpng's
// check of sRGB profiles skipped and its benign errors made warnings (png_output.cpp).
void RelaxProfileChecks(png_structp png);

// The items the host set for the picture being stored.
struct Items {
    std::string icc = kit::OutgoingMetadata(FALTRIX_METADATA_ICC);
    std::string exif = kit::OutgoingMetadata(FALTRIX_METADATA_EXIF);
    std::string xmp = kit::OutgoingMetadata(FALTRIX_METADATA_XMP);
};

// Sets the resolution (pHYs, pels per metre; none when 0), the profile (iCCP), EXIF (eXIf)
// and XMP (iTXt) of the picture on info. False, with `refused` as the cause, when libpng drops the
// profile as not the picture's (a grey one on colour pixels): the picture fails rather than lose it
// without a word, and the host stores it again without. Call it within the caller's setjmp.
bool SetPictureChunks(png_structp png, png_infop info, int32_t xppm, int32_t yppm,
                      const Items &items, const char *refused);

}  // namespace faltrix::png
