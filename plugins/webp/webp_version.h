// The description both WebP plug-ins show: the format and the libwebp found at run time.
#pragma once

#include <string>

namespace faltrix::webp {

// "WebP (libwebp 1.2.4)"
std::u16string Description();

// WebP stores sizes in 14 bits: no side may exceed this.
inline constexpr int kMaxDimension = 16383;

}  // namespace faltrix::webp
