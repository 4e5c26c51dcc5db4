// faltrix-plugin-probe: examines candidate libraries for the plug-in host, which runs it so that
// a library that crashes or hangs takes only this process down.
//
//   faltrix-plugin-probe TAG PATH...
//
// First the line "faltrix-plugin-probe 2" on descriptor 3, which tells the host that this
// process started (a helper that cannot even start is no candidate's fault); then for each
// path in turn, one line on descriptor 3 (the host's pipe; the host sends standard output and
// error to /dev/null):
//   <index> TAB a TAB <description> [TAB <pattern> TAB <its description>]...
//                            accepted, with its texts (HexUnits: each UTF-16 unit in four hex
//                            digits), the patterns in the order asked
//   <index> TAB r TAB <why>  refused, the reason escaped (EscapeField)
//   <index> TAB l TAB <why>  refused by the loader, in its own words
// Each line is written as soon as its candidate is done, so that the host knows which
// candidate was being examined when this process died.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "candidate_check.h"
#include "faltrix/text.h"

namespace {

// False when the host is gone or has stopped listening.
bool Report(const std::string &line) {
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(3, line.data() + done, line.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    // The host may be killed while a candidate hangs here; this process goes with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A candidate's crash is an answer here, not something to keep a core file of.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    if (argc < 2 || !Report("faltrix-plugin-probe 2\n")) return 2;
    const std::u16string tag = faltrix::Utf8ToUtf16(argv[1]);
    for (int i = 2; i < argc; ++i) {
        std::string why;
        bool loaderFailed = false;
        // Each library stays loaded: releasing one would unload the libraries it shares with
        // the next (a toolkit loaded anew for every plug-in that uses it), as the host, which
        // has them loaded already, does not.
        faltrix::PluginTexts texts;
        const bool accepted =
            faltrix::ExamineCandidate(argv[i], tag, &why, &loaderFailed, true, &texts);
        std::string verdict;
        if (accepted) {
            verdict = "\ta\t" + faltrix::HexUnits(texts.description);
            for (const faltrix::FilePattern &p : texts.patterns)
                verdict +=
                    '\t' + faltrix::HexUnits(p.pattern) + '\t' + faltrix::HexUnits(p.description);
        } else {
            verdict = (loaderFailed ? "\tl\t" : "\tr\t") + faltrix::EscapeField(why);
        }
        if (!Report(std::to_string(i - 2) + verdict + "\n")) return 3;
    }
    // Without the libraries' destructors: every verdict is given, and one that crashed or hung
    // at exit would only hold the host up.
    ::_exit(0);
}
