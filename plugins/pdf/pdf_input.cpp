// The PDF input plug-in: every page of a PDF document a frame (FALTRIX_FRAMES_PAGES), rendered
// by poppler through cairo at the session's dpi (72 by default: a point a pixel), on white
// paper into 24-bit DIBs, or with the page's own transparency into 32-bit ones (the
// `transparent` option).
//
// The picture's size is the first page's at that dpi, rounded up. A page of another size is
// rendered at the same scale at the top-left of the first page's canvas, scaled down to fit
// when it is larger, the rest left as paper; OpenFrames tells it once with a "dropped" item.
// A conversion to another size renders at that size (OpenFramesAtSize): the dpi follows from
// it, a different one across and down when the size asked changes the aspect.
//
// A document that needs a password to be read is refused: there is no way to give one.
// A document that is merely restricted (printing, copying) opens as a viewer opens it.
//
// Threads: each reader has a document of its own, used on its thread only. poppler sets up
// its global parameters and its font library when the first document is made, without a
// lock, so documents are made and released under one lock of the plug-in. poppler's own
// complaints about damaged files never reach standard error.
#include <fcntl.h>
#include <poppler.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "faltrix/kit/cairo_render.h"
#include "faltrix/kit/entry_points.h"

namespace faltrix::pdf {
namespace {

constexpr char kTitle[] = "PDF reading";  // of the settings dialog, naming its kept values

// The session's settings: set by the Detail dialog on the dialog's thread or by
// SetPluginOption, read by a job thread when it opens a document.
kit::Options options({{"dpi", "Dots per inch", kit::Setting::Kind::Integer, 1, 1200, {}, 72},
                      {"transparent", "Transparent paper", kit::Setting::Kind::Flag, 0, 1, {}, 0}});
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

std::mutex g_documents;  // making and releasing documents (see the head of the file)

// poppler-glib's complaints (a damaged file, a page its catalogue lost) go to GLib's log under
// its domain, which writes them to standard error: they are dropped while the plug-in is
// loaded, the failures they come with having causes of their own.
void DropPopplerMessage(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}
struct QuietPoppler {
    const guint handler = g_log_set_handler(
        "Poppler", GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
        DropPopplerMessage, nullptr);
    ~QuietPoppler() { g_log_remove_handler("Poppler", handler); }
} g_quietPoppler;

struct DocumentDeleter {
    void operator()(PopplerDocument *document) const {
        const std::lock_guard lock(g_documents);
        g_object_unref(document);
    }
};
using Document = std::unique_ptr<PopplerDocument, DocumentDeleter>;
struct PageDeleter {
    void operator()(PopplerPage *page) const { g_object_unref(page); }
};
using Page = std::unique_ptr<PopplerPage, PageDeleter>;

// Whether the file's last KiB holds the end-of-file marker every complete PDF ends with (also
// after incremental updates). poppler rebuilds the cross-reference table of a document cut
// short and renders what it finds: a file that ends early would give pages with parts missing.
bool EndsAsPdf(int fd, off_t size) {
    char tail[1024];
    const off_t from = std::max<off_t>(0, size - off_t(sizeof tail));
    const ssize_t got = ::pread(fd, tail, size_t(size - from), from);
    return got > 0 && std::string_view(tail, size_t(got)).find("%%EOF") != std::string_view::npos;
}

// Opens the document at path; null, with the cause recorded, when it cannot be read.
Document Open(const WCHAR *path) {
    std::string native;
    if (!kit::PathToBytes(path, &native)) return nullptr;
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
        if (fd >= 0) ::close(fd);
        return kit::Fail<Document>("PDF: " + why, nullptr);
    }
    if (!EndsAsPdf(fd, st.st_size)) {
        ::close(fd);
        return kit::Fail<Document>("PDF: the document is cut short (it does not end in %%EOF)",
                                   nullptr);
    }
    GError *error = nullptr;
    Document document;
    {
        const std::lock_guard lock(g_documents);
        // poppler takes the descriptor, also when it fails.
        document.reset(poppler_document_new_from_fd(fd, nullptr, &error));
    }
    if (document) return document;
    const bool locked = error && g_error_matches(error, POPPLER_ERROR, POPPLER_ERROR_ENCRYPTED);
    const std::string words = error && error->message ? error->message : "unknown error";
    if (error) g_error_free(error);
    return kit::Fail<Document>(locked ? "PDF: the document is protected by a password"
                                      : "PDF: the document cannot be read (" + words + ")",
                               nullptr);
}

// Page `index` and its size in points (as shown: its rotation applied).
Page PageOf(PopplerDocument *document, int32_t index, double *w, double *h) {
    // The count can shrink once poppler finds the page tree damaged.
    Page page(index < poppler_document_get_n_pages(document)
                  ? poppler_document_get_page(document, index)
                  : nullptr);
    if (!page)
        return kit::Fail<Page>("PDF: page " + std::to_string(index + 1) + " cannot be read",
                               nullptr);
    poppler_page_get_size(page.get(), w, h);
    if (!std::isfinite(*w) || !std::isfinite(*h) || !(*w > 0) || !(*h > 0))
        return kit::Fail<Page>("PDF: page " + std::to_string(index + 1) + " has no size", nullptr);
    return page;
}

// Pixels of `points` at dpi, rounded up; a hair above a whole number stays that number.
double Pixels(double points, int dpi) { return std::ceil(points * dpi / 72 - 1e-6); }

// A document's pages, each rendered onto the canvas the first page sets.
class PageReader final : public kit::FrameReader {
public:
    // Opens the document and measures its pages; width and height 0: the first page's size
    // at the dpi.
    bool Open(const WCHAR *path, int32_t width, int32_t height, kit::Sequence *out) {
        dpi_ = options.Get("dpi");
        transparent_ = options.Get("transparent") != 0;
        document_ = pdf::Open(path);
        if (!document_) return false;
        const int pages = poppler_document_get_n_pages(document_.get());
        if (pages < 1) return kit::Fail("PDF: the document has no pages");
        if (pages > FALTRIX_MAX_FRAMES)
            return kit::Fail("PDF: the document has " + std::to_string(pages) +
                             " pages, more than the " + std::to_string(FALTRIX_MAX_FRAMES) +
                             " that are read");
        double w = 0, h = 0;
        if (!PageOf(document_.get(), 0, &w, &h)) return false;
        const double naturalW = Pixels(w, dpi_), naturalH = Pixels(h, dpi_);
        if (!kit::WithinLimits(int64_t(std::min(naturalW, 1e12)),
                               int64_t(std::min(naturalH, 1e12))))
            return kit::Fail("PDF: the first page at " + std::to_string(dpi_) +
                             " dpi is larger than the decoding limits");
        width_ = width > 0 ? width : int32_t(naturalW);
        height_ = height > 0 ? height : int32_t(naturalH);
        // Pixels per point, across and down: the dpi's, scaled with the canvas.
        scaleX_ = dpi_ / 72.0 * width_ / naturalW;
        scaleY_ = dpi_ / 72.0 * height_ / naturalH;
        pages_ = pages;
        NoteOtherSizes(w, h);
        out->width = width_;
        out->height = height_;
        out->frameCount = pages_;
        out->kind = FALTRIX_FRAMES_PAGES;
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        *delay = 0;
        if (index >= pages_) return kit::Fail<HBITMAP>("PDF: no such page");
        double w = 0, h = 0;
        Page page = PageOf(document_.get(), index, &w, &h);
        if (!page) return nullptr;
        // A page larger than the canvas at this scale is scaled down to fit whole.
        const double fit = std::min({1.0, width_ / (w * scaleX_), height_ / (h * scaleY_)});
        return kit::RenderWithCairo(
            width_, height_,
            transparent_ ? kit::CairoBackground::kTransparent : kit::CairoBackground::kWhite,
            [&](cairo_t *cr) {
                cairo_scale(cr, scaleX_ * fit, scaleY_ * fit);
                poppler_page_render(page.get(), cr);
                return true;
            },
            progress, data, alloc);
    }

private:
    // Notes once how many pages have another size than the first at the dpi.
    void NoteOtherSizes(double firstW, double firstH) {
        int32_t other = 0;
        for (int32_t k = 1; k < pages_; ++k) {
            double w = 0, h = 0;
            if (PageOf(document_.get(), k, &w, &h) && (Pixels(w, dpi_) != Pixels(firstW, dpi_) ||
                                                       Pixels(h, dpi_) != Pixels(firstH, dpi_)))
                ++other;
        }
        kit::ClearLastFailure();  // a page that cannot be read fails when it is read
        if (other > 0)
            kit::NoteDropped("the size of " + std::to_string(other) + " page" +
                             (other > 1 ? "s" : "") +
                             " other than the first's (rendered at the same scale at the "
                             "top-left of the first page's canvas, scaled down where larger)");
    }

    Document document_;
    int dpi_ = 72;
    bool transparent_ = false;
    int32_t width_ = 0, height_ = 0, pages_ = 0;
    double scaleX_ = 1, scaleY_ = 1;
};

}  // namespace

kit::FormatInfo Format() {
    const std::string version = poppler_get_version();
    std::u16string text = u"PDF (poppler ";
    text.append(version.begin(), version.end());
    return {text + u")", {{u"*.pdf", u"PDF documents"}}, {}};
}

// "%PDF-" and a version digit at the start, as PDF writers put it.
bool Recognize(const WCHAR *path) {
    char head[6];
    return kit::ReadFileHead(path, head, sizeof head) && std::string_view(head, 5) == "%PDF-" &&
           head[5] >= '0' && head[5] <= '9';
}

std::unique_ptr<kit::FrameReader> OpenFramesAtSize(const WCHAR *path, int32_t width, int32_t height,
                                                   kit::Sequence *out) {
    return kit::OpenReader<PageReader>(path, width, height, out);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    Document document = Open(path);
    double w = 0, h = 0;
    if (!document || !PageOf(document.get(), 0, &w, &h)) return false;
    const int dpi = options.Get("dpi");
    const double pw = Pixels(w, dpi), ph = Pixels(h, dpi);
    if (!kit::WithinLimits(int64_t(std::min(pw, 1e12)), int64_t(std::min(ph, 1e12))))
        return kit::Fail("PDF: the first page at " + std::to_string(dpi) +
                         " dpi is larger than the decoding limits");
    info->width = int32_t(pw);
    info->height = int32_t(ph);
    return true;
}

}  // namespace faltrix::pdf

FALTRIX_KIT_DRAWN_INPUT(faltrix::pdf)
FALTRIX_KIT_SETTINGS(faltrix::pdf, faltrix::pdf::kTitle)
