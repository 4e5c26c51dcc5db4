// The conversion and preview jobs through the raw test plug-ins and a recording front end:
// every outcome's status lines, controls and progress, the stored picture, the preview's
// placement read back from the surface, and one job at a time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
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
using Colour = std::array<uint8_t, 3>;  // the first bits / 8 bytes are a pixel

const Lines kDecode = {u"Now Getting infomation...", u"Getting infomation Done.", u"Now Decoding input data...",
                       u"Decoding input data Done."};
const Lines kStore = {u"Now Coding and Storing...", u"Coding and Storing Done.", u"Ready."};
const Lines kAntiAlias = {u"Now anti-alias Resizing...", u"anti-alias Resizing Done."};
const Lines kFallback = {u"Now anti-alias Resizing...", u"anti-alias Resizing supportes 24bits only.",
                         u"Now Resizing by default CE function."};
const Lines kNormal = {u"normal Resizing Done."};

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

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
class HoldingFrontEnd : public RecordingFrontEnd {
public:
    void EnableControl(HWND control, bool enable) override {
        if (std::this_thread::get_id() != test_ && !stopped.exchange(true)) std::lock_guard wait(gate);
        RecordingFrontEnd::EnableControl(control, enable);
    }
    std::mutex gate;
    std::atomic<bool> stopped{false};

private:
    const std::thread::id test_ = std::this_thread::get_id();
};

void SetPath(char16_t (&buffer)[kPathBufferLength], const std::string &path) {
    *std::copy(path.begin(), path.end(), buffer) = 0;
}

// A picture row counted from the top, whatever the row order.
uint8_t *PictureRow(raw_test::RawPicture &p, uint32_t fromTop) {
    const uint32_t memoryRow = p.dib.biHeight < 0 ? fromTop : raw_test::Rows(p.dib) - 1 - fromTop;
    return p.pixels.data() + static_cast<size_t>(raw_test::Stride(p.dib)) * memoryRow;
}

// A recording front end installed for the test, the program's plug-in lists pointed at raw
// test plug-in variants, the pictures in a folder of their own, and the preview surface.
class JobTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(folder_);
        FillControlSet(nullptr, &controls_);
        SetPath(InputPath, Path("in.raw"));
        SetPath(OutputPath, Path("out.raw"));
    }
    void TearDown() override {
        WaitForJobEnd();
        SetJobEndedHandler(nullptr);
        InputPlugins().Teardown();
        OutputPlugins().Teardown();
        DestroyPreviewSurface();
        std::filesystem::remove_all(folder_);
    }

    // Loads the variants named ("raw", "no_info", ...) as the current plug-ins.
    void UsePlugins(const std::string &input, const std::string &output) {
        InputPlugins().SetFolderOverride(FALTRIX_IMAGING_PLUGIN_DIR "/input_" + input);
        OutputPlugins().SetFolderOverride(FALTRIX_IMAGING_PLUGIN_DIR "/output_" + output);
        ASSERT_EQ(std::pair(InputPlugins().ScanPlugins(), OutputPlugins().ScanPlugins()), std::pair(1, 1));
        ASSERT_EQ(std::pair(InputPlugins().SelectPlugin(0), OutputPlugins().SelectPlugin(0)), std::pair(1, 1));
    }
    std::string Path(const std::string &name) const { return (folder_ / name).string(); }

    // Writes the input picture, the top half in one colour and the bottom half in another;
    // `info` is what GetPictureInfo answers when it is not the picture's own size.
    void WriteInput(int32_t width, int32_t height, int bits, Colour top, Colour bottom,
                    std::vector<RGBQUAD> palette = {}, std::optional<std::pair<int32_t, int32_t>> info = {}) {
        const int32_t rows = height < 0 ? -height : height;
        raw_test::RawPicture p{width, rows, {40, width, height, 1, static_cast<WORD>(bits), BI_RGB, 0, 3780, 3780,
                                             static_cast<DWORD>(palette.size()), 0}, palette, {}};
        if (info) std::tie(p.infoWidth, p.infoHeight) = *info;
        p.pixels.resize(static_cast<size_t>(raw_test::Stride(p.dib)) * rows);
        for (int32_t y = 0; y < rows; ++y) {
            const Colour &colour = y < rows / 2 ? top : bottom;
            for (int32_t x = 0; x < width; ++x) std::copy_n(colour.data(), bits / 8, PictureRow(p, y) + x * bits / 8);
        }
        EXPECT_TRUE(raw_test::WriteRaw(Path("in.raw"), p));
    }

    // A preview surface the size of the box, and a preview run straight on this thread.
    void MakeSurface(int32_t width, int32_t height) {
        recorder_.SetWindowRect(box_, RECT{200, 300, 200 + width, 300 + height});
        CreatePreviewSurface(box_);
        ASSERT_EQ(std::pair(ThePreviewSurface.width, ThePreviewSurface.height), std::pair(width, height));
    }
    void RunPreview(bool antiAlias) {
        ThePreviewRequest = PreviewRequest{box_, controls_, ThePreviewSurface.dc, antiAlias};
        recorder_.Clear();
        EXPECT_EQ(PreviewJob(nullptr), 0);
    }
    // {x, y, width, height} of the picture on the surface, which must be a filled rectangle
    // with nothing but white around it (else all -1; all 0 for a white surface).
    std::array<int, 4> Drawn() const {
        int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1, count = 0;
        for (int y = 0; y < ThePreviewSurface.height; ++y) {
            for (int x = 0; x < ThePreviewSurface.width; ++x) {
                const COLORREF pixel = GetPixel(ThePreviewSurface.dc, x, y);
                if (pixel != kPictureColour && pixel != kWhite) return {-1, -1, -1, -1};
                if (pixel != kPictureColour) continue;
                std::tie(left, right, bottom, count) = std::tuple(std::min(left, x), std::max(right, x), y, count + 1);
                top = std::min(top, y);
            }
        }
        const std::array<int, 4> rect{left, top, right - left + 1, bottom - top + 1};
        return count == 0 ? std::array{0, 0, 0, 0} : count == rect[2] * rect[3] ? rect : std::array{-1, -1, -1, -1};
    }

    // Red above blue for the conversion; for the preview a colour whose channels are 0 or
    // powers of two, which any area average leaves exact.
    static constexpr Colour kRed{0, 0, 255}, kBlue{255, 0, 0}, kPicture{0, 128, 64};
    static constexpr COLORREF kPictureColour = RGB(64, 128, 0), kWhite = RGB(255, 255, 255);
    HoldingFrontEnd recorder_;
    ScopedFrontEnd installed_{&recorder_};
    ControlSet controls_;
    HWND box_ = RecordingFrontEnd::ControlHandle(1020);
    std::filesystem::path folder_ =
        std::filesystem::temp_directory_path() / ("faltrix-imaging-" + std::to_string(::getpid()));
};

// ---- Conversion ----------------------------------------------------------------------------

std::vector<RGBQUAD> SixteenColours() {
    std::vector<RGBQUAD> p(16);
    for (size_t i = 0; i < 16; ++i) p[i] = RGBQUAD{static_cast<BYTE>(16 * i), static_cast<BYTE>(i), 200, 0};
    return p;
}

// The picture has `bits` 24 (red above blue) or 8 (index 1 above 2 in sixteen colours), and
// is top-down for a negative height.
struct OutcomeCase {
    const char *name, *input, *output;  // the raw plug-in variants
    int bits, width, height, outWidth, outHeight;
    bool antiAlias;
    Lines lines;
    ConversionOutcome outcome;
    int storedWidth;
};
void PrintTo(const OutcomeCase &c, std::ostream *os) { *os << c.name; }
class ConversionOutcomeTest : public JobTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ConversionOutcomeTest, StatusLinesControlsProgressAndStoredPicture) {
    const OutcomeCase &c = GetParam();
    UsePlugins(c.input, c.output);
    const bool palettised = c.bits == 8;
    const Colour top = palettised ? Colour{1} : kRed, bottom = palettised ? Colour{2} : kBlue;
    WriteInput(c.width, c.height, c.bits, top, bottom, palettised ? SixteenColours() : std::vector<RGBQUAD>{});
    TheConversionRequest = ConversionRequest{controls_, static_cast<uint32_t>(c.outWidth),
                                             static_cast<uint32_t>(c.outHeight), c.antiAlias};
    EXPECT_EQ(ConversionJob(nullptr), 0);

    EXPECT_EQ(recorder_.StatusLines(), c.lines);
    EXPECT_EQ(recorder_.PauseCount(), static_cast<int>(c.lines.size()));
    EXPECT_EQ(LastConversionOutcome(), c.outcome);
    EXPECT_EQ(recorder_.ControlChanges(), Controls({false, true}));
    const std::vector<uint32_t> progress = recorder_.ProgressPositions();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(std::pair(progress.front(), progress.back()), std::pair(0u, 0u));

    raw_test::RawPicture stored;
    ASSERT_EQ(raw_test::ReadRaw(Path("out.raw"), &stored), c.outcome == ConversionOutcome::Stored);
    if (c.outcome != ConversionOutcome::Stored) return;
    EXPECT_EQ(progress[progress.size() - 2], 100u) << "100 after storing";
    EXPECT_EQ(std::tuple(stored.dib.biWidth, raw_test::Rows(stored.dib), stored.dib.biBitCount),
              std::tuple(c.storedWidth, static_cast<uint32_t>(c.outHeight), static_cast<WORD>(c.bits)));
    if (palettised) {  // the device path keeps the palette
        EXPECT_EQ(stored.dib.biClrUsed, 16u);
        ASSERT_EQ(stored.colours.size(), 16u);
        EXPECT_EQ(0, std::memcmp(stored.colours.data(), SixteenColours().data(), 16 * sizeof(RGBQUAD)));
    }
    // Upright whatever the source's row order.
    EXPECT_TRUE(std::equal(top.begin(), top.begin() + c.bits / 8, PictureRow(stored, 0)));
    EXPECT_TRUE(std::equal(bottom.begin(), bottom.begin() + c.bits / 8, PictureRow(stored, c.outHeight - 1)));
}

using enum ConversionOutcome;
const Lines kNotSupported = {u"This input is not supported or illegal format."};
const Lines kInfoFailed = {u"Now Getting infomation...", u"Failed in Getting information."};
const Lines kDecodeFailed = {u"Now Getting infomation...", u"Getting infomation Done.", u"Now Decoding input data...",
                             u"Failed in Decoding input data."};
const Lines kStoreFailed = {u"Now Coding and Storing...", u"Failed in Coding or Storing data."};
const Lines kAntiAliasStored = Join({kDecode, kAntiAlias, kStore}), kDeviceStored = Join({kDecode, kNormal, kStore});

const OutcomeCase kOutcomes[] = {
    {"NotSupported", "no_support", "raw", 24, 8, 6, 4, 3, 1, kNotSupported, NotSupported, 0},
    {"InformationRefused", "no_info", "raw", 24, 8, 6, 4, 3, 1, kInfoFailed, InfoFailed, 0},
    {"DecodingFailed", "no_decode", "raw", 24, 8, 6, 4, 3, 1, kDecodeFailed, DecodeFailed, 0},
    {"DecodedHandleIsNoBitmap", "stale_bitmap", "raw", 24, 8, 6, 4, 3, 1, kDecodeFailed, DecodeFailed, 0},
    {"AntiAlias", "raw", "raw", 24, 8, 6, 4, 3, 1, kAntiAliasStored, Stored, 4},
    {"AntiAliasRefused", "raw", "raw", 8, 8, 6, 4, 3, 1, Join({kDecode, kFallback, kNormal, kStore}), Stored, 4},
    {"DevicePath", "raw", "raw", 24, 8, 6, 5, 9, 0, kDeviceStored, Stored, 5},
    {"AntiAliasSameSizeTakesTheDevicePath", "raw", "raw", 24, 8, 6, 8, 6, 1, kDeviceStored, Stored, 8},
    {"OnlyTheHeightDiffers", "raw", "raw", 24, 8, 6, 8, 3, 1, kAntiAliasStored, Stored, 8},
    {"SevenToSixtyOneStoresSixty", "raw", "raw", 24, 7, 6, 61, 6, 1, kAntiAliasStored, Stored, 60},
    {"TopDownAntiAlias", "raw", "raw", 24, 8, -6, 4, 3, 1, kAntiAliasStored, Stored, 4},
    {"TopDownDevicePath", "raw", "raw", 24, 8, -6, 4, 3, 0, kDeviceStored, Stored, 4},
    {"TopDownPalettised", "raw", "raw", 8, 8, -6, 4, 3, 1, Join({kDecode, kFallback, kNormal, kStore}), Stored, 4},
    {"StoreRefused", "raw", "no_store", 24, 8, 6, 4, 3, 1, Join({kDecode, kAntiAlias, kStoreFailed}), StoreFailed, 0},
    {"NoIsSupportedEntryPointGoesOn", "no_issupported", "raw", 24, 8, 6, 4, 3, 0, kDeviceStored, Stored, 4},
    // A width no header can hold: the resampler refuses it, the device resize makes no section.
    {"NoResizedBitmapStoresNothing", "raw", "raw", 24, 8, 6, INT32_MIN, 3, 1,
     Join({kDecode, kFallback, {u"Failed in Resizing."}}), ResizeFailed, 0},
    {"NoDeviceBitmapStoresNothing", "raw", "raw", 24, 8, 6, 0, 3, 0, Join({kDecode, {u"Failed in Resizing."}}),
     ResizeFailed, 0},
};
INSTANTIATE_TEST_SUITE_P(Rows, ConversionOutcomeTest, ::testing::ValuesIn(kOutcomes),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(JobTest, OneJobAtATimeWithTheControlsDisabledBeforeItsThreadStarts) {
    UsePlugins("raw", "raw");
    WriteInput(8, 6, 24, kRed, kBlue);
    std::atomic<int> ended{0};
    SetJobEndedHandler([&ended] { ++ended; });
    std::unique_lock hold(recorder_.gate);
    ASSERT_TRUE(StartConversionJob(controls_, 4, 3, 1));
    while (!recorder_.stopped) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The job's thread stopped at its first control change: the nine so far came before it.
    EXPECT_EQ(recorder_.ControlChanges(), Controls({false}));
    EXPECT_TRUE(JobRunning());
    EXPECT_FALSE(StartConversionJob(controls_, 4, 3, 1));
    EXPECT_FALSE(StartPreviewJob(nullptr, nullptr, controls_, 0));
    // A direct call, as the command-line converter makes, waits for the running job.
    std::thread direct([] { ConversionJob(nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(recorder_.StatusLines().empty());
    hold.unlock();
    direct.join();
    WaitForJobEnd();

    EXPECT_EQ(LastConversionOutcome(), Stored);
    EXPECT_EQ(recorder_.StatusLines(), Join({kAntiAliasStored, kAntiAliasStored}));
    // Disabled by the start and by each job, enabled at each job's end; nothing from the refusals.
    EXPECT_EQ(recorder_.ControlChanges(), Controls({false, false, true, false, true}));
    // The handler runs on the job's thread after the slot is free; give it the moment.
    for (int i = 0; i < 200 && ended.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ended.load(), 2);
}

// ---- Preview ----------------------------------------------------------------------------

TEST_F(JobTest, PreviewDrawsThePictureAtItsPlace) {
    UsePlugins("raw", "raw");
    // {box width, height, picture width, height, bits, where it is drawn {x, y, width, height}, fitted}
    const std::tuple<int32_t, int32_t, int32_t, int32_t, int, std::array<int, 4>, bool> fits[] = {
        {160, 120, 320, 320, 24, {20, 0, 120, 120}, true},  // fits the height
        {160, 120, 320, 320, 8, {20, 0, 120, 120}, true},   // 8 bits: anti-alias falls back silently
        {160, 120, 640, 240, 24, {0, 30, 160, 60}, true},   // fits the width
        {100, 100, 200, 98, 24, {0, 25, 100, 49}, true},    // the offset 25.5 truncated
        {100, 100, 51, 49, 24, {25, 26, 51, 49}, false},    // centred at its own size, halves truncated first
        {160, 120, 100, 50, 24, {30, 35, 100, 50}, false},
        {160, 120, 160, 120, 24, {0, 0, 160, 120}, false},  // exactly the box
        {160, 120, 161, 10, 24, {0, 55, 160, 9}, true},     // one pixel too wide
        {100, 100, 200, -200, 24, {0, 0, 100, 50}, true},   // top-down, its lower half white: upright
    };
    for (const auto &[boxWidth, boxHeight, width, height, bits, place, fitted] : fits) {
        for (int32_t antiAlias : {0, 1}) {
            SCOPED_TRACE(::testing::Message() << width << "x" << height << "x" << bits << " into " << boxWidth << "x"
                                              << boxHeight << (antiAlias ? " with" : " without") << " anti-alias");
            MakeSurface(boxWidth, boxHeight);
            // An 8-bit picture has the same colour at index 0.
            WriteInput(width, height, bits, kPicture, height < 0 ? Colour{255, 255, 255} : kPicture,
                       std::vector(bits == 8 ? 1 : 0, RGBQUAD{0, 128, 64, 0}));
            RunPreview(antiAlias);
            const bool resampled = fitted && antiAlias && bits == 24;
            const Lines resizing = resampled                ? kAntiAlias
                                   : fitted && antiAlias != 0 ? Lines{u"Now anti-alias Resizing..."}
                                                              : Lines{};
            EXPECT_EQ(recorder_.StatusLines(), Join({kDecode, resizing, {u"Ready."}}));
            EXPECT_EQ(recorder_.RepaintCount(box_), 1);
            // The resampler's size, a truncated product, may fall one pixel short of the place's.
            std::array<int, 4> drawn = Drawn();
            for (int i : {2, 3}) drawn[i] += resampled && drawn[i] == place[i] - 1;
            EXPECT_EQ(drawn, place);
        }
    }
}

TEST_F(JobTest, PreviewFitsBySizeFromPictureInfoAndFailuresLeaveTheSurfaceAsItWas) {
    // {variant, PictureInfo's size, lines}; a size of 0 or below is no information.
    const std::tuple<const char *, int32_t, int32_t, Lines> failures[] = {
        {"no_support", 50, 50, {u"This input is NOT supported or illegal format."}},
        {"no_info", 50, 50, kInfoFailed}, {"raw", 0, 50, kInfoFailed}, {"raw", 50, -50, kInfoFailed},
        {"no_decode", 50, 50, kDecodeFailed}};
    for (const auto &[variant, infoWidth, infoHeight, lines] : failures) {
        SCOPED_TRACE(std::string(variant) + " " + std::to_string(infoWidth) + "x" + std::to_string(infoHeight));
        // Said to be 20 x 20, decoded 40 x 40: fitted as 20 x 20.
        UsePlugins("raw", "raw");
        MakeSurface(100, 100);
        WriteInput(40, 40, 24, kPicture, kPicture, {}, std::pair{20, 20});
        RunPreview(0);
        ASSERT_EQ(Drawn(), (std::array{40, 40, 20, 20}));

        UsePlugins(variant, "raw");
        WriteInput(50, 50, 24, kPicture, kPicture, {}, std::pair{infoWidth, infoHeight});
        RunPreview(1);
        EXPECT_EQ(recorder_.StatusLines(), lines);
        EXPECT_EQ(recorder_.RepaintCount(box_), 0);
        EXPECT_EQ(Drawn(), (std::array{40, 40, 20, 20}));
        EXPECT_EQ(recorder_.ControlChanges(), Controls({false, true}));
        // The bar stood at 0 already and stays there: nothing new reaches the front end.
        EXPECT_TRUE(recorder_.ProgressPositions().empty());
    }
}

TEST_F(JobTest, AnEmptyInputPathStartsNoPreviewAndAnUnterminatedOneIsCutAtItsEnd) {
    InputPath[0] = 0;
    EXPECT_FALSE(StartPreviewJob(box_, ThePreviewSurface.dc, controls_, 0));
    EXPECT_EQ(recorder_.StatusLines(), Lines{u"Illegal input file name."});
    EXPECT_TRUE(recorder_.ControlChanges().empty());
    EXPECT_FALSE(JobRunning());
    UsePlugins("raw", "raw");
    std::fill(std::begin(InputPath), std::end(InputPath), u'a');
    TheConversionRequest = ConversionRequest{controls_, 4, 3, 0};
    ConversionJob(nullptr);
    EXPECT_EQ(recorder_.StatusLines(), Join({{u"Illegal input file name."}, kNotSupported}));
}

}  // namespace
}  // namespace faltrix
