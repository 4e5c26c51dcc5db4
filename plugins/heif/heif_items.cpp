// The item sizes of a HEIF file, from its boxes: the meta box's item list (iinf), their places
// (iloc, with idat), their properties (iprp: ipco and ipma) and the data of grid and overlay
// items. Only the boxes named are read into memory, each at most 16 MiB; everything else,
// the media data among it, is walked past by its header.
#include "heif_items.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "faltrix/kit/kit.h"

namespace faltrix::heif {
namespace {

constexpr uint32_t Fourcc(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// More than any real file's item list or properties hold (libheif allows 20000 items).
constexpr uint64_t kMaxBoxBytes = uint64_t{16} << 20;

// Where a box's content lies in the file.
struct Box {
    uint32_t type = 0;
    uint64_t content = 0, end = 0;
};

// The boxes one after another in [at, end) of the file: each header is read, the content
// walked past.
class Boxes {
public:
    Boxes(const ReadAt &read, uint64_t at, uint64_t end) : read_(read), at_(at), end_(end) {}

    // The next box; false at the end, or when a header is cut short or claims more than
    // there is (libheif has the last word on such a file).
    bool Next(Box *box) {
        uint8_t h[16];
        if (end_ < at_ || end_ - at_ < 8 || !read_(at_, h, 8)) return false;
        uint64_t size = Be(h, 4), header = 8;
        box->type = static_cast<uint32_t>(Be(h + 4, 4));
        if (size == 1) {
            if (end_ - at_ < 16 || !read_(at_ + 8, h + 8, 8)) return false;
            size = Be(h + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = end_ - at_;  // to the end of what holds it
        }
        if (box->type == Fourcc("uuid")) header += 16;
        if (size < header || size > end_ - at_) return false;
        box->content = at_ + header;
        box->end = at_ + size;
        at_ += size;
        return true;
    }

    static uint64_t Be(const uint8_t *p, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
        return v;
    }

private:
    const ReadAt &read_;
    uint64_t at_, end_;
};

// A box's content read into memory, taken apart from the front; a read past its end gives 0
// and marks it short.
class Content {
public:
    // Reads box's content; false, with the cause, when it is larger than kMaxBoxBytes or cannot
    // be read.
    bool Load(const ReadAt &read, const Box &box) {
        const uint64_t n = box.end - box.content;
        if (n > kMaxBoxBytes)
            return kit::Fail("HEIF: the '" + TypeName(box.type) + "' box is larger than the " +
                             std::to_string(kMaxBoxBytes >> 20) + " MiB the plug-in reads");
        bytes_.resize(static_cast<size_t>(n));
        return read(box.content, bytes_.data(), bytes_.size()) ||
               kit::Fail("HEIF: the file ends inside its meta box");
    }

    // The next n bytes (0 to 8) as a big-endian number.
    uint64_t Take(size_t n) {
        if (bytes_.size() - at_ < n) {
            short_ = true;
            at_ = bytes_.size();
            return 0;
        }
        const uint64_t v = Boxes::Be(bytes_.data() + at_, static_cast<int>(n));
        at_ += n;
        return v;
    }
    bool complete() const { return !short_; }

private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
    bool short_ = false;
};

// A full box's version (its flags come back in *flags).
uint32_t Version(Content *c, uint32_t *flags = nullptr) {
    const uint32_t v = static_cast<uint32_t>(c->Take(4));
    if (flags) *flags = v & 0xFFFFFF;
    return v >> 24;
}

struct Extent {
    uint64_t offset = 0, length = 0;  // length 0: to the end of the file or the idat box
};
struct Place {
    uint32_t method = 0;  // 0: the file's offsets, 1: the idat box's, 2: another item's
    std::vector<Extent> extents;
};

// iinf: the items and their types (infe version 2 and 3; older ones have no type).
bool ReadTypes(const ReadAt &read, const Box &iinf, std::map<uint32_t, Item> *items) {
    Content c;
    if (!c.Load(read, iinf)) return false;
    const uint64_t header = Version(&c) == 0 ? 6 : 8;  // the full box, a 16- or 32-bit count
    Boxes entries(read, iinf.content + header, iinf.end);
    for (Box infe; entries.Next(&infe);) {
        if (infe.type != Fourcc("infe")) continue;
        Content e;
        if (!e.Load(read, infe)) return false;
        const uint32_t version = Version(&e);
        if (version < 2) continue;
        const uint32_t id = static_cast<uint32_t>(e.Take(version == 2 ? 2 : 4));
        e.Take(2);  // protection index
        const uint32_t type = static_cast<uint32_t>(e.Take(4));
        if (e.complete()) (*items)[id].type = type;
    }
    return true;
}

// Extents kept of all items: files have one or a few an item. Fields of size 0 make an extent
// of no bytes, so the box's size alone does not bound their number.
constexpr uint64_t kMaxExtents = 65536;

// iloc: where each item's data lies.
bool ReadPlaces(const ReadAt &read, const Box &iloc, std::map<uint32_t, Place> *places) {
    Content c;
    if (!c.Load(read, iloc)) return false;
    const uint32_t version = Version(&c);
    if (version > 2) return true;  // libheif refuses it
    const uint32_t sizes = static_cast<uint32_t>(c.Take(2));
    const size_t offsetSize = sizes >> 12, lengthSize = (sizes >> 8) & 15,
                 baseSize = (sizes >> 4) & 15, indexSize = version >= 1 ? sizes & 15 : 0;
    for (size_t s : {offsetSize, lengthSize, baseSize, indexSize})
        if (s != 0 && s != 4 && s != 8) return true;
    const uint64_t count = c.Take(version < 2 ? 2 : 4);
    uint64_t kept = 0;
    for (uint64_t i = 0; i < count && c.complete(); ++i) {
        const uint32_t id = static_cast<uint32_t>(c.Take(version < 2 ? 2 : 4));
        Place place;
        if (version >= 1) place.method = static_cast<uint32_t>(c.Take(2)) & 15;
        c.Take(2);  // data reference index
        const uint64_t base = c.Take(baseSize);
        const uint64_t extents = c.Take(2);
        if ((kept += extents) > kMaxExtents)
            return kit::Fail("HEIF: the items' data lies in more than " +
                             std::to_string(kMaxExtents) + " pieces");
        for (uint64_t e = 0; e < extents && c.complete(); ++e) {
            c.Take(indexSize);
            Extent extent;
            extent.offset = base + c.Take(offsetSize);
            extent.length = c.Take(lengthSize);
            place.extents.push_back(extent);
        }
        if (c.complete()) (*places)[id] = std::move(place);
    }
    return true;
}

// iprp: the ispe property of each item, through ipco's list and ipma's associations.
bool ReadSides(const ReadAt &read, const Box &iprp, std::map<uint32_t, Item> *items) {
    std::vector<std::pair<uint32_t, uint32_t>> properties;  // ipco's, from index 1; 0 x 0: not ispe
    Boxes inside(read, iprp.content, iprp.end);
    for (Box box; inside.Next(&box);) {
        if (box.type == Fourcc("ipco")) {
            Boxes list(read, box.content, box.end);
            for (Box property; list.Next(&property);) {
                std::pair<uint32_t, uint32_t> sides{0, 0};
                if (property.type == Fourcc("ispe")) {
                    Content c;
                    if (!c.Load(read, property)) return false;
                    Version(&c);
                    sides.first = static_cast<uint32_t>(c.Take(4));
                    sides.second = static_cast<uint32_t>(c.Take(4));
                }
                properties.push_back(sides);
            }
        } else if (box.type == Fourcc("ipma")) {
            Content c;
            if (!c.Load(read, box)) return false;
            uint32_t flags = 0;
            const uint32_t version = Version(&c, &flags);
            const uint64_t count = c.Take(4);
            for (uint64_t i = 0; i < count && c.complete(); ++i) {
                const uint32_t id = static_cast<uint32_t>(c.Take(version < 1 ? 2 : 4));
                const uint64_t associations = c.Take(1);
                for (uint64_t a = 0; a < associations && c.complete(); ++a) {
                    const uint64_t index = (flags & 1) ? c.Take(2) & 0x7FFF : c.Take(1) & 0x7F;
                    if (index == 0 || index > properties.size() || properties[index - 1].first == 0)
                        continue;
                    Item &item = (*items)[id];
                    std::tie(item.width, item.height) = properties[index - 1];
                }
            }
        }
    }
    return true;
}

// The canvas of a grid ("grid": version, flags, rows - 1, columns - 1, width, height) or an
// overlay ("iovl": version, flags, four 16-bit fill values, width, height), its sides 16-bit,
// or 32-bit when flags bit 0 is set. Left 0 when the data is too short, which libheif refuses.
bool ReadCanvas(const ReadAt &read, const Place &place, const Box &idat, uint64_t fileSize,
                Item *item) {
    uint8_t head[20] = {};
    size_t have = 0;
    for (const Extent &e : place.extents) {
        const uint64_t start = place.method == 1 ? idat.content + e.offset : e.offset;
        const uint64_t limit = place.method == 1 ? idat.end : fileSize;
        if (place.method > 1 || start >= limit) break;
        const uint64_t length = e.length == 0 ? limit - start : std::min(e.length, limit - start);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, sizeof head - have));
        if (!read(start, head + have, n))
            return kit::Fail("HEIF: the data of item " + std::to_string(item->id) +
                             " cannot be read");
        have += n;
        if (have == sizeof head || e.length == 0 || e.length > length) break;
    }
    const bool wide = have >= 2 && (head[1] & 1);
    const size_t at = item->type == Fourcc("grid") ? 4 : 10, side = wide ? 4 : 2;
    if (have < at + 2 * side) return true;
    item->canvasWidth = static_cast<uint32_t>(Boxes::Be(head + at, static_cast<int>(side)));
    item->canvasHeight = static_cast<uint32_t>(Boxes::Be(head + at + side, static_cast<int>(side)));
    return true;
}

}  // namespace

std::string TypeName(uint32_t type) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char ch = static_cast<char>(type >> (24 - 8 * i));
        name[static_cast<size_t>(i)] = ch >= 0x20 && ch < 0x7F ? ch : '?';
    }
    return name;
}

bool ReadItems(const ReadAt &read, uint64_t fileSize, std::vector<Item> *out) {
    out->clear();
    Boxes top(read, 0, fileSize);
    Box meta;
    bool found = false;
    while (!found && top.Next(&meta)) found = meta.type == Fourcc("meta");
    if (!found || meta.end - meta.content < 4) return true;

    std::map<uint32_t, Item> items;
    std::map<uint32_t, Place> places;
    Box idat{};
    uint32_t primary = 0;
    bool named = false;
    Boxes inside(read, meta.content + 4, meta.end);  // past the full box's version and flags
    for (Box box; inside.Next(&box);) {
        if (box.type == Fourcc("iinf") && !ReadTypes(read, box, &items)) return false;
        if (box.type == Fourcc("iloc") && !ReadPlaces(read, box, &places)) return false;
        if (box.type == Fourcc("iprp") && !ReadSides(read, box, &items)) return false;
        if (box.type == Fourcc("idat")) idat = box;
        if (box.type == Fourcc("pitm")) {
            Content c;
            if (!c.Load(read, box)) return false;
            primary = static_cast<uint32_t>(c.Take(Version(&c) == 0 ? 2 : 4));
            named = c.complete();
        }
    }
    // Every place counts, an item's that iinf does not list too: libheif may read any.
    for (const auto &[id, place] : places) items[id].id = id;
    for (auto &[id, item] : items) {
        item.id = id;
        item.primary = named && id == primary;
        const auto place = places.find(id);
        if (place == places.end()) continue;
        for (const Extent &e : place->second.extents) {
            const uint64_t limit = place->second.method == 1 ? idat.end - idat.content : fileSize;
            const uint64_t length = e.length == 0 && e.offset < limit ? limit - e.offset : e.length;
            item.dataBytes =
                length > UINT64_MAX - item.dataBytes ? UINT64_MAX : item.dataBytes + length;
        }
        if ((item.type == Fourcc("grid") || item.type == Fourcc("iovl")) &&
            !ReadCanvas(read, place->second, idat, fileSize, &item))
            return false;
    }
    for (auto &[id, item] : items) out->push_back(item);
    return true;
}

}  // namespace faltrix::heif
