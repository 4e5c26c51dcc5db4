#include "faltrix/cli/terminal_front_end.h"

#include "faltrix/cli/names.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace faltrix {
namespace {

QString FromUtf16(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// Line breaks inside a text would break the one-line protocol and the bar.
QString OneLine(QString text) {
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    return text;
}

void WriteAll(int fd, const QByteArray &bytes) {
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // the parent has gone; nothing more to tell
        }
        data += written;
        left -= written;
    }
}

}  // namespace

int TerminalColumns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

QString FitToColumns(QString line, int columns) {
    const int room = columns > 1 ? columns - 1 : 1;
    if (line.size() > room) line = line.left(room);
    return line;
}

void PrintError(FILE *stream, const QString &text) {
    std::fprintf(stream, "faltrix-convert: %s\n", Printable(text).constData());
    std::fflush(stream);
}

void RedrawnLine::Draw(const QString &line) {
    std::fprintf(stream_, "\r%s\x1b[K", Printable(line).constData());
    std::fflush(stream_);
    drawn_ = true;
}

void RedrawnLine::Clear() {
    if (!drawn_) return;
    std::fputs("\r\x1b[K", stream_);
    std::fflush(stream_);
    drawn_ = false;
}

QString CliFrontEnd::LastStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

QString ProgressLine(const QString &name, uint32_t percent, const QString &status, int columns) {
    constexpr int kBarCells = 20;
    const uint32_t shown = percent > 100 ? 100 : percent;
    const int filled = static_cast<int>(shown * kBarCells / 100);
    // The name as it will be shown, escapes and all, so that the line is cut to its real width.
    QString line = QString::fromUtf8(Printable(name));
    line += QStringLiteral(" [") + QString(filled, u'#') + QString(kBarCells - filled, u'.') +
            QStringLiteral("] ") + QStringLiteral("%1%").arg(shown, 3);
    if (!status.isEmpty()) line += QStringLiteral("  ") + status;
    return FitToColumns(line, columns);
}

TerminalFrontEnd::TerminalFrontEnd(Verbosity verbosity, bool barOnTerminal, FILE *out, FILE *err)
    : verbosity_(verbosity),
      bar_(barOnTerminal && verbosity != Verbosity::Quiet),
      out_(out),
      err_(err),
      line_(err) {}

void TerminalFrontEnd::BeginFile(const QString &label) {
    std::lock_guard lock(mutex_);
    label_ = label;
    status_.clear();
    percent_ = 0;
}

void TerminalFrontEnd::EndFile() {
    std::lock_guard lock(mutex_);
    line_.Clear();
}

void TerminalFrontEnd::SetStatusText(std::u16string_view text) {
    std::lock_guard lock(mutex_);
    status_ = FromUtf16(text);
    if (verbosity_ == Verbosity::Verbose) {
        line_.Clear();
        std::fprintf(out_, "%s\n", Printable(status_).constData());
        std::fflush(out_);
    }
    DrawLocked();
}

void TerminalFrontEnd::SetProgressPosition(uint32_t position) {
    std::lock_guard lock(mutex_);
    percent_ = position;
    DrawLocked();
}

void TerminalFrontEnd::ShowMessage(std::u16string_view text, std::u16string_view caption) {
    ShowLine(OneLine(FromUtf16(caption)) + QStringLiteral(": ") + OneLine(FromUtf16(text)));
}

void TerminalFrontEnd::ShowLine(const QString &line) {
    std::lock_guard lock(mutex_);
    // Shown even when quiet: a plug-in that fails to load is an error.
    line_.Clear();
    PrintError(err_, line);
    DrawLocked();
}

void TerminalFrontEnd::DrawLocked() {
    if (!bar_ || label_.isEmpty()) return;
    line_.Draw(ProgressLine(label_, percent_, status_, TerminalColumns(fileno(err_))));
}

void WorkerFrontEnd::Send(char kind, const QString &text) {
    QByteArray line;
    line += kind;
    line += ' ';
    // A name's bytes that are not UTF-8 go as themselves and come back as the same escapes;
    // none of them is a line break.
    line += NameBytes(OneLine(text));
    line += '\n';
    WriteAll(fd_, line);
}

void WorkerFrontEnd::ReportFailure(const QString &reason, bool usage) {
    Send(usage ? 'U' : 'F', reason);
}

void WorkerFrontEnd::ReportConverted(int quality) {
    Send('C', quality > 0 ? QString::number(quality) : QString());
}

void WorkerFrontEnd::ReportNotPicture() { Send('X', {}); }

void WorkerFrontEnd::ReportTemporary(bool made, const char *path) {
    // In hex: a name may hold any byte but '/' and NUL, line breaks included.
    const QByteArray line = QByteArray(made ? "T " : "E ") + QByteArray(path).toHex() + '\n';
    if (sweeperFd_ >= 0) WriteAll(sweeperFd_, line);
    WriteAll(fd_, line);
}

void WorkerFrontEnd::NotePlugin(PluginKind kind, const QString &name) {
    Send('R', QLatin1String(kind == PluginKind::Input ? "input " : "output ") + name);
}

void WorkerFrontEnd::BeginFile(const QString &) {
    std::lock_guard lock(mutex_);
    status_.clear();
}

void WorkerFrontEnd::SetStatusText(std::u16string_view text) {
    {
        std::lock_guard lock(mutex_);
        status_ = FromUtf16(text);
    }
    Send('S', FromUtf16(text));
}

void WorkerFrontEnd::SetProgressPosition(uint32_t position) {
    Send('P', QString::number(position));
}

void WorkerFrontEnd::ShowMessage(std::u16string_view text, std::u16string_view caption) {
    Send('M', FromUtf16(caption) + QStringLiteral(": ") + FromUtf16(text));
}

void WorkerFrontEnd::ShowNotice(std::u16string_view text) { Send('N', FromUtf16(text)); }

WorkerEvent ParseWorkerLine(const QByteArray &line) {
    WorkerEvent event;
    if (line.size() < 2 || line[1] != ' ') return event;
    const QString text = NameFromBytes(line.mid(2));
    switch (line[0]) {
    case 'S':
        event.kind = WorkerEvent::Status;
        event.text = text;
        break;
    case 'M':
        event.kind = WorkerEvent::Message;
        event.text = text;
        break;
    case 'F':
    case 'U':
        event.kind = WorkerEvent::Failure;
        event.text = text;
        event.usage = line[0] == 'U';
        break;
    case 'R':
        event.kind = WorkerEvent::Plugin;
        event.text = text;
        break;
    case 'N':
        event.kind = WorkerEvent::Notice;
        event.text = text;
        break;
    case 'C':
        event.kind = WorkerEvent::Converted;
        event.position = text.toUInt();
        break;
    case 'X': event.kind = WorkerEvent::NotPicture; break;
    case 'T':
    case 'E':
        event.kind = line[0] == 'T' ? WorkerEvent::TemporaryMade : WorkerEvent::TemporaryEnded;
        event.path = QByteArray::fromHex(line.mid(2));
        break;
    case 'P': {
        bool ok = false;
        const uint32_t position = text.toUInt(&ok);
        if (ok) {
            event.kind = WorkerEvent::Progress;
            event.position = position;
        }
        break;
    }
    default: break;
    }
    return event;
}

}  // namespace faltrix
