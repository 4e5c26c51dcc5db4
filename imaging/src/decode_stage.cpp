// The decode stage both jobs begin with.
#include "decode_stage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "faltrix/feedback.h"
#include "faltrix/keep_aspect.h"
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

bool FrameReader::Open(const WCHAR *path, FrameSequenceInfo *info, std::u16string *cause) {
    Close();
    *info = FrameSequenceInfo{};
    info->size = sizeof *info;
    InputPluginList &plugin = InputPlugins();
    const bool atSize = at_.width > 0;
    if ((atSize ? plugin.OpenFramesAtSize(path, at_.width, at_.height, info, &handle_)
                : plugin.OpenFrames(path, info, &handle_)) != 0 ||
        handle_ == nullptr) {
        handle_ = nullptr;
        *cause = PluginCause(path, LastPluginFailure());
        return false;
    }
    const auto number = [](uint64_t n) { return Utf8ToUtf16(std::to_string(n)); };
    const uint64_t pixels =
        uint64_t(std::max(info->width, 0)) * uint64_t(std::max(info->height, 0));
    if (info->frameCount < 1 || info->width < 1 || info->height < 1) {
        *cause = u"the plug-in gave no frames or an empty canvas";
    } else if (atSize && (info->width != at_.width || info->height != at_.height)) {
        *cause = u"the plug-in gave frames of " + number(uint64_t(info->width)) + u" x " +
                 number(uint64_t(info->height)) + u" pixels where " + number(uint64_t(at_.width)) +
                 u" x " + number(uint64_t(at_.height)) + u" were asked";
    } else if (info->frameCount > FALTRIX_MAX_FRAMES) {
        *cause = u"the file holds " + number(uint64_t(info->frameCount)) + u" frames; at most " +
                 number(FALTRIX_MAX_FRAMES) + u" are read";
    } else if (pixels * uint64_t(info->frameCount) > FALTRIX_MAX_SEQUENCE_PIXELS) {
        *cause = u"the file's " + number(uint64_t(info->frameCount)) + u" frames hold " +
                 number(pixels * uint64_t(info->frameCount)) + u" pixels; at most " +
                 number(FALTRIX_MAX_SEQUENCE_PIXELS) + u" are read";
    } else {
        return true;
    }
    Close();
    return false;
}

HBITMAP FrameReader::Read(int32_t index, const FrameSequenceInfo &info, int32_t *delay,
                          ProgressCallbackFn progress, DIBSECTION *section) {
    FrameInfo frame{};
    frame.size = sizeof frame;
    HBITMAP bitmap =
        InputPlugins().GetFrameDIB(handle_, index, &frame, progress, 0, DibAllocCallback);
    if (bitmap == nullptr) return nullptr;
    // Every frame covers the canvas: a frame of another size would change the stored size.
    if (!ReadSection(bitmap, section) || section->dsBmih.biWidth != info.width ||
        std::abs(section->dsBmih.biHeight) != info.height) {
        DeleteObject(bitmap);
        return nullptr;
    }
    *delay = frame.delay;
    return bitmap;
}

std::unique_ptr<DeepFrame> FrameReader::ReadSamples(int32_t index, const FrameSequenceInfo &info,
                                                    int32_t *delay, ProgressCallbackFn progress,
                                                    int32_t channels) {
    FrameInfo frame{};
    frame.size = sizeof frame;
    auto deep = std::make_unique<DeepFrame>(info.width, info.height);
    if (InputPlugins().GetFrameSamples(handle_, index, &frame, &deep->picture, progress, 0,
                                       DeepFrameAlloc) != 0)
        return nullptr;
    // Every sample must have had memory, and the frame the sequence's channels.
    if (!deep->filled() || deep->picture.data != deep->samples.get() ||
        (channels != 0 && deep->picture.channels != channels))
        return nullptr;
    *delay = frame.delay;
    return deep;
}

void FrameReader::Close() {
    if (handle_ != nullptr) InputPlugins().CloseFrames(std::exchange(handle_, nullptr));
}

namespace {

// Opens the frames and reads the one asked for; "Failed in Getting information." when the
// frames cannot be opened or are beyond the limits.
bool DecodeFrame(const WCHAR *path, const Demands &demands, Decoded *decoded) {
    std::u16string cause;
    // A size the plug-in renders at rather than the host's resizing its pixels; a size beyond
    // the limits is left to the resize, which refuses it with the limit named.
    const uint32_t w = demands.storedWidth, h = demands.storedHeight;
    if (InputPlugins().HasFramesAtSize() && w > 0 && h > 0 &&
        (w != uint32_t(decoded->info.width) || h != uint32_t(decoded->info.height)) &&
        OutputSizeBeyondLimits(w, h).empty())
        decoded->frames.RenderAt(int32_t(w), int32_t(h));
    if (!decoded->frames.Open(path, &decoded->sequence, &cause)) {
        *decoded = Failed(Failure::InfoFailed, u"Failed in Getting information.", cause);
        return false;
    }
    if (demands.frame >= decoded->sequence.frameCount) {
        const auto number = [](int32_t n) { return Utf8ToUtf16(std::to_string(n)); };
        *decoded =
            Failed(Failure::InfoFailed, u"Failed in Getting information.",
                   u"frame " + number(demands.frame + 1) + u" was asked for; the file holds " +
                       number(decoded->sequence.frameCount));
        return false;
    }
    if (demands.framesOpened) demands.framesOpened(decoded->sequence);
    ShowStatus(u"Getting infomation Done.");
    ShowStatus(u"Now Decoding input data...");
    const FrameSequenceInfo &sequence = decoded->sequence;
    if (sequence.sampleBits > 8 && sequence.sampleBits <= FALTRIX_SAMPLES_MAX_BITS &&
        InputPlugins().HasFrameSamples() && demands.fullDepth && demands.fullDepth(sequence)) {
        decoded->deep =
            decoded->frames.ReadSamples(demands.frame, sequence, &decoded->delay, demands.progress);
        return true;
    }
    decoded->bitmap = decoded->frames.Read(demands.frame, sequence, &decoded->delay,
                                           demands.progress, &decoded->section);
    return true;
}

}  // namespace

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

    const ProgressCallbackFn progress = demands.progress ? demands.progress : ProgressCallback;
    if (demands.frame >= 0 && decoder.HasFrames()) {
        if (!DecodeFrame(path, demands, &decoded)) return decoded;
    } else {
        ShowStatus(u"Getting infomation Done.");
        ShowStatus(u"Now Decoding input data...");
        decoded.bitmap = decoder.GetPictureDIB(path, 0, 0, progress, 0, DibAllocCallback);
        if (decoded.bitmap != nullptr && demands.readableSection &&
            !ReadSection(decoded.bitmap, &decoded.section)) {
            DeleteObject(decoded.bitmap);
            decoded.bitmap = nullptr;
        }
    }
    if (decoded.bitmap == nullptr && !decoded.deep)
        return Failed(Failure::DecodeFailed, u"Failed in Decoding input data.",
                      PluginCause(path, LastPluginFailure()));
    ShowStatus(u"Decoding input data Done.");
    return decoded;
}

}  // namespace faltrix::decode_stage
