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

const CodecPlugins &Plugins() {
    static const CodecPlugins plugins(FALTRIX_WEBP_INPUT, FALTRIX_WEBP_OUTPUT, "webp");
    return plugins;
}

void BM_WebpDecodePlugin(benchmark::State &state) { DecodeThroughPlugin(state, Plugins()); }

void BM_WebpDecodeDirect(benchmark::State &state) {
    const std::string path = Plugins().encodedFile;
    const size_t stride = kStride;
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * kHeight]);
        if (!WebPDecodeBGRInto(bytes.data(), bytes.size(), pixels.get(), stride * kHeight,
                               static_cast<int>(stride)))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(pixels.get());
    }
}

void BM_WebpEncodePlugin(benchmark::State &state) { EncodeThroughPlugin(state, Plugins()); }

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
    return faltrix::bench::RunBenchmarks(argc, argv, faltrix::bench::Plugins);
}
