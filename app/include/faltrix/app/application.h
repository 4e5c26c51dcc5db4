// The program's life: single instance, layout by screen width, the modal dialog.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QApplication;

namespace faltrix {

class MainDialog;

// The dialog layout for a screen of this width in pixels: 102 up to and including 240, 103
// above.
int LayoutForScreenWidth(int screenWidth);

// The main entry after QApplication exists: 0 when another instance runs (it was asked to
// come to the front and to open `file`, when given), else the modal dialog's result, `file`
// opened as the input once the dialog shows. `onShown` (optional) is called once the dialog
// is first shown.
int RunFaltrix(QApplication &app, const std::function<void(MainDialog &)> &onShown = {},
               const QString &file = {});

// The file the command line names: the first argument after the program's that is no option
// (Qt has taken its own), as an absolute path; empty for none.
QString FileArgument(const QStringList &arguments);

}  // namespace faltrix
