// The dialog's front end of the feedback functions: calls from a job thread reach the
// dialog's widgets on the dialog's thread before the call returns; positions are clamped;
// the control lock works in the layout without an exit button.
#include <gtest/gtest.h>

#include <QApplication>
#include <QProgressBar>

#include <atomic>
#include <thread>

#include "faltrix/conversion_job.h"
#include "faltrix/preview.h"
#include "test_support.h"

namespace faltrix {
namespace {

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        test::App();
        folders_.AddDialogPlugin(true, QStringLiteral("a.so"), QStringLiteral("in_one"));
        folders_.AddDialogPlugin(false, QStringLiteral("a.so"), QStringLiteral("out_one"));
        dialog_ = std::make_unique<MainDialog>(103);
        dialog_->FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
    }
    int Progress() { return qobject_cast<QProgressBar *>(dialog_->Control(kProgressBar))->value(); }

    test::PluginFolders folders_;
    test::ScriptedInteraction answers_;
    std::unique_ptr<MainDialog> dialog_;
};

TEST_F(FrontEnd, CallsFromAJobThreadAreCarriedOverAndWaitedFor) {
    ControlSet controls;
    FillControlSet(dialog_->Handle(), &controls);
    std::atomic<int> step{0};
    std::thread job([&] {
        ShowStatus(u"Now Decoding input data...\r\nsecond line");
        step = 1;
        ProgressCallback(1, 3, 0);
        EnableControlSet(controls, 0);
        step = 2;
    });
    // Each step is checked at once when the job says it is done: the widget change has
    // already happened on this thread, since the job waited for it.
    ASSERT_TRUE(test::WaitUntil([&] { return step >= 1; }));
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Now Decoding input data...\nsecond line"));
    ASSERT_TRUE(test::WaitUntil([&] { return step >= 2; }));
    EXPECT_EQ(Progress(), 33);
    EXPECT_FALSE(dialog_->Control(kCodeButton)->isEnabled());
    job.join();
    EnableControlSet(controls, 1);
}

TEST_F(FrontEnd, ProgressOutsideTheRangeIsClamped) {
    dialog_->FrontEnd().SetProgressPosition(250);
    EXPECT_EQ(Progress(), 100);
    dialog_->FrontEnd().SetProgressPosition(4294967295u);
    EXPECT_EQ(Progress(), 100);
    ProgressCallback(-5, 100, 0);
    EXPECT_EQ(Progress(), 0);
    ProgressCallback(2, 3, 0);
    EXPECT_EQ(Progress(), 66);
    ProgressCallback(7, 0, 0);
    EXPECT_EQ(Progress(), 0);
}

TEST_F(FrontEnd, ControlLockInTheWideLayoutSkipsTheMissingExitButton) {
    ControlSet controls;
    FillControlSet(dialog_->Handle(), &controls);
    EXPECT_EQ(controls.exit, nullptr);
    EnableControlSet(controls, 0);
    int disabled = 0;
    for (int id : {1, 3, 4, 5, 1003, 1004, 1006, 1007}) disabled += dialog_->Control(id)->isEnabled() ? 0 : 1;
    EXPECT_EQ(disabled, 8);
    EnableControlSet(controls, 1);
    EXPECT_TRUE(dialog_->Control(kOutputChooserButton)->isEnabled());
}

TEST_F(FrontEnd, HostMessagesGoThroughTheDialogsMessageBoxes) {
    ShowMessage(u"Failed in loading library.", u"/plugins/input/x.so");
    ASSERT_EQ(answers_.messages.size(), 1u);
    EXPECT_EQ(answers_.messages[0].caption, QStringLiteral("/plugins/input/x.so"));
    EXPECT_EQ(answers_.messages[0].style, kMbOk);
}

TEST_F(FrontEnd, PreviewBoxSizeIsItsWindowRectangle) {
    const RECT rect = dialog_->FrontEnd().WindowRect(reinterpret_cast<HWND>(dialog_->Control(kPreviewBox)));
    EXPECT_EQ(rect.right - rect.left, dialog_->Control(kPreviewBox)->width());
    EXPECT_EQ(rect.bottom - rect.top, dialog_->Control(kPreviewBox)->height());
    EXPECT_EQ(ThePreviewSurface.width, rect.right - rect.left);
}

TEST(FrontEndStatus, SecondLineReplacesTheFirst) {
    test::App();
    test::PluginFolders folders;
    folders.AddDialogPlugin(true, QStringLiteral("a.so"), QStringLiteral("in_one"));
    folders.AddDialogPlugin(false, QStringLiteral("a.so"), QStringLiteral("out_one"));
    test::ScriptedInteraction answers;
    MainDialog dialog(102);
    dialog.FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
    ShowStatus(u"first");
    ShowStatus(u"second");
    EXPECT_EQ(test::StatusText(dialog), QStringLiteral("second"));
}

}  // namespace
}  // namespace faltrix
