// Shared pieces of the dialog's tests: the application object, scripted answers to the
// dialog's questions, temporary plug-in folders, files, and a
// fixture holding a real dialog over the dialog test plug-ins.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <functional>
#include <memory>
#include <optional>

#include "faltrix/app/main_dialog.h"
#include "faltrix/app/user_interaction.h"
#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"

namespace faltrix::test {

using namespace Qt::StringLiterals;

// The one QApplication of the test program (offscreen platform); the dialog test plug-ins
// log to a file of its own.
inline QApplication &App() {
    static int argc = 1;
    static char name[] = "app_test";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        static QTemporaryDir logDir;
        qputenv("DIALOG_PLUGIN_LOG", QFile::encodeName(logDir.filePath(u"plugin.log"_s)));
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Lines the dialog test plug-ins logged (each "<description> <event>").
// A file of the given bytes; a text picture "<width> <height>" of the dialog test plug-ins.
inline void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}
inline void WritePicture(const QString &path, int width, int height) {
    WriteFile(path, QByteArray::number(width) + ' ' + QByteArray::number(height));
}
inline QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Lines the dialog test plug-ins logged (each "<description> <event>").
inline QStringList PluginLog() {
    return QString::fromUtf8(ReadFile(qEnvironmentVariable("DIALOG_PLUGIN_LOG"))).split(u'\n', Qt::SkipEmptyParts);
}
inline void ClearPluginLog() { QFile::remove(qEnvironmentVariable("DIALOG_PLUGIN_LOG")); }

// A message box as the tests see it: "<caption> [<style>] <text>".
inline QString Shown(const QString &caption, int style, const QString &text) {
    return caption + u" ["_s + QString::number(style) + u"] "_s + text;
}

// Answers the file chooser and the message boxes from scripts, and records what was asked.
class ScriptedInteraction final : public UserInteraction {
public:
    ScriptedInteraction() { SetInteraction(this); }
    ~ScriptedInteraction() override { SetInteraction(nullptr); }

    // A request is recorded as "<title>[ (existing)]: <filter> | <filter> ...".
    std::optional<QString> ChooseFile(QWidget *, const FileChooserRequest &request) override {
        const QString kind = request.existingOnly ? u" (existing): "_s : u": "_s;
        requests << request.title + kind + request.filters.join(u" | "_s);
        if (chosen.isEmpty()) return std::nullopt;  // cancelled
        return chosen.takeFirst();
    }
    int MessageBox(QWidget *, const QString &text, const QString &caption, int style) override {
        messages << Shown(caption, style, text);
        if (onMessage) onMessage();
        return answer;
    }

    QStringList chosen;               // the chooser's answers in turn
    int answer = kIdOk;               // every message box's answer
    std::function<void()> onMessage;  // runs while a message box would be open
    QStringList requests, messages;
};

// A temporary folder with input/ and output/ plug-in folders, to which both plug-in lists
// are pointed; the lists go back to their own folders afterwards.
class PluginFolders {
public:
    PluginFolders() {
        for (bool input : {true, false}) {
            QDir(dir_.path()).mkpath(Kind(input));
            List(input).SetFolderOverride(QFile::encodeName(dir_.filePath(Kind(input))).toStdString());
        }
    }
    ~PluginFolders() {
        for (bool input : {true, false}) {
            List(input).Teardown();
            List(input).SetFolderOverride({});
        }
    }
    // Links a library into a folder under `name` (names order the lists).
    void Add(bool input, const QString &name, const QString &library) {
        QFile::link(library, dir_.filePath(Kind(input) + QLatin1Char('/') + name));
    }
    // One of the builds of dialog_plugin.cpp.
    void AddDialogPlugin(bool input, const char *name, const char *variant) {
        Add(input, QString::fromLatin1(name), QStringLiteral(DIALOG_PLUGIN_DIR "/%1.so").arg(QLatin1String(variant)));
    }

private:
    static QString Kind(bool input) { return input ? u"input"_s : u"output"_s; }
    static PluginList &List(bool input) {
        return input ? static_cast<PluginList &>(InputPlugins()) : OutputPlugins();
    }
    QTemporaryDir dir_;
};

// A real dialog (layout 103 unless Layout() says otherwise, no pause after status lines)
// over the dialog test plug-ins, linked out of name order. Input list: "Input one" (one
// pattern pair), "Input two" (two pairs), "Input none" (none), "d.so" (no description).
// Output list: "Output two", "Output one". The current folder is a work folder holding
// a.dp (640 x 480), text.dp (no picture) and folder/.
class DialogTest : public ::testing::Test {
protected:
    virtual int Layout() const { return 103; }
    virtual void LinkPlugins() {
        folders_.AddDialogPlugin(true, "b.so", "in_two");
        folders_.AddDialogPlugin(true, "a.so", "in_one");
        folders_.AddDialogPlugin(true, "d.so", "in_blank");
        folders_.AddDialogPlugin(true, "c.so", "in_none");
        folders_.AddDialogPlugin(false, "b.so", "out_one");
        folders_.AddDialogPlugin(false, "a.so", "out_two");
    }
    void SetUp() override {
        App();
        LinkPlugins();
        dialog_ = std::make_unique<MainDialog>(Layout());
        dialog_->FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
        ClearPluginLog();
        ASSERT_TRUE(QDir(dir_.path()).mkpath(u"folder"_s));
        WritePicture(Path("a.dp"), 640, 480);
        WriteFile(Path("text.dp"), "not a picture");
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    }
    void TearDown() override {
        WaitForJob();
        QDir::setCurrent(previousFolder_);
    }

    QString Path(const char *name) const { return dir_.filePath(QString::fromLatin1(name)); }
    // '%' stands for the work folder.
    QString Expand(const char *text) const { return QString::fromLatin1(text).replace(u'%', dir_.path()); }

    template <class Widget = QWidget>
    Widget *Get(int id) const {
        return qobject_cast<Widget *>(dialog_->Control(id));
    }
    QString Field(int id) const { return Get<QLineEdit>(id)->text(); }
    // The four size fields: input width, output width, input height, output height.
    QString Sizes() const {
        return QStringList{Field(kInputWidthField), Field(kOutputWidthField), Field(kInputHeightField),
                           Field(kOutputHeightField)}
            .join(QLatin1Char(' '));
    }
    void SetField(int id, const QString &text) { Get<QLineEdit>(id)->setText(text); }
    // Typing as the user does (textEdited).
    void Type(int id, const QString &text) {
        Get<QLineEdit>(id)->clear();
        QTest::keyClicks(Get<QLineEdit>(id), text);
    }
    void Tick(int id, bool on = true) { Get<QCheckBox>(id)->setChecked(on); }
    void Press(int id) { Get<QPushButton>(id)->click(); }
    QString Status() const { return Get<QTextEdit>(kStatusBox)->toPlainText(); }
    void WaitForJob() { ASSERT_TRUE(QTest::qWaitFor([] { return !JobRunning(); }, 10000)); }
    void LeaveInputField(Qt::FocusReason reason = Qt::TabFocusReason) {
        QFocusEvent focusOut(QEvent::FocusOut, reason);
        QApplication::sendEvent(Get(kInputPathField), &focusOut);
    }
    // Choosing a list entry as the user does (activated).
    void Choose(int listId, int index) {
        Get<QComboBox>(listId)->setCurrentIndex(index);
        emit Get<QComboBox>(listId)->activated(index);
    }

    const QString previousFolder_ = QDir::currentPath();
    QTemporaryDir dir_;
    PluginFolders folders_;
    ScriptedInteraction answers_;
    std::unique_ptr<MainDialog> dialog_;
};

}  // namespace faltrix::test
