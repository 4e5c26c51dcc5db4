// The row layout helpers shared by the graphics layer, the codecs and the resampler.
#include <gtest/gtest.h>

#include <climits>

#include "faltrix/dib_layout.h"

namespace faltrix {
namespace {

TEST(DibStride, PadsRowsToWholeWords) {
    EXPECT_EQ(DibStride(1, 1), 4u);
    EXPECT_EQ(DibStride(32, 1), 4u);
    EXPECT_EQ(DibStride(33, 1), 8u);
    EXPECT_EQ(DibStride(9, 4), 8u);
    EXPECT_EQ(DibStride(5, 8), 8u);
    EXPECT_EQ(DibStride(3, 16), 8u);
    EXPECT_EQ(DibStride(5, 24), 16u);
    EXPECT_EQ(DibStride(4, 24), 12u);
    EXPECT_EQ(DibStride(7, 32), 28u);
    static_assert(DibStride(6000, 24) == 18000);
}

TEST(DibStride, ZeroForWhatNoRowCanHold) {
    EXPECT_EQ(DibStride(0, 24), 0u);
    EXPECT_EQ(DibStride(-1, 24), 0u);
    EXPECT_EQ(DibStride(10, 0), 0u);
    EXPECT_EQ(DibStride(10, 33), 0u);
    EXPECT_EQ(DibStride(INT32_MAX, 32), 0u);
    EXPECT_EQ(DibStride(INT64_MAX, 1), 0u);
    EXPECT_EQ(DibStride(INT64_MAX / 24 + 1, 24), 0u);
    EXPECT_EQ(DibStride(INT32_MAX / 4, 32), 2147483644u);  // the largest that fits
    EXPECT_EQ(DibStride(INT32_MAX / 4 + 1, 32), 0u);
}

TEST(DibImageBytes, EitherSignOfHeight) {
    EXPECT_EQ(DibImageBytes(12, 5), 60u);
    EXPECT_EQ(DibImageBytes(12, -5), 60u);
    EXPECT_EQ(DibImageBytes(12, 0), 0u);
    EXPECT_EQ(DibImageBytes(4, INT32_MIN), uint64_t{4} << 31);
    EXPECT_EQ(DibImageBytes(0xFFFFFFFFu, INT32_MIN), uint64_t{0xFFFFFFFFu} << 31);
    EXPECT_EQ(DibImageBytes(4, INT64_MIN), 0u);
}

TEST(DibRow, CountsFromTheTopEitherWay) {
    uint8_t bits[3 * 8] = {};
    EXPECT_EQ(DibRow(bits, 8, 3, true, 0), bits);
    EXPECT_EQ(DibRow(bits, 8, 3, true, 2), bits + 16);
    EXPECT_EQ(DibRow(bits, 8, 3, false, 0), bits + 16);
    EXPECT_EQ(DibRow(bits, 8, 3, false, 2), bits);
    const uint8_t *c = bits;
    EXPECT_EQ(DibRow(c, 8, 3, false, 1), bits + 8);
}

}  // namespace
}  // namespace faltrix
