// The decode stage both jobs begin with.
#include "decode_stage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "faltrix/feedback.h"
#include "faltrix/plugin_list.h"
#include "faltrix/text.h"

namespace faltrix::decode_stage {
namespace {

Decoded Failed(Failure failure, const char16_t *line, std::u16string cause = {}) {
    ShowStatus(line);
    Decoded failed{failure};
    failed.cause = std::move(cause);
    return failed;
}

// A bitmap that is not a readable DIB section of some size is no decoded picture.
bool ReadSection(HBITMAP bitmap, DIBSECTION *section) {
    return GetObjectW(bitmap, sizeof *section, section) == static_cast<int>(sizeof *section) &&
           section->dsBmih.biWidth > 0 && section->dsBmih.biHeight != 0;
}

}  // namespace

std::u16string PluginCause(const WCHAR *path, std::u16string pluginWords) {
    if (!pluginWords.empty() || path == nullptr) return pluginWords;
    if (HoldsLoneSurrogate(path))
        return u"the file's name is not UTF-8; the plug-in gets its other bytes as U+DC80..U+DCFF, "
               u"and may not take such names";
    // A plug-in without words for a file that cannot even be opened: the system's words for
    // that ("No such file or directory", "Permission denied") are the cause.
    std::string native;
    if (!Utf16ToPathBytes(path, &native)) return {};
    // Non-blocking, so that a named pipe does not hang the job.
    const int fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    const char *words = std::strerror(errno);
    return Utf8ToUtf16(words);
}

Decoded DecodeInput(const WCHAR *path, const Demands &demands) {
    InputPluginList &decoder = InputPlugins();
    Decoded decoded;
    if (decoder.IsSupported(path, 0, 0) == 0)
        return Failed(Failure::NotSupported, demands.notSupportedLine, PluginCause(path, {}));

    ShowStatus(u"Now Getting infomation...");
    if (decoder.GetPictureInfo(path, 0, 0, &decoded.info) != 0 ||
        (demands.positiveInfoSize && (decoded.info.width <= 0 || decoded.info.height <= 0))) {
        return Failed(Failure::InfoFailed, u"Failed in Getting information.",
                      PluginCause(path, LastPluginFailure()));
    }

    ShowStatus(u"Getting infomation Done.");
    ShowStatus(u"Now Decoding input data...");
    decoded.bitmap = decoder.GetPictureDIB(path, 0, 0, ProgressCallback, 0, DibAllocCallback);
    if (decoded.bitmap != nullptr && demands.readableSection &&
        !ReadSection(decoded.bitmap, &decoded.section)) {
        DeleteObject(decoded.bitmap);
        decoded.bitmap = nullptr;
    }
    if (decoded.bitmap == nullptr)
        return Failed(Failure::DecodeFailed, u"Failed in Decoding input data.",
                      PluginCause(path, LastPluginFailure()));
    ShowStatus(u"Decoding input data Done.");
    return decoded;
}

}  // namespace faltrix::decode_stage
