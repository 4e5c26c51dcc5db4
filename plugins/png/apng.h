// Animated PNG: the three chunks that make a PNG an animation, which libpng (as Debian builds
// it) neither reads nor writes, so the plug-ins read and write them here.
//   acTL  before the first IDAT: how many frames, how often they play (0 for ever)
//   fcTL  before each frame's data: its rectangle on the canvas, delay, disposal and blending
//   fdAT  a frame's compressed rows after the first: a sequence number, then what an IDAT
//         would hold
// fcTL and fdAT share one sequence counter, from 0, so that a reader can tell a reordered or
// missing chunk. Every frame has the colour type, depth and palette of IHDR. When an fcTL comes
// before the IDAT, the default picture (IDAT) is the animation's first frame; otherwise it is a
// picture of its own that players of animations skip.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix::png {

enum class Dispose : uint8_t { None = 0, Background = 1, Previous = 2 };
enum class Blend : uint8_t { Source = 0, Over = 1 };

// fcTL's 26 bytes: sizes and offsets in pixels, delay in delayNum / delayDen seconds (a
// denominator of 0 means hundredths).
struct FrameControl {
    uint32_t sequence = 0;
    uint32_t width = 0, height = 0, x = 0, y = 0;
    uint16_t delayNum = 0, delayDen = 0;
    Dispose dispose = Dispose::None;
    Blend blend = Blend::Source;
};
constexpr size_t kFrameControlSize = 26;

// The delay in milliseconds, rounded; at most 65535 seconds, so it fits.
int32_t DelayMilliseconds(const FrameControl &control);
// delayNum / delayDen for `ms` milliseconds: thousandths while they fit 16 bits, hundredths
// beyond (rounded), and the longest delay fcTL holds past that.
void SetDelay(FrameControl *control, int32_t ms);

void PutFrameControl(const FrameControl &control, uint8_t out[kFrameControlSize]);

// The libdeflate level of the session's "compression" setting of the PNG writer.
int LibdeflateLevel();

// One stretch of a frame's compressed rows in the file: the data of an IDAT, or of an fdAT
// after its sequence number. `chunk` is where the chunk's type begins, for its CRC.
struct DataSpan {
    int64_t chunk = 0;
    uint32_t chunkLength = 0;  // the chunk's length field
    uint32_t skip = 0;         // bytes of the data before the rows (4 for fdAT)
};

struct AnimationFrame {
    FrameControl control;
    std::vector<DataSpan> data;
    bool cut = false;  // the file ends inside this frame's data
};

// What a walk over a PNG's chunks finds, without inflating anything.
struct ChunkMap {
    uint32_t width = 0, height = 0;
    std::string ihdr, plte, trns;        // the chunks' data, for pictures of each frame alone
    int orientation = 1;                 // from an eXIf chunk before the pixels
    bool animated = false;               // an acTL before the pixels with at least one frame
    uint32_t announced = 0;              // acTL's frame count
    uint32_t plays = 0;                  // acTL's num_plays: 0 for ever
    bool defaultIsFrame = false;         // an fcTL came before IDAT
    std::vector<AnimationFrame> frames;  // at most `announced`
    // The frames the file holds for us: the default picture when it is not one of them,
    // then the animation's.
    int32_t FrameCount() const { return (defaultIsFrame ? 0 : 1) + int32_t(frames.size()); }
};

// Walks the chunks of the PNG in file (of `size` bytes) from the signature to IEND. False,
// with the cause recorded, when the file is not a PNG or its animation chunks lie: an fcTL
// outside the canvas or of no size, a first frame that is not the whole canvas, sequence
// numbers out of order, a damaged acTL or fcTL, a frame without data. A file that ends early
// is not refused here: the frame it ends in is marked cut, and reading that frame fails.
bool MapChunks(FILE *file, int64_t size, ChunkMap *out);

// Notes the "frames" item for the picture being decoded: how many frames OpenFrames gives,
// when more than one. A file whose animation lies is left a single picture, without a cause.
void NoteFrameCount(FILE *file, int64_t size);

}  // namespace faltrix::png
