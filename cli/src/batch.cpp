// Conversions in child processes: one per file, up to --jobs at once, each watched for its
// reports, its end and its time limit. A single file goes the same way, so that a plug-in
// that crashes or hangs costs the file and not the program's word about it.
#include "faltrix/cli/batch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <optional>

#include "faltrix/cli/names.h"
#include "faltrix/stop_signals.h"
#include "faltrix/temporaries.h"

namespace faltrix {
namespace {

using Clock = std::chrono::steady_clock;

// A running worker and what it has told so far.
struct Child {
    size_t task = 0;
    pid_t pid = -1;
    int fd = -1;     // read end of its report pipe; -1 once it reached its end
    int pidfd = -1;  // readable once it has ended (-1: the kernel has no pidfd_open)
    Clock::time_point started;
    QByteArray pending;  // an incomplete line
    QStringList statusLines;
    QStringList messages;
    QStringList notices;  // what the stored picture lost
    QString failure;
    bool usage = false;  // the failure is a setting from the command line refused
    uint32_t percent = 0;
    QString plugin;                     // the plug-in it last named ("input NAME")
    QString outputPlugin;               // the output plug-in it named
    QList<QByteArray> temporaries;      // made and not yet gone
    bool converted = false;             // it said that its output is in place
    int quality = 0;                    // ... stored at the source's estimated quality
    bool notPicture = false;            // it found its file to be no picture
    int sweeperGeneration = 0;          // of the sweeper it was started with
    TerminalFrontEnd *relay = nullptr;  // for a single file: shows the reports as they come
};

// Removes a temporary a worker named, if the name is one of the host's making.
void RemoveTemporaryNamed(const QByteArray &path) {
    if (!path.contains('\0')) RemoveHostTemporary(path.constData());
}

QString Quoted(const QString &text) { return QStringLiteral("\"%1\"").arg(text); }

// Readable once an interrupting signal has come (-1: not caught yet, or no pipe).
int g_interruptWake = -1;

// SIGINT, SIGTERM and SIGHUP stop the workers before this process ends by the same signal.
void CatchInterrupts() { g_interruptWake = DeferStopSignals(); }

// This process's end of the sweeper's socket (-1: none), and the sweeper itself. Workers
// write their temporaries' names to it as they do to their parent. A socket rather than a
// pipe: a line sent to a sweeper that has died fails with EPIPE instead of killing the sender.
int g_sweeper = -1;
pid_t g_sweeperPid = -1;
// Counts the sweepers started: a worker started with one that has died since is no longer
// heard by the current one, so its parent passes its temporaries on.
int g_sweeperGeneration = 0;
// This process's own scratch files made and not yet gone (see TrackScratchFile).
QList<QByteArray> g_scratchFiles;

// Tells the sweeper a temporary was made or is gone. Nothing happens when there is none or it
// has died.
void TellSweeper(const QByteArray &path, bool made) {
    if (g_sweeper < 0) return;
    const QByteArray line = QByteArray(made ? "T " : "E ") + path.toHex() + '\n';
    for (qsizetype sent = 0; sent < line.size();) {
        const ssize_t put =
            ::send(g_sweeper, line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        sent += put;
    }
}

// Starts the sweeper: a process of its own session that outlives this one and its workers,
// however they end (SIGKILL to the whole process group included). Its socket reaches end of
// file when the last of them has gone; it then removes the temporaries named as made and not
// as gone, and ends.
void StartSweeper() {
    if (g_sweeper >= 0) return;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(ends[0]);
        if (pid > 0) {
            g_sweeper = ends[1];
            g_sweeperPid = pid;
            ++g_sweeperGeneration;
        } else {
            ::close(ends[1]);
        }
        return;
    }
    ::setsid();
    ::prctl(PR_SET_NAME, "faltrix-sweeper");
    // Nothing of the parent's stays open here (a pipe on its standard error would otherwise
    // not reach its end while this lives); only the read end.
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    ::dup2(ends[0], 3);
    ::close_range(4, ~0U, 0);
    QList<QByteArray> made;
    QByteArray pending;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(3, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        pending.append(buffer, got);
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const WorkerEvent event = ParseWorkerLine(pending.left(newline));
            pending.remove(0, newline + 1);
            if (event.kind == WorkerEvent::TemporaryMade) made << event.path;
            if (event.kind == WorkerEvent::TemporaryEnded) made.removeAll(event.path);
        }
    }
    for (const QByteArray &path : made) RemoveTemporaryNamed(path);
    ::_exit(0);
}

// A sweeper that has died (killed by someone, out of memory) is replaced, and the new one is
// told of every temporary still to remove: this process's own and those its running workers
// named. Without a sweeper (none could be started) the run goes on; only a SIGKILL to all of
// it could then leave a temporary behind.
void ReplaceDeadSweeper(const std::list<Child> &running) {
    if (g_sweeperPid <= 0) return;
    int status = 0;
    const pid_t ended = ::waitpid(g_sweeperPid, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno != ECHILD)) return;
    ::close(g_sweeper);
    g_sweeper = -1;
    g_sweeperPid = -1;
    StartSweeper();
    for (const QByteArray &path : g_scratchFiles) TellSweeper(path, true);
    for (const Child &child : running)
        for (const QByteArray &path : child.temporaries) TellSweeper(path, true);
}

// Forks the worker: the child runs `convert` with its report pipe and ends with its answer,
// never returning here. Returns an error text when no child could be started.
QString StartWorker(const FileTask &task, const ConvertInChild &convert, Child *child) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return QString::fromLocal8Bit(std::strerror(errno));
    std::fflush(nullptr);  // or the child would write out the parent's buffers again
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        return QString::fromLocal8Bit(std::strerror(error));
    }
    if (pid == 0) {
        ::close(ends[0]);
        // A worker ends with its parent, removing its temporary on the way: when the parent is
        // stopped (say by a time limit of its own), one stuck in a plug-in would run for ever.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::prctl(PR_SET_NAME, "faltrix-worker");
        if (::getppid() != parent) ::_exit(kExitFailed);
        ResetStopSignals();
        // A reader that has gone (the sweeper, the parent) is no reason to die: a write to
        // it fails, and the worker goes on, or the parent hears of the crash of a plug-in
        // that was no crash.
        ::signal(SIGPIPE, SIG_IGN);
        const int code = convert(task, ends[1]);
        std::fflush(nullptr);
        ::_exit(code);
    }
    ::close(ends[1]);
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    child->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    child->sweeperGeneration = g_sweeperGeneration;
    child->pid = pid;
    child->fd = ends[0];
    child->started = Clock::now();
    return {};
}

// Reads what the child has written; closes the pipe at its end.
void Drain(Child *child) {
    char buffer[4096];
    while (child->fd >= 0) {
        const ssize_t got = ::read(child->fd, buffer, sizeof buffer);
        if (got > 0) {
            child->pending.append(buffer, got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ::close(child->fd);  // end of the pipe, or an error: nothing more will come
        child->fd = -1;
    }
    qsizetype newline;
    while ((newline = child->pending.indexOf('\n')) >= 0) {
        const WorkerEvent event = ParseWorkerLine(child->pending.left(newline));
        child->pending.remove(0, newline + 1);
        switch (event.kind) {
        case WorkerEvent::Status:
            child->statusLines << event.text;
            if (child->relay) child->relay->SetStatusText(event.text.toStdU16String());
            break;
        case WorkerEvent::Progress:
            child->percent = event.position;
            if (child->relay) child->relay->SetProgressPosition(event.position);
            break;
        case WorkerEvent::Message:
            if (child->relay) child->relay->ShowLine(event.text);
            else child->messages << event.text;
            break;
        case WorkerEvent::Failure:
            child->failure = event.text;
            child->usage = event.usage;
            break;
        case WorkerEvent::Notice: child->notices << event.text; break;
        case WorkerEvent::Plugin:
            child->plugin = event.text;
            if (event.text.startsWith(QLatin1String("output "))) child->outputPlugin = event.text;
            break;
        case WorkerEvent::TemporaryMade:
        case WorkerEvent::TemporaryEnded: {
            const bool made = event.kind == WorkerEvent::TemporaryMade;
            if (made) child->temporaries << event.path;
            else child->temporaries.removeAll(event.path);
            // Its own sweeper has died: the one now running hears of it from here.
            if (child->sweeperGeneration != g_sweeperGeneration) TellSweeper(event.path, made);
            break;
        }
        case WorkerEvent::Converted:
            child->converted = true;
            child->quality = int(event.position);
            break;
        case WorkerEvent::NotPicture: child->notPicture = true; break;
        case WorkerEvent::Unknown: break;
        }
    }
}

// " after" and the child's last status line, which tells how far its conversion came.
QString AfterLastStatus(const Child &child) {
    return child.statusLines.isEmpty()
               ? QString()
               : QStringLiteral(" after ") + Quoted(child.statusLines.last());
}

// What was running in the child when it ended: "the input plug-in NAME", or while the host
// resized, "its conversion process".
QString RunningPart(const Child &child) {
    const QString last = child.statusLines.isEmpty() ? QString() : child.statusLines.last();
    QString plugin =
        last == QLatin1String("Now Coding and Storing...") ? child.outputPlugin : child.plugin;
    if (last.contains(QLatin1String("Resizing")) && last.startsWith(QLatin1String("Now ")))
        plugin.clear();
    const qsizetype space = plugin.indexOf(u' ');
    if (space < 0) return QStringLiteral("its conversion process");
    return QStringLiteral("the %1 plug-in %2").arg(plugin.left(space), plugin.mid(space + 1));
}

// Removes the temporaries the child made and could not remove itself. Only names it gave
// of the host's own making are touched.
void RemoveTemporariesOf(Child *child) {
    for (const QByteArray &path : child->temporaries) RemoveTemporaryNamed(path);
    child->temporaries.clear();
}

// The file's result from the way its worker ended. Only a worker that said its output is in
// place converted the file, whatever its exit status: a plug-in may end the process with 0
// half way. Otherwise the failure the worker reported, else how the process ended, naming
// what ran in it.
FileResult ResultOfExit(const Child &child, int status) {
    FileResult result;
    if (child.converted && child.failure.isEmpty()) {
        result.converted = true;
        result.notices = child.notices;
        result.quality = child.quality;
    } else if (child.notPicture) {
        result.skipped = result.notPicture = true;
        result.reason = QStringLiteral("not a picture");
    } else if (!child.failure.isEmpty()) {
        result.reason = child.failure;
        result.usage = child.usage;
    } else if (WIFEXITED(status)) {
        QString ended = RunningPart(child);
        ended += ended == QLatin1String("its conversion process")
                     ? QStringLiteral(" ended")
                     : QStringLiteral(" ended its worker");
        result.reason = QStringLiteral("%1 without finishing (exit status %2)%3")
                            .arg(ended)
                            .arg(WEXITSTATUS(status))
                            .arg(AfterLastStatus(child));
    } else if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        result.reason = QStringLiteral("%1 crashed (signal %2, %3)%4")
                            .arg(RunningPart(child))
                            .arg(signal)
                            .arg(QString::fromLocal8Bit(strsignal(signal)), AfterLastStatus(child));
    } else {
        result.reason = QStringLiteral("its conversion process ended abnormally");
    }
    return result;
}

// The file's result once its worker has ended by itself or has been stopped here for running
// past the time limit (0: none); nothing while it runs on.
std::optional<FileResult> ResultOfEnd(Child *child, int timeoutSeconds) {
    int status = 0;
    if (::waitpid(child->pid, &status, WNOHANG) == child->pid) {
        Drain(child);  // what it wrote just before it ended
        return ResultOfExit(*child, status);
    }
    if (timeoutSeconds <= 0 || Clock::now() - child->started < std::chrono::seconds(timeoutSeconds))
        return std::nullopt;
    ::kill(child->pid, SIGKILL);
    ::waitpid(child->pid, &status, 0);
    Drain(child);
    // Its output in place, it hung only on its way out (a library's exit handler): converted.
    if (child->converted && child->failure.isEmpty()) return ResultOfExit(*child, status);
    QString running = RunningPart(*child);
    if (running == QLatin1String("its conversion process"))
        running = QStringLiteral("its conversion");
    return FileResult{
        false,
        QStringLiteral("%1 took longer than %2 s and was stopped%3 (--timeout sets the limit)")
            .arg(running)
            .arg(timeoutSeconds)
            .arg(AfterLastStatus(*child))};
}

// The one-line display of a batch on a terminal: files done, and each running file's share.
QString BatchLine(size_t done, size_t total, const std::list<Child> &running,
                  const std::vector<PlannedTask> &planned, int columns) {
    QString line = QStringLiteral("[%1/%2]").arg(done).arg(total);
    for (const Child &child : running) {
        line += QStringLiteral("  %1 %2%")
                    .arg(QFileInfo(planned[child.task].task.Shown()).fileName())
                    .arg(child.percent > 100 ? 100 : child.percent);
    }
    return FitToColumns(line, columns);
}

// What a batch shows: the batch line on a terminal (unless quiet), and for each file as it
// ends, its status lines when verbose, the messages of its plug-ins and its result line.
class BatchDisplay {
public:
    BatchDisplay(const ConvertOptions &options, bool onTerminal)
        : verbosity_(options.verbosity),
          bar_(onTerminal && options.verbosity != Verbosity::Quiet) {}

    void Draw(const QString &text) {
        if (bar_) line_.Draw(text);
    }

    void Ended(const FileTask &task, const Child *child, const FileResult &result) {
        line_.Clear();
        if (verbosity_ == Verbosity::Verbose && child) {
            std::fprintf(stdout, "%s:\n", Printable(task.Shown()).constData());
            for (const QString &line : child->statusLines)
                std::fprintf(stdout, "%s\n", Printable(line).constData());
            std::fflush(stdout);
        }
        if (child) {
            for (const QString &message : child->messages) PrintError(stderr, message);
        }
        PrintFileResult(task, result, verbosity_);
    }

    void Clear() { line_.Clear(); }

private:
    Verbosity verbosity_;
    bool bar_;
    RedrawnLine line_{stderr};
};

}  // namespace

namespace {

// A child whose process has ended: its pipes closed, and the temporaries it named and did
// not see gone removed.
void CloseEnded(Child *child) {
    if (child->fd >= 0) ::close(child->fd);
    if (child->pidfd >= 0) ::close(child->pidfd);
    child->fd = child->pidfd = -1;
    RemoveTemporariesOf(child);
}

// Starts workers for the planned tasks from `*next` on while fewer than options.jobs run. A
// task that clashes with another's output, one to skip, and one that gets no process end at
// once, without a worker.
template <typename Ended>
void StartWorkers(const ConvertOptions &options, const std::vector<PlannedTask> &planned,
                  const ConvertInChild &convert, TerminalFrontEnd *relay, size_t *next,
                  std::list<Child> *running, Ended &ended) {
    while (*next < planned.size() && DeferredStopSignal() == 0 &&
           running->size() < static_cast<size_t>(options.jobs)) {
        const size_t index = (*next)++;
        const PlannedTask &one = planned[index];
        if (!one.clash.isEmpty()) {
            ended(index, nullptr,
                  FileResult{false, QStringLiteral("it would go to %1, as %2 does")
                                        .arg(one.task.output, one.clash)});
            continue;
        }
        if (one.skipped || one.notPicture) {
            FileResult passed{false, {}, true};
            passed.notPicture = one.notPicture;
            if (one.notPicture) passed.reason = QStringLiteral("not a picture");
            ended(index, nullptr, passed);
            continue;
        }
        Child child;
        child.task = index;
        child.relay = relay;
        const QString error = StartWorker(one.task, convert, &child);
        if (!error.isEmpty()) {
            ended(index, nullptr,
                  FileResult{false,
                             QStringLiteral("no process could be started for it: %1").arg(error)});
            continue;
        }
        running->push_back(std::move(child));
    }
}

// After an interrupting signal: stops every worker (each removes its temporary as it goes),
// waits for them, and ends their files as interrupted.
template <typename Ended>
void StopWorkers(std::list<Child> *running, Ended &ended) {
    for (Child &child : *running) ::kill(child.pid, SIGTERM);
    for (Child &child : *running) {
        int status = 0;
        for (int i = 0; ::waitpid(child.pid, &status, WNOHANG) == 0; ++i) {
            if (i == 200) ::kill(child.pid, SIGKILL);  // after 2 s
            ::usleep(10000);
        }
        Drain(&child);
        CloseEnded(&child);
        ended(child.task, &child,
              FileResult{false, QStringLiteral("interrupted (%1)")
                                    .arg(QString::fromLocal8Bit(strsignal(DeferredStopSignal())))});
    }
    running->clear();
}

// Waits for news from any child or an interrupting signal, at most until the nearest time
// limit.
void WaitForNews(const ConvertOptions &options, const std::list<Child> &running) {
    const auto limit = std::chrono::seconds(options.timeoutSeconds);
    std::vector<pollfd> fds;
    if (g_interruptWake >= 0) fds.push_back({g_interruptWake, POLLIN, 0});
    int wait = 200;
    for (const Child &child : running) {
        if (child.fd >= 0) fds.push_back({child.fd, POLLIN, 0});
        // Its pipe ends a moment before the process does: without a pidfd to wait on, look
        // again soon.
        if (child.pidfd >= 0) fds.push_back({child.pidfd, POLLIN, 0});
        else if (child.fd < 0) wait = std::min(wait, 2);
        if (options.timeoutSeconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                child.started + limit - Clock::now());
            wait = std::max(0, std::min<int>(wait, static_cast<int>(left.count()) + 1));
        }
    }
    ::poll(fds.data(), fds.size(), wait);
}

// Reads what the children wrote, and ends the files of those that have ended or run out of
// time.
template <typename Ended>
void EndFinishedWorkers(const ConvertOptions &options, std::list<Child> *running, Ended &ended) {
    for (auto it = running->begin(); it != running->end();) {
        Child &child = *it;
        Drain(&child);
        const std::optional<FileResult> result = ResultOfEnd(&child, options.timeoutSeconds);
        if (!result) {
            ++it;
            continue;
        }
        CloseEnded(&child);
        FileResult timed = *result;
        timed.seconds = std::chrono::duration<double>(Clock::now() - child.started).count();
        ended(child.task, &child, timed);
        it = running->erase(it);
    }
}

// Runs the planned tasks in workers, options.jobs at a time, and tells `ended` of each file as
// it ends (the child is null for a file that got no worker). `relay` shows a single file's
// reports as they come. After an interrupting signal no more workers start and the running
// ones are stopped; their files end as interrupted.
template <typename Ended>
void RunWorkers(const ConvertOptions &options, const std::vector<PlannedTask> &planned,
                const ConvertInChild &convert, TerminalFrontEnd *relay, Ended ended,
                const std::function<void(const std::list<Child> &)> &tick) {
    StartSweeper();
    std::list<Child> running;
    size_t next = 0;
    while ((next < planned.size() && DeferredStopSignal() == 0) || !running.empty()) {
        ReplaceDeadSweeper(running);
        StartWorkers(options, planned, convert, relay, &next, &running, ended);
        if (running.empty()) continue;
        if (DeferredStopSignal() != 0) {
            StopWorkers(&running, ended);
            break;
        }
        WaitForNews(options, running);
        EndFinishedWorkers(options, &running, ended);
        tick(running);
    }
}

}  // namespace

FileResult ConvertInWorker(const ConvertOptions &options, const PlannedTask &task,
                           const ConvertInChild &convert, TerminalFrontEnd *terminal) {
    CatchInterrupts();
    FileResult result;
    RunWorkers(
        options, {task}, convert, terminal,
        [&](size_t, const Child *, const FileResult &one) { result = one; },
        [](const std::list<Child> &) {});
    return result;
}

int RunBatch(const ConvertOptions &options, const std::vector<PlannedTask> &planned,
             const ConvertInChild &convert, bool onTerminal, const RecordResult &record) {
    CatchInterrupts();
    BatchDisplay display(options, onTerminal);
    const int columns = TerminalColumns(STDERR_FILENO);
    std::vector<FileResult> results(planned.size());
    std::vector<bool> reached(planned.size(), false);
    size_t done = 0;
    RunWorkers(
        options, planned, convert, nullptr,
        [&](size_t index, const Child *child, const FileResult &result) {
            results[index] = result;
            reached[index] = true;
            ++done;
            display.Ended(planned[index].task, child, result);
            if (record) record(planned[index].task, result);
        },
        [&](const std::list<Child> &running) {
            display.Draw(BatchLine(done, planned.size(), running, planned, columns));
        });
    display.Clear();

    size_t failed = 0, converted = 0, notPictures = 0;
    for (size_t i = 0; i < planned.size(); ++i) {
        if (reached[i] && results[i].notPicture) ++notPictures;
        if (!reached[i] || results[i].skipped) continue;
        (results[i].converted ? converted : failed) += 1;
    }
    if (notPictures > 0) PrintNotPictures(converted, notPictures, failed, options.verbosity);
    if (DeferredStopSignal() != 0) {
        std::fprintf(
            stderr,
            "faltrix-convert: interrupted (%s): %zu of %zu files converted, %zu failed or stopped, "
            "%zu not started\n",
            strsignal(DeferredStopSignal()), converted, planned.size(), failed,
            planned.size() - done);
        std::fflush(stderr);
        EndByStopSignal();
    }
    if (failed == 0) return kExitConverted;
    const bool usage =
        std::any_of(results.begin(), results.end(), [](const FileResult &r) { return r.usage; });
    std::fprintf(stderr, "faltrix-convert: %zu of %zu files failed:\n", failed, planned.size());
    for (size_t i = 0; i < planned.size(); ++i) {
        if (!results[i].converted && !results[i].skipped)
            std::fprintf(stderr, "  %s: %s\n", Printable(planned[i].task.Shown()).constData(),
                         Printable(results[i].reason).constData());
    }
    std::fflush(stderr);
    return usage ? kExitUsage : kExitFailed;
}

void PrintNotPictures(size_t converted, size_t notPictures, size_t failed, Verbosity verbosity) {
    if (verbosity == Verbosity::Quiet) return;
    std::fprintf(stdout,
                 "faltrix-convert: %zu converted, %zu skipped (not a picture), %zu failed\n",
                 converted, notPictures, failed);
    std::fflush(stdout);
}

int SweeperFd() { return g_sweeper; }

void TrackScratchFile(const QByteArray &path, bool made) {
    StartSweeper();
    ReplaceDeadSweeper({});
    if (made) g_scratchFiles << path;
    else g_scratchFiles.removeAll(path);
    TellSweeper(path, made);
}

void EndIfInterrupted() { EndByStopSignal(); }

}  // namespace faltrix
