// What both TIFF plug-ins share: libtiff's messages kept per call, and the description.
#pragma once

#include <string>

#include <tiffio.h>

namespace faltrix::tiff {

// libtiff reports errors and warnings through handlers. Given through TIFFOpenOptions they
// receive this per-call record, so two threads never share one, and nothing is printed.
struct Messages {
    std::string firstError;
    int errors = 0;
    int warnings = 0;
};

// Options routing both kinds of message into *messages; free with TIFFOpenOptionsFree.
TIFFOpenOptions *NewOptions(Messages *messages);

struct TiffCloser {
    TIFF *tif = nullptr;
    ~TiffCloser() {
        if (tif) TIFFClose(tif);
    }
};

// "TIFF (libtiff 4.5.0)", from the library found at run time.
std::u16string Description();

// Pels per metre from a resolution and its TIFF unit (2 inch, 3 centimetre, 1 none).
int32_t PelsPerMeter(float resolution, int unit);

}  // namespace faltrix::tiff
