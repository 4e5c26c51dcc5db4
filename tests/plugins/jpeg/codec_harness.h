// What the JPEG, TIFF and WebP plug-in tests share: loading a built plug-in the way the host
// does (dlopen, entry points by name), making DIB sections of every depth, storing them
// through an output plug-in, reading them back through an input plug-in, and comparing.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix::test {

namespace fs = std::filesystem;

// Paths in these tests are ASCII.
inline std::u16string U16(const std::string &s) { return std::u16string(s.begin(), s.end()); }

inline std::u16string Info(GetPluginInfoFn info, int number, int32_t *length = nullptr) {
    WCHAR buffer[1024] = {};
    const int32_t n = info(number, buffer, 1024);
    if (length) *length = n;
    return std::u16string(buffer);
}

// A plug-in library, loaded once for the whole test program and never unloaded (the output
// plug-ins' dialogs use Qt, which does not like a library leaving under it).
struct Plugin {
    void *handle = nullptr;
    GetPluginInfoFn info = nullptr;
    IsSupportedFn isSupported = nullptr;
    GetPictureInfoFn pictureInfo = nullptr;
    GetPictureDIBFn pictureDib = nullptr;
    SaveDIBPictureFn save = nullptr;
    ConfigurationDlgFn configure = nullptr;

    explicit Plugin(const char *path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
            return;
        }
        info = reinterpret_cast<GetPluginInfoFn>(dlsym(handle, "GetPluginInfo"));
        isSupported = reinterpret_cast<IsSupportedFn>(dlsym(handle, "IsSupported"));
        pictureInfo = reinterpret_cast<GetPictureInfoFn>(dlsym(handle, "GetPictureInfo"));
        pictureDib = reinterpret_cast<GetPictureDIBFn>(dlsym(handle, "GetPictureDIB"));
        save = reinterpret_cast<SaveDIBPictureFn>(dlsym(handle, "SaveDIBPicture"));
        configure = reinterpret_cast<ConfigurationDlgFn>(dlsym(handle, "ConfigurationDlg"));
    }
};

// A folder of its own under the temporary folder, removed with everything in it.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "faltrix-codec-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string &name) const { return (path / name).string(); }
    // Files left in the folder other than the named ones (a temporary file, for instance).
    std::vector<std::string> Others(const std::vector<std::string> &known) const {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(path)) {
            const std::string n = e.path().filename().string();
            bool found = false;
            for (const auto &k : known) found = found || k == n;
            if (!found) out.push_back(n);
        }
        return out;
    }
};

inline std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
inline void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A picture as plain B, G, R, A bytes, top row first: what comparisons work on.
struct Image {
    int w = 0, h = 0;
    std::vector<uint8_t> bgra;
    uint8_t *At(int x, int y) { return bgra.data() + (static_cast<size_t>(y) * w + x) * 4; }
    const uint8_t *At(int x, int y) const { return bgra.data() + (static_cast<size_t>(y) * w + x) * 4; }
};

// A DIB section of any depth, with its palette and resolution, deleted on destruction.
struct Dib {
    HBITMAP bitmap = nullptr;
    uint8_t *bits = nullptr;
    int w = 0, h = 0, bitCount = 0;
    bool topDown = false;
    size_t stride = 0;
    std::vector<RGBQUAD> palette;

    Dib() = default;
    Dib(int width, int height, int bitCount_, bool topDown_, std::vector<RGBQUAD> pal = {},
        int32_t ppm = 0) {
        struct {
            BITMAPINFOHEADER h;
            RGBQUAD colors[256];
        } bmi{};
        bmi.h.biSize = sizeof(BITMAPINFOHEADER);
        bmi.h.biWidth = width;
        bmi.h.biHeight = topDown_ ? -height : height;
        bmi.h.biPlanes = 1;
        bmi.h.biBitCount = static_cast<WORD>(bitCount_);
        bmi.h.biXPelsPerMeter = bmi.h.biYPelsPerMeter = ppm;
        bmi.h.biClrUsed = static_cast<DWORD>(pal.size());
        std::copy(pal.begin(), pal.end(), bmi.colors);
        void *p = nullptr;
        bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(&bmi), DIB_RGB_COLORS, &p, nullptr, 0);
        Adopt(bitmap);
    }
    // Takes over a bitmap a plug-in returned; reads its layout and colour table.
    explicit Dib(HBITMAP b) { Adopt(b); }
    ~Dib() {
        if (bitmap) DeleteObject(bitmap);
    }
    Dib(const Dib &) = delete;
    Dib &operator=(const Dib &) = delete;

    void Adopt(HBITMAP b) {
        bitmap = b;
        if (!b) return;
        DIBSECTION ds{};
        if (GetObjectW(b, sizeof ds, &ds) != static_cast<int>(sizeof ds)) return;
        bits = static_cast<uint8_t *>(ds.dsBm.bmBits);
        w = ds.dsBm.bmWidth;
        h = ds.dsBm.bmHeight;
        bitCount = ds.dsBm.bmBitsPixel;
        topDown = ds.dsBmih.biHeight < 0;
        stride = static_cast<size_t>(ds.dsBm.bmWidthBytes);
        if (bitCount <= 8) {
            HDC dc = CreateCompatibleDC(nullptr);
            HGDIOBJ old = SelectObject(dc, b);
            RGBQUAD table[256];
            const UINT n = GetDIBColorTable(dc, 0, 256, table);
            palette.assign(table, table + n);
            SelectObject(dc, old);
            DeleteDC(dc);
        }
    }
    int32_t PelsPerMeterX() const {
        DIBSECTION ds{};
        GetObjectW(bitmap, sizeof ds, &ds);
        return ds.dsBmih.biXPelsPerMeter;
    }
    uint8_t *Row(int y) const { return bits + static_cast<size_t>(topDown ? y : h - 1 - y) * stride; }
    unsigned Index(int x, int y) const {
        const uint8_t *r = Row(y);
        switch (bitCount) {
        case 1: return (r[x >> 3] >> (7 - (x & 7))) & 1;
        case 4: return (r[x >> 1] >> ((x & 1) ? 0 : 4)) & 15;
        default: return r[x];
        }
    }
    void SetIndex(int x, int y, unsigned v) {
        uint8_t *r = Row(y);
        switch (bitCount) {
        case 1: r[x >> 3] = static_cast<uint8_t>((r[x >> 3] & ~(0x80 >> (x & 7))) | ((v & 1) << (7 - (x & 7)))); break;
        case 4: r[x >> 1] = static_cast<uint8_t>((x & 1) ? ((r[x >> 1] & 0xF0) | (v & 15)) : ((r[x >> 1] & 0x0F) | (v << 4))); break;
        default: r[x] = static_cast<uint8_t>(v); break;
        }
    }
    // The picture as B, G, R, A (alpha 255 for depths without alpha).
    Image ToImage() const {
        Image img{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
        for (int y = 0; y < h; ++y) {
            const uint8_t *r = Row(y);
            for (int x = 0; x < w; ++x) {
                uint8_t *o = img.At(x, y);
                switch (bitCount) {
                case 1: case 4: case 8: {
                    const RGBQUAD q = palette.at(std::min<size_t>(Index(x, y), palette.size() - 1));
                    o[0] = q.rgbBlue; o[1] = q.rgbGreen; o[2] = q.rgbRed; o[3] = 255;
                    break;
                }
                case 16: {
                    const unsigned v = r[2 * x] | (r[2 * x + 1] << 8);
                    o[0] = static_cast<uint8_t>((v & 31) * 255 / 31);
                    o[1] = static_cast<uint8_t>(((v >> 5) & 31) * 255 / 31);
                    o[2] = static_cast<uint8_t>(((v >> 10) & 31) * 255 / 31);
                    o[3] = 255;
                    break;
                }
                case 24: o[0] = r[3 * x]; o[1] = r[3 * x + 1]; o[2] = r[3 * x + 2]; o[3] = 255; break;
                default: std::memcpy(o, r + 4 * x, 4); break;
                }
            }
        }
        return img;
    }
};

// A test chart: gradients, fine lines, sharp edges; alpha varies when withAlpha.
inline void FillChart(Dib &d, bool withAlpha) {
    for (int y = 0; y < d.h; ++y) {
        for (int x = 0; x < d.w; ++x) {
            const unsigned b = static_cast<unsigned>(x * 255 / std::max(1, d.w - 1));
            const unsigned g = static_cast<unsigned>(y * 255 / std::max(1, d.h - 1));
            const unsigned r = ((x / 8 + y / 8) & 1) ? 220 : 30;
            uint8_t *row = d.Row(y);
            switch (d.bitCount) {
            case 1: case 4: case 8:
                d.SetIndex(x, y, static_cast<unsigned>((x / 3 + y / 5) % d.palette.size()));
                break;
            case 16: {
                const unsigned v = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
                row[2 * x] = static_cast<uint8_t>(v);
                row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
                break;
            }
            case 24: row[3 * x] = static_cast<uint8_t>(b); row[3 * x + 1] = static_cast<uint8_t>(g); row[3 * x + 2] = static_cast<uint8_t>(r); break;
            case 32:
                row[4 * x] = static_cast<uint8_t>(b);
                row[4 * x + 1] = static_cast<uint8_t>(g);
                row[4 * x + 2] = static_cast<uint8_t>(r);
                row[4 * x + 3] = withAlpha ? static_cast<uint8_t>((x * 7 + y * 3) & 255) : 0;
                break;
            }
        }
    }
}

inline std::vector<RGBQUAD> ColourPalette(int n) {
    std::vector<RGBQUAD> p(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        p[i] = RGBQUAD{static_cast<BYTE>(i * 37), static_cast<BYTE>(255 - i * 11), static_cast<BYTE>(i * 91), 0};
    return p;
}
inline std::vector<RGBQUAD> GreyRamp(int bits) {
    const int n = 1 << bits;
    std::vector<RGBQUAD> p(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const BYTE v = static_cast<BYTE>(i * 255 / (n - 1));
        p[i] = RGBQUAD{v, v, v, 0};
    }
    return p;
}

inline int32_t CountProgress(int32_t done, int32_t total, int32_t data);
struct ProgressLog {
    int calls = 0;
    int32_t lastDone = -1, lastTotal = -1;
    bool backwards = false;
};
inline thread_local ProgressLog *currentProgress = nullptr;
inline int32_t CountProgress(int32_t done, int32_t total, int32_t) {
    if (ProgressLog *log = currentProgress) {
        if (log->lastTotal == total && done < log->lastDone) log->backwards = true;
        log->calls++;
        log->lastDone = done;
        log->lastTotal = total;
    }
    return 1;
}

// Stores the bitmap through the plug-in from a memory DC, as the conversion job does.
inline int32_t Save(const Plugin &p, HBITMAP bitmap, const std::string &path, ProgressLog *log = nullptr) {
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, bitmap);
    currentProgress = log;
    const std::u16string u = U16(path);
    const int32_t rc = p.save(dc, u.c_str(), 0, 0, CountProgress, 0);
    currentProgress = nullptr;
    DeleteDC(dc);
    return rc;
}

inline HBITMAP Load(const Plugin &p, const std::string &path, ProgressLog *log = nullptr) {
    currentProgress = log;
    const std::u16string u = U16(path);
    HBITMAP b = p.pictureDib(u.c_str(), 0, 0, CountProgress, 0, CreateDIBSection);
    currentProgress = nullptr;
    return b;
}

inline bool PictureSize(const Plugin &p, const std::string &path, int *w, int *h) {
    PictureInfo info{};
    const std::u16string u = U16(path);
    if (p.pictureInfo(u.c_str(), 0, 0, &info) != 0) return false;
    *w = info.width;
    *h = info.height;
    return true;
}

// The largest difference of any channel between two pictures of the same size (alpha too);
// 1000 when the sizes differ.
inline int MaxDifference(const Image &a, const Image &b) {
    if (a.w != b.w || a.h != b.h) return 1000;
    int worst = 0;
    for (size_t i = 0; i < a.bgra.size(); ++i) worst = std::max(worst, std::abs(a.bgra[i] - b.bgra[i]));
    return worst;
}
inline double MeanDifference(const Image &a, const Image &b) {
    if (a.w != b.w || a.h != b.h || a.bgra.empty()) return 1000;
    double sum = 0;
    for (size_t i = 0; i < a.bgra.size(); ++i) sum += std::abs(a.bgra[i] - b.bgra[i]);
    return sum / static_cast<double>(a.bgra.size());
}

// The picture with its alpha applied over white and made opaque, as a format without alpha
// stores it.
inline Image OnWhite(const Image &in) {
    Image out = in;
    for (size_t i = 0; i < out.bgra.size(); i += 4) {
        const unsigned a = in.bgra[i + 3];
        for (int c = 0; c < 3; ++c)
            out.bgra[i + c] = static_cast<uint8_t>((in.bgra[i + c] * a + 255 * (255 - a) + 127) / 255);
        out.bgra[i + 3] = 255;
    }
    return out;
}
inline Image Opaque(Image in) {
    for (size_t i = 3; i < in.bgra.size(); i += 4) in.bgra[i] = 255;
    return in;
}

// Runs fn with the file size limit lowered to `limit` bytes and SIGXFSZ ignored, so that a
// write past the limit fails with EFBIG (a full disk, as far as the writer can tell). The
// limit and the signal's handling are restored afterwards.
template <class Fn>
auto WithFileSizeLimit(rlim_t limit, Fn fn) {
    struct rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit low = saved;
    low.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &low);
    auto result = fn();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    return result;
}

}  // namespace faltrix::test
