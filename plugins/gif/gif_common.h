// What the GIF input and output plug-ins share: their information answers, with giflib's
// version in the description, and colour tables made from palettes.
#pragma once

#include <gif_lib.h>

#include <memory>
#include <string>
#include <vector>

#include "faltrix/kit/frames.h"
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

// Pads a palette to the power of two a GIF colour table must have (2 to 256 entries); null
// when giflib has no memory for it.
inline ColorMapObject *MakeMap(const std::vector<RGBQUAD> &palette) {
    int size = 2;
    while (size < int(palette.size())) size *= 2;
    std::vector<GifColorType> colours(size_t(size), GifColorType{0, 0, 0});
    for (size_t i = 0; i < palette.size(); ++i)
        colours[i] = GifColorType{palette[i].rgbRed, palette[i].rgbGreen, palette[i].rgbBlue};
    return GifMakeMapObject(size, colours.data());
}

// The output's frame writer (gif_frames_output.cpp).
std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence);

}  // namespace faltrix::gif
