// WebP decode and encode (lossy, quality 90, the plug-in's default) of a 24-bit 6000 x 4000
// picture: through the plug-ins, and through libwebp called directly into B, G, R rows, in
// the same run.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <memory>

#include <webp/decode.h>
#include <webp/encode.h>

#include "plugin_bench_util.h"

namespace faltrix::bench {
namespace {

void *InputPlugin() {
    static void *lib = Library(FALTRIX_WEBP_INPUT);
    return lib;
}
void *OutputPlugin() {
    static void *lib = Library(FALTRIX_WEBP_OUTPUT);
    return lib;
}

const std::string &EncodedFile() {
    static const std::string path = [] {
        const std::string p = BenchFile("input.webp");
        auto save = Entry<SaveDIBPictureFn>(OutputPlugin(), "SaveDIBPicture");
        if (save(Picture().dc, U16(p).c_str(), 0, 0, NoProgress, 0) != 0) std::abort();
        return p;
    }();
    return path;
}

void BM_WebpDecodePlugin(benchmark::State &state) {
    auto decode = Entry<GetPictureDIBFn>(InputPlugin(), "GetPictureDIB");
    const std::u16string path = U16(EncodedFile());
    for (auto _ : state) {
        HBITMAP b = decode(path.c_str(), 0, 0, NoProgress, 0, CreateDIBSection);
        if (!b) state.SkipWithError("decode failed");
        DeleteObject(b);
    }
}

void BM_WebpDecodeDirect(benchmark::State &state) {
    const std::string path = EncodedFile();
    const size_t stride = (static_cast<size_t>(kWidth) * 3 + 3) & ~size_t{3};
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * kHeight]);
        if (!WebPDecodeBGRInto(bytes.data(), bytes.size(), pixels.get(), stride * kHeight, static_cast<int>(stride)))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(pixels.get());
    }
}

void BM_WebpEncodePlugin(benchmark::State &state) {
    auto save = Entry<SaveDIBPictureFn>(OutputPlugin(), "SaveDIBPicture");
    const std::u16string path = U16(BenchFile("plugin.webp"));
    for (auto _ : state)
        if (save(Picture().dc, path.c_str(), 0, 0, NoProgress, 0) != 0) state.SkipWithError("store failed");
    std::remove(BenchFile("plugin.webp").c_str());
}

void BM_WebpEncodeDirect(benchmark::State &state) {
    const std::string path = BenchFile("direct.webp");
    for (auto _ : state) {
        WebPConfig config;
        WebPConfigInit(&config);
        config.quality = 90;
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.width = kWidth;
        picture.height = kHeight;
        WebPPictureImportBGR(&picture, Picture().Row(0), static_cast<int>(Picture().stride));
        WebPMemoryWriter writer;
        WebPMemoryWriterInit(&writer);
        picture.writer = WebPMemoryWrite;
        picture.custom_ptr = &writer;
        if (!WebPEncode(&config, &picture)) state.SkipWithError("encode failed");
        FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(writer.mem, 1, writer.size, f);
        std::fclose(f);
        WebPMemoryWriterClear(&writer);
        WebPPictureFree(&picture);
    }
    std::remove(path.c_str());
}

BENCHMARK(BM_WebpDecodePlugin)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_WebpDecodeDirect)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_WebpEncodePlugin)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_WebpEncodeDirect)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
}  // namespace faltrix::bench

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    faltrix::bench::EncodedFile();
    benchmark::RunSpecifiedBenchmarks();
    std::remove(faltrix::bench::EncodedFile().c_str());
    return 0;
}
