// UTF-16 paths from the host to the UTF-8 bytes the file system uses, and the picture file a
// decoder reads.
#include <climits>
#include <sys/stat.h>

#include "faltrix/kit/kit.h"
#include "faltrix/text.h"

namespace faltrix::kit {

bool PathToUtf8(const WCHAR *path, std::string *out) {
    if (!path || !out || path[0] == 0) return false;
    std::string utf8;
    // PATH_MAX counts the terminating NUL.
    if (!Utf16ToUtf8Exact(path, &utf8) || utf8.size() >= PATH_MAX) return false;
    *out = std::move(utf8);
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
    std::string utf8;
    if (!PathToUtf8(path, &utf8)) return false;
    FILE *f = std::fopen(utf8.c_str(), "rbe");
    if (!f) return false;
    struct stat st;
    // A folder or a device opens as well; only a regular file is a picture file.
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return false;
    }
    stream_ = f;
    size_ = st.st_size;
    return true;
}

bool InputFile::Read(void *out, size_t n) {
    return stream_ && std::fread(out, 1, n, stream_) == n;
}

bool ReadFileHead(const WCHAR *path, void *out, size_t n) {
    InputFile file;
    return file.Open(path) && file.Read(out, n);
}

}  // namespace faltrix::kit
