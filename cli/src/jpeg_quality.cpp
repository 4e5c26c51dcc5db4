// The quality estimate of a JPEG: its quantisation tables compared with libjpeg's standard
// tables at each quality. Encoders that start from the standard tables (libjpeg, most
// cameras' and editors' "quality" settings) give an exact match; others the nearest.
#include "faltrix/cli/jpeg_quality.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace faltrix {
namespace {

using Table = std::array<int, 64>;

// The tables of the JPEG standard's Annex K, in natural (row by row) order, as libjpeg
// scales them.
constexpr Table kLuminance = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                              58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                              22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                              77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                              103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
constexpr Table kChrominance = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// A DQT segment lists a table in zig-zag order: entry k is the coefficient kNatural[k].
constexpr std::array<int, 64> kNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// jpeg_set_quality's scaling of a standard entry, with baseline's ceiling of 255.
int Scaled(int base, int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    const int value = (base * scale + 50) / 100;
    return value < 1 ? 1 : value > 255 ? 255 : value;
}

// Reads exactly `size` bytes at `offset`; false at the end of the file or on an error.
bool ReadAt(int fd, off_t offset, uint8_t *out, size_t size) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got, offset += got, size -= size_t(got);
    }
    return true;
}

// Takes the tables of one DQT segment's payload into `tables` (0 to 3), marking `found`.
void TakeTables(const uint8_t *p, size_t size, std::array<Table, 4> *tables,
                std::array<bool, 4> *found) {
    size_t at = 0;
    while (at < size) {
        const int precision = p[at] >> 4, id = p[at] & 15;
        const size_t entry = precision == 0 ? 1 : 2;
        if (id > 3 || at + 1 + 64 * entry > size) return;
        for (size_t k = 0; k < 64; ++k) {
            const uint8_t *v = p + at + 1 + k * entry;
            (*tables)[size_t(id)][size_t(kNatural[k])] = entry == 1 ? v[0] : (v[0] << 8) | v[1];
        }
        (*found)[size_t(id)] = true;
        at += 1 + 64 * entry;
    }
}

}  // namespace

std::optional<int> EstimateJpegQuality(int fd) {
    uint8_t head[4];
    if (!ReadAt(fd, 0, head, 2) || head[0] != 0xFF || head[1] != 0xD8) return std::nullopt;
    std::array<Table, 4> tables{};
    std::array<bool, 4> found{};
    off_t at = 2;
    // Segment by segment up to the first scan (SOS), or an end or a marker without a length.
    while (ReadAt(fd, at, head, 4) && head[0] == 0xFF && head[1] != 0xDA && head[1] != 0xD9) {
        const size_t length = size_t(head[2] << 8 | head[3]);
        if (length < 2) break;
        if (head[1] == 0xDB) {
            uint8_t payload[65535];
            if (!ReadAt(fd, at + 4, payload, length - 2)) break;
            TakeTables(payload, length - 2, &tables, &found);
        }
        at += off_t(2 + length);
    }
    if (!found[0]) return std::nullopt;
    int best = 0;
    long bestError = std::numeric_limits<long>::max();
    for (int quality = 1; quality <= 100; ++quality) {
        long error = 0;
        for (size_t i = 0; i < 64; ++i) {
            error += std::labs(long(tables[0][i] - Scaled(kLuminance[i], quality)));
            if (found[1]) error += std::labs(long(tables[1][i] - Scaled(kChrominance[i], quality)));
        }
        if (error < bestError) best = quality, bestError = error;
    }
    return best;
}

}  // namespace faltrix
