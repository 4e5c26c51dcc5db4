#include "jp2_common.h"

namespace faltrix::jp2 {

kit::FormatInfo Format() {
    const std::string version = opj_version();
    std::u16string text = u"JPEG 2000 (OpenJPEG ";
    text.append(version.begin(), version.end());
    text += u")";
    return {text,
            {{u"*.jp2", u"JPEG 2000 pictures"}, {u"*.j2k;*.j2c;*.jpc", u"JPEG 2000 codestreams"}},
            {}};
}

void Messages::Listen(opj_codec_t *codec) {
    opj_set_error_handler(codec, Error, this);
    opj_set_warning_handler(codec, Ignore, this);
    opj_set_info_handler(codec, Ignore, this);
}

bool Messages::Fail(const std::string &fallback) const {
    return kit::Fail("JPEG 2000: " + (first_.empty() ? fallback : first_));
}

void Messages::Error(const char *text, void *self) {
    auto *messages = static_cast<Messages *>(self);
    if (!messages->first_.empty() || !text) return;
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    messages->first_ = line;
}

}  // namespace faltrix::jp2
