// The conversion job through real test plug-ins: every row of its outcome table, the
// stored picture, the lock of the controls, and the exclusion of a second job.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "faltrix/conversion_job.h"
#include "faltrix/preview.h"
#include "job_fixture.h"

namespace faltrix {
namespace {

using testing_support::JobTest;
using testing_support::SetPath;
using Lines = std::vector<std::u16string>;

const Lines kDecodeLines = {u"Now Getting infomation...", u"Getting infomation Done.",
                            u"Now Decoding input data...", u"Decoding input data Done."};
const Lines kStoreLines = {u"Now Coding and Storing...", u"Coding and Storing Done.", u"Ready."};
const Lines kAntiAliasLines = {u"Now anti-alias Resizing...", u"anti-alias Resizing Done."};
const Lines kFallbackLines = {u"Now anti-alias Resizing...", u"anti-alias Resizing supportes 24bits only.",
                              u"Now Resizing by default CE function.", u"normal Resizing Done."};

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The test pictures are 6 rows high: the top half red and the bottom half blue (24 bits), or
// index 1 above and 2 below (8 bits), so that any shrink keeps red on top.
void Fill24(int32_t, uint32_t y, uint8_t *p) {
    p[0] = y < 3 ? 0 : 255;
    p[1] = 0;
    p[2] = y < 3 ? 255 : 0;
}
void Fill8(int32_t, uint32_t y, uint8_t *p) { *p = y < 3 ? 1 : 2; }

std::vector<RGBQUAD> SixteenColours() {
    std::vector<RGBQUAD> p(16);
    for (size_t i = 0; i < 16; ++i) p[i] = RGBQUAD{static_cast<BYTE>(16 * i), static_cast<BYTE>(i), 200, 0};
    return p;
}

// The pixel bytes of a stored picture's top and bottom rows, whatever its row order.
const uint8_t *TopRow(const raw_test::RawPicture &p) {
    const uint32_t rows = raw_test::Rows(p.dib);
    return p.pixels.data() + static_cast<size_t>(raw_test::Stride(p.dib)) * (p.dib.biHeight < 0 ? 0 : rows - 1);
}
const uint8_t *BottomRow(const raw_test::RawPicture &p) {
    const uint32_t rows = raw_test::Rows(p.dib);
    return p.pixels.data() + static_cast<size_t>(raw_test::Stride(p.dib)) * (p.dib.biHeight < 0 ? rows - 1 : 0);
}

struct OutcomeCase {
    const char *name;
    const char *input;   // raw input plug-in variant
    const char *output;  // raw output plug-in variant
    int bits;            // 24 or 8
    int32_t width, height;
    uint32_t outWidth, outHeight;
    int32_t antiAlias;
    Lines lines;
    ConversionOutcome outcome;
    int32_t storedWidth, storedHeight;  // when stored
};
void PrintTo(const OutcomeCase &c, std::ostream *os) { *os << c.name; }

class ConversionOutcomeTest : public JobTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ConversionOutcomeTest, StatusLinesControlsProgressAndStoredPicture) {
    const OutcomeCase &c = GetParam();
    UsePlugins(c.input, c.output);
    if (c.bits == 24) {
        WriteInput(c.width, c.height, 24, Fill24);
    } else {
        WriteInput(c.width, c.height, 8, Fill8, SixteenColours());
    }
    TheConversionRequest = ConversionRequest{controls_, c.outWidth, c.outHeight, c.antiAlias};

    EXPECT_EQ(ConversionJob(nullptr), 0);

    EXPECT_EQ(recorder_.StatusLines(), c.lines);
    EXPECT_EQ(recorder_.PauseCount(), static_cast<int>(c.lines.size()));
    EXPECT_EQ(LastConversionOutcome(), c.outcome);
    EXPECT_FALSE(JobRunning());
    // Disabled at the start, enabled at the end, nothing else.
    auto expected = AllControls(false);
    const auto enabled = AllControls(true);
    expected.insert(expected.end(), enabled.begin(), enabled.end());
    EXPECT_EQ(recorder_.ControlChanges(), expected);
    const std::vector<uint32_t> progress = recorder_.ProgressPositions();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0u);
    EXPECT_EQ(progress.back(), 0u);

    raw_test::RawPicture stored;
    const bool wasStored = ReadOutput(&stored);
    ASSERT_EQ(wasStored, c.outcome == ConversionOutcome::Stored);
    if (!wasStored) return;
    EXPECT_EQ(progress.size() >= 3 && progress[progress.size() - 2] == 100u, true) << "100 after storing";
    EXPECT_EQ(stored.dib.biWidth, c.storedWidth);
    EXPECT_EQ(static_cast<int32_t>(raw_test::Rows(stored.dib)), c.storedHeight);
    EXPECT_EQ(stored.dib.biBitCount, c.bits);
    if (c.bits == 8) {
        // The device path keeps the palette: the same 16 colours.
        EXPECT_EQ(stored.dib.biClrUsed, 16u);
        ASSERT_EQ(stored.colours.size(), 16u);
        const auto palette = SixteenColours();
        for (size_t i = 0; i < 16; ++i) {
            EXPECT_EQ(stored.colours[i].rgbBlue, palette[i].rgbBlue) << i;
            EXPECT_EQ(stored.colours[i].rgbGreen, palette[i].rgbGreen) << i;
            EXPECT_EQ(stored.colours[i].rgbRed, palette[i].rgbRed) << i;
        }
        EXPECT_EQ(TopRow(stored)[0], 1);
        EXPECT_EQ(BottomRow(stored)[0], 2);
    } else {
        // Upright whatever the source's row order: red on top, blue at the bottom.
        EXPECT_EQ(TopRow(stored)[2], 255);
        EXPECT_EQ(TopRow(stored)[0], 0);
        EXPECT_EQ(BottomRow(stored)[0], 255);
        EXPECT_EQ(BottomRow(stored)[2], 0);
    }
}

const OutcomeCase kOutcomeCases[] = {
    {"NotSupported", "no_support", "raw", 24, 8, 6, 4, 3, 1,
     {u"This input is not supported or illegal format."}, ConversionOutcome::NotSupported, 0, 0},
    {"InformationRefused", "no_info", "raw", 24, 8, 6, 4, 3, 1,
     {u"Now Getting infomation...", u"Failed in Getting information."}, ConversionOutcome::InfoFailed, 0, 0},
    {"DecodingFailed", "no_decode", "raw", 24, 8, 6, 4, 3, 1,
     {u"Now Getting infomation...", u"Getting infomation Done.", u"Now Decoding input data...",
      u"Failed in Decoding input data."},
     ConversionOutcome::DecodeFailed, 0, 0},
    {"DecodedHandleIsNoBitmap", "stale_bitmap", "raw", 24, 8, 6, 4, 3, 1,
     {u"Now Getting infomation...", u"Getting infomation Done.", u"Now Decoding input data...",
      u"Failed in Decoding input data."},
     ConversionOutcome::DecodeFailed, 0, 0},
    {"AntiAliasStored", "raw", "raw", 24, 8, 6, 4, 3, 1,
     Join({kDecodeLines, kAntiAliasLines, kStoreLines}), ConversionOutcome::Stored, 4, 3},
    {"AntiAliasRefusedStored", "raw", "raw", 8, 8, 6, 4, 3, 1,
     Join({kDecodeLines, kFallbackLines, kStoreLines}), ConversionOutcome::Stored, 4, 3},
    {"DevicePathStored", "raw", "raw", 24, 8, 6, 5, 9, 0,
     Join({kDecodeLines, {u"normal Resizing Done."}, kStoreLines}), ConversionOutcome::Stored, 5, 9},
    {"AntiAliasSameSizeTakesTheDevicePath", "raw", "raw", 24, 8, 6, 8, 6, 1,
     Join({kDecodeLines, {u"normal Resizing Done."}, kStoreLines}), ConversionOutcome::Stored, 8, 6},
    {"OnlyTheHeightDiffers", "raw", "raw", 24, 8, 6, 8, 3, 1,
     Join({kDecodeLines, kAntiAliasLines, kStoreLines}), ConversionOutcome::Stored, 8, 3},
    {"SevenToSixtyOneStoresSixty", "raw", "raw", 24, 7, 6, 61, 6, 1,
     Join({kDecodeLines, kAntiAliasLines, kStoreLines}), ConversionOutcome::Stored, 60, 6},
    {"TopDownAntiAlias", "raw", "raw", 24, 8, -6, 4, 3, 1,
     Join({kDecodeLines, kAntiAliasLines, kStoreLines}), ConversionOutcome::Stored, 4, 3},
    {"TopDownDevicePath", "raw", "raw", 24, 8, -6, 4, 3, 0,
     Join({kDecodeLines, {u"normal Resizing Done."}, kStoreLines}), ConversionOutcome::Stored, 4, 3},
    {"TopDownPalettised", "raw", "raw", 8, 8, -6, 4, 3, 1,
     Join({kDecodeLines, kFallbackLines, kStoreLines}), ConversionOutcome::Stored, 4, 3},
    {"StoreRefused", "raw", "no_store", 24, 8, 6, 4, 3, 1,
     Join({kDecodeLines, kAntiAliasLines, {u"Now Coding and Storing...", u"Failed in Coding or Storing data."}}),
     ConversionOutcome::StoreFailed, 0, 0},
    {"NoSaveEntryPoint", "raw", "no_save", 24, 8, 6, 4, 3, 0,
     Join({kDecodeLines, {u"normal Resizing Done.", u"Now Coding and Storing...",
                          u"Failed in Coding or Storing data."}}),
     ConversionOutcome::StoreFailed, 0, 0},
    {"NoIsSupportedEntryPointGoesOn", "no_issupported", "raw", 24, 8, 6, 4, 3, 0,
     Join({kDecodeLines, {u"normal Resizing Done."}, kStoreLines}), ConversionOutcome::Stored, 4, 3},
    // A width no header can hold: the resampler refuses it, the device resize makes no section.
    {"NoResizedBitmapStoresNothing", "raw", "raw", 24, 8, 6, 0x80000000u, 3, 1,
     Join({kDecodeLines, {u"Now anti-alias Resizing...", u"anti-alias Resizing supportes 24bits only.",
                          u"Now Resizing by default CE function.", u"Failed in Resizing."}}),
     ConversionOutcome::ResizeFailed, 0, 0},
    {"NoDeviceBitmapStoresNothing", "raw", "raw", 24, 8, 6, 0, 3, 0,
     Join({kDecodeLines, {u"Failed in Resizing."}}), ConversionOutcome::ResizeFailed, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, ConversionOutcomeTest, ::testing::ValuesIn(kOutcomeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(JobTest, AFailedResizeLeavesAnExistingOutputAsItWas) {
    UsePlugins("raw", "raw");
    WriteInput(8, 6, 24, Fill24);
    { std::ofstream(PathOf("out.raw")) << "keep"; }
    TheConversionRequest = ConversionRequest{controls_, 0, 3, 0};
    ConversionJob(nullptr);
    std::ifstream kept(PathOf("out.raw"));
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "keep");
}

TEST_F(JobTest, AnUnterminatedPathBufferIsCutAtItsEnd) {
    UsePlugins("raw", "raw");
    std::fill(std::begin(InputPath), std::end(InputPath), u'a');
    SetPath(OutputPath, PathOf("out.raw"));
    TheConversionRequest = ConversionRequest{controls_, 4, 3, 0};
    ConversionJob(nullptr);
    EXPECT_EQ(recorder_.StatusLines(), Lines{u"This input is not supported or illegal format."});
}

TEST_F(JobTest, ASecondRunUsesTheNewRequest) {
    UsePlugins("raw", "raw");
    WriteInput(8, 6, 24, Fill24);
    TheConversionRequest = ConversionRequest{controls_, 4, 3, 1};
    ConversionJob(nullptr);
    TheConversionRequest = ConversionRequest{controls_, 16, 2, 0};
    ConversionJob(nullptr);
    raw_test::RawPicture stored;
    ASSERT_TRUE(ReadOutput(&stored));
    EXPECT_EQ(stored.dib.biWidth, 16);
    EXPECT_EQ(stored.dib.biHeight, 2);
}

TEST_F(JobTest, StartDisablesTheControlsBeforeTheThreadAndRefusesASecondJob) {
    UsePlugins("raw", "raw");
    WriteInput(8, 6, 24, Fill24);
    std::atomic<int> ended{0};
    SetJobEndedHandler([&ended] { ++ended; });

    recorder_.Hold();
    ASSERT_TRUE(StartConversionJob(controls_, 4, 3, 1));
    const auto changes = recorder_.ControlChanges();
    const auto threads = recorder_.ControlThreads();
    ASSERT_GE(changes.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(changes[i], AllControls(false)[i]);
        EXPECT_EQ(threads[i], std::this_thread::get_id()) << "control " << i << " changed on another thread";
    }

    recorder_.WaitUntilStopped();
    EXPECT_TRUE(JobRunning());
    EXPECT_FALSE(StartConversionJob(controls_, 4, 3, 1));
    EXPECT_FALSE(StartPreviewJob(nullptr, nullptr, controls_, 0));
    recorder_.Let();
    WaitForJobEnd();

    EXPECT_FALSE(JobRunning());
    EXPECT_EQ(LastConversionOutcome(), ConversionOutcome::Stored);
    EXPECT_EQ(recorder_.StatusLines().back(), u"Ready.");
    // Only the one job ran: its lines appear once, the refused starts left none.
    EXPECT_EQ(recorder_.StatusLines().size(), 9u);
    // The job's own disable is harmless; the last nine changes enable.
    const auto all = recorder_.ControlChanges();
    ASSERT_EQ(all.size(), 27u);
    EXPECT_EQ(std::vector(all.end() - 9, all.end()), AllControls(true));
    // The handler runs on the job's thread after the slot is free; give it the moment.
    for (int i = 0; i < 200 && ended.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ended.load(), 1);
}

TEST_F(JobTest, ADirectCallWaitsForTheRunningJob) {
    UsePlugins("raw", "raw");
    WriteInput(8, 6, 24, Fill24);
    recorder_.Hold();
    ASSERT_TRUE(StartConversionJob(controls_, 4, 3, 1));
    recorder_.WaitUntilStopped();
    std::thread direct([] { ConversionJob(nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(recorder_.StatusLines().size(), 1u) << "the direct call started while a job ran";
    recorder_.Let();
    direct.join();
    EXPECT_FALSE(JobRunning());
    // Two whole jobs, one after the other.
    const Lines one = Join({kDecodeLines, kAntiAliasLines, kStoreLines});
    EXPECT_EQ(recorder_.StatusLines(), Join({one, one}));
}

}  // namespace
}  // namespace faltrix
