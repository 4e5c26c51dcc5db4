// A hostile input plug-in for the batch tests. It accepts only files that begin with
// "FALTRIX-HOSTILE " followed by what it will do in GetPictureDIB:
//   crash  -- writes through a null pointer;
//   hang   -- never returns.
// Every other file it declines, so real pictures go to the real plug-ins.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "faltrix/plugin.h"

namespace {

constexpr char kMagic[] = "FALTRIX-HOSTILE ";

std::string Narrow(const WCHAR *path) {
    std::string out;
    for (; path && *path; ++path) out.push_back(static_cast<char>(*path));  // tests use ASCII paths
    return out;
}

// What the file asks for: "crash", "hang", or empty when it is not one of ours.
std::string Behaviour(const WCHAR *path) {
    FILE *file = std::fopen(Narrow(path).c_str(), "rb");
    if (!file) return {};
    char head[64] = {};
    const size_t got = std::fread(head, 1, sizeof head - 1, file);
    std::fclose(file);
    const size_t magic = sizeof kMagic - 1;
    if (got <= magic || std::memcmp(head, kMagic, magic) != 0) return {};
    std::string word(head + magic, got - magic);
    return word.substr(0, word.find_first_of(" \r\n"));
}

int32_t Answer(const char16_t *text, WCHAR *buffer, int32_t length) {
    int32_t n = 0;
    while (text[n] && n + 1 < length) {
        buffer[n] = text[n];
        ++n;
    }
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
    if (what == "crash") {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    } else if (what == "hang") {
        for (;;) ::pause();
    }
    return nullptr;
}
