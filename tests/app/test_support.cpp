#include "test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QTextEdit>
#include <QThread>

#include "faltrix/plugin_list.h"

namespace faltrix::test {

QApplication &App() {
    static int argc = 1;
    static char name[] = "app_test";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        static QTemporaryDir logDir;
        qputenv("DIALOG_PLUGIN_LOG", QFile::encodeName(logDir.filePath(QStringLiteral("plugin.log"))));
        return new QApplication(argc, argv);
    }();
    return *app;
}

ScriptedInteraction::ScriptedInteraction() { SetInteraction(this); }
ScriptedInteraction::~ScriptedInteraction() { SetInteraction(nullptr); }

std::optional<QString> ScriptedInteraction::ChooseFile(QWidget *, const FileChooserRequest &request) {
    chooserRequests.push_back(request);
    if (chooserAnswers.empty()) return std::nullopt;
    const QString answer = chooserAnswers.front();
    chooserAnswers.pop_front();
    if (answer.isEmpty()) return std::nullopt;
    return answer;
}

int ScriptedInteraction::MessageBox(QWidget *, const QString &text, const QString &caption, int style) {
    messages.push_back({text, caption, style});
    if (onMessage) onMessage(messages.back());
    if (messageAnswers.empty()) return kIdOk;
    const int answer = messageAnswers.front();
    messageAnswers.pop_front();
    return answer;
}

PluginFolders::PluginFolders() {
    QDir(dir_.path()).mkpath(QStringLiteral("input"));
    QDir(dir_.path()).mkpath(QStringLiteral("output"));
    InputPlugins().SetFolderOverride(QFile::encodeName(dir_.filePath(QStringLiteral("input"))).toStdString());
    OutputPlugins().SetFolderOverride(QFile::encodeName(dir_.filePath(QStringLiteral("output"))).toStdString());
}

PluginFolders::~PluginFolders() {
    InputPlugins().Teardown();
    OutputPlugins().Teardown();
    InputPlugins().SetFolderOverride({});
    OutputPlugins().SetFolderOverride({});
}

void PluginFolders::AddDialogPlugin(bool input, const QString &name, const QString &variant) {
    const QString target = QStringLiteral(DIALOG_PLUGIN_DIR "/") + variant + QStringLiteral(".so");
    QFile::link(target, dir_.filePath((input ? QStringLiteral("input/") : QStringLiteral("output/")) + name));
}

void PluginFolders::AddCodec(bool input, const QString &name, const QString &codec) {
    const QString kind = input ? QStringLiteral("input/") : QStringLiteral("output/");
    QFile::link(QStringLiteral(FALTRIX_PLUGIN_DIR "/") + kind + codec + QStringLiteral(".so"),
                dir_.filePath(kind + name));
}

bool WaitUntil(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

void WriteTextPicture(const QString &path, int width, int height) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::number(width) + ' ' + QByteArray::number(height));
}

QString FieldText(MainDialog &dialog, int id) { return qobject_cast<QLineEdit *>(dialog.Control(id))->text(); }

void SetField(MainDialog &dialog, int id, const QString &text) {
    qobject_cast<QLineEdit *>(dialog.Control(id))->setText(text);
}

void TypeInto(MainDialog &dialog, int id, const QString &text) {
    auto *field = qobject_cast<QLineEdit *>(dialog.Control(id));
    field->clear();
    QTest::keyClicks(field, text);
}

void SetChecked(MainDialog &dialog, int id, bool checked) {
    qobject_cast<QCheckBox *>(dialog.Control(id))->setChecked(checked);
}

QString StatusText(MainDialog &dialog) {
    return qobject_cast<QTextEdit *>(dialog.Control(kStatusBox))->toPlainText();
}

QStringList PluginLog() {
    QFile file(qEnvironmentVariable("DIALOG_PLUGIN_LOG"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void ClearPluginLog() { QFile::remove(qEnvironmentVariable("DIALOG_PLUGIN_LOG")); }

}  // namespace faltrix::test
