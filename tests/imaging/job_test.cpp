// The conversion and preview jobs through the raw test plug-ins and a recording front end:
// one table of runs, each with the stage that fails, its status lines and where the picture
// ends up (the stored file, or the preview surface read back); then the starts refused while
// a job runs, the store's care for an existing output, and the job over frames.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"
#include "faltrix/preview.h"
#include "faltrix/recording_front_end.h"
#include "raw_format.h"

namespace faltrix {
namespace {

using Lines = std::vector<std::u16string>;
using enum ConversionOutcome;

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Lines kDecode = {u"Now Getting infomation...", u"Getting infomation Done.",
                       u"Now Decoding input data...", u"Decoding input data Done."};
const Lines kAntiAlias = {u"Now anti-alias Resizing...", u"anti-alias Resizing Done."};
const Lines kFallback = {u"Now anti-alias Resizing...",
                         u"anti-alias Resizing supportes 24bits only.",
                         u"Now Resizing by default CE function."};
const Lines kStore = {u"Now Coding and Storing...", u"Coding and Storing Done.", u"Ready."};
const Lines kNotSupported = {u"This input is not supported or illegal format."};
const Lines kNotShown = {u"This input is NOT supported or illegal format."};
const Lines kInfoFailed = {kDecode[0], u"Failed in Getting information."};
const Lines kDecodeFailed =
    Join({Lines(kDecode.begin(), kDecode.end() - 1), {u"Failed in Decoding input data."}});
const Lines kAntiAliasStored = Join({kDecode, kAntiAlias, kStore});
const Lines kDeviceStored = Join({kDecode, {u"normal Resizing Done."}, kStore});
const Lines kFallbackStored = Join({kDecode, kFallback, {u"normal Resizing Done."}, kStore});
const Lines kStoreFailed =
    Join({kDecode, kAntiAlias, {kStore[0], u"Failed in Coding or Storing data."}});
const Lines kFallbackFailed = Join({kDecode, kFallback, {u"Failed in Resizing."}});
const Lines kDeviceFailed = Join({kDecode, {u"Failed in Resizing."}});
const Lines kShown = Join({kDecode, {u"Ready."}}),
            kShownResampled = Join({kDecode, kAntiAlias, {u"Ready."}});
const Lines kShownStretched = Join({kDecode, {kAntiAlias[0], u"Ready."}});

// The picture's top half and the rest in entries 1 and 2 of a three-colour palette, whose
// channels are 0 or powers of two, which any area average leaves exact: 8-bit pictures hold
// the indices, 24-bit ones the entries' first three bytes (blue, green, red).
const std::vector<RGBQUAD> kPalette = {{0, 0, 200, 0}, {0, 128, 64, 0}, {128, 64, 0, 0}};
constexpr COLORREF kTopSeen = RGB(64, 128, 0), kBottomSeen = RGB(0, 64, 128),
                   kWhite = RGB(255, 255, 255);

// The nine controls in the order in which EnableControlSet changes them, once per state given.
std::vector<RecordingFrontEnd::ControlChange> Controls(std::initializer_list<bool> states) {
    std::vector<RecordingFrontEnd::ControlChange> changes;
    for (bool enable : states) {
        for (int id : {1, 2, 3, 1003, 1004, 1006, 1007, 4, 5}) {
            changes.push_back({RecordingFrontEnd::ControlHandle(id), enable});
        }
    }
    return changes;
}

// A recording front end at which, while the test holds `gate`, the first job thread to change
// a control stops before the change is recorded.
struct HoldingFrontEnd : RecordingFrontEnd {
    void EnableControl(HWND control, bool enable) override {
        if (std::this_thread::get_id() != testThread && !stopped.exchange(true)) {
            stopped.notify_all();
            std::lock_guard wait(gate);
        }
        RecordingFrontEnd::EnableControl(control, enable);
    }
    void ShowNotice(std::u16string_view text) override { notices.emplace_back(text); }
    std::vector<std::u16string> notices;
    std::mutex gate;
    std::atomic<bool> stopped{false};
    const std::thread::id testThread = std::this_thread::get_id();
};

using raw_test::Selected;

// The rectangle {x, y, width, height} where a picture of the size given is not white, with
// the colours of its top left and bottom left pixels; all -1 when that part is no filled
// rectangle.
std::tuple<std::array<int, 4>, COLORREF, COLORREF> Seen(HDC dc, int width, int height) {
    int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1, count = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (GetPixel(dc, x, y) == kWhite) continue;
            std::tie(left, right, bottom, count) =
                std::tuple(std::min(left, x), std::max(right, x), y, count + 1);
            top = std::min(top, y);
        }
    }
    const std::array<int, 4> rect{left, top, right - left + 1, bottom - top + 1};
    if (count == 0 || count != rect[2] * rect[3]) return {{-1, -1, -1, -1}, 0, 0};
    return {rect, GetPixel(dc, left, top), GetPixel(dc, left, bottom)};
}

// One run of a job: the plug-ins, the input picture (24 or 8 bits, top-down for a negative
// height), the output size or the preview box, the status lines, how it ends (for a preview,
// Stored stands for drawn) and where the picture ends up: the stored picture's {0, 0, width,
// height}, or the {x, y, width, height} drawn into the surface. GetPictureInfo answers `info`
// when given, else the picture's own size.
struct JobRun {
    const char *name;
    bool preview;
    std::string variant;  // the raw plug-in standing in for input_raw or output_raw, if any
    int32_t width, height, bits;
    uint32_t toWidth, toHeight;
    bool antiAlias;
    Lines lines;
    ConversionOutcome outcome;
    std::array<int, 4> place;
    std::optional<std::array<int32_t, 2>> info = {};
};
void PrintTo(const JobRun &r, std::ostream *os) { *os << r.name; }

// The program's plug-in lists pointed at raw test plug-in variants, the pictures in a folder
// of their own, a recording front end installed and the preview surface removed afterwards.
class JobTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(folder_);
        FillControlSet(nullptr, &controls_);
        ASSERT_TRUE(SetJobPath(InputPath, Path("in.raw").u16string()));
        ASSERT_TRUE(SetJobPath(OutputPath, Path("out.raw").u16string()));
    }
    void TearDown() override {
        WaitForJobEnd();
        DestroyPreviewSurface();
        std::filesystem::remove_all(folder_);
    }

    // Loads input_raw and output_raw as the current plug-ins, or in place of one of them the
    // variant named ("input_no_info", "output_no_store", ...).
    // The raw plug-ins, or the variants named in their place.
    void UsePlugins(const std::string &variant = "", const std::string &output = "output_raw") {
        const std::string folder = FALTRIX_IMAGING_PLUGIN_DIR "/";
        InputPlugins().SetFolderOverride(folder +
                                         (variant.starts_with("input") ? variant : "input_raw"));
        OutputPlugins().SetFolderOverride(folder +
                                          (variant.starts_with("output") ? variant : output));
        ASSERT_EQ(std::pair(InputPlugins().ScanPlugins(), OutputPlugins().ScanPlugins()),
                  std::pair(1, 1));
        ASSERT_EQ(std::pair(InputPlugins().SelectPlugin(0), OutputPlugins().SelectPlugin(0)),
                  std::pair(1, 1));
    }
    std::filesystem::path Path(const std::string &name) const { return folder_ / name; }

    // Writes the input picture: the top half by the height GetPictureInfo answers in one
    // colour, the rest in the other.
    void WriteInput(int32_t width, int32_t height, int32_t bits,
                    std::optional<std::array<int32_t, 2>> info = {}) {
        const int32_t rows = std::abs(height);
        const auto [infoWidth, infoHeight] = info.value_or(std::array{width, rows});
        const Selected picture(
            raw_test::NoiseSection(width, height, bits, kPalette, bits == 8 ? 3 : 0));
        const DIBSECTION ds = raw_test::Describe(picture.bitmap);
        for (int32_t y = 0; y < rows; ++y) {
            auto *row = static_cast<uint8_t *>(ds.dsBm.bmBits) +
                        ds.dsBm.bmWidthBytes * (height < 0 ? y : rows - 1 - y);
            const uint8_t index = y < infoHeight / 2 ? 1 : 2;
            const void *pixel = bits == 8 ? static_cast<const void *>(&index) : &kPalette[index];
            for (int32_t x = 0; x < width; ++x) std::memcpy(row + x * bits / 8, pixel, bits / 8);
        }
        EXPECT_TRUE(raw_test::WriteRaw(Path("in.raw"), picture.dc, infoWidth, infoHeight));
    }

    HoldingFrontEnd recorder_;
    ScopedFrontEnd installed_{&recorder_};
    ControlSet controls_;
    HWND box_ = RecordingFrontEnd::ControlHandle(1020);
    std::filesystem::path folder_ =
        std::filesystem::temp_directory_path() / ("faltrix-imaging-" + std::to_string(::getpid()));
};

class JobRunTest : public JobTest, public ::testing::WithParamInterface<JobRun> {};

TEST_P(JobRunTest, StatusLinesControlsProgressAndWhereThePictureEndsUp) {
    const JobRun &r = GetParam();
    UsePlugins(r.variant);
    WriteInput(r.width, r.height, r.bits, r.info);
    // What the surface shows before a preview: a black square, which a drawing replaces and
    // a failure empties.
    if (r.preview) {
        recorder_.SetWindowRect(box_,
                                RECT{200, 300, 200 + LONG(r.toWidth), 300 + LONG(r.toHeight)});
        CreatePreviewSurface(box_);
        const RECT square{10, 20, 30, 40};
        FillRect(ThePreviewSurface.dc, &square, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        ThePreviewRequest = PreviewRequest{box_, controls_, ThePreviewSurface.dc, r.antiAlias};
        EXPECT_EQ(PreviewJob(nullptr), 0);
    } else {
        TheConversionRequest = ConversionRequest{controls_, r.toWidth, r.toHeight, r.antiAlias};
        EXPECT_EQ(ConversionJob(nullptr), 0);
    }

    EXPECT_EQ(recorder_.StatusLines(), r.lines);
    EXPECT_EQ(recorder_.ControlChanges(), Controls({false, true}));
    const std::vector<uint32_t> progress = recorder_.ProgressPositions();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(std::pair(progress.front(), progress.back()), std::pair(0u, 0u));
    if (r.preview) {
        // A failed preview empties the box: the square belonged to another picture.
        const std::tuple<std::array<int, 4>, COLORREF, COLORREF> emptied{{-1, -1, -1, -1}, 0, 0};
        EXPECT_EQ(recorder_.RepaintCount(box_), 1);
        EXPECT_EQ(Seen(ThePreviewSurface.dc, r.toWidth, r.toHeight),
                  r.outcome == Stored ? std::tuple(r.place, kTopSeen, kBottomSeen) : emptied);
        return;
    }

    EXPECT_EQ(LastConversionOutcome(), r.outcome);
    raw_test::RawHead stored;
    HBITMAP picture = nullptr;
    ASSERT_EQ(raw_test::ReadRaw(Path("out.raw"), &stored, CreateDIBSection, &picture),
              r.outcome == Stored);
    if (r.outcome != Stored) return;
    const Selected selected(picture);
    EXPECT_EQ(stored.dib.biBitCount, r.bits);
    // In the stored palette's colours, upright whatever the source's row order.
    EXPECT_EQ(Seen(selected.dc, stored.dib.biWidth, std::abs(stored.dib.biHeight)),
              std::tuple(r.place, kTopSeen, kBottomSeen));
}

constexpr bool kConvert = false, kPreview = true;
using Place = std::array<int, 4>;
using Info = std::array<int32_t, 2>;
const JobRun kRuns[] = {
    {"NotSupported", kConvert, "input_no_support", 8, 6, 24, 4, 3, true, kNotSupported,
     NotSupported, Place{}},
    {"InformationRefused", kConvert, "input_no_info", 8, 6, 24, 4, 3, true, kInfoFailed, InfoFailed,
     Place{}},
    {"DecodingFailed", kConvert, "input_no_decode", 8, 6, 24, 4, 3, true, kDecodeFailed,
     DecodeFailed, Place{}},
    {"DecodedHandleIsNoBitmap", kConvert, "input_stale_bitmap", 8, 6, 24, 4, 3, true, kDecodeFailed,
     DecodeFailed, Place{}},
    {"NoIsSupportedEntryPointGoesOn", kConvert, "input_no_issupported", 8, 6, 24, 4, 3, false,
     kDeviceStored, Stored, Place{0, 0, 4, 3}},
    {"StoreRefused", kConvert, "output_no_store", 8, 6, 24, 4, 3, true, kStoreFailed, StoreFailed,
     Place{}},
    {"OnlyTheHeightDiffers", kConvert, "", 8, 6, 24, 8, 3, true, kAntiAliasStored, Stored,
     Place{0, 0, 8, 3}},
    {"AntiAliasRefused", kConvert, "", 8, 6, 8, 4, 3, true, kFallbackStored, Stored,
     Place{0, 0, 4, 3}},
    {"AntiAliasSameSizeTakesTheDevicePath", kConvert, "", 8, 6, 24, 8, 6, true, kDeviceStored,
     Stored, Place{0, 0, 8, 6}},
    {"TopDownAntiAlias", kConvert, "", 8, -6, 24, 4, 3, true, kAntiAliasStored, Stored,
     Place{0, 0, 4, 3}},
    // No width at all: the resampler refuses it, the device resize makes no section.
    {"NoResizedBitmapStoresNothing", kConvert, "", 8, 6, 24, 0, 3, true, kFallbackFailed,
     ResizeFailed, Place{}},
    {"NoDeviceBitmapStoresNothing", kConvert, "", 8, 6, 24, 0, 3, false, kDeviceFailed,
     ResizeFailed, Place{}},

    {"PreviewFitsTheHeight", kPreview, "", 320, 320, 24, 160, 120, true, kShownResampled, Stored,
     Place{20, 0, 120, 120}},
    // The resampler refuses 8 bits; the stretching blit takes over without a line of its own.
    {"PreviewPalettised", kPreview, "", 320, 320, 8, 160, 120, true, kShownStretched, Stored,
     Place{20, 0, 120, 120}},
    {"PreviewOffsetTruncated", kPreview, "", 200, 98, 24, 100, 100, true, kShownResampled, Stored,
     Place{0, 25, 100, 49}},
    {"PreviewTopDownStretched", kPreview, "", 200, -200, 24, 100, 100, false, kShown, Stored,
     Place{0, 0, 100, 100}},
    // Centred at its own size, the halves truncated before the subtraction.
    {"PreviewOwnSize", kPreview, "", 51, 49, 24, 100, 100, true, kShown, Stored,
     Place{25, 26, 51, 49}},
    {"PreviewExactlyTheBox", kPreview, "", 160, 120, 24, 160, 120, true, kShown, Stored,
     Place{0, 0, 160, 120}},
    {"PreviewNotSupported", kPreview, "input_no_support", 50, 50, 24, 100, 100, true, kNotShown,
     NotSupported, Place{}},
    // A size of 0 or below is no information.
    {"PreviewZeroWidth", kPreview, "", 50, 50, 24, 100, 100, true, kInfoFailed, InfoFailed, Place{},
     Info{0, 50}},
    {"PreviewNegativeHeight", kPreview, "", 50, 50, 24, 100, 100, true, kInfoFailed, InfoFailed,
     Place{}, Info{50, -50}},
};
INSTANTIATE_TEST_SUITE_P(Runs, JobRunTest, ::testing::ValuesIn(kRuns),
                         [](const auto &info) { return std::string(info.param.name); });

// A size beyond the limits fails with the limit named, however it is resized, before either
// resize is tried; an unchanged size is never refused (the picture was read, so it is within
// what its plug-in reads).
TEST_F(JobTest, SizeBeyondTheLimitsNamesTheLimit) {
    UsePlugins();
    WriteInput(8, 6, 24);
    const struct {
        uint32_t width, height;
        bool antiAlias;
        const char16_t *cause;
    } cases[] = {
        {1u << 31, 3, true,
         u"2147483648 pixels wide, more than the 1048575 a side the plug-ins read"},
        {20000, 15000, true,
         u"20000 x 15000 is 300 million pixels, more than the 268 million the plug-ins read"},
        {16385, 16384, false,
         u"16385 x 16384 is 268451840 pixels, more than the 268435456 the plug-ins read"},
        {100000000, 3, false,
         u"100000000 pixels wide, more than the 1048575 a side the plug-ins read"},
        {8, 1048576, true, u"1048576 pixels high, more than the 1048575 a side the plug-ins read"},
        {8, 6, false, u""},
    };
    for (const auto &c : cases) {
        TheConversionRequest = ConversionRequest{controls_, c.width, c.height, c.antiAlias};
        recorder_.Clear();
        EXPECT_EQ(ConversionJob(nullptr), 0);
        EXPECT_EQ(LastConversionCause(), c.cause) << c.width << " x " << c.height;
        EXPECT_EQ(LastConversionOutcome(), *c.cause ? ResizeFailed : Stored);
        if (*c.cause) {
            EXPECT_EQ(recorder_.StatusLines(), kDeviceFailed) << c.width;
        }
    }
}

// A picture of unchanged size is stored as decoded, no copy made: in its own row order, with
// the bytes past each row's last pixel cleared, as a copy used to leave them.
TEST_F(JobTest, SameSizeStoresTheDecodedPictureWithRowEndsCleared) {
    UsePlugins();
    WriteInput(7, -6, 24);
    TheConversionRequest = ConversionRequest{controls_, 7, 6, false};
    EXPECT_EQ(ConversionJob(nullptr), 0);
    raw_test::RawHead stored;
    HBITMAP picture = nullptr;
    ASSERT_TRUE(raw_test::ReadRaw(Path("out.raw"), &stored, CreateDIBSection, &picture));
    const Selected selected(picture);
    EXPECT_EQ(stored.dib.biHeight, -6);
    const auto *bits = static_cast<const uint8_t *>(raw_test::Describe(picture).dsBm.bmBits);
    for (int y = 0; y < 6; ++y)
        EXPECT_EQ(std::vector<uint8_t>(bits + 24 * y + 21, bits + 24 * y + 24),
                  std::vector<uint8_t>(3, 0))
            << y;
}

// While a job runs neither kind of job starts; the controls are disabled before the job's
// thread runs and enabled at its end.
TEST_F(JobTest, OneJobAtATime) {
    UsePlugins();
    WriteInput(8, 6, 24);
    std::unique_lock hold(recorder_.gate);
    ASSERT_TRUE(StartConversionJob(controls_, 4, 3, true, false));
    recorder_.stopped.wait(false);
    // The job's thread stopped at its first control change: the nine so far came before it.
    EXPECT_EQ(recorder_.ControlChanges(), Controls({false}));
    EXPECT_TRUE(JobRunning());
    EXPECT_FALSE(StartConversionJob(controls_, 4, 3, true, false));
    EXPECT_FALSE(StartPreviewJob(nullptr, nullptr, controls_, false));
    hold.unlock();
    WaitForJobEnd();
    EXPECT_EQ(recorder_.StatusLines(), kAntiAliasStored);
    EXPECT_EQ(recorder_.ControlChanges(), Controls({false, false, true}));
}

// The store replaces an existing output only as the request allows, keeping its mode, and
// leaves no temporary. Without permission even an output that was not there when the front
// end looked (here one there from the start) is kept. Each case starts from "old" with the
// mode given, or from no file (mode 0): a new output has 0666 less the umask.
TEST_F(JobTest, StoreReplacesAnExistingOutputOnlyAsAllowed) {
    UsePlugins();
    WriteInput(8, 6, 24);
    const struct {
        bool overwrite, replaceReadOnly;
        int mode;
        std::u16string cause;  // empty: stored
    } cases[] = {
        {false, false, 0644,
         u"the output file appeared during the conversion and was not replaced"},
        {true, false, 0444, u"the existing output is read-only"},
        {true, true, 0444, u""},
        {false, false, 0, u""},
    };
    const mode_t umaskBefore = umask(027);
    const std::filesystem::path output = Path("out.raw");
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.overwrite) + std::to_string(c.replaceReadOnly) + " " +
                     std::to_string(c.mode));
        std::filesystem::remove(output);
        if (c.mode != 0) std::ofstream(output) << "old";
        if (c.mode != 0)
            std::filesystem::permissions(output, static_cast<std::filesystem::perms>(c.mode));
        TheConversionRequest =
            ConversionRequest{controls_, 4, 3, false, c.overwrite, c.replaceReadOnly};
        ConversionJob(nullptr);
        EXPECT_EQ(LastConversionOutcome(), c.cause.empty() ? Stored : StoreFailed);
        EXPECT_EQ(LastConversionCause(), c.cause);
        EXPECT_EQ(std::filesystem::file_size(output) == 3, !c.cause.empty());
        EXPECT_EQ(static_cast<int>(std::filesystem::status(output).permissions()),
                  c.mode != 0 ? c.mode : 0640);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}),
                  2);  // in.raw and out.raw
    }
    umask(umaskBefore);
}

// ---- Frames ------------------------------------------------------------------------------

// The conversion job over frames, through the raw plug-ins with frame calls: every frame
// resized and handed on in order with its delay and the loop count, the frames chosen, an
// output that holds one picture, a later frame that cannot be read, an output that fails part
// way, and a file that claims more frames than the limit.

// What a raw frames file holds: each frame's size and delay, and the trailer's loop count.
struct Written {
    std::vector<std::array<int32_t, 3>> frames;  // width, height, delay
    int32_t loopCount = -1;
    bool operator==(const Written &) const = default;
};

Written ReadStored(const std::filesystem::path &file) {
    Written stored;
    std::vector<long> offsets;
    raw_test::RawTrailer trailer;
    if (!raw_test::ScanRawFrames(file, &offsets, &trailer)) return stored;
    std::ifstream in(file, std::ios::binary);
    for (long at : offsets) {
        raw_test::RawHead head;
        in.seekg(at);
        in.read(reinterpret_cast<char *>(&head), sizeof head);
        stored.frames.push_back(
            {head.dib.biWidth, std::abs(head.dib.biHeight), int32_t(head.dib.biClrImportant)});
    }
    stored.loopCount = trailer.loopCount;
    return stored;
}

struct FramesCase {
    const char *name;
    const char *output;  // the raw output variant
    int frames;          // written to the input
    int cutLastBy;       // bytes cut from the end of the last frame
    int claimed;         // the frame count the input's trailer claims (0: the records)
    ConversionRequest::Frames asked;
    uint32_t toWidth;  // the output's size; the input is 8 x 6
    ConversionOutcome outcome;
    Written stored;  // with output_raw: one record, no trailer
    std::vector<std::u16string> notices = {};
};
void PrintTo(const FramesCase &c, std::ostream *os) { *os << c.name; }
void PrintTo(const Written &w, std::ostream *os) {
    for (const auto &[width, height, delay] : w.frames)
        *os << width << "x" << height << " " << delay << "ms, ";
    *os << "loop " << w.loopCount;
}

class FramesTest : public JobTest, public ::testing::WithParamInterface<FramesCase> {
protected:
    // frames 24-bit records of 8 x 6, delays 10, 20, 30 ..., loop count 3.
    void WriteFrames(int frames, int cutLastBy, int claimed) {
        std::string bytes;
        for (int k = 0; k < frames; ++k) {
            const Selected picture(raw_test::NoiseSection(8, 6, 24));
            ASSERT_TRUE(raw_test::WriteRaw(Path("one.raw"), picture.dc, 8, 6));
            std::ifstream read(Path("one.raw"), std::ios::binary);
            std::string record((std::istreambuf_iterator<char>(read)), {});
            reinterpret_cast<raw_test::RawHead *>(record.data())->dib.biClrImportant = 10 * (k + 1);
            if (k == frames - 1) record.resize(record.size() - size_t(cutLastBy));
            bytes += record;
        }
        std::filesystem::remove(Path("one.raw"));
        raw_test::RawTrailer trailer;
        trailer.loopCount = 3;
        trailer.claimedFrames = claimed;
        if (cutLastBy == 0) bytes.append(reinterpret_cast<const char *>(&trailer), sizeof trailer);
        std::ofstream(Path("in.raw"), std::ios::binary) << bytes;
    }
};

TEST_P(FramesTest, FramesReachTheOutputInOrder) {
    const FramesCase &c = GetParam();
    UsePlugins("input_frames", c.output);
    WriteFrames(c.frames, c.cutLastBy, c.claimed);
    TheConversionRequest = ConversionRequest{controls_, c.toWidth, c.toWidth * 6 / 8, false, true};
    TheConversionRequest.frames = c.asked;
    ConversionJob(nullptr);
    EXPECT_EQ(LastConversionOutcome(), c.outcome) << testing::PrintToString(LastConversionCause());
    if (c.outcome != Stored) {
        EXPECT_EQ(std::filesystem::directory_iterator(folder_)->path().filename(), "in.raw")
            << "no output, and no temporary left";
        return;
    }
    EXPECT_EQ(ReadStored(Path("out.raw")), c.stored);
    EXPECT_EQ(LastConversionFrames(), int32_t(c.stored.frames.size()));
    // The status lines of a single picture, then the notices; the bar only moves forward.
    const std::vector<std::u16string> lines = recorder_.StatusLines();
    EXPECT_EQ(lines.back(), u"Ready.");
    EXPECT_EQ(recorder_.notices, c.notices);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), u"Now Decoding input data..."), 1);
    // Over several frames the bar runs once from 0 to 100 (then back to 0 for the next job);
    // a second try starts it again.
    const std::vector<uint32_t> bar = recorder_.ProgressPositions();
    EXPECT_TRUE(c.stored.frames.size() < 2 || !c.notices.empty() ||
                (std::is_sorted(bar.begin(), bar.end() - 1) && bar.end()[-2] == 100))
        << testing::PrintToString(bar);
}

const Written kThree{{{8, 6, 10}, {8, 6, 20}, {8, 6, 30}}, 3};
constexpr ConversionRequest::Frames kAll{};

// A row of the table: clang-format packs the arguments of a call, where it would set each
// member of a braced row on a line of its own.
FramesCase Row(const char *name, const char *output, int frames, int cutLastBy, int claimed,
               ConversionRequest::Frames asked, uint32_t toWidth, ConversionOutcome outcome,
               Written stored = {}, std::vector<std::u16string> notices = {}) {
    return {name, output, frames, cutLastBy, claimed, asked, toWidth, outcome, stored, notices};
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FramesTest,
    ::testing::Values(
        Row("AllFramesWithDelaysAndLoop", "output_frames", 3, 0, 0, kAll, 8, Stored, kThree),
        Row("EveryFrameResizedAlike", "output_frames", 3, 0, 0, kAll, 4, Stored,
            {{{4, 3, 10}, {4, 3, 20}, {4, 3, 30}}, 3}),
        Row("ARangeOfFrames", "output_frames", 3, 0, 0, {2, 3}, 8, Stored,
            {{{8, 6, 20}, {8, 6, 30}}, 3}),
        Row("OneFrameChosenGoesThroughSaveDIBPicture", "output_frames", 3, 0, 0, {2, 2}, 8, Stored,
            {{{8, 6, 0}}, 0}),
        Row("AnOutputOfOnePictureKeepsTheFirst", "output_raw", 3, 0, 0, kAll, 8, Stored,
            {{{8, 6, 0}}, 0}, {u"kept frame 1 of 3"}),
        Row("ALaterFrameCutShortKeepsThoseBefore", "output_frames", 3, 5, 0, kAll, 8, Stored,
            {{{8, 6, 10}, {8, 6, 20}}, 0},
            {u"kept the frames before frame 3 of 3, which cannot be read"}),
        Row("AClaimedCountThatLies", "output_frames", 3, 0, 5, kAll, 8, Stored, kThree,
            {u"kept the frames before frame 4 of 5, which cannot be read"}),
        Row("AnOutputFailingPartWayLeavesNothing", "output_frames_fail2", 3, 0, 0, kAll, 8,
            StoreFailed),
        Row("MoreFramesThanTheLimit", "output_frames", 2, 0, FALTRIX_MAX_FRAMES + 1, kAll, 8,
            InfoFailed),
        Row("AFrameAskedPastTheEnd", "output_frames", 2, 0, 0, {3, 0}, 8, InfoFailed)),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faltrix
