// The animation chunks of a PNG: fcTL's record both ways, and the walk over a file's chunks
// that finds every frame's control and where its compressed rows lie, so that a reader knows
// the frames before it inflates any.
#include "apng.h"

#include <zlib.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "faltrix/kit/kit.h"
#include "faltrix/kit/orientation.h"

namespace faltrix::png {
namespace {

uint32_t Get32(const uint8_t *b) {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}
uint16_t Get16(const uint8_t *b) { return uint16_t(b[0] << 8 | b[1]); }
void Put32(uint32_t v, uint8_t *b) {
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (24 - 8 * i));
}

// Chunks read whole are small; a larger one of these types is not what it claims.
constexpr uint32_t kLargestSmallChunk = 1024;
// An eXIf read for its orientation; libpng reads no larger one either.
constexpr uint32_t kLargestExif = FALTRIX_METADATA_MAX_SIZE;

bool Fault(const std::string &text) { return kit::Fail("APNG: " + text); }

// The walk's position and what it has met so far.
struct Walk {
    FILE *file;
    int64_t size;
    int64_t at = 8;  // the next chunk's length field
    uint32_t nextSequence = 0;
    bool pixelsSeen = false;  // an IDAT came
    bool ended = false;       // IEND, or the file's end
    bool acTLSeen = false;
    bool beyond = false;  // past the frames acTL announced
};

// A chunk's data, read whole and checked against its CRC.
bool ReadWhole(Walk *w, const uint8_t head[8], uint32_t length, std::string *out) {
    out->resize(length);
    uint8_t crc[4];
    if (std::fread(out->data(), 1, length, w->file) != length ||
        std::fread(crc, 1, 4, w->file) != 4)
        return Fault("the file ends inside a chunk");
    uLong sum =
        crc32(crc32(0, head + 4, 4), reinterpret_cast<const Bytef *>(out->data()), uInt(length));
    if (sum != Get32(crc))
        return Fault(std::string(reinterpret_cast<const char *>(head + 4), 4) + ": CRC error");
    return true;
}

bool TakeSequence(Walk *w, uint32_t sequence, std::string_view type) {
    if (sequence != w->nextSequence)
        return Fault(std::string(type) + " has sequence number " + std::to_string(sequence) +
                     " where " + std::to_string(w->nextSequence) + " was due");
    ++w->nextSequence;
    return true;
}

// fcTL's record, checked against the canvas: a frame that reaches past it, or has no pixels,
// is a file that lies about its frames; the first frame of an animation that includes the
// default picture is that picture, so it covers the canvas.
bool TakeFrameControl(Walk *w, const std::string &data, ChunkMap *map) {
    if (data.size() != kFrameControlSize) return Fault("fcTL is not 26 bytes long");
    const auto *b = reinterpret_cast<const uint8_t *>(data.data());
    FrameControl c;
    c.sequence = Get32(b);
    c.width = Get32(b + 4);
    c.height = Get32(b + 8);
    c.x = Get32(b + 12);
    c.y = Get32(b + 16);
    c.delayNum = Get16(b + 20);
    c.delayDen = Get16(b + 22);
    if (b[24] > 2 || b[25] > 1) return Fault("fcTL has an unknown disposal or blending");
    c.dispose = Dispose(b[24]);
    c.blend = Blend(b[25]);
    if (!TakeSequence(w, c.sequence, "fcTL")) return false;
    const std::string frame = "frame " + std::to_string(map->frames.size() + 1);
    if (c.width == 0 || c.height == 0) return Fault(frame + " has no pixels");
    if (uint64_t(c.x) + c.width > map->width || uint64_t(c.y) + c.height > map->height)
        return Fault(frame + " (" + std::to_string(c.width) + "x" + std::to_string(c.height) +
                     " at " + std::to_string(c.x) + "," + std::to_string(c.y) +
                     ") reaches outside the canvas of " + std::to_string(map->width) + "x" +
                     std::to_string(map->height));
    if (!w->pixelsSeen && !map->frames.empty()) return Fault("two fcTL chunks come before IDAT");
    if (!w->pixelsSeen &&
        (c.x != 0 || c.y != 0 || c.width != map->width || c.height != map->height))
        return Fault("the first frame is the default picture but not of its size");
    map->frames.push_back({c, {}, false});
    return true;
}

// acTL: the animation counts only when it comes before the pixels and has frames.
bool TakeAnimationControl(Walk *w, const std::string &data, ChunkMap *map) {
    if (data.size() != 8) return Fault("acTL is not 8 bytes long");
    if (w->pixelsSeen || w->acTLSeen) return true;
    w->acTLSeen = true;
    const auto *b = reinterpret_cast<const uint8_t *>(data.data());
    map->announced = Get32(b);
    map->plays = Get32(b + 4);
    map->animated = map->announced > 0;
    return true;
}

// Notes where a frame's rows lie (IDAT, or fdAT after its sequence number); the walk skips
// them. Called in animations only.
bool TakeData(Walk *w, uint32_t length, bool fdat, ChunkMap *map) {
    const int64_t chunk = w->at + 4;
    const size_t idatFrames = map->defaultIsFrame ? 1 : 0;
    if (!fdat) {
        if (map->frames.size() > idatFrames) return Fault("IDAT comes after a later frame's fcTL");
        if (idatFrames != 0) map->frames[0].data.push_back({chunk, length, 0});
        return true;
    }
    uint8_t sequence[4];
    if (length < 4 || std::fread(sequence, 1, 4, w->file) != 4)
        return Fault("an fdAT chunk holds no sequence number");
    if (!TakeSequence(w, Get32(sequence), "fdAT")) return false;
    if (!w->pixelsSeen || map->frames.size() <= idatFrames)
        return Fault("fdAT comes before its frame's fcTL");
    map->frames.back().data.push_back({chunk, length, 4});
    return true;
}

// One chunk: its head is read, the file stands at its data. False when the walk must stop
// with the file refused.
bool TakeChunk(Walk *w, const uint8_t head[8], uint32_t length, ChunkMap *map) {
    const std::string_view type(reinterpret_cast<const char *>(head + 4), 4);
    const bool done = map->animated && map->frames.size() >= map->announced;
    std::string data;
    if (type == "IHDR" || type == "PLTE" || type == "tRNS" || type == "acTL" ||
        (type == "fcTL" && map->animated && !done) ||
        (type == "eXIf" && !w->pixelsSeen && length <= kLargestExif)) {
        if (type != "eXIf" && length > kLargestSmallChunk)
            return Fault(std::string(type) + " is too long");
        if (!ReadWhole(w, head, length, &data)) return false;
    }
    if (type == "IHDR") {
        // The one header comes first; a second would give later frames another canvas.
        if (!map->ihdr.empty()) return Fault("IHDR comes twice");
        if (data.size() != 13) return kit::Fail("PNG: IHDR is not 13 bytes long");
        const auto *b = reinterpret_cast<const uint8_t *>(data.data());
        map->width = Get32(b);
        map->height = Get32(b + 4);
        map->ihdr = data;
    } else if (type == "PLTE" && !w->pixelsSeen) {
        map->plte = data;
    } else if (type == "tRNS" && !w->pixelsSeen) {
        map->trns = data;
    } else if (type == "eXIf" && !data.empty()) {
        map->orientation =
            kit::ExifOrientation(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    } else if (type == "acTL") {
        return TakeAnimationControl(w, data, map);
    } else if (type == "fcTL" && !data.empty()) {
        if (!w->pixelsSeen) map->defaultIsFrame = true;
        return TakeFrameControl(w, data, map);
    } else if (type == "fcTL" && map->animated) {
        w->beyond = true;  // frames past the count acTL gives are left out, with their data
    } else if (type == "IDAT" || (type == "fdAT" && map->animated && !w->beyond)) {
        const bool result = !map->animated || TakeData(w, length, type == "fdAT", map);
        w->pixelsSeen = w->pixelsSeen || type == "IDAT";
        return result;
    } else if (type == "IEND") {
        w->ended = true;
    }
    return true;
}

}  // namespace

int32_t DelayMilliseconds(const FrameControl &control) {
    const uint32_t den = control.delayDen == 0 ? 100 : control.delayDen;
    return int32_t((uint64_t(control.delayNum) * 1000 + den / 2) / den);
}

void SetDelay(FrameControl *control, int32_t ms) {
    ms = std::max(ms, 0);
    if (ms <= 65535) {
        control->delayNum = uint16_t(ms);
        control->delayDen = 1000;
    } else {
        control->delayNum = uint16_t(std::min<int64_t>((int64_t(ms) + 5) / 10, 65535));
        control->delayDen = 100;
    }
}

void PutFrameControl(const FrameControl &c, uint8_t out[kFrameControlSize]) {
    Put32(c.sequence, out);
    Put32(c.width, out + 4);
    Put32(c.height, out + 8);
    Put32(c.x, out + 12);
    Put32(c.y, out + 16);
    out[20] = uint8_t(c.delayNum >> 8);
    out[21] = uint8_t(c.delayNum);
    out[22] = uint8_t(c.delayDen >> 8);
    out[23] = uint8_t(c.delayDen);
    out[24] = uint8_t(c.dispose);
    out[25] = uint8_t(c.blend);
}

bool MapChunks(FILE *file, int64_t size, ChunkMap *map) {
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    uint8_t signature[8];
    if (std::fseek(file, 0, SEEK_SET) != 0 || std::fread(signature, 1, 8, file) != 8 ||
        !std::equal(signature, signature + 8, kSignature))
        return kit::Fail("PNG: not a PNG file (its signature does not match)");
    Walk w{file, size};
    uint8_t head[8];
    while (!w.ended) {
        if (std::fseek(file, long(w.at), SEEK_SET) != 0 || std::fread(head, 1, 8, file) != 8)
            break;  // the file ends between chunks: IEND is missing, the frames are whole
        const uint32_t length = Get32(head);
        if (length > 0x7FFFFFFFu) return Fault("a chunk's length is out of range");
        const int64_t end = w.at + 12 + int64_t(length);
        if (end > size) {
            // The file ends inside this chunk: the frame it belongs to is cut, and nothing after.
            const std::string_view type(reinterpret_cast<const char *>(head + 4), 4);
            if (map->animated && !map->frames.empty() && !w.beyond &&
                (type == "IDAT" || type == "fdAT"))
                map->frames.back().cut = true;
            break;
        }
        if (!TakeChunk(&w, head, length, map)) return false;
        w.at = end;
    }
    if (map->ihdr.empty()) return kit::Fail("PNG: the file has no IHDR chunk");
    if (!map->animated) {
        map->frames.clear();
        map->defaultIsFrame = false;
    }
    // A frame announced but not (wholly) there: the frame the file ends in stays, to fail
    // with its cause when it is read; a frame with no data at all while the file went on
    // to IEND is a file that lies.
    for (size_t i = 0; i < map->frames.size(); ++i) {
        if (map->frames[i].data.empty() && !map->frames[i].cut) {
            if (!w.ended) {
                map->frames[i].cut = true;
                map->frames.resize(i + 1);
                break;
            }
            return Fault("frame " + std::to_string(i + 1) + " has no pixel data");
        }
    }
    return true;
}

}  // namespace faltrix::png
