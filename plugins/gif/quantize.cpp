// Median cut: start with one box holding every colour of the histogram, split the box whose
// pixel count times longest side is largest at the median pixel along that side, and give
// each final box the mean colour of its pixels. Colours map to the nearest palette entry,
// found once per histogram bin.
#include "quantize.h"

#include <algorithm>
#include <array>

namespace faltrix::gif {
namespace {

inline uint32_t Key(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}
inline int BinOf(const uint8_t *p) {
    return ((p[2] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[0] >> 3);
}
inline int Comp(int bin, int axis) {
    return (bin >> (10 - 5 * axis)) & 31;
}  // axis 0 red, 1 green, 2 blue

struct Box {
    std::vector<int> bins;
    uint64_t count = 0;
    int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
    int LongestAxis() const {
        int best = 0;
        for (int a = 1; a < 3; ++a)
            if (hi[a] - lo[a] > hi[best] - lo[best]) best = a;
        return best;
    }
    int Side() const { return hi[LongestAxis()] - lo[LongestAxis()]; }
};

}  // namespace

Quantizer::Quantizer() : bins_(32768) {}

void Quantizer::Add(const uint8_t *bgra, int32_t n) {
    uint32_t last = 0xFFFFFFFF;
    for (int32_t x = 0; x < n; ++x) {
        const uint8_t *p = bgra + 4 * x;
        if (p[3] < 128) {
            sawTransparent_ = true;
            continue;
        }
        Bin &bin = bins_[size_t(BinOf(p))];
        ++bin.count;
        bin.b += p[0];
        bin.g += p[1];
        bin.r += p[2];
        const uint32_t key = Key(p);
        if (exactOverflow_ || key == last) continue;
        last = key;
        if (exact_.find(key) == exact_.end()) {
            if (exact_.size() == 256) {
                exactOverflow_ = true;
                exact_.clear();
            } else {
                exact_.emplace(key, 0);
            }
        }
    }
}

void Quantizer::Build(int maxColours) {
    maxColours = std::clamp(maxColours, 1, 256);
    palette_.clear();
    if (!exactOverflow_ && int(exact_.size()) <= maxColours) {
        exactMode_ = true;
        for (auto &[key, index] : exact_) {
            index = uint8_t(palette_.size());
            palette_.push_back(RGBQUAD{uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16), 0});
        }
        if (palette_.empty()) palette_.push_back(RGBQUAD{255, 255, 255, 0});
        return;
    }

    std::vector<Box> boxes(1);
    for (int i = 0; i < 32768; ++i) {
        if (!bins_[size_t(i)].count) continue;
        Box &b = boxes[0];
        b.bins.push_back(i);
        b.count += bins_[size_t(i)].count;
        for (int a = 0; a < 3; ++a) {
            b.lo[a] = std::min(b.lo[a], Comp(i, a));
            b.hi[a] = std::max(b.hi[a], Comp(i, a));
        }
    }
    while (int(boxes.size()) < maxColours) {
        int pick = -1;
        uint64_t bestScore = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].bins.size() < 2) continue;
            const uint64_t score = boxes[i].count * uint64_t(boxes[i].Side() + 1);
            if (score > bestScore) {
                bestScore = score;
                pick = int(i);
            }
        }
        if (pick < 0) break;  // every box is a single bin
        Box &box = boxes[size_t(pick)];
        const int axis = box.LongestAxis();
        std::sort(box.bins.begin(), box.bins.end(),
                  [axis](int a, int b) { return Comp(a, axis) < Comp(b, axis); });
        // Split where half the pixels lie on either side, keeping both halves non-empty.
        uint64_t acc = 0;
        size_t cut = 1;
        for (; cut < box.bins.size(); ++cut) {
            acc += bins_[size_t(box.bins[cut - 1])].count;
            if (acc * 2 >= box.count) break;
        }
        cut = std::min(cut, box.bins.size() - 1);
        Box upper;
        upper.bins.assign(box.bins.begin() + long(cut), box.bins.end());
        box.bins.resize(cut);
        for (Box *b : {&box, &upper}) {
            b->count = 0;
            for (int a = 0; a < 3; ++a) b->lo[a] = 31, b->hi[a] = 0;
            for (int i : b->bins) {
                b->count += bins_[size_t(i)].count;
                for (int a = 0; a < 3; ++a) {
                    b->lo[a] = std::min(b->lo[a], Comp(i, a));
                    b->hi[a] = std::max(b->hi[a], Comp(i, a));
                }
            }
        }
        boxes.push_back(std::move(upper));
    }
    for (const Box &b : boxes) {
        uint64_t n = 0, r = 0, g = 0, bl = 0;
        for (int i : b.bins) {
            const Bin &bin = bins_[size_t(i)];
            n += bin.count, r += bin.r, g += bin.g, bl += bin.b;
        }
        if (!n) continue;
        palette_.push_back(RGBQUAD{uint8_t((bl + n / 2) / n), uint8_t((g + n / 2) / n),
                                   uint8_t((r + n / 2) / n), 0});
    }
    if (palette_.empty()) palette_.push_back(RGBQUAD{255, 255, 255, 0});
    nearest_.assign(32768, -1);
}

void Quantizer::Map(const uint8_t *bgra, int32_t n, uint8_t transparentIndex, uint8_t *indices) {
    for (int32_t x = 0; x < n; ++x) {
        const uint8_t *p = bgra + 4 * x;
        if (p[3] < 128) {
            indices[x] = transparentIndex;
            continue;
        }
        if (exactMode_) {
            const auto it = exact_.find(Key(p));
            indices[x] = it != exact_.end() ? it->second : 0;
            continue;
        }
        int16_t &cached = nearest_[size_t(BinOf(p))];
        if (cached < 0) {
            // Nearest by squared distance to the bin's centre.
            const int r = ((p[2] >> 3) << 3) + 4, g = ((p[1] >> 3) << 3) + 4,
                      b = ((p[0] >> 3) << 3) + 4;
            int best = 0, bestDist = 1 << 30;
            for (size_t i = 0; i < palette_.size(); ++i) {
                const int dr = r - palette_[i].rgbRed, dg = g - palette_[i].rgbGreen,
                          db = b - palette_[i].rgbBlue;
                const int d = 2 * dr * dr + 4 * dg * dg + db * db;
                if (d < bestDist) bestDist = d, best = int(i);
            }
            cached = int16_t(best);
        }
        indices[x] = uint8_t(cached);
    }
}

}  // namespace faltrix::gif
