// OpenEXR output plug-in: one scanline part of half floats, R, G and B (Y for a grey picture)
// and A when the picture has transparency, premultiplied as the format holds it, compressed as
// the "compression" option says (zip, the library's own default, unless changed). The values
// are the linear light of linear_picture.h; the display and data windows are the picture.
#include <ImfChannelList.h>
#include <ImfCompression.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <half.h>

#include <exception>
#include <string>
#include <vector>

#include "exr_common.h"
#include "faltrix/kit/entry_points.h"
#include "hdr/linear_picture.h"

namespace faltrix::exr {
namespace {

const std::vector<std::string> kCompressions = {"none",  "rle", "zips", "zip",  "piz",
                                                "pxr24", "b44", "b44a", "dwaa", "dwab"};
const Imf::Compression kSchemes[] = {
    Imf::NO_COMPRESSION,   Imf::RLE_COMPRESSION,   Imf::ZIPS_COMPRESSION, Imf::ZIP_COMPRESSION,
    Imf::PIZ_COMPRESSION,  Imf::PXR24_COMPRESSION, Imf::B44_COMPRESSION,  Imf::B44A_COMPRESSION,
    Imf::DWAA_COMPRESSION, Imf::DWAB_COMPRESSION};

constexpr const char *kTitle = "OpenEXR output settings";
kit::Options options({{"compression", "Compression", kit::Setting::Kind::Choice, 0, 0,
                       kCompressions, 3}});
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

bool Encode(const linear::Picture &picture, std::string *out) {
    const int32_t n = picture.channels;
    const bool grey = n < 3, alpha = picture.HasAlpha();
    const char *names[4] = {"R", "G", "B", "A"};
    if (grey) names[0] = "Y", names[1] = "A";
    // Premultiplied halves, the whole picture: at most 512 MiB within the float limit.
    std::vector<half> pixels(picture.samples.size());
    for (size_t i = 0; i < pixels.size(); i += size_t(n)) {
        const float a = alpha ? picture.samples[i + size_t(n) - 1] : 1.0f;
        for (int32_t c = 0; c < n; ++c)
            pixels[i + size_t(c)] = half(alpha && c < n - 1 ? picture.samples[i + size_t(c)] * a
                                                            : picture.samples[i + size_t(c)]);
    }
    try {
        Imf::Header header(picture.width, picture.height);
        header.compression() = kSchemes[options.Get("compression")];
        Imf::FrameBuffer frame;
        const size_t xStride = size_t(n) * sizeof(half), yStride = xStride * size_t(picture.width);
        for (int32_t c = 0; c < n; ++c) {
            header.channels().insert(names[c], Imf::Channel(Imf::HALF));
            frame.insert(names[c],
                         Imf::Slice(Imf::HALF, reinterpret_cast<char *>(pixels.data() + c), xStride,
                                    yStride));
        }
        MemoryStream stream;
        {
            Imf::OutputFile file(stream, header, 0);
            file.setFrameBuffer(frame);
            file.writePixels(picture.height);
        }
        *out = std::move(stream.bytes());
        return true;
    } catch (const std::exception &e) {
        return kit::Fail(std::string("OpenEXR: ") + e.what());
    }
}

bool KeepsMetadata(std::string_view key, size_t) { return key == FALTRIX_METADATA_TRANSPARENCY; }

// A grey palette is stored as Y alone.
kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyPalette(layout.palette) ? kit::StoredColour::kGrey
                                                                      : kit::StoredColour::kColour;
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    return linear::SavePicture(dc, path, Encode, true, true, progress, data);
}

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &) {
    return linear::BeginPicture(path, Encode, true, true);
}

}  // namespace
}  // namespace faltrix::exr

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::exr)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::exr)
FALTRIX_KIT_DEEP_OUTPUT()
FALTRIX_KIT_ONE_PICTURE_OUTPUT()
FALTRIX_KIT_SETTINGS(faltrix::exr, faltrix::exr::kTitle)
