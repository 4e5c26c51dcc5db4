#include "webp_version.h"

#include <webp/decode.h>

namespace faltrix::webp {

kit::FormatInfo Format() {
    const int v = WebPGetDecoderVersion();  // 0xMMmmpp
    const std::string number = std::to_string((v >> 16) & 0xFF) + "." +
                               std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
    std::u16string text = u"WebP (libwebp ";
    text.append(number.begin(), number.end());
    text += u")";
    return {text, {{u"*.webp", u"WebP pictures"}}, {}};
}

}  // namespace faltrix::webp
