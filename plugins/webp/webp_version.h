// What both WebP plug-ins share: their information answers, with the libwebp found at run
// time in the description, and WebP's size limit.
#pragma once

#include "faltrix/kit/kit.h"

namespace faltrix::webp {

// "WebP (libwebp 1.2.4)" and the pattern.
kit::FormatInfo Format();

// WebP stores sizes in 14 bits: no side may exceed this.
inline constexpr int kMaxDimension = 16383;

}  // namespace faltrix::webp
