// UTF-16 paths from the host to the bytes the file system uses, and the picture file a decoder
// reads.
#include <sys/stat.h>
#include <cerrno>
#include <climits>
#include <cstring>

#include "faltrix/kit/kit.h"
#include "faltrix/text.h"

namespace faltrix::kit {

bool PathToBytes(const WCHAR *path, std::string *out) {
    if (!path || !out || path[0] == 0) return Fail("no path given");
    std::string bytes;
    if (!Utf16ToPathBytes(path, &bytes))
        return Fail("the path holds a lone surrogate that stands for no byte of a file name");
    // PATH_MAX counts the terminating NUL.
    if (bytes.size() >= PATH_MAX) return Fail("the path is longer than the system allows");
    *out = std::move(bytes);
    return true;
}

InputFile::~InputFile() {
    if (stream_) std::fclose(stream_);
}

bool InputFile::Open(const WCHAR *path) {
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    std::string name;
    if (!PathToBytes(path, &name)) return false;
    FILE *f = std::fopen(name.c_str(), "rbe");
    if (!f) return Fail(std::strerror(errno));
    struct stat st;
    // A folder or a device opens as well; only a regular file is a picture file.
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return Fail("not a regular file");
    }
    stream_ = f;
    size_ = st.st_size;
    return true;
}

bool InputFile::Read(void *out, size_t n) {
    if (stream_ && std::fread(out, 1, n, stream_) == n) return true;
    return Fail(stream_ && std::ferror(stream_) ? std::strerror(errno) : "the file ends too early");
}

bool InputFile::Seek(int64_t position) {
    if (position < 0 || position > size_) return Fail("the file ends too early");
    if (stream_ && fseeko(stream_, static_cast<off_t>(position), SEEK_SET) == 0) return true;
    return Fail(stream_ ? std::strerror(errno) : "the file is not open");
}

bool ReadFileHead(const WCHAR *path, void *out, size_t n) {
    InputFile file;
    return file.Open(path) && file.Read(out, n);
}

}  // namespace faltrix::kit
