// Examining candidate libraries in a helper process (faltrix-plugin-probe), so that a library
// that crashes or hangs while it is loaded or asked for its type tag takes down the helper, not
// the program.
//
// The helper loads each candidate with the rules of a scan (candidate_check.h) and reports a
// verdict per candidate on a pipe. When it dies on a candidate, that candidate is refused with
// the signal and a new helper examines the rest; when it gives no verdict within the time limit,
// it is killed and the candidate refused. Verdicts are cached (verdict_cache.h) by the file's
// identity, except those that depend on more than the file: the loader's failures (a missing
// library may be installed later) and deaths by a signal that no fault of the library raises
// (an interrupt from the terminal).
//
// Threads: the dialog's thread only, as ScanPlugins.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace faltrix {

struct CandidateVerdict {
    bool accepted = false;
    std::string reason;  // why it is refused; empty when accepted
};

// One verdict per path, in the order given, against the list's type tag. The helper is
// faltrix-plugin-probe beside the executable; when it cannot be started (not installed there),
// the candidates are examined in this process instead, as they were before the helper existed.
std::vector<CandidateVerdict> ExamineCandidates(const std::vector<std::string> &paths, std::u16string_view tag);

// How long the helper may take over one candidate; 5 s unless set.
void SetExamineTimeLimit(std::chrono::milliseconds limit);

}  // namespace faltrix
