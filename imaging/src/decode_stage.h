// The decode stage both jobs begin with: IsSupported, GetPictureInfo and GetPictureDIB on the
// current input plug-in, with the status lines between them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "deep_frame.h"
#include "faltrix/plugin.h"

namespace faltrix::decode_stage {

enum class Failure { None, NotSupported, InfoFailed, DecodeFailed };

// What each job asks of the plug-in's answers beyond success. The conversion reads its sizes
// from the decoded section, so that must be readable; the preview fits the picture by the
// size GetPictureInfo gives, so that must be at least 1 x 1.
struct Demands {
    const char16_t *notSupportedLine;  // the jobs word this failure differently
    bool positiveInfoSize = false;
    bool readableSection = false;
    // With a plug-in that gives frames: open them and decode this frame (0 = the first) in
    // place of GetPictureDIB. Negative: GetPictureDIB, as for a plug-in without frames.
    int32_t frame = -1;
    ProgressCallbackFn progress = nullptr;  // null: ProgressCallback
    // Told the file's frames once they are open, before the frame is decoded.
    std::function<void(const FrameSequenceInfo &)> framesOpened = {};
    // Asked, for a file deeper than 8 bits whose plug-in gives it so, whether to read the
    // frames at full depth (GetFrameSamples) rather than as DIBs.
    std::function<bool(const FrameSequenceInfo &)> fullDepth = {};
    // The size the picture is stored at (0: as decoded). When it differs from GetPictureInfo's
    // and the plug-in renders frames at a size (OpenFramesAtSize), they come at this size.
    uint32_t storedWidth = 0, storedHeight = 0;
};

// A frame reader of the current input plug-in, closed when this goes.
class FrameReader {
public:
    FrameReader() = default;
    ~FrameReader() { Close(); }
    FrameReader(FrameReader &&other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), at_(other.at_) {}
    FrameReader &operator=(FrameReader &&other) noexcept {
        if (this != &other)
            Close(), handle_ = std::exchange(other.handle_, nullptr), at_ = other.at_;
        return *this;
    }
    // Every Open from now on asks the plug-in for frames of width x height (OpenFramesAtSize).
    void RenderAt(int32_t width, int32_t height) { at_ = {width, height}; }
    // Opens path's frames and checks them against the limits; false with *cause set.
    bool Open(const WCHAR *path, FrameSequenceInfo *info, std::u16string *cause);
    // Frame index, checked to be a readable section of the canvas's size; null on failure.
    HBITMAP Read(int32_t index, const FrameSequenceInfo &info, int32_t *delay,
                 ProgressCallbackFn progress, DIBSECTION *section);
    // The same at full depth; null on failure, or when the plug-in's frame has other channels
    // than `channels` (0: any) or does not fill the canvas.
    std::unique_ptr<DeepFrame> ReadSamples(int32_t index, const FrameSequenceInfo &info,
                                           int32_t *delay, ProgressCallbackFn progress,
                                           int32_t channels = 0);
    void Close();
    bool open() const { return handle_ != nullptr; }

private:
    void *handle_ = nullptr;
    struct {
        int32_t width = 0, height = 0;  // 0: the frames' own size (OpenFrames)
    } at_;
};

struct Decoded {
    Failure failure = Failure::None;
    HBITMAP bitmap = nullptr;  // the caller's when failure is None, else null
    // In place of bitmap, when the frames were read at full depth.
    std::unique_ptr<DeepFrame> deep{};
    PictureInfo info{};
    DIBSECTION section{};    // read only when Demands::readableSection
    std::u16string cause{};  // why (see PluginCause); for NotSupported only about the name
    // With Demands::frame: the open reader, the file's frames and the decoded frame's delay.
    FrameReader frames{};
    FrameSequenceInfo sequence{};
    int32_t delay = 0;
};

// The cause of a plug-in's failure: its own words, or when it gave none and the path holds a
// name that is not UTF-8, that the plug-in may not take such names (ours do; a third-party
// plug-in that refuses lone surrogates in a path cannot say why itself), or when the file
// cannot be opened for reading, the system's words for why. Empty when none of these holds.
std::u16string PluginCause(const WCHAR *path, std::u16string pluginWords);

// Shows "Now Getting infomation...", "Getting infomation Done.", "Now Decoding input data..."
// and "Decoding input data Done." as the stages pass, and a failure's own line (the demands'
// text, "Failed in Getting information." or "Failed in Decoding input data.") in place of the
// rest. A missing IsSupported counts as support. Decoding reports through ProgressCallback.
Decoded DecodeInput(const WCHAR *path, const Demands &demands);

}  // namespace faltrix::decode_stage
