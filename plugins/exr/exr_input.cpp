// OpenEXR input plug-in over the library's multi-part reader. The picture is the first part
// that holds flat pixels (scanlines or tiles, any compression the library reads); deep parts
// are passed over and any other parts dropped with a notice. Its display window is the
// picture: pixels of the data window outside it are left out, and pixels of it that the data
// window does not cover are transparent. R, G and B (any of them; the others 0) make a colour
// picture, Y alone a grey one, and A the alpha, which the file holds premultiplied and the
// interface takes straight; half, float and uint channels are read as float. The picture then
// goes through linear_picture.h: 16 bits at full depth, tone-mapped when it has values above
// 1.0. The rows are read in strips of at most 16 MiB, within the limits set on the headers.
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputPart.h>
#include <ImfMultiPartInputFile.h>
#include <ImfPartType.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "exr_common.h"
#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/metadata.h"
#include "hdr/linear_picture.h"

namespace faltrix::exr {
namespace {

constexpr size_t kStripBytes = size_t(16) << 20;

// The first part of flat pixels; -1 when every part is deep.
int PicturePart(Imf::MultiPartInputFile &file) {
    for (int i = 0; i < file.parts(); ++i) {
        const Imf::Header &h = file.header(i);
        if (!h.hasType() || Imf::isImage(h.type())) return i;
    }
    return -1;
}

struct Box {
    int64_t x0, y0, x1, y1;  // inclusive
    int64_t Width() const { return x1 - x0 + 1; }
    int64_t Height() const { return y1 - y0 + 1; }
};

Box BoxOf(const Imath::Box2i &b) { return {b.min.x, b.min.y, b.max.x, b.max.y}; }

// The channels the picture is made of.
struct Channels {
    bool colour = false, alpha = false;  // alpha: in the file
    std::string names;                   // what the file holds, for a refusal
};

bool ReadChannels(const Imf::Header &h, Channels *out) {
    const Imf::ChannelList &list = h.channels();
    for (auto c = list.begin(); c != list.end(); ++c) {
        const std::string name = c.name();
        out->names += (out->names.empty() ? "" : ", ") + name;
        const bool used = name == "R" || name == "G" || name == "B" || name == "Y" || name == "A";
        if (used && (c.channel().xSampling != 1 || c.channel().ySampling != 1))
            return kit::Fail("OpenEXR: subsampled channels (" + name + ") are not read");
        out->colour = out->colour || name == "R" || name == "G" || name == "B";
        out->alpha = out->alpha || name == "A";
    }
    if (list.findChannel("RY") || list.findChannel("BY"))
        return kit::Fail("OpenEXR: luminance and chroma pictures (RY, BY) are not read");
    if (!out->colour && !list.findChannel("Y"))
        return kit::Fail("OpenEXR: the picture has no R, G, B or Y channel (it has " +
                         (out->names.empty() ? std::string("none") : out->names) + ")");
    return true;
}

// Copies the strip's rows that the display window shows into the picture, alpha made straight.
void PlaceStrip(const std::vector<float> &strip, const Box &data, int64_t y, int64_t rows,
                const Box &shown, bool fileAlpha, linear::Picture *out) {
    const int32_t n = out->channels;
    const int64_t x0 = std::max(data.x0, shown.x0), x1 = std::min(data.x1, shown.x1);
    for (int64_t r = 0; r < rows && x0 <= x1; ++r) {
        const float *in = strip.data() + size_t(r * data.Width() + (x0 - data.x0)) * size_t(n);
        float *to = out->Row(int32_t(y + r - shown.y0)) + size_t(x0 - shown.x0) * size_t(n);
        for (int64_t x = x0; x <= x1; ++x, in += n, to += n) {
            const float a = out->HasAlpha() ? in[n - 1] : 1.0f;
            for (int32_t c = 0; c < n; ++c) to[c] = in[c];
            if (fileAlpha && a > 0.0f)
                for (int32_t c = 0; c < n - 1; ++c) to[c] = in[c] / a;
        }
    }
}

bool ReadPart(Imf::InputPart &part, linear::Picture *out, ProgressCallbackFn progress,
              int32_t data) {
    const Imf::Header &h = part.header();
    const Box dataBox = BoxOf(h.dataWindow()), shown = BoxOf(h.displayWindow());
    Channels ch;
    if (!kit::WithinLimits(shown.Width(), shown.Height()) ||
        !kit::WithinLimits(dataBox.Width(), dataBox.Height()) || !ReadChannels(h, &ch))
        return false;
    const bool covered = dataBox.x0 <= shown.x0 && dataBox.y0 <= shown.y0 &&
                         dataBox.x1 >= shown.x1 && dataBox.y1 >= shown.y1;
    const int32_t n = (ch.colour ? 3 : 1) + (ch.alpha || !covered ? 1 : 0);
    // The rows go straight into the picture where the data window covers the display window;
    // otherwise into a picture of the part shown, placed once every row has been read, so that
    // a file cut short costs no memory for transparent margins, which take no bytes of it.
    const Box seen{std::max(dataBox.x0, shown.x0), std::max(dataBox.y0, shown.y0),
                   std::min(dataBox.x1, shown.x1), std::min(dataBox.y1, shown.y1)};
    const bool any = seen.x0 <= seen.x1 && seen.y0 <= seen.y1;
    linear::Picture seenPart;
    linear::Picture *into = covered ? out : &seenPart;
    const Box &intoBox = covered ? shown : seen;
    if ((covered || any) && !into->Allocate(int32_t(intoBox.Width()), int32_t(intoBox.Height()), n))
        return false;
    const char *names[4] = {"R", "G", "B", "A"};
    if (!ch.colour) names[0] = "Y", names[1] = "A";
    const int64_t y0 = std::max(dataBox.y0, shown.y0), y1 = std::min(dataBox.y1, shown.y1);
    const size_t rowFloats = size_t(dataBox.Width()) * size_t(n);
    const int64_t stripRows = std::max<int64_t>(1, int64_t(kStripBytes / (rowFloats * 4)));
    std::vector<float> strip(rowFloats *
                             size_t(std::min(stripRows, std::max<int64_t>(1, y1 - y0 + 1))));
    for (int64_t y = y0; y <= y1; y += stripRows) {
        const int64_t rows = std::min(stripRows, y1 - y + 1);
        Imf::FrameBuffer frame;
        for (int32_t c = 0; c < n; ++c) {
            // A missing colour channel reads as 0, a missing alpha as opaque.
            const double fill = std::strcmp(names[c], "A") == 0 ? 1.0 : 0.0;
            frame.insert(
                names[c],
                Imf::Slice::Make(Imf::FLOAT, strip.data() + c, Imath::V2i(int(dataBox.x0), int(y)),
                                 dataBox.Width(), rows, size_t(n) * 4, rowFloats * 4, 1, 1, fill));
        }
        part.setFrameBuffer(frame);
        part.readPixels(int(y), int(y + rows - 1));
        PlaceStrip(strip, dataBox, y, rows, intoBox, ch.alpha, into);
        kit::ReportProgress(progress, int32_t(y + rows - y0), int32_t(y1 - y0 + 1), data);
    }
    if (y0 > y1) kit::ReportProgress(progress, 1, 1, data);  // no row of data is shown
    if (covered) return true;
    if (!out->Allocate(int32_t(shown.Width()), int32_t(shown.Height()), n)) return false;
    for (int64_t r = 0; any && r < seen.Height(); ++r)
        std::copy_n(
            seenPart.Row(int32_t(r)), size_t(seen.Width()) * size_t(n),
            out->Row(int32_t(seen.y0 - shown.y0 + r)) + size_t(seen.x0 - shown.x0) * size_t(n));
    return true;
}

// ---- The headers, checked before the library reads them ----------------------------------
// The library allocates an attribute's bytes and a part's table of chunk offsets by the sizes
// the file gives before it reads them: each is held here to the bytes the file has, and the
// data window to the kit's limits.

int64_t Remaining(FILE *f, int64_t size) { return size - int64_t(std::ftell(f)); }

// An attribute's or the header's end's name; empty at the end of a header.
bool ReadName(FILE *f, std::string *name) {
    name->clear();
    for (int c; (c = std::fgetc(f)) != 0;) {
        if (c == EOF || name->size() == 255) return kit::Fail("OpenEXR: the header is cut short");
        name->push_back(char(c));
    }
    return true;
}

int32_t Int32At(const uint8_t *b) {
    return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                   uint32_t(b[3]) << 24);
}

// The bytes the library reads for a value of `type` whatever size the file gives: -1 for a
// type it reads by that size.
int64_t FixedSize(const std::string &type) {
    static const std::pair<const char *, int64_t> kSizes[] = {
        {"box2i", 16},      {"box2f", 16},
        {"compression", 1}, {"lineOrder", 1},
        {"envmap", 1},      {"deepImageState", 1},
        {"float", 4},       {"double", 8},
        {"int", 4},         {"v2i", 8},
        {"v2f", 8},         {"v2d", 16},
        {"v3i", 12},        {"v3f", 12},
        {"v3d", 24},        {"m33f", 36},
        {"m33d", 72},       {"m44f", 64},
        {"m44d", 128},      {"chromaticities", 32},
        {"keycode", 28},    {"timecode", 8},
        {"rational", 8},    {"tiledesc", 9}};
    for (const auto &[name, bytes] : kSizes)
        if (type == name) return bytes;
    return -1;
}

// Whether the library, reading a value of `type` from these bytes, takes all of them and no
// more: a channel list is read up to its empty name, a preview by its width and height.
bool ReadAsItsSize(const std::string &type, const std::vector<uint8_t> &v) {
    if (type == "preview")
        return v.size() >= 8 && uint64_t(uint32_t(Int32At(v.data()))) *
                                        uint64_t(uint32_t(Int32At(v.data() + 4))) * 4 ==
                                    v.size() - 8;
    size_t at = 0;  // chlist: name, NUL, then 16 bytes, until an empty name
    while (at < v.size() && v[at] != 0) {
        while (at < v.size() && v[at] != 0) ++at;
        at += 1 + 16;
    }
    return at + 1 == v.size();
}

// Rows of pixels in one chunk of a scanline part, by its compression.
int64_t LinesPerChunk(int compression) {
    switch (compression) {
    case 3:
    case 5: return 16;  // zip, pxr24
    case 4:
    case 6:
    case 7:
    case 8: return 32;   // piz, b44, b44a, dwaa
    case 9: return 256;  // dwab
    default: return 1;   // none, rle, zips
    }
}

// One part's header from the name of its first attribute on; adds the chunks of its first
// level to *chunks.
bool CheckHeader(FILE *f, int64_t size, std::string name, uint64_t *chunks) {
    uint8_t window[16], tiles[9];
    bool haveWindow = false, tiled = false;
    int compression = 0;
    std::string type;
    for (; !name.empty();) {
        uint8_t length[4];
        if (!ReadName(f, &type) || std::fread(length, 1, 4, f) != 4)
            return kit::Fail("OpenEXR: the header is cut short");
        const int64_t n = Int32At(length);
        if (n < 0 || n > Remaining(f, size))
            return kit::Fail("OpenEXR: the attribute " + name +
                             " claims more bytes than the file has");
        const int64_t fixed = FixedSize(type);
        if (fixed >= 0 && n != fixed)
            return kit::Fail("OpenEXR: the attribute " + name + " has the wrong size for its type");
        if (type == "chlist" || type == "preview") {
            std::vector<uint8_t> value(static_cast<size_t>(n));
            if (std::fread(value.data(), 1, value.size(), f) != value.size() ||
                !ReadAsItsSize(type, value))
                return kit::Fail("OpenEXR: the attribute " + name + " is malformed");
            if (!ReadName(f, &name)) return false;
            continue;
        }
        uint8_t *into = name == "dataWindow" && n == 16 ? window
                        : name == "tiles" && n == 9     ? tiles
                                                        : nullptr;
        uint8_t scheme = 0;
        if (name == "compression" && n == 1) into = &scheme;
        if (into ? std::fread(into, 1, size_t(n), f) != size_t(n)
                 : std::fseek(f, long(n), SEEK_CUR) != 0)
            return kit::Fail("OpenEXR: the header is cut short");
        haveWindow = haveWindow || into == window;
        tiled = tiled || into == tiles;
        if (into == &scheme) compression = scheme;
        if (!ReadName(f, &name)) return false;
    }
    if (!haveWindow) return kit::Fail("OpenEXR: a part has no data window");
    const int64_t w = int64_t(Int32At(window + 8)) - Int32At(window) + 1,
                  h = int64_t(Int32At(window + 12)) - Int32At(window + 4) + 1;
    if (!kit::WithinLimits(w, h)) return false;
    const int64_t tw = tiled ? Int32At(tiles) : w,
                  th = tiled ? Int32At(tiles + 4) : LinesPerChunk(compression);
    if (tw < 1 || th < 1) return kit::Fail("OpenEXR: a part's tiles have no pixels");
    *chunks += uint64_t((w + tw - 1) / tw) * uint64_t((h + th - 1) / th);
    return true;
}

bool CheckHeaders(FILE *f, int64_t size) {
    uint8_t head[8];
    if (std::fread(head, 1, 8, f) != 8) return kit::Fail("OpenEXR: the header is cut short");
    const bool multiPart = (head[5] & 0x10) != 0;
    uint64_t chunks = 0;
    std::string name;
    for (int part = 0;; ++part) {
        if (!ReadName(f, &name)) return false;
        if (name.empty()) {
            if (part == 0) return kit::Fail("OpenEXR: the header is empty");
            break;  // the end of a multi-part file's headers
        }
        if (!CheckHeader(f, size, name, &chunks)) return false;
        if (!multiPart) break;
    }
    if (chunks > uint64_t(std::max<int64_t>(Remaining(f, size), 0)) / 8)
        return kit::Fail("OpenEXR: the file is too short for the size its header gives");
    return std::fseek(f, 0, SEEK_SET) == 0 || kit::Fail("OpenEXR: the file cannot be read");
}

// Runs body over the file's parts; false, with the library's words, when it throws.
template <class Body>
bool WithFile(const WCHAR *path, Body body) {
    kit::InputFile file;
    if (!file.Open(path) || !CheckHeaders(file.stream(), file.size())) return false;
    SetLimits();
    try {
        FileStream stream(file.stream(), file.size());
        Imf::MultiPartInputFile parts(stream, 0);
        const int index = PicturePart(parts);
        if (index < 0)
            return kit::Fail("OpenEXR: the file holds deep pixels only, which are not read");
        return body(parts, index);
    } catch (const std::exception &e) {
        return kit::Fail(std::string("OpenEXR: ") + e.what());
    }
}

bool DecodeFile(const WCHAR *path, linear::Picture *out, ProgressCallbackFn progress,
                int32_t data) {
    return WithFile(path, [&](Imf::MultiPartInputFile &parts, int index) {
        Imf::InputPart part(parts, index);
        if (!ReadPart(part, out, progress, data)) return false;
        if (parts.parts() > 1)
            kit::NoteDropped("the " + std::to_string(parts.parts() - 1) +
                             " other parts of the OpenEXR file");
        return true;
    });
}

bool ReadDisplaySize(const WCHAR *path, int32_t *width, int32_t *height) {
    return WithFile(path, [&](Imf::MultiPartInputFile &parts, int index) {
        const Box shown = BoxOf(parts.header(index).displayWindow());
        if (!kit::WithinLimits(shown.Width(), shown.Height())) return false;
        *width = int32_t(shown.Width());
        *height = int32_t(shown.Height());
        return true;
    });
}

// The magic number 76 2F 31 01 and a version of 2, the one there is.
bool Recognize(const WCHAR *path) {
    uint8_t head[5];
    return kit::ReadFileHead(path, head, sizeof head) && head[0] == 0x76 && head[1] == 0x2F &&
           head[2] == 0x31 && head[3] == 0x01 && head[4] == 2;
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    return ReadDisplaySize(path, &info->width, &info->height);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    linear::Picture picture;
    if (!DecodeFile(path, &picture, progress, data)) return nullptr;
    return linear::ToDib(picture, "OpenEXR", alloc);
}

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    if (!ReadDisplaySize(path, &out->width, &out->height)) return nullptr;
    out->sampleBits = 16;
    return std::make_unique<linear::PictureReader>(path, DecodeFile, "OpenEXR");
}

}  // namespace
}  // namespace faltrix::exr

FALTRIX_KIT_INPUT_PLUGIN(faltrix::exr)
FALTRIX_KIT_FRAMES_INPUT(faltrix::exr)
FALTRIX_KIT_DEEP_INPUT()
