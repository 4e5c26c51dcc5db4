// What both TIFF plug-ins share: message handlers, the information answers, resolution units.
#include "tiff_common.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace faltrix::tiff {
namespace {

// libtiff's complaint about an out-of-range value of a tag that only describes the picture
// ("<file>: Bad value 9 for \"Orientation\" tag"): the tag is left unset, so its default holds,
// as other readers take it. True, with the value dropped as a notice, for such a tag.
bool IgnoredDescriptiveValue(const char *module, const char *text) {
    if (module == nullptr || std::strcmp(module, "_TIFFVSetField") != 0) return false;
    const char *bad = std::strstr(text, "Bad value ");
    if (bad == nullptr) return false;
    char field[32] = {};
    unsigned long value = 0;
    if (std::sscanf(bad, "Bad value %lu for \"%31[^\"]\" tag", &value, field) != 2) return false;
    if (std::strcmp(field, "Orientation") != 0 && std::strcmp(field, "ResolutionUnit") != 0)
        return false;
    kit::NoteDropped("the " + std::string(field) + " value " + std::to_string(value) +
                     ", which is out of range (taken as " + (field[0] == 'O' ? "1" : "2, inches") +
                     ")");
    return true;
}

int OnError(TIFF *, void *user, const char *module, const char *fmt, va_list ap) {
    auto *m = static_cast<Messages *>(user);
    char message[448];
    std::vsnprintf(message, sizeof message, fmt, ap);
    if (IgnoredDescriptiveValue(module, message)) return 1;
    if (m->errors++ == 0) {
        char text[512];
        // libtiff names the file as the module of many messages: the front end names it already.
        const bool path = module == nullptr || std::strchr(module, '/') != nullptr;
        std::snprintf(text, sizeof text, "TIFF: %s%s%s", path ? "" : module, path ? "" : ": ",
                      message);
        kit::SetLastFailure(text);
    }
    return 1;  // handled: libtiff's global handler (stderr) is not called
}

// libtiff reads past a tag it cannot read ("IO error during reading of \"ICC Profile\"; tag
// ignored", for a profile that lies past the file's end) with a warning: for the items the host
// carries, the user is told what the picture lost.
int OnWarning(TIFF *, void *user, const char *, const char *fmt, va_list ap) {
    static_cast<Messages *>(user)->warnings++;
    char message[448];
    std::vsnprintf(message, sizeof message, fmt, ap);
    const char *ignored = std::strstr(message, "\"; tag ignored");
    if (ignored == nullptr) return 1;
    const std::string_view head(message, size_t(ignored - message));
    const auto named = [&](std::string_view name) {
        return head.size() > name.size() && head.ends_with(name) &&
               head[head.size() - name.size() - 1] == '"';
    };
    if (named("ICC Profile")) kit::NoteDropped("the colour profile, which the file cuts short");
    else if (named("XMLPacket")) kit::NoteDropped("the XMP packet, which the file cuts short");
    return 1;
}

}  // namespace

TIFFOpenOptions *NewOptions(Messages *messages) {
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    if (!opts) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(opts, OnError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, OnWarning, messages);
    // No single allocation of libtiff's own (strip buffers, tag arrays) may exceed 1 GiB,
    // whatever a hostile header claims.
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t{1} << 30);
    return opts;
}

kit::FormatInfo Format() {
    // TIFFGetVersion(): "LIBTIFF, Version 4.5.0\nCopyright ..."
    const char *v = TIFFGetVersion();
    const char *p = v ? std::strstr(v, "Version ") : nullptr;
    std::string number = "unknown";
    if (p) {
        p += 8;
        size_t n = std::strcspn(p, "\n ");
        number.assign(p, n);
    }
    std::u16string text = u"TIFF (libtiff ";
    text.append(number.begin(), number.end());
    text += u")";
    return {text, {{u"*.tif;*.tiff", u"TIFF pictures"}}, {}};
}

int32_t PelsPerMeter(float resolution, int unit) {
    if (!(resolution > 0) || !std::isfinite(resolution)) return 0;
    double ppm;
    switch (unit) {
    case RESUNIT_INCH: ppm = resolution / 0.0254; break;
    case RESUNIT_CENTIMETER: ppm = resolution * 100.0; break;
    default: return 0;
    }
    return ppm < 1 || ppm > 2147483647.0 ? 0 : static_cast<int32_t>(std::lround(ppm));
}

}  // namespace faltrix::tiff
