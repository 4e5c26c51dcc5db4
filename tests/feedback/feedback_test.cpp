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

TEST(ProgressPosition, ReachesTheFrontEnd) {
    // {done, total, position}: done * 100 may overflow 32 bits, shares outside 0 .. 2^32 - 1
    // saturate, a total of 0 gives 0.
    const int64_t cases[][3] = {{1, 3, 33},  {2, 3, 66}, {3, 3, 100}, {7, 0, 0}, {-7, 0, 0}, {2000000000, 2100000000, 95},
                                {3, 2, 150}, {-1, -3, 33}, {-1, 3, 0}, {INT32_MAX, 1, UINT32_MAX}, {INT32_MIN, 1, 0}};
    for (const auto &c : cases) {
        Recorder recorder;
        ScopedFrontEnd installed(&recorder);
        EXPECT_EQ(ProgressCallback(int32_t(c[0]), int32_t(c[1]), 12345), 1);
        EXPECT_EQ(recorder.ProgressPositions(), std::vector<uint32_t>{uint32_t(c[2])}) << c[0] << " of " << c[1];
    }
}

TEST_F(FeedbackTest, RepeatedPositionIsForwardedOnce) {
    for (int i = 0; i < 1000; ++i) ProgressCallback(1, 3, 0);
    for (int done = 0; done <= 3000; ++done) ProgressCallback(done, 3000, 0);
    ProgressCallback(0, 0, 0);
    std::vector<uint32_t> expected{33};
    for (uint32_t p = 0; p <= 100; ++p) expected.push_back(p);
    expected.push_back(0);
    EXPECT_EQ(recorder.ProgressPositions(), expected);
    // A newly installed front end gets the same position again.
    Recorder second;
    ScopedFrontEnd again(&second);
    ProgressCallback(0, 0, 0);
    EXPECT_EQ(second.ProgressPositions(), std::vector<uint32_t>{0});
}

TEST_F(FeedbackTest, RecordsCallsFromSeveralThreads) {
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

TEST_F(FeedbackTest, StatusLinePausesAfterEachLineAndMessagesKeepTheirCaption) {
    ShowStatus(u"Now Loading...");
    ShowStatus(u"Loading Done.");
    ShowMessage(u"Failed in loading library.", u"/p/a.so");
    std::vector<Recorder::Kind> kinds;
    for (const auto &e : recorder.Events()) kinds.push_back(e.kind);
    using K = Recorder::Kind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Status, K::Pause, K::Status, K::Pause, K::Message}));
    EXPECT_EQ(recorder.StatusLines(), (std::vector<std::u16string>{u"Now Loading...", u"Loading Done."}));
    EXPECT_EQ(recorder.Messages(), (std::vector<Recorder::Message>{{u"Failed in loading library.", u"/p/a.so"}}));
}

TEST_F(FeedbackTest, ControlSetIsFilledInRecordOrderAndSwitchedInTheFixedOrder) {
    ControlSet set;
    FillControlSet(nullptr, &set);
    const HWND got[] = {set.code,       set.exit,         set.preview,       set.inputList,    set.inputDetail,
                        set.outputList, set.outputDetail, set.inputChooser, set.outputChooser};
    const int ids[] = {1, 2, 3, 1006, 4, 1007, 5, 1003, 1004};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(Recorder::ControlId(got[i]), ids[i]) << "slot " << i;
    EnableControlSet(set, 0);
    EnableControlSet(set, 1);
    const int order[] = {1, 2, 3, 1003, 1004, 1006, 1007, 4, 5};
    const auto changes = recorder.ControlChanges();
    ASSERT_EQ(changes.size(), 18u);
    for (size_t i = 0; i < 18; ++i) EXPECT_EQ(changes[i], (Recorder::ControlChange{Recorder::ControlHandle(order[i % 9]), i >= 9})) << i;
}

TEST_F(FeedbackTest, MissingControlIsSkipped) {
    recorder.SetMissingControls({2});  // the small layout has no exit button
    ControlSet set;
    FillControlSet(nullptr, &set);
    EXPECT_EQ(set.exit, nullptr);
    EnableControlSet(set, 0);
    const auto changes = recorder.ControlChanges();
    ASSERT_EQ(changes.size(), 8u);
    for (const auto &c : changes) EXPECT_TRUE(c.control != nullptr && !c.enable);
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
