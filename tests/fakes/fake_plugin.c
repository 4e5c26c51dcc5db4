// A plug-in for tests whose behaviour is chosen when it is built. One source, many
// libraries: each fake_plugin_<variant> target compiles this file with its own definitions.
//
//   FAKE_NAME="variant"       the description (number 1) is "Fake <variant>" (set by the target)
//   FAKE_TAG="00IN_EX"        the answer to number 0, the type tag (this one when not given)
//   FAKE_KIND_OUTPUT          export the output entry points instead of the input ones
//   FAKE_NO_INFO              export no GetPluginInfo
//   FAKE_NO_OTHERS            export GetPluginInfo only (no optional SetPluginOption either)
//   FAKE_FAIL                 every answer fails: IsSupported 0, GetPictureInfo 1,
//                             GetPictureDIB null, SaveDIBPicture 5, ConfigurationDlg 1,
//                             SetPluginOption 1; and GetLastFailureText fills the whole
//                             buffer with 'C' without a NUL and claims 100 units more than
//                             the buffer holds
//   FAKE_OVERLONG=1           every GetPluginInfo answer fills the whole buffer without a NUL
//                             and claims 100 units more than the buffer holds
//   FAKE_OVERLONG=2           the same for every number but 0 (the tag stays right)
//   FAKE_MISBEHAVE=1          GetPluginInfo writes through a null pointer
//   FAKE_MISBEHAVE=2          GetPluginInfo writes 16 MiB past the start of its buffer
//   FAKE_MISBEHAVE=3          GetPluginInfo never returns
//   FAKE_MISBEHAVE=4          GetPluginInfo writes 4 units past the end of its buffer
//   FAKE_MISBEHAVE_AT=n       misbehave only when asked for number n (every number when not given)
//   FAKE_USES_DEPENDENCY      call the GetPluginInfo of fake_dependency (linked through LIBS)
//   FAKE_DEPENDENCY           build fake_dependency, which exports no FakeLastCall
//
// GetPictureInfo answers 3 x 2; GetPictureDIB allocates a 24-bit picture of that size through
// the host's allocator and reports each row; SaveDIBPicture reports half way and stores
// nothing. FakeLastCall (fake_call.h) holds the arguments of the last call.
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include "fake_call.h"

#ifndef FAKE_TAG
#define FAKE_TAG "00IN_EX"
#endif
#ifndef FAKE_OVERLONG
#define FAKE_OVERLONG 0
#endif
#ifndef FAKE_MISBEHAVE
#define FAKE_MISBEHAVE 0
#endif
#ifndef FAKE_MISBEHAVE_AT
#define FAKE_MISBEHAVE_AT -1
#endif
#ifdef FAKE_FAIL
#define FAKE_ANSWER(good, bad) (bad)
#else
#define FAKE_ANSWER(good, bad) (good)
#endif

#ifdef FAKE_DEPENDENCY
static struct FakeCall FakeLastCall;  // the dependency's own would clash with its plug-in's
#else
FALTRIX_PLUGIN_EXPORT struct FakeCall FakeLastCall;
#endif
// Keeps the arguments of the call being made, in the order of struct FakeCall.
#define Record(...) (FakeLastCall = (struct FakeCall){__VA_ARGS__})

#ifndef FAKE_NO_INFO
// Answers with an ASCII text, clamped and terminated as a well-behaved plug-in does, or with
// an overlong one.
FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,
                                            int32_t bufferLength) {
    static const char *const texts[] = {FAKE_TAG, "Fake " FAKE_NAME, "*.fake", "Fake pictures"};
    const char *text = infoNumber >= 0 && infoNumber <= 3 ? texts[infoNumber] : "";
    int32_t n = 0;
    const int misbehave =
        FAKE_MISBEHAVE_AT < 0 || infoNumber == FAKE_MISBEHAVE_AT ? FAKE_MISBEHAVE : 0;
    Record("GetPluginInfo", NULL, buffer, NULL, infoNumber, bufferLength, 0);
    if (misbehave == 1) *(volatile int *)NULL = 1;
    if (misbehave == 2) memset(buffer, 'X', (size_t)1 << 24);
    while (misbehave == 3) pause();
    if (misbehave == 4 && buffer != NULL && bufferLength > 0) {
        for (int32_t i = 0; i < bufferLength + 4; ++i) buffer[i] = (WCHAR)'X';
        return bufferLength - 1;
    }
    if (buffer == NULL || bufferLength <= 0) return 0;
    if (FAKE_OVERLONG == 1 || (FAKE_OVERLONG == 2 && infoNumber != 0)) {
        for (int32_t i = 0; i < bufferLength; ++i) buffer[i] = (WCHAR)'X';
        return bufferLength + 100;
    }
    for (; text[n] != 0 && n < bufferLength - 1; ++n) buffer[n] = (WCHAR)(unsigned char)text[n];
    buffer[n] = 0;
    return n;
}
#endif

#ifndef FAKE_NO_OTHERS
FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t reserved) {
    Record("ConfigurationDlg", NULL, parent, NULL, reserved, 0, 0);
    return FAKE_ANSWER(0, 1);
}

// Takes every option; the value is recorded as the first pointer.
FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *value) {
    Record("SetPluginOption", name, value, NULL, 0, 0, 0);
    return FAKE_ANSWER(0, 1);
}

#ifndef FAKE_KIND_OUTPUT
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t reserved1, int32_t reserved2) {
    Record("IsSupported", path, NULL, NULL, reserved1, reserved2, 0);
    return FAKE_ANSWER(1, 0);
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t reserved1,
                                             int32_t reserved2, PictureInfo *info) {
    Record("GetPictureInfo", path, info, NULL, reserved1, reserved2, 0);
    info->width = 3;
    info->height = 2;
    return FAKE_ANSWER(0, 1);
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                            ProgressCallbackFn progress, int32_t data,
                                            DibAllocCallbackFn alloc) {
    BITMAPINFO bmi = {.bmiHeader = {sizeof(BITMAPINFOHEADER), 3, 2, 1, 24, BI_RGB}};
    void *bits = NULL;
    Record("GetPictureDIB", path, (const void *)progress, (const void *)alloc, reserved1, reserved2,
           data);
    HBITMAP bitmap =
        FAKE_ANSWER(alloc, NULL) ? alloc(NULL, &bmi, DIB_RGB_COLORS, &bits, NULL, 0) : NULL;
    for (int32_t y = 0; bitmap != NULL && progress != NULL && y < 2; ++y) progress(y + 1, 2, data);
    return bitmap;
}

#else   // FAKE_KIND_OUTPUT
FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t reserved1,
                                             int32_t reserved2, ProgressCallbackFn progress,
                                             int32_t data) {
    Record("SaveDIBPicture", path, dc, (const void *)progress, reserved1, reserved2, data);
    if (progress) progress(1, 2, data);
    return FAKE_ANSWER(0, 5);
}
#endif  // FAKE_KIND_OUTPUT
#endif  // FAKE_NO_OTHERS

#ifdef FAKE_FAIL
FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t bufferLength) {
    for (int32_t i = 0; i < bufferLength; ++i) buffer[i] = (WCHAR)'C';
    return bufferLength + 100;
}
#endif

#ifdef FAKE_USES_DEPENDENCY
// Keeps the dependency linked (the linker drops unreferenced libraries with --as-needed).
FALTRIX_PLUGIN_EXPORT int32_t FakeDependency(void) { return GetPluginInfo(0, NULL, 0); }
#endif
