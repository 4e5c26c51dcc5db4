// The EXIF block to and from libtiff's EXIF directory. Values cross between the two libraries
// one field at a time, in the form libtiff's TIFFSetField and TIFFGetField take for that
// field: a text; one value by value; a fixed number of values by pointer; or a count then a
// pointer. Rationals travel as floating point, as libtiff keeps them.
#include "tiff_exif.h"

#include <libexif/exif-data.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <vector>

#include "faltrix/kit/exif_block.h"

namespace faltrix::tiff {
namespace {

constexpr ExifByteOrder kOrder = EXIF_BYTE_ORDER_INTEL;  // of the blocks made here

// The first directory's fields that describe the picture rather than its storage, which a
// TIFF keeps as tags of the same numbers in its own first directory: the texts TIFF defines,
// and the ratings and Windows' XP texts that other writers put there.
constexpr uint32_t kDescriptive[] = {
    EXIF_TAG_IMAGE_DESCRIPTION, EXIF_TAG_MAKE,          EXIF_TAG_MODEL,
    EXIF_TAG_SOFTWARE,          EXIF_TAG_DATE_TIME,     EXIF_TAG_ARTIST,
    EXIF_TAG_COPYRIGHT,         EXIF_TAG_DOCUMENT_NAME, 0x011D /* PageName */,
    0x013C /* HostComputer */,  0x4746 /* Rating */,    0x4749 /* RatingPercent */,
    EXIF_TAG_XP_TITLE,          EXIF_TAG_XP_COMMENT,    EXIF_TAG_XP_AUTHOR,
    EXIF_TAG_XP_KEYWORDS,       EXIF_TAG_XP_SUBJECT};

// Those libtiff has no field of its own for, made known to it for writing (it reads any tag).
const TIFFFieldInfo kExtraFields[] = {
    {0x4746, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char *>("Rating")},
    {0x4749, 1, 1, TIFF_SHORT, FIELD_CUSTOM, 1, 0, const_cast<char *>("RatingPercent")},
    {EXIF_TAG_XP_TITLE, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("XPTitle")},
    {EXIF_TAG_XP_COMMENT, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("XPComment")},
    {EXIF_TAG_XP_AUTHOR, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("XPAuthor")},
    {EXIF_TAG_XP_KEYWORDS, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("XPKeywords")},
    {EXIF_TAG_XP_SUBJECT, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
     const_cast<char *>("XPSubject")},
};

using kit::ExifDataPtr;

bool IsFloat(TIFFDataType type) {
    return type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_FLOAT ||
           type == TIFF_DOUBLE;
}

// Value i of an entry as a number, whatever its format.
double EntryValue(const ExifEntry *e, ExifByteOrder order, unsigned i) {
    const unsigned char *p = e->data + i * exif_format_get_size(e->format);
    switch (e->format) {
    case EXIF_FORMAT_SHORT: return exif_get_short(p, order);
    case EXIF_FORMAT_SSHORT: return exif_get_sshort(p, order);
    case EXIF_FORMAT_LONG: return exif_get_long(p, order);
    case EXIF_FORMAT_SLONG: return exif_get_slong(p, order);
    case EXIF_FORMAT_RATIONAL: {
        const ExifRational r = exif_get_rational(p, order);
        return r.denominator ? double(r.numerator) / r.denominator : 0.0;
    }
    case EXIF_FORMAT_SRATIONAL: {
        const ExifSRational r = exif_get_srational(p, order);
        return r.denominator ? double(r.numerator) / r.denominator : 0.0;
    }
    case EXIF_FORMAT_SBYTE: return static_cast<signed char>(*p);
    default: return *p;
    }
}

// Stores v in `size` bytes as libtiff's interface for a field of `type` keeps it.
void PutValue(uint8_t *out, int size, TIFFDataType type, double v) {
    if (IsFloat(type) && size == 4) {
        const float f = static_cast<float>(v);
        std::memcpy(out, &f, 4);
    } else if (IsFloat(type)) {
        std::memcpy(out, &v, 8);
    } else if (size == 1) {
        *out = static_cast<uint8_t>(static_cast<int64_t>(v));
    } else if (size == 2) {
        const uint16_t s = static_cast<uint16_t>(static_cast<int64_t>(v));
        std::memcpy(out, &s, 2);
    } else {
        const uint32_t l = static_cast<uint32_t>(static_cast<int64_t>(v));
        std::memcpy(out, &l, 4);
    }
}

// Hands one entry to libtiff for the current directory. False when libtiff has no such field
// or takes it in a form the entry does not fit.
bool SetField(TIFF *tif, const ExifEntry *e, ExifByteOrder order) {
    const TIFFField *field = TIFFFindField(tif, e->tag, TIFF_ANY);
    if (field == nullptr || e->components == 0 || e->data == nullptr) return false;
    const TIFFDataType type = TIFFFieldDataType(field);
    if (type == TIFF_ASCII) {
        if (e->format != EXIF_FORMAT_ASCII) return false;
        const std::string text(reinterpret_cast<const char *>(e->data),
                               strnlen(reinterpret_cast<const char *>(e->data), e->size));
        return TIFFSetField(tif, e->tag, text.c_str()) != 0;
    }
    const int size = TIFFFieldSetGetSize(field);
    if (e->format == EXIF_FORMAT_ASCII || size < 1 || size > 8) return false;
    const unsigned n = e->components;
    std::vector<uint8_t> values(size_t(n) * size_t(size));
    for (unsigned i = 0; i < n; ++i)
        PutValue(values.data() + size_t(i) * size, size, type, EntryValue(e, order, i));
    if (TIFFFieldPassCount(field)) {
        if (TIFFFieldSetGetCountSize(field) == 4)
            return TIFFSetField(tif, e->tag, uint32_t(n), values.data()) != 0;
        return n <= 0xFFFF && TIFFSetField(tif, e->tag, int(n), values.data()) != 0;
    }
    if (TIFFFieldWriteCount(field) != int(n)) return false;
    if (n > 1) return TIFFSetField(tif, e->tag, values.data()) != 0;
    // One value, by value: integers as int (uint32 for LONG), floating point as double.
    const double v = EntryValue(e, order, 0);
    if (IsFloat(type)) return TIFFSetField(tif, e->tag, v) != 0;
    if (size == 4)
        return TIFFSetField(tif, e->tag, static_cast<uint32_t>(static_cast<int64_t>(v))) != 0;
    return TIFFSetField(tif, e->tag, static_cast<int>(v)) != 0;
}

// A new entry of `format` with n values in content.
ExifEntry *NewEntry(ExifContent *content, ExifTag tag, ExifFormat format, unsigned n) {
    ExifEntry *entry = exif_entry_new();
    if (entry == nullptr) return nullptr;
    entry->tag = tag;
    entry->format = format;
    entry->components = n;
    entry->size = exif_format_get_size(format) * n;
    entry->data = static_cast<unsigned char *>(calloc(1, entry->size ? entry->size : 1));
    exif_content_add_entry(content, entry);
    exif_entry_unref(entry);
    return entry->data ? entry : nullptr;
}

// The EXIF format for a libtiff field type; rationals keep six decimal places.
ExifFormat FormatOf(TIFFDataType type) {
    switch (type) {
    case TIFF_ASCII: return EXIF_FORMAT_ASCII;
    case TIFF_SHORT: return EXIF_FORMAT_SHORT;
    case TIFF_SSHORT: return EXIF_FORMAT_SSHORT;
    case TIFF_LONG: return EXIF_FORMAT_LONG;
    case TIFF_SLONG: return EXIF_FORMAT_SLONG;
    case TIFF_RATIONAL: return EXIF_FORMAT_RATIONAL;
    case TIFF_SRATIONAL: return EXIF_FORMAT_SRATIONAL;
    case TIFF_SBYTE: return EXIF_FORMAT_SBYTE;
    case TIFF_BYTE: return EXIF_FORMAT_BYTE;
    default: return EXIF_FORMAT_UNDEFINED;
    }
}

// Value i of libtiff's storage into entry e.
void StoreValue(ExifEntry *e, unsigned i, const uint8_t *from, int size, TIFFDataType type) {
    unsigned char *p = e->data + i * exif_format_get_size(e->format);
    double v = 0;
    if (IsFloat(type) && size == 4) v = *reinterpret_cast<const float *>(from);
    else if (IsFloat(type)) v = *reinterpret_cast<const double *>(from);
    else if (size == 1) v = *from;
    else if (size == 2) v = *reinterpret_cast<const uint16_t *>(from);
    else v = *reinterpret_cast<const uint32_t *>(from);
    switch (e->format) {
    case EXIF_FORMAT_SHORT: exif_set_short(p, kOrder, uint16_t(v)); break;
    case EXIF_FORMAT_SSHORT: exif_set_sshort(p, kOrder, int16_t(v)); break;
    case EXIF_FORMAT_LONG: exif_set_long(p, kOrder, uint32_t(v)); break;
    case EXIF_FORMAT_SLONG: exif_set_slong(p, kOrder, int32_t(v)); break;
    case EXIF_FORMAT_RATIONAL:
        exif_set_rational(p, kOrder, {uint32_t(std::lround(v * 1e6)), 1000000});
        break;
    case EXIF_FORMAT_SRATIONAL:
        exif_set_srational(p, kOrder, {int32_t(std::lround(v * 1e6)), 1000000});
        break;
    default: *p = static_cast<unsigned char>(v); break;
    }
}

// Copies the current directory's field `tag` into content; nothing for a field libtiff does
// not describe or holds no value of.
void CopyField(TIFF *tif, uint32_t tag, ExifContent *content) {
    const TIFFField *field = TIFFFieldWithTag(tif, tag);
    if (field == nullptr) return;
    const TIFFDataType type = TIFFFieldDataType(field);
    const int size = TIFFFieldSetGetSize(field);
    if (type == TIFF_ASCII) {
        const char *text = nullptr;
        if (!TIFFGetField(tif, tag, &text) || text == nullptr) return;
        if (ExifEntry *e =
                NewEntry(content, ExifTag(tag), EXIF_FORMAT_ASCII, unsigned(std::strlen(text) + 1)))
            std::memcpy(e->data, text, e->size);
        return;
    }
    if (size < 1 || size > 8) return;
    uint32_t n = 1;
    const uint8_t *values = nullptr;
    uint8_t one[8] = {};
    if (TIFFFieldPassCount(field)) {
        uint16_t n16 = 0;
        const bool got = TIFFFieldSetGetCountSize(field) == 4
                             ? TIFFGetField(tif, tag, &n, &values)
                             : TIFFGetField(tif, tag, &n16, &values);
        if (!got) return;
        if (TIFFFieldSetGetCountSize(field) != 4) n = n16;
    } else if (TIFFFieldReadCount(field) > 1) {
        n = uint32_t(TIFFFieldReadCount(field));
        if (!TIFFGetField(tif, tag, &values)) return;
    } else if (TIFFFieldReadCount(field) == 1) {
        if (!TIFFGetField(tif, tag, one)) return;
        values = one;
    } else {
        return;  // a count libtiff keeps to itself
    }
    if (values == nullptr || n == 0) return;
    if (ExifEntry *e = NewEntry(content, ExifTag(tag), FormatOf(type), n))
        for (uint32_t i = 0; i < n; ++i)
            StoreValue(e, i, values + size_t(i) * size_t(size), size, type);
}

}  // namespace

namespace {

// Writes the fields of `content` as a custom directory of the kind `create` makes; its offset
// in `*offset`, 0 when the block has no such directory. Leaves tif on a fresh directory of the
// picture's own kind. False when the directory could not be written.
bool WriteCustomDirectory(TIFF *tif, int (*create)(TIFF *), const ExifContent *content,
                          ExifByteOrder order, uint64_t *offset) {
    *offset = 0;
    if (content == nullptr || content->count == 0) return true;
    if (create(tif) != 0) return false;
    for (unsigned i = 0; i < content->count; ++i) SetField(tif, content->entries[i], order);
    const bool written = TIFFWriteCustomDirectory(tif, offset) != 0;
    // Back to a directory of the picture's own kind, empty.
    TIFFFreeDirectory(tif);
    TIFFCreateDirectory(tif);
    return written;
}

}  // namespace

bool WriteExifFirst(TIFF *tif, const std::string &exif) {
    // The kit's walker rather than libexif's loader, which stops at 64 KiB: a block from a PNG,
    // WebP or HEIF can be larger, and every entry is to reach the TIFF.
    const ExifDataPtr data = kit::LoadedExifBlock(exif);
    if (!data) return false;
    const ExifByteOrder order = exif_data_get_byte_order(data.get());
    uint64_t exifOffset = 0, gpsOffset = 0;
    if (!WriteCustomDirectory(tif, TIFFCreateEXIFDirectory, data->ifd[EXIF_IFD_EXIF], order,
                              &exifOffset) ||
        !WriteCustomDirectory(tif, TIFFCreateGPSDirectory, data->ifd[EXIF_IFD_GPS], order,
                              &gpsOffset))
        return false;
    TIFFMergeFieldInfo(tif, kExtraFields, uint32_t(std::size(kExtraFields)));
    for (uint32_t tag : kDescriptive) {
        if (const ExifEntry *e = exif_content_get_entry(data->ifd[EXIF_IFD_0], ExifTag(tag)))
            SetField(tif, e, order);
    }
    return (exifOffset == 0 || TIFFSetField(tif, TIFFTAG_EXIFIFD, exifOffset) != 0) &&
           (gpsOffset == 0 || TIFFSetField(tif, TIFFTAG_GPSIFD, gpsOffset) != 0);
}

std::string ReadExifBlock(TIFF *tif) {
    uint64_t offset = 0, gpsOffset = 0;
    if (!TIFFGetField(tif, TIFFTAG_EXIFIFD, &offset)) offset = 0;
    if (!TIFFGetField(tif, TIFFTAG_GPSIFD, &gpsOffset)) gpsOffset = 0;
    if (offset == 0 && gpsOffset == 0) return {};
    ExifDataPtr data(exif_data_new());
    if (!data) return {};
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_byte_order(data.get(), kOrder);
    for (uint32_t tag : kDescriptive) CopyField(tif, tag, data->ifd[EXIF_IFD_0]);
    if (offset != 0) {
        if (!TIFFReadEXIFDirectory(tif, offset)) return {};
        for (int i = 0, n = TIFFGetTagListCount(tif); i < n; ++i)
            CopyField(tif, TIFFGetTagListEntry(tif, i), data->ifd[EXIF_IFD_EXIF]);
    }
    // The GPS directory is kept when it can be read; a damaged one costs only itself.
    if (gpsOffset != 0 && TIFFReadGPSDirectory(tif, gpsOffset)) {
        for (int i = 0, n = TIFFGetTagListCount(tif); i < n; ++i)
            CopyField(tif, TIFFGetTagListEntry(tif, i), data->ifd[EXIF_IFD_GPS]);
    }
    return kit::SavedExifBlock(data.get());
}

}  // namespace faltrix::tiff
