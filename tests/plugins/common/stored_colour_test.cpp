// What each bundled output plug-in answers to GetStoredColourType per layout: the host sends
// a colour profile only where it describes the pixels as stored, so an answer that differs
// from what the plug-in writes puts a profile on the wrong pixels. tests/cli/profile_test.cpp
// reads the written files back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

// The header and colour table as the host hands them over.
struct Info {
    BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), 8, -4, 1, 24, 0, 0, 0, 0, 0, 0};
    RGBQUAD colors[256] = {};
    Info(int bits, const std::vector<RGBQUAD> &palette) {
        header.biBitCount = WORD(bits);
        header.biClrUsed = DWORD(palette.size());
        std::copy(palette.begin(), palette.end(), colors);
    }
    const BITMAPINFO *get() const { return reinterpret_cast<const BITMAPINFO *>(this); }
};

// Per output, G (grey) or C (colour) for: the 1-bit ramp, 1 bit white then black, the 4- and
// 8-bit ramps, 16 greys in 8 bits, 16 colours in 8 bits, 16, 24 and 32 bits. PNG and TIFF
// store only the exact ramp as grey samples (other palettes are RGB entries); JPEG, JPEG XL
// and BMP any grey palette; the rest always colour.
struct Case {
    const char *name;      // the output plug-in
    const char *expected;  // the answers per layout
    friend void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
};

class StoredColour : public ::testing::TestWithParam<Case> {};

TEST_P(StoredColour, EachOutputAnswersWhatItWrites) {
    const CodecPlugin &plugin = Loaded(GetParam().name, "output");
    FALTRIX_SKIP_UNLESS_LOADED(&plugin);
    const Info layouts[] = {{1, TestPalette(-2)},
                            {1, {{255, 255, 255, 0}, {0, 0, 0, 0}}},
                            {4, TestPalette(-16)},
                            {8, TestPalette(-256)},
                            {8, TestPalette(-16)},  // greys 0, 17, ..., 255
                            {8, TestPalette(16)},
                            {16, {}},
                            {24, {}},
                            {32, {}}};
    const auto ask = reinterpret_cast<GetStoredColourTypeFn>(plugin.Symbol("GetStoredColourType"));
    ASSERT_NE(ask, nullptr);
    std::string answers;
    for (const Info &info : layouts) {
        const int32_t answer = ask(info.get());
        answers += answer == FALTRIX_STORED_GREY     ? 'G'
                   : answer == FALTRIX_STORED_COLOUR ? 'C'
                                                     : '?';
    }
    EXPECT_EQ(answers, GetParam().expected);
    // A header no DIB section has is no layout at all.
    Info odd(8, TestPalette(-256));
    odd.header.biSize = 12;
    Info overfull(4, TestPalette(-16));
    overfull.header.biClrUsed = 17;
    for (const BITMAPINFO *info :
         {odd.get(), overfull.get(), static_cast<const BITMAPINFO *>(nullptr)})
        EXPECT_EQ(ask(info), FALTRIX_STORED_UNKNOWN);
}

INSTANTIATE_TEST_SUITE_P(Outputs, StoredColour,
                         ::testing::Values(Case{"png", "GCGGCCCCC"}, Case{"tiff", "GCGGCCCCC"},
                                           Case{"jpeg", "GGGGGCCCC"}, Case{"jxl", "GGGGGCCCC"},
                                           Case{"bmp", "GGGGGCCCC"}, Case{"webp", "CCCCCCCCC"},
                                           Case{"heif-heic", "CCCCCCCCC"},
                                           Case{"heif-avif", "CCCCCCCCC"},
                                           Case{"gif", "CCCCCCCCC"}),
                         [](const auto &info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace faltrix
