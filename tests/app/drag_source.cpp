// A window that drags one file, as a file manager does, for the dialog's test with real input
// events: app_drag_source <file> <x> <y>. It shows a 100 x 100 window at (x, y) on the screen
// and, once the mouse is pressed in it and moved past the drag distance, starts a drag of the
// file's URL. It reports on standard output, a line each: "shown" once the window is on the
// screen, "dragging" as the drag starts, "accepted" when a drop target accepts the file where
// the pointer is, and "dropped" or "refused" when the drag ends. It stays until it is ended:
// the drop's target asks it for the file's URL after the drop.
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

void Report(const char *line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

class DragSource final : public QWidget {
public:
    explicit DragSource(QString file) : file_(std::move(file)) {
        setWindowTitle(QStringLiteral("Drag source"));
    }

protected:
    void paintEvent(QPaintEvent *) override {
        if (!shown_) Report("shown");
        shown_ = true;
    }
    void mousePressEvent(QMouseEvent *event) override { pressedAt_ = event->position().toPoint(); }
    void mouseMoveEvent(QMouseEvent *event) override {
        if (started_ || !(event->buttons() & Qt::LeftButton) ||
            (event->position().toPoint() - pressedAt_).manhattanLength() <
                QApplication::startDragDistance())
            return;
        started_ = true;
        auto *drag = new QDrag(this);
        auto *data = new QMimeData;
        data->setUrls({QUrl::fromLocalFile(file_)});
        drag->setMimeData(data);
        connect(drag, &QDrag::actionChanged, this, [](Qt::DropAction action) {
            if (action != Qt::IgnoreAction) Report("accepted");
        });
        Report("dragging");
        const Qt::DropAction done = drag->exec(Qt::CopyAction);
        Report(done == Qt::CopyAction ? "dropped" : "refused");
    }

private:
    QString file_;
    QPoint pressedAt_;
    bool shown_ = false, started_ = false;
};

}  // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: app_drag_source <file> <x> <y>\n");
        return 2;
    }
    DragSource source(QString::fromLocal8Bit(argv[1]));
    source.setGeometry(std::atoi(argv[2]), std::atoi(argv[3]), 100, 100);
    source.show();
    return app.exec();
}
