// The child's report lines, on the pipe the parent reads (fields escaped with EscapeField):
//   c TAB <id> TAB <call>             a call started
//   r TAB <id> TAB <ms> TAB <KiB>     that call returned
//   v TAB <key> TAB <value>           a value for the parent
//   f TAB <reason>                    the check failed
//   s TAB <reason>                    the check was skipped
// A child that ends without an f or s line passed.
#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "candidate_check.h"

namespace faltrix::check {
namespace {

int g_reportFd = -1;
std::atomic<long> g_nextCall{0};

void Write(const std::string &line) {
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(g_reportFd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(3);  // the parent is gone
        done += static_cast<size_t>(n);
    }
}

// Peak resident memory of the process in KiB, from /proc/self/status; -1 when unknown.
long PeakKiB() {
    FILE *status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return -1;
    long kib = -1;
    std::array<char, 256> line{};
    while (std::fgets(line.data(), line.size(), status) != nullptr) {
        if (std::strncmp(line.data(), "VmHWM:", 6) == 0)
            kib = std::strtol(line.data() + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

// Starts the peak anew at the present size, so that it measures the next call alone (Linux 4.0
// and later; elsewhere the peak is the process's since it started).
void ResetPeak() {
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t n = ::write(fd, "5", 1);
    ::close(fd);
}

std::string SignalName(int signal) {
    const char *abbreviation = ::sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation
                                   : "signal " + std::to_string(signal);
}

// What the parent read of a child's report.
struct Reading {
    CheckOutcome outcome;
    bool verdictGiven = false;
    std::vector<std::pair<std::string, std::string>> open;  // calls started, not returned
};

void ParseLine(std::string_view line, Reading *reading) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t tab = line.find('\t', start);
        std::string field;
        UnescapeField(line.substr(start, tab == std::string_view::npos ? tab : tab - start),
                      &field);
        fields.push_back(std::move(field));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    CheckOutcome &outcome = reading->outcome;
    const std::string &kind = fields[0];
    if (kind == "c" && fields.size() == 3) {
        reading->open.emplace_back(fields[1], fields[2]);
    } else if (kind == "r" && fields.size() == 4) {
        for (auto it = reading->open.begin(); it != reading->open.end(); ++it) {
            if (it->first != fields[1]) continue;
            outcome.calls.push_back({it->second, std::strtod(fields[2].c_str(), nullptr),
                                     std::strtol(fields[3].c_str(), nullptr, 10)});
            reading->open.erase(it);
            break;
        }
    } else if (kind == "v" && fields.size() == 3) {
        outcome.values[fields[1]] = fields[2];
    } else if ((kind == "f" || kind == "s") && fields.size() == 2 && !reading->verdictGiven) {
        outcome.verdict =
            kind == "f" ? CheckOutcome::Verdict::Failed : CheckOutcome::Verdict::Skipped;
        outcome.reason = fields[1];
        reading->verdictGiven = true;
    }
}

[[noreturn]] void RunChild(const std::function<void()> &body, int reportFd) {
    g_reportFd = reportFd;
    // What the plug-in prints goes to standard error, apart from the checker's lines.
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    body();
    ::_exit(0);
}

// Reads the child's lines until it closes the pipe or ends, or one call has run for `limit`.
// Answers false when it hung. A child that ended, while a process it started still holds the
// pipe open, is reaped here (*reaped, with its *status).
bool ReadReport(int fd, pid_t pid, std::chrono::milliseconds limit, Reading *reading, int *status,
                bool *reaped) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + limit;
    std::string text;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, 250)));
        if (polled < 0 && errno != EINTR) return true;
        if (polled == 0 && ::waitpid(pid, status, WNOHANG) == pid) return *reaped = true;
        if (polled <= 0) continue;
        std::array<char, 4096> chunk;
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        text.append(chunk.data(), static_cast<size_t>(n));
        for (size_t end; (end = text.find('\n')) != std::string::npos; text.erase(0, end + 1)) {
            ParseLine(std::string_view(text).substr(0, end), reading);
            deadline = Clock::now() + limit;
        }
    }
}

std::string LimitText(std::chrono::milliseconds limit) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g s", static_cast<double>(limit.count()) / 1000.0);
    return text.data();
}

}  // namespace

CheckOutcome RunInChild(const std::function<void()> &body, std::chrono::milliseconds limit) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {CheckOutcome::Verdict::Failed, "the checker could not make a pipe", {}, {}};
    }
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        RunChild(body, fds[1]);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return {CheckOutcome::Verdict::Failed, "the checker could not start a process", {}, {}};
    }
    Reading reading;
    int status = 0;
    bool reaped = false;
    const bool answered = ReadReport(fds[0], pid, limit, &reading, &status, &reaped);
    ::close(fds[0]);
    if (!answered) ::kill(pid, SIGKILL);
    while (!reaped && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}

    CheckOutcome outcome = std::move(reading.outcome);
    const std::string in =
        reading.open.empty() ? std::string() : " in " + reading.open.back().second;
    if (!answered) {
        outcome.verdict = CheckOutcome::Verdict::Failed;
        outcome.reason = "it did not return within " + LimitText(limit) + in;
    } else if (WIFSIGNALED(status)) {
        outcome.verdict = CheckOutcome::Verdict::Failed;
        outcome.reason = "it crashed with " + SignalName(WTERMSIG(status)) + in;
    } else if (!reading.verdictGiven && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        outcome.verdict = CheckOutcome::Verdict::Failed;
        outcome.reason =
            "it ended the process with exit status " + std::to_string(WEXITSTATUS(status)) + in;
    } else if (!reading.verdictGiven && !reading.open.empty()) {
        outcome.verdict = CheckOutcome::Verdict::Failed;
        outcome.reason = "it ended the process" + in;
    }
    return outcome;
}

void Fail(std::string_view reason) {
    Write("f\t" + EscapeField(reason) + "\n");
    ::_exit(0);
}

void Skip(std::string_view reason) {
    Write("s\t" + EscapeField(reason) + "\n");
    ::_exit(0);
}

void Tell(std::string_view key, std::string_view value) {
    Write("v\t" + EscapeField(key) + "\t" + EscapeField(value) + "\n");
}

CallMark Started(std::string call) {
    const long id = g_nextCall.fetch_add(1);
    Write("c\t" + std::to_string(id) + "\t" + EscapeField(call) + "\n");
    ResetPeak();
    return CallMark{id, std::chrono::steady_clock::now()};
}

void Returned(const CallMark &mark) {
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - mark.start;
    std::array<char, 32> ms{};
    std::snprintf(ms.data(), ms.size(), "%.3f", took.count());
    Write("r\t" + std::to_string(mark.id) + "\t" + ms.data() + "\t" + std::to_string(PeakKiB()) +
          "\n");
}

}  // namespace faltrix::check
