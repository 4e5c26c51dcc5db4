// Shared pieces of the dialog's tests: the application object, scripted answers to the
// dialog's questions, temporary plug-in folders and waiting while the event loop runs.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "faltrix/app/main_dialog.h"
#include "faltrix/app/user_interaction.h"

class QApplication;

namespace faltrix::test {

// The one QApplication of the test program (offscreen platform).
QApplication &App();

// Answers the file chooser and the message boxes from scripts, and records what was asked.
class ScriptedInteraction final : public UserInteraction {
public:
    struct Shown {
        QString text;
        QString caption;
        int style;
    };
    ScriptedInteraction();
    ~ScriptedInteraction() override;

    std::optional<QString> ChooseFile(QWidget *owner, const FileChooserRequest &request) override;
    int MessageBox(QWidget *owner, const QString &text, const QString &caption, int style) override;

    std::deque<QString> chooserAnswers;  // an empty path or none left: cancel
    std::deque<int> messageAnswers;                      // empty: kIdOk
    std::vector<FileChooserRequest> chooserRequests;
    std::vector<Shown> messages;
    // Runs while a message box would be open (e.g. to look at the fields at that moment).
    std::function<void(const Shown &)> onMessage;
};

// A temporary folder with input/ and output/ plug-in folders, to which both plug-in lists
// are pointed; the lists go back to their own folders afterwards.
class PluginFolders {
public:
    PluginFolders();
    ~PluginFolders();
    // Links a built library into a folder under `name` (names order the lists).
    void AddDialogPlugin(bool input, const QString &name, const QString &variant);
    void AddCodec(bool input, const QString &name, const QString &codec);
    QString Root() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};

// Serves events until `done` holds or `timeoutMs` passed; whether it holds.
bool WaitUntil(const std::function<bool()> &done, int timeoutMs = 10000);

// Writes a text picture "<width> <height>" of the dialog test plug-ins.
void WriteTextPicture(const QString &path, int width, int height);

// Text of a line-edit control, and typing into one as the user does (textEdited).
QString FieldText(MainDialog &dialog, int id);
void SetField(MainDialog &dialog, int id, const QString &text);
void TypeInto(MainDialog &dialog, int id, const QString &text);
void SetChecked(MainDialog &dialog, int id, bool checked);
QString StatusText(MainDialog &dialog);

// Lines DIALOG_PLUGIN_LOG received (each "<description> <event>").
QStringList PluginLog();
void ClearPluginLog();

}  // namespace faltrix::test
