// faltrix-plugin-check: runs a plug-in through the calls the host makes and tells, one line per
// check, whether it keeps the contract of faltrix/plugin.h. Each check runs in a process of its
// own, so a crash or a hang fails that check and the others still run.
#include <ftw.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "child.h"
#include "subject.h"

namespace {

using faltrix::check::Check;
using faltrix::check::CheckOutcome;
using faltrix::check::Subject;

constexpr char kHelp[] =
    "Usage: faltrix-plugin-check [OPTION]... PLUGIN.so [SAMPLE]\n"
    "Runs a Faltrix plug-in through the calls the host makes and prints one line per check:\n"
    "\"passed: CHECK\", \"failed: CHECK because REASON\" or \"skipped: CHECK (REASON)\", each\n"
    "followed by the time and peak memory of the calls it made. Every check runs in a process\n"
    "of its own: a crash or a hang fails that check, and the others still run.\n"
    "\n"
    "An input plug-in (type tag 00IN_EX) reads SAMPLE, a picture in its format; without\n"
    "SAMPLE the checks that read a picture are skipped. An output plug-in (00OUT_EX) stores\n"
    "test pictures of its own into temporaries the checker makes.\n"
    "\n"
    "  -t, --timeout SECONDS  how long one call may take before it counts as hung (10)\n"
    "  -q, --quiet            no time and memory lines\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit status: 0 when every check that ran passed, 1 when one failed, 2 for a usage error.\n"
    "docs/plugins.md of the Faltrix sources lists the checks and the rules behind them.\n";

struct Options {
    std::string plugin, sample;
    double timeout = 10;
    bool quiet = false;
};

bool ParseArguments(int argc, char **argv, Options *options) {
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            std::exit(0);
        } else if (arg == "-q" || arg == "--quiet") {
            options->quiet = true;
        } else if ((arg == "-t" || arg == "--timeout") && i + 1 < argc) {
            char *end = nullptr;
            options->timeout = std::strtod(argv[++i], &end);
            if (*end != 0 || !(options->timeout > 0 && options->timeout < 86400)) return false;
        } else if (arg.starts_with("-") && arg != "-") {
            return false;
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.empty() || operands.size() > 2) return false;
    options->plugin = operands[0];
    if (operands.size() == 2) options->sample = operands[1];
    return true;
}

// The calls of one check by entry point: how many, their time together, the highest peak.
void PrintCalls(const CheckOutcome &outcome) {
    struct Sum {
        int count = 0;
        double milliseconds = 0;
        long peakKiB = -1;
    };
    std::map<std::string, Sum> sums;
    std::vector<std::string> order;
    for (const auto &call : outcome.calls) {
        const std::string name = call.call.substr(0, call.call.find('('));
        if (!sums.contains(name)) order.push_back(name);
        Sum &sum = sums[name];
        ++sum.count;
        sum.milliseconds += call.milliseconds;
        sum.peakKiB = std::max(sum.peakKiB, call.peakKiB);
    }
    for (const std::string &name : order) {
        const Sum &sum = sums[name];
        std::printf("    %s: %d call%s, %.3f ms", name.c_str(), sum.count,
                    sum.count == 1 ? "" : "s", sum.milliseconds);
        if (sum.peakKiB >= 0) std::printf(", peak %.1f MiB resident", sum.peakKiB / 1024.0);
        std::printf("\n");
    }
}

// Runs one check and prints its line; answers false when it failed.
bool Run(const Check &check, const Subject &subject, const Options &options, CheckOutcome *out) {
    for (const std::string &name : check.needs) {
        if (!subject.exports.contains(name)) {
            std::printf("skipped: %s (%s is not exported)\n", check.name.c_str(), name.c_str());
            return true;
        }
    }
    if (check.needsSample && subject.sample.empty()) {
        std::printf("skipped: %s (no sample given)\n", check.name.c_str());
        return true;
    }
    const auto limit = std::chrono::milliseconds(static_cast<long long>(options.timeout * 1000));
    *out = faltrix::check::RunInChild([&] { check.body(subject); }, limit);
    switch (out->verdict) {
    case CheckOutcome::Verdict::Passed: std::printf("passed: %s\n", check.name.c_str()); break;
    case CheckOutcome::Verdict::Failed:
        std::printf("failed: %s because %s\n", check.name.c_str(), out->reason.c_str());
        break;
    case CheckOutcome::Verdict::Skipped:
        std::printf("skipped: %s (%s)\n", check.name.c_str(), out->reason.c_str());
        break;
    }
    if (!options.quiet) PrintCalls(*out);
    std::fflush(stdout);
    return out->verdict != CheckOutcome::Verdict::Failed;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        std::fputs(
            "Usage: faltrix-plugin-check [-q] [-t SECONDS] PLUGIN.so [SAMPLE]\n"
            "Try 'faltrix-plugin-check --help' for more.\n",
            stderr);
        return 2;
    }
    // A crash is an answer here, not something to keep a core file of.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    Subject subject;
    // dlopen takes a bare name from its search path; the plug-in is a file.
    subject.plugin =
        options.plugin.find('/') == std::string::npos ? "./" + options.plugin : options.plugin;
    subject.sample = options.sample;
    if (!subject.sample.empty() && ::access(subject.sample.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "faltrix-plugin-check: %s: %s\n", subject.sample.c_str(),
                     std::strerror(errno));
        return 2;
    }
    std::string work = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                       "/faltrix-plugin-check.XXXXXX";
    if (::mkdtemp(work.data()) == nullptr) {
        std::perror("faltrix-plugin-check: a folder of its own");
        return 2;
    }
    subject.work = work;

    bool passed = true;
    CheckOutcome tag;
    if (Run(faltrix::check::TypeTagCheck(), subject, options, &tag)) {
        subject.output = tag.values["kind"] == "output";
        const std::string &exported = tag.values["exports"];
        for (size_t start = 0, comma; (comma = exported.find(',', start)) != std::string::npos;
             start = comma + 1)
            subject.exports.insert(exported.substr(start, comma - start));
        std::vector<Check> checks = faltrix::check::CommonChecks();
        namespace check = faltrix::check;
        for (auto *more : subject.output ? std::array{check::OutputChecks, check::DeepOutputChecks}
                                         : std::array{check::InputChecks, check::DeepInputChecks})
            for (Check &one : more()) checks.push_back(std::move(one));
        for (const Check &check : checks) {
            CheckOutcome outcome;
            passed = Run(check, subject, options, &outcome) && passed;
        }
    } else {
        passed = false;
        std::printf("The other checks need a plug-in that answers its type tag.\n");
    }
    ::nftw(work.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return passed ? 0 : 1;
}
