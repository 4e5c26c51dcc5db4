// The row layout helpers shared by the graphics layer, the codecs and the resampler.
#include <gtest/gtest.h>

#include <climits>

#include "faltrix/dib_layout.h"

namespace faltrix {
namespace {

TEST(DibLayout, StridesImageBytesAndRows) {
    // Rows padded to whole words, or 0 for what no row can hold.
    const struct {
        int64_t width;
        int bits;
        uint32_t stride;
    } cases[] = {{1, 1, 4},   {32, 1, 4},  {33, 1, 8},  {9, 4, 8},  {5, 8, 8},          {3, 16, 8},
                 {5, 24, 16}, {4, 24, 12}, {7, 32, 28}, {0, 24, 0}, {-1, 24, 0},        {10, 0, 0},
                 {10, 33, 0}, {INT32_MAX, 32, 0},       {INT64_MAX, 1, 0},              {INT64_MAX / 24 + 1, 24, 0},
                 {INT32_MAX / 4, 32, 2147483644u} /* the largest that fits */,          {INT32_MAX / 4 + 1, 32, 0}};
    for (const auto &c : cases) EXPECT_EQ(DibStride(c.width, c.bits), c.stride) << c.width << " x " << c.bits;
    static_assert(DibStride(6000, 24) == 18000);
    // Image bytes take either sign of height.
    const std::tuple<uint32_t, int64_t, uint64_t> sizes[] = {{12, 5, 60}, {12, -5, 60}, {12, 0, 0}, {4, INT32_MIN, uint64_t{4} << 31},
                                                             {0xFFFFFFFFu, INT32_MIN, uint64_t{0xFFFFFFFFu} << 31}, {4, INT64_MIN, 0}};
    for (auto [stride, rows, bytes] : sizes) EXPECT_EQ(DibImageBytes(stride, rows), bytes) << stride << " x " << rows;
    // Rows count from the top either way.
    uint8_t bits[3 * 8] = {};
    EXPECT_EQ(DibRow(bits, 8, 3, true, 0), bits);
    EXPECT_EQ(DibRow(bits, 8, 3, true, 2), bits + 16);
    EXPECT_EQ(DibRow(bits, 8, 3, false, 0), bits + 16);
    EXPECT_EQ(DibRow(static_cast<const uint8_t *>(bits), 8, 3, false, 2), bits);
}

}  // namespace
}  // namespace faltrix
