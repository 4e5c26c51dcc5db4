// TIFF decode and encode of a 24-bit 6000 x 4000 picture (LZW with horizontal differencing,
// the plug-in's default): through the plug-ins, and through libtiff called directly, in the
// same run. Both sides turn libtiff's R, G, B rows into the DIB's B, G, R or back.
#include <benchmark/benchmark.h>

#include <memory>

#include <tiffio.h>

#include "plugin_bench_util.h"

namespace faltrix::bench {
namespace {

const CodecPlugins &Plugins() {
    static const CodecPlugins plugins(FALTRIX_TIFF_INPUT, FALTRIX_TIFF_OUTPUT, "tif");
    return plugins;
}

void BM_TiffDecodePlugin(benchmark::State &state) { DecodeThroughPlugin(state, Plugins()); }

void BM_TiffDecodeDirect(benchmark::State &state) {
    const std::string path = Plugins().encodedFile;
    const size_t stride = kStride;
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> pixels(new uint8_t[stride * kHeight]);
        TIFF *tif = TIFFOpen(path.c_str(), "rm");  // read, not mapped, as the plug-in does
        std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize(tif)));
        for (int y = 0; y < kHeight; ++y) {
            TIFFReadScanline(tif, line.data(), static_cast<uint32_t>(y), 0);
            uint8_t *out = pixels.get() + stride * static_cast<size_t>(y);
            const uint8_t *in = line.data();
            for (int x = 0; x < kWidth; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
        TIFFClose(tif);
        benchmark::DoNotOptimize(pixels.get());
    }
}

void BM_TiffEncodePlugin(benchmark::State &state) { EncodeThroughPlugin(state, Plugins()); }

void BM_TiffEncodeDirect(benchmark::State &state) {
    const std::string path = BenchFile("direct.tif");
    for (auto _ : state) {
        TIFF *tif = TIFFOpen(path.c_str(), "w");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
        std::vector<uint8_t> line(static_cast<size_t>(kWidth) * 3);
        for (int y = 0; y < kHeight; ++y) {
            const uint8_t *in = Picture().Row(y);
            uint8_t *out = line.data();
            for (int x = 0; x < kWidth; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
            TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0);
        }
        TIFFClose(tif);
    }
    std::remove(path.c_str());
}

BENCHMARK(BM_TiffDecodePlugin)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_TiffDecodeDirect)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_TiffEncodePlugin)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_TiffEncodeDirect)->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace
}  // namespace faltrix::bench

int main(int argc, char **argv) {
    return faltrix::bench::RunBenchmarks(argc, argv, faltrix::bench::Plugins);
}
