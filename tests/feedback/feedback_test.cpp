// Status line, progress position and control lock, through the recording front end.
#include <gtest/gtest.h>

#include <thread>

#include "faltrix/feedback.h"
#include "faltrix/recording_front_end.h"

namespace faltrix {
namespace {

using Recorder = RecordingFrontEnd;

// done * 100 may overflow 32 bits, shares outside 0 .. 2^32 - 1 saturate, a total of 0 gives 0;
// a position is passed on when it changes, and again to a front end installed anew.
TEST(Feedback, ProgressPositionsReachTheFrontEndOncePerChange) {
    const int64_t cases[][3] = {{1, 3, 33},       {2, 3, 66},
                                {3, 3, 100},      {7, 0, 0},
                                {-7, 0, 0},       {2000000000, 2100000000, 95},
                                {3, 2, 150},      {-1, -3, 33},
                                {-1, 3, 0},       {INT32_MAX, 1, UINT32_MAX},
                                {INT32_MIN, 1, 0}};
    Recorder recorder;
    ScopedFrontEnd installed(&recorder);
    std::vector<uint32_t> expected;
    for (const auto &c : cases) {
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(ProgressCallback(int32_t(c[0]), int32_t(c[1]), 12345), 1);
        if (expected.empty() || expected.back() != uint32_t(c[2]))
            expected.push_back(uint32_t(c[2]));
        EXPECT_EQ(recorder.ProgressPositions(), expected) << c[0] << " of " << c[1];
    }
    InstallFrontEnd(&recorder);
    ProgressCallback(0, 0, 0);
    EXPECT_EQ(recorder.ProgressPositions().size(), expected.size() + 1);
}

// Calls from two threads are all recorded; the controls are taken in the record's order and
// switched in their fixed order, a missing one skipped; a status line is followed by its
// pause; without a front end nothing happens.
TEST(Feedback, StatusLinesAndControls) {
    Recorder recorder;
    ScopedFrontEnd installed(&recorder);
    recorder.SetMissingControls({2});  // the small layout has no exit button
    ControlSet set;
    FillControlSet(nullptr, &set);
    const HWND got[] = {set.code,         set.exit,         set.preview,
                        set.inputList,    set.inputDetail,  set.outputList,
                        set.outputDetail, set.inputChooser, set.outputChooser};
    const int ids[] = {1, 0, 3, 1006, 4, 1007, 5, 1003, 1004};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(Recorder::ControlId(got[i]), ids[i]) << "slot " << i;
    std::thread other([&set] {
        for (int i = 0; i < 500; ++i) EnableControlSet(set, true);
    });
    for (int i = 0; i < 500; ++i) ShowStatus(u"x");
    other.join();
    EXPECT_EQ(recorder.Events().size(), 500u * 2 + 500u * 8);
    recorder.Clear();
    ShowStatus(u"Ready.");
    EnableControlSet(set, false);
    std::vector<Recorder::ControlChange> expected;
    for (int id : {1, 3, 1003, 1004, 1006, 1007, 4, 5})
        expected.push_back({Recorder::ControlHandle(id), false});
    EXPECT_EQ(recorder.ControlChanges(), expected);
    EXPECT_EQ(recorder.Events().at(1).kind, Recorder::Kind::Pause);
    ScopedFrontEnd none(nullptr);
    FillControlSet(nullptr, &set);
    EXPECT_EQ(set.code, nullptr);
    ShowStatus(u"x");
}

}  // namespace
}  // namespace faltrix
