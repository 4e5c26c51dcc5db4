// Opens the dialog with the bundled plug-ins, previews a picture, converts it to PNG beside
// it and saves a picture of the dialog: faltrix_screenshot <output.png> <picture> [layout].
// The picture's path is shown as given (scripts/screenshots.sh gives a bare name). The layout
// follows the screen width as in the program unless given. Used by scripts/screenshots.sh
// under Xvfb.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <cstdio>

#include "faltrix/app/application.h"
#include "faltrix/app/main_dialog.h"
#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"

namespace {

void Settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms || faltrix::JobRunning()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

}  // namespace

int main(int argc, char **argv) {
    faltrix::InputPlugins();
    faltrix::OutputPlugins();
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: faltrix_screenshot <output.png> <picture> [102|103]\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    const QString picture = QString::fromLocal8Bit(argv[2]);
    const int layout = argc > 3
                           ? std::atoi(argv[3])
                           : faltrix::LayoutForScreenWidth(app.primaryScreen()->geometry().width());

    faltrix::MainDialog dialog(layout);
    dialog.show();
    Settle(200);

    // The first input plug-in that can read the picture.
    auto *inputList = qobject_cast<QComboBox *>(dialog.Control(faltrix::kInputPluginList));
    auto *inputField = qobject_cast<QLineEdit *>(dialog.Control(faltrix::kInputPathField));
    inputField->setText(picture);
    for (int i = 0; i < inputList->count(); ++i) {
        inputList->setCurrentIndex(i);
        dialog.Command(faltrix::kInputPluginList, faltrix::kNotifySelChange);
        dialog.Command(faltrix::kInputPathField, faltrix::kNotifyKillFocus);
        if (!qobject_cast<QLineEdit *>(dialog.Control(faltrix::kInputWidthField))->text().isEmpty())
            break;
    }
    // The output plug-in follows the name's extension once the field is left.
    auto *outputField = qobject_cast<QLineEdit *>(dialog.Control(faltrix::kOutputPathField));
    outputField->setText(QFileInfo(picture).completeBaseName() + QStringLiteral(".png"));
    emit outputField->editingFinished();
    qobject_cast<QCheckBox *>(dialog.Control(faltrix::kKeepAspectCheck))->setChecked(true);
    qobject_cast<QCheckBox *>(dialog.Control(faltrix::kAntiAliasCheck))->setChecked(true);
    dialog.Command(faltrix::kShowPreviewButton, faltrix::kNotifyClicked);
    Settle(300);
    // The status box then names the file written.
    QFile::remove(QFileInfo(picture).absolutePath() + QLatin1Char('/') + outputField->text());
    dialog.Command(faltrix::kCodeButton, faltrix::kNotifyClicked);
    Settle(300);
    Settle(100);  // the line after the job's end comes a moment after it

    if (!dialog.grab().save(output)) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    // Ended as the user ends it, so that the state file it wrote marks a clean end.
    dialog.Command(faltrix::kExitButton, faltrix::kNotifyClicked);
    return 0;
}
