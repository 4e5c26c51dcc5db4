// The dialog's conversations with the user that wait for an answer: the file chooser and the
// message boxes. They go through one replaceable object, so that tests can answer them
// without a modal loop.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string_view>

class QFileDialog;
class QMessageBox;
class QUrl;
class QWidget;

namespace faltrix {

// Message box styles and answers as numbers: a style adds a button set (low four bits)
// and an icon (next four bits).
inline constexpr int kMbOk = 0x0;
inline constexpr int kMbYesNoCancel = 0x3;
inline constexpr int kMbYesNo = 0x4;
inline constexpr int kMbIconHand = 0x10;
inline constexpr int kMbIconQuestion = 0x20;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

struct FileChooserRequest {
    QString title;
    QStringList filters;        // Qt name filters, "description (pattern ...)", in order
    bool existingOnly = false;  // the input chooser accepts only existing files
    QString folder;             // where the chooser starts; empty: Qt's choice
};

class UserInteraction {
public:
    virtual ~UserInteraction() = default;
    // Runs the file chooser; the chosen path, or nothing when the user cancelled.
    virtual std::optional<QString> ChooseFile(QWidget *owner, const FileChooserRequest &request);
    // Shows a message box, with `informative` (when not empty) below its text; the answer
    // (kIdOk, kIdYes, kIdNo, ...).
    virtual int MessageBox(QWidget *owner, const QString &text, const QString &caption, int style,
                           const QString &informative);
    // Opens a file or folder the way the desktop opens it (QDesktopServices).
    virtual void OpenUrl(const QUrl &url);
};

// The object in use; the default runs real Qt dialogs.
UserInteraction &Interaction();
// Replaces it (null puts the default back).
void SetInteraction(UserInteraction *interaction);

// The chooser the default runs: Qt's own file dialog (not the platform's), with the title,
// the filters with the first preselected, no file name, in the request's folder, and for the
// input chooser existing files only. The output chooser is a save dialog that adds the chosen
// filter's first extension to a name without one; nothing is asked about overwriting.
std::unique_ptr<QFileDialog> MakeFileDialog(QWidget *owner, const FileChooserRequest &request);
// The message box the default runs: the text with "\r\n" and "\r" shown as line breaks, the
// caption, a stop icon for kMbIconHand, a question icon and Yes/No for kMbIconQuestion|kMbYesNo.
// kMbYesNoCancel adds Cancel, which Escape and the window's close button answer.
// A non-empty `informative` is the box's informative text, plain text as well.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget *owner, const QString &text,
                                            const QString &caption, int style,
                                            const QString &informative = {});

// UTF-16 text of the system as a QString, with the platform's line breaks ("\r\n", "\r")
// turned into "\n".
QString DisplayText(std::u16string_view text);

}  // namespace faltrix
