#include "heif_common.h"

#include <dlfcn.h>

#include <string>

namespace faltrix::heif {
namespace {

// libde265, libheif's HEVC decoder, allocates tables when it is loaded and never frees them.
// Unloaded with the plug-in and loaded again (the dialog does so each time another plug-in
// of the folder is chosen), it would leak them every time; kept loaded, it makes them once
// per process.
[[maybe_unused]] const bool g_decoderKept =
    dlopen("libde265.so.0", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;

}  // namespace

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
    return kit::Fail(std::string("HEIF: ") +
                     (error.message && *error.message ? error.message : "libheif failed"));
}

}  // namespace faltrix::heif
