// A hostile input plug-in for the batch tests. It accepts only files that begin with
// "FALTRIX-HOSTILE " followed by what it will do in GetPictureDIB:
//   crash  -- writes through a null pointer;
//   hang   -- never returns.
// Every other file it declines, so real pictures go to the real plug-ins.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "faltrix/plugin.h"

namespace {

// What the file asks for: "crash", "hang", or empty when it is not one of ours.
std::string Behaviour(const WCHAR *path) {
    std::string narrow;  // the tests use ASCII paths
    for (; path && *path; ++path) narrow.push_back(static_cast<char>(*path));
    char head[64] = {};
    if (FILE *file = std::fopen(narrow.c_str(), "rb")) {
        head[std::fread(head, 1, sizeof head - 1, file)] = 0;
        std::fclose(file);
    }
    const std::string text(head), magic("FALTRIX-HOSTILE ");
    if (text.size() <= magic.size() || text.compare(0, magic.size(), magic) != 0) return {};
    return text.substr(magic.size(), text.find_first_of(" \r\n", magic.size()) - magic.size());
}

int32_t Answer(const char16_t *text, WCHAR *buffer, int32_t length) {
    int32_t n = 0;
    for (; text[n] && n + 1 < length; ++n) buffer[n] = text[n];
    if (length > 0) buffer[n] = 0;
    return n;
}

}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    switch (infoNumber) {
    case 0: return Answer(FALTRIX_INPUT_TAG, buffer, bufferLength);
    case 1: return Answer(u"Hostile test plug-in", buffer, bufferLength);
    case 2: return Answer(u"*.hostile", buffer, bufferLength);
    default: return 0;
    }
}

FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {
    return Behaviour(path).empty() ? 0 : 1;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t, PictureInfo *info) {
    if (Behaviour(path).empty()) return 1;
    info->width = 8;
    info->height = 8;
    return 0;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t, ProgressCallbackFn progress,
                                            int32_t data, DibAllocCallbackFn) {
    const std::string what = Behaviour(path);
    if (progress) progress(1, 2, data);
    if (what == "crash") *static_cast<volatile int *>(nullptr) = 1;
    while (what == "hang") ::pause();
    return nullptr;
}
