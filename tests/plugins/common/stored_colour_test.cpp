// What each bundled output plug-in answers to GetStoredColourType, per layout of the bitmap
// it is handed: the host sends a colour profile only where it describes the pixels as stored,
// so an answer that differs from what the plug-in writes would put a profile on the wrong
// pixels. The profile test (tests/cli/profile_test.cpp) reads the written files back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

struct Layout {
    const char *name;
    int bitCount;
    std::vector<RGBQUAD> palette;
};

std::vector<Layout> Layouts() {
    const RGBQUAD black{0, 0, 0, 0}, white{255, 255, 255, 0};
    std::vector<RGBQUAD> greys;  // 16 greys in an 8-bit table: grey, but not the ramp
    for (int i = 0; i < 16; ++i) greys.push_back(RGBQUAD{BYTE(i * 17), BYTE(i * 17), BYTE(i * 17), 0});
    return {{"ramp1", 1, TestPalette(-2)},  {"reversed1", 1, {white, black}}, {"ramp4", 4, TestPalette(-16)},
            {"ramp8", 8, TestPalette(-256)}, {"greys8", 8, greys},            {"colours8", 8, TestPalette(16)},
            {"rgb16", 16, {}},               {"rgb24", 24, {}},               {"rgb32", 32, {}}};
}

// The header and colour table as the host hands them over.
struct Info {
    BITMAPINFOHEADER header;
    RGBQUAD colors[256];
};

Info InfoOf(const Layout &layout) {
    Info info;
    std::memset(&info, 0, sizeof info);
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = 8;
    info.header.biHeight = -4;
    info.header.biPlanes = 1;
    info.header.biBitCount = WORD(layout.bitCount);
    info.header.biClrUsed = DWORD(layout.palette.size());
    std::copy(layout.palette.begin(), layout.palette.end(), info.colors);
    return info;
}

struct Case {
    const char *name;  // the output plug-in
    const char *answers;  // per layout of Layouts(): G grey, C colour
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class StoredColour : public ::testing::TestWithParam<Case> {};

TEST_P(StoredColour, AnswersWhatTheOutputWrites) {
    const CodecPlugin &plugin = Loaded(GetParam().name, "output");
    if (!plugin.loaded()) GTEST_SKIP() << "not built";
    const auto ask = reinterpret_cast<GetStoredColourTypeFn>(plugin.Symbol("GetStoredColourType"));
    ASSERT_NE(ask, nullptr);
    const std::vector<Layout> layouts = Layouts();
    std::string answers;
    for (const Layout &layout : layouts) {
        const Info info = InfoOf(layout);
        const int32_t answer = ask(reinterpret_cast<const BITMAPINFO *>(&info));
        answers += answer == FALTRIX_STORED_GREY ? 'G' : answer == FALTRIX_STORED_COLOUR ? 'C' : '?';
    }
    EXPECT_EQ(answers, GetParam().answers) << "layouts ramp1 reversed1 ramp4 ramp8 greys8 colours8 rgb16 rgb24 rgb32";

    // A header no DIB section has is no layout at all.
    Info odd = InfoOf(layouts[3]);
    odd.header.biSize = 12;
    EXPECT_EQ(ask(reinterpret_cast<const BITMAPINFO *>(&odd)), FALTRIX_STORED_UNKNOWN);
    odd = InfoOf(layouts[2]);
    odd.header.biClrUsed = 17;  // more entries than 4 bits name
    EXPECT_EQ(ask(reinterpret_cast<const BITMAPINFO *>(&odd)), FALTRIX_STORED_UNKNOWN);
    EXPECT_EQ(ask(nullptr), FALTRIX_STORED_UNKNOWN);
}

// PNG and TIFF store only the exact ramp as grey samples (other palettes are RGB entries);
// JPEG, JPEG XL and BMP store any grey palette as grey; the rest always colour.
INSTANTIATE_TEST_SUITE_P(Outputs, StoredColour,
                         ::testing::Values(Case{"png", "GCGGCCCCC"}, Case{"tiff", "GCGGCCCCC"}, Case{"jpeg", "GGGGGCCCC"},
                                           Case{"jxl", "GGGGGCCCC"}, Case{"bmp", "GGGGGCCCC"}, Case{"webp", "CCCCCCCCC"},
                                           Case{"heif-heic", "CCCCCCCCC"}, Case{"heif-avif", "CCCCCCCCC"},
                                           Case{"gif", "CCCCCCCCC"}),
                         [](const auto &info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace faltrix
