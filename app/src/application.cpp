// The program's life after QApplication exists.
#include "faltrix/app/application.h"

#include <QApplication>
#include <QScreen>

#include "faltrix/app/main_dialog.h"
#include "faltrix/app/single_instance.h"

namespace faltrix {

int LayoutForScreenWidth(int screenWidth) { return screenWidth > 240 ? 103 : 102; }

int RunFaltrix(QApplication &app, const std::function<void(MainDialog &)> &onShown) {
    SingleInstance instance;
    if (!instance.TryBecomeFirst()) {
        // Another instance runs: ask it to come to the front, show nothing, end with 0.
        instance.AskFirstToRaise();
        return 0;
    }
    const QScreen *screen = app.primaryScreen();
    const int screenWidth = screen != nullptr ? screen->geometry().width() : 1024;
    MainDialog dialog(LayoutForScreenWidth(screenWidth));
    QObject::connect(&instance, &SingleInstance::RaiseRequested, &dialog, &MainDialog::BringToFront);
    if (onShown) QObject::connect(&dialog, &MainDialog::FirstShown, &dialog, [&dialog, &onShown] { onShown(dialog); });
    return dialog.exec();
}

}  // namespace faltrix
