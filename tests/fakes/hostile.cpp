// The hostile plug-ins of the converter's tests, input and (built with HOSTILE_OUTPUT) output.
//
// Input: it accepts only files named *.hostile and never returns a picture for them: in
// GetPictureDIB it writes through a null pointer when the name ends in "crash.hostile" and
// never returns for any other. Every other file it declines, so real pictures go to the real
// plug-ins. It has no GetLastFailureText: the size of a file named "fail.hostile" fails without
// a cause. "meta.hostile" decodes to a black 8 x 8 picture whose items are all bad news: five
// frames, 16 bits, a cut-short profile, an EXIF block over the limit and something dropped.
// "exit.hostile" ends the process with status 0 half way through decoding; "chatty.hostile"
// decodes to a black 8 x 8 picture after printing to standard output, through stdio and
// straight to fd 1, as a chatty library would; "wait.hostile" decodes to the same picture once
// no file "wait.hostile.hold" is beside it (waiting at most 20 s).
//
// Output, for the tests of safe storing: given a file named *.liar it answers success without
// writing a byte; given *.race it first creates out.race beside that file with the bytes
// "precious", as another program making the output during the conversion would, and then
// stores a few bytes of its own; given *.slow it writes a few bytes and then never returns, for
// the tests that stop a conversion while it stores; given *.quit it writes a few bytes and ends
// the process with status 0; given *.chatty it prints to standard output (through stdio and
// straight to fd 1) and stores the bytes "picture"; given *.picky it takes every item the host
// sets and then, while it holds any, writes a few bytes and fails with the cause "cannot store
// the items", storing "mine" once they are cleared. It refuses every setting with -1, which is
// its own answer, with the cause "no <key> here".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "faltrix/kit/kit.h"

namespace {

// The path's bytes; empty when it names no file.
std::string Name(const WCHAR *path) {
    std::string name;
    return faltrix::kit::PathToBytes(path, &name) ? name : std::string();
}

// What a chatty library prints while it works, through stdio and straight to fd 1.
void Chatter(const char *doing) {
    std::printf("chatty: %s\n", doing);
    std::fflush(stdout);
    (void)!::write(STDOUT_FILENO, "chatty: raw\n", 12);
}

#ifndef HOSTILE_OUTPUT
const faltrix::kit::PluginInfoTable kInfo{
    FALTRIX_INPUT_TAG, u"Hostile test plug-in", {{u"*.hostile", u""}}};
#else
const faltrix::kit::PluginInfoTable kInfo{FALTRIX_OUTPUT_TAG,
                                          u"Hostile test plug-in",
                                          {{u"*.liar", u""},
                                           {u"*.race", u""},
                                           {u"*.slow", u""},
                                           {u"*.quit", u""},
                                           {u"*.chatty", u""},
                                           {u"*.picky", u""}}};
#endif

}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,
                                            int32_t bufferLength) {
    return faltrix::kit::AnswerPluginInfo(kInfo, infoNumber, buffer, bufferLength);
}

#ifndef HOSTILE_OUTPUT

namespace {
// The file's name when the file is one of its own (*.hostile), else nothing.
std::string OwnName(const WCHAR *path) {
    const std::string name = Name(path);
    return name.ends_with(".hostile") ? name : std::string();
}
}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {
    return OwnName(path).empty() ? 0 : 1;
}

// Every other file is 8 x 8: the host asks only after IsSupported has accepted it, or when the
// plug-in is forced on a file.
FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t,
                                             PictureInfo *info) {
    if (OwnName(path).ends_with("fail.hostile")) return 1;
    if (OwnName(path).ends_with("chatty.hostile")) std::printf("chatty: reading the size\n");
    info->width = info->height = 8;
    return 0;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t, ProgressCallbackFn,
                                            int32_t, DibAllocCallbackFn alloc) {
    const std::string name = OwnName(path);
    if (name.ends_with("exit.hostile")) std::exit(0);
    if (name.ends_with("chatty.hostile")) Chatter("decoding");
    for (int i = 0; name.ends_with("wait.hostile") && i < 2000 &&
                    ::access((name + ".hold").c_str(), F_OK) == 0;
         ++i)
        ::usleep(10000);
    if (name.ends_with("meta.hostile") || name.ends_with("chatty.hostile") ||
        name.ends_with("wait.hostile")) {
        faltrix::kit::DibSpec spec;
        spec.width = spec.height = 8;
        faltrix::kit::Dib dib;
        return faltrix::kit::AllocateDib(alloc, spec, &dib) ? dib.bitmap : nullptr;
    }
    if (name.ends_with("crash.hostile")) *static_cast<volatile int *>(nullptr) = 1;
    while (!name.empty()) ::pause();
    return nullptr;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureMetadata(const WCHAR *path, MetadataSinkFn sink,
                                                 void *context) {
    if (!OwnName(path).ends_with("meta.hostile")) return 1;
    sink(context, FALTRIX_METADATA_FRAMES, "5", 1);
    sink(context, FALTRIX_METADATA_BITS_PER_SAMPLE, "16", 2);
    const std::vector<char> huge(FALTRIX_METADATA_MAX_SIZE + 1, 'M');
    sink(context, FALTRIX_METADATA_EXIF, huge.data(), static_cast<int32_t>(huge.size()));
    sink(context, FALTRIX_METADATA_DROPPED, "an alpha mask", 13);
    // A profile header that promises 4096 bytes, of which 200 came.
    const std::string profile =
        std::string(2, '\0') + '\x10' + std::string(33, '\0') + "acsp" + std::string(160, '\0');
    sink(context, FALTRIX_METADATA_ICC, profile.data(), static_cast<int32_t>(profile.size()));
    return 0;
}

#else  // HOSTILE_OUTPUT

namespace {
bool WriteFile(const std::string &path, const char *text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fputs(text, f) >= 0;
    return std::fclose(f) == 0 && written;
}
thread_local bool t_holdsItems = false;
}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *) {
    faltrix::kit::SetLastFailure("no " + Name(name) + " here");
    return -1;
}

FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t bufferLength) {
    return faltrix::kit::AnswerLastFailure(buffer, bufferLength);
}

FALTRIX_PLUGIN_EXPORT int32_t SetPictureMetadata(const char *key, const void *, int32_t) {
    t_holdsItems = key != nullptr;
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC, const WCHAR *path, int32_t, int32_t,
                                             ProgressCallbackFn, int32_t) {
    faltrix::kit::ClearLastFailure();
    const std::string name = Name(path);
    if (name.empty()) return 1;
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
        Chatter("storing");
        return WriteFile(name, "picture") ? 0 : 1;
    }
    const std::string folder = name.substr(0, name.rfind('/') + 1);
    return WriteFile(folder + "out.race", "precious") && WriteFile(name, "mine") ? 0 : 1;
}

#endif  // HOSTILE_OUTPUT
