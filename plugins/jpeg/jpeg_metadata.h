// Where JPEG keeps what a picture holds besides its pixels: the EXIF block and the XMP packet
// in APP1 segments told apart by their signatures, the colour profile in APP2 segments.
#pragma once

#include <cstddef>
#include <string_view>

namespace faltrix::jpeg {

inline constexpr int kExifMarker = 0xE1;  // JPEG_APP0 + 1
inline constexpr std::string_view kExifSignature{"Exif\0\0", 6};
inline constexpr std::string_view kIccSignature{"ICC_PROFILE\0", 12};
inline constexpr std::string_view kXmpSignature{"http://ns.adobe.com/xap/1.0/\0", 29};
// A marker segment's payload is at most 65533 bytes (its 16-bit length counts itself).
inline constexpr size_t kMaxSegmentPayload = 65533;

}  // namespace faltrix::jpeg
