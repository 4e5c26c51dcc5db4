// The plug-ins' settings dialog: a form of spin boxes, drop-down lists and tick boxes.
#include "faltrix/kit/settings_dialog.h"
#include "faltrix/kit/options.h"

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

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

// A window manager frames a dialog only after it is shown, and may then put the title bar
// above the top of a small screen: the dialog is moved back, frame included, a few times at
// most.
class KeepFrameOnScreen : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::Move && event->type() != QEvent::Show) return false;
        auto *window = static_cast<QWidget *>(watched);
        const QRect available = window->screen()->availableGeometry();
        const QRect frame = window->frameGeometry();
        const QPoint shift(std::max(0, available.left() - frame.left()),
                           std::max(0, available.top() - frame.top()));
        if (!shift.isNull() && corrections_ < 3) {
            ++corrections_;
            QTimer::singleShot(0, window, [window, shift] { window->move(window->pos() + shift); });
        }
        return false;
    }

private:
    int corrections_ = 0;
};

// On a screen narrower than the form (a handheld's 240 x 320), each label goes above its
// field and wraps, and the drop-down lists give up their longest entry's width; on one lower
// than the form, the rows scroll above the buttons. The whole dialog, with a window manager's
// frame, then keeps to the screen.
void FitToScreen(QDialog *dialog, QVBoxLayout *outer, QWidget *rows, QFormLayout *form) {
    const QWidget *parent = dialog->parentWidget();
    const QScreen *screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    dialog->ensurePolished();  // the style's sizes, before any are measured
    // Room for a frame and a title bar, which are not known before the dialog is shown.
    constexpr int kFrameWidth = 16, kFrameHeight = 40;
    const QRect available = screen->availableGeometry();
    const int room = available.width() - kFrameWidth;
    const auto relayout = [&] {  // hints measured anew after the rows changed
        form->invalidate();
        rows->updateGeometry();
        outer->invalidate();
        outer->activate();
    };
    int width = std::min(room, dialog->sizeHint().width());
    if (dialog->sizeHint().width() > room) {
        form->setRowWrapPolicy(QFormLayout::WrapAllRows);
        const QList<QLabel *> labels = rows->findChildren<QLabel *>();
        for (QLabel *label : labels) {
            label->setWordWrap(true);
            // Text measured at a fractional scale can paint wider than measured: lines are
            // broken a character short of the edge.
            label->setContentsMargins(0, 0, label->fontMetrics().averageCharWidth(), 0);
        }
        for (QComboBox *combo : rows->findChildren<QComboBox *>()) {
            combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
            combo->setMinimumContentsLength(8);
        }
        relayout();
        // The buttons may need a little more than the room; the frame allowance takes it.
        width = std::max(room, dialog->minimumSizeHint().width());
        dialog->setFixedWidth(width);
        // A wrapped label's height depends on its width, which the form does not ask it for.
        const QMargins margins = outer->contentsMargins();
        const int labelWidth = width - margins.left() - margins.right();
        for (QLabel *label : labels) {
            label->setMaximumWidth(labelWidth);  // the form would give it its own preferred width
            label->setMinimumHeight(label->heightForWidth(labelWidth));
        }
        relayout();
    }
    const int tall = available.height() - kFrameHeight;
    if (dialog->sizeHint().height() > tall) {
        auto *scroll = new QScrollArea(dialog);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->setWidgetResizable(true);
        delete outer->replaceWidget(rows, scroll);
        scroll->setWidget(rows);
        dialog->setMaximumHeight(tall);
        dialog->resize(width, tall);
    } else {
        dialog->resize(width, dialog->sizeHint().height());
    }
    // Centred on its parent as usual, but placed here, frame included, so that the title bar
    // is never above the screen's top (a window manager frames it only after it is shown).
    dialog->installEventFilter(new KeepFrameOnScreen(dialog));
    const QPoint centre = parent != nullptr ? parent->frameGeometry().center() : available.center();
    const QSize size = dialog->size() + QSize(kFrameWidth, kFrameHeight);
    const auto within = [](int wanted, int low, int high) {
        return std::max(low, std::min(wanted, high));
    };
    dialog->move(within(centre.x() - size.width() / 2, available.left(),
                        available.right() + 1 - size.width()),
                 within(centre.y() - size.height() / 2, available.top(),
                        available.bottom() + 1 - size.height()));
}

}  // namespace

bool ShowSettingsDialog(HWND parent, const std::string &title, std::vector<Setting> *settings) {
    if (!settings) return false;
    // Widgets exist only on the application's thread; without an application (the command
    // line) there is nothing to show.
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) return false;

    QDialog dialog(reinterpret_cast<QWidget *>(parent));
    dialog.setWindowTitle(QString::fromStdString(title));
    auto *outer = new QVBoxLayout(&dialog);
    auto *rows = new QWidget(&dialog);
    auto *form = new QFormLayout(rows);
    form->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(rows);
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
    outer->addWidget(buttons);
    FitToScreen(&dialog, outer, rows, form);

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
