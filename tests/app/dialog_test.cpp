// The real dialog on Qt's offscreen platform over real plug-in libraries (the builds of
// dialog_plugin.cpp), with scripted answers to its questions: both layouts walked against
// their layout table and measured against their texts, the plug-in lists and the choice of
// plug-in by file, the commands and their messages, the size fields typed and clicked as a
// user does, the file choosers, the preview, jobs, the feedback front end, the settings kept
// between runs, the single running instance, and the built dialog's margins and progress bar;
// and on Qt's xcb platform, real input events and a real drag.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QtWidgets>

#include <fcntl.h>
#include <sys/stat.h>

#include "faltrix/app/application.h"
#include "faltrix/app/dialog_builder.h"
#include "faltrix/app/dialog_state.h"
#include "faltrix/app/file_chooser.h"
#include "faltrix/app/main_dialog.h"
#include "faltrix/app/single_instance.h"
#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"
#include "faltrix/preview.h"

namespace faltrix {
namespace {

using namespace Qt::StringLiterals;

// The one QApplication of the test program; the dialog test plug-ins log to a file of its own,
// and the dialog's state file stays out of the user's folders.
void StartApp() {
    static int argc = 1;
    static char *argv[] = {const_cast<char *>("app_test"), nullptr};
    static QTemporaryDir logDir;
    qputenv("DIALOG_PLUGIN_LOG", QFile::encodeName(logDir.filePath(u"plugin.log"_s)));
    qputenv("XDG_STATE_HOME", QFile::encodeName(logDir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(logDir.path()));
    // Never destroyed, so that nothing torn down at exit outlives it.
    [[maybe_unused]] static QApplication *app = new QApplication(argc, argv);
}

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
// Starts this test again in a child process, with `environment` added to this one's.
void StartThisTestAgain(QProcess &child, const QStringList &environment) {
    child.setEnvironment(QProcess::systemEnvironment() + environment);
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    child.start(QCoreApplication::applicationFilePath(),
                {u"--gtest_filter=%1.%2"_s.arg(test->test_suite_name(), test->name())});
}
void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        << path.toStdString();
}
// Lines the dialog test plug-ins logged since the last call (each "<description> <event>").
QStringList TakePluginLog() {
    const QString log = qEnvironmentVariable("DIALOG_PLUGIN_LOG");
    const QStringList lines = QString::fromUtf8(ReadFile(log)).split(u'\n', Qt::SkipEmptyParts);
    QFile::remove(log);
    return lines;
}
// A message box as the tests see it: "<caption> [<style>] <text>"; by default an error box.
QString Shown(const QString &text, const QString &caption = u"ERROR"_s,
              int style = kMbOk | kMbIconHand) {
    return caption + u" ["_s + QString::number(style) + u"] "_s + text;
}

// Links "input/<name>" or "output/<name>" to a build of dialog_plugin.cpp or to a library.
using Links = std::vector<std::pair<const char *, QString>>;
// Input list: "Input one" (one pattern pair), "Input two" (two pairs), "Input none" (none),
// "d.so" (no description). Output list: "Output two", "Output one". Linked out of name order.
const Links kPlugins = {{"input/b.so", u"in_two"_s},   {"input/a.so", u"in_one"_s},
                        {"input/d.so", u"in_blank"_s}, {"input/c.so", u"in_none"_s},
                        {"output/b.so", u"out_one"_s}, {"output/a.so", u"out_two"_s}};

// A real dialog (layout 103 unless Layout() says otherwise, no pause after status lines)
// over kPlugins; the fixture answers the file chooser and the message boxes from scripts.
// The current folder is a work folder holding a.dp (640 x 480), text.dp (no picture) and
// folder/.
class DialogTest : public ::testing::Test, public UserInteraction {
protected:
    virtual int Layout() const { return 103; }
    void SetUp() override {
        StartApp();
        SetInteraction(this);
        Open(Layout(), kPlugins);
        ASSERT_TRUE(QDir(dir_.path()).mkpath(u"folder"_s));
        WriteFile(Path("%/a.dp"), "640 480");  // a picture of the test plug-ins: "<width> <height>"
        WriteFile(Path("%/text.dp"), "not a picture");
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    }
    void TearDown() override {
        WaitForJob();
        SetInteraction(nullptr);
        QDir::setCurrent(previousFolder_);
    }
    // Opens a new dialog over plug-in folders and a state folder of its own, all in
    // "<base>/plugins<n>" (base: the work folder).
    void Open(int layout, const Links &links, const QString &base = {}) {
        dialog_.reset();
        const QString folder =
            (base.isEmpty() ? dir_.path() : base) + u"/plugins"_s + QString::number(++opened_);
        for (const auto &[list, kind] :
             {std::pair<PluginList *, QString>{&InputPlugins(), u"/input"_s},
              {&OutputPlugins(), u"/output"_s}}) {
            QDir().mkpath(folder + kind);
            list->Teardown();
            list->SetFolderOverride(QFile::encodeName(folder + kind).toStdString());
        }
        for (const auto &[link, library] : links) {
            const QString target = library.contains(u'/')
                                       ? library
                                       : QStringLiteral(DIALOG_PLUGIN_DIR "/%1.so").arg(library);
            QFile::link(target, folder + u'/' + QLatin1String(link));
        }
        qputenv("XDG_STATE_HOME", QFile::encodeName(folder + u"/state"_s));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder + u"/config"_s));
        Reopen(layout);
    }
    // A new dialog as the next start over the same folders.
    void Reopen(int layout = 103) {
        dialog_.reset();
        dialog_ = std::make_unique<MainDialog>(layout);
        dialog_->FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
        TakePluginLog();
    }

    // A request is recorded as "<title>[ (existing)]: <filter> | <filter> ...[ in <folder>]".
    std::optional<QString> ChooseFile(QWidget *, const FileChooserRequest &request) override {
        requests_ << request.title + (request.existingOnly ? u" (existing): "_s : u": "_s) +
                         request.filters.join(u" | "_s) +
                         (request.folder.isEmpty() ? QString() : u" in "_s + request.folder);
        if (chosen_.isEmpty()) return std::nullopt;  // cancelled
        return chosen_.takeFirst();
    }
    // An informative text is recorded after the text, as " {<informative>}".
    int MessageBox(QWidget *, const QString &text, const QString &caption, int style,
                   const QString &informative) override {
        messages_ << Shown(text, caption, style) +
                         (informative.isEmpty() ? QString() : u" {"_s + informative + u'}');
        if (dialog_ != nullptr) outputAtMessage_ = Field(kOutputPathField);
        return answer_;
    }

    // '%' stands for the work folder.
    QString Path(const char *name) const {
        return QString::fromLatin1(name).replace(u'%', dir_.path());
    }
    template <class Widget = QWidget>
    Widget *Get(int id) const {
        return qobject_cast<Widget *>(dialog_->Control(id));
    }
    QString Field(int id) const { return Get<QLineEdit>(id)->text(); }
    void SetField(int id, const QString &text) { Get<QLineEdit>(id)->setText(text); }
    void OpenUrl(const QUrl &url) override { urls_ << url.toLocalFile(); }
    // The four size fields: input width, output width, input height, output height.
    QString Sizes() const {
        return QStringList{Field(kInputWidthField), Field(kOutputWidthField),
                           Field(kInputHeightField), Field(kOutputHeightField)}
            .join(u' ');
    }
    // The paths, the sizes, the check boxes and each list's entry shown and plug-in loaded.
    std::string Shows() const {
        QStringList shown{Field(kInputPathField), Field(kOutputPathField), Sizes()};
        for (int id : {kKeepAspectCheck, kAntiAliasCheck, kAutoPreviewCheck}) {
            shown << QString::number(Get<QCheckBox>(id)->isChecked());
        }
        for (const auto &[id, list] :
             {std::pair<int, PluginList *>{kInputPluginList, &InputPlugins()},
              {kOutputPluginList, &OutputPlugins()}}) {
            shown << QString::number(Get<QComboBox>(id)->currentIndex()) +
                         QString::number(list->Current());
        }
        return shown.join(u'|').toStdString();
    }
    void Tick(int id, bool on = true) { Get<QCheckBox>(id)->setChecked(on); }
    // Chooses `entry` of a plug-in list as the user does (activated).
    void Pick(int list, int entry) {
        Get<QComboBox>(list)->setCurrentIndex(entry);
        emit Get<QComboBox>(list)->activated(entry);
    }
    // Drags `url` onto `target` and drops it there, both accepted.
    void Drop(QWidget *target, const QUrl &url) {
        QMimeData data;
        data.setUrls({url});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QApplication::sendEvent(target, &drop);
        EXPECT_TRUE(enter.isAccepted() && drop.isAccepted());
    }
    void Press(int id) { Get<QPushButton>(id)->click(); }
    void PressAndWait(int id) {
        Press(id);
        WaitForJob();
    }
    QString Status() const { return Get<QTextEdit>(kStatusBox)->toPlainText(); }
    void WaitForJob() {
        ASSERT_TRUE(QTest::qWaitFor([] { return !JobRunning(); }, 10000));
    }
    // Types the input path and moves the focus on.
    void LeaveInputField(const char *path, Qt::FocusReason reason = Qt::TabFocusReason) {
        SetField(kInputPathField, Path(path));
        QFocusEvent focusOut(QEvent::FocusOut, reason);
        QApplication::sendEvent(Get(kInputPathField), &focusOut);
    }

    const QString previousFolder_ = QDir::currentPath();
    QTemporaryDir dir_;
    int opened_ = 0;
    std::unique_ptr<MainDialog> dialog_;
    QStringList chosen_;  // the chooser's answers in turn
    int answer_ = kIdOk;  // every message box's answer
    QStringList requests_, messages_, urls_;
    QString outputAtMessage_;  // the output field while the last message box was open
};

class BothLayouts : public DialogTest, public ::testing::WithParamInterface<int> {
    int Layout() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Layouts, BothLayouts, ::testing::Values(102, 103),
                         [](const auto &info) { return "Layout" + std::to_string(info.param); });

// ---- The dialog as it opens ---------------------------------------------------------------

TEST_P(BothLayouts, OpensWithEveryControlInPlaceBothListsFilledAndEndsWithZero) {
    EXPECT_EQ(LayoutForScreenWidth(GetParam() == 102 ? 240 : 241), GetParam());
    // Every control of the table is created in its order as the widget its kind stands for,
    // shows its text, is enabled unless its style says otherwise, lies inside the dialog and
    // meets no other control but the coding options group around it.
    // The Qt class each kind is made as, in ControlKind's order.
    const char *classOfKind[] = {"QPushButton", "QLineEdit", "QComboBox",    "QGroupBox",
                                 "QLabel",      "QCheckBox", "QProgressBar", "QFrame"};
    const std::span<const ControlSpec> table = FindLayout(GetParam())->controls;
    const auto &created = dialog_->Controls().InOrder();
    ASSERT_EQ(created.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        const ControlSpec &spec = table[i];
        QWidget *control = created[i].second;
        SCOPED_TRACE(spec.id);
        ASSERT_EQ(created[i].first, spec.id);
        EXPECT_STREQ(
            control->metaObject()->className(),
            spec.id == kStatusBox ? "QTextEdit" : classOfKind[static_cast<int>(spec.kind)]);
        if (spec.kind != ControlKind::Edit && spec.kind != ControlKind::ComboBox) {
            EXPECT_EQ(ControlText(control), QString::fromUtf8(spec.text));
        }
        // Read-only: the status box and the input size fields; lists never take typing.
        const bool readOnly =
            spec.id == kStatusBox || spec.id == kInputWidthField || spec.id == kInputHeightField;
        EXPECT_EQ(control->property("readOnly").toBool(), readOnly);
        EXPECT_FALSE(control->property("editable").toBool());
        EXPECT_EQ(control->isEnabled(), (spec.styles & kStyleDisabled) == 0);
        EXPECT_FALSE(control->accessibleName().isEmpty());
        EXPECT_TRUE(dialog_->rect().contains(control->geometry()));
        for (const ControlSpec &other : table) {
            const QRect mine = control->geometry(), theirs = Get(other.id)->geometry();
            // The group's own pairs are checked from its controls' side.
            const bool inGroup = other.kind == ControlKind::GroupBox && theirs.contains(mine);
            EXPECT_TRUE(other.id == spec.id || spec.kind == ControlKind::GroupBox ||
                        !mine.intersects(theirs) || inGroup)
                << other.id;
        }
    }
    // The unit lists offer "%" too; the user starts in the input field.
    EXPECT_EQ(Get<QComboBox>(kWidthUnitList)->itemText(1), u"%"_s);
    EXPECT_EQ(dialog_->focusWidget(), Get(kInputPathField));
    EXPECT_EQ(dialog_->windowTitle(), u"Faltrix v1.01"_s);
    EXPECT_EQ(Status(), u"Faltrix v1.01\nPicture converter by the Faltrix authors"_s);
    EXPECT_FALSE(dialog_->windowIcon().isNull());
    // The narrow layout has no caption bar; the wide one has one with a close box.
    for (Qt::WindowType hint :
         {Qt::WindowTitleHint, Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint})
        EXPECT_EQ((dialog_->windowFlags() & hint) != 0, GetParam() == 103) << hint;
    // Neighbouring rectangles meet exactly: IN ends where OUT begins.
    EXPECT_EQ(Get(kInputChooserButton)->geometry().bottom() + 1,
              Get(kOutputChooserButton)->geometry().top());

    // A plug-in without a description has its entry all the same: its file name.
    QStringList entries;
    for (int id : {kInputPluginList, kOutputPluginList}) {
        for (int i = 0; i < Get<QComboBox>(id)->count(); ++i)
            entries << Get<QComboBox>(id)->itemText(i);
    }
    EXPECT_EQ(entries, (QStringList{u"Input one"_s, u"Input two"_s, u"Input none"_s, u"d.so"_s,
                                    u"Output two"_s, u"Output one"_s}));
    EXPECT_EQ(std::pair(dialog_->CurrentInputIndex(), dialog_->CurrentOutputIndex()),
              std::pair(0, 0));
    EXPECT_EQ(messages_, QStringList());
    // A second start brings back a window minimised by the window manager, in either layout.
    dialog_->showMinimized();
    dialog_->BringToFront();
    EXPECT_FALSE(dialog_->isMinimized());
    // The Exit button (layout 102 only) and Escape end the modal run with 0.
    QMetaObject::invokeMethod(
        dialog_.get(), [this] { GetParam() == 102 ? Press(kExitButton) : dialog_->reject(); },
        Qt::QueuedConnection);
    EXPECT_EQ(dialog_->exec(), 0);
}

// Tab goes through the controls a user can type into or press, in the order the eye reads
// them; the read-only fields and the status box are left to the mouse.
TEST_P(BothLayouts, TabFollowsThePositionsOnScreen) {
    std::vector<int> expected = {kInputChooserButton, kInputPathField,    kOutputChooserButton,
                                 kOutputPathField,    kInputPluginList,   kInputDetailButton,
                                 kOutputPluginList,   kOutputDetailButton};
    const std::vector<int> rest =
        GetParam() == 103
            ? std::vector<int>{kAutoPreviewCheck, kShowPreviewButton, kKeepAspectCheck,
                               kOutputWidthField, kOutputHeightField, kAntiAliasCheck,
                               kCodeButton}
            : std::vector<int>{kKeepAspectCheck,  kOutputWidthField, kOutputHeightField,
                               kAntiAliasCheck,   kCodeButton,       kExitButton,
                               kAutoPreviewCheck, kShowPreviewButton};
    expected.insert(expected.end(), rest.begin(), rest.end());
    // The chain Tab follows round from the first stop, enabled stops only.
    std::vector<int> walked;
    for (QWidget *w = Get(kInputChooserButton);
         walked.size() < 100 && (walked.empty() || w != Get(kInputChooserButton));
         w = w->nextInFocusChain()) {
        const int id = w->property("controlId").toInt();
        if (id != 0 && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus)
            walked.push_back(id);
    }
    EXPECT_EQ(walked, expected);
    for (int id : {kStatusBox, kInputWidthField, kInputHeightField})
        EXPECT_EQ(Get(id)->focusPolicy(), Qt::ClickFocus) << id;
    EXPECT_TRUE(Get<QTextEdit>(kStatusBox)->textInteractionFlags() & Qt::TextSelectableByMouse);
}

TEST_F(DialogTest, EmptyOrOverlongPluginsAreReportedOrLeftOut) {
    const QString install = u" Plug-ins.\nYou've got to install plug-ins first."_s;
    for (bool outputPlugin : {true, false}) {
        messages_.clear();
        Open(103, outputPlugin ? Links{{"output/a.so", u"out_one"_s}} : Links{});
        const QString noInput = Shown(u"No input"_s + install),
                      noOutput = Shown(u"No output"_s + install);
        EXPECT_EQ(messages_,
                  (outputPlugin ? QStringList{noInput} : QStringList{noInput, noOutput}));
        EXPECT_EQ(dialog_->CurrentInputIndex(), -1);
        // The output list is filled after the input list's message all the same.
        EXPECT_EQ(Get<QComboBox>(kOutputPluginList)->count(), outputPlugin ? 1 : 0);
        // The posted close request ends the modal run with 0.
        EXPECT_EQ(dialog_->exec(), 0);
    }
    // A plug-in that answers every number with more text than the buffer holds: the filter
    // keeps to its 2048 units by leaving the pairs out, and the list of numbers ends.
    Open(103,
         {{"input/a.so", QStringLiteral(HOST_FAKE_PLUGIN_DIR "/fake_plugin_overlong_info.so")}});
    // "All pictures" takes the overlong pattern, within the same budget.
    Press(kInputChooserButton);
    ASSERT_EQ(requests_.size(), 1);
    const QString prefix = u"Open InputFile (existing): All pictures ("_s;
    EXPECT_TRUE(requests_[0].startsWith(prefix) && requests_[0].endsWith(u") | All Files (*)"_s))
        << requests_[0].left(80).toStdString();
    EXPECT_LT(requests_[0].size() - prefix.size(), kFilterCapacity);
}

// ---- The conversion command ---------------------------------------------------------------

// What is typed ('%' the work folder); the answer to the overwrite
// question, which an old output file "old" raises (0: no old file, not asked); the one
// message (or null), the output field, the control given the focus (or 0), the size fields
// (see Sizes()) and the output file's contents (or null: none) afterwards.
struct ConversionCase {
    const char *input, *output, *width, *height;
    int answer;
    const char *message, *outputAfter;
    int focus;
    const char *sizes, *written = nullptr;
};

TEST_F(DialogTest, ConversionChecksInOrderStoppingAtTheFirstFailure) {
    const char *ask = "This file already exists.\nAre you sure overwrite this file?",
               *illegal = "Illegal number in edit box.";
    const char *tooLong =
        "The path is longer than 1023 characters.\nChoose a shorter file name or folder.";
    // A name that fits the output field but not once the input's folder is put before it.
    const std::string longName(1020, 'n');
    // The sizes unread, the picture's, and the picture written at its own size.
    const char *unread = "   ", *own = "640 640 480 480", *whole = "640 480 24\n";
    const char *missing = "Input file does not exist.";
    const ConversionCase cases[] = {
        {"%/missing.dp", "", "", "", 0, "Enter output file name.", "", kOutputPathField, unread},
        // The output name is not completed before the input check.
        {"%/missing.dp", "b.dp", "", "", 0, missing, "b.dp", kInputPathField, unread},
        {"%/folder", "b.dp", "", "", 0, missing, "b.dp", kInputPathField, unread},
        // The completed output path is written back before the sizes are read.
        {"%/text.dp", "out.dp", "", "", 0, illegal, "%/out.dp", 0, unread},
        {"%/text.dp", "out.dp", "12", "99999999999", 0, illegal, "%/out.dp", 0, " 12  99999999999"},
        {"%/a.dp", longName.c_str(), "", "", 0, tooLong, longName.c_str(), 0, own},
        // Sizes that are no numbers take the picture's.
        {"%/a.dp", "out.dp", "12", "99999999999", 0, nullptr, "%/out.dp", 0, "640 12 480 480",
         "12 480 24\n"},
        {"%/a.dp", "%/folder/b.dp", "", "", 0, nullptr, "%/folder/b.dp", 0, own, whole},
        {"%/a.dp", "folder/c.dp", "", "", 0, nullptr, "%/folder/c.dp", 0, own, whole},
        // An input without a folder leaves the output name as typed.
        {"a.dp", "bare.dp", "", "", 0, nullptr, "bare.dp", 0, own, whole},
        // The name is completed before the question; only Yes overwrites.
        {"%/a.dp", "old.dp", "", "", kIdNo, ask, "%/old.dp", 0, own, "old"},
        {"%/a.dp", "old.dp", "", "", kIdOk, ask, "%/old.dp", 0, own, "old"},
        {"%/a.dp", "old.dp", "", "", kIdYes, ask, "%/old.dp", 0, own, whole},
    };
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output + " answer " +
                     std::to_string(c.answer));
        const QString output = Path(c.outputAfter);
        if (c.answer != 0) WriteFile(output, "old");
        SetField(kInputPathField, Path(c.input));
        SetField(kOutputPathField, Path(c.output));
        SetField(kOutputWidthField, Path(c.width));
        SetField(kOutputHeightField, Path(c.height));
        SetField(kInputWidthField, u"9"_s);
        Get(kCodeButton)->setFocus();
        messages_.clear();
        outputAtMessage_.clear();
        answer_ = c.answer;
        PressAndWait(kCodeButton);
        EXPECT_EQ(Field(kOutputPathField) + u" | "_s + Sizes(),
                  output + u" | "_s + QString::fromLatin1(c.sizes));
        // The question names the file below its text, on a small screen too where the caption may
        // not show.
        const QString named =
            u" {"_s + QFileInfo(output).fileName() + u"\nin "_s + dir_.path() + u'}';
        const QString shown = c.answer != 0
                                  ? Shown(c.message, output, kMbYesNo | kMbIconQuestion) + named
                                  : Shown(c.message);
        EXPECT_EQ(messages_, c.message != nullptr ? QStringList{shown} : QStringList());
        EXPECT_EQ(outputAtMessage_, c.message != nullptr ? output : QString());
        EXPECT_EQ(QFile::exists(output), c.written != nullptr);
        EXPECT_EQ(ReadFile(output), QByteArray(c.written));
        if (c.focus != 0) {
            EXPECT_EQ(dialog_->focusWidget(), Get(c.focus));
        }
        QFile::remove(output);
    }
}

// What the stored picture lost is a line below the job's last one, as a failure's cause is.
TEST_F(DialogTest, NoticeFollowsTheLastStatusLine) {
    WriteFile(Path("%/anim.dp"), "64 48 3");
    SetField(kInputPathField, Path("%/anim.dp"));
    SetField(kOutputPathField, Path("%/anim-out.dp"));
    PressAndWait(kCodeButton);
    EXPECT_TRUE(Status().startsWith(u"Ready.\nkept frame 1 of 3"_s)) << Status().toStdString();
}

// A size no plug-in could read back, or no size at all, is refused at Code with the limit
// named, the focus on the side at fault; no job starts and nothing is stored.
TEST_F(DialogTest, SizeBeyondTheLimitsIsRefusedAtCodeNamingTheLimit) {
    const int wide = kOutputWidthField, high = kOutputHeightField;
    const std::tuple<const char *, const char *, const char *, int> cases[] = {
        {"20000", "15000",
         "20000 x 15000 is 300 million pixels, more than the 268 million the plug-ins read", wide},
        {"640", "2000000", "2000000 pixels high, more than the 1048575 a side the plug-ins read",
         high},
        {"0", "480", "0 pixels wide: a picture has at least 1 pixel a side", wide}};
    LeaveInputField("%/a.dp");
    WaitForJob();
    for (const auto &[width, height, message, focus] : cases) {
        SetField(kOutputPathField, Path("%/out.dp"));
        SetField(kOutputWidthField, QString::fromLatin1(width));
        SetField(kOutputHeightField, QString::fromLatin1(height));
        dialog_->FrontEnd().SetStatusText(u"-");
        messages_.clear();
        Press(kCodeButton);
        EXPECT_EQ(std::tuple(messages_, Status(), dialog_->focusWidget() == Get(focus),
                             JobRunning() || QFile::exists(Path("%/out.dp"))),
                  std::tuple(QStringList{Shown(QLatin1String(message))}, u"-"_s, true, false));
    }
}

TEST(SizeFields, UnsignedDecimalNumbersAndFilesThatExist) {
    const std::pair<const char *, std::optional<uint32_t>> numbers[] = {
        {"640", 640}, {" 42 ", 42}, {"0", 0},           {"4294967295", 4294967295u},
        {"", {}},     {"  ", {}},   {"4294967296", {}}, {"12a", {}},
        {"-1", {}},   {"+1", {}},   {"1 2", {}}};
    for (const auto &[text, value] : numbers)
        EXPECT_EQ(ParseUnsigned(QString::fromLatin1(text)), value) << text;
    // A named pipe with no writer counts as a file and does not hang the dialog.
    QTemporaryDir dir;
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath(u"pipe"_s)).constData(), 0600), 0);
    EXPECT_TRUE(FileExists(dir.filePath(u"pipe"_s)));
    // A name that is not UTF-8, by its escape; the file whose name has U+FFFD in its place is
    // another. The command line's name keeps its escape, made absolute.
    const QString latin1 = dir.filePath(u"caf"_s) + QChar(0xDCE9);
    const int fd = ::open((QFile::encodeName(dir.filePath(u"caf"_s)) + "\xE9").constData(),
                          O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_TRUE(FileExists(latin1));
    EXPECT_FALSE(FileExists(dir.filePath(u"caf\uFFFD"_s)));
    EXPECT_EQ(FileArgument({u"faltrix"_s, u"-x"_s, u"caf"_s + QChar(0xDCE9)}),
              QDir::currentPath() + u"/caf"_s + QChar(0xDCE9));
}

// The frame of `window` once it lies on its screen, waiting 10 s at most (a loaded machine's
// window manager may take seconds): a window manager
// (`framed`) frames a window after it is shown, and moves it back on screen if the frame landed
// off it.
QRect FrameOnScreen(QWidget *window, bool framed) {
    // The caller checks the frame it is given.
    [[maybe_unused]] const bool settled = QTest::qWaitFor(
        [&] {
            return (!framed || window->frameGeometry() != window->geometry()) &&
                   window->screen()->availableGeometry().contains(window->frameGeometry());
        },
        10000);
    return window->frameGeometry();
}
// "<width> x <height> at <x>,<y>", for a failure's message.
std::string Where(const QRect &r) {
    return u"%1 x %2 at %3,%4"_s.arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y()).toStdString();
}
// Hands the shown modal window other than `dialog` to `answer`, looking every 10 ms until
// `answer` returns true; the timer rests meanwhile, as `answer` may wait.
void AnswerModal(QTimer &timer, QWidget *dialog, const std::function<bool(QWidget *)> &answer) {
    QObject::connect(&timer, &QTimer::timeout, [&timer, dialog, answer] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == dialog || !modal->isVisible()) return;
        timer.stop();
        if (!answer(modal)) timer.start(10);
    });
    timer.start(10);
}

// Every caption and unit fits its control in both layouts at scale 1 and 2 and at 120 dpi,
// each in a child run of this test (Qt reads the scale and the dpi at its start); layout 102
// keeps to 240 x 320 and to the screen, and so do its file choosers. The screen's logical
// pixels are fewer where Qt scales (a 240 x 320 screen on xcb at 120 dpi: the ctest
// app_test_narrow_screen_on_xcb runs the child part there).
TEST_F(DialogTest, EveryTextFitsItsControlInBothLayoutsAtEveryScale) {
    if (qEnvironmentVariableIsSet("DIALOG_TEXTS_CHILD")) {
        // Under a window manager (DIALOG_WINDOW_MANAGER), each window is measured with its frame.
        const bool framed = qEnvironmentVariableIsSet("DIALOG_WINDOW_MANAGER");
        for (int layout : {102, 103}) {
            Open(layout, kPlugins);
            for (const auto &[id, control] : dialog_->Controls().InOrder()) {
                EXPECT_EQ(TextShortfall(control), QSize(0, 0))
                    << layout << " control " << id << " " << ControlText(control).toStdString();
            }
            const QSize room =
                dialog_->screen()->availableGeometry().size().boundedTo(QSize(240, 320));
            EXPECT_TRUE(layout == 103 || dialog_->size().boundedTo(room) == dialog_->size())
                << dialog_->width() << " x " << dialog_->height() << " on " << room.width() << " x "
                << room.height();
            // Both file choosers keep to the screen, with their Open (Save) and Cancel buttons.
            for (PluginKind kind : {PluginKind::Input, PluginKind::Output}) {
                if (layout == 103) break;
                const auto chooser =
                    MakeFileDialog(dialog_.get(), BuildChooserRequest(PluginsOf(kind)));
                chooser->show();
                const QRect frame = FrameOnScreen(chooser.get(), framed);
                EXPECT_TRUE(dialog_->screen()->availableGeometry().contains(frame))
                    << "chooser " << Where(frame);
            }
        }
        // The longest question and a failure, as message boxes beside layout 102.
        const QString question =
            u"The extension of \"a-long-picture-name.avif\" is that of the "
            u"output plug-in \"HEIF AVIF\", not of \"PNG\".\nUse \"HEIF "
            u"AVIF\"?"_s;
        for (int style : {kMbYesNoCancel | kMbIconQuestion, kMbOk | kMbIconHand}) {
            const auto box = MakeMessageBox(dialog_.get(), question, u"ERROR"_s, style,
                                            u"a-long-picture-name.avif\nin /home/user/Pictures"_s);
            box->show();
            const QRect frame = FrameOnScreen(box.get(), framed);
            EXPECT_TRUE(box->screen()->availableGeometry().contains(frame))
                << "message box " << Where(frame);
        }
        int measured = 0;
        // Every bundled output plug-in's own settings dialog, opened by Detail beside layout
        // 102, keeps to the screen with its frame.
        for (const QString &name : QDir(QStringLiteral(BUNDLED_PLUGIN_DIR "/output"))
                                       .entryList({u"*.so"_s}, QDir::Files, QDir::Name)) {
            Open(102, {{"input/a.so", u"in_one"_s},
                       {"output/a.so", QStringLiteral(BUNDLED_PLUGIN_DIR "/output/") + name}});
            QRect shown;
            QTimer answer;
            AnswerModal(answer, dialog_.get(), [&](QWidget *modal) {
                shown = FrameOnScreen(modal, framed);
                return QMetaObject::invokeMethod(modal, "reject");
            });
            if (!Get(kOutputDetailButton)->isEnabled()) continue;
            ++measured;
            Press(kOutputDetailButton);
            const QRect screen = dialog_->screen()->availableGeometry();
            EXPECT_TRUE(!shown.isEmpty() && screen.contains(shown))
                << name.toStdString() << ": " << Where(shown) << " on " << Where(screen);
        }
        EXPECT_GE(measured, 7);  // every bundled output plug-in with settings
        return;
    }
    for (const char *setting : {"QT_SCALE_FACTOR=1", "QT_SCALE_FACTOR=2", "QT_FONT_DPI=120"}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        StartThisTestAgain(child, {QLatin1String(setting), u"DIALOG_TEXTS_CHILD=1"_s});
        ASSERT_TRUE(child.waitForFinished(60000));
        EXPECT_EQ(child.exitCode(), 0) << setting << "\n" << child.readAll().toStdString();
    }
}

// ---- Size fields, plug-in lists, file choosers and the preview ----------------------------

TEST_F(DialogTest, LeavingTheInputFieldFillsTheSizesAndKeepAspectFollowsTheUsersEdits) {
    SetField(kOutputWidthField, u"5"_s);
    // A window coming on top is no move of the focus within the dialog.
    LeaveInputField("%/a.dp", Qt::ActiveWindowFocusReason);
    EXPECT_EQ(Sizes(), u" 5  "_s);
    // No file, and a picture of size 0, which is no information either, empty the sizes.
    WriteFile(Path("%/zero.dp"), "0 480");
    for (const char *other : {"%/missing.dp", "%/zero.dp"}) {
        LeaveInputField("%/a.dp");
        LeaveInputField(other);
        EXPECT_EQ(Sizes(), u"   "_s) << other;
    }
    // Typing a width sets the height only with keep aspect on; the size fields refuse letters.
    for (bool keep : {false, true}) {
        LeaveInputField("%/a.dp");
        Tick(kKeepAspectCheck, keep);
        SetField(kOutputWidthField, {});
        QTest::keyClicks(Get(kOutputWidthField), u"3a20"_s);  // typed as the user does (textEdited)
        EXPECT_EQ(Sizes(), keep ? u"640 320 480 240"_s : u"640 320 480 480"_s);
    }
    SetField(kOutputHeightField, {});
    QTest::keyClicks(Get(kOutputHeightField), u"100"_s);
    // Had the write of 133 set the rule off again, the height would now be 99.
    EXPECT_EQ(Sizes(), u"640 133 480 100"_s);
}

// The preview box's centre as painted: the test plug-in paints C04020, an empty box is white.
uint32_t PaintedCentre(QWidget *box) {
    const QImage image = box->grab().toImage();
    return image.pixel(image.width() / 2, image.height() / 2) & 0xFFFFFF;
}

// Detail is disabled for a plug-in without settings, saying so, and a job that ends leaves
// it so; choosing a plug-in with settings enables it again.
TEST_F(DialogTest, DetailIsDisabledForAPluginWithoutSettings) {
    Open(103, {{"input/a.so", u"in_one"_s},
               {"input/b.so", u"in_plain"_s},
               {"output/a.so", u"out_plain"_s},
               {"output/b.so", u"out_one"_s}});
    SetField(kInputPathField, Path("%/a.dp"));
    // Entry 0 of each list as the dialog opens, then entry 1: only the second has settings
    // in the output list, only the first in the input list.
    for (int entry : {0, 1}) {
        for (int list : {kInputPluginList, kOutputPluginList}) Pick(list, entry);
        PressAndWait(kShowPreviewButton);
        for (const auto &[id, available] :
             {std::pair{kInputDetailButton, entry == 0}, {kOutputDetailButton, entry == 1}}) {
            EXPECT_EQ(
                std::pair(Get(id)->isEnabled(), Get(id)->toolTip()),
                std::pair(available, available ? QString() : u"This plug-in has no settings."_s))
                << id << ' ' << entry;
        }
    }
}

// The picture in the box goes with its path: a path typed on, a preview that fails or a
// file given (chosen, dropped) without a size empties the box. A failure's cause follows its
// line, and a file given without a size empties the size fields.
TEST_F(DialogTest, PreviewAndSizesGoWithTheirPathAndFailuresSayWhy) {
    // What p.dp becomes after its picture was drawn (null: removed), what happens next (0 "x"
    // typed on, 1 a preview, 2 the file given) and the status then; the sizes empty with 2.
    const std::tuple<const char *, int, const char16_t *> cases[] = {
        {"64 48", 0, u"Ready."},
        {"not a picture", 1, u"Failed in Getting information.\nno size in the file"},
        {nullptr, 1, u"Failed in Getting information.\nNo such file or directory"},
        {nullptr, 2, u"Failed in Getting information.\nNo such file or directory"},
        {"0 0", 2,
         u"Failed in Getting information.\nthe input plug-in gives the picture no size (0 x 0)"},
    };
    for (const auto &[content, how, status] : cases) {
        WriteFile(Path("%/p.dp"), "64 48");
        dialog_->OpenInput(Path("%/p.dp"));
        PressAndWait(kShowPreviewButton);
        ASSERT_EQ(PaintedCentre(Get(kPreviewBox)), 0xC04020u);
        if (content != nullptr) WriteFile(Path("%/p.dp"), content);
        if (content == nullptr) QFile::remove(Path("%/p.dp"));
        if (how == 0) QTest::keyClicks(Get(kInputPathField), QLatin1String("x"));
        if (how == 1) Press(kShowPreviewButton);
        if (how == 2) dialog_->OpenInput(Path("%/p.dp"));
        WaitForJob();
        EXPECT_EQ(std::tuple(PaintedCentre(Get(kPreviewBox)), Status(), Sizes() == u"   "_s),
                  std::tuple(0xFFFFFFu, QString::fromUtf16(status), how == 2))
            << how;
    }
}

TEST_F(DialogTest, ChoosersDetailAndPreviewAskTheCurrentPluginWhichOnlyAnotherEntryReloads) {
    // The second pattern has no description: the pattern stands in for it.
    const QString pair = u"Dialog pictures (*.dp *.dpic) | "_s, second = u"*.two (*.two) | "_s,
                  all = u"All Files (*)"_s;
    // The input chooser opens on every input plug-in's patterns, whichever is current.
    const QString in = u"Open InputFile (existing): All pictures (*.dp *.dpic *.two) | "_s,
                  out = u"Open OutputFile: "_s;
    // The entry chosen, the chooser's request then, and what the plug-ins logged on the choice.
    // The current entry again loads nothing; nothing is left over from the shorter list.
    const std::tuple<int, int, QString, QStringList> cases[] = {
        {kInputPluginList, 0, in + pair + all, {}},
        {kInputPluginList, 2, in + all, {u"Input none load"_s}},
        {kInputPluginList, 0, in + pair + all, {u"Input one load"_s}},
        {kInputPluginList, 1, in + pair + second + all, {u"Input two load"_s}},
        {kOutputPluginList, 0, out + pair + second + all, {}},
        {kOutputPluginList, 1, out + pair + all, {u"Output one load"_s}},
    };
    for (const auto &[list, entry, request, loaded] : cases) {
        Pick(list, entry);
        EXPECT_EQ(TakePluginLog(), loaded);
        requests_.clear();
        Press(list == kInputPluginList ? kInputChooserButton : kOutputChooserButton);
        EXPECT_EQ(requests_, QStringList{request}) << list << " entry " << entry;
    }
    // The output chooser fills the output field only; input detail refreshes the sizes once
    // the plug-in's own dialog confirmed.
    chosen_ = {Path("%/new.dp"), Path("%/a.dp"), Path("%/a.dp"), Path("%/text.dp")};
    Press(kOutputChooserButton);
    EXPECT_EQ(Field(kOutputPathField) + Sizes(), Path("%/new.dp   "));
    SetField(kInputPathField, Path("%/a.dp"));
    Press(kInputDetailButton);
    Press(kOutputDetailButton);
    EXPECT_EQ(TakePluginLog(),
              (QStringList{u"Input two ConfigurationDlg"_s, u"Input two GetPictureInfo"_s,
                           u"Output one ConfigurationDlg"_s}));
    EXPECT_EQ(Sizes(), u"640 640 480 480"_s);
    // The preview box shows the picture. A chosen input fills the sizes; without automatic
    // preview it clears the box, with it the picture is drawn. A file without information is
    // reported; a cancel changes nothing.
    PressAndWait(kShowPreviewButton);
    EXPECT_EQ(PaintedCentre(Get(kPreviewBox)), 0xC04020u);
    // Transparency is shown on white; alpha 0 everywhere is a picture made without alpha.
    for (const auto &[alpha, shown] :
         {std::pair{"128", 0xDF9F8Fu}, {"0", 0xC04020u}, {"255", 0xC04020u}}) {
        WriteFile(Path("%/alpha.dp"), "64 48 " + QByteArray(alpha));
        SetField(kInputPathField, Path("%/alpha.dp"));
        PressAndWait(kShowPreviewButton);
        EXPECT_EQ(PaintedCentre(Get(kPreviewBox)), shown) << alpha;
    }
    SetField(kInputPathField, Path("%/a.dp"));
    for (bool autoPreview : {false, true}) {
        Tick(kAutoPreviewCheck, autoPreview);
        SetField(kOutputWidthField, {});
        PressAndWait(kInputChooserButton);
        EXPECT_EQ(Sizes() + Status(), u"640 640 480 480Ready."_s);
        EXPECT_EQ(PaintedCentre(Get(kPreviewBox)), autoPreview ? 0xC04020u : 0xFFFFFFu);
    }
    for (int cancelled : {0, 1}) {
        Press(kInputChooserButton);
        EXPECT_EQ(Field(kInputPathField) + Status(),
                  Path("%/text.dpFailed in Getting information.\nno size in the file"))
            << cancelled;
    }
    // Each chooser starts in the folder it was last left in, also after a restart.
    Reopen();
    Press(kInputChooserButton);
    Press(kOutputChooserButton);
    EXPECT_EQ(requests_.mid(requests_.size() - 2).join(u'|').count(u" in "_s + dir_.path()), 2);
    // The real chooser: Qt's own with the request's title and filters, the first chosen,
    // existing files only for the input; the output's saves, asking nothing, and adds the
    // extension of the filter chosen to a name without one.
    const auto chooser = MakeFileDialog(dialog_.get(), BuildChooserRequest(InputPlugins()));
    EXPECT_EQ(chooser->windowTitle() + u": "_s + chooser->nameFilters().join(u" | "_s),
              u"Open InputFile: All pictures (*.dp *.dpic *.two) | "_s + pair + second + all);
    EXPECT_TRUE(chooser->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(std::pair(chooser->selectedNameFilter(), chooser->fileMode()),
              std::pair(u"All pictures (*.dp *.dpic *.two)"_s, QFileDialog::ExistingFile));
    const auto output = MakeFileDialog(dialog_.get(), BuildChooserRequest(OutputPlugins()));
    EXPECT_EQ(std::pair(output->fileMode(), output->acceptMode()),
              std::pair(QFileDialog::AnyFile, QFileDialog::AcceptSave));
    EXPECT_TRUE(output->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(output->defaultSuffix(), u"dp"_s);
    emit output->filterSelected(all);
    EXPECT_EQ(output->defaultSuffix(), QString());
}

// A file the current input plug-in refuses goes to the plug-in that reads it, typed and left
// or chosen; an output name whose extension only one output plug-in's patterns name makes
// that one current, and Code asks when the user chose another since.
TEST_F(DialogTest, ThePluginsThatReadTheInputAndWriteTheOutputsExtensionBecomeCurrent) {
    Open(103, {{"input/a.so", u"in_dq"_s},
               {"input/b.so", u"in_dr"_s},
               {"input/c.so", u"in_one"_s},
               {"output/a.so", u"out_two"_s},
               {"output/b.so", u"out_one"_s}});
    for (const char *name : {"%/x.dq", "%/x.dr", "%/x.zz"}) WriteFile(Path(name), "64 32");
    const auto reads = [](const char *plugin) {
        return u"\nInput plug-in \""_s + QLatin1String(plugin) + u"\" reads this file."_s;
    };
    // The file, how it comes (0 typed and left, 1 chosen, 2 dropped on the window, 3 on the
    // input field, over its text), the input entry then and the status.
    const std::tuple<const char *, int, int, QString> inputs[] = {
        {"%/x.dq", 0, 0, u"-"_s},
        {"%/x.dr", 0, 1, u"-"_s + reads("Input dr")},
        {"%/x.dq", 1, 0, u"Ready."_s + reads("Input dq")},
        {"%/x.dr", 2, 1, u"Ready."_s + reads("Input dr")},
        {"%/x.dq", 3, 0, u"Ready."_s + reads("Input dq")},
        {"%/x.zz", 0, 0, u"-\nNo input plug-in reads this file."_s}};
    for (const auto &[file, how, entry, status] : inputs) {
        dialog_->FrontEnd().SetStatusText(u"-");
        chosen_ = {Path(file)};
        if (how == 0) LeaveInputField(file);
        if (how == 1) Press(kInputChooserButton);
        if (how >= 2)
            Drop(how == 2 ? dialog_.get() : Get(kInputPathField), QUrl::fromLocalFile(Path(file)));
        EXPECT_EQ(std::tuple(dialog_->CurrentInputIndex(), InputPlugins().Current(), Status(),
                             Sizes(), Field(kInputPathField)),
                  std::tuple(entry, entry, status, u"64 64 32 32"_s, Path(file)))
            << file;
    }
    // A drop on the output field replaces its text and follows the name, as does a name left
    // during a preview once the preview has ended; a drop not local is refused.
    Drop(Get(kOutputPathField), QUrl(u"https://example.org/o.two"_s));
    EXPECT_TRUE(Status().endsWith(u"\nOnly one local file can be dropped on a path field."_s));
    SetField(kInputPathField, Path("%/x.dq"));
    for (bool duringPreview : {false, true}) {
        Pick(kOutputPluginList, 1);
        if (!duringPreview) Drop(Get(kOutputPathField), QUrl::fromLocalFile(Path("%/o.two")));
        if (duringPreview) {
            WriteFile(Path("%/x.dq.hold"), {});
            Press(kShowPreviewButton);
            SetField(kOutputPathField, u"p.two"_s);
            emit Get<QLineEdit>(kOutputPathField)->editingFinished();
            EXPECT_EQ(dialog_->CurrentOutputIndex(), 1);
            QFile::remove(Path("%/x.dq.hold"));
        }
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return !JobRunning() && dialog_->CurrentOutputIndex() == 0;
        })) << duringPreview;
    }
    EXPECT_EQ(Field(kOutputPathField), u"p.two"_s);
    // The output name and how it is given (0 the field left, 1 Code answering No, 2 Yes,
    // 3 Cancel); the output entry afterwards and whether a question came. The user chooses
    // entry 1 first.
    const std::tuple<const char *, int, int, bool> outputs[] = {
        {"o.two", 0, 0, false}, {"o.dp", 0, 1, false}, {"p.two", 1, 1, true},
        {"p.two", 2, 0, true},  {"p.two", 3, 1, true}, {"p.dp", 1, 1, false}};
    LeaveInputField("%/x.dq");
    for (const auto &[name, how, entry, asked] : outputs) {
        SCOPED_TRACE(name + std::to_string(how));
        Pick(kOutputPluginList, 1);
        SetField(kOutputPathField, QLatin1String(name));
        dialog_->FrontEnd().SetStatusText(u"-");
        messages_.clear();
        answer_ = how == 2 ? kIdYes : how == 3 ? kIdCancel : kIdNo;
        if (how == 0) {
            emit Get<QLineEdit>(kOutputPathField)->editingFinished();
            EXPECT_EQ(Status().endsWith(u"\nOutput plug-in \"Output two\" writes this file."_s),
                      entry == 0);
        }
        if (how != 0) Press(kCodeButton);
        WaitForJob();
        EXPECT_EQ(std::pair(dialog_->CurrentOutputIndex(), OutputPlugins().Current()),
                  std::pair(entry, entry));
        const QString question =
            u"The extension of \"p.two\" is that of the output plug-in \"Output two\", not of \"Output one\".\nUse \"Output two\"?"_s;
        EXPECT_EQ(messages_, asked ? QStringList{Shown(question, u"Faltrix v1.01"_s,
                                                       kMbYesNoCancel | kMbIconQuestion)}
                                   : QStringList());
        EXPECT_EQ(ReadFile(Path("%/p.two")) + ReadFile(Path("%/p.dp")),
                  how % 3 != 0 ? "64 32 24\n" : "");
        EXPECT_EQ(QFile::exists(Path("%/p.two")) || QFile::exists(Path("%/p.dp")), how % 3 != 0);
        QFile::remove(Path("%/p.two"));
        QFile::remove(Path("%/p.dp"));
    }
}

// An input chosen while the output field is empty suggests an output beside it, with the
// output plug-in's first extension. After a success the written file and its folder open
// from the status box's last line with a click; that line keeps a point-sampling fallback
// (anti-alias on a 32-bit picture) in view.
TEST_F(DialogTest, OutputNameSuggestedAndTheWrittenFileOpensFromTheStatusBox) {
    WriteFile(Path("%/x.zz"), "64 48 128");
    // The output field before, the input given, the output field after.
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"", "%/x.zz", "%/x.dp"},
        {"", "%/a.dp", "%/a-converted.dp"},
        {"mine.two", "%/x.zz", "mine.two"}};
    for (const auto &[before, input, after] : cases) {
        SetField(kOutputPathField, QLatin1String(before));
        dialog_->OpenInput(Path(input));
        EXPECT_EQ(Field(kOutputPathField), Path(after)) << input;
    }
    SetField(kOutputPathField, Path("%/folder/x.dp"));
    SetField(kOutputWidthField, u"32"_s);
    Tick(kAntiAliasCheck);
    PressAndWait(kCodeButton);
    auto *status = Get<QTextEdit>(kStatusBox);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return Status().endsWith(
            u"Wrote x.dp (9 bytes) in folder, resized by point sampling: anti-alias needs 24-bit colour."_s);
    })) << Status().toStdString();
    // A click on each link of the last line, as the user makes it on the shown dialog.
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    const QTextBlock last = status->document()->lastBlock();
    for (QTextBlock::iterator it = last.begin(); !it.atEnd(); ++it) {
        if (!it.fragment().charFormat().isAnchor()) continue;
        QTextCursor at(status->document());
        at.setPosition(it.fragment().position() + 1);
        QTest::mouseClick(status->viewport(), Qt::LeftButton, {}, status->cursorRect(at).center());
    }
    EXPECT_EQ(urls_, (QStringList{Path("%/folder/x.dp"), Path("%/folder")}));
}

// Escape on a real message box: No for a yes-or-no question, Cancel where the box has one.
// Its informative text, a file's name, is shown as it is, never as markup.
TEST_F(DialogTest, EscapeAnswersNoOrCancelAndNamesShowAsTheyAre) {
    UserInteraction real;
    for (const auto &[style, answer] : {std::pair{kMbYesNo, kIdNo}, {kMbYesNoCancel, kIdCancel}}) {
        QTimer::singleShot(
            0, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
        EXPECT_EQ(real.MessageBox(dialog_.get(), u"?"_s, u"Faltrix"_s, style | kMbIconQuestion, {}),
                  answer)
            << style;
    }
    const auto box =
        MakeMessageBox(dialog_.get(), u"?"_s, u"c"_s, kMbYesNo, u"<b>x</b>.dp\nin /f"_s);
    const auto *informative = box->findChild<QLabel *>(u"qt_msgbox_informativelabel"_s);
    ASSERT_NE(informative, nullptr);
    EXPECT_EQ(std::pair(informative->text(), informative->textFormat()),
              std::pair(u"<b>x</b>.dp\nin /f"_s, Qt::PlainText));
}

// ---- Jobs and the feedback front end ------------------------------------------------------

TEST_P(BothLayouts, NoSecondJobWhileOneRunsAndACloseWaitsForItsEnd) {
    WriteFile(Path("%/a.dp.hold"), {});
    dialog_->show();
    LeaveInputField("%/a.dp");
    SetField(kOutputPathField, u"out.dp"_s);
    Tick(kAutoPreviewCheck);
    Press(kCodeButton);
    ASSERT_TRUE(JobRunning());
    // The buttons and lists were disabled before the job's thread started; its status lines
    // reach the dialog while it runs.
    const std::vector<int> jobControls = {1, 2, 3, 4, 5, 1003, 1004, 1006, 1007};
    for (int id : jobControls) EXPECT_TRUE(Get(id) == nullptr || !Get(id)->isEnabled()) << id;
    EXPECT_TRUE(QTest::qWaitFor([&] { return Status() == u"Now Decoding input data..."_s; }));
    // Neither leaving the input field with automatic preview on nor a late command starts
    // another job; a close request waits for the job's end, the surface kept.
    LeaveInputField("%/text.dp");
    dialog_->Command(kShowPreviewButton, kNotifyClicked);
    dialog_->Command(kCodeButton, kNotifyClicked);
    dialog_->close();
    QTest::qWait(50);
    EXPECT_TRUE(dialog_->isVisible() && dialog_->ClosePending());
    EXPECT_NE(ThePreviewSurface.dc, nullptr);
    QFile::remove(Path("%/a.dp.hold"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog_->isVisible(); }, 10000));
    EXPECT_EQ(dialog_->result(), 0);
    EXPECT_EQ(ReadFile(Path("%/out.dp")), QByteArray("640 480 24\n"));
    EXPECT_EQ(TakePluginLog().count(u"Input one GetPictureDIB"_s), 1);
    for (int id : jobControls) EXPECT_TRUE(Get(id) == nullptr || Get(id)->isEnabled()) << id;

    // Positions above 100 show as 100, and the host's messages go through the dialog's
    // message boxes (the only message of this test).
    for (const auto &[position, shown] : {std::pair{33u, 33}, {250u, 100}, {4294967295u, 100}}) {
        dialog_->FrontEnd().SetProgressPosition(position);
        EXPECT_EQ(Get<QProgressBar>(kProgressBar)->value(), shown);
    }
    ShowMessage(u"Failed in loading library.", u"/plugins/input/x.so");
    EXPECT_EQ(messages_,
              QStringList{Shown(u"Failed in loading library."_s, u"/plugins/input/x.so"_s, kMbOk)});
}

// The shown dialog driven by mouse and keys: a click gives the focus, Enter presses Code.
// Neither a job's disabling of the focused control nor a click after it replaces typed
// sizes; a new input path counts at Code as if the field were left; a Code whose press
// starts a preview by leaving the field converts when that preview ends.
TEST_P(BothLayouts, CodeWritesTheTypedSizesOrTheNewPicturesAndWaitsForAPreview) {
    WriteFile(Path("%/tall.dp"), "240 640");
    dialog_->show();
    dialog_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
    Tick(kKeepAspectCheck, false);
    const auto type = [&](int id, const QString &text) {
        QTest::mouseClick(Get(id), Qt::LeftButton);
        QTest::keyClick(Get(id), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(Get(id), text);
    };
    type(kInputPathField, Path("%/a.dp"));
    type(kOutputPathField, u"out.dp"_s);
    type(kOutputWidthField, u"320"_s);
    type(kOutputHeightField, u"240"_s);
    // The input path typed before (or null), how Code is given (0 click, 1 Enter, 2 a click
    // whose press starts a held preview, 3 Alt+C after a click into the input field) and what
    // it writes; the status box then names the file written.
    const std::tuple<const char *, int, const char *> steps[] = {{nullptr, 0, "320 240 24\n"},
                                                                 {nullptr, 3, "320 240 24\n"},
                                                                 {"%/tall.dp", 1, "240 640 24\n"},
                                                                 {"%/a.dp", 2, "640 480 24\n"}};
    for (const auto &[input, how, written] : steps) {
        SCOPED_TRACE(how);
        QFile::remove(Path("%/out.dp"));
        if (input != nullptr) type(kInputPathField, Path(input));
        if (how == 1) QTest::keyClick(Get(kInputPathField), Qt::Key_Return);
        if (how == 3) QTest::mouseClick(Get(kInputPathField), Qt::LeftButton);
        if (how == 3) QTest::keyClick(dialog_.get(), Qt::Key_C, Qt::AltModifier);
        if (how == 0) QTest::mouseClick(Get(kCodeButton), Qt::LeftButton);
        if (how == 2) {
            Tick(kAutoPreviewCheck);
            WriteFile(Path("%/a.dp.hold"), {});
            QTest::mousePress(Get(kCodeButton), Qt::LeftButton);
            QTest::mouseRelease(Get(kCodeButton), Qt::LeftButton);
            EXPECT_TRUE(QTest::qWaitFor([&] {
                return Status() ==
                       u"Now Decoding input data...\nCode waits for the preview to end."_s;
            }));
            QFile::remove(Path("%/a.dp.hold"));
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return ReadFile(Path("%/out.dp")) == written; }, 10000));
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return Status().endsWith(u"Ready.\nWrote out.dp (11 bytes) in "_s +
                                     QDir(dir_.path()).dirName() + u'.');
        }));
        EXPECT_EQ(dialog_->focusWidget(), Get(how % 2 == 1 ? kInputPathField : kCodeButton));
    }
    EXPECT_EQ(messages_, QStringList());
}

// ---- The state kept across a crash --------------------------------------------------------

// A child process (this test again, with DIALOG_TEST_CHILD naming the work folder) types into
// a dialog over the work folder's plug-ins and converts a.dp, whose decoding is held, until it
// is killed. The next start puts back what the user set and asks about the plug-in that was
// running; only Yes leaves it unselected. It is asked once; after a clean end the next start
// shows what the settings kept.
TEST_F(DialogTest, AfterAKillTheNextStartRestoresTheDialogAndOffersToLeaveTheRunningPluginOut) {
    const std::string fresh = Shows();
    const QString work = qEnvironmentVariable("DIALOG_TEST_CHILD");
    if (!work.isEmpty()) {
        opened_ = 0;
        Open(103, kPlugins, work);
        QTest::keyClicks(Get(kInputPathField), work + u"/a.dp"_s);
        QTest::keyClicks(Get(kOutputPathField), u"out.dp"_s);
        QTest::keyClicks(Get(kOutputWidthField), u"320"_s);
        Tick(kKeepAspectCheck);
        Tick(kAntiAliasCheck);
        for (int list : {kInputPluginList, kOutputPluginList}) Pick(list, 1);
        // The decoding says in this log when it has started (and holds).
        qputenv("DIALOG_PLUGIN_LOG", QFile::encodeName(work + u"/decoding.log"_s));
        Press(kCodeButton);
        return;  // the decoding waits in the plug-in while the hold file exists
    }
    WriteFile(Path("%/a.dp.hold"), {});
    QProcess child;
    StartThisTestAgain(child, {u"DIALOG_TEST_CHILD="_s + dir_.path(), u"TMPDIR="_s + dir_.path()});
    const QString state = Path("%/plugins1/state/faltrix/dialog-state"), kept = Path("%/kept");
    const RunningPlugin decoding{PluginKind::Input, Path("%/plugins1/input/b.so")};
    // The file names every call while it runs, also the size reading at Code, which returns
    // at once and leaves the file without it; only the held decoding keeps it named. The file
    // names a call before the call starts, so once the decoding has logged its start, the
    // file holds it until the kill.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ReadFile(Path("%/decoding.log")).contains("Input two GetPictureDIB"); },
        20000));
    ASSERT_TRUE(DialogState::Read(state).value_or(DialogRecord{}).running == QList{decoding})
        << ReadFile(state).toStdString();
    child.kill();
    ASSERT_TRUE(child.waitForFinished() && QFile::copy(state, kept));
    const QStringList question{
        Shown(u"Faltrix ended unexpectedly while the input plug-in \"Input two\" ("_s +
                  decoding.path + u") was running.\nLeave it unselected?"_s,
              u"Faltrix v1.01"_s, kMbYesNo | kMbIconQuestion)};
    // The answer, the dialog then and the questions asked; the first two start from the same
    // file, the last keeps the choice of the one before and is not asked again.
    const std::tuple<int, const char *, QStringList> starts[] = {
        {kIdNo, "%/a.dp|out.dp| 320  |1|1|0|11|11", question},
        {kIdYes, "%/a.dp|out.dp| 320  |1|1|0|00|11", question},
        {kIdYes, "%/a.dp|out.dp| 320  |1|1|0|00|11", QStringList()}};
    for (const auto &[answer, shows, asked] : starts) {
        if (!asked.isEmpty()) {
            ASSERT_TRUE(QFile::remove(state) && QFile::copy(kept, state));
        }
        answer_ = answer;
        messages_.clear();
        Reopen();
        EXPECT_EQ(Shows(), Path(shows).toStdString());
        EXPECT_EQ(messages_, asked) << ReadFile(kept).toStdString();
    }
    // After a clean end the next start shows what the settings kept: no paths and no input
    // sizes, which belong to one picture, but the output size, the check boxes and the
    // plug-ins; a settings file of another folder starts fresh.
    dialog_->close();
    Reopen();
    EXPECT_EQ(Shows(), "|| 320  |1|1|0|00|11");
    Open(103, kPlugins);
    EXPECT_EQ(Shows(), fresh);
}

// A child process (this test again) converts a.dp to out.dp, the output plug-in holding
// while it stores, until it is killed as the OOM killer would. The state file names the
// temporary before the plug-in has it, and the next start removes it; a ".faltrix-" file the
// file does not name, and a name it holds that is not the host's, are left alone.
TEST_F(DialogTest, AfterAKillWhileStoringTheNextStartRemovesTheTemporary) {
    const QString work = qEnvironmentVariable("DIALOG_TEST_CHILD");
    if (!work.isEmpty()) {
        opened_ = 0;
        Open(103, kPlugins, work);
        QTest::keyClicks(Get(kInputPathField), work + u"/a.dp"_s);
        QTest::keyClicks(Get(kOutputPathField), u"out.dp"_s);
        qputenv("DIALOG_PLUGIN_LOG", QFile::encodeName(work + u"/storing.log"_s));
        Press(kCodeButton);
        return;  // the store waits in the plug-in while the hold file exists
    }
    WriteFile(Path("%/store.hold"), {});
    QProcess child;
    StartThisTestAgain(child, {u"DIALOG_TEST_CHILD="_s + dir_.path()});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ReadFile(Path("%/storing.log")).contains("SaveDIBPicture"); }, 20000));
    const auto temporaries = [&] {
        return QDir(dir_.path()).entryList({u".faltrix-*"_s}, QDir::Files | QDir::Hidden);
    };
    ASSERT_EQ(temporaries().size(), 1);
    const QByteArray temporary = QFile::encodeName(dir_.filePath(temporaries().first()));
    const QString state = Path("%/plugins1/state/faltrix/dialog-state");
    EXPECT_EQ(DialogState::Read(state).value_or(DialogRecord{}).temporaries, QList{temporary})
        << ReadFile(state).toStdString();
    child.kill();
    ASSERT_TRUE(child.waitForFinished());
    ASSERT_TRUE(QFile::exists(QFile::decodeName(temporary)));

    // The record names one more file, not a temporary; another ".faltrix-" file is nobody's here.
    WriteFile(Path("%/keep.dp"), "mine");
    WriteFile(Path("%/.faltrix-theirs.dp"), "theirs");
    QByteArray text = ReadFile(state);
    const QByteArray hex = temporary.toHex();
    text.replace('"' + hex + '"',
                 '"' + hex + "\", \"" + QFile::encodeName(Path("%/keep.dp")).toHex() + '"');
    QFile::remove(state);
    WriteFile(state, text);
    ASSERT_EQ(DialogState::Read(state).value_or(DialogRecord{}).temporaries.size(), 2)
        << text.toStdString();

    Reopen();
    EXPECT_FALSE(QFile::exists(QFile::decodeName(temporary)));
    EXPECT_EQ(temporaries().join(u' ').toStdString(), ".faltrix-theirs.dp");
    EXPECT_EQ(ReadFile(Path("%/keep.dp")), "mine");
    EXPECT_FALSE(QFile::exists(Path("%/out.dp")));
}

// The compression level confirmed in the bundled PNG plug-in's own dialog is what the next
// run of the dialog program (a child run of this test over the same folders) shows there.
TEST_F(DialogTest, ABundledPluginsConfirmedSettingIsKeptForTheNextRun) {
    const QString work = qEnvironmentVariable("DIALOG_TEST_CHILD");
    const QString base = (work.isEmpty() ? dir_.path() : work) + u"/kept"_s;
    opened_ = 0;
    Open(103,
         {{"input/a.so", u"in_one"_s},
          {"output/a.so", QStringLiteral(BUNDLED_PLUGIN_DIR "/output/png.so")}},
         base);
    // The level the plug-in's dialog shows; the parent confirms 9 in it, the child cancels.
    int shown = -1;
    QTimer answer;
    AnswerModal(answer, dialog_.get(), [&](QWidget *modal) {
        auto *level = modal->findChild<QSpinBox *>();
        if (level == nullptr) return false;
        shown = level->value();
        level->setValue(9);
        return QMetaObject::invokeMethod(modal, work.isEmpty() ? "accept" : "reject");
    });
    Press(kOutputDetailButton);
    if (!work.isEmpty()) {
        WriteFile(work + u"/shown"_s, QByteArray::number(shown));
        return;
    }
    EXPECT_EQ(shown, 4);  // the default
    QProcess child;
    StartThisTestAgain(child, {u"DIALOG_TEST_CHILD="_s + dir_.path()});
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_EQ(ReadFile(Path("%/shown")), "9");
}

// ---- How the built dialog looks ----------------------------------------------------------

// Each layout fitted to a roomy screen and to the 240 x 320 one layout 102 is made for.
struct Case {
    int layout;
    QSize screen;
};
class Look : public ::testing::TestWithParam<Case> {};
INSTANTIATE_TEST_SUITE_P(Screens, Look,
                         ::testing::Values(Case{102, {1024, 768}}, Case{103, {1024, 768}},
                                           Case{102, {240, 320}}),
                         [](const auto &info) {
                             return "Layout" + std::to_string(info.param.layout) + "On" +
                                    std::to_string(info.param.screen.width());
                         });

TEST_P(Look, MarginsTheStylesWhereTheyFitAndABarThatIsNoTextField) {
    StartApp();
    const auto [id, screen] = GetParam();
    QDialog dialog;
    const LayoutSpec &layout = *FindLayout(id);
    const ControlMap controls = BuildLayout(&dialog, layout);
    FitLayout(&dialog, layout, controls, screen);
    ASSERT_EQ(dialog.size().boundedTo(screen), dialog.size());
    // Beyond the style's margins the controls keep only the layout's own edge, a dialog unit
    // or two; on the small screen the margins may narrow or go.
    QRect bounds;
    for (const auto &[control, widget] : controls.InOrder()) bounds |= widget->geometry();
    QStyle *style = dialog.style();
    const int kept[] = {bounds.left(), bounds.top(), dialog.width() - 1 - bounds.right(),
                        dialog.height() - 1 - bounds.bottom()};
    const QStyle::PixelMetric sides[] = {QStyle::PM_LayoutLeftMargin, QStyle::PM_LayoutTopMargin,
                                         QStyle::PM_LayoutRightMargin,
                                         QStyle::PM_LayoutBottomMargin};
    for (int side = 0; side < 4; ++side) {
        const int margin = style->pixelMetric(sides[side], nullptr, &dialog);
        ASSERT_GT(margin, 2);
        EXPECT_TRUE(screen.width() <= 240 || kept[side] >= margin) << side;
        EXPECT_LE(kept[side], margin + 6) << side;
    }
    // An empty progress bar is not painted as the empty path fields beside it are.
    dialog.show();
    auto *bar = qobject_cast<QProgressBar *>(controls.Find(kProgressBar));
    ASSERT_EQ(bar->value() <= bar->minimum(), true);
    EXPECT_NE(PaintedCentre(bar), PaintedCentre(controls.Find(kOutputPathField)));
    // The automatic-preview box has a caption in layout 102, where its row has room.
    EXPECT_EQ(ControlText(controls.Find(kAutoPreviewCheck)), id == 102 ? u"Auto"_s : QString());
}

// ---- Real input on xcb ----------------------------------------------------------------------

// The dialog on Qt's xcb platform under Xvfb, driven by real input events where the offscreen
// tests' events sent straight to a widget could hide a fault: xdotool moves the pointer, presses
// its buttons and types through the X server's XTest extension, so each event reaches the
// dialog as a user's does, through the server, the window under the pointer and the keyboard
// focus. A file is dragged onto the input field from a second program (app_drag_source) over
// the X drag-and-drop protocol. There is no window manager; the window that is to take the keys
// is given the focus as one would give it. Every wait polls for what it waits for, with a
// generous limit. Run by ctest as app_test_real_input_on_xcb; skipped, saying why, elsewhere.
constexpr int kPatience = 20000;  // ms: the limit of every wait

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
// work folder holds x.dq (64 x 32).
class RealInput : public DialogTest {
protected:
    void SetUp() override {
        if (qEnvironmentVariable("QT_QPA_PLATFORM") != u"xcb"_s ||
            qEnvironmentVariable("DISPLAY").isEmpty())
            GTEST_SKIP() << "needs an X display and QT_QPA_PLATFORM=xcb (ctest runs it under "
                            "Xvfb as app_test_real_input_on_xcb)";
        if (QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            GTEST_SKIP() << "xdotool is not installed";
        DialogTest::SetUp();
        Open(103, {{"input/a.so", u"in_dq"_s},
                   {"input/b.so", u"in_one"_s},
                   {"output/a.so", u"out_two"_s},
                   {"output/b.so", u"out_one"_s}});
        WriteFile(Path("%/x.dq"), "64 32");
        dialog_->move(0, 0);
        dialog_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
        Xdotool({u"windowfocus"_s, QString::number(dialog_->winId())});
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog_.get(); },
                                    kPatience));
    }
    void TearDown() override {
        QFile::remove(Path("%/x.dq.hold"));
        DialogTest::TearDown();
    }
    void Click(int id) {
        MoveTo(Centre(Get(id)));
        Xdotool({u"click"_s, u"1"_s});
    }
    // Clicks into a field, selects its text and types `text` over it, then `keys`.
    void TypeOver(int id, const QString &text, const QString &keys) {
        Click(id);
        EXPECT_TRUE(QTest::qWaitFor([&] { return Get(id)->hasFocus(); }, kPatience));
        Xdotool({u"key"_s, u"ctrl+a"_s});
        Xdotool({u"type"_s, text});
        Xdotool({u"key"_s, keys});
        EXPECT_TRUE(QTest::qWaitFor([&] { return Field(id) == text; }, kPatience));
    }
};

// A file dragged from another program onto the input field replaces the field's text (not
// pasted into it) and is taken as a chosen file: its plug-in, its sizes.
TEST_F(RealInput, AFileDraggedOntoTheInputFieldReplacesItsTextAndIsOpened) {
    SetField(kInputPathField, u"typed before"_s);
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
    source.start(QStringLiteral(DRAG_SOURCE),
                 {Path("%/x.dq"), QString::number(from.x() - 50), QString::number(from.y() - 50)});
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
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return Field(kInputPathField) == Path("%/x.dq"); }, kPatience))
        << Field(kInputPathField).toStdString();
    source.terminate();
    EXPECT_TRUE(QTest::qWaitFor([&] { return source.state() == QProcess::NotRunning; }, kPatience));
    EXPECT_EQ(Sizes(), u"64 64 32 32"_s);
    EXPECT_EQ(dialog_->CurrentInputIndex(), 0);
}

// An output name typed and left while a preview runs is matched to its plug-in once the
// preview has ended, not before.
TEST_F(RealInput, AnOutputNameTypedDuringAPreviewIsMatchedWhenItEnds) {
    SetField(kInputPathField, Path("%/x.dq"));
    Pick(kOutputPluginList, 1);
    WriteFile(Path("%/x.dq.hold"), {});
    Click(kShowPreviewButton);
    ASSERT_TRUE(QTest::qWaitFor([] { return JobRunning(); }, kPatience));
    TypeOver(kOutputPathField, u"q.two"_s, u"Tab"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Get(kOutputPathField)->hasFocus(); }, kPatience));
    EXPECT_TRUE(JobRunning());
    EXPECT_EQ(dialog_->CurrentOutputIndex(), 1);
    QFile::remove(Path("%/x.dq.hold"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !JobRunning() && dialog_->CurrentOutputIndex() == 0; },
                                kPatience));
    EXPECT_EQ(Field(kOutputPathField), u"q.two"_s);
}

// ---- One instance at a time ---------------------------------------------------------------

// Starts the program under the instance name "faltrix-test-<pid>" on the offscreen platform.
void StartProgram(QProcess &process, const QStringList &arguments = {}) {
    process.setEnvironment(QProcess::systemEnvironment()
                           << u"QT_QPA_PLATFORM=offscreen"_s
                           << u"FALTRIX_INSTANCE_NAME=faltrix-test-"_s + QString::number(getpid()));
    process.start(QStringLiteral(FALTRIX_EXECUTABLE), arguments);
    ASSERT_TRUE(process.waitForStarted());
}

// A killed instance leaves its lock behind; the next start takes it over. A second start
// then asks that first instance to come to the front and ends with 0.
TEST(SingleInstance, StaleLockIsTakenOverAndASecondStartRaisesTheFirst) {
    StartApp();
    QProcess killed;
    StartProgram(killed);
    SingleInstance first(u"faltrix-test-"_s + QString::number(getpid()));
    // The program holds its lock once the lock file and its socket exist.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(first.SocketPath()); }, 20000));
    EXPECT_FALSE(first.TryBecomeFirst());
    killed.kill();
    ASSERT_TRUE(killed.waitForFinished());
    EXPECT_TRUE(QFile::exists(first.LockPath()));
    ASSERT_TRUE(first.TryBecomeFirst());
    QSignalSpy raised(&first, &SingleInstance::RaiseRequested),
        opened(&first, &SingleInstance::FileRequested);
    // The file the command line names after the options is handed over as an absolute path.
    QProcess second;
    StartProgram(second, {u"--some"_s, u"picture 1%.png"_s});
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(std::pair(second.exitStatus(), second.exitCode()),
              std::pair(QProcess::NormalExit, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return raised.count() == 1; }, 5000));
    ASSERT_EQ(opened.count(), 1);
    EXPECT_EQ(opened.front().front().toString(),
              QDir::current().absoluteFilePath(u"picture 1%.png"_s));
    // A name that is not UTF-8 goes over as its bytes and arrives with the same escape.
    const QString latin1 = QDir::current().absoluteFilePath(u"caf"_s) + QChar(0xDCE9) + u".png"_s;
    SingleInstance asking(u"faltrix-test-"_s + QString::number(getpid()));
    ASSERT_TRUE(asking.AskFirstToRaise(5000, latin1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return opened.count() == 2; }, 5000));
    EXPECT_EQ(opened.back().front().toString(), latin1);
}

}  // namespace
}  // namespace faltrix
