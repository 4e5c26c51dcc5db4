// The verdicts of earlier examinations, kept in one file of the user's cache folder so that a
// start does not examine an unchanged candidate again. A verdict holds for the candidate's
// path as long as the file it names keeps its device, inode, size, modification time and
// change time. The change time is the kernel's: a copy over the file that restores its size and
// modification time (cp -p) still moves it, and no user can set it back.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "faltrix/candidate_probe.h"

namespace faltrix {

// What identifies one version of a file (links followed).
struct FileStamp {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t seconds = 0, nanoseconds = 0;              // modification time
    int64_t changeSeconds = 0, changeNanoseconds = 0;  // the inode's change time
    bool operator==(const FileStamp &) const = default;
};
// False when the path cannot be examined.
bool StampOf(const std::string &path, FileStamp *stamp);
// The stamp as one text, for comparing the file a verdict was given on with the file now.
std::string StampText(const FileStamp &stamp);

struct CachedVerdict {
    FileStamp stamp;
    bool accepted = false;
    std::string reason;  // empty when accepted
    PluginTexts texts;   // of an accepted candidate
};

class VerdictCache {
public:
    // $XDG_CACHE_HOME/faltrix/plugin-verdicts, else ~/.cache/faltrix/plugin-verdicts; empty
    // when neither folder is known.
    static std::string DefaultFile();

    // Reads `file`; a missing, unreadable or damaged file gives an empty cache (a damaged
    // line is dropped, a file of another format is dropped whole).
    explicit VerdictCache(std::string file);

    // The verdict recorded for `path` examined against `tag` when the file still has `stamp`.
    const CachedVerdict *Find(const std::string &tag, const std::string &path,
                              const FileStamp &stamp) const;
    void Put(const std::string &tag, const std::string &path, const CachedVerdict &verdict);

    // Writes the cache back when Put changed it, leaving out the paths that no longer exist:
    // a new file beside the old one, then renamed over it, so that a reader never sees half a
    // file. A folder or file that cannot be written is left as it is, without a word.
    void Save() const;

private:
    std::string file_;
    std::map<std::string, CachedVerdict> entries_;  // keyed by tag, '\t', escaped path
    bool changed_ = false;
};

}  // namespace faltrix
