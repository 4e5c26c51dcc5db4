// The dialog's front end of the feedback functions.
#include "faltrix/app/qt_front_end.h"

#include <QProgressBar>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <thread>

#include "faltrix/app/main_dialog.h"
#include "faltrix/app/user_interaction.h"

namespace faltrix {
namespace {

QWidget *WidgetOf(HWND window) { return reinterpret_cast<QWidget *>(window); }

}  // namespace

QtFrontEnd::QtFrontEnd(MainDialog *dialog) : dialog_(dialog) {}

template <class Action>
void QtFrontEnd::OnDialogThread(Action &&action) {
    if (QThread::currentThread() == thread()) {
        action();
        return;
    }
    // The job thread waits here until the dialog's thread has run the action; the dialog's
    // thread never waits for a job, so the two cannot deadlock.
    QMetaObject::invokeMethod(this, std::forward<Action>(action), Qt::BlockingQueuedConnection);
}

void QtFrontEnd::SetStatusText(std::u16string_view text) {
    const QString shown = DisplayText(text);
    OnDialogThread([this, &shown] {
        if (auto *box = qobject_cast<QTextEdit *>(dialog_->Control(kStatusBox)))
            box->setPlainText(note_.isEmpty() ? shown : shown + u'\n' + note_);
    });
}

void QtFrontEnd::SetStatusNote(const QString &note) {
    note_ = note;
    if (!note.isEmpty()) AppendStatusLine(note.toStdU16String());
}

void QtFrontEnd::AppendStatusLine(std::u16string_view text) {
    const QString shown = DisplayText(text);
    OnDialogThread([this, &shown] {
        if (auto *box = qobject_cast<QTextEdit *>(dialog_->Control(kStatusBox))) {
            box->setPlainText(box->toPlainText() + u'\n' + shown);
            // The added line is the one to read when the box is full.
            box->moveCursor(QTextCursor::End);
            box->ensureCursorVisible();
        }
    });
}

void QtFrontEnd::PauseAfterStatus() {
    const long long pause = pauseMs_.load();
    if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
}

void QtFrontEnd::SetProgressPosition(uint32_t position) {
    const int shown = static_cast<int>(std::min<uint32_t>(position, 100));
    OnDialogThread([this, shown] {
        if (auto *bar = qobject_cast<QProgressBar *>(dialog_->Control(kProgressBar)))
            bar->setValue(shown);
    });
}

void QtFrontEnd::EnableControl(HWND control, bool enable) {
    if (control == nullptr) return;
    OnDialogThread([this, control, enable] { dialog_->EnableForJob(WidgetOf(control), enable); });
}

HWND QtFrontEnd::ControlById(HWND dialog, int id) {
    // The control map is fixed once the dialog is built, so reading it needs no hop.
    auto *main = qobject_cast<MainDialog *>(WidgetOf(dialog));
    if (main == nullptr) main = dialog_;
    return reinterpret_cast<HWND>(main->Control(id));
}

void QtFrontEnd::ShowMessage(std::u16string_view text, std::u16string_view caption) {
    const QString shownText = DisplayText(text);
    const QString shownCaption = DisplayText(caption);
    OnDialogThread([&] { Interaction().MessageBox(nullptr, shownText, shownCaption, kMbOk, {}); });
}

RECT QtFrontEnd::WindowRect(HWND window) {
    RECT rect{0, 0, 0, 0};
    if (window == nullptr) return rect;
    OnDialogThread([&rect, window] {
        // In device pixels, so that the preview is drawn at the screen's own resolution.
        const QWidget *widget = WidgetOf(window);
        const double ratio = widget->devicePixelRatioF();
        const QPoint topLeft = widget->mapToGlobal(QPoint(0, 0)) * ratio;
        const QSize size = widget->size() * ratio;
        rect =
            RECT{topLeft.x(), topLeft.y(), topLeft.x() + size.width(), topLeft.y() + size.height()};
    });
    return rect;
}

void QtFrontEnd::RepaintWindow(HWND window) {
    if (window == nullptr) return;
    OnDialogThread([window] { WidgetOf(window)->update(); });
}

}  // namespace faltrix
