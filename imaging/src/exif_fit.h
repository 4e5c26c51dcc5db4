// Smaller forms of an EXIF block, for an output that refuses the block whole (a JPEG's EXIF
// segment holds at most 64 KiB; a PNG, WebP or HEIF input can bring more).
#pragma once

#include <string>
#include <vector>

namespace faltrix {

// The block rebuilt from its directories alone (the first, EXIF, GPS and interoperability
// ones), without the `dropCount` largest entries whose values are stored apart from their
// directory, largest first; their names in *dropped. The bytes no directory points to (a
// cut-off thumbnail, padding) are gone. Empty when the block cannot be read or there are
// fewer such entries than dropCount.
std::string RebuiltExif(const std::string &exif, size_t dropCount,
                        std::vector<std::string> *dropped);

// How many entries RebuiltExif can drop from the block.
size_t DroppableExifEntries(const std::string &exif);

}  // namespace faltrix
