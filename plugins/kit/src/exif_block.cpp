// The EXIF block's directories walked by hand, every offset checked against the block's end
// before it is followed. Each kind of directory is read once, from its one parent, so a link
// that loops only reads a directory a second time into a structure that no longer wants it.
#include "faltrix/kit/exif_block.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace faltrix::kit {
namespace {

constexpr uint16_t kExifPointer = 0x8769, kGpsPointer = 0x8825, kInteropPointer = 0xA005;
// Entries one directory may hold. Cameras write a few hundred at most; libexif looks for a tag
// twice before it adds it, so a hostile directory of 65,535 entries would cost billions of
// comparisons, each time the block is read.
constexpr size_t kMaxEntries = 4096;

class Walker {
public:
    Walker(std::string_view block, ExifData *data)
        : b_(reinterpret_cast<const uint8_t *>(block.data())),
          size_(block.size()),
          data_(data),
          big_(block.size() >= 4 && std::memcmp(block.data(), "MM\0*", 4) == 0) {}

    uint32_t Get16(size_t at) const {
        return big_ ? uint32_t(b_[at] << 8 | b_[at + 1]) : uint32_t(b_[at + 1] << 8 | b_[at]);
    }
    uint32_t Get32(size_t at) const {
        return big_ ? (Get16(at) << 16 | Get16(at + 2)) : (Get16(at + 2) << 16 | Get16(at));
    }
    bool big() const { return big_; }

    // Reads the directory at `offset` into ifd, following the links to the directories
    // below it. False when it lies outside the block.
    bool Read(size_t offset, ExifIfd ifd) {
        if (offset < 8 || offset > size_ || size_ - offset < 2) return false;
        const size_t count = Get16(offset);
        if ((size_ - offset - 2) / 12 < count || count > kMaxEntries) return false;
        for (size_t i = 0; i < count; ++i) {
            const size_t entry = offset + 2 + 12 * i;
            const uint32_t tag = Get16(entry);
            if (tag == kExifPointer && ifd == EXIF_IFD_0) {
                Read(Get32(entry + 8), EXIF_IFD_EXIF);
            } else if (tag == kGpsPointer && ifd == EXIF_IFD_0) {
                Read(Get32(entry + 8), EXIF_IFD_GPS);
            } else if (tag == kInteropPointer && ifd == EXIF_IFD_EXIF) {
                Read(Get32(entry + 8), EXIF_IFD_INTEROPERABILITY);
            } else if (tag != kExifPointer && tag != kGpsPointer && tag != kInteropPointer) {
                Add(entry, ifd);  // (a link out of place is no value to keep)
            }
        }
        return true;
    }

private:
    // One entry with its value, inline in the entry's last four bytes when it fits there.
    void Add(size_t entry, ExifIfd ifd) {
        const uint32_t type = Get16(entry + 2);
        if (type < EXIF_FORMAT_BYTE || type > EXIF_FORMAT_DOUBLE) return;  // no format libexif has
        const auto format = ExifFormat(type);
        const size_t unit = exif_format_get_size(format);
        const size_t count = Get32(entry + 4);
        if (unit == 0 || count == 0 || count > size_ / unit) return;
        const size_t bytes = unit * count;
        const size_t at = bytes <= 4 ? entry + 8 : Get32(entry + 8);
        if (at > size_ || size_ - at < bytes) return;
        ExifContent *content = data_->ifd[ifd];
        if (exif_content_get_entry(content, ExifTag(Get16(entry))) != nullptr) return;
        ExifEntry *e = exif_entry_new();
        if (e == nullptr) return;
        e->data = static_cast<unsigned char *>(std::malloc(bytes));
        if (e->data != nullptr) {
            e->tag = ExifTag(Get16(entry));
            e->format = format;
            e->components = count;
            e->size = unsigned(bytes);
            std::memcpy(e->data, b_ + at, bytes);
            exif_content_add_entry(content, e);
        }
        exif_entry_unref(e);
    }

    const uint8_t *b_;
    size_t size_;
    ExifData *data_;
    bool big_;
};

}  // namespace

bool LoadExifBlock(std::string_view block, ExifData *data) {
    if (data == nullptr || block.size() < 8 || block.size() > UINT32_MAX ||
        (std::memcmp(block.data(), "II*\0", 4) != 0 && std::memcmp(block.data(), "MM\0*", 4) != 0))
        return false;
    Walker walker(block, data);
    exif_data_set_byte_order(data, walker.big() ? EXIF_BYTE_ORDER_MOTOROLA : EXIF_BYTE_ORDER_INTEL);
    return walker.Read(walker.Get32(4), EXIF_IFD_0);
}

ExifDataPtr LoadedExifBlock(std::string_view block) {
    ExifDataPtr data(exif_data_new());
    if (!data) return nullptr;
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    return LoadExifBlock(block, data.get()) ? std::move(data) : nullptr;
}

std::string SavedExifBlock(ExifData *data) {
    unsigned char *saved = nullptr;
    unsigned size = 0;
    exif_data_save_data(data, &saved, &size);
    std::string block;
    if (saved != nullptr && size > 6)
        block.assign(reinterpret_cast<const char *>(saved) + 6, size - 6);
    std::free(saved);
    return block;
}

}  // namespace faltrix::kit
