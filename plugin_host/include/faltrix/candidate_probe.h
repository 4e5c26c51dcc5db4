// Examining candidate libraries in a helper process (faltrix-plugin-probe), so that a library
// that crashes or hangs while it is loaded or asked for its type tag takes down the helper, not
// the program.
//
// The helper loads each candidate with the rules of a scan (candidate_check.h) and reports a
// verdict per candidate on a pipe, with everything the lists show of an accepted one (its
// description and file patterns), so that the programs never ask a list entry themselves. When it
// dies on a candidate, that candidate is refused with the signal and a new helper examines the
// rest; when it gives no verdict within the time limit, it is killed and the candidate refused.
// Verdicts are cached (verdict_cache.h) by the file's identity (with the inode's change time, which
// no user can set back), except those that depend on more than the file: the loader's failures (a
// missing library may be installed later) and deaths by a signal that no fault of the library
// raises (an interrupt from the terminal). Without a working helper no candidate is loaded at all:
// each is refused, the reason naming what is wrong with the helper, and nothing is cached.
//
// Threads: the dialog's thread only, as ScanPlugins.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace faltrix {

// The buffers the texts are asked into, in UTF-16 units with the terminating NUL: the
// description (GetPluginInfo 1) and each file pattern and its description (2k and 2k + 1).
inline constexpr int32_t kDescriptionBufferLength = 256;
inline constexpr int32_t kPatternBufferLength = 1024;
// Patterns asked at most: k = 1 .. kMaxPatterns, up to the first empty answer. It ends a
// plug-in that answers every number.
inline constexpr int32_t kMaxPatterns = 64;

struct FilePattern {
    std::u16string pattern;      // "*.jpg;*.jpeg" as the plug-in answers it
    std::u16string description;  // empty when the plug-in gives none
    bool operator==(const FilePattern &) const = default;
};

// What an accepted plug-in says about itself. Each text is the answer read up to its first NUL
// (within its buffer), and empty when the call answered 0 or less.
struct PluginTexts {
    std::u16string description;
    std::vector<FilePattern> patterns;
    bool operator==(const PluginTexts &) const = default;
};

struct CandidateVerdict {
    bool accepted = false;
    std::string reason;    // why it is refused; empty when accepted
    PluginTexts texts;     // of an accepted candidate
    std::string identity;  // the file examined (device, inode, size, times); empty when unknown
};

// One verdict per path, in the order given, against the list's type tag. The helper is
// faltrix-plugin-probe beside the executable.
std::vector<CandidateVerdict> ExamineCandidates(const std::vector<std::string> &paths,
                                                std::u16string_view tag);

// How long the helper may take over one candidate; 5 s unless set.
void SetExamineTimeLimit(std::chrono::milliseconds limit);

// Tests run another helper program (a missing or broken one); an empty path returns to the
// one beside the executable.
void SetExaminerProgram(std::string path);

}  // namespace faltrix
