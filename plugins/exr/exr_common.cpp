#include "exr_common.h"

#include <ImfHeader.h>
#include <OpenEXRConfig.h>

#include <Iex.h>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace faltrix::exr {

kit::FormatInfo Format() {
    const std::string version = OPENEXR_VERSION_STRING;
    std::u16string text = u"OpenEXR (";
    text.append(version.begin(), version.end());
    text += u")";
    return {text, {{u"*.exr", u"OpenEXR pictures"}}, {}};
}

void SetLimits() {
    static std::once_flag once;
    std::call_once(once, [] {
        Imf::Header::setMaxImageSize(int(kit::kMaxSide), int(kit::kMaxSide));
        Imf::Header::setMaxTileSize(int(kit::kMaxSide), int(kit::kMaxSide));
    });
}

bool FileStream::read(char c[], int n) {
    if (n < 0 || std::fread(c, 1, size_t(n), file_) != size_t(n)) {
        if (std::ferror(file_)) throw IEX_NAMESPACE::InputExc(std::strerror(errno));
        throw IEX_NAMESPACE::InputExc("the file ends early");
    }
    return int64_t(tellg()) < size_;
}

uint64_t FileStream::tellg() {
    const long at = std::ftell(file_);
    return at < 0 ? 0 : uint64_t(at);
}

void FileStream::seekg(uint64_t position) {
    if (position > uint64_t(size_) || std::fseek(file_, long(position), SEEK_SET) != 0)
        throw IEX_NAMESPACE::InputExc("the file ends early");
}

void MemoryStream::write(const char c[], int n) {
    if (n <= 0) return;
    if (position_ + uint64_t(n) > bytes_.size()) bytes_.resize(position_ + uint64_t(n));
    std::memcpy(bytes_.data() + position_, c, size_t(n));
    position_ += uint64_t(n);
}

}  // namespace faltrix::exr
