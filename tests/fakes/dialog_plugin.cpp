// A plug-in for the dialog's tests, configured when it is built:
//
//   DP_TAG="t"           "00IN_EX" (input) or "00OUT_EX" (output); the host binds by it
//   DP_DESCRIPTION="t"   the description (number 1); "" answers 0 characters
//   DP_PATTERNS=n        how many pattern pairs (0, 1 or 2): "*.dp;*.dpic" described
//                        "Dialog pictures", then "*.two" with no description
//   DP_SUPPORTS="s"      exports IsSupported, answering 1 for paths ending in s, else 0
//   DP_NO_SETTINGS       leaves ConfigurationDlg out: a plug-in without settings
//
// Input: a picture file is a text file "<width> <height> [<alpha>]"; GetPictureInfo answers
// that size (0 x 0 as it stands), GetPictureDIB paints a 24-bit picture of it in one colour
// (red C0, green 40, blue 20), 32-bit with that alpha in every pixel when one is given, waiting
// while a file "<path>.hold" exists (up to 20 s): tests keep a job running that way; SaveDIBPicture
// likewise, once it has opened its file, while a file "store.hold" exists beside it. IsSupported is
// not exported unless DP_SUPPORTS says so: the jobs then decode whatever they are given, and every
// file the tests decode is a picture. Output: SaveDIBPicture writes
// "<width> <height> <bits>\n", and for a file it cannot write the system's words are the cause
// GetLastFailureText gives, as "no size in the file" is for a file GetPictureInfo opens but
// finds no size in; no other failure has a cause. A picture file "<width> <height>
// <frames>" tells GetPictureMetadata of its frames.
//
// With DIALOG_PLUGIN_LOG set, the load and the calls a test watches append a line
// "<description> <event>" to that file.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "faltrix/plugin.h"

namespace {

void Log(const char *event) {
    const char *log = std::getenv("DIALOG_PLUGIN_LOG");
    if (log != nullptr) std::ofstream(log, std::ios::app) << DP_DESCRIPTION " " << event << '\n';
}

[[gnu::constructor]] void Loaded() { Log("load"); }

// The path as 8-bit text (the tests' paths are ASCII).
std::string Narrow(const WCHAR *path) {
    return std::string(path, path + std::char_traits<WCHAR>::length(path));
}

// The size a picture file holds; false for any other file.
bool ReadSize(const WCHAR *path, PictureInfo *info) {
    std::ifstream in(Narrow(path));
    return static_cast<bool>(in >> info->width >> info->height);
}

// Copies `text` into `buffer` as far as it holds with its terminating zero; the units copied.
int32_t CopyText(const char *text, WCHAR *buffer, int32_t bufferLength) {
    int32_t n = 0;
    for (; text[n] != 0 && n < bufferLength - 1; ++n)
        buffer[n] = static_cast<unsigned char>(text[n]);
    if (bufferLength > 0) buffer[n] = 0;
    return n;
}

}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,
                                            int32_t bufferLength) {
    const char *texts[] = {DP_TAG, DP_DESCRIPTION, "*.dp;*.dpic", "Dialog pictures", "*.two"};
    // Numbers answered: 0 and 1, a pair 2 and 3, the second pair's pattern 4.
    if (infoNumber < 0 || infoNumber >= 2 + 2 * DP_PATTERNS - (DP_PATTERNS == 2)) return 0;
    return CopyText(texts[infoNumber], buffer, bufferLength);
}

#ifndef DP_NO_SETTINGS
FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND, int32_t) {
    Log("ConfigurationDlg");
    return 0;
}
#endif

#ifdef DP_SUPPORTS
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {
    const std::string name = Narrow(path), suffix = DP_SUPPORTS;
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}
#endif

thread_local const char *t_cause = "";

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t,
                                             PictureInfo *info) {
    Log("GetPictureInfo");
    t_cause = "";
    if (ReadSize(path, info)) return 0;
    // A file it cannot open is left to the host to explain.
    if (std::ifstream(Narrow(path))) t_cause = "no size in the file";
    return 1;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t, ProgressCallbackFn,
                                            int32_t, DibAllocCallbackFn alloc) {
    Log("GetPictureDIB");
    PictureInfo info{};
    if (!ReadSize(path, &info) || info.width <= 0 || info.height <= 0) return nullptr;
    for (int i = 0; i < 4000 && access((Narrow(path) + ".hold").c_str(), F_OK) == 0; ++i)
        usleep(5000);
    int alpha = -1;
    std::ifstream(Narrow(path)) >> info.width >> info.height >> alpha;
    const int depth = alpha < 0 ? 24 : 32;
    const char pixel[] = {'\x20', '\x40', '\xC0', static_cast<char>(alpha)};
    BITMAPINFO bmi{{sizeof(BITMAPINFOHEADER), info.width, info.height, 1, static_cast<WORD>(depth),
                    BI_RGB, 0, 0, 0, 0, 0},
                   {}};  // bottom-up
    void *bits = nullptr;
    HBITMAP bitmap = alloc(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    const size_t stride = static_cast<size_t>((info.width * depth + 31) / 32) * 4;
    // Blue, green, red (and alpha) in every pixel of every row.
    auto *bytes = static_cast<char *>(bits);
    for (size_t i = 0; bytes != nullptr && i < stride * info.height; ++i)
        bytes[i] = pixel[i % stride % (depth / 8)];
    return bitmap;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureMetadata(const WCHAR *path, MetadataSinkFn sink,
                                                 void *context) {
    std::ifstream in(Narrow(path));
    int32_t width = 0, height = 0;
    std::string frames;
    if (in >> width >> height >> frames)
        sink(context, FALTRIX_METADATA_FRAMES, frames.data(), int32_t(frames.size()));
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t, int32_t,
                                             ProgressCallbackFn, int32_t) {
    t_cause = "";
    DIBSECTION ds{};
    if (GetObjectW(GetCurrentObject(dc, OBJ_BITMAP), sizeof ds, &ds) == 0) return 1;
    std::ofstream out(Narrow(path));
    Log("SaveDIBPicture");
    const std::string name = Narrow(path),
                      hold = name.substr(0, name.rfind('/') + 1) + "store.hold";
    for (int i = 0; i < 4000 && access(hold.c_str(), F_OK) == 0; ++i) usleep(5000);
    if (!out) t_cause = std::strerror(errno);
    out << ds.dsBm.bmWidth << ' ' << ds.dsBm.bmHeight << ' ' << ds.dsBm.bmBitsPixel << '\n';
    return out ? 0 : 1;
}

FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t bufferLength) {
    return CopyText(t_cause, buffer, bufferLength);
}
