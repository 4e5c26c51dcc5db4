// The default conversations with the user: Qt's file dialog and message box.
#include "faltrix/app/user_interaction.h"

#include <algorithm>

#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <QUrl>

namespace faltrix {
namespace {

// Room kept for a window manager's frame and title bar, which are known only once a window
// is shown.
constexpr QSize kFrameAllowance(16, 40);

// Moves a window back onto the screen, a few times at most, when its window manager's frame
// put an edge off it; a window wider than the screen with its frame (a message box sizes
// itself to the whole screen when shown) is narrowed first, its height following its text.
class KeepFrameOnScreen : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::Move && event->type() != QEvent::Show) return false;
        if (corrections_ < 3) {
            ++corrections_;
            auto *window = static_cast<QWidget *>(watched);
            QTimer::singleShot(0, window, [window] { Correct(window); });
        }
        return false;
    }

private:
    static void Correct(QWidget *window) {
        const QRect available = window->screen()->availableGeometry();
        QRect frame = window->frameGeometry();
        const QSize margins = frame.size() - window->size();
        if (frame.width() > available.width() && available.width() > margins.width()) {
            const int width = available.width() - margins.width();
            window->setFixedWidth(width);
            if (QLayout *layout = window->layout(); layout && layout->hasHeightForWidth())
                window->setFixedHeight(layout->totalHeightForWidth(width));
            frame.setSize(window->size() + margins);
        }
        const auto within = [](int at, int length, int low, int room) {
            return std::max(low, std::min(at, low + room - length));
        };
        const QPoint shift(
            within(frame.left(), frame.width(), available.left(), available.width()) - frame.left(),
            within(frame.top(), frame.height(), available.top(), available.height()) - frame.top());
        if (!shift.isNull()) window->move(window->pos() + shift);
    }

    int corrections_ = 0;
};

// Places a window fitted to a small screen at its top left and keeps its frame there.
void KeepToSmallScreen(QWidget *window, const QRect &available) {
    window->move(available.topLeft());
    window->installEventFilter(new KeepFrameOnScreen(window));
}

UserInteraction g_defaultInteraction;
UserInteraction *g_interaction = nullptr;

}  // namespace

std::optional<QString> UserInteraction::ChooseFile(QWidget *owner,
                                                   const FileChooserRequest &request) {
    const std::unique_ptr<QFileDialog> chooser = MakeFileDialog(owner, request);
    if (chooser->exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = chooser->selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.front();
}

int UserInteraction::MessageBox(QWidget *owner, const QString &text, const QString &caption,
                                int style, const QString &informative) {
    const std::unique_ptr<QMessageBox> box =
        MakeMessageBox(owner, text, caption, style, informative);
    switch (box->exec()) {
    case QMessageBox::Yes: return kIdYes;
    case QMessageBox::No: return kIdNo;
    case QMessageBox::Ok: return kIdOk;
    default: return kIdCancel;
    }
}

void UserInteraction::OpenUrl(const QUrl &url) { QDesktopServices::openUrl(url); }

UserInteraction &Interaction() {
    return g_interaction != nullptr ? *g_interaction : g_defaultInteraction;
}

void SetInteraction(UserInteraction *interaction) { g_interaction = interaction; }

std::unique_ptr<QFileDialog> MakeFileDialog(QWidget *owner, const FileChooserRequest &request) {
    auto chooser = std::make_unique<QFileDialog>(owner, request.title);
    chooser->setOption(QFileDialog::DontUseNativeDialog, true);
    chooser->setOption(QFileDialog::DontConfirmOverwrite, true);
    chooser->setAcceptMode(request.existingOnly ? QFileDialog::AcceptOpen
                                                : QFileDialog::AcceptSave);
    chooser->setFileMode(request.existingOnly ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    if (!request.folder.isEmpty()) chooser->setDirectory(request.folder);
    chooser->setNameFilters(request.filters);
    if (!request.existingOnly) {
        // "PNG (*.png *.PNG)" gives "png"; a filter without a plain extension gives none.
        QFileDialog *dialog = chooser.get();
        const auto follow = [dialog](const QString &filter) {
            static const QRegularExpression extension(
                QStringLiteral("\\(\\*\\.([A-Za-z0-9_]+)[ )]"));
            const QRegularExpressionMatch match = extension.match(filter);
            dialog->setDefaultSuffix(match.hasMatch() ? match.captured(1) : QString());
        };
        QObject::connect(dialog, &QFileDialog::filterSelected, dialog, follow);
        if (!request.filters.isEmpty()) follow(request.filters.front());
    }
    if (!request.filters.isEmpty()) chooser->selectNameFilter(request.filters.front());
    chooser->selectFile(QString());
    // On a small screen the chooser is fitted to it, its buttons within reach: the side bar
    // and the buttons a keyboard or the folder list can stand in for give up their room.
    if (const QScreen *screen =
            owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen()) {
        // On a small screen, with room for a window manager's frame and title bar.
        QSize room = screen->availableGeometry().size();
        if (room.width() < 480) room -= kFrameAllowance;
        if (room.width() < 480) {
            for (const char *name :
                 {"sidebar", "backButton", "forwardButton", "newFolderButton", "listModeButton",
                  "detailModeButton", "lookInLabel", "fileTypeLabel", "fileNameLabel"}) {
                if (QWidget *part = chooser->findChild<QWidget *>(QLatin1String(name)))
                    part->hide();
            }
            for (const char *name : {"lookInCombo", "fileTypeCombo"}) {
                if (auto *list = chooser->findChild<QComboBox *>(QLatin1String(name))) {
                    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
                    list->setMinimumContentsLength(4);
                }
            }
            if (auto *name = chooser->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
                name->setMinimumWidth(0);
                name->setPlaceholderText(QStringLiteral("File name"));
            }
            // Still wider than the screen (large fonts on a handheld): the type list shows its
            // text without room for an icon it never has, and the margins narrow.
            if (chooser->minimumSizeHint().width() > room.width()) {
                if (auto *types = chooser->findChild<QComboBox *>(QStringLiteral("fileTypeCombo")))
                    types->setIconSize(QSize(0, 0));
                if (QLayout *layout = chooser->layout()) {
                    layout->setContentsMargins(2, 2, 2, 2);
                    layout->setSpacing(2);
                }
            }
        }
        chooser->setMinimumSize(chooser->minimumSize().boundedTo(room));
        chooser->resize(chooser->sizeHint().boundedTo(room));
        if (room.width() < 480) KeepToSmallScreen(chooser.get(), screen->availableGeometry());
    }
    return chooser;
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget *owner, const QString &text,
                                            const QString &caption, int style,
                                            const QString &informative) {
    auto box = std::make_unique<QMessageBox>(owner);
    box->setWindowTitle(caption);
    box->setText(text);
    box->setTextFormat(Qt::PlainText);
    if (!informative.isEmpty()) {
        // A file name is never read as markup. The box's text format does not reach its
        // informative label (Qt 6 leaves that at AutoText), so the label is told itself; a Qt
        // without the label by that name gets the text escaped instead.
        box->setInformativeText(informative);
        if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
            label->setTextFormat(Qt::PlainText);
        } else {
            box->setInformativeText(
                informative.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>")));
        }
    }
    const int icon = style & 0xF0;
    if (icon == kMbIconHand) box->setIcon(QMessageBox::Critical);
    if (icon == kMbIconQuestion) box->setIcon(QMessageBox::Question);
    if ((style & 0xF) == kMbYesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
    } else if ((style & 0xF) == kMbYesNoCancel) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::Cancel);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    // A message box sizes itself to the screen when shown, without room for a frame.
    if (const QScreen *screen =
            owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
        screen != nullptr && screen->availableGeometry().width() < 480)
        box->installEventFilter(new KeepFrameOnScreen(box.get()));
    return box;
}

QString DisplayText(std::u16string_view text) {
    QString result = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

}  // namespace faltrix
