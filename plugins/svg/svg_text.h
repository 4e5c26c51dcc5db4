// The bytes of an SVG file before librsvg reads them: a compressed .svgz inflated within a
// limit, and the root element judged without a parser.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace faltrix::svg {

// The most bytes of SVG text read, inflated or not: a larger drawing is refused.
inline constexpr size_t kMaxTextBytes = size_t{64} << 20;

// True when bytes begin with gzip's signature.
bool IsGzip(std::string_view bytes);

// Inflates the gzip stream in bytes into *out, at most `limit` bytes of it. With `partial`
// a stream cut short or longer than the limit gives what came before (for judging the head);
// without, either is a failure, with the cause recorded.
bool Inflate(std::string_view bytes, size_t limit, bool partial, std::string *out);

// True when the text's first element, after an optional byte-order mark, the XML declaration,
// processing instructions, comments and a document type declaration, is named svg (in any
// namespace prefix).
bool RootIsSvg(std::string_view text);

}  // namespace faltrix::svg
