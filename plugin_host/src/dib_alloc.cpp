#include "faltrix/plugin_list.h"

namespace faltrix {

HBITMAP DibAllocCallback(HDC hdc, const BITMAPINFO *pbmi, uint32_t usage, void **ppvBits,
                         HANDLE hSection, uint32_t offset) {
    return CreateDIBSection(hdc, pbmi, usage, ppvBits, hSection, offset);
}

}  // namespace faltrix
