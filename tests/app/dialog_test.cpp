// The dialog without its commands: both layouts control by control, the plug-in lists and
// empty plug-in folders, the dialog's end, the front end of the feedback functions, the
// layout by screen width and the single running instance.
#include <QComboBox>
#include <QProcess>
#include <QProgressBar>
#include <QUuid>

#include <signal.h>

#include <array>
#include <atomic>
#include <thread>

#include "faltrix/app/application.h"
#include "faltrix/app/single_instance.h"
#include "faltrix/preview.h"
#include "test_support.h"

namespace faltrix {
namespace {

using namespace Qt::StringLiterals;
using test::DialogTest;

// ---- Layouts ------------------------------------------------------------------------------

struct Expected {
    int id;
    const char *className;  // the Qt class the control is made as
    const char *text102;    // null: not in layout 102
    const char *text103;    // null: not in layout 103
    bool enabled;
};

// In the order of creation; a layout creates the rows it has.
const Expected kControls[] = {
    {1, "QPushButton", "Code", "Code Now!", true},
    {2, "QPushButton", "Exit", nullptr, true},
    {1000, "QLineEdit", "", "", true},
    {1001, "QLineEdit", "", "", true},
    {1002, "QTextEdit", "Faltrix v1.01\nPicture converter by the Faltrix authors",
     "Faltrix v1.01\nPicture converter by the Faltrix authors", true},
    {1003, "QPushButton", "IN", "IN", true},
    {1004, "QPushButton", "OUT", "OUT", true},
    {1005, "QProgressBar", "Progress1", "Progress1", true},
    {4, "QPushButton", "Detail", "Detail", true},
    {1006, "QComboBox", "Input one", "Input one", true},
    {1007, "QComboBox", "Output two", "Output two", true},
    {5, "QPushButton", "Detail", "Detail", true},
    {1020, "QFrame", "", "", true},
    {1008, "QGroupBox", "Coding options", "Coding options", true},
    {1017, "QCheckBox", "Enable anti-alias(24bits only)", "Enable Anti-alias(24bits only)", true},
    {1014, "QLineEdit", "", "", true},
    {1010, "QLabel", "Width", "Width", true},
    {1011, "QLabel", "Height", "Height", true},
    {1009, "QLabel", ">", ">", true},
    {1012, "QCheckBox", "Keep aspect-ratio", "Keep aspect-ratio", true},
    {1013, "QLineEdit", "", "", true},
    {1016, "QLineEdit", "", "", true},
    {1015, "QLineEdit", "", "", true},
    {1021, "QCheckBox", "", "", true},
    {1018, "QComboBox", "Pixel", "Pixel", false},
    {1019, "QComboBox", "Pixel", "Pixel", false},
    {6, "QPushButton", nullptr, "Display", false},
    {7, "QPushButton", nullptr, "Display", false},
    {3, "QPushButton", "Show Preview", "Show Preview", true},
};

class LayoutTest : public DialogTest, public ::testing::WithParamInterface<int> {
protected:
    int Layout() const override { return GetParam(); }
};

TEST_P(LayoutTest, EveryControlHasItsKindTextStateStyleAndPlaceInTheCreationOrder) {
    std::vector<int> order, created;
    for (const auto &[id, widget] : dialog_->Controls().InOrder()) created.push_back(id);
    for (const Expected &expected : kControls) {
        SCOPED_TRACE(expected.id);
        const char *text = GetParam() == 102 ? expected.text102 : expected.text103;
        QWidget *control = Get(expected.id);
        if (text == nullptr) {
            EXPECT_EQ(control, nullptr);
            continue;
        }
        ASSERT_NE(control, nullptr);
        order.push_back(expected.id);
        EXPECT_STREQ(control->metaObject()->className(), expected.className);
        EXPECT_EQ(ControlText(control), QString::fromUtf8(text));
        EXPECT_EQ(control->isEnabled(), expected.enabled);
        // Read-only: the status box and the input size fields; lists never take typing.
        const bool readOnly = expected.id == kStatusBox || expected.id == kInputWidthField ||
                              expected.id == kInputHeightField;
        EXPECT_EQ(control->property("readOnly").toBool(), readOnly);
        EXPECT_FALSE(control->property("editable").toBool());
    }
    EXPECT_EQ(created, order);
    // The output size fields take digits only; the unit lists offer "%" too.
    QString typed = u"12a"_s;
    int position = 0;
    EXPECT_EQ(Get<QLineEdit>(kOutputWidthField)->validator()->validate(typed, position), QValidator::Invalid);
    EXPECT_EQ(Get<QComboBox>(kWidthUnitList)->itemText(1), u"%"_s);
}

TEST_P(LayoutTest, WindowSizeCaptionAndTheOrdersOfTabAndStacking) {
    EXPECT_EQ(dialog_->windowTitle(), u"Faltrix v1.01"_s);
    EXPECT_FALSE(dialog_->windowIcon().isNull());
    // The narrow layout has no caption bar; the wide one has one with a close box.
    EXPECT_EQ((dialog_->windowFlags() & Qt::WindowTitleHint) != 0, GetParam() == 103);
    EXPECT_EQ((dialog_->windowFlags() & Qt::WindowCloseButtonHint) != 0, GetParam() == 103);
    const DialogUnits units(DialogFont());
    const QSize size = GetParam() == 102 ? QSize(units.X(135), units.Y(193)) : QSize(units.X(227), units.Y(125));
    EXPECT_EQ(dialog_->size(), size);
    // Neighbouring rectangles meet exactly: 1003 (y 2, h 14) and 1004 (y 16).
    EXPECT_EQ(units.Rect(1, 2, 19, 14).bottom() + 1, units.Rect(1, 16, 19, 14).top());

    std::vector<QWidget *> focusable;
    for (const auto &[id, widget] : dialog_->Controls().InOrder()) {
        EXPECT_TRUE(dialog_->rect().contains(widget->geometry())) << id;
        if ((widget->focusPolicy() & Qt::TabFocus) != 0) focusable.push_back(widget);
    }
    // Tab follows the creation order.
    ASSERT_FALSE(focusable.empty());
    for (size_t i = 1; i < focusable.size(); ++i) {
        QWidget *next = focusable[i - 1]->nextInFocusChain();
        while (next != nullptr && (next->focusPolicy() & Qt::TabFocus) == 0) next = next->nextInFocusChain();
        EXPECT_EQ(next, focusable[i]) << "after control " << focusable[i - 1]->property("controlId").toInt();
    }
    // The children stack from bottom to top: the coding options group and its controls,
    // created in another order, are raised in ID order.
    const QObjectList children = dialog_->children();
    auto level = [&](int id) { return children.indexOf(Get(id)); };
    for (int id = kCodingOptionsGroup; id < kHeightUnitList; ++id) EXPECT_LT(level(id), level(id + 1)) << id;
}

// The Exit button (only in layout 102) and Escape end the modal run with 0; the close box
// and a close request during a job are the commands tests' concern.
TEST_P(LayoutTest, ExitButtonOrEscapeEndsTheDialogWithZero) {
    QMetaObject::invokeMethod(dialog_.get(), [this] { GetParam() == 102 ? Press(kExitButton) : dialog_->reject(); },
                              Qt::QueuedConnection);
    EXPECT_EQ(dialog_->exec(), 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutTest, ::testing::Values(102, 103),
                         [](const auto &info) { return "Layout" + std::to_string(info.param); });

TEST(LayoutChoice, ScreensUpTo240PixelsGetTheNarrowLayout) {
    EXPECT_EQ(LayoutForScreenWidth(240), 102);
    EXPECT_EQ(LayoutForScreenWidth(241), 103);
}

// ---- Plug-in lists and the dialog's end -------------------------------------------------

QStringList Entries(const MainDialog &dialog, int id) {
    auto *list = qobject_cast<QComboBox *>(dialog.Control(id));
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
    return entries;
}

QString LoadedDescription(PluginList &plugins) {
    std::array<WCHAR, 256> text{};
    plugins.GetPluginInfo(1, text.data(), 256);
    return QString::fromUtf16(text.data());
}

TEST_F(DialogTest, ListsShowDescriptionsInFolderOrderWithEntryZeroLoaded) {
    // A plug-in without a description still has its entry: its file name.
    EXPECT_EQ(Entries(*dialog_, kInputPluginList),
              (QStringList{u"Input one"_s, u"Input two"_s, u"Input none"_s, u"d.so"_s}));
    EXPECT_EQ(Entries(*dialog_, kOutputPluginList), (QStringList{u"Output two"_s, u"Output one"_s}));
    for (int id : {kInputPluginList, kOutputPluginList}) EXPECT_EQ(Get<QComboBox>(id)->currentIndex(), 0);
    EXPECT_EQ(dialog_->CurrentInputIndex(), 0);
    EXPECT_EQ(dialog_->CurrentOutputIndex(), 0);
    EXPECT_EQ(LoadedDescription(InputPlugins()), u"Input one"_s);
    EXPECT_EQ(LoadedDescription(OutputPlugins()), u"Output two"_s);
    EXPECT_EQ(answers_.messages, QStringList());
    EXPECT_EQ(Get<QProgressBar>(kProgressBar)->maximum(), 100);
}

TEST(DialogStart, EmptyPluginFoldersAreReportedAndEndTheDialogWithZero) {
    test::App();
    for (bool outputPlugin : {true, false}) {
        test::PluginFolders folders;
        if (outputPlugin) folders.AddDialogPlugin(false, "a.so", "out_one");
        test::ScriptedInteraction answers;
        MainDialog dialog(103);
        const int stop = kMbOk | kMbIconHand;
        const QString install = u" Plug-ins.\nYou've got to install plug-ins first."_s;
        QStringList expected = {test::Shown(u"ERROR"_s, stop, u"No input"_s + install)};
        if (!outputPlugin) expected << test::Shown(u"ERROR"_s, stop, u"No output"_s + install);
        EXPECT_EQ(answers.messages, expected);
        EXPECT_EQ(dialog.CurrentInputIndex(), -1);
        // The output list is filled after the input list's message all the same.
        EXPECT_EQ(Entries(dialog, kOutputPluginList).size(), outputPlugin ? 1 : 0);
        // The posted close request ends the modal run with 0.
        EXPECT_EQ(dialog.exec(), 0);
    }
}

// ---- Front end of the feedback functions ------------------------------------------------

TEST_F(DialogTest, FeedbackFromAJobThreadIsCarriedOverAndWaitedFor) {
    ControlSet controls;
    FillControlSet(dialog_->Handle(), &controls);
    EXPECT_EQ(controls.exit, nullptr);  // layout 103 has no Exit button
    std::atomic<int> step{0};
    std::thread job([&] {
        ShowStatus(u"first");
        ShowStatus(u"Now Decoding input data...\r\nsecond line");
        step = 1;
        ProgressCallback(1, 3, 0);
        EnableControlSet(controls, 0);
        step = 2;
    });
    // Each step is checked as soon as the job is past it: the job waited for the widgets.
    ASSERT_TRUE(QTest::qWaitFor([&] { return step >= 1; }));
    EXPECT_EQ(Status(), u"Now Decoding input data...\nsecond line"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return step >= 2; }));
    auto *bar = Get<QProgressBar>(kProgressBar);
    EXPECT_EQ(bar->value(), 33);
    for (int id : {1, 3, 4, 5, 1003, 1004, 1006, 1007}) EXPECT_FALSE(Get(id)->isEnabled()) << id;
    job.join();
    EnableControlSet(controls, 1);
    EXPECT_TRUE(Get(kOutputChooserButton)->isEnabled());

    // Positions above 100 are shown as 100.
    for (uint32_t position : {250u, 4294967295u}) {
        dialog_->FrontEnd().SetProgressPosition(position);
        EXPECT_EQ(bar->value(), 100);
    }

    // The host's messages go through the dialog's message boxes.
    ShowMessage(u"Failed in loading library.", u"/plugins/input/x.so");
    const QString shown = test::Shown(u"/plugins/input/x.so"_s, kMbOk, u"Failed in loading library."_s);
    EXPECT_EQ(answers_.messages, QStringList{shown});
}

// ---- One instance at a time -------------------------------------------------------------

// Starts the program under the instance name `name` on the offscreen platform.
void StartProgram(QProcess &process, const QString &name, const QStringList &arguments = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"FALTRIX_INSTANCE_NAME"_s, name);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(FALTRIX_EXECUTABLE), arguments);
}

// A killed instance leaves its lock behind; the next start takes it over. A second start
// then asks that first instance to come to the front and ends with 0.
TEST(SingleInstance, StaleLockIsTakenOverAndASecondStartRaisesTheFirst) {
    test::App();
    const QString name = u"faltrix-test-"_s + QUuid::createUuid().toString(QUuid::Id128);
    QProcess killed;
    StartProgram(killed, name);
    ASSERT_TRUE(killed.waitForStarted());
    SingleInstance first(name);
    // The program holds its lock once the lock file and its socket exist.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(first.SocketPath()); }, 20000));
    EXPECT_FALSE(first.TryBecomeFirst());
    ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
    ASSERT_TRUE(killed.waitForFinished());
    EXPECT_TRUE(QFile::exists(first.LockPath()));
    ASSERT_TRUE(first.TryBecomeFirst());

    int raised = 0;
    QObject::connect(&first, &SingleInstance::RaiseRequested, [&raised] { ++raised; });
    // The command line is ignored: arguments change nothing.
    QProcess second;
    StartProgram(second, name, {u"--some"_s, u"picture.png"_s});
    ASSERT_TRUE(second.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return raised == 1; }, 5000));
}

}  // namespace
}  // namespace faltrix
