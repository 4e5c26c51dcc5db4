// Reading the rows of 8-bit RGB and RGBA PNGs: zlib inflates on the calling thread into a
// ring of rows, and a second thread undoes each row's filter and stores it as B, G, R(, A).
// The ring holds a few MiB, so the memory added stays the same whatever the picture's size.
// What is read, checked and refused follows libpng's reading of the same file: every IDAT
// chunk's checksum, zlib's own checks, the filter type of each row, and, after the last row,
// the one step libpng takes to finish the stream before it checks the last chunk.
#include "png_pixels.h"
#include "faltrix/dib_layout.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace faltrix::png {
namespace {

constexpr uint32_t kIdat = 0x49444154;  // "IDAT"
// libpng's own reads of IDAT data, so that its input runs out where libpng's does (which
// decides, after the last row, how far the rest of the stream is read).
constexpr size_t kReadBytes = 8192;
// Filtered rows between the two threads: enough that neither waits on the other's pace.
constexpr size_t kRingBytes = size_t{4} << 20;
// Below this many filtered bytes a second thread costs more than it saves.
constexpr size_t kThreadedBytes = size_t{1} << 20;

uint32_t BigEndian(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The zlib stream of the IDAT chunks, read in order with each chunk's CRC checked.
class IdatStream {
public:
    explicit IdatStream(FILE *file) : file_(file), buffer_(kReadBytes) {}
    ~IdatStream() {
        if (started_) inflateEnd(&z_);
    }
    IdatStream(const IdatStream &) = delete;
    IdatStream &operator=(const IdatStream &) = delete;

    // Goes back to the first IDAT chunk's length and type, read by png_read_info.
    bool Start() {
        uint8_t head[8];
        if (std::fseek(file_, -8, SEEK_CUR) != 0 || !ReadExactly(head, 8)) return false;
        if (BigEndian(head + 4) != kIdat) return Fail("PNG: Not enough image data");
        if (!Begin(head)) return false;
        // The window the stream's header asks for, as libpng takes it (0: the header's).
        if (inflateInit2(&z_, 0) != Z_OK) return Fail("not enough memory");
        started_ = true;
        return true;
    }

    // Exactly n bytes of the stream into out.
    bool Inflate(uint8_t *out, size_t n) {
        z_.next_out = out;
        z_.avail_out = uInt(n);
        while (z_.avail_out > 0) {
            if (z_.avail_in == 0 && !Refill()) return false;
            const int result = Step();
            if (result == Z_STREAM_END) {
                ended_ = true;
                if (z_.avail_out > 0) return Fail("PNG: Not enough image data");
                break;
            }
            if (result != Z_OK) return ZlibFailure(result);
        }
        return true;
    }

    // After the last row: libpng inflates on until the stream ends or gives no more bytes,
    // reading at most what its input lacks (damage found here is only warned about), and
    // then checks the chunk it stands in.
    bool Finish() {
        uint8_t scratch[1024];
        size_t extra = 0;  // bytes past the picture: libpng reads on while there are any
        while (!ended_) {
            if (z_.avail_in == 0 && !Refill()) return false;
            z_.next_out = scratch;
            z_.avail_out = sizeof scratch;
            const int result = Step();
            extra += sizeof scratch - z_.avail_out;
            if (result != Z_OK || extra == 0) break;
        }
        while (left_ > 0) {
            const size_t part = std::min<size_t>(left_, buffer_.size());
            if (!ReadExactly(buffer_.data(), part)) return false;
            crc_ = uint32_t(crc32(crc_, buffer_.data(), uInt(part)));
            left_ -= uint32_t(part);
        }
        return CheckCrc();
    }

private:
    // One inflate call; the first refuses a window beyond 32 KiB in libpng's words, before
    // zlib looks at the header.
    int Step() {
        if (fresh_ && z_.avail_in > 0) {
            if ((z_.next_in[0] >> 4) > 7) {
                z_.msg = const_cast<char *>("invalid window size (libpng)");
                return Z_DATA_ERROR;
            }
            fresh_ = false;
        }
        return inflate(&z_, Z_NO_FLUSH);
    }

    static bool Fail(const char *cause) {
        kit::SetLastFailure(cause);
        return false;
    }

    bool ZlibFailure(int result) {
        char cause[160];
        std::snprintf(cause, sizeof cause, "PNG: IDAT: %s",
                      z_.msg != nullptr       ? z_.msg
                      : result == Z_MEM_ERROR ? "insufficient memory"
                                              : "decompression error");
        return Fail(cause);
    }

    bool ReadExactly(uint8_t *to, size_t n) {
        if (std::fread(to, 1, n, file_) == n) return true;
        return Fail(std::ferror(file_) ? std::strerror(errno)
                                       : "PNG: the file ends before the picture does");
    }

    // A chunk's length and type: the CRC covers the type and the data.
    bool Begin(const uint8_t head[8]) {
        const uint32_t length = BigEndian(head);
        if (length > 0x7FFFFFFFu) return Fail("PNG: PNG unsigned integer out of range");
        left_ = length;
        crc_ = uint32_t(crc32(0, head + 4, 4));
        return true;
    }

    // A chunk type is four ASCII letters; libpng names a wrong one with its bytes in hex.
    static bool CheckName(const uint8_t *name) {
        char cause[64] = "PNG: ";
        size_t n = std::strlen(cause);
        bool letters = true;
        for (int i = 0; i < 4; ++i) {
            const bool letter =
                (name[i] >= 'A' && name[i] <= 'Z') || (name[i] >= 'a' && name[i] <= 'z');
            n += size_t(
                std::snprintf(cause + n, sizeof cause - n, letter ? "%c" : "[%02X]", name[i]));
            letters = letters && letter;
        }
        std::snprintf(cause + n, sizeof cause - n, ": invalid chunk type");
        return letters || Fail(cause);
    }

    bool CheckCrc() {
        uint8_t stored[4];
        if (!ReadExactly(stored, 4)) return false;
        return BigEndian(stored) == crc_ || Fail("PNG: IDAT: CRC error");
    }

    // More of the stream: the rest of this chunk, or the next chunk, which must be an IDAT.
    bool Refill() {
        while (left_ == 0) {
            uint8_t head[8];
            // libpng's order: the length, the name, then whether it is an IDAT.
            if (!CheckCrc() || !ReadExactly(head, 8) || !Begin(head) || !CheckName(head + 4))
                return false;
            if (BigEndian(head + 4) != kIdat) return Fail("PNG: Not enough image data");
        }
        const size_t part = std::min<size_t>(left_, buffer_.size());
        if (!ReadExactly(buffer_.data(), part)) return false;
        crc_ = uint32_t(crc32(crc_, buffer_.data(), uInt(part)));
        left_ -= uint32_t(part);
        z_.next_in = buffer_.data();
        z_.avail_in = uInt(part);
        return true;
    }

    FILE *file_;
    std::vector<uint8_t> buffer_;
    z_stream z_{};
    bool started_ = false;
    bool fresh_ = true;  // no inflate call yet
    bool ended_ = false;
    uint32_t left_ = 0;  // bytes of the current chunk not read yet
    uint32_t crc_ = 0;   // of the current chunk so far
};

// ---- Undoing the filters: row i predicted from its left (a), upper (b), upper-left (c) ----

void UnSub(uint8_t *row, size_t n, size_t bpp) {
    for (size_t i = bpp; i < n; ++i) row[i] = uint8_t(row[i] + row[i - bpp]);
}

void UnUp(uint8_t *__restrict row, const uint8_t *__restrict prior, size_t n) {
    for (size_t i = 0; i < n; ++i) row[i] = uint8_t(row[i] + prior[i]);
}

#if defined(__SSE2__)
// One pixel of 3 or 4 bytes at a time in 16-bit lanes: each pixel needs the one just made,
// so the bytes of a pixel are all the parallel work there is.
// Loads read 4 bytes whatever the pixel's size: the fourth lane is the next pixel's, or the
// padding after the rows, and nothing mixes lanes. Stores write the pixel's bytes only.
__m128i Load(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), _mm_setzero_si128());
}

template <size_t kBpp>
void Store(uint8_t *p, __m128i pixel) {
    const uint32_t v = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(pixel, pixel)));
    if constexpr (kBpp == 4) {
        std::memcpy(p, &v, 4);
    } else {
        const uint16_t low = uint16_t(v);
        std::memcpy(p, &low, 2);
        p[2] = uint8_t(v >> 16);
    }
}

__m128i Abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

__m128i Select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

template <size_t kBpp>
void UnAverage(uint8_t *__restrict row, const uint8_t *__restrict prior, size_t n) {
    const __m128i bytes = _mm_set1_epi16(0xFF);
    __m128i a = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += kBpp) {
        const __m128i sum =
            _mm_add_epi16(Load(row + i), _mm_srli_epi16(_mm_add_epi16(a, Load(prior + i)), 1));
        a = _mm_and_si128(sum, bytes);
        Store<kBpp>(row + i, a);
    }
}

template <size_t kBpp>
void UnPaeth(uint8_t *__restrict row, const uint8_t *__restrict prior, size_t n) {
    const __m128i bytes = _mm_set1_epi16(0xFF);
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += kBpp) {
        const __m128i b = Load(prior + i);
        __m128i pa = _mm_sub_epi16(b, c), pb = _mm_sub_epi16(a, c);
        __m128i pc = Abs16(_mm_add_epi16(pa, pb));
        pa = Abs16(pa);
        pb = Abs16(pb);
        // The nearest of a, b, c to a + b - c, ties going to a, then b, as PNG defines it.
        const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        const __m128i nearest =
            Select(_mm_cmpeq_epi16(smallest, pa), a, Select(_mm_cmpeq_epi16(smallest, pb), b, c));
        a = _mm_and_si128(_mm_add_epi16(Load(row + i), nearest), bytes);
        Store<kBpp>(row + i, a);
        c = b;
    }
}
#else
template <size_t kBpp>
void UnAverage(uint8_t *__restrict row, const uint8_t *__restrict prior, size_t n) {
    for (size_t i = 0; i < n; ++i)
        row[i] = uint8_t(row[i] + (((i < kBpp ? 0 : row[i - kBpp]) + prior[i]) >> 1));
}

template <size_t kBpp>
void UnPaeth(uint8_t *__restrict row, const uint8_t *__restrict prior, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const int a = i < kBpp ? 0 : row[i - kBpp], b = prior[i],
                  c = i < kBpp ? 0 : prior[i - kBpp];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        row[i] = uint8_t(row[i] + (pa <= pb && pa <= pc ? a : pb <= pc ? b : c));
    }
}
#endif

template <size_t kBpp>
bool Unfilter(uint8_t type, uint8_t *row, const uint8_t *prior, size_t n) {
    switch (type) {
    case 0: return true;
    case 1: UnSub(row, n, kBpp); return true;
    case 2: UnUp(row, prior, n); return true;
    case 3: UnAverage<kBpp>(row, prior, n); return true;
    case 4: UnPaeth<kBpp>(row, prior, n); return true;
    default: return false;
    }
}

// The ring of filtered rows and the two threads' progress through it.
struct Rows {
    static constexpr uint32_t kEnded = 0x80000000u;  // in `inflated`: no more rows will come
    size_t stride = 0;                               // filter type byte and the row's bytes
    size_t pitch = 0;  // a slot: the row, the bytes a 4-byte load reads past it, cache-line aligned
    uint32_t count = 0;  // rows in the ring
    std::vector<uint8_t> ring;
    std::vector<uint8_t> zeros;  // the row above the first
    std::atomic<uint32_t> inflated{0}, stored{0};
    std::atomic<bool> badFilter{false};
    uint8_t *Slot(uint32_t y) { return ring.data() + size_t(y % count) * pitch; }
};

// Unfilters row y in its slot against row y - 1 and stores it in the section.
template <size_t kBpp>
bool StoreRow(Rows &rows, uint32_t y, uint32_t width, const kit::Dib &dib) {
    uint8_t *row = rows.Slot(y);
    const uint8_t *prior = y == 0 ? rows.zeros.data() : rows.Slot(y - 1) + 1;
    if (!Unfilter<kBpp>(row[0], row + 1, prior, rows.stride - 1)) return false;
    SwapRedBlue<kBpp, kBpp>(row + 1, dib.Row(int32_t(y)), width);
    return true;
}

// The second thread: stores every row inflated, in order, until the rows or the stream end
// or a row's filter type is wrong. A stream that fails still has its rows before the failure
// checked, so that the first fault in the file is the one named, as libpng would name it.
template <size_t kBpp>
void StoreRows(Rows &rows, uint32_t width, uint32_t height, const kit::Dib &dib) {
    for (uint32_t y = 0; y < height; ++y) {
        uint32_t have = rows.inflated.load(std::memory_order_acquire);
        while ((have & ~Rows::kEnded) <= y) {
            if (have & Rows::kEnded) return;
            rows.inflated.wait(have);
            have = rows.inflated.load(std::memory_order_acquire);
        }
        if (!StoreRow<kBpp>(rows, y, width, dib)) {
            rows.badFilter = true;
            rows.stored.store(height + rows.count);  // wakes the first thread, to stop
            rows.stored.notify_one();
            return;
        }
        rows.stored.store(y + 1, std::memory_order_release);
        rows.stored.notify_one();
    }
}

template <size_t kBpp>
bool Read(FILE *file, uint32_t width, uint32_t height, const kit::Dib &dib,
          ProgressCallbackFn progress, int32_t data) {
    IdatStream stream(file);
    if (!stream.Start()) return false;
    Rows rows;
    rows.stride = size_t(width) * kBpp + 1;
    rows.pitch = (rows.stride + 3 + 63) / 64 * 64;
    bool threaded = rows.stride * height >= kThreadedBytes;
    rows.count =
        threaded ? uint32_t(std::max<size_t>(3, std::min<size_t>(height, kRingBytes / rows.stride)))
                 : 2;
    rows.ring.resize(rows.pitch * rows.count);
    rows.zeros.assign(rows.pitch, 0);
    std::thread storer;
    // However this function is left, the second thread is told the rows have ended and joined.
    struct Joiner {
        Rows &rows;
        std::thread &thread;
        void Join() {
            if (!thread.joinable()) return;
            rows.inflated.fetch_or(Rows::kEnded);
            rows.inflated.notify_one();
            thread.join();
        }
        Joiner(Rows &r, std::thread &t) : rows(r), thread(t) {}
        ~Joiner() { Join(); }
        Joiner(const Joiner &) = delete;
        Joiner &operator=(const Joiner &) = delete;
    } joiner{rows, storer};
    if (threaded) {
        try {
            storer = std::thread([&] { StoreRows<kBpp>(rows, width, height, dib); });
        } catch (...) {
            threaded = false;  // no thread to be had: both parts on this one
        }
    }

    bool ok = true;
    for (uint32_t y = 0; y < height && ok && !rows.badFilter; ++y) {
        // Row y takes the slot of row y - count, which row y - count + 1 needs until stored.
        for (uint32_t done = rows.stored.load(std::memory_order_acquire); y + 2 > done + rows.count;
             done = rows.stored.load(std::memory_order_acquire))
            rows.stored.wait(done);
        if (rows.badFilter) break;
        ok = stream.Inflate(rows.Slot(y), rows.stride);
        if (!ok) break;
        if (threaded) {
            rows.inflated.store(y + 1, std::memory_order_release);
            rows.inflated.notify_one();
        } else if (StoreRow<kBpp>(rows, y, width, dib)) {
            rows.stored.store(y + 1);
        } else {
            rows.badFilter = true;
        }
        kit::ReportProgress(progress, int32_t(y + 1), int32_t(height), data);
    }
    joiner.Join();
    if (rows.badFilter) {
        kit::ClearLastFailure();  // a stream failure found later in the file is not the first fault
        kit::SetLastFailure("PNG: bad adaptive filter value");
        return false;
    }
    return ok && stream.Finish();
}

}  // namespace

bool ReadPixels(FILE *file, uint32_t width, uint32_t height, int channels, const kit::Dib &dib,
                ProgressCallbackFn progress, int32_t data) {
    return channels == 4 ? Read<4>(file, width, height, dib, progress, data)
                         : Read<3>(file, width, height, dib, progress, data);
}

}  // namespace faltrix::png
