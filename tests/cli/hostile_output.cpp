// A hostile output plug-in for the converter's tests of safe storing. Given a file named
// *.liar it answers success without writing a byte; given *.race it first creates out.race
// beside that file with the bytes "precious", as another program making the output during the
// conversion would, and then stores a few bytes of its own; given *.slow it writes a few bytes
// and then never returns, for the tests that stop a conversion while it stores.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "faltrix/kit/kit.h"

namespace {

const faltrix::kit::PluginInfoTable kInfo{FALTRIX_OUTPUT_TAG, u"Hostile test plug-in", {{u"*.liar", u""}, {u"*.race", u""}, {u"*.slow", u""}}};

bool WriteFile(const std::string &path, const char *text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fputs(text, f) >= 0;
    return std::fclose(f) == 0 && written;
}

}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    return faltrix::kit::AnswerPluginInfo(kInfo, infoNumber, buffer, bufferLength);
}

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC, const WCHAR *path, int32_t, int32_t, ProgressCallbackFn, int32_t) {
    std::string name;
    if (!faltrix::kit::PathToBytes(path, &name)) return 1;
    if (name.ends_with(".liar")) return 0;
    if (name.ends_with(".slow") && WriteFile(name, "partial"))
        for (;;) pause();
    const std::string folder = name.substr(0, name.rfind('/') + 1);
    return WriteFile(folder + "out.race", "precious") && WriteFile(name, "mine") ? 0 : 1;
}
