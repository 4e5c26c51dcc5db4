// libFuzzer target for the PNG input plug-in.
#include "input_plugin_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return faltrix::fuzz::RunInputPlugin(data, size);
}
