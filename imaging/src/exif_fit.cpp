// The EXIF block rebuilt by libexif from the entries the kit's walker reads, which keeps
// every entry whatever the block's size. An entry stored inside its directory (four bytes or
// less: the orientation, the sizes, the versions) costs nothing worth dropping, so only the
// others are candidates, the largest first: typically the maker note, a user comment or a
// long description. A maker note that stays is moved with its bytes unchanged; the ones that
// count their offsets from their own start read as before.
#include "exif_fit.h"

#include <libexif/exif-data.h>

#include <algorithm>
#include <tuple>

#include "faltrix/kit/exif_block.h"

namespace faltrix {
namespace {

// The entries stored apart from their directory, largest first (then by directory and tag,
// so that the choice is the same every time).
std::vector<std::pair<int, ExifEntry *>> Droppable(ExifData *data) {
    std::vector<std::pair<int, ExifEntry *>> all;
    for (int ifd = 0; ifd < EXIF_IFD_COUNT; ++ifd) {
        const ExifContent *c = data->ifd[ifd];
        for (unsigned i = 0; c != nullptr && i < c->count; ++i)
            if (c->entries[i]->size > 4) all.emplace_back(ifd, c->entries[i]);
    }
    std::stable_sort(all.begin(), all.end(), [](const auto &a, const auto &b) {
        return std::tuple(b.second->size, a.first, a.second->tag) <
               std::tuple(a.second->size, b.first, b.second->tag);
    });
    return all;
}

}  // namespace

size_t DroppableExifEntries(const std::string &exif) {
    const kit::ExifDataPtr data = kit::LoadedExifBlock(exif);
    return data ? Droppable(data.get()).size() : 0;
}

std::string RebuiltExif(const std::string &exif, size_t dropCount,
                        std::vector<std::string> *dropped) {
    const kit::ExifDataPtr data = kit::LoadedExifBlock(exif);
    if (!data) return {};
    const auto droppable = Droppable(data.get());
    if (droppable.size() < dropCount) return {};
    for (size_t i = 0; i < dropCount; ++i) {
        const auto [ifd, entry] = droppable[i];
        const char *name = exif_tag_get_name_in_ifd(entry->tag, ExifIfd(ifd));
        dropped->push_back(name ? name : "tag " + std::to_string(entry->tag));
        exif_content_remove_entry(data->ifd[ifd], entry);
    }
    return kit::SavedExifBlock(data.get());
}

}  // namespace faltrix
