// The preview surface and the preview job: the fitting arithmetic read back from the
// surface's pixels, the anti-alias path and its silent fallback, and each outcome's lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "faltrix/preview.h"
#include "job_fixture.h"

namespace faltrix {
namespace {

using testing_support::JobTest;
using Lines = std::vector<std::u16string>;

const Lines kDecodeLines = {u"Now Getting infomation...", u"Getting infomation Done.",
                            u"Now Decoding input data...", u"Decoding input data Done."};

// Channel values that are powers of two (or 0) stay exact through any area average, so the
// resampled picture has exactly the source's colour.
constexpr COLORREF kPictureColour = RGB(64, 128, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);
void FillPicture(int32_t, uint32_t, uint8_t *p) {
    p[0] = 0;    // blue
    p[1] = 128;  // green
    p[2] = 64;   // red
}

class PreviewTest : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        box_ = RecordingFrontEnd::ControlHandle(1020);
    }
    void TearDown() override {
        JobTest::TearDown();
        DestroyPreviewSurface();
    }
    void MakeSurface(int32_t width, int32_t height) {
        recorder_.SetWindowRect(box_, RECT{200, 300, 200 + width, 300 + height});
        ASSERT_TRUE(CreatePreviewSurface(box_));
        ASSERT_NE(ThePreviewSurface.dc, nullptr);
        ASSERT_EQ(ThePreviewSurface.width, width);
        ASSERT_EQ(ThePreviewSurface.height, height);
    }
    void RunPreview(int32_t antiAlias) {
        ThePreviewRequest = PreviewRequest{box_, controls_, ThePreviewSurface.dc, antiAlias};
        recorder_.Clear();
        EXPECT_EQ(PreviewJob(nullptr), 0);
    }
    COLORREF At(int x, int y) const { return GetPixel(ThePreviewSurface.dc, x, y); }
    // Counts the surface's pixels of the picture's colour; every other pixel must be white.
    int PictureArea() const {
        int count = 0;
        for (int y = 0; y < ThePreviewSurface.height; ++y) {
            for (int x = 0; x < ThePreviewSurface.width; ++x) {
                const COLORREF c = At(x, y);
                if (c == kPictureColour) {
                    ++count;
                } else {
                    EXPECT_EQ(c, kWhite) << "at " << x << ", " << y;
                    if (c != kWhite) return -1;
                }
            }
        }
        return count;
    }

    HWND box_ = nullptr;
};

struct FitCase {
    const char *name;
    int32_t boxWidth, boxHeight;
    int32_t width, height;      // the picture
    int32_t x, y, w, h;         // where it is drawn
    bool fitted;
};
void PrintTo(const FitCase &c, std::ostream *os) { *os << c.name; }

class PreviewFitTest : public PreviewTest, public ::testing::WithParamInterface<std::tuple<FitCase, bool>> {};

TEST_P(PreviewFitTest, DrawsThePictureAtItsPlace) {
    const auto &[c, antiAlias] = GetParam();
    UsePlugins("raw", "raw");
    MakeSurface(c.boxWidth, c.boxHeight);
    WriteInput(c.width, c.height, 24, FillPicture);
    RunPreview(antiAlias ? 1 : 0);

    Lines expected = kDecodeLines;
    if (c.fitted && antiAlias) {
        expected.push_back(u"Now anti-alias Resizing...");
        expected.push_back(u"anti-alias Resizing Done.");
    }
    expected.push_back(u"Ready.");
    EXPECT_EQ(recorder_.StatusLines(), expected);
    EXPECT_EQ(recorder_.RepaintCount(box_), 1);

    // The four corners of the drawn rectangle carry the picture; the pixels just outside it
    // are white. The resampler's own size may fall one pixel short of w or h (its size is a
    // truncated product), which leaves the last column or row white.
    const int slack = c.fitted && antiAlias ? 1 : 0;
    const int right = c.x + c.w - 1 - slack, bottom = c.y + c.h - 1 - slack;
    EXPECT_EQ(At(c.x, c.y), kPictureColour);
    EXPECT_EQ(At(right, c.y), kPictureColour);
    EXPECT_EQ(At(c.x, bottom), kPictureColour);
    EXPECT_EQ(At(right, bottom), kPictureColour);
    if (c.x > 0) { EXPECT_EQ(At(c.x - 1, c.y), kWhite); }
    if (c.y > 0) { EXPECT_EQ(At(c.x, c.y - 1), kWhite); }
    if (c.x + c.w < c.boxWidth) { EXPECT_EQ(At(c.x + c.w, c.y), kWhite); }
    if (c.y + c.h < c.boxHeight) { EXPECT_EQ(At(c.x, c.y + c.h), kWhite); }
    const int area = PictureArea();
    EXPECT_LE(area, c.w * c.h);
    EXPECT_GE(area, (c.w - slack) * (c.h - slack));
}

INSTANTIATE_TEST_SUITE_P(
    Fits, PreviewFitTest,
    ::testing::Combine(::testing::Values(FitCase{"SquareIntoWideBoxFitsTheHeight", 160, 120, 320, 320, 20, 0, 120, 120, true},
                                         FitCase{"WidePictureFitsTheWidth", 160, 120, 640, 240, 0, 30, 160, 60, true},
                                         FitCase{"OffsetTruncatedFrom25Point5", 100, 100, 200, 98, 0, 25, 100, 49, true},
                                         FitCase{"SmallOddPictureCentred", 100, 100, 51, 49, 25, 26, 51, 49, false},
                                         FitCase{"SmallPictureCentred", 160, 120, 100, 50, 30, 35, 100, 50, false},
                                         FitCase{"ExactlyTheBox", 160, 120, 160, 120, 0, 0, 160, 120, false},
                                         FitCase{"OnePixelTooWide", 160, 120, 161, 10, 0, 55, 160, 9, true}),
                       ::testing::Bool()),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "AntiAlias" : "Plain");
    });

TEST_F(PreviewTest, AntiAliasOnAnEightBitPictureFallsBackSilently) {
    UsePlugins("raw", "raw");
    MakeSurface(160, 120);
    std::vector<RGBQUAD> palette(2, RGBQUAD{0, 128, 64, 0});
    WriteInput(320, 320, 8, [](int32_t, uint32_t, uint8_t *p) { *p = 1; }, palette);
    RunPreview(1);
    Lines expected = kDecodeLines;
    expected.push_back(u"Now anti-alias Resizing...");
    expected.push_back(u"Ready.");
    EXPECT_EQ(recorder_.StatusLines(), expected);
    // Stretched by the graphics layer into the same place.
    EXPECT_EQ(At(20, 0), kPictureColour);
    EXPECT_EQ(At(139, 119), kPictureColour);
    EXPECT_EQ(At(19, 0), kWhite);
    EXPECT_EQ(At(140, 119), kWhite);
}

TEST_F(PreviewTest, ATopDownPictureIsShownUpright) {
    UsePlugins("raw", "raw");
    MakeSurface(100, 100);
    for (int32_t antiAlias : {0, 1}) {
        // 200 x 200, top-down: the top half carries the picture colour, the bottom half black.
        WriteInput(200, -200, 24, [](int32_t, uint32_t y, uint8_t *p) {
            if (y < 100) FillPicture(0, y, p);
        });
        RunPreview(antiAlias);
        EXPECT_EQ(At(50, 10), kPictureColour) << "anti-alias " << antiAlias;
        EXPECT_EQ(At(50, 90), RGB(0, 0, 0)) << "anti-alias " << antiAlias;
    }
}

struct FailureCase {
    const char *name;
    const char *input;
    int32_t infoWidth, infoHeight;
    Lines lines;
};
void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }
class PreviewFailureTest : public PreviewTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PreviewFailureTest, LeavesTheSurfaceAsItWas) {
    const FailureCase &c = GetParam();
    // A first, good preview of a small picture.
    UsePlugins("raw", "raw");
    MakeSurface(100, 100);
    WriteInput(10, 10, 24, FillPicture);
    RunPreview(0);
    ASSERT_EQ(PictureArea(), 100);

    UsePlugins(c.input, "raw");
    raw_test::RawPicture picture = WriteInput(50, 50, 24, FillPicture);
    picture.infoWidth = c.infoWidth;
    picture.infoHeight = c.infoHeight;
    ASSERT_TRUE(raw_test::WriteRaw(PathOf("in.raw"), picture));
    RunPreview(1);
    EXPECT_EQ(recorder_.StatusLines(), c.lines);
    EXPECT_EQ(recorder_.RepaintCount(box_), 0);
    EXPECT_EQ(PictureArea(), 100);
    // The end: line, controls enabled, progress reset.
    const auto changes = recorder_.ControlChanges();
    ASSERT_EQ(changes.size(), 18u);
    EXPECT_EQ(std::vector(changes.end() - 9, changes.end()), AllControls(true));
    // The bar stood at 0 already and stays there: nothing new reaches the front end.
    EXPECT_TRUE(recorder_.ProgressPositions().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PreviewFailureTest,
    ::testing::Values(
        FailureCase{"NotSupported", "no_support", 50, 50, {u"This input is NOT supported or illegal format."}},
        FailureCase{"InformationRefused", "no_info", 50, 50,
                    {u"Now Getting infomation...", u"Failed in Getting information."}},
        FailureCase{"ZeroWidthIsNoInformation", "raw", 0, 50,
                    {u"Now Getting infomation...", u"Failed in Getting information."}},
        FailureCase{"NegativeHeightIsNoInformation", "raw", 50, -50,
                    {u"Now Getting infomation...", u"Failed in Getting information."}},
        FailureCase{"DecodingFailed", "no_decode", 50, 50,
                    {u"Now Getting infomation...", u"Getting infomation Done.", u"Now Decoding input data...",
                     u"Failed in Decoding input data."}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PreviewTest, TheFitUsesPictureInfoNotTheDecodedSize) {
    UsePlugins("raw", "raw");
    MakeSurface(100, 100);
    // The plug-in says 20 x 20 but decodes 40 x 40: drawn as 20 x 20 at (40, 40), showing the
    // decoded picture's top-left 20 x 20.
    raw_test::RawPicture picture = WriteInput(40, 40, 24, FillPicture);
    picture.infoWidth = 20;
    picture.infoHeight = 20;
    ASSERT_TRUE(raw_test::WriteRaw(PathOf("in.raw"), picture));
    RunPreview(0);
    EXPECT_EQ(PictureArea(), 400);
    EXPECT_EQ(At(40, 40), kPictureColour);
    EXPECT_EQ(At(59, 59), kPictureColour);
}

TEST_F(PreviewTest, AnEmptyInputPathStartsNothing) {
    UsePlugins("raw", "raw");
    MakeSurface(100, 100);
    InputPath[0] = 0;
    recorder_.Clear();
    EXPECT_FALSE(StartPreviewJob(box_, ThePreviewSurface.dc, controls_, 0));
    EXPECT_EQ(recorder_.StatusLines(), Lines{u"Illegal input file name."});
    EXPECT_TRUE(recorder_.ControlChanges().empty());
    EXPECT_FALSE(JobRunning());
}

TEST_F(PreviewTest, StartedOnItsOwnThreadItDrawsAndEnds) {
    UsePlugins("raw", "raw");
    MakeSurface(100, 100);
    WriteInput(10, 10, 24, FillPicture);
    recorder_.Clear();
    ASSERT_TRUE(StartPreviewJob(box_, ThePreviewSurface.dc, controls_, 0));
    WaitForJobEnd();
    EXPECT_EQ(recorder_.StatusLines().back(), u"Ready.");
    EXPECT_EQ(PictureArea(), 100);
}

TEST_F(PreviewTest, ClearingAndRecreatingGiveAWhiteSurface) {
    UsePlugins("raw", "raw");
    MakeSurface(30, 20);
    WriteInput(10, 10, 24, FillPicture);
    RunPreview(0);
    ASSERT_EQ(PictureArea(), 100);
    ClearPreviewSurface();
    EXPECT_EQ(PictureArea(), 0);
    RunPreview(0);
    MakeSurface(40, 10);
    EXPECT_EQ(PictureArea(), 0);
    DestroyPreviewSurface();
    EXPECT_EQ(ThePreviewSurface.dc, nullptr);
    EXPECT_EQ(ThePreviewSurface.bitmap, nullptr);
    ClearPreviewSurface();  // nothing to clear: no harm
}

}  // namespace
}  // namespace faltrix
