// The box filter of the ICO output. Weights are computed once per destination column and
// row; a source pixel's weight is the share of the destination pixel's span it covers, so
// the weights of one span sum to one and a constant picture stays constant.
#include "ico_scale.h"

#include <algorithm>
#include <cmath>

namespace faltrix::ico {
namespace {

struct Tap {
    int32_t index;
    double weight;
};

// For each of `to` destination pixels, the source pixels of the `from` it covers.
std::vector<std::vector<Tap>> Spans(int32_t from, int32_t to) {
    std::vector<std::vector<Tap>> spans(static_cast<size_t>(to));
    const double step = double(from) / double(to);
    for (int32_t d = 0; d < to; ++d) {
        const double lo = d * step, hi = (d + 1) * step;
        const int32_t first = int32_t(std::floor(lo));
        const int32_t last = std::min(from - 1, int32_t(std::ceil(hi)) - 1);
        for (int32_t i = first; i <= last; ++i) {
            const double covered = std::min(hi, double(i + 1)) - std::max(lo, double(i));
            if (covered > 0) spans[size_t(d)].push_back({i, covered / step});
        }
    }
    return spans;
}

uint8_t Round(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

}  // namespace

Pixels BoxScale(const Pixels &src, int32_t width, int32_t height) {
    Pixels out{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4, 0)};
    const auto columns = Spans(src.width, width);
    const auto rows = Spans(src.height, height);
    // One destination row's premultiplied sums, B, G, R and alpha.
    std::vector<double> sums(size_t(width) * 4);
    for (int32_t y = 0; y < height; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0);
        for (const Tap &row : rows[size_t(y)]) {
            const uint8_t *in = src.bgra.data() + size_t(row.index) * size_t(src.width) * 4;
            for (int32_t x = 0; x < width; ++x) {
                double *s = &sums[4 * size_t(x)];
                for (const Tap &column : columns[size_t(x)]) {
                    const uint8_t *p = in + 4 * size_t(column.index);
                    const double w = row.weight * column.weight, a = w * p[3];
                    s[0] += a * p[0];
                    s[1] += a * p[1];
                    s[2] += a * p[2];
                    s[3] += a;
                }
            }
        }
        uint8_t *o = out.bgra.data() + size_t(y) * size_t(width) * 4;
        for (int32_t x = 0; x < width; ++x) {
            const double *s = &sums[4 * size_t(x)];
            // Colour back from premultiplied; a pixel left with no alpha has none.
            if (s[3] <= 0) continue;
            for (int c = 0; c < 3; ++c) o[4 * x + c] = Round(s[c] / s[3]);
            o[4 * x + 3] = Round(s[3]);
        }
    }
    return out;
}

Pixels FitSquare(const Pixels &src, int32_t side, int32_t *left, int32_t *top) {
    const int32_t longer = std::max(src.width, src.height);
    const int32_t w = std::max<int32_t>(1, int32_t(std::lround(double(src.width) * side / longer)));
    const int32_t h =
        std::max<int32_t>(1, int32_t(std::lround(double(src.height) * side / longer)));
    const Pixels scaled = w == src.width && h == src.height ? src : BoxScale(src, w, h);
    *left = (side - w) / 2;
    *top = (side - h) / 2;
    if (w == side && h == side) return scaled;
    Pixels out{side, side, std::vector<uint8_t>(size_t(side) * size_t(side) * 4, 0)};
    for (int32_t y = 0; y < h; ++y)
        std::copy_n(scaled.bgra.data() + size_t(y) * size_t(w) * 4, size_t(w) * 4,
                    out.bgra.data() + (size_t(*top + y) * size_t(side) + size_t(*left)) * 4);
    return out;
}

}  // namespace faltrix::ico
