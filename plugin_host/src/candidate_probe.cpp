// Runs faltrix-plugin-probe over the candidates a scan has not seen before, and reads its
// verdicts (the line format is described at the head of probe_main.cpp).
#include "faltrix/candidate_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include "candidate_check.h"
#include "faltrix/text.h"
#include "verdict_cache.h"

extern char **environ;

namespace faltrix {
namespace {

std::chrono::milliseconds g_timeLimit{5000};
std::string g_programOverride;

std::string ProbeProgram() {
    if (!g_programOverride.empty()) return g_programOverride;
    std::array<char, PATH_MAX> exe{};
    const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
    if (n <= 0 || static_cast<size_t>(n) >= exe.size()) return std::string();
    std::string path(exe.data(), static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + "faltrix-plugin-probe";
}

std::string LimitText() {
    const auto ms = g_timeLimit.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g s", static_cast<double>(ms) / 1000.0);
    return text.data();
}

// Signals that a library's own fault raises; a death by any other (an interrupt from the
// terminal, a kill by someone else) says nothing lasting about the library.
bool IsFaultSignal(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE ||
           signal == SIGABRT || signal == SIGTRAP || signal == SIGSYS;
}

struct Examined {
    CandidateVerdict verdict;
    bool cacheable = true;
};

// The texts of an accepted candidate from the fields after "a": the description, then pairs.
bool ParseTexts(std::string_view fields, PluginTexts *texts) {
    std::vector<std::u16string> parts(1);
    for (size_t start = 0;;) {
        const size_t tab = fields.find('\t', start);
        if (!UnhexUnits(fields.substr(start, tab == std::string_view::npos ? tab : tab - start),
                        &parts.back()))
            return false;
        if (tab == std::string_view::npos) break;
        parts.emplace_back();
        start = tab + 1;
    }
    if (parts.size() % 2 != 1 || parts.size() > 1 + 2 * static_cast<size_t>(kMaxPatterns))
        return false;
    texts->description = std::move(parts[0]);
    texts->patterns.clear();
    for (size_t i = 1; i < parts.size(); i += 2)
        texts->patterns.push_back({std::move(parts[i]), std::move(parts[i + 1])});
    return true;
}

// One verdict line of the helper for candidate `index`; false when the line is not one.
bool ParseLine(std::string_view line, size_t index, Examined *out) {
    const std::string prefix = std::to_string(index) + '\t';
    if (!line.starts_with(prefix)) return false;
    line.remove_prefix(prefix.size());
    if (line.starts_with("a\t")) {
        *out = Examined{{true, {}, {}, {}}, true};
        return ParseTexts(line.substr(2), &out->verdict.texts);
    }
    if (line.size() < 2 || (line[0] != 'r' && line[0] != 'l') || line[1] != '\t') return false;
    *out = Examined{{false, {}, {}, {}}, line[0] == 'r'};
    return UnescapeField(line.substr(2), &out->verdict.reason);
}

// Starts the helper over `paths` with the report pipe on its descriptor 3; -1 when it cannot
// be started. `*readEnd` receives the host's end of the pipe.
pid_t StartHelper(const std::string &program, const std::string &tag,
                  const std::vector<std::string> &paths, int *readEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    int writeEnd = fds[1];
    if (writeEnd == 3) {  // dup2 onto itself would leave close-on-exec set
        writeEnd = ::fcntl(3, F_DUPFD_CLOEXEC, 4);
        ::close(3);
    }
    std::vector<char *> argv{const_cast<char *>(program.c_str()), const_cast<char *>(tag.c_str())};
    for (const std::string &path : paths) argv.push_back(const_cast<char *>(path.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, writeEnd, 3);
    // What a library prints while it is examined is not shown: the host loads the ones it takes
    // itself, and their words come from there once, as they always have.
    for (const int quiet : {STDOUT_FILENO, STDERR_FILENO})
        ::posix_spawn_file_actions_addopen(&actions, quiet, "/dev/null", O_WRONLY, 0);
    // Nor does a candidate read what the program reads (the picture on standard input).
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Nothing else of the host's (a batch worker's report pipe, the dialog's sockets) goes along.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    ::posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    // posix_spawn, not fork: the dialog has threads, and only exec makes a forked copy safe.
    const int failed = writeEnd < 0 || ::posix_spawn(&pid, program.c_str(), &actions, &attributes,
                                                     argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (writeEnd >= 0) ::close(writeEnd);
    if (failed) {
        ::close(fds[0]);
        return -1;
    }
    *readEnd = fds[0];
    return pid;
}

constexpr std::string_view kGreeting = "faltrix-plugin-probe 2";

// The verdict on the candidate the helper was examining when it stopped short: what the
// helper did (hung, garbled its report, crashed, ended), and whether that may be kept.
void Blame(Examined *culpritOut, bool hung, bool garbled, pid_t waited, pid_t pid, int status) {
    Examined &culprit = *culpritOut;
    culprit = Examined{{false, {}, {}, {}}, true};
    std::string &why = culprit.verdict.reason;
    if (hung) {
        why = "did not answer within " + LimitText() + " while being examined";
    } else if (garbled) {
        why = "wrote into the report of its examination";
        culprit.cacheable = false;
    } else if (waited == pid && WIFSIGNALED(status)) {
        why = "crashed while being examined (signal " + std::to_string(WTERMSIG(status)) + ")";
        culprit.cacheable = IsFaultSignal(WTERMSIG(status));
    } else if (waited == pid && WIFEXITED(status)) {
        why = "ended the process while being examined (exit status " +
              std::to_string(WEXITSTATUS(status)) + ")";
        // Not kept: a candidate before it may have ended the process after writing this one's
        // line itself, and an innocent library must not stay refused for that.
        culprit.cacheable = false;
    } else {
        why = "ended the process while being examined";
        culprit.cacheable = false;
    }
}

// Runs one helper over paths[i] for i in `pending` from `first` on, storing the verdicts in
// `out`. Answers the position in `pending` after the last candidate it settled (the one the
// helper died or hung on is settled too), or `first` when the helper cannot be started or
// ends before it greets, with `*broken` saying what is wrong with it.
size_t RunHelper(const std::string &program, const std::string &tag,
                 const std::vector<std::string> &paths, const std::vector<size_t> &pending,
                 size_t first, std::vector<Examined> *out, std::string *broken) {
    std::vector<std::string> batch;
    for (size_t k = first; k < pending.size(); ++k) batch.push_back(paths[pending[k]]);
    if (program.empty() || ::access(program.c_str(), F_OK) != 0) {
        *broken = "faltrix-plugin-probe is missing";
        return first;
    }
    int readEnd = -1;
    const pid_t pid = StartHelper(program, tag, batch, &readEnd);
    if (pid < 0) {
        *broken = "faltrix-plugin-probe could not be started";
        return first;
    }

    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + g_timeLimit;
    size_t done = 0;  // verdicts read, within `batch`
    bool greeted = false, hung = false, garbled = false;
    std::string text;
    while (done < batch.size() && !garbled) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            hung = true;
            break;
        }
        pollfd ready{readEnd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (polled <= 0) {
            if (polled == 0 || errno == EINTR) continue;
            break;
        }
        std::array<char, 4096> chunk;
        const ssize_t n = ::read(readEnd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the helper has ended
        text.append(chunk.data(), static_cast<size_t>(n));
        for (size_t end; done < batch.size() && (end = text.find('\n')) != std::string::npos;) {
            const std::string_view line = std::string_view(text).substr(0, end);
            garbled = greeted ? !ParseLine(line, done, &(*out)[pending[first + done]])
                              : line != kGreeting;
            if (garbled) break;
            done += greeted ? 1 : 0;  // the first line is the greeting, no verdict
            greeted = true;
            text.erase(0, end + 1);
            deadline = Clock::now() + g_timeLimit;
        }
    }
    // A helper that stopped short may still be running (a candidate closed the pipe, or the
    // wait failed); one that has ended keeps the status it ended with.
    if (done < batch.size()) ::kill(pid, SIGKILL);
    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {}
    ::close(readEnd);
    if (!greeted) {  // it never started examining: no candidate's fault
        if (garbled) *broken = "faltrix-plugin-probe does not speak this program's language";
        else if (hung) *broken = "faltrix-plugin-probe did not start within " + LimitText();
        else if (waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 127)
            *broken = "faltrix-plugin-probe could not be started";
        else *broken = "faltrix-plugin-probe ended before examining anything";
        return first;
    }
    if (done == batch.size()) return pending.size();

    Blame(&(*out)[pending[first + done]], hung, garbled, waited, pid, status);
    return first + done + 1;
}

}  // namespace

void SetExamineTimeLimit(std::chrono::milliseconds limit) { g_timeLimit = limit; }
void SetExaminerProgram(std::string path) { g_programOverride = std::move(path); }

std::vector<CandidateVerdict> ExamineCandidates(const std::vector<std::string> &paths,
                                                std::u16string_view tag) {
    const std::string tagText = Utf16ToUtf8(tag);
    VerdictCache cache(VerdictCache::DefaultFile());
    std::vector<Examined> examined(paths.size());
    std::vector<FileStamp> stamps(paths.size());
    std::vector<bool> stamped(paths.size());
    std::vector<size_t> pending;
    for (size_t i = 0; i < paths.size(); ++i) {
        stamped[i] = StampOf(paths[i], &stamps[i]);
        const CachedVerdict *known =
            stamped[i] ? cache.Find(tagText, paths[i], stamps[i]) : nullptr;
        if (known != nullptr)
            examined[i].verdict =
                CandidateVerdict{known->accepted, known->reason, known->texts, {}};
        else pending.push_back(i);
    }

    const std::string program = pending.empty() ? std::string() : ProbeProgram();
    for (size_t k = 0; k < pending.size();) {
        std::string broken;
        const size_t next = RunHelper(program, tagText, paths, pending, k, &examined, &broken);
        if (next != k) {
            k = next;
            continue;
        }
        // No working helper: nothing unexamined is loaded in this process, where a library that
        // crashes in loading would take the program down at every start.
        for (; k < pending.size(); ++k)
            examined[pending[k]] = Examined{{false, "not examined: " + broken, {}, {}}, false};
    }

    for (const size_t i : pending) {
        if (stamped[i] && examined[i].cacheable)
            cache.Put(tagText, paths[i],
                      CachedVerdict{stamps[i], examined[i].verdict.accepted,
                                    examined[i].verdict.reason, examined[i].verdict.texts});
    }
    cache.Save();

    std::vector<CandidateVerdict> verdicts;
    for (size_t i = 0; i < examined.size(); ++i) {
        verdicts.push_back(std::move(examined[i].verdict));
        if (stamped[i]) verdicts.back().identity = StampText(stamps[i]);
    }
    return verdicts;
}

}  // namespace faltrix
