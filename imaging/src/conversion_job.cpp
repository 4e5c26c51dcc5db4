// The conversion job: decode with the current input plug-in, resize, store with the current
// output plug-in, reporting every stage as a status line. Each stage shows its own failure
// line and hands the next one what it made; the picture's colour profile, EXIF and XMP go
// along from the input plug-in to the output plug-in.
#include "faltrix/conversion_job.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "decode_stage.h"
#include "deep_frame.h"
#include "faltrix/device_resize.h"
#include "faltrix/keep_aspect.h"
#include "faltrix/plugin_list.h"
#include "faltrix/resample.h"
#include "faltrix/text.h"
#include "job_slot.h"
#include "safe_store.h"

namespace faltrix {

char16_t InputPath[kPathBufferLength] = {};
char16_t OutputPath[kPathBufferLength] = {};
ConversionRequest TheConversionRequest;

namespace {

std::atomic<ConversionOutcome> g_lastOutcome{ConversionOutcome::None};

// Whether the last job was asked to anti-alias and resized by point sampling instead.
std::atomic<bool> g_lastPointSampled{false};

// The plug-in's cause of the last job's failure, set with the outcome.
std::mutex g_causeMutex;
std::u16string g_lastCause;

std::u16string Number(int64_t n) { return Utf8ToUtf16(std::to_string(n)); }

// How many frames the last job stored.
std::atomic<int32_t> g_lastFrames{0};

// Progress over every frame of a sequence: the frame worked on, of how many. A single picture
// is frame 0 of 1, and its stages report as they always did.
// Each frame's share of the bar is split between its decoding, resizing and storing.
enum FrameStage { kDecoding, kResizing, kStoring, kStages };
thread_local int32_t t_frameIndex = 0;
thread_local int32_t t_frameCount = 1;
thread_local int32_t t_frameStage = kDecoding;

int32_t SequenceProgress(int32_t done, int32_t total, int32_t data) {
    if (t_frameCount <= 1) return ProgressCallback(done, total, data);
    constexpr int64_t kSteps = 1024;
    const int64_t part = total > 0 ? int64_t(std::clamp(done, 0, total)) * kSteps / total : 0;
    const int64_t slot = int64_t(t_frameIndex) * kStages + t_frameStage;
    return ProgressCallback(static_cast<int32_t>(slot * kSteps + part),
                            static_cast<int32_t>(int64_t(t_frameCount) * kStages * kSteps), data);
}

// Where the bar stands: frame index of the sequence, at stage.
void AtFrame(int32_t index, FrameStage stage) {
    t_frameIndex = index;
    t_frameStage = stage;
}

// How a job ended, the plug-in's words for why when it failed in a plug-in, and what the
// stored picture lost.
struct JobEnd {
    ConversionOutcome outcome;
    std::u16string cause;
    std::vector<std::u16string> notices = {};
    bool pluginFailed = false;  // the output plug-in's SaveDIBPicture failed, not the host
};

// The picture to store: a bitmap selected into the memory DC that the output plug-in reads,
// or a frame of deep samples.
struct StoreTarget {
    HBITMAP bitmap = nullptr;
    HDC dc = nullptr;
    std::unique_ptr<DeepFrame> deep = {};

    bool empty() const { return bitmap == nullptr && !deep; }
    // The DC goes first: the bitmap is still selected in it.
    void Release() {
        if (dc != nullptr) DeleteDC(std::exchange(dc, nullptr));
        if (bitmap != nullptr) DeleteObject(std::exchange(bitmap, nullptr));
        deep.reset();
    }
};

// A memory DC holding `bitmap`, or null (with the bitmap deleted) when none can be had.
HDC SelectForStoring(HBITMAP bitmap) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (dc != nullptr) SelectObject(dc, bitmap);
    if (dc == nullptr || GetCurrentObject(dc, OBJ_BITMAP) != bitmap) {
        if (dc != nullptr) DeleteDC(dc);
        DeleteObject(bitmap);
        return nullptr;
    }
    return dc;
}

// Clears what lies past the last pixel of each row of a top-down section: the bits of a
// partial last byte and the bytes padding the row to 4. A copy into a bottom-up section, which
// a picture of unchanged size used to be stored from, moves the pixels alone, so a plug-in
// that writes whole rows finds zeros there as it did. (A bottom-up picture was copied in one
// block, its padding with it.)
void ClearRowEnds(const DIBSECTION &section) {
    const BITMAP &bm = section.dsBm;
    const uint64_t usedBits = uint64_t(bm.bmWidth) * uint64_t(bm.bmBitsPixel);
    const size_t whole = size_t(usedBits / 8), stride = size_t(bm.bmWidthBytes);
    const unsigned partial = unsigned(usedBits % 8);
    auto *row = static_cast<uint8_t *>(bm.bmBits);
    for (int32_t y = 0; y < bm.bmHeight; ++y, row += stride) {
        if (partial != 0) row[whole] &= static_cast<uint8_t>(0xFF00u >> partial);
        const size_t used = whole + (partial != 0 ? 1 : 0);
        std::fill(row + used, row + stride, uint8_t{0});
    }
}

// Brings the decoded picture (taken over) to the requested size: none when the size stays,
// by the resampler when anti-aliasing is asked for, else, or when the resampler refuses the
// picture, by the device resize. An empty target means nothing is left to store; the failure
// line has been shown, and `cause` says why when the size asked for is beyond the limits.
// A deep frame (taken over) at the requested size: as it is, or by a filter of libswscale (the
// job reads deep frames for no other resize).
StoreTarget ResizeDeepStage(std::unique_ptr<DeepFrame> frame, const ConversionRequest &request,
                            std::u16string *cause, bool report) {
    const auto ShowStatus = [report](const char16_t *line) {
        if (report) ::faltrix::ShowStatus(line);
    };
    if (request.outputWidth == uint32_t(frame->picture.width) &&
        request.outputHeight == uint32_t(frame->picture.height)) {
        ShowStatus(u"normal Resizing Done.");
        return StoreTarget{nullptr, nullptr, std::move(frame)};
    }
    if (const std::string beyond =
            OutputSizeBeyondLimits(request.outputWidth, request.outputHeight);
        !beyond.empty()) {
        ShowStatus(u"Failed in Resizing.");
        *cause = std::u16string(beyond.begin(), beyond.end());
        return {};
    }
    ShowStatus(u"Now anti-alias Resizing...");
    std::unique_ptr<DeepFrame> resized =
        ResizeDeepFrame(*frame, request.outputWidth, request.outputHeight, request.filter);
    ShowStatus(resized ? u"anti-alias Resizing Done." : u"Failed in Resizing.");
    if (!resized) return {};
    return StoreTarget{nullptr, nullptr, std::move(resized)};
}

StoreTarget ResizeStage(decode_stage::Decoded &decoded, const ConversionRequest &request,
                        std::u16string *cause, bool report = true) {
    if (decoded.deep) return ResizeDeepStage(std::move(decoded.deep), request, cause, report);
    // Frames after the first of a sequence are resized without a word: the bar tells.
    const auto ShowStatus = [report](const char16_t *line) {
        if (report) ::faltrix::ShowStatus(line);
    };
    // A top-down picture (negative height) has the same size as its bottom-up twin.
    const BITMAPINFOHEADER &header = decoded.section.dsBmih;
    const int32_t sourceWidth = header.biWidth;
    const int32_t sourceHeight = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    const bool sizeChanged = request.outputWidth != static_cast<uint32_t>(sourceWidth) ||
                             request.outputHeight != static_cast<uint32_t>(sourceHeight);

    if (!sizeChanged) {
        // Stored as decoded: the device resize would only copy it, doubling the memory the
        // job holds. Output plug-ins take either row order.
        if (header.biHeight < 0) ClearRowEnds(decoded.section);
        HDC dc = SelectForStoring(decoded.bitmap);
        ShowStatus(dc == nullptr ? u"Failed in Resizing." : u"normal Resizing Done.");
        if (dc == nullptr) return {};
        return StoreTarget{decoded.bitmap, dc};
    }

    // A size no plug-in could read back is refused before any memory is taken for it, with
    // the limit named: the resize alone would fail without a word, or worse, succeed.
    if (const std::string beyond =
            OutputSizeBeyondLimits(request.outputWidth, request.outputHeight);
        !beyond.empty()) {
        DeleteObject(decoded.bitmap);
        ShowStatus(u"Failed in Resizing.");
        *cause = std::u16string(beyond.begin(), beyond.end());
        return {};
    }

    if (IsSwscaleFilter(request.filter)) {
        ShowStatus(u"Now anti-alias Resizing...");
        HBITMAP resized = FilteredResize(decoded.bitmap, decoded.section, request.outputWidth,
                                         request.outputHeight, request.filter);
        HDC dc = resized != nullptr ? SelectForStoring(resized) : nullptr;
        if (dc == nullptr) {
            ShowStatus(u"Failed in Resizing.");
            return {};
        }
        ShowStatus(u"anti-alias Resizing Done.");
        DeleteObject(decoded.bitmap);
        return StoreTarget{resized, dc};
    }

    if ((request.antiAlias || request.filter == ResizeFilter::Area) && sizeChanged) {
        ShowStatus(u"Now anti-alias Resizing...");
        const double sx =
            static_cast<double>(request.outputWidth) / static_cast<double>(sourceWidth);
        const double sy =
            static_cast<double>(request.outputHeight) / static_cast<double>(sourceHeight);
        if (HBITMAP resized = AreaAverageResize(decoded.bitmap, sx, sy, SequenceProgress)) {
            ShowStatus(u"anti-alias Resizing Done.");
            DeleteObject(decoded.bitmap);
            HDC dc = SelectForStoring(resized);
            if (dc == nullptr) {
                ShowStatus(u"Failed in Resizing.");
                return {};
            }
            return StoreTarget{resized, dc};
        }
        if (report) g_lastPointSampled.store(true);
        ShowStatus(u"anti-alias Resizing supportes 24bits only.");
        ShowStatus(u"Now Resizing by default CE function.");
    }

    const DeviceResizeResult resized =
        DeviceResize(decoded.bitmap, decoded.section, request.outputWidth, request.outputHeight);
    if (resized.bitmap == nullptr) {
        // Nothing to store: saying "Done." here would store an empty picture.
        ShowStatus(u"Failed in Resizing.");
        return {};
    }
    ShowStatus(u"normal Resizing Done.");
    return StoreTarget{resized.bitmap, resized.storeDC};
}

// The plug-in writes the host's temporary; the output changes only when a complete file is
// put in place. A failure on the host's side has the job's failure line like the plug-in's,
// with its own cause. When another try follows a failure of the plug-in (firstTry), the
// failure line is left to that try; each try has a temporary of its own, so the second never
// finds what the first left.
JobEnd StoreStage(const StoreTarget &target, const WCHAR *output, const ConversionRequest &request,
                  bool firstTry, bool retryFollows) {
    if (firstTry) ShowStatus(u"Now Coding and Storing...");
    safe_store::Temporary temporary(output);
    std::u16string cause;
    if (temporary.path().empty()) {
        cause = temporary.cause();
    } else if (OutputPlugins().SaveDIBPicture(target.dc, temporary.path().c_str(), 0, 0,
                                              ProgressCallback, 0) != 0) {
        cause = decode_stage::PluginCause(temporary.path().c_str(), LastPluginFailure());
        if (retryFollows) {
            temporary.Remove();
            return {ConversionOutcome::StoreFailed, std::move(cause), {}, true};
        }
    } else if (!temporary.Commit({request.overwrite, request.replaceReadOnly})) {
        cause = temporary.cause();
    } else {
        ShowStatus(u"Coding and Storing Done.");
        ShowStatus(u"Ready.");
        return {ConversionOutcome::Stored, {}};
    }
    temporary.Remove();
    ShowStatus(u"Failed in Coding or Storing data.");
    return {ConversionOutcome::StoreFailed, std::move(cause)};
}

// How writing a sequence ended: stored in the temporary, or where it stopped.
struct SequenceRun {
    enum Kind { Written, PluginFailed, InputCut, ResizeFailed } kind = Written;
    int32_t cutAt = 0;  // InputCut: the frame that could not be read
    std::u16string cause = {};
};

// What a sequence is written from: the first frame chosen, resized and fitted, and the reader
// for the rest, positioned after it.
struct SequenceSource {
    StoreTarget first;
    int32_t firstDelay = 0;  // the frames are deep when the first is
    decode_stage::FrameReader *reader = nullptr;
    FrameSequenceInfo sequence{};
    int32_t firstIndex = 0, lastIndex = 0;
    const WCHAR *input = nullptr;
};

// Adds one frame to the writer; the plug-in's words when it fails.
bool AddOneFrame(void *writer, const StoreTarget &target, int32_t delay, const WCHAR *path,
                 SequenceRun *run) {
    t_frameStage = kStoring;
    FrameInfo frame{};
    frame.size = sizeof frame;
    frame.delay = delay;
    OutputPluginList &output = OutputPlugins();
    if ((target.deep
             ? output.AddFrameSamples(writer, &target.deep->picture, &frame, SequenceProgress, 0)
             : output.AddFrame(writer, target.dc, &frame, SequenceProgress, 0)) == 0) {
        SequenceProgress(1, 1, 0);  // the frame is stored, whether the plug-in said so or not
        return true;
    }
    *run = {SequenceRun::PluginFailed, 0, decode_stage::PluginCause(path, LastPluginFailure())};
    return false;
}

// Frames after the first: each decoded, resized as the first was, converted to sRGB when the
// first was, and handed on before the next is decoded.
SequenceRun AddLaterFrames(void *writer, const SequenceSource &source,
                           const ConversionRequest &request, const PictureMetadata &metadata,
                           const WCHAR *path) {
    for (int32_t k = source.firstIndex + 1; k <= source.lastIndex; ++k) {
        AtFrame(k - source.firstIndex, kDecoding);
        decode_stage::Decoded frame;
        if (source.first.deep)
            frame.deep =
                source.reader->ReadSamples(k, source.sequence, &frame.delay, SequenceProgress,
                                           source.first.deep->picture.channels);
        else
            frame.bitmap = source.reader->Read(k, source.sequence, &frame.delay, SequenceProgress,
                                               &frame.section);
        if (frame.bitmap == nullptr && !frame.deep)
            return {SequenceRun::InputCut, k,
                    decode_stage::PluginCause(source.input, LastPluginFailure())};
        std::u16string cause;
        t_frameStage = kResizing;
        StoreTarget target = ResizeStage(frame, request, &cause, false);
        if (target.empty()) return {SequenceRun::ResizeFailed, k, std::move(cause)};
        if (metadata.pixelsConverted && target.deep)
            ConvertLikeFirstFrame(metadata, target.deep.get());
        else if (metadata.pixelsConverted)
            ConvertLikeFirstFrame(metadata, target.dc, &target.bitmap);
        SequenceRun run;
        const bool added = AddOneFrame(writer, target, frame.delay, path, &run);
        target.Release();
        if (!added) return run;
    }
    return {};
}

// Writes the chosen frames into path, the host's temporary: BeginFrames, AddFrame for each,
// EndFrames; EndFrames(writer, 0) after any failure.
SequenceRun WriteSequence(const SequenceSource &source, const ConversionRequest &request,
                          const PictureMetadata &metadata, const WCHAR *path) {
    OutputPluginList &output = OutputPlugins();
    FrameSequenceInfo info{};
    info.size = sizeof info;
    info.width = static_cast<int32_t>(request.outputWidth);
    info.height = static_cast<int32_t>(request.outputHeight);
    info.frameCount = source.lastIndex - source.firstIndex + 1;
    info.loopCount = source.sequence.loopCount;
    info.kind = source.sequence.kind;
    // Deep frames at the file's depth; the reader said it before they were read.
    if (source.first.deep) info.sampleBits = source.sequence.sampleBits;
    void *writer = nullptr;
    AtFrame(0, kStoring);
    if (output.BeginFrames(path, &info, &writer) != 0)
        return {SequenceRun::PluginFailed, 0, decode_stage::PluginCause(path, LastPluginFailure())};
    SequenceRun run;
    if (AddOneFrame(writer, source.first, source.firstDelay, path, &run))
        run = AddLaterFrames(writer, source, request, metadata, path);
    if (run.kind != SequenceRun::Written) {
        output.EndFrames(writer, 0);
        return run;
    }
    if (output.EndFrames(writer, 1) != 0)
        return {SequenceRun::PluginFailed, 0, decode_stage::PluginCause(path, LastPluginFailure())};
    return run;
}

// Stores a sequence of frames: written into a temporary that is put over the output only when
// complete. Once more without the metadata items when the plug-in failed with them, and once
// more with the frames before one that cannot be read, with a notice; the first frame is kept
// ready for each try, the rest decoded again.
JobEnd StoreSequence(SequenceSource &source, const WCHAR *output, const ConversionRequest &request,
                     PictureMetadata *metadata) {
    ShowStatus(u"Now Coding and Storing...");
    bool itemsWithdrawn = false;
    for (;;) {
        safe_store::Temporary temporary(output);
        if (temporary.path().empty()) {
            ShowStatus(u"Failed in Coding or Storing data.");
            return {ConversionOutcome::StoreFailed, temporary.cause()};
        }
        const SequenceRun run = WriteSequence(source, request, *metadata, temporary.path().c_str());
        if (run.kind == SequenceRun::Written) {
            if (!temporary.Commit({request.overwrite, request.replaceReadOnly})) {
                temporary.Remove();
                ShowStatus(u"Failed in Coding or Storing data.");
                return {ConversionOutcome::StoreFailed, temporary.cause()};
            }
            g_lastFrames.store(source.lastIndex - source.firstIndex + 1);
            ShowStatus(u"Coding and Storing Done.");
            ShowStatus(u"Ready.");
            return {ConversionOutcome::Stored, {}};
        }
        temporary.Remove();
        const bool retryWithout =
            run.kind == SequenceRun::PluginFailed && metadata->itemsHanded && !itemsWithdrawn;
        const bool keepBefore =
            run.kind == SequenceRun::InputCut && run.cutAt > source.firstIndex + 1;
        if (!retryWithout && !keepBefore) {
            ShowStatus(run.kind == SequenceRun::ResizeFailed
                           ? u"Failed in Resizing."
                           : u"Failed in Coding or Storing data.");
            return {ConversionOutcome::StoreFailed, run.cause};
        }
        if (retryWithout && source.first.deep) {
            WithdrawItems(metadata, source.first.deep.get(), run.cause);
            itemsWithdrawn = true;
        } else if (retryWithout) {
            WithdrawItems(metadata, source.first.dc, &source.first.bitmap, run.cause);
            itemsWithdrawn = true;
        } else {
            source.lastIndex = run.cutAt - 1;
            t_frameCount = source.lastIndex - source.firstIndex + 1;
            metadata->notices.push_back(u"kept the frames before frame " + Number(run.cutAt + 1) +
                                        u" of " + Number(source.sequence.frameCount) +
                                        u", which cannot be read" +
                                        (run.cause.empty() ? u"" : u" (" + run.cause + u")"));
        }
        std::u16string cause;
        FrameSequenceInfo again{};
        if (!source.reader->Open(source.input, &again, &cause)) {
            ShowStatus(u"Failed in Coding or Storing data.");
            return {ConversionOutcome::StoreFailed, std::move(cause)};
        }
    }
}

// The frames to store, counted from 0: those asked for, of those the file holds; the first
// alone for an output that holds one picture, with a notice when that leaves frames out.
std::pair<int32_t, int32_t> ChooseFrames(const ConversionRequest::Frames &asked, int32_t count,
                                         std::vector<std::u16string> *notices) {
    const int32_t first = std::max(asked.first, 1) - 1;
    int32_t last = asked.last <= 0 ? count - 1 : std::min(asked.last, count) - 1;
    last = std::max(last, first);
    if (last > first && !OutputPlugins().HoldsSeveralFrames()) {
        notices->push_back(u"kept frame " + Number(first + 1) + u" of " + Number(count));
        last = first;
    }
    return {first, last};
}

// Whether a file deeper than 8 bits keeps its depth: when the output takes deep frames and
// the size stays or changes by a filter of libswscale, which works at full depth. The dialog's
// resizes work on 8-bit pictures: the plug-in reduces the frames, with its notice.
bool KeepsDepth(const ConversionRequest &request, const FrameSequenceInfo &sequence) {
    const bool sameSize = request.outputWidth == uint32_t(sequence.width) &&
                          request.outputHeight == uint32_t(sequence.height);
    return OutputPlugins().HasFrameSamples() && (sameSize || IsSwscaleFilter(request.filter));
}

JobEnd RunStages(const ConversionRequest &request, const WCHAR *input, const WCHAR *output) {
    using decode_stage::Failure;
    AtFrame(0, kDecoding);
    t_frameCount = 1;
    // The frames are chosen once the file says how many it holds, before the first is
    // decoded, so that the bar covers them all from the start.
    std::pair<int32_t, int32_t> chosen{0, 0};
    std::vector<std::u16string> frameNotices;
    const auto choose = [&](const FrameSequenceInfo &sequence) {
        chosen = ChooseFrames(request.frames, sequence.frameCount, &frameNotices);
        t_frameCount = chosen.second - chosen.first + 1;
    };
    decode_stage::Decoded decoded = decode_stage::DecodeInput(
        input, {.notSupportedLine = u"This input is not supported or illegal format.",
                .readableSection = true,
                .frame = std::max(request.frames.first, 1) - 1,
                .progress = SequenceProgress,
                .framesOpened = choose,
                .fullDepth = [&](const FrameSequenceInfo &s) { return KeepsDepth(request, s); },
                .storedWidth = request.outputWidth,
                .storedHeight = request.outputHeight});
    switch (decoded.failure) {
    case Failure::NotSupported: return {ConversionOutcome::NotSupported, decoded.cause};
    case Failure::InfoFailed: return {ConversionOutcome::InfoFailed, decoded.cause};
    case Failure::DecodeFailed: return {ConversionOutcome::DecodeFailed, decoded.cause};
    case Failure::None: break;
    }
    const bool framed = decoded.frames.open();
    const bool deep = decoded.deep != nullptr;
    PictureMetadata metadata = ReadPictureMetadata(input, framed, deep);
    const auto [first, last] = chosen;
    metadata.notices.insert(metadata.notices.begin(), frameNotices.begin(), frameNotices.end());
    if (last == first) decoded.frames.Close();
    t_frameStage = kResizing;
    std::u16string resizeCause;
    StoreTarget target = ResizeStage(decoded, request, &resizeCause);
    if (target.empty()) return {ConversionOutcome::ResizeFailed, std::move(resizeCause)};
    // The items are fitted to the stored picture, whose pixels turn sRGB when the profile
    // cannot go with them (a palette's bitmap is replaced then).
    HBITMAP handed = target.bitmap;
    if (deep) {
        HandMetadataToOutput(&metadata, request.metadata, target.deep.get());
    } else {
        HandMetadataToOutput(&metadata, request.metadata, target.dc, &target.bitmap);
        OfferTransparency(target.dc, &metadata);
    }
    JobEnd outcome;
    // Deep samples go through the sequence calls alone, a single picture as one frame.
    if (last > first || deep) {
        SequenceSource source{std::move(target),
                              decoded.delay,
                              &decoded.frames,
                              decoded.sequence,
                              first,
                              last,
                              input};
        outcome = StoreSequence(source, output, request, &metadata);
        target = std::move(source.first);
    } else {
        OfferSourceJpeg(input, metadata, request.metadata, handed == decoded.bitmap && !framed);
        outcome = StoreStage(target, output, request, true, metadata.itemsHanded);
        if (outcome.pluginFailed) {
            // An item must never cost the picture: once more without any.
            WithdrawItems(&metadata, target.dc, &target.bitmap, outcome.cause);
            outcome = StoreStage(target, output, request, false, false);
        }
        if (outcome.outcome == ConversionOutcome::Stored) g_lastFrames.store(1);
    }
    if (outcome.outcome == ConversionOutcome::Stored) outcome.notices = std::move(metadata.notices);
    target.Release();
    return outcome;
}

// The cause is kept before the controls come back, so that whoever sees them enabled finds
// it; it is shown below the job's last status line.
ConversionOutcome RunConversion() {
    const ConversionRequest request = TheConversionRequest;
    const job_slot::JobPath input = job_slot::CopyJobPath(InputPath);
    const job_slot::JobPath output = job_slot::CopyJobPath(OutputPath);

    EnableControlSet(request.controls, false);
    ProgressCallback(0, 1, 0);
    g_lastPointSampled.store(false);
    g_lastFrames.store(0);
    const JobEnd end = RunStages(request, input.data(), output.data());
    {
        std::lock_guard lock(g_causeMutex);
        g_lastCause = end.cause;
    }
    if (!end.cause.empty()) ShowFailureCause(end.cause);
    for (const std::u16string &notice : end.notices) ShowNotice(notice);
    ProgressCallback(0, 1, 0);
    EnableControlSet(request.controls, true);
    return end.outcome;
}

}  // namespace

bool StartConversionJob(const ControlSet &controls, uint32_t outputWidth, uint32_t outputHeight,
                        bool antiAlias, bool overwrite) {
    return job_slot::StartJob(
        controls,
        [&] {
            TheConversionRequest =
                ConversionRequest{controls, outputWidth, outputHeight, antiAlias, overwrite};
        },
        [] { g_lastOutcome.store(RunConversion()); });
}

int ConversionJob(void *unused) {
    (void)unused;
    job_slot::Acquire();
    g_lastOutcome.store(RunConversion());
    job_slot::Release();
    return 0;
}

ConversionOutcome LastConversionOutcome() { return g_lastOutcome.load(); }

bool LastConversionPointSampled() { return g_lastPointSampled.load(); }

int32_t LastConversionFrames() { return g_lastFrames.load(); }

std::u16string LastConversionCause() {
    std::lock_guard lock(g_causeMutex);
    return g_lastCause;
}

}  // namespace faltrix
