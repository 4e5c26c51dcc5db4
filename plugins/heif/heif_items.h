// The sizes a HEIF file gives its items, read from its boxes before libheif decodes anything.
// libheif 1.15 checks the sides of each item's 'ispe' property, but it composes a grid or an
// overlay on a canvas whose size it takes from the item's own data, unchecked: a 64 x 53 grid
// whose data says 26859 x 25390 takes it gigabytes before the tiles are found not to fit. So
// the plug-in reads those sizes itself and refuses them first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace faltrix::heif {

// Reads n bytes at offset of the file into out; false when they are not there.
using ReadAt = std::function<bool(uint64_t offset, void *out, size_t n)>;

struct Item {
    uint32_t id = 0;
    uint32_t type = 0;  // the infe box's item type: 'hvc1', 'av01', 'grid', 'iovl', 'Exif'...
    uint32_t width = 0, height = 0;              // its 'ispe' property; 0 when it has none
    uint32_t canvasWidth = 0, canvasHeight = 0;  // a grid's or overlay's canvas, from its data
    uint64_t dataBytes = 0;  // the bytes its extents give, as libheif would read them
    bool primary = false;    // the pitm box names it
};

// The items of the file's meta box, each with its sizes. False, with the cause recorded, when a
// box the plug-in needs is larger than it reads (16 MiB) or a grid's or overlay's data cannot
// be read; what is merely malformed is left for libheif to judge, with the items found so far.
bool ReadItems(const ReadAt &read, uint64_t fileSize, std::vector<Item> *items);

// "grid", "iovl": the four characters of a box or item type.
std::string TypeName(uint32_t type);

}  // namespace faltrix::heif
