// Opens the dialog with the bundled plug-ins, previews a picture, converts it to PNG beside
// it and saves a picture of the dialog: faltrix_screenshot <output.png> <picture> [layout]
// [detail=<ext>]. The picture's path is shown as given (scripts/screenshots.sh gives a bare
// name). The layout follows the screen width as in the program unless given. With
// detail=<ext>, the output is then named with that extension, which picks its plug-in, and
// the whole screen is saved while that plug-in's Detail dialog is open, with the frames of a
// window manager if one runs. Used by scripts/screenshots.sh under Xvfb.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QTimer>

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

// Names the output with `extension`, opens its plug-in's Detail dialog and saves the whole
// screen once that dialog is shown (framed, when a window manager runs); the dialog is then
// cancelled and the program ends as the user ends it.
bool SaveWithDetail(faltrix::MainDialog &dialog, const QString &output, const QString &extension) {
    auto *outputField = qobject_cast<QLineEdit *>(dialog.Control(faltrix::kOutputPathField));
    outputField->setText(QStringLiteral("chart.") + extension);
    emit outputField->editingFinished();
    Settle(100);
    bool saved = false;
    QTimer look;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&look, &QTimer::timeout, [&] {
        QWidget *detail = QApplication::activeModalWidget();
        if (detail == nullptr || !detail->isVisible()) return;
        // A window manager frames a window a moment after it is shown; without one, a second
        // is long enough to know.
        if (detail->frameGeometry() == detail->geometry() && waited.elapsed() < 1000) return;
        look.stop();
        Settle(200);
        saved = detail->screen()->grabWindow(0).save(output);
        if (!saved) std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        if (auto *box = qobject_cast<QDialog *>(detail)) box->reject();
        else detail->close();
    });
    look.start(20);
    dialog.Command(faltrix::kOutputDetailButton, faltrix::kNotifyClicked);
    dialog.Command(faltrix::kExitButton, faltrix::kNotifyClicked);
    return saved;
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
    int layout = faltrix::LayoutForScreenWidth(app.primaryScreen()->geometry().width());
    QString detail;
    for (int i = 3; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument.startsWith(QStringLiteral("detail="))) detail = argument.mid(7);
        else layout = argument.toInt();
    }

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

    if (!detail.isEmpty()) return SaveWithDetail(dialog, output, detail) ? 0 : 1;
    if (!dialog.grab().save(output)) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    // Ended as the user ends it, so that the state file it wrote marks a clean end.
    dialog.Command(faltrix::kExitButton, faltrix::kNotifyClicked);
    return 0;
}
