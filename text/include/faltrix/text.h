// UTF-8 <-> UTF-16 for paths and answers crossing the plug-in boundary: text there is UTF-16,
// file names on disk are bytes, nearly always UTF-8 but not necessarily.
#pragma once

#include <string>
#include <string_view>

namespace faltrix {

// Bytes that are not valid UTF-8 become U+FFFD: for text that is only shown (the system's
// error words, a plug-in's answer).
std::u16string Utf8ToUtf16(std::string_view text);

// A lone surrogate becomes U+FFFD: for text that is only shown.
std::string Utf16ToUtf8(std::u16string_view text);

// ---- File names -----------------------------------------------------------------------------
// A file name on Linux is any bytes but NUL. Valid UTF-8 in it becomes UTF-16 as usual; each
// byte that is not part of valid UTF-8 becomes the lone surrogate U+DC00 + byte, so
// U+DC80..U+DCFF for the bytes 0x80..0xFF (no byte below 0x80 can be invalid). Valid UTF-8
// never decodes to a lone surrogate, so a name's UTF-16 form is unique and comes back as the
// same bytes. A byte is escaped alone, never with its neighbours: a sequence cut short
// ("\xE2\x82"), an overlong form ("\xC0\x80") and an encoded surrogate ("\xED\xA0\x80") become
// one escape per byte.

// The UTF-16 form of a file name's bytes. Never fails.
std::u16string PathBytesToUtf16(std::string_view bytes);

// The bytes a UTF-16 path names: pairs and characters as UTF-8, U+DC80..U+DCFF as the byte
// they stand for. False, and *out unchanged, for UTF-16 that no name gives: a high surrogate
// without its low one, or a lone low surrogate below U+DC80.
// (Escapes that together form valid UTF-8, "\uDCC3\uDCA9", give the bytes of "é": they are
// not what decoding gives, but name the same file.)
bool Utf16ToPathBytes(std::u16string_view text, std::string *out);

// True when the path holds a lone surrogate, escaped byte or not: its file's name is not UTF-8.
bool HoldsLoneSurrogate(std::u16string_view text);

// Text with file names in it, for a terminal or a message box, as UTF-8: control characters
// (U+0000..U+001F and U+007F) and escaped bytes become "\xNN" (the byte), the C1 controls
// U+0080..U+009F and other lone surrogates "\uNNNN", so that no name can move the cursor,
// change colours or break a line. A backslash stays as it is: this is for reading, not for
// getting the bytes back (the report's JSON is for that).
std::string ShownText(std::u16string_view text);

// A JSON string, quotes included: '"', '\\' and the control characters (C0, U+007F and C1) as
// JSON escapes ("\u001b"), lone surrogates as "\udcNN" (so that a reader that keeps lone
// surrogates, as Python's json does, gets the name back, and os.fsencode() its bytes), the rest
// as UTF-8.
std::string JsonString(std::u16string_view text);

}  // namespace faltrix
