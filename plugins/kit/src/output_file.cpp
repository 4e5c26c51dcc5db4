// The output file a plug-in writes: the path the host gives, written in place (the host
// hands over a temporary of its own and puts it over the output only when it is complete).
//
// The stream over the file is a cookie stream of our own, so that the system's words for the
// first failed write ("No space left on device") are recorded the moment it fails, before the
// codec library that wrote through the stream reports its own summary.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "faltrix/kit/kit.h"

namespace faltrix::kit {
namespace {

ssize_t CookieWrite(void *cookie, const char *data, size_t n) {
    const int fd = *static_cast<int *>(cookie);
    size_t done = 0;
    while (done < n) {
        const ssize_t written = write(fd, data + done, n - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            SetLastFailure(written < 0 ? std::strerror(errno)
                                       : "the output file takes no more bytes");
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

OutputFile::OutputFile(const std::string &path) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        SetLastFailure(std::strerror(errno));
        return;
    }
    stream_ = fopencookie(&fd_, "wb",
                          cookie_io_functions_t{nullptr, CookieWrite, CookieSeek, CookieClose});
    if (!stream_) {
        SetLastFailure(std::strerror(errno));
        close(fd_);
    }
}

OutputFile::~OutputFile() {
    if (stream_) std::fclose(stream_);
}

bool OutputFile::Write(const void *data, size_t n) {
    return (stream_ && std::fwrite(data, 1, n, stream_) == n) || Fail(std::strerror(errno));
}

bool OutputFile::Close() {
    if (!stream_) return Fail("the output file is not open");
    errno = 0;
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    ok = (std::fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    if (!ok) SetLastFailure(errno ? std::strerror(errno) : "the output file could not be written");
    return ok;
}

}  // namespace faltrix::kit
