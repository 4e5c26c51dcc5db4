// Joining libdeflate's streams into one. The block reader decodes symbols only to step over
// them: one table lookup per code, as wide as the block's longest code, so that reading a
// part costs a small share of compressing it.
#include "deflate_parts.h"

#include <libdeflate.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace faltrix::png {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the bit reader loads little-endian words");

// Bytes the reader may look at past the end, and the bytes a sync point adds.
constexpr size_t kReadAhead = 32;
constexpr size_t kSyncBytes = 6;

constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// A canonical Huffman code as a table indexed by the next `bits` bits of the stream (first bit
// lowest): symbol << 4 | code length, 0 where no code begins.
struct Table {
    uint16_t entry[1 << 15];
    int bits = 1;
};

// The len bits of a code in the stream's order: deflate sends codes first bit highest.
uint32_t Reversed(uint32_t code, int len) {
    uint32_t r = 0;
    for (int i = 0; i < len; ++i, code >>= 1) r = (r << 1) | (code & 1);
    return r;
}

bool Build(const uint8_t *lengths, int count, Table *t) {
    int counts[16] = {};
    int longest = 0;
    for (int s = 0; s < count; ++s) {
        ++counts[lengths[s]];
        longest = std::max<int>(longest, lengths[s]);
    }
    counts[0] = 0;
    int left = 1;  // codes still free at the current length: more than free is no code
    for (int len = 1; len <= 15; ++len) {
        left = (left << 1) - counts[len];
        if (left < 0) return false;
    }
    t->bits = std::max(longest, 1);
    std::memset(t->entry, 0, sizeof(uint16_t) << t->bits);
    int next[16] = {};
    for (int len = 1, code = 0; len <= 15; ++len) {
        code = (code + counts[len - 1]) << 1;
        next[len] = code;
    }
    for (int s = 0; s < count; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        const uint32_t code = uint32_t(next[len]++);
        const uint32_t reversed = Reversed(code, len);
        for (uint32_t k = reversed; k < (1u << t->bits); k += 1u << len)
            t->entry[k] = uint16_t(s << 4 | len);
    }
    return true;
}

// Steps through a stream's bits. Reads may look ahead past the end (see kReadAhead); `Past`
// tells whether the position has gone beyond the data.
class BitReader {
public:
    BitReader(const uint8_t *data, size_t size) : data_(data), limit_(size * 8) {}
    uint32_t Peek(int n) const {
        uint64_t word;
        std::memcpy(&word, data_ + (pos_ >> 3), 8);
        return uint32_t(word >> (pos_ & 7)) & ((1u << n) - 1);
    }
    uint32_t Take(int n) {
        const uint32_t v = Peek(n);
        pos_ += size_t(n);
        return v;
    }
    void Skip(size_t n) { pos_ += n; }
    void AlignToByte() { pos_ = (pos_ + 7) & ~size_t{7}; }
    // The next symbol of the code; -1 where no code begins.
    int Decode(const Table &t) {
        const uint16_t e = t.entry[Peek(t.bits)];
        pos_ += e & 15;
        return (e & 15) ? e >> 4 : -1;
    }
    bool Past() const { return pos_ > limit_; }
    size_t pos() const { return pos_; }

private:
    const uint8_t *data_;
    size_t limit_;
    size_t pos_ = 0;
};

struct Codes {
    Table literal, distance, lengths;
};

// Reads a dynamic block's code lengths and builds its two codes.
bool ReadDynamicCodes(BitReader *in, Codes *c) {
    const int literals = int(in->Take(5)) + 257, distances = int(in->Take(5)) + 1,
              lengthCodes = int(in->Take(4)) + 4;
    uint8_t lengths[320] = {};
    for (int i = 0; i < lengthCodes; ++i) lengths[kCodeLengthOrder[i]] = uint8_t(in->Take(3));
    if (!Build(lengths, 19, &c->lengths)) return false;
    std::memset(lengths, 0, sizeof lengths);
    for (int n = 0; n < literals + distances;) {
        const int sym = in->Decode(c->lengths);
        int repeat = 1;
        uint8_t value = 0;
        if (sym < 0 || in->Past()) return false;
        if (sym < 16) {
            value = uint8_t(sym);
        } else if (sym == 16) {
            if (n == 0) return false;
            value = lengths[n - 1];
            repeat = 3 + int(in->Take(2));
        } else {
            repeat = sym == 17 ? 3 + int(in->Take(3)) : 11 + int(in->Take(7));
        }
        if (n + repeat > literals + distances) return false;
        std::fill(lengths + n, lengths + n + repeat, value);
        n += repeat;
    }
    return lengths[256] != 0 && Build(lengths, literals, &c->literal) &&
           Build(lengths + literals, distances, &c->distance);
}

void FixedCodes(Codes *c) {
    uint8_t lengths[320];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    std::fill(lengths + 288, lengths + 320, 5);
    Build(lengths, 288, &c->literal);
    Build(lengths + 288, 32, &c->distance);
}

// Steps over a Huffman block's symbols up to and including its end code.
bool SkipSymbols(BitReader *in, const Codes &c) {
    for (;;) {
        if (in->Past()) return false;
        int sym = in->Decode(c.literal);
        if (sym < 256) {
            if (sym < 0) return false;
            continue;
        }
        if (sym == 256) return true;
        sym -= 257;
        if (sym >= 29) return false;
        in->Skip(kLengthExtra[sym]);
        const int distance = in->Decode(c.distance);
        if (distance < 0 || distance >= 30) return false;
        in->Skip(kDistanceExtra[distance]);
    }
}

}  // namespace

bool FindFinalBlock(const uint8_t *data, size_t size, FinalBlock *out) {
    // Called on the writer's threads, where nothing may throw.
    std::unique_ptr<Codes> codes(new (std::nothrow) Codes);
    if (!codes) return false;
    BitReader in(data, size);
    for (;;) {
        const size_t header = in.pos();
        const bool final = in.Take(1) != 0;
        const uint32_t type = in.Take(2);
        if (type == 0) {
            in.AlignToByte();
            const uint32_t len = in.Take(16), nlen = in.Take(16);
            if ((len ^ nlen) != 0xFFFF) return false;
            in.Skip(size_t(len) * 8);
        } else if (type == 1) {
            FixedCodes(codes.get());
            if (!SkipSymbols(&in, *codes)) return false;
        } else if (type == 2) {
            if (!ReadDynamicCodes(&in, codes.get()) || !SkipSymbols(&in, *codes)) return false;
        } else {
            return false;
        }
        if (in.Past()) return false;
        if (final) {
            *out = FinalBlock{header, in.pos()};
            return (in.pos() + 7) / 8 == size;
        }
    }
}

size_t DeflatePartBound(libdeflate_compressor *compressor, size_t n) {
    return libdeflate_deflate_compress_bound(compressor, n) + kSyncBytes + kReadAhead;
}

size_t DeflatePart(libdeflate_compressor *compressor, const uint8_t *in, size_t n, bool last,
                   uint8_t *out, size_t capacity) {
    const size_t room = capacity - kSyncBytes - kReadAhead;
    size_t size = libdeflate_deflate_compress(compressor, in, n, out, room);
    if (size == 0) return 0;
    if (last) return size;
    FinalBlock block;
    if (!FindFinalBlock(out, size, &block)) {
        // Not expected: the part is stored uncompressed instead, which the reader always
        // follows, rather than risk a stream that does not inflate.
        libdeflate_compressor *plain = libdeflate_alloc_compressor(0);
        size = plain ? libdeflate_deflate_compress(plain, in, n, out, room) : 0;
        libdeflate_free_compressor(plain);
        if (size == 0 || !FindFinalBlock(out, size, &block)) return 0;
    }
    out[block.headerBit / 8] &= uint8_t(~(1u << (block.headerBit % 8)));
    // The empty stored block: three 0 bits (not final, stored), 0 bits to the byte boundary,
    // then LEN 0 and NLEN 0xFFFF. Bits past the end code are cleared.
    size = block.endBit / 8;
    if (const unsigned used = unsigned(block.endBit % 8); used != 0) {
        out[size] &= uint8_t((1u << used) - 1);
        ++size;
        if (used > 5) out[size++] = 0;
    } else {
        out[size++] = 0;
    }
    const uint8_t lengths[4] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(out + size, lengths, 4);
    return size + 4;
}

bool StartRunLength(z_stream *stream) {
    *stream = z_stream{};
    // Level 1: any level but 0 runs the same run-length search. memLevel 9: 32 Ki symbols per
    // block, half as many code tables as the default 8's.
    return deflateInit2(stream, 1, Z_DEFLATED, -15, 9, Z_RLE) == Z_OK;
}

size_t RunLengthBound(z_stream *stream, size_t n) {
    return deflateBound(stream, uLong(n)) + kSyncBytes;
}

size_t RunLengthPart(z_stream *stream, const uint8_t *in, size_t n, bool last, uint8_t *out,
                     size_t capacity) {
    if (deflateReset(stream) != Z_OK) return 0;
    stream->next_in = const_cast<uint8_t *>(in);
    stream->avail_in = uInt(n);
    stream->next_out = out;
    stream->avail_out = uInt(capacity);
    const int done = deflate(stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    // Room left over shows that the flush is complete; a full buffer may hide more to come.
    if (stream->avail_in != 0 || stream->avail_out == 0) return 0;
    if (last ? done != Z_STREAM_END : done != Z_OK) return 0;
    return capacity - stream->avail_out;
}

void ZlibHeader(int level, uint8_t out[2]) {
    const unsigned cmf = 0x78;  // deflate, 32 KiB window
    unsigned flg = unsigned(level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3) << 6;
    flg += 31 - (cmf * 256 + flg) % 31;
    out[0] = uint8_t(cmf);
    out[1] = uint8_t(flg);
}

}  // namespace faltrix::png
