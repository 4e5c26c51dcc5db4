// One conversion of a big picture through the raw test plug-ins, for measuring the peak
// memory of each resize path (memory.sh runs it under /usr/bin/time).
//
//   convert_peak make <file> <width> <height>      writes a random 24-bit raw picture
//   convert_peak run <in> <out> <width> <height> <anti-alias 0|1>
//   convert_peak idle                              loads the plug-ins and converts nothing
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"
#include "raw_format.h"

namespace {

void SetPath(char16_t (&buffer)[faltrix::kPathBufferLength], const char *path) {
    size_t i = 0;
    for (; path[i] != 0 && i + 1 < faltrix::kPathBufferLength; ++i)
        buffer[i] = static_cast<char16_t>(path[i]);
    buffer[i] = 0;
}

int Make(const char *path, int32_t width, int32_t height) {
    const raw_test::Selected picture(raw_test::NoiseSection(width, height, 24));
    return raw_test::WriteRaw(path, picture.dc, width, height) ? 0 : 1;
}

bool LoadPlugins() {
    const std::string dir = FALTRIX_IMAGING_PLUGIN_DIR;
    faltrix::InputPlugins().SetFolderOverride(dir + "/input_raw");
    faltrix::OutputPlugins().SetFolderOverride(dir + "/output_raw");
    return faltrix::InputPlugins().ScanPlugins() == 1 &&
           faltrix::OutputPlugins().ScanPlugins() == 1 &&
           faltrix::InputPlugins().SelectPlugin(0) == 1 &&
           faltrix::OutputPlugins().SelectPlugin(0) == 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "make") == 0)
        return Make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (argc == 2 && std::strcmp(argv[1], "idle") == 0) return LoadPlugins() ? 0 : 1;
    if (argc == 7 && std::strcmp(argv[1], "run") == 0) {
        if (!LoadPlugins()) return 1;
        SetPath(faltrix::InputPath, argv[2]);
        SetPath(faltrix::OutputPath, argv[3]);
        faltrix::TheConversionRequest.outputWidth = static_cast<uint32_t>(std::atol(argv[4]));
        faltrix::TheConversionRequest.outputHeight = static_cast<uint32_t>(std::atol(argv[5]));
        faltrix::TheConversionRequest.antiAlias = std::atoi(argv[6]);
        faltrix::ConversionJob(nullptr);
        return faltrix::LastConversionOutcome() == faltrix::ConversionOutcome::Stored ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: convert_peak make <file> <w> <h> | run <in> <out> <w> <h> <aa> | idle\n");
    return 2;
}
