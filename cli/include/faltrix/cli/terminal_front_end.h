// The command line's front end for the jobs' status lines and progress: no pause after a
// status line, no controls to lock.
#pragma once

#include <QString>
#include <cstdio>
#include <mutex>
#include <string>

#include "faltrix/feedback.h"
#include "faltrix/plugin_list.h"

namespace faltrix {

enum class Verbosity { Quiet, Normal, Verbose };

// Draws one progress line "name [#####.....]  45%  status" in `columns` characters.
QString ProgressLine(const QString &name, uint32_t percent, const QString &status, int columns);

// The width of the terminal on fd, or 80 when it cannot be told.
int TerminalColumns(int fd);

// The line cut to one character short of `columns`, so that the terminal never wraps it.
QString FitToColumns(QString line, int columns);

// Writes "faltrix-convert: <text>" and a line break to `stream` and flushes it.
void PrintError(FILE *stream, const QString &text);

// A line at the bottom of a terminal that each Draw replaces in place; Clear empties it so
// that the next text starts on a clean line. Unlocked: its owner orders the calls.
class RedrawnLine {
public:
    explicit RedrawnLine(FILE *stream) : stream_(stream) {}
    void Draw(const QString &line);
    void Clear();

private:
    FILE *stream_;
    bool drawn_ = false;
};

// What the converter needs of its front ends beyond the feedback calls: the file being
// converted, and the last status line the job wrote for it (the reason of a failure).
class CliFrontEnd : public FeedbackFrontEnd {
public:
    // The file whose conversion follows; forgets the last status line.
    virtual void BeginFile(const QString &label) = 0;
    // The file's conversion has ended.
    virtual void EndFile() {}
    // The last status line the job wrote since BeginFile (empty when none).
    QString LastStatus() const;
    // The plug-in of the list of that kind that the file's next calls go to, by its name.
    virtual void NotePlugin(PluginKind kind, const QString &name) { (void)kind, (void)name; }

    void EnableControl(HWND, bool) override {}
    HWND ControlById(HWND, int) override { return nullptr; }

protected:
    // Guards status_ and whatever else a front end keeps for the file: the job's thread
    // writes while the converter reads.
    mutable std::mutex mutex_;
    QString status_;
};

// For a conversion in this process. On a terminal (and unless quiet) a one-line progress
// bar with the file's name is redrawn on `err`; with Verbose each status line goes to `out`
// as the job writes it. Messages (a plug-in that no longer loads) go to `err` unless quiet.
class TerminalFrontEnd : public CliFrontEnd {
public:
    TerminalFrontEnd(Verbosity verbosity, bool barOnTerminal, FILE *out, FILE *err);

    // Names the bar after the file.
    void BeginFile(const QString &label) override;
    // Clears the bar's line so that the final line can be written.
    void EndFile() override;

    void SetStatusText(std::u16string_view text) override;
    void SetProgressPosition(uint32_t position) override;
    void ShowMessage(std::u16string_view text, std::u16string_view caption) override;
    // A message as one finished line ("caption: text"), as a worker passes it on.
    void ShowLine(const QString &line);

private:
    void DrawLocked();

    Verbosity verbosity_;
    bool bar_;
    FILE *out_;
    FILE *err_;
    RedrawnLine line_;
    QString label_;
    uint32_t percent_ = 0;
};

// For a conversion in a child process: every status line, progress position and message goes
// to the parent over `fd` as one line of a small protocol (see WorkerEvent), and so do the
// plug-in being called and the names of the job's temporaries, which the parent removes when
// the child dies before it could.
class WorkerFrontEnd : public CliFrontEnd {
public:
    // `sweeperFd` (unless -1) hears of the temporaries too.
    explicit WorkerFrontEnd(int fd, int sweeperFd = -1) : fd_(fd), sweeperFd_(sweeperFd) {}

    // A failure found before or around the job (no plug-in, a refused output): its reason;
    // `usage` when a setting from the command line was refused.
    void ReportFailure(const QString &reason, bool usage = false);
    // The output is in place: the one word by which the parent counts the file converted;
    // with the quality estimated from a JPEG input it was stored with (0: none).
    void ReportConverted(int quality = 0);
    // The file, found by --recursive, is no picture any input plug-in reads: passed over.
    void ReportNotPicture();
    // A temporary was made (`made`) or is gone; `path` in the file system's bytes.
    void ReportTemporary(bool made, const char *path);
    void NotePlugin(PluginKind kind, const QString &name) override;

    void BeginFile(const QString &label) override;
    void SetStatusText(std::u16string_view text) override;
    void SetProgressPosition(uint32_t position) override;
    void ShowMessage(std::u16string_view text, std::u16string_view caption) override;
    void ShowNotice(std::u16string_view text) override;

private:
    void Send(char kind, const QString &text);
    int fd_;
    int sweeperFd_;
};

// One line of the worker protocol, as the parent reads it back.
struct WorkerEvent {
    enum Kind {
        Status,
        Progress,
        Message,
        Failure,
        Plugin,
        TemporaryMade,
        TemporaryEnded,
        Notice,
        Converted,
        NotPicture,
        Unknown
    } kind = Unknown;
    QString text;        // Status, Message, Failure, Notice; Plugin: "input NAME" or "output NAME"
    QByteArray path;     // TemporaryMade, TemporaryEnded: the file system's bytes
    bool usage = false;  // Failure: by a setting from the command line
    uint32_t position = 0;  // Progress; Converted: the quality kept from the source (0: none)
};
WorkerEvent ParseWorkerLine(const QByteArray &line);

}  // namespace faltrix
