// The plug-ins' settings dialog: a form of spin boxes, drop-down lists and tick boxes.
#include "faltrix/kit/settings_dialog.h"
#include "faltrix/kit/options.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSettings>
#include <QSpinBox>
#include <QThread>

namespace faltrix::kit {
namespace {

// The file the program named for kept settings; empty when it named none.
QString KeptFile() {
    const QCoreApplication *app = QCoreApplication::instance();
    return app != nullptr ? app->property(kKeptSettingsProperty).toString() : QString();
}

// A group per dialog, named by its title, and a key per option, named by the option's key.
QString KeptKey(const std::string &title, const std::string &name) {
    return QString::fromStdString(title).replace(QLatin1Char('/'), QLatin1Char('-')) +
           QLatin1Char('/') +
           QString::fromStdString(name).replace(QLatin1Char('/'), QLatin1Char('-'));
}

// What a row is kept under: its option's key; a row built without one, its label.
const std::string &KeptName(const Setting &s) { return s.key.empty() ? s.label : s.key; }

}  // namespace

bool ShowSettingsDialog(HWND parent, const std::string &title, std::vector<Setting> *settings) {
    if (!settings) return false;
    // Widgets exist only on the application's thread; without an application (the command
    // line) there is nothing to show.
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) return false;

    QDialog dialog(reinterpret_cast<QWidget *>(parent));
    dialog.setWindowTitle(QString::fromStdString(title));
    auto *form = new QFormLayout(&dialog);
    std::vector<QWidget *> editors;
    for (const Setting &s : *settings) {
        const QString label = QString::fromStdString(s.label);
        QWidget *editor = nullptr;
        switch (s.kind) {
        case Setting::Kind::Integer: {
            auto *spin = new QSpinBox(&dialog);
            spin->setRange(s.minimum, s.maximum);
            spin->setValue(s.value);
            editor = spin;
            break;
        }
        case Setting::Kind::Choice: {
            auto *combo = new QComboBox(&dialog);
            for (const std::string &c : s.choices) combo->addItem(QString::fromStdString(c));
            combo->setCurrentIndex(s.value);
            editor = combo;
            break;
        }
        case Setting::Kind::Flag: {
            auto *box = new QCheckBox(&dialog);
            box->setChecked(s.value != 0);
            editor = box;
            break;
        }
        }
        editor->setObjectName(label);
        form->addRow(label, editor);
        editors.push_back(editor);
    }
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);

    if (dialog.exec() != QDialog::Accepted) return false;
    const QString file = KeptFile();
    QSettings kept(file, QSettings::IniFormat);
    for (size_t i = 0; i < settings->size(); ++i) {
        Setting &s = (*settings)[i];
        switch (s.kind) {
        case Setting::Kind::Integer: s.value = static_cast<QSpinBox *>(editors[i])->value(); break;
        case Setting::Kind::Choice:
            s.value = static_cast<QComboBox *>(editors[i])->currentIndex();
            break;
        case Setting::Kind::Flag:
            s.value = static_cast<QCheckBox *>(editors[i])->isChecked() ? 1 : 0;
            break;
        }
        if (!file.isEmpty()) kept.setValue(KeptKey(title, KeptName(s)), s.value);
    }
    return true;
}

int KeptValue(const std::string &title, const std::string &key, const std::string &label,
              int initial, int minimum, int maximum) {
    const QString file = KeptFile();
    if (file.isEmpty()) return initial;
    QSettings kept(file, QSettings::IniFormat);
    const QString name = KeptKey(title, key), old = KeptKey(title, label);
    // Carried over as it was, in range or not: the file keeps what the user confirmed.
    if (!kept.contains(name) && old != name && kept.contains(old)) {
        kept.setValue(name, kept.value(old));
        kept.remove(old);
    }
    bool ok = false;
    const int value = kept.value(name).toInt(&ok);
    return ok && value >= minimum && value <= maximum ? value : initial;
}

bool TakeKeptOptions(const std::string &title, Options *options) {
    std::vector<Setting> form = options->Form();
    for (Setting &row : form) {
        const int highest = row.kind == Setting::Kind::Integer ? row.maximum
                            : row.kind == Setting::Kind::Flag
                                ? 1
                                : static_cast<int>(row.choices.size()) - 1;
        row.value = KeptValue(title, KeptName(row), row.label, row.value,
                              row.kind == Setting::Kind::Integer ? row.minimum : 0, highest);
    }
    options->Take(form);
    return true;
}

bool ConfigureOptions(HWND parent, const std::string &title, Options *options) {
    std::vector<Setting> form = options->Form();
    if (!ShowSettingsDialog(parent, title, &form)) return false;
    options->Take(form);
    return true;
}

}  // namespace faltrix::kit
