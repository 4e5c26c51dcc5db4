// The program's life after QApplication exists.
#include "faltrix/app/application.h"

#include <QApplication>
#include <QScreen>

#include "faltrix/app/main_dialog.h"
#include "faltrix/app/single_instance.h"
#include "faltrix/text_qt.h"

namespace faltrix {

int LayoutForScreenWidth(int screenWidth) { return screenWidth > 240 ? 103 : 102; }

QString FileArgument(const QStringList &arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (!arguments[i].startsWith(QLatin1Char('-'))) return AbsoluteName(arguments[i]);
    }
    return {};
}

int RunFaltrix(QApplication &app, const std::function<void(MainDialog &)> &onShown,
               const QString &file) {
    SingleInstance instance;
    if (!instance.TryBecomeFirst()) {
        // Another instance runs: hand it the file, ask it to come to the front, show nothing,
        // end with 0.
        instance.AskFirstToRaise(1000, file);
        return 0;
    }
    const QScreen *screen = app.primaryScreen();
    const int screenWidth = screen != nullptr ? screen->geometry().width() : 1024;
    MainDialog dialog(LayoutForScreenWidth(screenWidth));
    QObject::connect(&instance, &SingleInstance::RaiseRequested, &dialog,
                     &MainDialog::BringToFront);
    QObject::connect(&instance, &SingleInstance::FileRequested, &dialog, &MainDialog::OpenInput);
    if (!file.isEmpty()) {
        QObject::connect(
            &dialog, &MainDialog::FirstShown, &dialog, [&dialog, file] { dialog.OpenInput(file); },
            Qt::QueuedConnection);
    }
    if (onShown)
        QObject::connect(&dialog, &MainDialog::FirstShown, &dialog,
                         [&dialog, &onShown] { onShown(dialog); });
    return dialog.exec();
}

}  // namespace faltrix
