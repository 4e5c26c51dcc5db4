// UTF-16 paths from the host to the UTF-8 bytes the file system uses, and the picture file a
// decoder reads.
#include <climits>
#include <sys/stat.h>

#include "faltrix/kit/kit.h"

namespace faltrix::kit {

bool PathToUtf8(const WCHAR *path, std::string *out) {
    if (!path || !out || path[0] == 0) return false;
    std::string utf8;
    for (size_t i = 0; path[i] != 0; ++i) {
        uint32_t cp = path[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            const uint32_t low = path[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) return false;  // high surrogate without its pair
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;  // low surrogate on its own
        }
        if (cp < 0x80) {
            utf8.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            utf8.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            utf8.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            utf8.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            utf8.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            utf8.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
        // PATH_MAX counts the terminating NUL.
        if (utf8.size() >= PATH_MAX) return false;
    }
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
