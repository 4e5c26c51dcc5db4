// A hostile output plug-in for the converter's tests of safe storing. Given a file named
// *.liar it answers success without writing a byte; given *.race it first creates out.race
// beside that file with the bytes "precious", as another program making the output during the
// conversion would, and then stores a few bytes of its own; given *.slow it writes a few bytes
// and then never returns, for the tests that stop a conversion while it stores; given *.quit
// it writes a few bytes and ends the process with status 0; given *.chatty it prints to
// standard output (through stdio and straight to fd 1) and stores the bytes "picture"; given
// *.picky it takes every item the host sets and then, while it holds any, writes a few bytes
// and fails with the cause "cannot store the items", storing "mine" once they are cleared. It
// refuses every setting with -1, which is its own answer, with the cause "no <key> here".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "faltrix/kit/kit.h"

namespace {

const faltrix::kit::PluginInfoTable kInfo{FALTRIX_OUTPUT_TAG,
                                          u"Hostile test plug-in",
                                          {{u"*.liar", u""},
                                           {u"*.race", u""},
                                           {u"*.slow", u""},
                                           {u"*.quit", u""},
                                           {u"*.chatty", u""},
                                           {u"*.picky", u""}}};

bool WriteFile(const std::string &path, const char *text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fputs(text, f) >= 0;
    return std::fclose(f) == 0 && written;
}

}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,
                                            int32_t bufferLength) {
    return faltrix::kit::AnswerPluginInfo(kInfo, infoNumber, buffer, bufferLength);
}

FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *) {
    std::string key, cause = "no ";
    faltrix::kit::PathToBytes(name, &key);
    faltrix::kit::SetLastFailure(cause.append(key).append(" here"));
    return -1;
}

FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t bufferLength) {
    return faltrix::kit::AnswerLastFailure(buffer, bufferLength);
}

namespace {
thread_local bool t_holdsItems = false;
}

FALTRIX_PLUGIN_EXPORT int32_t SetPictureMetadata(const char *key, const void *, int32_t) {
    t_holdsItems = key != nullptr;
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC, const WCHAR *path, int32_t, int32_t,
                                             ProgressCallbackFn, int32_t) {
    faltrix::kit::ClearLastFailure();
    std::string name;
    if (!faltrix::kit::PathToBytes(path, &name)) return 1;
    if (name.ends_with(".liar")) return 0;
    if (name.ends_with(".picky")) {
        if (!t_holdsItems) return WriteFile(name, "mine") ? 0 : 1;
        WriteFile(name, "partial");
        faltrix::kit::SetLastFailure("cannot store the items");
        return 1;
    }
    if (name.ends_with(".slow") && WriteFile(name, "partial"))
        for (;;) pause();
    if (name.ends_with(".quit") && WriteFile(name, "partial")) std::exit(0);
    if (name.ends_with(".chatty")) {
        std::printf("chatty: storing\n");
        std::fflush(stdout);
        (void)!::write(STDOUT_FILENO, "chatty: raw\n", 12);
        return WriteFile(name, "picture") ? 0 : 1;
    }
    const std::string folder = name.substr(0, name.rfind('/') + 1);
    return WriteFile(folder + "out.race", "precious") && WriteFile(name, "mine") ? 0 : 1;
}
