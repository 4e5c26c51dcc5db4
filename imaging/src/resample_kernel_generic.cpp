// The resampler's inner loop for every processor.
#define FALTRIX_RESAMPLE_KERNEL_BODY
#include "resample_kernel.h"

namespace faltrix::resample_detail {

void ResampleRowPieceGeneric(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                             const ColumnTable &columns, Terms rows, const double *rowWeights,
                             uint32_t progressBase, uint32_t progressTotal,
                             ProgressCallbackFn progress) {
    RowPiece(src, dstRow, begin, end, columns, rows, rowWeights, progressBase, progressTotal,
             progress);
}

#if !defined(FALTRIX_HAVE_AVX2_KERNEL)
bool HaveAvx2Kernel() { return false; }
void ResampleRowPieceAvx2(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                          const ColumnTable &columns, Terms rows, const double *rowWeights,
                          uint32_t progressBase, uint32_t progressTotal,
                          ProgressCallbackFn progress) {
    ResampleRowPieceGeneric(src, dstRow, begin, end, columns, rows, rowWeights, progressBase,
                            progressTotal, progress);
}
#endif

}  // namespace faltrix::resample_detail
