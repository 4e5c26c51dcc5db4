// JPEG decode and encode of a 24-bit 6000 x 4000 picture: through the plug-ins, and through
// libjpeg-turbo called directly, B, G, R rows with no extra copy, in the same run.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

#include "plugin_bench_util.h"

namespace faltrix::bench {
namespace {

const CodecPlugins &Plugins() {
    static const CodecPlugins plugins(FALTRIX_JPEG_INPUT, FALTRIX_JPEG_OUTPUT, "jpg");
    return plugins;
}

void BM_JpegDecodePlugin(benchmark::State &state) { DecodeThroughPlugin(state, Plugins()); }

void BM_JpegDecodeDirect(benchmark::State &state) {
    const std::string path = Plugins().encodedFile;
    const size_t stride = kStride;
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * kHeight]);
        FILE *f = std::fopen(path.c_str(), "rb");
        jpeg_decompress_struct cinfo{};
        jpeg_error_mgr err{};
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_decompress(&cinfo);
        jpeg_stdio_src(&cinfo, f);
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&cinfo);
        JSAMPROW rows[8];
        while (cinfo.output_scanline < cinfo.output_height) {
            const JDIMENSION n =
                std::min<JDIMENSION>(8, cinfo.output_height - cinfo.output_scanline);
            for (JDIMENSION i = 0; i < n; ++i)
                rows[i] = pixels.get() + stride * (cinfo.output_scanline + i);
            jpeg_read_scanlines(&cinfo, rows, n);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        std::fclose(f);
        benchmark::DoNotOptimize(pixels.get());
    }
}

void BM_JpegEncodePlugin(benchmark::State &state) { EncodeThroughPlugin(state, Plugins()); }

void BM_JpegEncodeDirect(benchmark::State &state) {
    const std::string path = BenchFile("direct.jpg");
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "wb");
        jpeg_compress_struct cinfo{};
        jpeg_error_mgr err{};
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_compress(&cinfo);
        jpeg_stdio_dest(&cinfo, f);
        cinfo.image_width = kWidth;
        cinfo.image_height = kHeight;
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, 90, TRUE);
        cinfo.density_unit = 1;
        cinfo.X_density = cinfo.Y_density = 72;
        jpeg_start_compress(&cinfo, TRUE);
        for (int y = 0; y < kHeight; ++y) {
            JSAMPROW row = const_cast<JSAMPROW>(Picture().Row(y));
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
        std::fclose(f);
    }
    std::remove(path.c_str());
}

// Each pair side by side, alternating, so that both see the same machine.
BENCHMARK(BM_JpegDecodePlugin)->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_JpegDecodeDirect)->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_JpegEncodePlugin)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_JpegEncodeDirect)->Unit(benchmark::kMillisecond)->Iterations(6);

}  // namespace
}  // namespace faltrix::bench

int main(int argc, char **argv) {
    return faltrix::bench::RunBenchmarks(argc, argv, faltrix::bench::Plugins);
}
