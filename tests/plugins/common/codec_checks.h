// GoogleTest checks shared by the format folders: round trips through a pair of plug-ins and
// hostile files that must be refused.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "codec_test_support.h"

namespace faltrix::testing {

// Names the cases of a TEST_P by their `name` field.
inline constexpr auto kCaseName = [](const auto &info) { return std::string(info.param.name); };

struct RoundTripCase {
    const char *name;
    int bitCount;
    int paletteSize;  // see TestPalette
    bool topDown;
    bool alpha;
    int loadedBits;   // the depth the input plug-in gives back
    uint32_t masks[3] = {0, 0, 0};
    bool indexPastTable = false;  // one pixel names an entry past a short table
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const RoundTripCase &c, std::ostream *os) { *os << c.name; }
};

// Saves a 37 x 11 picture of the case's layout, loads it back and checks what must survive:
// the size, the depth, the palette entries, the rows byte for byte when the depth is kept, the picture,
// the resolution (when the format keeps one) and Qt's reading of the file (qtTolerance >= 0).
inline void ExpectRoundTrip(const CodecPlugin &out, const CodecPlugin &in, const RoundTripCase &c,
                            const std::string &ext, bool keepsResolution, int qtTolerance) {
    DibParams p;
    p.width = 37, p.height = 11, p.bitCount = c.bitCount, p.topDown = c.topDown;
    p.palette = TestPalette(c.paletteSize);
    std::memcpy(p.masks, c.masks, sizeof p.masks);
    p.xPelsPerMeter = 3937, p.yPelsPerMeter = 1000;
    HBITMAP source = MakeFilledDib(p, c.alpha);
    ASSERT_NE(source, nullptr);
    DIBSECTION ds;
    if (c.indexPastTable && GetObjectW(source, sizeof ds, &ds)) static_cast<uint8_t *>(ds.dsBm.bmBits)[3] = uint8_t(c.paletteSize + 3);
    TempDir dir;
    const auto file = dir / ("round." + ext);
    ASSERT_EQ(out.Save(source, file), 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, p.height);
    int32_t w = 0, h = 0;
    EXPECT_EQ(in.PictureSize(file, &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(p.width, p.height));
    HBITMAP loaded = in.Decode(file);
    ASSERT_NE(loaded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    const DibView a = ViewDib(source), b = ViewDib(loaded);
    EXPECT_EQ(b.bitCount, c.loadedBits);
    if (keepsResolution) {
        EXPECT_EQ(std::pair(b.xPelsPerMeter, b.yPelsPerMeter), std::pair(3937, 1000));
    }
    EXPECT_GE(b.palette.size(), a.palette.size());
    for (size_t i = 0; i < std::min(a.palette.size(), b.palette.size()); ++i)
        EXPECT_EQ(std::memcmp(&a.palette[i], &b.palette[i], 3), 0) << "entry " << i;
    if (a.bitCount == b.bitCount) {
        EXPECT_EQ(b.rows, a.rows);
    }
    std::string where;
    const QImage expected = DibToImage(source);
    EXPECT_EQ(MaxDifference(DibToImage(loaded), expected, &where), 0) << where;
    if (qtTolerance >= 0) {
        EXPECT_LE(MaxDifference(QImage(QString::fromStdString(file.string())), expected, &where), qtTolerance)
            << "Qt: " << where;
    }
    DeleteObject(loaded);
    DeleteObject(source);
}

// Where a hostile file must be stopped at the latest.
enum class Caught { kByIsSupported, kByGetPictureInfo, kByGetPictureDIB, kClippedNotRefused };

struct HostileCase {
    const char *name;
    std::function<std::vector<uint8_t>()> make;
    Caught caught;
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }
};

inline void ExpectRefused(const CodecPlugin &in, const HostileCase &c, const std::string &ext) {
    TempDir dir;
    const auto file = dir / (std::string(c.name) + "." + ext);
    WriteFile(file, c.make());
    int32_t w, h;
    if (c.caught == Caught::kByIsSupported) {
        EXPECT_EQ(in.IsSupported(file), 0);
    }
    if (c.caught <= Caught::kByGetPictureInfo) {
        EXPECT_NE(in.PictureSize(file, &w, &h), 0);
    }
    HBITMAP b = in.Decode(file);
    EXPECT_EQ(b != nullptr, c.caught == Caught::kClippedNotRefused);
    if (b) DeleteObject(b);
}

}  // namespace faltrix::testing
