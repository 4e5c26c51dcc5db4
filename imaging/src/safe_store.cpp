// Storing through a temporary of the host's own: whatever the output plug-in does with the
// path it is given (writes in place, truncates, crashes half way), the output itself changes
// only by one rename of a complete, synced file. Without permission to overwrite, the rename
// refuses an output that exists by then, so a file made by someone else during the conversion
// survives.
#include "safe_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "faltrix/stop_signals.h"
#include "faltrix/temporaries.h"
#include "faltrix/text.h"

namespace faltrix {

// The live temporaries' names where a signal handler can read them: a slot is claimed (1),
// filled, then published (2); a handler removes only published names. One job runs at a time
// in a process, so a few slots are plenty; a temporary that finds none is just not removed
// on a signal.
struct LiveSlot {
    std::atomic<int> state{0};
    char path[PATH_MAX] = {};
};

namespace {

LiveSlot g_live[8];

std::atomic<TemporaryObserver> g_made{nullptr};
std::atomic<TemporaryObserver> g_ended{nullptr};

LiveSlot *Publish(const std::string &path) {
    if (path.size() >= PATH_MAX) return nullptr;
    for (LiveSlot &slot : g_live) {
        int free = 0;
        if (!slot.state.compare_exchange_strong(free, 1)) continue;
        std::memcpy(slot.path, path.c_str(), path.size() + 1);
        slot.state.store(2, std::memory_order_release);
        return &slot;
    }
    return nullptr;
}

// Six letters or digits, as mkstemp would choose them.
std::string RandomName() {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}() ^ (uint64_t(getpid()) << 32)};
    std::string name(6, 'x');
    for (char &c : name) c = kLetters[random() % (sizeof kLetters - 1)];
    return name;
}

void Withdraw(LiveSlot *slot) {
    if (slot != nullptr) slot->state.store(0, std::memory_order_release);
}

// The stop hook: async-signal-safe, as RemoveHostTemporary is.
void RemoveLive(int) {
    for (LiveSlot &slot : g_live) {
        if (slot.state.load(std::memory_order_acquire) == 2) RemoveHostTemporary(slot.path);
    }
}

}  // namespace

bool RemoveHostTemporary(const char *path) {
    const char *name = path;
    for (const char *c = path; *c != 0; ++c) {
        if (*c == '/') name = c + 1;
    }
    static constexpr char kPrefix[] = ".faltrix-";
    for (size_t i = 0; i + 1 < sizeof kPrefix; ++i) {
        if (name[i] != kPrefix[i]) return false;
    }
    struct stat info {};
    return ::lstat(path, &info) == 0 && S_ISREG(info.st_mode) && ::unlink(path) == 0;
}

void RemoveTemporariesOnSignals() { AddStopHook(RemoveLive, true); }

void ObserveTemporaries(TemporaryObserver made, TemporaryObserver ended) {
    g_made.store(made);
    g_ended.store(ended);
}

namespace safe_store {
namespace {

std::u16string ErrnoText(int error) { return Utf8ToUtf16(std::strerror(error)); }

// The process's umask without changing it (umask() would, racing with other threads that
// create files).
mode_t CurrentUmask() {
    FILE *f = std::fopen("/proc/self/status", "re");
    mode_t mask = 022;
    if (!f) return mask;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "Umask:", 6) == 0) {
            mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8) & 0777);
            break;
        }
    }
    std::fclose(f);
    return mask;
}

// The folder part of a path, "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The extension of the path's last name with its dot, empty when it has none: the plug-in
// may choose what it writes by it.
std::string ExtensionOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return path.substr(dot);
}

// Puts `from` at `to` only when nothing is there: atomically where the file system can, else
// by a hard link (which fails on an existing name too) and the removal of `from`.
int RenameNoReplace(const char *from, const char *to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(from, to) != 0) return -1;
    (void)unlink(from);
    return 0;
}

}  // namespace

Temporary::Temporary(std::u16string_view output) {
    if (output.empty() || output.back() == u'/') {
        cause_ = u"the output path names no file";
        return;
    }
    if (!Utf16ToPathBytes(output, &final_)) {
        cause_ = u"the output path holds a lone surrogate that stands for no byte of a file name";
        return;
    }
    // Storing through a symbolic link replaces the file it points to, not the link.
    struct stat st {};
    if (lstat(final_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (!realpath(final_.c_str(), resolved)) {
            cause_ = ErrnoText(errno);
            return;
        }
        final_ = resolved;
    }
    if (stat(final_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {  // never a folder or a device
        cause_ = u"the output path names something other than a file";
        return;
    }

    // The name is made known (to this process's signal handlers, and to whoever watches its
    // temporaries) before the file exists, so that there is no moment at which the file is
    // there and nobody would remove it: however the process ends from here on, even by
    // SIGKILL, the name is removed. A name another file took meanwhile is withdrawn untouched.
    const std::string extension = ExtensionOf(final_);
    for (int attempt = 0;; ++attempt) {
        std::string name = FolderOf(final_) + "/.faltrix-" + RandomName() + extension;
        LiveSlot *live = Publish(name);
        const TemporaryObserver made = g_made.load(), ended = g_ended.load();
        if (made != nullptr) made(name.c_str());
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            temp_ = std::move(name);
            live_ = live;
            break;
        }
        const int error = errno;
        Withdraw(live);
        if (ended != nullptr) ended(name.c_str());
        if (error != EEXIST || attempt == 99) {
            cause_ = ErrnoText(error);
            return;
        }
    }
    // The plug-in gets the name in UTF-16, a folder (or a link's target) that is not UTF-8 with
    // its bytes escaped, which every name survives.
    path16_ = PathBytesToUtf16(temp_);
}

Temporary::~Temporary() { Remove(); }

void Temporary::Remove() {
    if (!temp_.empty()) (void)unlink(temp_.c_str());
    Forget();
}

void Temporary::Forget() {
    Withdraw(live_);
    live_ = nullptr;
    if (const TemporaryObserver ended = g_ended.load(); ended != nullptr && !temp_.empty())
        ended(temp_.c_str());
    temp_.clear();
    path16_.clear();
}

bool Temporary::Fail(std::u16string cause) {
    cause_ = std::move(cause);
    Remove();
    return false;
}

bool Temporary::Commit(Permission permission) {
    if (temp_.empty()) return false;
    const int fd = open(temp_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat written {};
    if (fd < 0 || fstat(fd, &written) != 0 || !S_ISREG(written.st_mode) || written.st_size == 0) {
        if (fd >= 0) close(fd);
        return Fail(u"the output plug-in reported success but wrote nothing");
    }

    // A replaced output keeps its mode (and, where allowed, its owner); a new one gets the
    // usual 0666 less the umask instead of the temporary's 0600.
    struct stat old {};
    const bool exists = permission.overwrite && stat(final_.c_str(), &old) == 0;
    std::u16string refusal;
    if (exists && !S_ISREG(old.st_mode))
        refusal = u"the output path names something other than a file";
    else if (exists && (old.st_mode & S_IWUSR) == 0 && !permission.replaceReadOnly)
        refusal = u"the existing output is read-only";
    if (!refusal.empty()) {
        close(fd);
        return Fail(std::move(refusal));
    }
    if (exists) {
        (void)fchmod(fd, old.st_mode & 07777);
        if (old.st_uid != written.st_uid || old.st_gid != written.st_gid)
            (void)fchown(fd, old.st_uid, old.st_gid);
    } else {
        (void)fchmod(fd, 0666 & ~CurrentUmask());
    }
    const bool synced = fsync(fd) == 0;
    const int syncError = errno;
    close(fd);
    if (!synced) return Fail(ErrnoText(syncError));

    const int placed = permission.overwrite ? std::rename(temp_.c_str(), final_.c_str())
                                            : RenameNoReplace(temp_.c_str(), final_.c_str());
    if (placed != 0) {
        return Fail(errno == EEXIST
                        ? u"the output file appeared during the conversion and was not replaced"
                        : ErrnoText(errno));
    }
    Forget();
    // Make the rename itself durable; the file is complete either way.
    const int folder = open(FolderOf(final_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)fsync(folder);
        close(folder);
    }
    return true;
}

}  // namespace safe_store
}  // namespace faltrix
