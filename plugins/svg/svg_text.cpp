// The text of an SVG file: inflating .svgz and finding the root element.
#include "svg_text.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "faltrix/kit/kit.h"

namespace faltrix::svg {

bool IsGzip(std::string_view bytes) {
    return bytes.size() >= 2 && uint8_t(bytes[0]) == 0x1F && uint8_t(bytes[1]) == 0x8B;
}

bool Inflate(std::string_view bytes, size_t limit, bool partial, std::string *out) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return kit::Fail("SVG: zlib cannot start");
    out->clear();
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
    z.avail_in = static_cast<uInt>(std::min<size_t>(bytes.size(), UINT32_MAX));
    int status = Z_OK;
    char chunk[16384];
    while (status == Z_OK && out->size() < limit) {
        const size_t room = std::min(sizeof chunk, limit - out->size());
        z.next_out = reinterpret_cast<Bytef *>(chunk);
        z.avail_out = static_cast<uInt>(room);
        status = inflate(&z, Z_NO_FLUSH);
        out->append(chunk, room - z.avail_out);
    }
    const std::string message = z.msg ? z.msg : "error";
    inflateEnd(&z);
    if (partial || status == Z_STREAM_END) return true;
    if (out->size() >= limit)
        return kit::Fail("SVG: the compressed drawing inflates to more than " +
                         std::to_string(limit >> 20) + " MiB");
    return kit::Fail(status == Z_OK || status == Z_BUF_ERROR
                         ? "SVG: the compressed drawing is cut short"
                         : "SVG: the compressed drawing is damaged (zlib: " + message + ")");
}

namespace {

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
    return text.compare(at, prefix.size(), prefix) == 0;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The position after a document type declaration starting at `at`: its internal subset in
// brackets and quoted strings may hold '>'. npos when it does not end in the text.
size_t SkipDoctype(std::string_view text, size_t at) {
    int depth = 0;
    char quote = 0;
    for (size_t i = at; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (c == '>' && depth <= 0) {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

}  // namespace

bool RootIsSvg(std::string_view text) {
    size_t at = StartsWith(text, 0, "\xEF\xBB\xBF") ? 3 : 0;
    for (;;) {
        while (at < text.size() && IsSpace(text[at])) ++at;
        size_t end = std::string_view::npos;
        if (StartsWith(text, at, "<?")) {
            end = text.find("?>", at + 2);
            if (end != std::string_view::npos) end += 2;
        } else if (StartsWith(text, at, "<!--")) {
            end = text.find("-->", at + 4);
            if (end != std::string_view::npos) end += 3;
        } else if (StartsWith(text, at, "<!DOCTYPE")) {
            end = SkipDoctype(text, at + 9);
        } else if (StartsWith(text, at, "<")) {
            size_t stop = at + 1;
            while (stop < text.size() && !IsSpace(text[stop]) && text[stop] != '>' &&
                   text[stop] != '/')
                ++stop;
            // A name cut by the end of the text is not judged.
            if (stop == text.size()) return false;
            const std::string_view name = text.substr(at + 1, stop - at - 1);
            return name == "svg" || (name.size() > 4 && name.substr(name.size() - 4) == ":svg");
        } else {
            return false;
        }
        if (end == std::string_view::npos) return false;
        at = end;
    }
}

}  // namespace faltrix::svg
