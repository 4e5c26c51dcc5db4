// The PNG writer's parts: streams of libdeflate and of zlib's run-length strategy, cut at sync
// points and joined in any order, inflate to the parts' data in order.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "deflate_parts.h"

namespace faltrix::png {
namespace {

// Runs and noise alike: bytes drawn from a few small values, as filtered photo rows are.
std::vector<uint8_t> PartData(size_t n, uint32_t seed) {
    std::vector<uint8_t> data(n);
    for (uint8_t &b : data) b = uint8_t(((seed = seed * 1664525 + 1013904223) >> 29) % 3);
    return data;
}

TEST(DeflateParts, EveryOrderOfTheTwoCompressorsInflatesToTheParts) {
    libdeflate_compressor *deflater = libdeflate_alloc_compressor(6);
    z_stream runLength;
    ASSERT_TRUE(deflater && StartRunLength(&runLength));
    const size_t sizes[] = {70000, 1, 4096, 200000};  // one of a byte; one past a block's size
    for (int order = 0; order < 16; ++order) {        // bit i: part i by run-length
        std::vector<uint8_t> stream, expected;
        for (int i = 0; i < 4; ++i) {
            const std::vector<uint8_t> data = PartData(sizes[i], uint32_t(order * 4 + i));
            const bool last = i == 3, rle = (order >> i) & 1;
            std::vector<uint8_t> out(std::max(DeflatePartBound(deflater, data.size()),
                                              RunLengthBound(&runLength, data.size())));
            const size_t n =
                rle ? RunLengthPart(&runLength, data.data(), data.size(), last, out.data(),
                                    out.size())
                    : DeflatePart(deflater, data.data(), data.size(), last, out.data(), out.size());
            ASSERT_GT(n, 0u) << order << " " << i;
            stream.insert(stream.end(), out.begin(), out.begin() + long(n));
            expected.insert(expected.end(), data.begin(), data.end());
        }
        std::vector<uint8_t> back(expected.size() + 1);
        z_stream in{};
        ASSERT_EQ(inflateInit2(&in, -15), Z_OK);
        in.next_in = stream.data();
        in.avail_in = uInt(stream.size());
        in.next_out = back.data();
        in.avail_out = uInt(back.size());
        EXPECT_EQ(inflate(&in, Z_FINISH), Z_STREAM_END) << order;
        EXPECT_EQ(in.avail_in, 0u) << order;  // nothing after the last part's end
        back.resize(back.size() - in.avail_out);
        inflateEnd(&in);
        EXPECT_TRUE(back == expected) << order;
    }
    // Too little room is a failure, never a cut stream.
    const std::vector<uint8_t> data = PartData(100000, 1);
    std::vector<uint8_t> small(1000);
    EXPECT_EQ(
        RunLengthPart(&runLength, data.data(), data.size(), false, small.data(), small.size()), 0u);
    deflateEnd(&runLength);
    libdeflate_free_compressor(deflater);
}

}  // namespace
}  // namespace faltrix::png
