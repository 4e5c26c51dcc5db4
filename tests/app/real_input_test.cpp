// The dialog on Qt's xcb platform under Xvfb, driven by real input events where the offscreen
// tests' events sent straight to a widget could hide a fault: xdotool moves the
// pointer, presses its buttons and types through the X server's XTest extension, so each event
// reaches the dialog as a user's does, through the server, the window under the pointer and
// the keyboard focus. A file is dragged onto the input field from a second program
// (app_drag_source) over the X drag-and-drop protocol. There is no window manager; the window
// that is to take the keys is given the focus as one would give it. Every wait polls for what
// it waits for, with a generous limit.
//
// Run by ctest as app_test_real_input_on_xcb; skipped, saying why, elsewhere.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>
#include <QtWidgets>

#include "faltrix/app/main_dialog.h"
#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"

namespace faltrix {
namespace {

using namespace Qt::StringLiterals;

constexpr int kPatience = 20000;  // ms: the limit of every wait

void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

// Runs xdotool to its end, serving the dialog's events meanwhile; its output.
QString Xdotool(const QStringList &arguments) {
    QProcess xdotool;
    xdotool.start(u"xdotool"_s, arguments);
    const bool ended =
        QTest::qWaitFor([&] { return xdotool.state() == QProcess::NotRunning; }, kPatience);
    EXPECT_TRUE(ended && xdotool.exitCode() == 0)
        << arguments.join(u' ').toStdString() << ": " << xdotool.readAllStandardError().data();
    return QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
}

// Moves the pointer to `at` on the screen and waits until the server has it there.
void MoveTo(QPoint at) {
    Xdotool({u"mousemove"_s, QString::number(at.x()), QString::number(at.y())});
    EXPECT_TRUE(QTest::qWaitFor([&] { return QCursor::pos() == at; }, kPatience));
}
QPoint Centre(const QWidget *widget) { return widget->mapToGlobal(widget->rect().center()); }

// Over plug-in folders of its own: input "Input dq" (reads *.dq), "Input one"; output
// "Output two" (writes *.two), "Output one". The shown dialog (layout 103) has the focus; the
// current folder is the work folder.
class RealInput : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariable("QT_QPA_PLATFORM") != u"xcb"_s ||
            qEnvironmentVariable("DISPLAY").isEmpty())
            GTEST_SKIP() << "needs an X display and QT_QPA_PLATFORM=xcb (ctest runs it under "
                            "Xvfb as app_test_real_input_on_xcb)";
        if (QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            GTEST_SKIP() << "xdotool is not installed";
        static int argc = 1;
        static char *argv[] = {const_cast<char *>("app_real_input_test"), nullptr};
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir_.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.path()));
        [[maybe_unused]] static QApplication *app = new QApplication(argc, argv);
        for (const auto &[list, kind, first, second] :
             {std::tuple<PluginList *, const char *, const char *, const char *>{
                  &InputPlugins(), "input", "in_dq", "in_one"},
              {&OutputPlugins(), "output", "out_two", "out_one"}}) {
            const QString folder = dir_.filePath(QLatin1String(kind));
            QDir().mkpath(folder);
            QFile::link(QStringLiteral(DIALOG_PLUGIN_DIR "/%1.so").arg(QLatin1String(first)),
                        folder + u"/a.so"_s);
            QFile::link(QStringLiteral(DIALOG_PLUGIN_DIR "/%1.so").arg(QLatin1String(second)),
                        folder + u"/b.so"_s);
            list->Teardown();
            list->SetFolderOverride(QFile::encodeName(folder).toStdString());
        }
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
        WriteFile(dir_.filePath(u"x.dq"_s), "64 32");
        dialog_ = std::make_unique<MainDialog>(103);
        dialog_->FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
        dialog_->move(0, 0);
        dialog_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
        GiveFocus(dialog_.get());
    }
    void TearDown() override {
        if (dialog_ == nullptr) return;
        QFile::remove(dir_.filePath(u"x.dq.hold"_s));
        EXPECT_TRUE(QTest::qWaitFor([] { return !JobRunning(); }, kPatience));
        dialog_.reset();
        QDir::setCurrent(QDir::rootPath());
    }

    // Gives a window the keyboard focus through the server and waits until Qt has it active.
    static void GiveFocus(QWidget *window) {
        Xdotool({u"windowfocus"_s, QString::number(window->winId())});
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return QApplication::activeWindow() == window; }, kPatience));
    }
    template <class Widget = QWidget>
    Widget *Get(int id) const {
        return qobject_cast<Widget *>(dialog_->Control(id));
    }
    QString Field(int id) const { return Get<QLineEdit>(id)->text(); }
    void Click(int id) {
        MoveTo(Centre(Get(id)));
        Xdotool({u"click"_s, u"1"_s});
    }
    // Clicks into a field, selects its text and types `text` over it, then `keys`.
    void TypeOver(int id, const QString &text, const QString &keys = {}) {
        Click(id);
        EXPECT_TRUE(QTest::qWaitFor([&] { return Get(id)->hasFocus(); }, kPatience));
        Xdotool({u"key"_s, u"ctrl+a"_s});
        Xdotool({u"type"_s, text});
        if (!keys.isEmpty()) Xdotool({u"key"_s, keys});
        EXPECT_TRUE(QTest::qWaitFor([&] { return Field(id) == text; }, kPatience));
    }
    // The user's choice of an output plug-in.
    void PickOutput(int entry) {
        auto *list = Get<QComboBox>(kOutputPluginList);
        list->setCurrentIndex(entry);
        emit list->activated(entry);
    }

    QTemporaryDir dir_;
    std::unique_ptr<MainDialog> dialog_;
};

// A file dragged from another program onto the input field replaces the field's text (not
// pasted into it) and is taken as a chosen file: its plug-in, its sizes.
TEST_F(RealInput, AFileDraggedOntoTheInputFieldReplacesItsTextAndIsOpened) {
    Get<QLineEdit>(kInputPathField)->setText(u"typed before"_s);
    QProcess source;
    QByteArray said;
    const auto saying = [&](const char *line, int patience = kPatience) {
        return QTest::qWaitFor(
            [&] {
                said += source.readAllStandardOutput();
                return said.contains(QByteArray(line) + '\n');
            },
            patience);
    };
    const QPoint from(700, 500);
    source.start(
        QStringLiteral(DRAG_SOURCE),
        {dir_.filePath(u"x.dq"_s), QString::number(from.x() - 50), QString::number(from.y() - 50)});
    ASSERT_TRUE(saying("shown")) << said.data();
    // Pressed, then moved past the drag distance within the source's window.
    MoveTo(from);
    Xdotool({u"mousedown"_s, u"1"_s});
    MoveTo(from + QPoint(30, 0));
    ASSERT_TRUE(saying("dragging")) << said.data();
    // Over the field in a few steps; once the field has accepted the file, released.
    const QPoint target = Centre(Get(kInputPathField));
    for (int step = 1; step <= 4; ++step) MoveTo(from + (target - from) * step / 4);
    // The source learns of the acceptance from the field's answer to a move over it.
    for (int nudge = 1; nudge <= 40 && !saying("accepted", kPatience / 40); ++nudge)
        MoveTo(target + QPoint(nudge % 2, 0));
    ASSERT_TRUE(saying("accepted")) << said.data();
    Xdotool({u"mouseup"_s, u"1"_s});
    ASSERT_TRUE(saying("dropped")) << said.data();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Field(kInputPathField) == dir_.filePath(u"x.dq"_s); },
                                kPatience))
        << Field(kInputPathField).toStdString();
    source.terminate();
    EXPECT_TRUE(QTest::qWaitFor([&] { return source.state() == QProcess::NotRunning; }, kPatience));
    EXPECT_EQ(Field(kInputWidthField) + u' ' + Field(kInputHeightField), u"64 32"_s);
    EXPECT_EQ(dialog_->CurrentInputIndex(), 0);
}

// An output name typed and left while a preview runs is matched to its plug-in once the
// preview has ended, not before.
TEST_F(RealInput, AnOutputNameTypedDuringAPreviewIsMatchedWhenItEnds) {
    Get<QLineEdit>(kInputPathField)->setText(dir_.filePath(u"x.dq"_s));
    PickOutput(1);
    WriteFile(dir_.filePath(u"x.dq.hold"_s), {});
    Click(kShowPreviewButton);
    ASSERT_TRUE(QTest::qWaitFor([] { return JobRunning(); }, kPatience));
    TypeOver(kOutputPathField, u"q.two"_s, u"Tab"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Get(kOutputPathField)->hasFocus(); }, kPatience));
    EXPECT_TRUE(JobRunning());
    EXPECT_EQ(dialog_->CurrentOutputIndex(), 1);
    QFile::remove(dir_.filePath(u"x.dq.hold"_s));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !JobRunning() && dialog_->CurrentOutputIndex() == 0; },
                                kPatience));
    EXPECT_EQ(Field(kOutputPathField), u"q.two"_s);
}

}  // namespace
}  // namespace faltrix
