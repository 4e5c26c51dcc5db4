// The verdict cache's file: a first line naming the format, then one line per verdict,
//   <tag> TAB <device> TAB <inode> TAB <size> TAB <mtime s> TAB <mtime ns> TAB <ctime s> TAB <ctime
//   ns> TAB a|r TAB <path> TAB <reason> TAB <description> [TAB <pattern> TAB <its description>]...
// with the path and the reason escaped (EscapeField), so that any bytes of a file name fit, and
// the texts as the helper sends them (HexUnits). A file of an earlier format is dropped whole.
#include "verdict_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "candidate_check.h"

namespace faltrix {
namespace {

constexpr char kFormatLine[] = "faltrix plug-in verdicts 2";
constexpr size_t kFixedFields = 12;

std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string_view::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

template <typename T>
bool ParseNumber(std::string_view text, T *value) {
    if (text.empty()) return false;
    std::istringstream in{std::string(text)};
    in >> *value;
    return !in.fail() && in.eof();
}

// Makes `folder` and its parents (mode 0700 for the new ones); true when it exists after.
bool MakeFolders(const std::string &folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

}  // namespace

bool StampOf(const std::string &path, FileStamp *stamp) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    *stamp = FileStamp{static_cast<uint64_t>(info.st_dev),
                       static_cast<uint64_t>(info.st_ino),
                       static_cast<uint64_t>(info.st_size),
                       info.st_mtim.tv_sec,
                       info.st_mtim.tv_nsec,
                       info.st_ctim.tv_sec,
                       info.st_ctim.tv_nsec};
    return true;
}

std::string StampText(const FileStamp &s) {
    std::ostringstream text;
    text << s.device << ' ' << s.inode << ' ' << s.size << ' ' << s.seconds << '.' << s.nanoseconds
         << ' ' << s.changeSeconds << '.' << s.changeNanoseconds;
    return text.str();
}

std::string VerdictCache::DefaultFile() {
    const char *cache = std::getenv("XDG_CACHE_HOME");
    // A relative XDG_CACHE_HOME is to be ignored, as the base-directory rules say.
    if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/faltrix/plugin-verdicts";
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.cache/faltrix/plugin-verdicts";
    return std::string();
}

VerdictCache::VerdictCache(std::string file) : file_(std::move(file)) {
    if (file_.empty()) return;
    std::ifstream in(file_, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kFormatLine) return;
    while (std::getline(in, line)) {
        const std::vector<std::string_view> f = SplitTabs(line);
        CachedVerdict verdict;
        FileStamp &s = verdict.stamp;
        std::string path;
        if (f.size() < kFixedFields || (f.size() - kFixedFields) % 2 != 0 ||
            f.size() > kFixedFields + 2 * static_cast<size_t>(kMaxPatterns) || f[0].empty() ||
            (f[8] != "a" && f[8] != "r") || !ParseNumber(f[1], &s.device) ||
            !ParseNumber(f[2], &s.inode) || !ParseNumber(f[3], &s.size) ||
            !ParseNumber(f[4], &s.seconds) || !ParseNumber(f[5], &s.nanoseconds) ||
            !ParseNumber(f[6], &s.changeSeconds) || !ParseNumber(f[7], &s.changeNanoseconds) ||
            !UnescapeField(f[9], &path) || !UnescapeField(f[10], &verdict.reason) ||
            !UnhexUnits(f[11], &verdict.texts.description))
            continue;
        bool texts = true;
        for (size_t i = kFixedFields; texts && i < f.size(); i += 2) {
            FilePattern &p = verdict.texts.patterns.emplace_back();
            texts = UnhexUnits(f[i], &p.pattern) && UnhexUnits(f[i + 1], &p.description);
        }
        if (!texts) continue;
        verdict.accepted = f[8] == "a";
        entries_[std::string(f[0]) + '\t' + std::string(f[9])] = std::move(verdict);
    }
}

const CachedVerdict *VerdictCache::Find(const std::string &tag, const std::string &path,
                                        const FileStamp &stamp) const {
    const auto found = entries_.find(tag + '\t' + EscapeField(path));
    return found != entries_.end() && found->second.stamp == stamp ? &found->second : nullptr;
}

void VerdictCache::Put(const std::string &tag, const std::string &path,
                       const CachedVerdict &verdict) {
    entries_[tag + '\t' + EscapeField(path)] = verdict;
    changed_ = true;
}

void VerdictCache::Save() const {
    if (!changed_ || file_.empty()) return;
    const size_t slash = file_.rfind('/');
    if (slash == 0 || slash == std::string::npos || !MakeFolders(file_.substr(0, slash))) return;
    std::string text = std::string(kFormatLine) + '\n';
    for (const auto &[key, v] : entries_) {
        const size_t tab = key.find('\t');
        std::string path;
        FileStamp now;
        // Verdicts of files gone (the folders of tests, plug-ins removed) are not carried on.
        if (!UnescapeField(std::string_view(key).substr(tab + 1), &path) || !StampOf(path, &now))
            continue;
        const FileStamp &s = v.stamp;
        std::ostringstream line;
        line << key.substr(0, tab) << '\t' << s.device << '\t' << s.inode << '\t' << s.size << '\t'
             << s.seconds << '\t' << s.nanoseconds << '\t' << s.changeSeconds << '\t'
             << s.changeNanoseconds << '\t' << (v.accepted ? 'a' : 'r') << '\t'
             << key.substr(tab + 1) << '\t' << EscapeField(v.reason) << '\t'
             << HexUnits(v.texts.description);
        for (const FilePattern &p : v.texts.patterns)
            line << '\t' << HexUnits(p.pattern) << '\t' << HexUnits(p.description);
        line << '\n';
        text += line.str();
    }
    std::string temporary = file_ + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return;
    bool written = true;
    for (size_t done = 0; written && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        else written = n < 0 && errno == EINTR;
    }
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), file_.c_str()) != 0) ::unlink(temporary.c_str());
}

}  // namespace faltrix
