#include "faltrix/text.h"

#include <cstdint>

namespace faltrix {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;    // U+DC00 + byte stands for a byte that is not UTF-8
constexpr char16_t kLowestEscape = 0xDC80;  // bytes below 0x80 are ASCII, never escaped

bool IsHigh(char32_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLow(char32_t c) { return c >= 0xDC00 && c < 0xE000; }

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The character at text[*i], a surrogate pair taken whole; a lone surrogate comes back as
// itself. Advances *i past it.
char32_t NextUnit(std::u16string_view text, size_t *i) {
    char32_t c = text[*i];
    if (IsHigh(c) && *i + 1 < text.size() && IsLow(text[*i + 1])) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[*i + 1] - 0xDC00);
        ++*i;
    }
    ++*i;
    return c;
}

// The valid UTF-8 sequence at text[i]: its character and length, or length 0 when the byte
// there starts none (a stray continuation byte, a sequence cut short, an overlong form, an
// encoded surrogate, a value past U+10FFFF).
struct Decoded {
    char32_t c = 0;
    size_t length = 0;
};
Decoded DecodeUtf8At(std::string_view text, size_t i) {
    const auto b0 = static_cast<uint8_t>(text[i]);
    if (b0 < 0x80) return {b0, 1};
    size_t extra = 0;
    char32_t c = 0, min = 0;
    if ((b0 & 0xE0) == 0xC0) extra = 1, c = b0 & 0x1F, min = 0x80;
    else if ((b0 & 0xF0) == 0xE0) extra = 2, c = b0 & 0x0F, min = 0x800;
    else if ((b0 & 0xF8) == 0xF0) extra = 3, c = b0 & 0x07, min = 0x10000;
    else return {};
    if (i + extra >= text.size()) return {};
    for (size_t k = 1; k <= extra; ++k) {
        const auto b = static_cast<uint8_t>(text[i + k]);
        if ((b & 0xC0) != 0x80) return {};
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return {};
    return {c, extra + 1};
}

// UTF-8 to UTF-16, a byte that is not UTF-8 becoming `invalid(byte)`.
template <typename Invalid>
std::u16string Decode(std::string_view text, Invalid invalid) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const Decoded d = DecodeUtf8At(text, i);
        if (d.length == 0) {
            out += invalid(static_cast<uint8_t>(text[i]));
            ++i;
        } else if (d.c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((d.c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((d.c - 0x10000) & 0x3FF));
            i += d.length;
        } else {
            out += static_cast<char16_t>(d.c);
            i += d.length;
        }
    }
    return out;
}

void AppendHex(std::string &out, const char *prefix, unsigned value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out += kDigits[(value >> shift) & 0xF];
}

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    return Decode(text, [](uint8_t) { return u'\uFFFD'; });
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char32_t c = NextUnit(text, &i);
        AppendUtf8(out, IsHigh(c) || IsLow(c) ? 0xFFFD : c);
    }
    return out;
}

std::u16string PathBytesToUtf16(std::string_view bytes) {
    return Decode(bytes, [](uint8_t byte) { return static_cast<char16_t>(kEscapeBase + byte); });
}

bool Utf16ToPathBytes(std::u16string_view text, std::string *out) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char32_t c = NextUnit(text, &i);
        if (c >= kLowestEscape && c <= 0xDCFF) bytes += static_cast<char>(c - kEscapeBase);
        else if (IsHigh(c) || IsLow(c)) return false;
        else AppendUtf8(bytes, c);
    }
    *out = std::move(bytes);
    return true;
}

bool HoldsLoneSurrogate(std::u16string_view text) {
    for (size_t i = 0; i < text.size();) {
        const char32_t c = NextUnit(text, &i);
        if (IsHigh(c) || IsLow(c)) return true;
    }
    return false;
}

std::string ShownText(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char32_t c = NextUnit(text, &i);
        if (c < 0x20 || c == 0x7F) AppendHex(out, "\\x", c, 2);
        else if (c >= kLowestEscape && c <= 0xDCFF) AppendHex(out, "\\x", c - kEscapeBase, 2);
        else if (IsControl(c) || IsHigh(c) || IsLow(c)) AppendHex(out, "\\u", c, 4);
        else AppendUtf8(out, c);
    }
    return out;
}

std::string JsonString(std::u16string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size();) {
        const char32_t c = NextUnit(text, &i);
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (IsControl(c) || IsHigh(c) || IsLow(c)) AppendHex(out, "\\u", c, 4);
        else AppendUtf8(out, c);
    }
    return out + "\"";
}

}  // namespace faltrix
