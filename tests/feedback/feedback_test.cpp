// Status line, progress position and control lock, through the recording front end.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "faltrix/feedback.h"
#include "faltrix/recording_front_end.h"

namespace faltrix {
namespace {

using Recorder = RecordingFrontEnd;

class FeedbackTest : public ::testing::Test {
protected:
    Recorder recorder;
    ScopedFrontEnd installed{&recorder};
};

struct PositionCase {
    const char *name;
    int32_t done;
    int32_t total;
    uint32_t position;
};

void PrintTo(const PositionCase &c, std::ostream *os) { *os << c.done << " of " << c.total; }

class ProgressPositionTest : public ::testing::TestWithParam<PositionCase> {};

TEST_P(ProgressPositionTest, ReachesTheFrontEnd) {
    const PositionCase &c = GetParam();
    Recorder recorder;
    ScopedFrontEnd installed(&recorder);
    EXPECT_EQ(ProgressCallback(c.done, c.total, 12345), 1);
    EXPECT_EQ(recorder.ProgressPositions(), std::vector<uint32_t>{c.position});
}

INSTANTIATE_TEST_SUITE_P(
    Positions, ProgressPositionTest,
    ::testing::Values(PositionCase{"OneThird", 1, 3, 33}, PositionCase{"TwoThirds", 2, 3, 66},
                      PositionCase{"Whole", 3, 3, 100}, PositionCase{"TotalZero", 7, 0, 0},
                      PositionCase{"TotalZeroNegativeDone", -7, 0, 0},
                      // done * 100 overflows 32 bits; the double arithmetic does not.
                      PositionCase{"LargeDone", 2000000000, 2100000000, 95},
                      PositionCase{"BeyondWhole", 3, 2, 150},
                      PositionCase{"BothNegative", -1, -3, 33},
                      // Shares below zero or beyond 2^32 - 1 saturate.
                      PositionCase{"Negative", -1, 3, 0},
                      PositionCase{"Huge", INT32_MAX, 1, UINT32_MAX},
                      PositionCase{"HugeNegative", INT32_MIN, 1, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(FeedbackTest, RepeatedPositionIsForwardedOnce) {
    for (int i = 0; i < 1000; ++i) ProgressCallback(1, 3, 0);
    for (int done = 0; done < 3000; ++done) ProgressCallback(done, 3000, 0);
    ProgressCallback(3000, 3000, 0);
    ProgressCallback(0, 0, 0);
    std::vector<uint32_t> expected{33};
    for (uint32_t p = 0; p <= 100; ++p) expected.push_back(p);
    expected.push_back(0);
    EXPECT_EQ(recorder.ProgressPositions(), expected);
}

TEST_F(FeedbackTest, InstallingForgetsTheLastPosition) {
    ProgressCallback(1, 2, 0);
    Recorder second;
    {
        ScopedFrontEnd again(&second);
        ProgressCallback(1, 2, 0);  // same position, but new front end: passed on
    }
    EXPECT_EQ(second.ProgressPositions(), std::vector<uint32_t>{50});
    EXPECT_EQ(recorder.ProgressPositions(), std::vector<uint32_t>{50});
}

TEST_F(FeedbackTest, RecordsCallsFromSeveralThreads) {
    // Jobs report from their own threads: nothing is lost and the last position seen by the
    // front end is one that was reported.
    auto run = [](char16_t tag) {
        for (int i = 0; i < 2000; ++i) {
            ShowStatus(std::u16string(1, tag));
            ProgressCallback(i, 2000, 0);
        }
    };
    std::thread a(run, u'a'), b(run, u'b');
    a.join();
    b.join();
    EXPECT_EQ(recorder.StatusLines().size(), 4000u);
    EXPECT_EQ(recorder.PauseCount(), 4000);
    for (uint32_t p : recorder.ProgressPositions()) EXPECT_LT(p, 100u);
}

TEST_F(FeedbackTest, StatusLinePausesAfterEachLine) {
    ShowStatus(u"Now Loading...");
    ShowStatus(u"Loading Done.");
    EXPECT_EQ(recorder.StatusLines(), (std::vector<std::u16string>{u"Now Loading...", u"Loading Done."}));
    const auto events = recorder.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, Recorder::Kind::Status);
    EXPECT_EQ(events[1].kind, Recorder::Kind::Pause);
    EXPECT_EQ(events[3].kind, Recorder::Kind::Pause);
}

TEST_F(FeedbackTest, ControlSetTakesControlsInRecordOrder) {
    ControlSet set;
    FillControlSet(nullptr, &set);
    const HWND got[] = {set.code,      set.exit,         set.preview,       set.inputList,    set.inputDetail,
                        set.outputList, set.outputDetail, set.inputChooser, set.outputChooser};
    const int ids[] = {1, 2, 3, 1006, 4, 1007, 5, 1003, 1004};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(Recorder::ControlId(got[i]), ids[i]) << "slot " << i;
}

TEST_F(FeedbackTest, EnableControlSetFollowsTheFixedOrder) {
    ControlSet set;
    FillControlSet(nullptr, &set);
    EnableControlSet(set, 0);
    EnableControlSet(set, 1);
    const int order[] = {1, 2, 3, 1003, 1004, 1006, 1007, 4, 5};
    const auto changes = recorder.ControlChanges();
    ASSERT_EQ(changes.size(), 18u);
    for (size_t i = 0; i < 18; ++i) {
        EXPECT_EQ(Recorder::ControlId(changes[i].control), order[i % 9]) << i;
        EXPECT_EQ(changes[i].enable, i >= 9) << i;
    }
}

TEST_F(FeedbackTest, MissingControlIsSkipped) {
    // The small layout has no exit button.
    recorder.SetMissingControls({2});
    ControlSet set;
    FillControlSet(nullptr, &set);
    EXPECT_EQ(set.exit, nullptr);
    EnableControlSet(set, 0);
    const auto changes = recorder.ControlChanges();
    ASSERT_EQ(changes.size(), 8u);
    for (const auto &c : changes) {
        EXPECT_NE(c.control, nullptr);
        EXPECT_FALSE(c.enable);
    }
}

TEST_F(FeedbackTest, MessageCarriesTextAndCaption) {
    ShowMessage(u"Failed in loading library.", u"/p/a.so");
    EXPECT_EQ(recorder.Messages(), (std::vector<Recorder::Message>{{u"Failed in loading library.", u"/p/a.so"}}));
}

TEST(FeedbackWithoutFrontEnd, CallsDoNothing) {
    ScopedFrontEnd none(nullptr);
    ShowStatus(u"x");
    EXPECT_EQ(ProgressCallback(1, 2, 0), 1);
    ControlSet set;
    set.code = Recorder::ControlHandle(1);
    FillControlSet(nullptr, &set);
    EXPECT_EQ(set.code, nullptr);
    EnableControlSet(set, 1);
    ShowMessage(u"a", u"b");
    EXPECT_EQ(InstalledFrontEnd(), nullptr);
}

}  // namespace
}  // namespace faltrix
