// A library that is not a plug-in but exports GetPluginInfo with the input tag. A fake plug-in
// that exports no GetPluginInfo of its own links it, so that a lookup through the plug-in's
// handle finds this definition in its dependency. The host must not count it.
#include <stddef.h>

#include "faltrix/plugin.h"

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    static const WCHAR tag[] = {'0', '0', 'I', 'N', '_', 'E', 'X', 0};
    int32_t n = 0;
    if (infoNumber != 0 || buffer == NULL || bufferLength <= 0) return 0;
    for (; tag[n] != 0 && n < bufferLength - 1; ++n) buffer[n] = tag[n];
    buffer[n] = 0;
    return n;
}

// Referenced by the plug-in that links this library, so the link is kept.
FALTRIX_PLUGIN_EXPORT int FakeDependencyMarker(void) { return 42; }
