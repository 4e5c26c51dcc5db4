// Reading the headers and rows of PNM and PAM pictures.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "faltrix/plugin.h"
#include "pnm_format.h"

namespace faltrix::pnm {
namespace {

bool IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Skips whitespace, and "#" comments to the end of their line when `comments`.
void SkipSpace(FILE *f, bool comments) {
    for (int c; (c = getc_unlocked(f)) != EOF;) {
        if (comments && c == '#') {
            while ((c = getc_unlocked(f)) != EOF && c != '\n' && c != '\r') {}
            continue;
        }
        if (!IsSpace(c)) {
            ungetc(c, f);
            return;
        }
    }
}

// A decimal number at the file's position. Larger values than `saturate` read as it, so that
// a plain sample of many digits stays a number. The byte after it is left unread. False when
// no digit is there.
bool Number(FILE *f, uint64_t saturate, uint64_t *out) {
    int c = getc_unlocked(f);
    if (c < '0' || c > '9') return false;
    uint64_t value = 0;
    for (; c >= '0' && c <= '9'; c = getc_unlocked(f))
        value = value > saturate ? value : value * 10 + uint64_t(c - '0');
    if (c != EOF) ungetc(c, f);
    *out = value > saturate ? saturate : value;
    return true;
}

// The largest side a header may name before kit::WithinLimits judges it; beyond, the header
// is refused as a number too large.
constexpr uint64_t kHeaderNumberLimit = uint64_t{1} << 32;

bool HeaderNumber(FILE *f, const char *what, uint64_t *out) {
    SkipSpace(f, true);
    if (!Number(f, kHeaderNumberLimit, out))
        return kit::Fail(std::string("PNM: the header has no ") + what);
    return true;
}

// Sizes of 0 and sides past what a picture record holds are refused here; the decoding
// limits are ReadPage's to apply.
bool CheckSize(uint64_t width, uint64_t height, uint64_t maxval, Page *p) {
    if (maxval == 0 || maxval > 65535) return kit::Fail("PNM: a maxval outside 1 .. 65535");
    if (width == 0 || height == 0) return kit::Fail("PNM: a width or height of 0");
    if (width > INT32_MAX || height > INT32_MAX)
        return kit::Fail("PNM: a width or height too large");
    p->width = int32_t(width);
    p->height = int32_t(height);
    p->maxval = uint32_t(maxval);
    return true;
}

// P1 .. P6: width, height, maxval (not for bitmaps), then one whitespace byte before a
// binary raster.
bool ReadPnmHeader(FILE *f, Page *p) {
    uint64_t width = 0, height = 0, maxval = 1;
    if (!HeaderNumber(f, "width", &width) || !HeaderNumber(f, "height", &height)) return false;
    const bool bitmap = p->kind == 1 || p->kind == 4;
    if (!bitmap && !HeaderNumber(f, "maxval", &maxval)) return false;
    if (!p->Plain() && !IsSpace(getc_unlocked(f)))
        return kit::Fail("PNM: no whitespace between the header and the raster");
    p->channels = p->kind == 3 || p->kind == 6 ? 3 : 1;
    return CheckSize(width, height, maxval, p);
}

struct TupleType {
    const char *name;
    int channels;
};
constexpr TupleType kTupleTypes[] = {
    {"BLACKANDWHITE", 1},       {"GRAYSCALE", 1},       {"RGB", 3},
    {"BLACKANDWHITE_ALPHA", 2}, {"GRAYSCALE_ALPHA", 2}, {"RGB_ALPHA", 4},
};

// One line of a PAM header, without its end; false at the end of the file or past 256 bytes.
bool HeaderLine(FILE *f, std::string *line) {
    line->clear();
    for (int c; (c = getc_unlocked(f)) != '\n';) {
        if (c == EOF || line->size() >= 256) return false;
        line->push_back(char(c));
    }
    return true;
}

// P7: keyword lines up to ENDHDR. A missing TUPLTYPE is taken from the depth.
bool ReadPamHeader(FILE *f, Page *p) {
    if (getc_unlocked(f) != '\n') return kit::Fail("PAM: no line end after \"P7\"");
    uint64_t width = 0, height = 0, depth = 0, maxval = 0;
    std::string tupleType, line;
    for (int lines = 0;; ++lines) {
        if (lines > 1000 || !HeaderLine(f, &line))
            return kit::Fail("PAM: the header has no ENDHDR line");
        const size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        const size_t end = line.find_first_of(" \t\r", start);
        const std::string key = line.substr(start, end - start);
        const size_t at =
            line.find_first_not_of(" \t\r", end == std::string::npos ? line.size() : end);
        const std::string value = at == std::string::npos ? "" : line.substr(at);
        if (key == "ENDHDR") break;
        uint64_t *number = key == "WIDTH"    ? &width
                           : key == "HEIGHT" ? &height
                           : key == "DEPTH"  ? &depth
                           : key == "MAXVAL" ? &maxval
                                             : nullptr;
        if (number) {
            char *stop = nullptr;
            const unsigned long long v = std::strtoull(value.c_str(), &stop, 10);
            if (value.empty() || value[0] < '0' || value[0] > '9' || v > kHeaderNumberLimit)
                return kit::Fail("PAM: " + key + " is not a number");
            *number = v;
        } else if (key == "TUPLTYPE") {
            tupleType += tupleType.empty() ? value : " " + value;
        } else {
            return kit::Fail("PAM: an unknown header line");
        }
    }
    if (depth < 1 || depth > 4) return kit::Fail("PAM: a depth other than 1 .. 4");
    p->channels = int(depth);
    const size_t cut = tupleType.find_last_not_of(" \t\r");
    tupleType.resize(cut == std::string::npos ? 0 : cut + 1);
    if (!tupleType.empty()) {
        const TupleType *known = nullptr;
        for (const TupleType &t : kTupleTypes)
            if (tupleType == t.name) known = &t;
        if (!known)
            return kit::Fail("PAM: the tuple type " + tupleType.substr(0, 40) + " is not read");
        if (known->channels != p->channels)
            return kit::Fail("PAM: the depth does not suit the tuple type");
    }
    return CheckSize(width, height, maxval, p);
}

}  // namespace

int64_t Page::RasterBytes() const {
    if (Plain()) return 0;
    if (Packed()) return (int64_t(width) + 7) / 8 * height;
    return int64_t(width) * height * channels * (maxval > 255 ? 2 : 1);
}

int64_t Page::LeastRasterBytes() const {
    const int64_t samples = int64_t(width) * height * channels;
    return !Plain() ? RasterBytes() : kind == 1 ? samples : 2 * samples - 1;
}

bool ReadPage(kit::InputFile &file, Page *out, bool withinLimits) {
    FILE *f = file.stream();
    Page p;
    const int magic = getc_unlocked(f), digit = getc_unlocked(f);
    if (magic != 'P' || digit < '1' || digit > '7')
        return kit::Fail("PNM: not a PNM or PAM picture (no \"P1\" .. \"P7\")");
    p.kind = digit - '0';
    if (p.kind == 7) {
        if (!ReadPamHeader(f, &p)) return false;
    } else {
        const int next = getc_unlocked(f);
        if (!IsSpace(next) && next != '#')
            return kit::Fail("PNM: not a PNM or PAM picture (no \"P1\" .. \"P7\")");
        ungetc(next, f);
        if (!ReadPnmHeader(f, &p)) return false;
    }
    if (withinLimits && !kit::WithinLimits(p.width, p.height)) return false;
    const long at = std::ftell(f);
    if (at < 0) return kit::Fail("PNM: the file cannot be read");
    p.rasterAt = at;
    *out = p;
    return true;
}

bool ReadRow(kit::InputFile &file, const Page &page, std::vector<uint8_t> &scratch, uint16_t *out) {
    FILE *f = file.stream();
    const size_t samples = size_t(page.width) * size_t(page.channels);
    if (page.kind == 1) {  // one digit a pixel, whitespace optional
        for (size_t i = 0; i < samples; ++i) {
            SkipSpace(f, true);
            const int c = getc_unlocked(f);
            if (c != '0' && c != '1') return false;
            out[i] = c == '1' ? 0 : 1;
        }
        return true;
    }
    if (page.Plain()) {
        for (size_t i = 0; i < samples; ++i) {
            uint64_t v = 0;
            SkipSpace(f, true);
            if (!Number(f, page.maxval, &v)) return false;
            out[i] = uint16_t(v);
        }
        return true;
    }
    const size_t bytes = page.Packed()       ? (size_t(page.width) + 7) / 8
                         : page.maxval > 255 ? 2 * samples
                                             : samples;
    scratch.resize(bytes);
    if (std::fread(scratch.data(), 1, bytes, f) != bytes) return false;
    const uint8_t *in = scratch.data();
    if (page.Packed()) {
        for (size_t x = 0; x < samples; ++x) out[x] = (in[x / 8] >> (7 - x % 8)) & 1 ? 0 : 1;
    } else if (page.maxval > 255) {
        for (size_t i = 0; i < samples; ++i) {
            const uint16_t v = uint16_t(in[2 * i] << 8 | in[2 * i + 1]);
            out[i] = v > page.maxval ? uint16_t(page.maxval) : v;
        }
    } else {
        for (size_t i = 0; i < samples; ++i)
            out[i] = in[i] > page.maxval ? uint16_t(page.maxval) : in[i];
    }
    return true;
}

bool ReadPages(kit::InputFile &file, std::vector<Page> *out) {
    out->clear();
    if (!file.Seek(0)) return false;
    FILE *f = file.stream();
    std::vector<uint8_t> scratch;
    std::vector<uint16_t> row;
    for (;;) {
        Page page;
        if (!ReadPage(file, &page)) {
            if (out->empty()) return false;
            kit::ClearLastFailure();  // bytes after the last picture are left alone
            return true;
        }
        out->push_back(page);
        if (out->size() >= size_t(FALTRIX_MAX_FRAMES)) return true;
        if (page.Plain()) {
            row.resize(size_t(page.width) * size_t(page.channels));
            for (int32_t y = 0; y < page.height; ++y)
                if (!ReadRow(file, page, scratch, row.data())) return true;
        } else if (page.rasterAt + page.RasterBytes() >= file.size() ||
                   !file.Seek(page.rasterAt + page.RasterBytes())) {
            return true;
        }
        SkipSpace(f, false);
        const int c = getc_unlocked(f);
        if (c != 'P') return true;
        ungetc(c, f);
    }
}

}  // namespace faltrix::pnm
