// The netpbm family as the plug-ins read and write it. Every picture starts with "P" and a
// digit:
//   P1 P2 P3   plain (ASCII) bitmap, grey map, pixmap: decimal samples split by whitespace
//              (P1's digits need none)
//   P4 P5 P6   the same in binary: P4 packs 8 pixels a byte, most significant bit first,
//              rows padded to a byte; P5 and P6 give one byte a sample when the maxval is
//              below 256, else two, most significant first
//   P7         PAM: header lines WIDTH, HEIGHT, DEPTH, MAXVAL, TUPLTYPE, ENDHDR; binary
//              samples as P5 and P6, DEPTH of them a pixel
// P1 to P6 give width, height and (but for bitmaps) the maxval as decimal numbers split by
// whitespace and "#" comments, then one whitespace byte before a binary raster. In a bitmap 1
// is black; in a PAM BLACKANDWHITE picture 1 is white. Pictures may follow one another in a
// file: they are read as its pages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faltrix/kit/kit.h"

namespace faltrix::pnm {

inline kit::FormatInfo Format() {
    return {u"PNM and PAM (Faltrix's own codec " FALTRIX_VERSION_U16 u")",
            {{u"*.pnm;*.pbm;*.pgm;*.ppm;*.pam", u"PNM and PAM pictures"}},
            {{u"*.pnm;*.pbm;*.pgm;*.ppm;*.pam", u"PNM and PAM pictures"}}};
}

// One picture of the file, as its header describes it.
struct Page {
    int kind = 0;          // the digit after "P": 1 .. 7
    int32_t width = 0;     // pixels
    int32_t height = 0;    // rows, top first
    uint32_t maxval = 1;   // the white (or opaque) sample value: 1 for bitmaps
    int channels = 1;      // 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA
    int64_t rasterAt = 0;  // the first byte of the samples in the file

    bool Plain() const { return kind <= 3; }
    bool Packed() const { return kind == 4; }
    bool Alpha() const { return channels == 2 || channels == 4; }
    // Bits that hold the maxval: 1 .. 16.
    int Bits() const {
        int bits = 1;
        while ((uint32_t{1} << bits) - 1 < maxval) ++bits;
        return bits;
    }
    // Bytes of the raster of a binary picture; 0 for a plain one, whose length is known only
    // by reading it.
    int64_t RasterBytes() const;
    // The fewest bytes the raster can have: a binary one's length; for a plain one a digit a
    // sample, with whitespace between all but P1's.
    int64_t LeastRasterBytes() const;
};

// Reads the header of the picture at the file's current position and leaves the file at its
// raster. False, with the cause recorded, when there is none or it is damaged: no "P1".."P7",
// a number missing or too large, a maxval of 0 or over 65535, a PAM depth or tuple type the
// reader does not know, and, when withinLimits, sizes out of kit::WithinLimits (a file is
// recognised as PNM without them, so that its size is what the user is told of).
bool ReadPage(kit::InputFile &file, Page *out, bool withinLimits = true);

// Reads one row of the page at the file's position as samples 0 .. maxval (channels a pixel,
// greys for bitmaps: 0 black, 1 white). Samples above the maxval are taken as the maxval, as
// a writer's overshoot is meant as the brightest value. False when the file ends first or a
// plain number is not one.
bool ReadRow(kit::InputFile &file, const Page &page, std::vector<uint8_t> &scratch, uint16_t *out);

// The pictures of the file: the first must be one, later ones count as long as their header
// reads; the walk ends at the end of the file, at bytes that start no picture, or at a
// picture whose raster runs past the end. False, with the cause recorded, when the first has
// no header that reads.
bool ReadPages(kit::InputFile &file, std::vector<Page> *out);

}  // namespace faltrix::pnm
