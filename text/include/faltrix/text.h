// UTF-8 <-> UTF-16 for paths and answers crossing the plug-in boundary: text there is UTF-16,
// file names on disk are UTF-8 bytes.
#pragma once

#include <string>
#include <string_view>

namespace faltrix {

// Bytes that are not valid UTF-8 (a file name on Linux is any bytes) become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// A lone surrogate becomes U+FFFD: for text that is only shown.
std::string Utf16ToUtf8(std::u16string_view text);

// For paths, where a replaced character would name another file: false, and *out unchanged,
// when the text holds a lone surrogate.
bool Utf16ToUtf8Exact(std::u16string_view text, std::string *out);

}  // namespace faltrix
