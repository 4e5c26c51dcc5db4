// The resampler's inner loop for x86-64 processors with AVX2 (this file is compiled with
// -mavx2; it runs only where the processor reports AVX2).
#define FALTRIX_RESAMPLE_KERNEL_BODY
#include "resample_kernel.h"

namespace faltrix::resample_detail {

bool HaveAvx2Kernel() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

void ResampleRowPieceAvx2(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                          const ColumnTable &columns, Terms rows, const double *rowWeights,
                          uint32_t progressBase, uint32_t progressTotal,
                          ProgressCallbackFn progress) {
    RowPiece(src, dstRow, begin, end, columns, rows, rowWeights, progressBase, progressTotal,
             progress);
}

}  // namespace faltrix::resample_detail
