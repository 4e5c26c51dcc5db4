// Output files written whole or not at all: the picture goes into a temporary file beside
// the output, which is synced and renamed over the output only when complete.
//
// The stream over the temporary file is a cookie stream of our own, so that the system's
// words for the first failed write ("No space left on device") are recorded the moment it
// fails, before the codec library that wrote through the stream reports its own summary.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faltrix/kit/kit.h"

namespace faltrix::kit {
namespace {

// The process's umask without changing it (umask() would, and would race with other
// threads creating files). Linux reports it in /proc/self/status.
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

ssize_t CookieWrite(void *cookie, const char *data, size_t n) {
    const int fd = *static_cast<int *>(cookie);
    size_t done = 0;
    while (done < n) {
        const ssize_t written = write(fd, data + done, n - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            SetLastFailure(written < 0 ? std::strerror(errno) : "the output file takes no more bytes");
            return -1;
        }
        done += static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(n);
}

int CookieSeek(void *cookie, off64_t *position, int whence) {
    const off64_t at = lseek64(*static_cast<int *>(cookie), *position, whence);
    if (at < 0) return -1;
    *position = at;
    return 0;
}

int CookieClose(void *cookie) { return close(*static_cast<int *>(cookie)); }

}  // namespace

AtomicOutputFile::AtomicOutputFile(const std::string &finalPath) : finalPath_(finalPath) {
    if (finalPath_.empty() || finalPath_.back() == '/') {
        SetLastFailure("the output path names no file");
        return;
    }

    // Writing through a symbolic link replaces the file it points to, not the link.
    struct stat st;
    if (lstat(finalPath_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (!realpath(finalPath_.c_str(), resolved)) {
            SetLastFailure(std::strerror(errno));
            return;
        }
        finalPath_ = resolved;
    }
    const bool exists = stat(finalPath_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {  // never replace a folder or a device
        SetLastFailure("the output path names something other than a file");
        return;
    }

    std::string name = FolderOf(finalPath_) + "/.faltrix-XXXXXX";
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        SetLastFailure(std::strerror(errno));
        return;
    }
    tempPath_ = name;

    // An existing output keeps its mode (and, where allowed, its owner); a new file gets the
    // usual 0666 less the umask instead of mkstemp's 0600.
    if (exists) {
        (void)fchmod(fd, st.st_mode & 07777);
        if (st.st_uid != geteuid() || st.st_gid != getegid()) (void)fchown(fd, st.st_uid, st.st_gid);
    } else {
        (void)fchmod(fd, 0666 & ~CurrentUmask());
    }
    fd_ = fd;
    stream_ = fopencookie(&fd_, "wb", cookie_io_functions_t{nullptr, CookieWrite, CookieSeek, CookieClose});
    if (!stream_) {
        SetLastFailure(std::strerror(errno));
        close(fd);
        unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

AtomicOutputFile::~AtomicOutputFile() {
    if (stream_) std::fclose(stream_);
    if (!committed_ && !tempPath_.empty()) unlink(tempPath_.c_str());
}

bool AtomicOutputFile::Write(const void *data, size_t n) {
    return (stream_ && std::fwrite(data, 1, n, stream_) == n) || Fail(std::strerror(errno));
}

bool AtomicOutputFile::Commit() {
    if (!stream_ || committed_) return Fail("the output file is not open");
    errno = 0;
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    ok = ok && fsync(fd_) == 0;
    ok = (std::fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    ok = ok && std::rename(tempPath_.c_str(), finalPath_.c_str()) == 0;
    if (!ok) {
        SetLastFailure(errno ? std::strerror(errno) : "the output file could not be written");
        unlink(tempPath_.c_str());
        tempPath_.clear();
        return false;
    }
    committed_ = true;
    // Make the rename itself durable; the file is complete either way.
    int dir = open(FolderOf(finalPath_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace faltrix::kit
