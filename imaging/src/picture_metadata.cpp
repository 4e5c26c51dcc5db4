// The picture's items on their way from the input plug-in to the output plug-in: collected
// through the sink, checked, the EXIF block fitted to the stored picture with libexif, and a
// profile the output cannot keep turned into sRGB pixels with Little CMS.
#include "faltrix/picture_metadata.h"

#include <lcms2.h>
#include <libexif/exif-data.h>
#include <libexif/exif-mem.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "deep_frame.h"
#include "exif_fit.h"
#include "faltrix/plugin_list.h"
#include "faltrix/text.h"

namespace faltrix {
namespace {

constexpr std::string_view kExifHeader{"Exif\0\0", 6};
constexpr size_t kMaxDroppedItems = 16;   // "dropped" items shown per picture
constexpr size_t kMaxDroppedBytes = 200;  // of each

// What the sink gathers: the blocks, and the words for what was left behind.
struct Gathered {
    PictureMetadata metadata;
    uint64_t frames = 0;
    uint64_t bitsPerSample = 0;
    std::vector<std::string> dropped;
};

uint64_t DecimalOf(std::string_view text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

// The words for an item by its key.
const char *BlockName(std::string_view key) {
    if (key == FALTRIX_METADATA_ICC) return "the colour profile";
    if (key == FALTRIX_METADATA_EXIF) return "the EXIF block";
    return "the XMP packet";
}

// The size is checked before anything is copied: a block over the limit is only named.
void Gather(void *context, const char *key, const void *bytes, int32_t size) {
    auto *gathered = static_cast<Gathered *>(context);
    if (key == nullptr || size < 0 || (bytes == nullptr && size > 0)) return;
    const std::string_view name(key);
    std::string *block = name == FALTRIX_METADATA_ICC    ? &gathered->metadata.icc
                         : name == FALTRIX_METADATA_EXIF ? &gathered->metadata.exif
                         : name == FALTRIX_METADATA_XMP  ? &gathered->metadata.xmp
                                                         : nullptr;
    if (size > FALTRIX_METADATA_MAX_SIZE) {
        if (block)
            gathered->dropped.push_back(std::string(BlockName(name)) + ", larger than 16 MiB");
        return;
    }
    const std::string_view item(static_cast<const char *>(bytes), static_cast<size_t>(size));
    if (block) {
        block->assign(item);
    } else if (name == FALTRIX_METADATA_FRAMES) {
        gathered->frames = DecimalOf(item);
    } else if (name == FALTRIX_METADATA_BITS_PER_SAMPLE) {
        gathered->bitsPerSample = DecimalOf(item);
    } else if (name == FALTRIX_METADATA_DROPPED && gathered->dropped.size() < kMaxDroppedItems) {
        gathered->dropped.emplace_back(item.substr(0, kMaxDroppedBytes));
    }
}

// A plug-in's words on one line.
std::u16string OneLine(std::string_view text) {
    std::u16string line = Utf8ToUtf16(text);
    for (char16_t &c : line)
        if (c < 0x20 || c == 0x7F) c = u' ';
    return line;
}

struct ExifDataFree {
    void operator()(ExifData *data) const { exif_data_unref(data); }
};
using ExifDataPtr = std::unique_ptr<ExifData, ExifDataFree>;

// The block loaded as it is: no tag left out for being unknown, nothing added, the maker's
// note kept byte for byte. Null when it is no EXIF or holds no entry in IFD0 or the EXIF
// directory.
ExifDataPtr LoadExif(const std::string &exif, ExifMem *mem) {
    if (exif.size() < 8 ||
        (exif.compare(0, 4, "II*\0", 4) != 0 && exif.compare(0, 4, "MM\0*", 4) != 0))
        return nullptr;
    ExifDataPtr data(exif_data_new_mem(mem));
    if (!data) return nullptr;
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_option(data.get(), EXIF_DATA_OPTION_DONT_CHANGE_MAKER_NOTE);
    const std::string block = std::string(kExifHeader) + exif;
    exif_data_load_data(data.get(), reinterpret_cast<const unsigned char *>(block.data()),
                        static_cast<unsigned>(block.size()));
    const auto holds = [&](ExifIfd ifd) {
        return data->ifd[ifd] != nullptr && data->ifd[ifd]->count > 0;
    };
    if (!holds(EXIF_IFD_0) && !holds(EXIF_IFD_EXIF)) return nullptr;
    return data;
}

// True when the block's IFD0 orientation is 2 to 8: the input plug-ins have turned the pixels.
bool ExifTurns(const std::string &exif) {
    if (exif.empty()) return false;
    ExifMem *mem = exif_mem_new_default();
    if (mem == nullptr) return false;
    bool turns = false;
    if (ExifDataPtr data = LoadExif(exif, mem)) {
        const ExifEntry *e = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
        if (e != nullptr && e->format == EXIF_FORMAT_SHORT && e->components == 1 &&
            e->data != nullptr) {
            const ExifShort value = exif_get_short(e->data, exif_data_get_byte_order(data.get()));
            turns = value >= 2 && value <= 8;
        }
    }
    exif_mem_unref(mem);
    return turns;
}

// Replaces the tag in content with a fresh entry of libexif's standard format for it.
// Every entry of that tag goes first: libexif refuses to add a tag the content already holds,
// and a block may hold one twice. The entry carries its tag when added for the same reason;
// one the content did not take is nobody's and is not returned.
ExifEntry *FreshEntry(ExifContent *content, ExifTag tag) {
    while (ExifEntry *old = exif_content_get_entry(content, tag))
        exif_content_remove_entry(content, old);
    ExifEntry *entry = exif_entry_new();
    if (entry == nullptr) return nullptr;
    entry->tag = tag;
    exif_content_add_entry(content, entry);
    const bool added = entry->parent == content;
    if (added) exif_entry_initialize(entry, tag);  // which reads the byte order through the content
    exif_entry_unref(entry);                       // the content holds it now, or it goes
    return added ? entry : nullptr;
}

struct ProfileFree {
    void operator()(void *profile) const { cmsCloseProfile(profile); }
};
using ProfilePtr = std::unique_ptr<void, ProfileFree>;

struct TransformFree {
    void operator()(void *transform) const { cmsDeleteTransform(transform); }
};
using TransformPtr = std::unique_ptr<void, TransformFree>;

// The header facts the host's rule needs. The signatures are kept as numbers: a profile may
// name any four bytes, and a value outside Little CMS's enumerations is no value of its type.
struct ProfileFacts {
    bool opened = false;
    uint32_t space = 0;  // cmsColorSpaceSignature
    uint32_t kind = 0;   // cmsProfileClassSignature
};

ProfileFacts FactsOf(const std::string &icc) {
    ProfileFacts facts;
    const ProfilePtr profile(
        cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
    if (!profile) return facts;
    facts.opened = true;
    facts.space = cmsGetColorSpace(profile.get());
    facts.kind = cmsGetDeviceClass(profile.get());
    return facts;
}

// Words for a profile that describes no picture's colours: a link turns one device's colours
// into another's, an abstract profile edits colours, a named-colour one lists spot colours.
const char16_t *NoPictureKind(uint32_t kind) {
    switch (kind) {
    case cmsSigLinkClass: return u"a device link";
    case cmsSigAbstractClass: return u"an abstract profile";
    case cmsSigNamedColorClass: return u"a named-colour profile";
    default: return nullptr;
    }
}

// The layout of the picture selected in dc, as GetStoredColourType is asked about it: the
// header, then the colour table or the masks.
struct LayoutInfo {
    BITMAPINFOHEADER header;
    RGBQUAD colors[256];
};

bool ReadLayout(HDC dc, HBITMAP bitmap, LayoutInfo *info, DIBSECTION *section) {
    std::memset(info, 0, sizeof *info);
    if (GetObjectW(bitmap, sizeof *section, section) != static_cast<int>(sizeof *section))
        return false;
    info->header = section->dsBmih;
    info->header.biSize = sizeof(BITMAPINFOHEADER);
    if (info->header.biBitCount <= 8) {
        const UINT n = GetDIBColorTable(dc, 0, 256, info->colors);
        if (n == 0) return false;
        info->header.biClrUsed = n;
    } else if (info->header.biCompression == BI_BITFIELDS) {
        std::memcpy(info->colors, section->dsBitfields, sizeof section->dsBitfields);
    }
    return true;
}

// What the output will write for the picture: its own answer, or, from one without
// GetStoredColourType, colour for 16 bits and more and unknown for a palette.
int32_t StoredColourOf(const LayoutInfo &info) {
    OutputPluginList &output = OutputPlugins();
    if (output.HasStoredColourType())
        return output.GetStoredColourType(reinterpret_cast<const BITMAPINFO *>(&info));
    return info.header.biBitCount > 8 ? FALTRIX_STORED_COLOUR : FALTRIX_STORED_UNKNOWN;
}

// Luma of B, G, R bytes, for pixels that are grey in all but name.
uint8_t Luma(uint8_t b, uint8_t g, uint8_t r) {
    return static_cast<uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8);
}

// The 256 grey levels of a grey profile in sRGB, as R, G, B triples.
bool GreyLevelsInSrgb(cmsHPROFILE grey, uint8_t (*levels)[3]) {
    const ProfilePtr srgb(cmsCreate_sRGBProfile());
    const TransformPtr transform(
        srgb ? cmsCreateTransform(grey, TYPE_GRAY_8, srgb.get(), TYPE_RGB_8, INTENT_PERCEPTUAL, 0)
             : nullptr);
    if (!transform) return false;
    uint8_t ramp[256];
    for (int i = 0; i < 256; ++i) ramp[i] = static_cast<uint8_t>(i);
    cmsDoTransform(transform.get(), ramp, levels, 256);
    return true;
}

// A new section of the same layout and pixels as the one selected in dc, with another colour
// table, selected in its place; the old one is deleted. Palettes change only this way, since a
// section's table is fixed once made.
bool ReplaceColourTable(HDC dc, HBITMAP *bitmap, const DIBSECTION &section, const RGBQUAD *table,
                        UINT entries) {
    LayoutInfo info{};
    info.header = section.dsBmih;
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biClrUsed = entries;
    std::memcpy(info.colors, table, entries * sizeof(RGBQUAD));
    void *bits = nullptr;
    HBITMAP fresh = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO *>(&info),
                                     DIB_RGB_COLORS, &bits, nullptr, 0);
    if (fresh == nullptr) return false;
    DIBSECTION made{};
    if (bits == nullptr || GetObjectW(fresh, sizeof made, &made) != static_cast<int>(sizeof made) ||
        made.dsBm.bmWidthBytes != section.dsBm.bmWidthBytes ||
        made.dsBm.bmHeight != section.dsBm.bmHeight) {
        DeleteObject(fresh);
        return false;
    }
    std::memcpy(bits, section.dsBm.bmBits,
                size_t(section.dsBm.bmWidthBytes) * size_t(section.dsBm.bmHeight));
    SelectObject(dc, fresh);
    if (GetCurrentObject(dc, OBJ_BITMAP) != fresh) {
        DeleteObject(fresh);
        return false;
    }
    DeleteObject(*bitmap);
    *bitmap = fresh;
    return true;
}

// Each colour of the table from the profile's colours to sRGB; with keepGrey the entries stay
// grey (the output stores grey levels), each the luma of its sRGB colour.
bool ConvertColourTable(cmsHPROFILE source, RGBQUAD *table, UINT entries, bool keepGrey) {
    if (cmsGetColorSpace(source) == cmsSigGrayData) {
        uint8_t levels[256][3];
        if (!GreyLevelsInSrgb(source, levels)) return false;
        for (UINT i = 0; i < entries; ++i) {
            const uint8_t *rgb = levels[Luma(table[i].rgbBlue, table[i].rgbGreen, table[i].rgbRed)];
            table[i].rgbRed = rgb[0];
            table[i].rgbGreen = rgb[1];
            table[i].rgbBlue = rgb[2];
        }
    } else {
        const ProfilePtr srgb(cmsCreate_sRGBProfile());
        // RGBQUAD is B, G, R and a reserved byte, which is copied as it is.
        const TransformPtr transform(srgb ? cmsCreateTransform(source, TYPE_BGRA_8, srgb.get(),
                                                               TYPE_BGRA_8, INTENT_PERCEPTUAL,
                                                               cmsFLAGS_COPY_ALPHA)
                                          : nullptr);
        if (!transform) return false;
        cmsDoTransform(transform.get(), table, table, entries);
    }
    if (keepGrey)
        for (UINT i = 0; i < entries; ++i)
            table[i].rgbRed = table[i].rgbGreen = table[i].rgbBlue =
                Luma(table[i].rgbBlue, table[i].rgbGreen, table[i].rgbRed);
    return true;
}

}  // namespace

bool IsWholeProfile(const std::string &icc) {
    if (icc.size() < 132) return false;
    const auto *b = reinterpret_cast<const uint8_t *>(icc.data());
    const uint32_t declared =
        (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    if (declared != icc.size() || icc.compare(36, 4, "acsp") != 0) return false;
    cmsHPROFILE profile =
        cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    if (profile == nullptr) return false;
    cmsCloseProfile(profile);
    return true;
}

namespace {

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || static_cast<unsigned char>(c) >= 0x80;
}

// The prefixes the packet binds to the TIFF namespace (xmlns:P="http://ns.adobe.com/tiff/1.0/").
std::vector<std::string> TiffPrefixes(std::string_view xmp) {
    constexpr std::string_view kTiff = "http://ns.adobe.com/tiff/1.0/";
    std::vector<std::string> prefixes;
    for (size_t at = xmp.find("xmlns:"); at != std::string_view::npos;
         at = xmp.find("xmlns:", at + 1)) {
        size_t end = at + 6;
        while (end < xmp.size() && IsNameByte(xmp[end])) ++end;
        const std::string prefix(xmp.substr(at + 6, end - at - 6));
        while (end < xmp.size() &&
               (xmp[end] == ' ' || xmp[end] == '\t' || xmp[end] == '\r' || xmp[end] == '\n'))
            ++end;
        if (prefix.empty() || end >= xmp.size() || xmp[end] != '=') continue;
        ++end;
        while (end < xmp.size() &&
               (xmp[end] == ' ' || xmp[end] == '\t' || xmp[end] == '\r' || xmp[end] == '\n'))
            ++end;
        if (end < xmp.size() && (xmp[end] == '"' || xmp[end] == '\'') &&
            xmp.substr(end + 1, kTiff.size()) == kTiff && end + 1 + kTiff.size() < xmp.size() &&
            xmp[end + 1 + kTiff.size()] == xmp[end])
            prefixes.push_back(prefix);
    }
    return prefixes;
}

}  // namespace

std::string XmpForOutput(const std::string &xmp) {
    std::string out = xmp;
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    for (const std::string &prefix : TiffPrefixes(xmp)) {
        const std::string name = prefix + ":Orientation";
        for (size_t at = out.find(name); at != std::string::npos; at = out.find(name, at + 1)) {
            const size_t after = at + name.size();
            if ((at > 0 && IsNameByte(out[at - 1])) ||
                (after < out.size() && IsNameByte(out[after])))
                continue;
            size_t value = after, end = std::string::npos;
            if (at > 0 && out[at - 1] == '<') {
                // <tiff:Orientation>6</tiff:Orientation>: the text up to the next tag.
                value = out.find('>', after);
                if (value == std::string::npos || out[value - 1] == '/') continue;
                end = out.find('<', ++value);
            } else {
                // tiff:Orientation="6" (or '6') inside a start tag.
                while (value < out.size() && isSpace(out[value])) ++value;
                if (value >= out.size() || out[value] != '=') continue;
                ++value;
                while (value < out.size() && isSpace(out[value])) ++value;
                if (value >= out.size() || (out[value] != '"' && out[value] != '\'')) continue;
                end = out.find(out[value], value + 1);
                ++value;
            }
            // A value runs to its end within the tag: an attribute holds no '<'.
            if (end == std::string::npos || out.find('<', value) < end) continue;
            out.replace(value, end - value, 1, '1');
        }
    }
    return out;
}

namespace {

// libexif reads at most this much of a block (its APP1 origin allows no more), "Exif\0\0" included.
constexpr size_t kLibexifReach = 0xFFFE;

// The same rewrite done in place, for a block larger than libexif reads: every byte stays
// where it is (a maker note's own offsets too), only values change. IFD0's orientation becomes
// 1, the EXIF directory's PixelXDimension and PixelYDimension the stored size, and IFD0's link
// to IFD1 is cut, so that the thumbnail is no longer part of the picture's description. A tag
// the block lacks is not added. Empty when the block is no TIFF structure or a directory lies
// outside it.
std::string PatchExifInPlace(const std::string &exif, uint32_t width, uint32_t height) {
    if (exif.size() < 8) return {};
    const bool big = exif.compare(0, 4, "MM\0*", 4) == 0;
    if (!big && exif.compare(0, 4, "II*\0", 4) != 0) return {};
    std::string out = exif;
    auto *b = reinterpret_cast<uint8_t *>(out.data());
    const auto get16 = [&](size_t at) {
        return big ? uint32_t(b[at] << 8 | b[at + 1]) : uint32_t(b[at + 1] << 8 | b[at]);
    };
    const auto get32 = [&](size_t at) {
        return big ? (get16(at) << 16 | get16(at + 2)) : (get16(at + 2) << 16 | get16(at));
    };
    const auto put16 = [&](size_t at, uint32_t v) {
        b[at + (big ? 0 : 1)] = uint8_t(v >> 8);
        b[at + (big ? 1 : 0)] = uint8_t(v);
    };
    const auto put32 = [&](size_t at, uint32_t v) {
        put16(at + (big ? 0 : 2), v >> 16);
        put16(at + (big ? 2 : 0), v & 0xFFFF);
    };
    // The entries of the directory at `ifd`, with `visit(entry offset, tag, type, count)`;
    // false when it does not lie within the block.
    const auto walk = [&](size_t ifd, auto visit) {
        if (ifd < 8 || ifd + 2 > out.size()) return false;
        const size_t count = get16(ifd);
        if (ifd + 2 + 12 * count + 4 > out.size()) return false;
        for (size_t i = 0; i < count; ++i) {
            const size_t entry = ifd + 2 + 12 * i;
            visit(entry, get16(entry), get16(entry + 2), get32(entry + 4));
        }
        return true;
    };
    const size_t ifd0 = get32(4);
    size_t exifIfd = 0;
    const bool ok = walk(ifd0, [&](size_t entry, uint32_t tag, uint32_t type, uint32_t count) {
        if (tag == 0x0112 && type == 3 && count == 1) put16(entry + 8, 1);  // Orientation, SHORT
        if (tag == 0x8769 && (type == 4 || type == 13) && count == 1) exifIfd = get32(entry + 8);
    });
    if (!ok) return {};
    put32(ifd0 + 2 + 12 * get16(ifd0), 0);  // no IFD1: no thumbnail
    if (exifIfd != 0) {
        const uint32_t sides[2] = {width, height};
        walk(exifIfd, [&](size_t entry, uint32_t tag, uint32_t type, uint32_t count) {
            if ((tag != 0xA002 && tag != 0xA003) || count != 1) return;
            const uint32_t side = sides[tag - 0xA002];
            if (type == 4) put32(entry + 8, side);
            else if (type == 3 && side <= 0xFFFF) put16(entry + 8, side);
        });
    }
    return out;
}

// After the output refused the whole block: the block rebuilt without what no directory
// points to, and without as few of its largest entries as the output needs to take it. The
// smallest form is offered first: when even that is refused, the output keeps no EXIF at all
// (BMP, GIF) and nothing else is tried. Then the fewest entries to drop are found by halving,
// as a smaller block never fits worse, so a block of thousands of entries costs a few tries.
// The notice names the entries dropped, with the output's reason for refusing the block whole.
template <typename Hand>
void FitExif(const std::string &exif, Hand hand, std::vector<std::u16string> *notices) {
    const std::u16string reason = OneLine(Utf16ToUtf8(LastPluginFailure()));
    std::vector<std::string> dropped;
    const size_t most = DroppableExifEntries(exif);
    if (const std::string smallest = RebuiltExif(exif, most, &dropped);
        smallest.empty() || !hand(FALTRIX_METADATA_EXIF, smallest)) {
        notices->push_back(reason.empty() ? u"the output format keeps no EXIF"
                                          : u"dropped the EXIF block, which " + reason);
        return;
    }
    size_t low = 0, high = most;  // high is taken; every count below low is refused
    bool lastTaken = true;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        dropped.clear();
        const std::string block = RebuiltExif(exif, middle, &dropped);
        lastTaken = !block.empty() && hand(FALTRIX_METADATA_EXIF, block);
        if (lastTaken) high = middle;
        else low = middle + 1;
    }
    dropped.clear();
    const std::string chosen = RebuiltExif(exif, high, &dropped);
    if (!lastTaken) hand(FALTRIX_METADATA_EXIF, chosen);  // the last one tried was refused
    if (dropped.empty()) return;                          // only bytes no entry needed
    std::string names = dropped[0];
    for (size_t i = 1; i < dropped.size(); ++i)
        names += (i + 1 == dropped.size() ? " and " : ", ") + dropped[i];
    notices->push_back(u"dropped " + Utf8ToUtf16(names) + u" from the EXIF block, which " +
                       (reason.empty() ? u"the output format cannot hold whole" : reason));
}

}  // namespace

std::string ExifForOutput(const std::string &exif, uint32_t width, uint32_t height) {
    // libexif would lose every entry stored past its reach.
    if (exif.size() + kExifHeader.size() > kLibexifReach)
        return PatchExifInPlace(exif, width, height);
    ExifMem *mem = exif_mem_new_default();
    if (mem == nullptr) return {};
    std::string out;
    if (ExifDataPtr data = LoadExif(exif, mem)) {
        const ExifByteOrder order = exif_data_get_byte_order(data.get());
        // The stored pixels are upright: a reader must not turn them again.
        if (ExifEntry *e = FreshEntry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION); e && e->data)
            exif_set_short(e->data, order, 1);
        const std::pair<ExifTag, uint32_t> sides[] = {{EXIF_TAG_PIXEL_X_DIMENSION, width},
                                                      {EXIF_TAG_PIXEL_Y_DIMENSION, height}};
        for (const auto &[tag, side] : sides) {
            ExifEntry *e = FreshEntry(data->ifd[EXIF_IFD_EXIF], tag);
            if (e && e->data && e->format == EXIF_FORMAT_LONG) exif_set_long(e->data, order, side);
        }
        // The thumbnail shows the picture as it was, in the old orientation and size.
        if (data->data != nullptr) exif_mem_free(mem, data->data);
        data->data = nullptr;
        data->size = 0;
        ExifContent *ifd1 = data->ifd[EXIF_IFD_1];
        while (ifd1 != nullptr && ifd1->count > 0)
            exif_content_remove_entry(ifd1, ifd1->entries[0]);

        unsigned char *saved = nullptr;
        unsigned int size = 0;
        exif_data_save_data(data.get(), &saved, &size);
        if (saved != nullptr && size > kExifHeader.size() &&
            std::memcmp(saved, kExifHeader.data(), kExifHeader.size()) == 0)
            out.assign(reinterpret_cast<const char *>(saved) + kExifHeader.size(),
                       size - kExifHeader.size());
        exif_mem_free(mem, saved);
    }
    exif_mem_unref(mem);
    return out;
}

bool ConvertToSrgb(HBITMAP bitmap, const std::string &icc) {
    DIBSECTION section{};
    if (GetObjectW(bitmap, sizeof section, &section) != static_cast<int>(sizeof section) ||
        section.dsBm.bmBits == nullptr)
        return false;
    const BITMAPINFOHEADER &header = section.dsBmih;
    // 32 bits: B, G, R and a fourth byte that lcms copies untouched.
    const bool defaultLayout = header.biCompression != BI_BITFIELDS ||
                               (section.dsBitfields[0] == 0xFF0000 &&
                                section.dsBitfields[1] == 0xFF00 && section.dsBitfields[2] == 0xFF);
    if ((header.biBitCount != 24 && header.biBitCount != 32) || !defaultLayout) return false;
    const cmsUInt32Number format = header.biBitCount == 24 ? TYPE_BGR_8 : TYPE_BGRA_8;

    cmsHPROFILE source =
        cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    if (source == nullptr) return false;
    bool converted = false;
    uint8_t levels[256][3];
    const size_t bytes = header.biBitCount / 8;
    const int32_t height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    // A grey profile describes grey pixels only: colour ones (a file whose profile does not fit
    // its samples) keep their colours, and the profile goes without a conversion.
    const auto allGrey = [&] {
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t *p = static_cast<const uint8_t *>(section.dsBm.bmBits) +
                               size_t(y) * size_t(section.dsBm.bmWidthBytes);
            for (int32_t x = 0; x < header.biWidth; ++x, p += bytes)
                if (p[0] != p[1] || p[1] != p[2]) return false;
        }
        return true;
    };
    if (cmsGetColorSpace(source) == cmsSigGrayData && allGrey() &&
        GreyLevelsInSrgb(source, levels)) {
        // Grey pixels stored as B, G, R: each pixel's level through the grey profile.
        for (int32_t y = 0; y < height; ++y) {
            uint8_t *p = static_cast<uint8_t *>(section.dsBm.bmBits) +
                         size_t(y) * size_t(section.dsBm.bmWidthBytes);
            for (int32_t x = 0; x < header.biWidth; ++x, p += bytes) {
                const uint8_t *rgb = levels[Luma(p[0], p[1], p[2])];
                p[0] = rgb[2];
                p[1] = rgb[1];
                p[2] = rgb[0];
            }
        }
        converted = true;
    } else if (cmsGetColorSpace(source) == cmsSigRgbData) {
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM transform = srgb ? cmsCreateTransform(source, format, srgb, format,
                                                            INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA)
                                       : nullptr;
        if (transform != nullptr) {
            const auto height = static_cast<cmsUInt32Number>(header.biHeight < 0 ? -header.biHeight
                                                                                 : header.biHeight);
            const auto stride = static_cast<cmsUInt32Number>(section.dsBm.bmWidthBytes);
            // In place: each pixel is read before it is written, in the same format.
            cmsDoTransformLineStride(transform, section.dsBm.bmBits, section.dsBm.bmBits,
                                     static_cast<cmsUInt32Number>(header.biWidth), height, stride,
                                     stride, 0, 0);
            cmsDeleteTransform(transform);
            converted = true;
        }
        if (srgb) cmsCloseProfile(srgb);
    }
    cmsCloseProfile(source);
    return converted;
}

PictureMetadata ReadPictureMetadata(const WCHAR *path, bool framesRead, bool depthKept) {
    InputPluginList &input = InputPlugins();
    if (!input.HasPictureMetadata()) return {};
    Gathered gathered;
    if (input.GetPictureMetadata(path, Gather, &gathered) != 0) return {};
    PictureMetadata &metadata = gathered.metadata;
    if (gathered.frames > 1 && !framesRead)
        metadata.notices.push_back(u"kept frame 1 of " +
                                   Utf8ToUtf16(std::to_string(gathered.frames)));
    if (gathered.bitsPerSample > 8 && !depthKept)
        metadata.notices.push_back(u"reduced " +
                                   Utf8ToUtf16(std::to_string(gathered.bitsPerSample)) +
                                   u" to 8 bits per sample");
    if (!metadata.icc.empty() && !IsWholeProfile(metadata.icc)) {
        metadata.icc.clear();
        gathered.dropped.emplace_back("the colour profile, which is cut short or malformed");
    }
    if (!metadata.exif.empty()) {
        ExifMem *mem = exif_mem_new_default();
        if (mem == nullptr || !LoadExif(metadata.exif, mem)) {
            metadata.exif.clear();
            gathered.dropped.emplace_back("the EXIF block, which is cut short or malformed");
        }
        if (mem) exif_mem_unref(mem);
    }
    for (const std::string &text : gathered.dropped)
        metadata.notices.push_back(u"dropped " + OneLine(text));
    return metadata;
}

bool ConvertPictureToSrgb(HDC dc, HBITMAP *bitmap, const std::string &icc, bool keepGrey) {
    LayoutInfo info;
    DIBSECTION section{};
    if (!ReadLayout(dc, *bitmap, &info, &section)) return false;
    if (info.header.biBitCount > 8) return ConvertToSrgb(*bitmap, icc);
    const ProfilePtr source(
        cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
    const uint32_t space = source ? cmsGetColorSpace(source.get()) : 0;
    if (space != cmsSigRgbData && space != cmsSigGrayData) return false;
    return ConvertColourTable(source.get(), info.colors, info.header.biClrUsed, keepGrey) &&
           ReplaceColourTable(dc, bitmap, section, info.colors, info.header.biClrUsed);
}

// The stored picture as the hand-over sees it: its size, the kind of pixels the output will
// store from it, and the conversion of its colours to sRGB.
struct HandedPixels {
    bool readable = false;
    uint32_t width = 0, height = 0;
    bool palette = false;
    int32_t stored = FALTRIX_STORED_UNKNOWN;
    std::function<bool(const std::string &icc, bool keepGrey)> toSrgb;
};

HandedPixels PixelsOf(HDC dc, HBITMAP *bitmap) {
    HandedPixels pixels;
    LayoutInfo layout;
    DIBSECTION section{};
    if (!ReadLayout(dc, *bitmap, &layout, &section)) return pixels;
    pixels.readable = true;
    pixels.width = static_cast<uint32_t>(layout.header.biWidth);
    pixels.height = static_cast<uint32_t>(layout.header.biHeight < 0 ? -layout.header.biHeight
                                                                     : layout.header.biHeight);
    pixels.palette = layout.header.biBitCount <= 8;
    pixels.stored = StoredColourOf(layout);
    pixels.toSrgb = [dc, bitmap](const std::string &icc, bool keepGrey) {
        return ConvertPictureToSrgb(dc, bitmap, icc, keepGrey);
    };
    return pixels;
}

// Deep samples are stored as they come: one or two channels grey, three or four colour.
HandedPixels PixelsOf(DeepFrame *frame) {
    HandedPixels pixels;
    if (frame == nullptr || !frame->filled()) return pixels;
    pixels.readable = true;
    pixels.width = static_cast<uint32_t>(frame->picture.width);
    pixels.height = static_cast<uint32_t>(frame->picture.height);
    pixels.stored = frame->picture.channels <= 2 ? FALTRIX_STORED_GREY : FALTRIX_STORED_COLOUR;
    pixels.toSrgb = [frame](const std::string &icc, bool) {
        return ConvertDeepFrameToSrgb(frame, icc);
    };
    return pixels;
}

// The colour profile: handed over with pixels it describes, or dropped, with the pixels
// converted to sRGB wherever it cannot go. `hand` gives an item to the output plug-in.
template <typename Hand>
void HandProfile(PictureMetadata *metadata, const MetadataChoice &choice,
                 const HandedPixels &pixels, bool canSet, const Hand &hand) {
    // The one rule for every output: a profile goes only with pixels it describes, grey with
    // grey and RGB with colour, as the output will store them. Wherever it cannot go, the
    // pixels are converted to sRGB so that the picture looks the same without it.
    const ProfileFacts facts = FactsOf(metadata->icc);
    if (const char16_t *kind = NoPictureKind(facts.kind)) {
        metadata->icc.clear();
        if (choice.icc)
            metadata->notices.push_back(u"dropped the colour profile, which is " +
                                        std::u16string(kind) +
                                        u" and describes no picture's colours");
        return;
    }
    if (!facts.opened || (facts.space != cmsSigRgbData && facts.space != cmsSigGrayData)) {
        metadata->icc.clear();
        if (choice.icc)
            metadata->notices.push_back(
                u"dropped the colour profile, which is not for the decoded pixels' colours");
        return;
    }
    if (!pixels.readable) {
        // Nothing to judge the pixels by: no profile rather than a wrong one.
        metadata->icc.clear();
        if (choice.icc)
            metadata->notices.push_back(
                u"dropped the colour profile, as the stored pixels could not be read");
        return;
    }
    const bool palette = pixels.palette;
    const int32_t stored = pixels.stored;
    const bool greyProfile = facts.space == cmsSigGrayData;
    const bool keepGrey = stored == FALTRIX_STORED_GREY;
    // Unknown is today's rule for outputs that cannot tell: RGB profiles go, grey ones only
    // on palettes.
    const bool fits =
        greyProfile ? stored == FALTRIX_STORED_GREY || (stored == FALTRIX_STORED_UNKNOWN && palette)
                    : stored != FALTRIX_STORED_GREY;
    const auto convert = [&](std::u16string why) {
        if (pixels.toSrgb(metadata->icc, keepGrey)) {
            metadata->pixelsConverted = true;
            if (!why.empty())
                metadata->notices.push_back(why + u"; the colours were converted to sRGB");
        } else if (!why.empty()) {
            metadata->notices.push_back(why + u"; the colours could not be converted to sRGB");
        } else {
            metadata->notices.push_back(
                u"the colour profile was dropped without converting the colours to sRGB");
        }
    };

    if (!choice.icc) {
        convert(u"");  // asked for: no word unless the conversion fails
    } else if (!canSet) {
        // An output from before the call: its pixels are left as it always had them.
        metadata->notices.push_back(u"the output format keeps no colour profile");
    } else if (!fits) {
        convert(greyProfile ? u"dropped the grey colour profile, as the output stores colour pixels"
                            : u"dropped the RGB colour profile, as the output stores grey pixels");
    } else if (hand(FALTRIX_METADATA_ICC, metadata->icc)) {
        metadata->profileHanded = true;
        return;
    } else {
        const std::u16string reason = OneLine(Utf16ToUtf8(LastPluginFailure()));
        convert(reason.empty() ? u"the output format keeps no colour profile"
                               : u"dropped the colour profile, which " + reason);
    }
    metadata->icc.clear();
}

namespace {

void HandMetadata(PictureMetadata *metadata, const MetadataChoice &choice,
                  const HandedPixels &pixels) {
    OutputPluginList &output = OutputPlugins();
    const bool hasItems =
        !metadata->icc.empty() || !metadata->exif.empty() || !metadata->xmp.empty();
    const bool canSet = output.HasPictureMetadata();
    if (canSet) output.SetPictureMetadata(nullptr, nullptr, 0);
    if (!hasItems) return;

    // An output without SetPictureMetadata keeps nothing; none gets an item over the limit
    // (a rewritten EXIF block can grow by the tags it gained).
    const auto hand = [&](const char *key, const std::string &item) {
        const bool kept =
            canSet && item.size() <= FALTRIX_METADATA_MAX_SIZE &&
            output.SetPictureMetadata(key, item.data(), static_cast<int32_t>(item.size())) == 0;
        metadata->itemsHanded = metadata->itemsHanded || kept;
        return kept;
    };

    if (!metadata->exif.empty() && choice.exif && pixels.readable) {
        const std::string exif = ExifForOutput(metadata->exif, pixels.width, pixels.height);
        if (exif.empty())
            metadata->notices.push_back(u"dropped the EXIF block, which could not be rewritten");
        else if (!hand(FALTRIX_METADATA_EXIF, exif) && canSet)
            FitExif(exif, hand, &metadata->notices);
        else if (!canSet) metadata->notices.push_back(u"the output format keeps no EXIF");
    }
    // The input plug-ins turn the pixels by the EXIF orientation: the XMP's must not turn them
    // again. Without one to apply, the XMP's stays as the picture had it.
    if (!metadata->xmp.empty() && choice.xmp &&
        !hand(FALTRIX_METADATA_XMP,
              ExifTurns(metadata->exif) ? XmpForOutput(metadata->xmp) : metadata->xmp))
        metadata->notices.push_back(u"the output format keeps no XMP");
    if (metadata->icc.empty()) return;

    HandProfile(metadata, choice, pixels, canSet, hand);
}

void Withdraw(PictureMetadata *metadata, const HandedPixels &pixels, const std::u16string &cause) {
    OutputPluginList &output = OutputPlugins();
    output.SetPictureMetadata(nullptr, nullptr, 0);
    std::u16string notice =
        u"stored without the colour profile, EXIF and XMP, since storing failed with them";
    if (!cause.empty()) notice += u" (" + cause + u")";
    if (metadata->profileHanded && pixels.readable) {
        if (pixels.toSrgb(metadata->icc, pixels.stored == FALTRIX_STORED_GREY)) {
            metadata->pixelsConverted = true;
            notice += u"; the colours were converted to sRGB";
        }
    }
    metadata->notices.push_back(std::move(notice));
    metadata->itemsHanded = false;
    metadata->profileHanded = false;
}

}  // namespace

void HandMetadataToOutput(PictureMetadata *metadata, const MetadataChoice &choice, HDC dc,
                          HBITMAP *bitmap) {
    HandMetadata(metadata, choice, PixelsOf(dc, bitmap));
}

void HandMetadataToOutput(PictureMetadata *metadata, const MetadataChoice &choice,
                          DeepFrame *frame) {
    HandMetadata(metadata, choice, PixelsOf(frame));
}

void ConvertLikeFirstFrame(const PictureMetadata &metadata, HDC dc, HBITMAP *bitmap) {
    const HandedPixels pixels = PixelsOf(dc, bitmap);
    if (pixels.readable) pixels.toSrgb(metadata.icc, pixels.stored == FALTRIX_STORED_GREY);
}

void ConvertLikeFirstFrame(const PictureMetadata &metadata, DeepFrame *frame) {
    ConvertDeepFrameToSrgb(frame, metadata.icc);
}

void WithdrawItems(PictureMetadata *metadata, HDC dc, HBITMAP *bitmap,
                   const std::u16string &cause) {
    Withdraw(metadata, PixelsOf(dc, bitmap), cause);
}

void WithdrawItems(PictureMetadata *metadata, DeepFrame *frame, const std::u16string &cause) {
    Withdraw(metadata, PixelsOf(frame), cause);
}

namespace {

// Whether a 32-bit picture's alpha bytes say it has transparency: some below 255, and not all
// 0 (which a picture made without alpha has).
bool HasTransparency(HDC dc) {
    DIBSECTION section{};
    const HGDIOBJ bitmap = GetCurrentObject(dc, OBJ_BITMAP);
    if (GetObjectW(bitmap, sizeof section, &section) != sizeof section ||
        section.dsBmih.biBitCount != 32 || section.dsBmih.biCompression != BI_RGB ||
        section.dsBm.bmBits == nullptr)
        return false;
    const auto *bytes = static_cast<const uint8_t *>(section.dsBm.bmBits);
    const size_t stride = size_t(section.dsBm.bmWidthBytes);
    bool below = false, nonZero = false;
    for (size_t y = 0; y < size_t(section.dsBm.bmHeight); ++y) {
        for (size_t x = 0; x < size_t(section.dsBm.bmWidth); ++x) {
            const uint8_t alpha = bytes[y * stride + 4 * x + 3];
            below = below || alpha != 255;
            nonZero = nonZero || alpha != 0;
        }
        if (below && nonZero) return true;
    }
    return false;
}

}  // namespace

void OfferTransparency(HDC dc, PictureMetadata *metadata) {
    OutputPluginList &output = OutputPlugins();
    if (!output.HasPictureMetadata() || !HasTransparency(dc) ||
        output.SetPictureMetadata(FALTRIX_METADATA_TRANSPARENCY, "", 0) == 0)
        return;
    metadata->notices.push_back(u"flattened the transparency on white");
}

void OfferSourceJpeg(const WCHAR *path, const PictureMetadata &metadata,
                     const MetadataChoice &choice, bool storedAsDecoded) {
    OutputPluginList &output = OutputPlugins();
    // The offer first: it costs a call, where looking at the file costs an open and a read,
    // and nearly every output declines it.
    // Nor when an item was dropped or changed (a notice says so): the JPEG still holds it.
    if (!storedAsDecoded || metadata.pixelsConverted || !metadata.notices.empty() || !choice.icc ||
        !choice.exif || !choice.xmp || !output.HasPictureMetadata() ||
        output.SetPictureMetadata(FALTRIX_METADATA_SOURCE_JPEG, "", 0) != 0)
        return;
    std::string file;
    if (!Utf16ToPathBytes(path, &file)) return;
    std::ifstream in(file, std::ios::binary);
    std::string bytes(3, '\0');
    if (!in.read(bytes.data(), 3) || bytes != "\xFF\xD8\xFF") return;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size <= 0 || size > FALTRIX_METADATA_MAX_SIZE) return;
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    if (in.read(bytes.data(), size))
        output.SetPictureMetadata(FALTRIX_METADATA_SOURCE_JPEG, bytes.data(),
                                  static_cast<int32_t>(size));
}

}  // namespace faltrix
