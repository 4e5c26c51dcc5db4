// Faltrix: the picture converter's dialog.
#include <QApplication>
#include <QStringList>

#include "faltrix/app/application.h"
#include "faltrix/plugin_list.h"
#include "faltrix/temporaries.h"
#include "faltrix/text_qt.h"

int main(int argc, char **argv) {
    // The two plug-in lists come into being first, the input list before the output list, so
    // that at exit the output list is torn down before the input list.
    faltrix::InputPlugins();
    faltrix::OutputPlugins();
    // A picture being stored when the program is stopped or a plug-in crashes leaves no
    // temporary beside the output.
    faltrix::RemoveTemporariesOnSignals();
    // Qt takes its own options from the command line; a file named after them is opened. What
    // Qt leaves in argv is read from its bytes, since QApplication::arguments() would turn a
    // name's bytes that are not UTF-8 into U+FFFD; the input field holds them as escapes.
    QApplication app(argc, argv);
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << faltrix::NameFromBytes(QByteArray(argv[i]));
    return faltrix::RunFaltrix(app, {}, faltrix::FileArgument(arguments));
}
