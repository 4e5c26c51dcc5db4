// The camera RAW input plug-in: the raw sensor data of a camera's file (CR2, NEF, ARW, DNG,
// ORF, RW2, PEF, RAF and the others LibRaw knows) developed as LibRaw develops it by default
// (AHD demosaicing, highlights clipped, the brightness fitted to the histogram, sRGB primaries
// on LibRaw's default tone curve) with the white balance the camera recorded, and turned
// upright as the file says. The picture is always the developed raw data: the preview a camera
// embeds is never given in its place, and a file whose raw data cannot be decoded fails. The
// DIB is 24-bit; read as frames the one frame also comes as 16-bit RGB samples.
//
// Limits: the raw data and the developed picture within the kit's pixel limits, checked on
// the header before anything is unpacked, and LibRaw's own memory cap. LibRaw's reports of
// damaged data become the failure's cause rather than lines on the host's standard error.
#include <libraw/libraw.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "faltrix/kit/entry_points.h"

namespace faltrix::raw {
namespace {

// What LibRaw may allocate at once, in MiB: the raw data, its four-channel working copy and
// the developed picture of the largest picture the kit takes fit.
constexpr unsigned kMaxLibRawMemoryMb = 2048;

// A LibRaw processor whose reports come to this object: damaged data counted, memory
// failures noted, progress forwarded to the host.
class Processor {
public:
    Processor() : raw_(std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE)) {
        raw_->set_dataerror_handler(DataError, this);
        raw_->set_memerror_handler(MemoryError, this);
        raw_->set_progress_handler(Progress, this);
        libraw_output_params_t &p = raw_->imgdata.params;
        p.use_camera_wb = 1;  // the white balance the camera recorded, as a photographer expects
        p.output_color = 1;   // sRGB
        p.output_bps = 16;
        p.max_raw_memory_mb = kMaxLibRawMemoryMb;
    }

    LibRaw &raw() { return *raw_; }
    const libraw_data_t &data() const { return raw_->imgdata; }

    void ForwardProgress(ProgressCallbackFn progress, int32_t data) {
        progress_ = progress;
        progressData_ = data;
    }

    // Opens the file and checks that it holds raw data LibRaw can decode. False, with the
    // cause, when it does not.
    bool Open(const WCHAR *path) {
        kit::InputFile file;  // a regular file the user may read, or the system's words why not
        std::string bytes;
        if (!file.Open(path) || !kit::PathToBytes(path, &bytes)) return false;
        const int status = raw_->open_file(bytes.c_str());
        if (status == LIBRAW_FILE_UNSUPPORTED)
            return kit::Fail("RAW: no raw data LibRaw can decode (not a camera RAW file)");
        if (status != LIBRAW_SUCCESS) return Failed(status);
        const libraw_image_sizes_t &s = data().sizes;
        if (s.raw_width == 0 || s.raw_height == 0 || s.width == 0 || s.height == 0)
            return kit::Fail("RAW: no raw data in the file");
        return true;
    }

    // The cause of a LibRaw failure; damaged data counts as the file's fault.
    bool Failed(int status) const {
        if (memoryFailed_ || status == LIBRAW_UNSUFFICIENT_MEMORY)
            return kit::Fail("RAW: decoding needs more than the " +
                             std::to_string(kMaxLibRawMemoryMb) + " MiB LibRaw may use");
        if (cutShort_) return kit::Fail("RAW: the file is cut short");
        if (status == LIBRAW_SUCCESS || status == LIBRAW_DATA_ERROR)
            return kit::Fail("RAW: the raw data is damaged");
        if (status == LIBRAW_IO_ERROR) return kit::Fail("RAW: the file cannot be read whole");
        return kit::Fail(std::string("RAW: LibRaw refuses the file: ") + libraw_strerror(status));
    }

    bool DataDamaged() const { return damaged_ || raw_->error_count() > 0; }

private:
    static void DataError(void *self, const char *, const int offset) {
        auto *p = static_cast<Processor *>(self);
        p->damaged_ = true;
        if (offset < 0) p->cutShort_ = true;  // LibRaw says -1 at the end of the file
    }
    static void MemoryError(void *self, const char *, const char *) {
        static_cast<Processor *>(self)->memoryFailed_ = true;
    }
    // LibRaw's stages are bits 0 .. 19, mostly in the order it goes through them; the host's
    // progress only moves forward.
    static int Progress(void *self, enum LibRaw_progress stage, int, int) {
        auto *p = static_cast<Processor *>(self);
        const int step = static_cast<int>(std::bit_width(static_cast<unsigned>(stage)));
        p->step_ = std::max(p->step_, std::min(step, 20));
        kit::ReportProgress(p->progress_, p->step_, 21, p->progressData_);
        return 0;
    }

    std::unique_ptr<LibRaw> raw_;  // large: on the heap
    ProgressCallbackFn progress_ = nullptr;
    int32_t progressData_ = 0;
    int step_ = 0;
    bool damaged_ = false, cutShort_ = false, memoryFailed_ = false;
};

// The developed picture in LibRaw's memory: 16-bit RGB, rows top first, upright.
struct ImageFree {
    void operator()(libraw_processed_image_t *image) const { LibRaw::dcraw_clear_mem(image); }
};
using Image = std::unique_ptr<libraw_processed_image_t, ImageFree>;

// False, with the cause, when the raw data, or the picture developed from it at most, is out
// of the kit's limits: checked before anything is unpacked. Pixels that are not square are
// stretched to square ones. A sensor stored turned by 45 degrees (old Fuji SuperCCD) is
// developed on its diagonal, somewhat larger: that picture is checked once developed, within
// LibRaw's memory cap.
bool WithinLimits(const libraw_data_t &d) {
    const libraw_image_sizes_t &s = d.sizes;
    if (!kit::WithinLimits(s.raw_width, s.raw_height)) return false;
    double w = s.width, h = s.height;
    if (s.pixel_aspect > 0 && s.pixel_aspect < 1) h /= s.pixel_aspect;
    else if (s.pixel_aspect > 1) w *= s.pixel_aspect;
    return kit::WithinLimits(static_cast<int64_t>(w), static_cast<int64_t>(h));
}

// Opens, unpacks and develops the file; null, with the cause, when any step fails. Damaged
// or missing raw data fails the picture rather than showing what LibRaw made of it.
Image Develop(const WCHAR *path, Processor &p, ProgressCallbackFn progress, int32_t data) {
    p.ForwardProgress(progress, data);
    if (!p.Open(path) || !WithinLimits(p.data())) return nullptr;
    int status = p.raw().unpack();
    if (status == LIBRAW_SUCCESS && (p.data().rawdata.raw_alloc == nullptr))
        return kit::Fail("RAW: no raw data LibRaw can decode in the file"), nullptr;
    if (status != LIBRAW_SUCCESS || p.DataDamaged()) return p.Failed(status), nullptr;
    status = p.raw().dcraw_process();
    if (status != LIBRAW_SUCCESS || p.DataDamaged()) return p.Failed(status), nullptr;
    Image image(p.raw().dcraw_make_mem_image(&status));
    if (!image || status != LIBRAW_SUCCESS) return p.Failed(status), nullptr;
    if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 16 ||
        !kit::WithinLimits(image->width, image->height) ||
        image->data_size != size_t{image->width} * image->height * 6)
        return kit::Fail("RAW: LibRaw developed a picture of an unexpected layout"), nullptr;
    return image;
}

const uint16_t *ImageRow(const Image &image, int32_t y) {
    return reinterpret_cast<const uint16_t *>(image->data) + size_t(y) * image->width * 3;
}

// The 8-bit picture says the depth it comes from; the camera's EXIF data, which LibRaw reads
// into fields of its own rather than handing over as a block, is not kept.
void NoteWhatIsLeft() {
    kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, 16);
    kit::NoteDropped("the camera's EXIF data");
}

// The developed picture as a 24-bit DIB.
HBITMAP DecodeDib(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
                  DibAllocCallbackFn alloc) {
    Processor p;
    const Image image = Develop(path, p, progress, data);
    if (!image) return nullptr;
    kit::DibSpec spec;
    spec.width = image->width;
    spec.height = image->height;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned(dib.bitmap);
    // LibRaw's 8-bit output is the top byte of its 16-bit samples.
    for (int32_t y = 0; y < spec.height; ++y) {
        const uint16_t *in = ImageRow(image, y);
        uint8_t *out = dib.Row(y);
        for (int32_t x = 0; x < spec.width; ++x, in += 3, out += 3) {
            out[0] = static_cast<uint8_t>(in[2] >> 8);
            out[1] = static_cast<uint8_t>(in[1] >> 8);
            out[2] = static_cast<uint8_t>(in[0] >> 8);
        }
    }
    kit::ReportProgress(progress, 21, 21, data);
    return owned.Release();
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    HBITMAP bitmap = DecodeDib(path, progress, data, alloc);
    if (bitmap) NoteWhatIsLeft();
    return bitmap;
}

bool Recognize(const WCHAR *path) {
    Processor p;
    return p.Open(path);
}

// The size LibRaw will develop, as shown: stretched to square pixels and turned upright.
bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Processor p;
    if (!p.Open(path) || !WithinLimits(p.data())) return false;
    if (p.raw().adjust_sizes_info_only() != LIBRAW_SUCCESS)
        return kit::Fail("RAW: LibRaw cannot tell the picture's size");
    const libraw_image_sizes_t &s = p.data().sizes;
    if (!kit::WithinLimits(s.iwidth, s.iheight)) return false;
    info->width = s.iwidth;
    info->height = s.iheight;
    return true;
}

// The one frame of a raw file, developed afresh for each reading.
class RawFrame final : public kit::FrameReader {
public:
    bool Open(const WCHAR *path, kit::Sequence *out) {
        if (!ReadSize(path, &size_)) return false;
        kit::NoteDropped("the camera's EXIF data");
        path_ = path;
        out->width = size_.width;
        out->height = size_.height;
        out->frameCount = 1;
        out->loopCount = 1;
        out->kind = FALTRIX_FRAMES_ANIMATION;
        out->sampleBits = 16;
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        if (index != 0) return kit::Fail<HBITMAP>("RAW: no such frame");
        *delay = 0;
        return DecodeDib(Path(), progress, data, alloc);
    }

    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override {
        if (index != 0) return kit::Fail("RAW: no such frame");
        *delay = 0;
        Processor p;
        const Image image = Develop(Path(), p, progress, data);
        if (!image) return false;
        if (image->width != size_.width || image->height != size_.height)
            return kit::Fail("RAW: the developed picture differs from the file's size");
        const kit::SampleView view = target.Allocate(3, 16);
        if (!view.data) return false;
        for (int32_t y = 0; y < view.height; ++y)
            std::memcpy(view.Row(y), ImageRow(image, y), size_t(view.width) * 6);
        kit::ReportProgress(progress, 21, 21, data);
        return true;
    }

private:
    const WCHAR *Path() const { return path_.c_str(); }

    std::u16string path_;
    PictureInfo size_{};
};

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<RawFrame>(path, out);
}

kit::FormatInfo Format() {
    std::u16string text = u"Camera RAW (LibRaw ";
    const std::string version = libraw_version();
    text.append(version.begin(), version.end());
    text += u")";
    return {text,
            {{u"*.dng;*.cr2;*.cr3;*.crw;*.nef;*.nrw;*.arw;*.srf;*.sr2;*.orf;*.rw2;*.raw;*.pef;"
              u"*.raf;*.srw;*.3fr;*.fff;*.iiq;*.mos;*.mef;*.mrw;*.x3f;*.kdc;*.dcr;*.erf",
              u"Camera RAW files"}},
            {}};
}

}  // namespace
}  // namespace faltrix::raw

FALTRIX_KIT_INPUT_PLUGIN(faltrix::raw)
FALTRIX_KIT_FRAMES_INPUT(faltrix::raw)
FALTRIX_KIT_DEEP_INPUT()
