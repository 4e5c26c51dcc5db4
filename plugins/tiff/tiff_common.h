// What both TIFF plug-ins share: libtiff's messages counted per call with the first error
// kept as the failure's cause, and the information answers.
#pragma once

#include <string>

#include <tiffio.h>

#include "faltrix/kit/kit.h"
#include "faltrix/kit/metadata.h"

namespace faltrix::tiff {

// libtiff reports errors and warnings through handlers. Given through TIFFOpenOptions they
// receive this per-call record, so two threads never share one, and nothing is printed. The
// text of an error becomes the calling thread's failure cause.
struct Messages {
    int errors = 0;
    int warnings = 0;
};

// Options routing both kinds of message into *messages; free with TIFFOpenOptionsFree.
TIFFOpenOptions *NewOptions(Messages *messages);

struct TiffCloser {
    TIFF *tif = nullptr;
    TiffCloser() = default;
    explicit TiffCloser(TIFF *t) : tif(t) {}
    ~TiffCloser() {
        if (tif) TIFFClose(tif);
    }
    TiffCloser(const TiffCloser &) = delete;
    TiffCloser &operator=(const TiffCloser &) = delete;
};

// "TIFF (libtiff 4.5.0)", from the library found at run time, and the patterns.
kit::FormatInfo Format();

// Pels per metre from a resolution and its TIFF unit (2 inch, 3 centimetre, 1 none).
int32_t PelsPerMeter(float resolution, int unit);

}  // namespace faltrix::tiff
