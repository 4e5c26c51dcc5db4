#include "heif_common.h"

#include <string>

namespace faltrix::heif {

kit::FormatInfo Format(std::u16string_view name, std::vector<kit::Pattern> write) {
    const std::string version = heif_get_version();
    std::u16string text(name);
    text += u" (libheif ";
    text.append(version.begin(), version.end());
    text += u")";
    return {text, {{u"*.heic;*.heif;*.avif", u"HEIF, HEIC and AVIF pictures"}}, std::move(write)};
}

bool Succeeded(const heif_error &error) {
    if (error.code == heif_error_Ok) return true;
    return kit::Fail(std::string("HEIF: ") + (error.message && *error.message ? error.message : "libheif failed"));
}

}  // namespace faltrix::heif
