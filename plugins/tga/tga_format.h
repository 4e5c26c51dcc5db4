// The TGA file layout as the plug-ins read and write it. Numbers are little-endian.
//
//   header        18 bytes: ID length, colour-map type (0 none, 1 present), picture type
//                 (1 colour-mapped, 2 true colour, 3 grey; 9, 10, 11 the same run-length
//                 encoded), colour-map first index, entry count and entry bits (15, 16, 24,
//                 32), x and y origin, width, height, bits a pixel, descriptor (bits 0-3 the
//                 attribute (alpha) bits a pixel, bit 4 rows right to left, bit 5 top row
//                 first, bits 6-7 interleaving, unused)
//   picture ID    ID length bytes, skipped
//   colour map    count entries of B, G, R[, A] bytes, or 16 bits of 5-5-5 (and one
//                 attribute bit)
//   pixels        width x height pixels, bottom row first unless bit 5 says otherwise; RLE
//                 packets are a byte (bit 7 a run, bits 0-6 the count less one), then one
//                 pixel for a run or count pixels for a raw packet
//   TGA 2.0       optional extension area (495 bytes; byte 494 the attribute type: 0-2 no
//                 useful alpha, 3 alpha, 4 premultiplied alpha) and a 26-byte footer: the
//                 extension area's offset, the developer area's offset, "TRUEVISION-XFILE.\0"
#pragma once

#include <cstdint>

#include "faltrix/kit/kit.h"

namespace faltrix::tga {

inline kit::FormatInfo Format() {
    return {u"TGA (Faltrix's own codec " FALTRIX_VERSION_U16 u")",
            {{u"*.tga;*.icb;*.vda;*.vst", u"TGA pictures"}},
            {{u"*.tga", u"TGA pictures"}}};
}

inline constexpr int kHeaderSize = 18;
inline constexpr int kFooterSize = 26;
inline constexpr int kExtensionSize = 495;
inline constexpr int kAttributeTypeAt = 494;               // in the extension area
inline constexpr char kSignature[] = "TRUEVISION-XFILE.";  // and a NUL: the footer's last 18

inline constexpr uint8_t kTopFirst = 0x20;    // descriptor bit 5
inline constexpr uint8_t kRightFirst = 0x10;  // descriptor bit 4

}  // namespace faltrix::tga
