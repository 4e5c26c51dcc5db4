// UTF-8 <-> UTF-16 for paths and answers crossing the plug-in boundary.
#pragma once

#include <string>
#include <string_view>

namespace faltrix {

// Bytes that are not valid UTF-8 (a file name on Linux is any bytes) become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// A lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace faltrix
