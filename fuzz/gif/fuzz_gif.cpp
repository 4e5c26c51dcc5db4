// libFuzzer target for the GIF input plug-in: each input is written to a file of this
// process and handed to the plug-in's entry points as the host would call them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "faltrix/plugin.h"

namespace {

std::u16string g_path;
std::string g_pathUtf8;

int32_t Progress(int32_t, int32_t, int32_t) { return 1; }
void RemoveInputFile() { std::remove(g_pathUtf8.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_pathUtf8 = "/tmp/faltrix-fuzz-gif-" + std::to_string(getpid()) + ".gif";
    g_path.assign(g_pathUtf8.begin(), g_pathUtf8.end());
    std::atexit(RemoveInputFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = std::fopen(g_pathUtf8.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    IsSupported(g_path.c_str(), 0, 0);
    PictureInfo info;
    GetPictureInfo(g_path.c_str(), 0, 0, &info);
    if (HBITMAP bitmap = GetPictureDIB(g_path.c_str(), 0, 0, Progress, 0, CreateDIBSection)) DeleteObject(bitmap);
    return 0;
}
