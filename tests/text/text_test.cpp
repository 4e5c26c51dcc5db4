// File names through the UTF-16 of the plug-in boundary and back, byte for byte; paths that no
// name gives refused; names made safe for a terminal and exact in JSON.
#include <gtest/gtest.h>

#include <string>

#include "faltrix/text.h"

namespace faltrix {
namespace {

// "\xDCE9"-style escapes read badly in a table: E(0xE9) is the unit that stands for byte 0xE9.
constexpr char16_t E(unsigned byte) { return static_cast<char16_t>(0xDC00 + byte); }

struct NameCase {
    const char *name;
    std::string bytes;
    std::u16string units;  // what the plug-in gets
};

// Valid UTF-8 unchanged, anything else one escape per byte, with what follows decoded afresh.
const NameCase kNames[] = {
    {"Ascii", "picture.png", u"picture.png"},
    {"TwoThreeAndFourByteCharacters", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80",
     u"\u00E9\u4E2D\U0001F600"},
    {"Latin1Byte", "caf\xE9.png", {u'c', u'a', u'f', E(0xE9), u'.', u'p', u'n', u'g'}},
    {"StrayContinuationBytes", "\x80\xBF", {E(0x80), E(0xBF)}},
    {"LeadByteAtTheEnd", "a\xC3", {u'a', E(0xC3)}},
    {"ThreeByteSequenceCutShort", "\xE2\x82x", {E(0xE2), E(0x82), u'x'}},
    {"FourByteSequenceCutShort", "\xF0\x9F\x98", {E(0xF0), E(0x9F), E(0x98)}},
    {"OverlongNul", "\xC0\x80", {E(0xC0), E(0x80)}},
    {"OverlongSlash", "\xE0\x80\xAF", {E(0xE0), E(0x80), E(0xAF)}},
    {"EncodedHighSurrogate", "\xED\xA0\x80", {E(0xED), E(0xA0), E(0x80)}},
    {"EncodedEscapeItself", "\xED\xB3\xA9", {E(0xED), E(0xB3), E(0xA9)}},  // U+DCE9 as UTF-8
    {"PastU10FFFF", "\xF4\x90\x80\x80", {E(0xF4), E(0x90), E(0x80), E(0x80)}},
    {"BytesNoUtf8Starts", "\xF8\xFE\xFF", {E(0xF8), E(0xFE), E(0xFF)}},
    {"ValidAfterInvalid", "\xFF\xC3\xA9", {E(0xFF), u'\u00E9'}},
    {"ControlCharacters", "a\x1B[31m\n\x7F", u"a\x1B[31m\n\x7F"},
    {"ReplacementCharacterIsAName", "\xEF\xBF\xBD", u"\uFFFD"},
};

class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, CrossToUtf16AndBackByteForByte) {
    const NameCase &c = GetParam();
    EXPECT_EQ(PathBytesToUtf16(c.bytes), c.units);
    std::string back = "untouched";
    ASSERT_TRUE(Utf16ToPathBytes(c.units, &back));
    EXPECT_EQ(back, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Table, Names, ::testing::ValuesIn(kNames),
                         [](const auto &info) { return std::string(info.param.name); });

// Every single byte, and every pair of bytes, comes back as itself: no byte is lost or merged
// with its neighbour, whatever precedes it.
TEST(Names, EveryByteAndEveryPairOfBytesComesBack) {
    for (unsigned a = 1; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            const std::string bytes =
                b == 0 ? std::string(1, char(a)) : std::string{char(a), char(b)};
            std::string back;
            ASSERT_TRUE(Utf16ToPathBytes(PathBytesToUtf16(bytes), &back)) << a << " " << b;
            ASSERT_EQ(back, bytes) << a << " " << b;
        }
    }
}

// What no name gives is refused and leaves the output as it was; a pair is a character.
TEST(Names, SurrogatesThatStandForNoByteAreRefused) {
    const struct {
        const char *name;
        std::u16string units;
    } kRefused[] = {
        {"high alone at the end", u"a\xD800"},
        {"high before a letter", {char16_t(0xD83D), u'a'}},
        {"escape of an ASCII byte", {u'a', E(0x2F)}},
        {"lowest low surrogate", {char16_t(0xDC00)}},
        {"just below the escapes", {E(0x7F)}},
        {"low surrogate past the escapes", {char16_t(0xDD00)}},
        {"low surrogate at the top", {char16_t(0xDFFF)}},
    };
    for (const auto &c : kRefused) {
        std::string out = "untouched";
        EXPECT_FALSE(Utf16ToPathBytes(c.units, &out)) << c.name;
        EXPECT_EQ(out, "untouched") << c.name;
        EXPECT_TRUE(HoldsLoneSurrogate(c.units)) << c.name;
    }
    std::string out;
    ASSERT_TRUE(Utf16ToPathBytes(u"\U0001F600", &out));
    EXPECT_EQ(out, "\xF0\x9F\x98\x80");
    EXPECT_FALSE(HoldsLoneSurrogate(u"\U0001F600.png"));
}

// Text that is only shown keeps its old conversions: U+FFFD for what is not UTF-8 or UTF-16.
TEST(ShownOnly, ReplacesWhatIsNotText) {
    EXPECT_EQ(Utf8ToUtf16("caf\xE9\xC3\xA9"), u"caf\uFFFD\u00E9");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', E(0xE9), char16_t(0xD800)}),
              "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

struct ShowCase {
    const char *name;
    std::u16string text;
    const char *shown;  // for a terminal
    const char *json;
};

const ShowCase kShown[] = {
    {"Plain", u"caf\u00E9 \u4E2D.png", "caf\xC3\xA9 \xE4\xB8\xAD.png",
     "\"caf\xC3\xA9 \xE4\xB8\xAD.png\""},
    {"Escape", u"a\x1B[2Jb", "a\\x1b[2Jb", "\"a\\u001b[2Jb\""},
    {"LineBreaksAndTab", u"a\nb\r\tc", "a\\x0ab\\x0d\\x09c", "\"a\\u000ab\\u000d\\u0009c\""},
    {"DeleteAndC1", u"\x7F\u0085\u009B", "\\x7f\\u0085\\u009b", "\"\\u007f\\u0085\\u009b\""},
    {"EscapedBytes", std::u16string{u'c', u'a', u'f', E(0xE9), E(0x80)}, "caf\\xe9\\x80",
     "\"caf\\udce9\\udc80\""},
    // A low surrogate before a high one pairs with nothing.
    {"OtherLoneSurrogates", std::u16string{char16_t(0xDC05), char16_t(0xD800)}, "\\udc05\\ud800",
     "\"\\udc05\\ud800\""},
    {"QuotesAndBackslash", u"say \"a\\b\"", "say \"a\\b\"", "\"say \\\"a\\\\b\\\"\""},
    {"Pair", u"\U0001F600", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
};

class Shown : public ::testing::TestWithParam<ShowCase> {};

TEST_P(Shown, OnATerminalAndInJson) {
    const ShowCase &c = GetParam();
    EXPECT_EQ(ShownText(c.text), c.shown);
    EXPECT_EQ(JsonString(c.text), c.json);
}

INSTANTIATE_TEST_SUITE_P(Table, Shown, ::testing::ValuesIn(kShown),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faltrix
