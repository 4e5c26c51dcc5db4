// A batch: one worker process per file, up to --jobs at once, each watched for its reports,
// its end and its time limit.
#include "faltrix/cli/batch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <optional>

extern char **environ;

namespace faltrix {
namespace {

using Clock = std::chrono::steady_clock;

// A running worker and what it has told so far.
struct Child {
    size_t task = 0;
    pid_t pid = -1;
    int fd = -1;  // read end of its report pipe; -1 once it reached its end
    Clock::time_point started;
    QByteArray pending;  // an incomplete line
    QStringList statusLines;
    QStringList messages;
    QString failure;
    uint32_t percent = 0;
};

QString Quoted(const QString &text) { return QStringLiteral("\"%1\"").arg(text); }

// Starts the worker with its report pipe on kWorkerReportFd. Returns an error text on failure.
QString Spawn(const QString &executable, const QStringList &arguments, Child *child) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return QString::fromLocal8Bit(std::strerror(errno));
    // Keep both ends clear of the low descriptors, so that the dup2 below always makes a new
    // descriptor (without close-on-exec) in the child.
    for (int &end : ends) {
        const int high = ::fcntl(end, F_DUPFD_CLOEXEC, 10);
        if (high >= 0) {
            ::close(end);
            end = high;
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], kWorkerReportFd);

    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(executable));
    for (const QString &argument : arguments) storage.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &one : storage) argv.push_back(one.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, storage.front().constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        return QString::fromLocal8Bit(std::strerror(error));
    }
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
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
        case WorkerEvent::Status: child->statusLines << event.text; break;
        case WorkerEvent::Progress: child->percent = event.position; break;
        case WorkerEvent::Message: child->messages << event.text; break;
        case WorkerEvent::Failure: child->failure = event.text; break;
        case WorkerEvent::Unknown: break;
        }
    }
}

// " after" and the child's last status line, which tells how far its conversion came.
QString AfterLastStatus(const Child &child) {
    return child.statusLines.isEmpty() ? QString() : QStringLiteral(" after ") + Quoted(child.statusLines.last());
}

// The file's result from the way its worker ended: the failure the worker reported, else its
// last status line, else how the process ended.
FileResult ResultOfExit(const Child &child, int status) {
    FileResult result;
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == kExitConverted && child.failure.isEmpty()) {
            result.converted = true;
        } else if (!child.failure.isEmpty()) {
            result.reason = child.failure;
        } else if (!child.statusLines.isEmpty()) {
            result.reason = child.statusLines.last();
        } else {
            result.reason = QStringLiteral("its conversion process ended with exit code %1").arg(code);
        }
    } else if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        result.reason = QStringLiteral("its conversion process crashed (signal %1, %2)%3")
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
    return FileResult{false, QStringLiteral("its conversion took longer than %1 s and was stopped%2")
                                 .arg(timeoutSeconds)
                                 .arg(AfterLastStatus(*child))};
}

// The one-line display of a batch on a terminal: files done, and each running file's share.
QString BatchLine(size_t done, size_t total, const std::list<Child> &running,
                  const std::vector<PlannedTask> &planned, int columns) {
    QString line = QStringLiteral("[%1/%2]").arg(done).arg(total);
    for (const Child &child : running) {
        line += QStringLiteral("  %1 %2%").arg(QFileInfo(planned[child.task].task.input).fileName()).arg(
            child.percent > 100 ? 100 : child.percent);
    }
    return FitToColumns(line, columns);
}

// What a batch shows: the batch line on a terminal (unless quiet), and for each file as it
// ends, its status lines when verbose, the messages of its plug-ins and its result line.
class BatchDisplay {
public:
    BatchDisplay(const ConvertOptions &options, bool onTerminal)
        : verbosity_(options.verbosity), bar_(onTerminal && options.verbosity != Verbosity::Quiet) {}

    void Draw(const QString &text) {
        if (bar_) line_.Draw(text);
    }

    void Ended(const FileTask &task, const Child *child, const FileResult &result) {
        line_.Clear();
        if (verbosity_ == Verbosity::Verbose && child) {
            std::fprintf(stdout, "%s:\n", task.input.toUtf8().constData());
            for (const QString &line : child->statusLines) std::fprintf(stdout, "%s\n", line.toUtf8().constData());
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

QStringList WorkerArguments(const ConvertOptions &options, const FileTask &task) {
    QStringList arguments{QStringLiteral("--worker"), QString::number(::getpid())};
    if (options.width) arguments << QStringLiteral("--width") << QString::number(*options.width);
    if (options.height) arguments << QStringLiteral("--height") << QString::number(*options.height);
    if (options.antiAlias) arguments << QStringLiteral("--anti-alias");
    if (!options.format.isEmpty()) arguments << QStringLiteral("--format") << options.format;
    if (!options.inputPlugin.isEmpty()) arguments << QStringLiteral("--input-plugin") << options.inputPlugin;
    if (!options.outputPlugin.isEmpty()) arguments << QStringLiteral("--output-plugin") << options.outputPlugin;
    if (options.replaceReadOnly) arguments << QStringLiteral("--force");
    else if (options.overwrite) arguments << QStringLiteral("--overwrite");
    if (options.lenient) arguments << QStringLiteral("--lenient");
    arguments << QStringLiteral("--output") << task.output << QStringLiteral("--") << task.input;
    return arguments;
}

int RunBatch(const ConvertOptions &options, const std::vector<PlannedTask> &planned, const QString &executable,
             bool onTerminal) {
    BatchDisplay display(options, onTerminal);
    const int columns = TerminalColumns(STDERR_FILENO);
    std::vector<FileResult> results(planned.size());
    std::list<Child> running;
    size_t next = 0;
    size_t done = 0;
    const auto limit = std::chrono::seconds(options.timeoutSeconds);

    auto finish = [&](size_t index, const Child *child, const FileResult &result) {
        results[index] = result;
        ++done;
        display.Ended(planned[index].task, child, result);
    };

    while (next < planned.size() || !running.empty()) {
        while (next < planned.size() && running.size() < static_cast<size_t>(options.jobs)) {
            const size_t index = next++;
            const PlannedTask &one = planned[index];
            if (!one.clash.isEmpty()) {
                finish(index, nullptr,
                       {false, QStringLiteral("it would go to %1, as %2 does").arg(one.task.output, one.clash)});
                continue;
            }
            Child child;
            child.task = index;
            const QString error = Spawn(executable, WorkerArguments(options, one.task), &child);
            if (!error.isEmpty()) {
                finish(index, nullptr, {false, QStringLiteral("no process could be started for it: %1").arg(error)});
                continue;
            }
            running.push_back(std::move(child));
        }
        if (running.empty()) continue;

        // Wait for news from any child, at most until the nearest time limit.
        std::vector<pollfd> fds;
        int wait = 200;
        for (const Child &child : running) {
            if (child.fd >= 0) fds.push_back({child.fd, POLLIN, 0});
            if (options.timeoutSeconds > 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(child.started + limit -
                                                                                         Clock::now());
                wait = std::max(0, std::min<int>(wait, static_cast<int>(left.count()) + 1));
            }
        }
        ::poll(fds.data(), fds.size(), wait);

        for (auto it = running.begin(); it != running.end();) {
            Child &child = *it;
            Drain(&child);
            const std::optional<FileResult> result = ResultOfEnd(&child, options.timeoutSeconds);
            if (!result) {
                ++it;
                continue;
            }
            if (child.fd >= 0) ::close(child.fd);
            child.fd = -1;
            finish(child.task, &child, *result);
            it = running.erase(it);
        }
        display.Draw(BatchLine(done, planned.size(), running, planned, columns));
    }
    display.Clear();

    size_t failed = 0;
    for (const FileResult &result : results) failed += result.converted ? 0 : 1;
    if (failed == 0) return kExitConverted;
    std::fprintf(stderr, "faltrix-convert: %zu of %zu files failed:\n", failed, planned.size());
    for (size_t i = 0; i < planned.size(); ++i) {
        if (!results[i].converted)
            std::fprintf(stderr, "  %s: %s\n", planned[i].task.input.toUtf8().constData(),
                         results[i].reason.toUtf8().constData());
    }
    std::fflush(stderr);
    return kExitFailed;
}

}  // namespace faltrix
