// BMP, PNG and GIF decode and encode of a 24-bit 6000 x 4000 picture: through the plug-ins,
// and through the same work done directly in the same run.
//   BMP  our own format code: direct is one fread of the pixel block into a buffer, and the
//        headers and rows written with fwrite (with and without the fsync the plug-in does).
//   PNG  libpng directly: B, G, R rows straight into a buffer; encode with zlib at level 6,
//        as the plug-in did before it compressed with libdeflate (its default is now level 4).
//   GIF  giflib directly: indices into a buffer; encode with giflib's own quantizer
//        (GifQuantizeBuffer, which needs the channels split first) where the plug-in uses
//        its median cut.
// Direct encodes end with fsync like the plug-ins' atomic writes, so that both sides pay for
// the same durability; BM_BmpEncodeDirectNoSync shows what that costs.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <png.h>

#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <cstring>
#include <memory>

#include "plugin_bench_util.h"

namespace faltrix::bench {
namespace {

struct Plugins {
    void *in;
    void *out;
};
const Plugins &PluginsOf(const std::string &format) {
    static const Plugins bmp{Library(FALTRIX_BMP_INPUT), Library(FALTRIX_BMP_OUTPUT)};
    static const Plugins png{Library(FALTRIX_PNG_INPUT), Library(FALTRIX_PNG_OUTPUT)};
    static const Plugins gif{Library(FALTRIX_GIF_INPUT), Library(FALTRIX_GIF_OUTPUT)};
    return format == "bmp" ? bmp : format == "png" ? png : gif;
}

// The file both decoders read: the picture stored by the format's output plug-in.
const std::string &EncodedFile(const std::string &format) {
    static std::string files[3];
    std::string &path = files[format == "bmp" ? 0 : format == "png" ? 1 : 2];
    if (path.empty()) {
        path = BenchFile("input." + format);
        auto save = Entry<SaveDIBPictureFn>(PluginsOf(format).out, "SaveDIBPicture");
        if (save(Picture().dc, U16(path).c_str(), 0, 0, NoProgress, 0) != 0) std::abort();
    }
    return path;
}

void DecodePlugin(benchmark::State &state, const std::string &format) {
    auto decode = Entry<GetPictureDIBFn>(PluginsOf(format).in, "GetPictureDIB");
    const std::u16string path = U16(EncodedFile(format));
    for (auto _ : state) {
        HBITMAP b = decode(path.c_str(), 0, 0, NoProgress, 0, CreateDIBSection);
        if (!b) state.SkipWithError("decode failed");
        DeleteObject(b);
    }
}

void EncodePlugin(benchmark::State &state, const std::string &format) {
    auto save = Entry<SaveDIBPictureFn>(PluginsOf(format).out, "SaveDIBPicture");
    const std::string file = BenchFile("plugin." + format);
    const std::u16string path = U16(file);
    for (auto _ : state)
        if (save(Picture().dc, path.c_str(), 0, 0, NoProgress, 0) != 0)
            state.SkipWithError("store failed");
    std::remove(file.c_str());
}

void Sync(FILE *f) {
    std::fflush(f);
    fsync(fileno(f));
}

// ---- BMP ---------------------------------------------------------------------------------

void BM_BmpDecodePlugin(benchmark::State &state) { DecodePlugin(state, "bmp"); }

void BM_BmpDecodeDirect(benchmark::State &state) {
    const size_t stride = (size_t(kWidth) * 3 + 3) & ~size_t{3};
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * kHeight]);
        FILE *f = std::fopen(EncodedFile("bmp").c_str(), "rb");
        uint8_t head[54];
        if (std::fread(head, 1, sizeof head, f) != sizeof head) state.SkipWithError("short file");
        uint32_t offset;
        std::memcpy(&offset, head + 10, 4);
        std::fseek(f, long(offset), SEEK_SET);
        if (std::fread(pixels.get(), 1, stride * kHeight, f) != stride * kHeight)
            state.SkipWithError("short file");
        std::fclose(f);
        benchmark::DoNotOptimize(pixels.get());
    }
}

void BmpWriteDirect(benchmark::State &state, bool sync) {
    const std::string path = BenchFile("direct.bmp");
    const uint32_t stride = (uint32_t(kWidth) * 3 + 3) & ~3u;
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "wb");
        uint8_t head[54] = {'B', 'M'};
        const uint32_t size = 54 + stride * kHeight, offset = 54, info = 40, w = kWidth,
                       h = kHeight;
        std::memcpy(head + 2, &size, 4), std::memcpy(head + 10, &offset, 4),
            std::memcpy(head + 14, &info, 4);
        std::memcpy(head + 18, &w, 4), std::memcpy(head + 22, &h, 4);
        head[26] = 1, head[28] = 24;
        std::fwrite(head, 1, sizeof head, f);
        for (int y = kHeight - 1; y >= 0; --y) std::fwrite(Picture().Row(y), 1, stride, f);
        if (sync) Sync(f);
        std::fclose(f);
    }
    std::remove(path.c_str());
}

void BM_BmpEncodePlugin(benchmark::State &state) { EncodePlugin(state, "bmp"); }
void BM_BmpEncodeDirect(benchmark::State &state) { BmpWriteDirect(state, true); }
void BM_BmpEncodeDirectNoSync(benchmark::State &state) { BmpWriteDirect(state, false); }

// ---- PNG ---------------------------------------------------------------------------------

[[noreturn]] void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

int PngDecodeDirect(const char *path, uint8_t *pixels, size_t stride) {
    FILE *f = std::fopen(path, "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return 1;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_bgr(png);
    png_read_update_info(png, info);
    for (int y = 0; y < kHeight; ++y) png_read_row(png, pixels + stride * size_t(y), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return 0;
}

int PngEncodeDirect(const char *path) {
    FILE *f = std::fopen(path, "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return 1;
    }
    png_init_io(png, f);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(png, info, 2835, 2835, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    png_set_bgr(png);
    for (int y = 0; y < kHeight; ++y) png_write_row(png, Picture().Row(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    Sync(f);
    std::fclose(f);
    return 0;
}

void BM_PngDecodePlugin(benchmark::State &state) { DecodePlugin(state, "png"); }
void BM_PngDecodeDirect(benchmark::State &state) {
    const size_t stride = (size_t(kWidth) * 3 + 3) & ~size_t{3};
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * kHeight]);
        if (PngDecodeDirect(EncodedFile("png").c_str(), pixels.get(), stride) != 0)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(pixels.get());
    }
}
void BM_PngEncodePlugin(benchmark::State &state) { EncodePlugin(state, "png"); }
void BM_PngEncodeDirect(benchmark::State &state) {
    const std::string path = BenchFile("direct.png");
    for (auto _ : state)
        if (PngEncodeDirect(path.c_str()) != 0) state.SkipWithError("encode failed");
    std::remove(path.c_str());
}

// ---- GIF ---------------------------------------------------------------------------------

void BM_GifDecodePlugin(benchmark::State &state) { DecodePlugin(state, "gif"); }
void BM_GifDecodeDirect(benchmark::State &state) {
    for (auto _ : state) {
        int error;
        GifFileType *gif = DGifOpenFileName(EncodedFile("gif").c_str(), &error);
        GifRecordType type;
        do {
            DGifGetRecordType(gif, &type);
            if (type == EXTENSION_RECORD_TYPE) {
                int code;
                GifByteType *ext;
                DGifGetExtension(gif, &code, &ext);
                while (ext) DGifGetExtensionNext(gif, &ext);
            }
        } while (type != IMAGE_DESC_RECORD_TYPE && type != TERMINATE_RECORD_TYPE);
        DGifGetImageDesc(gif);
        const size_t stride = (size_t(kWidth) + 3) & ~size_t{3};
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * kHeight]);
        for (int y = 0; y < kHeight; ++y)
            DGifGetLine(gif, pixels.get() + stride * size_t(y), kWidth);
        DGifCloseFile(gif, &error);
        benchmark::DoNotOptimize(pixels.get());
    }
}
void BM_GifEncodePlugin(benchmark::State &state) { EncodePlugin(state, "gif"); }
void BM_GifEncodeDirect(benchmark::State &state) {
    const std::string path = BenchFile("direct.gif");
    const size_t n = size_t(kWidth) * kHeight;
    for (auto _ : state) {
        std::unique_ptr<GifByteType[]> r(new GifByteType[n]), g(new GifByteType[n]),
            b(new GifByteType[n]), out(new GifByteType[n]);
        for (int y = 0; y < kHeight; ++y) {
            const uint8_t *row = Picture().Row(y);
            for (int x = 0; x < kWidth; ++x) {
                const size_t i = size_t(y) * kWidth + size_t(x);
                b[i] = row[3 * x], g[i] = row[3 * x + 1], r[i] = row[3 * x + 2];
            }
        }
        int size = 256, error;
        GifColorType colours[256];
        GifQuantizeBuffer(kWidth, kHeight, &size, r.get(), g.get(), b.get(), out.get(), colours);
        ColorMapObject *map = GifMakeMapObject(256, colours);
        GifFileType *gif = EGifOpenFileName(path.c_str(), false, &error);
        EGifPutScreenDesc(gif, kWidth, kHeight, 8, 0, map);
        EGifPutImageDesc(gif, 0, 0, kWidth, kHeight, false, nullptr);
        for (int y = 0; y < kHeight; ++y) EGifPutLine(gif, out.get() + size_t(y) * kWidth, kWidth);
        EGifCloseFile(gif, &error);
        GifFreeMapObject(map);
        const int fd = open(path.c_str(), O_RDONLY);
        fsync(fd);
        close(fd);
    }
    std::remove(path.c_str());
}

// Each pair side by side, so that both see the same machine.
BENCHMARK(BM_BmpDecodePlugin)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_BmpDecodeDirect)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_BmpEncodePlugin)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_BmpEncodeDirect)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_BmpEncodeDirectNoSync)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_PngDecodePlugin)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_PngDecodeDirect)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_PngEncodePlugin)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_PngEncodeDirect)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_GifDecodePlugin)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_GifDecodeDirect)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_GifEncodePlugin)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_GifEncodeDirect)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
}  // namespace faltrix::bench

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    for (const char *format : {"bmp", "png", "gif"}) faltrix::bench::EncodedFile(format);
    benchmark::RunSpecifiedBenchmarks();
    for (const char *format : {"bmp", "png", "gif"})
        std::remove(faltrix::bench::EncodedFile(format).c_str());
    return 0;
}
