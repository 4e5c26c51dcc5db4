// Helpers shared by the codec plug-in tests.
#include "codec_test_support.h"

#include <gtest/gtest.h>

#include "faltrix/dib_layout.h"
#include "faltrix/text.h"

#include <dlfcn.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QProcess>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTimer>

namespace faltrix::testing {
namespace fs = std::filesystem;

namespace {

fs::path BuildDir() {
    return qEnvironmentVariable("FALTRIX_BUILD_DIR", FALTRIX_TEST_BUILD_DIR).toStdString();
}
fs::path SourceDir() {
    return qEnvironmentVariable("FALTRIX_SOURCE_DIR", FALTRIX_TEST_SOURCE_DIR).toStdString();
}

thread_local CodecPlugin::Progress t_progress;

int32_t OnProgress(int32_t done, int32_t total, int32_t) {
    if (t_progress.calls > 0 && int64_t(done) * t_progress.total < int64_t(t_progress.done) * total)
        t_progress.monotonic = false;
    ++t_progress.calls;
    t_progress.done = done;
    t_progress.total = total;
    return 1;
}

// The picture in a new section of p's layout: Qt's layouts of these formats are the DIB's
// (B, G, R(, A) bytes; 0-5-5-5 words, or 5-6-5 under masks).
HBITMAP ImageInto(const QImage &image, const DibParams &p) {
    const QImage in = image.convertToFormat(
        p.bitCount == 16   ? (p.masks[0] ? QImage::Format_RGB16 : QImage::Format_RGB555)
        : p.bitCount == 24 ? QImage::Format_BGR888
                           : QImage::Format_ARGB32);
    uint8_t *bits = nullptr;
    uint32_t stride = 0;
    HBITMAP b = MakeDib(p, &bits, &stride);
    for (int y = 0; b && y < p.height; ++y)
        std::memcpy(DibRow(bits, stride, p.height, p.topDown, y), in.constScanLine(y),
                    size_t(p.width) * size_t(p.bitCount / 8));
    return b;
}

}  // namespace

std::u16string U16(const fs::path &file) { return PathBytesToUtf16(file.native()); }

CodecPlugin::CodecPlugin(const std::string &format, const std::string &kind) {
    const fs::path file = BuildDir() / "bin" / "plugins" / kind / (format + ".so");
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_) return;
    loadError_ = dlerror();
    notBuilt_ = faltrix::testing::NotBuilt(kind, format);
}

CodecPlugin::CodecPlugin(const fs::path &library)
    : handle_(dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) loadError_ = dlerror();
}

CodecPlugin::~CodecPlugin() {
    if (handle_) dlclose(handle_);
}

void *CodecPlugin::Symbol(const char *name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

std::u16string CodecPlugin::Info(int32_t number, int32_t capacity, int32_t *answer) const {
    auto fn = reinterpret_cast<GetPluginInfoFn>(Symbol("GetPluginInfo"));
    std::vector<WCHAR> buffer(size_t(capacity) + 8, u'#');
    const int32_t n = fn ? fn(number, buffer.data(), capacity) : -1;
    if (answer) *answer = n;
    return n > 0 ? std::u16string(buffer.data()) : std::u16string();
}

int32_t CodecPlugin::IsSupported(const fs::path &file) const {
    auto fn = reinterpret_cast<IsSupportedFn>(Symbol("IsSupported"));
    return fn ? fn(U16(file).c_str(), 0, 0) : -1;
}

int32_t CodecPlugin::PictureSize(const fs::path &file, int32_t *width, int32_t *height) const {
    auto fn = reinterpret_cast<GetPictureInfoFn>(Symbol("GetPictureInfo"));
    if (!fn) return -1;
    PictureInfo info;
    std::memset(&info, 0x5A, sizeof info);
    const int32_t r = fn(U16(file).c_str(), 0, 0, &info);
    if (r == 0) *width = info.width, *height = info.height;
    return r;
}

HBITMAP CodecPlugin::Decode(const fs::path &file) const {
    t_progress = Progress{};
    auto fn = reinterpret_cast<GetPictureDIBFn>(Symbol("GetPictureDIB"));
    return fn ? fn(U16(file).c_str(), 0, 0, OnProgress, 0, CreateDIBSection) : nullptr;
}

int32_t CodecPlugin::Save(HBITMAP bitmap, const fs::path &file) const {
    t_progress = Progress{};
    auto fn = reinterpret_cast<SaveDIBPictureFn>(Symbol("SaveDIBPicture"));
    HDC dc = CreateCompatibleDC(nullptr);
    if (bitmap) SelectObject(dc, bitmap);
    const int32_t r = fn ? fn(dc, U16(file).c_str(), 0, 0, OnProgress, 0) : -1;
    DeleteDC(dc);
    return r;
}

CodecPlugin::Frames::~Frames() {
    for (HBITMAP bitmap : bitmaps) DeleteObject(bitmap);
}

CodecPlugin::Frames CodecPlugin::DecodeFrames(const fs::path &file, int32_t *answer) const {
    Frames frames;
    auto open = reinterpret_cast<OpenFramesFn>(Symbol("OpenFrames"));
    auto get = reinterpret_cast<GetFrameDIBFn>(Symbol("GetFrameDIB"));
    auto close = reinterpret_cast<CloseFramesFn>(Symbol("CloseFrames"));
    int32_t opened = -1;
    void *reader = nullptr;
    frames.info.size = sizeof frames.info;
    if (open && get && close) opened = open(U16(file).c_str(), &frames.info, &reader);
    if (answer) *answer = opened;
    if (opened != 0) return frames;
    for (int32_t k = 0; k < frames.info.frameCount; ++k) {
        FrameInfo frame{sizeof frame, 0, {}};
        HBITMAP bitmap = get(reader, k, &frame, OnProgress, 0, CreateDIBSection);
        if (!bitmap) break;
        frames.bitmaps.push_back(bitmap);
        frames.delays.push_back(frame.delay);
    }
    close(reader);
    return frames;
}

int32_t CodecPlugin::SaveFrames(const std::vector<HBITMAP> &bitmaps,
                                const std::vector<int32_t> &delays, int32_t loopCount,
                                const fs::path &file) const {
    auto begin = reinterpret_cast<BeginFramesFn>(Symbol("BeginFrames"));
    auto add = reinterpret_cast<AddFrameFn>(Symbol("AddFrame"));
    auto end = reinterpret_cast<EndFramesFn>(Symbol("EndFrames"));
    if (!begin || !add || !end || bitmaps.empty()) return -1;
    BITMAP bm{};
    GetObjectW(bitmaps[0], sizeof bm, &bm);
    FrameSequenceInfo info{sizeof info, bm.bmWidth, bm.bmHeight, int32_t(bitmaps.size()),
                           loopCount,   0,          0,           {}};
    void *writer = nullptr;
    if (const int32_t r = begin(U16(file).c_str(), &info, &writer); r != 0) return r;
    for (size_t k = 0; k < bitmaps.size(); ++k) {
        FrameInfo frame{sizeof frame, 0, {}};
        frame.delay = k < delays.size() ? delays[k] : 0;
        HDC dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, bitmaps[k]);
        const int32_t r = add(writer, dc, &frame, OnProgress, 0);
        DeleteDC(dc);
        if (r != 0) {
            end(writer, 0);
            return r;
        }
    }
    return end(writer, 1);
}

QString CodecPlugin::LastFailureText() const {
    auto fn = reinterpret_cast<GetLastFailureTextFn>(Symbol("GetLastFailureText"));
    WCHAR buffer[512];
    return fn ? QString::fromUtf16(buffer, fn(buffer, 512)) : QString();
}

CodecPlugin::Progress CodecPlugin::LastProgress() { return t_progress; }

HBITMAP MakeDib(const DibParams &p, uint8_t **bits, uint32_t *stride) {
    struct {
        BITMAPINFOHEADER h;
        RGBQUAD colors[256];
    } info{};
    info.h.biSize = sizeof(BITMAPINFOHEADER);
    info.h.biWidth = p.width;
    info.h.biHeight = p.topDown ? -p.height : p.height;
    info.h.biPlanes = 1;
    info.h.biBitCount = WORD(p.bitCount);
    info.h.biXPelsPerMeter = p.xPelsPerMeter;
    info.h.biYPelsPerMeter = p.yPelsPerMeter;
    if (p.masks[0] | p.masks[1] | p.masks[2]) {
        info.h.biCompression = BI_BITFIELDS;
        std::memcpy(info.colors, p.masks, sizeof p.masks);
    } else if (p.bitCount <= 8) {
        info.h.biClrUsed = DWORD(p.palette.size());
        std::memcpy(info.colors, p.palette.data(), p.palette.size() * sizeof(RGBQUAD));
    }
    void *memory = nullptr;
    HBITMAP b = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS,
                                 &memory, nullptr, 0);
    if (bits) *bits = static_cast<uint8_t *>(memory);
    if (stride) *stride = DibStride(p.width, p.bitCount);
    return b;
}

std::vector<RGBQUAD> TestPalette(int n) {
    std::vector<RGBQUAD> p;
    for (int i = 0; i < std::abs(n); ++i) {
        const auto grey = uint8_t(n < -1 ? i * 255 / (-n - 1) : 0);
        p.push_back(
            n < 0 ? RGBQUAD{grey, grey, grey, 0}
                  : RGBQUAD{uint8_t(i * 37), uint8_t(255 - i * 11), uint8_t(i * 73 % 256), 0});
    }
    return p;
}

DibView ViewDib(HBITMAP bitmap) {
    DibView v;
    DIBSECTION ds;
    if (!bitmap || GetObjectW(bitmap, sizeof ds, &ds) != int(sizeof ds)) return v;
    v.width = ds.dsBm.bmWidth;
    v.height = ds.dsBm.bmHeight;
    v.bitCount = ds.dsBm.bmBitsPixel;
    v.topDown = ds.dsBmih.biHeight < 0;
    v.compression = ds.dsBmih.biCompression;
    std::memcpy(v.masks, ds.dsBitfields, sizeof v.masks);
    v.xPelsPerMeter = ds.dsBmih.biXPelsPerMeter;
    v.yPelsPerMeter = ds.dsBmih.biYPelsPerMeter;
    if (v.bitCount <= 8) {
        HDC dc = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(dc, bitmap);
        RGBQUAD table[256];
        const UINT n = GetDIBColorTable(dc, 0, 256, table);
        v.palette.assign(table, table + n);
        SelectObject(dc, old);
        DeleteDC(dc);
    }
    const size_t used = size_t((int64_t(v.width) * v.bitCount + 7) / 8);
    // Bits past the last pixel of a 1- or 4-bit row are padding, not picture.
    const int spare = int(used * 8 - size_t(v.width) * size_t(v.bitCount));
    const auto *base = static_cast<const uint8_t *>(ds.dsBm.bmBits);
    for (int32_t y = 0; y < v.height; ++y) {
        const uint8_t *row =
            base + size_t(v.topDown ? y : v.height - 1 - y) * size_t(ds.dsBm.bmWidthBytes);
        v.rows.emplace_back(row, row + used);
        if (spare > 0) v.rows.back().back() &= uint8_t(0xFF << spare);
    }
    v.ok = true;
    return v;
}

QImage DibToImage(HBITMAP bitmap) {
    const DibView v = ViewDib(bitmap);
    if (!v.ok) return {};
    QImage image(v.width, v.height, QImage::Format_ARGB32);
    uint32_t r = 0xFF0000, g = 0xFF00, b = 0xFF;
    if (v.bitCount == 16) r = 0x7C00, g = 0x3E0, b = 0x1F;
    if (v.compression == BI_BITFIELDS) r = v.masks[0], g = v.masks[1], b = v.masks[2];
    const uint32_t a = v.bitCount == 32 ? ~(r | g | b) : 0;
    const MaskedChannel red(r), green(g), blue(b), alpha(a);
    const int bytes = v.bitCount / 8;
    bool anyAlpha = false;
    for (const auto &row : v.rows)
        for (int32_t x = 0; a && x < v.width && !anyAlpha; ++x) {
            uint32_t px;
            std::memcpy(&px, &row[4 * size_t(x)], 4);
            anyAlpha = (px & a) != 0;
        }
    for (int32_t y = 0; y < v.height; ++y) {
        const uint8_t *row = v.rows[size_t(y)].data();
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int32_t x = 0; x < v.width; ++x) {
            if (v.bitCount <= 8) {
                const uint32_t i = ReadDibIndex(row, size_t(x), v.bitCount);
                const RGBQUAD q = i < v.palette.size() ? v.palette[i] : RGBQUAD{0, 0, 0, 0};
                out[x] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
            } else {
                uint32_t px = 0;
                std::memcpy(&px, row + x * bytes, size_t(bytes));
                out[x] = qRgba(red(px), green(px), blue(px), anyAlpha ? alpha(px) : 255);
            }
        }
    }
    return image;
}

int MaxDifference(const QImage &haveIn, const QImage &expectedIn, std::string *where) {
    if (haveIn.size() != expectedIn.size()) return -1;
    const QImage have = haveIn.convertToFormat(QImage::Format_ARGB32);
    const QImage expected = expectedIn.convertToFormat(QImage::Format_ARGB32);
    int worst = 0;
    for (int y = 0; y < have.height(); ++y)
        for (int x = 0; x < have.width(); ++x) {
            const QRgb h = have.pixel(x, y), e = expected.pixel(x, y);
            if (qAlpha(h) == 0 && qAlpha(e) == 0) continue;
            const int d =
                std::max({std::abs(qRed(h) - qRed(e)), std::abs(qGreen(h) - qGreen(e)),
                          std::abs(qBlue(h) - qBlue(e)), std::abs(qAlpha(h) - qAlpha(e))});
            if (d > worst && where)
                *where = std::to_string(x) + "," + std::to_string(y) + ": have #" +
                         QString::number(h, 16).toStdString() + " expected #" +
                         QString::number(e, 16).toStdString();
            worst = std::max(worst, d);
        }
    return worst;
}

std::vector<QImage> Images(const std::vector<HBITMAP> &bitmaps) {
    std::vector<QImage> images;
    for (HBITMAP bitmap : bitmaps) images.push_back(DibToImage(bitmap));
    return images;
}

void ExpectFrames(const std::vector<QImage> &have, const std::vector<QImage> &expected,
                  int maxDifference, const std::string &who) {
    ASSERT_EQ(have.size(), expected.size()) << who;
    for (size_t k = 0; k < have.size(); ++k) {
        std::string where;
        const int d = MaxDifference(have[k], expected[k], &where);
        EXPECT_TRUE(d >= 0 && d <= maxDifference) << who << ": frame " << k << " " << where;
    }
}

double MeanDifference(const QImage &a, const QImage &b) {
    double total = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            total += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                     std::abs(qBlue(p) - qBlue(q));
        }
    return total / (3.0 * a.width() * a.height());
}

QImage TestChart(int width, int height, bool withAlpha) {
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            QRgb c;
            if (y < height / 3) {  // gradients: red across, green down, blue against both
                c = qRgb(x * 255 / std::max(1, width - 1), y * 255 / std::max(1, height / 3),
                         255 - (x + y) * 255 / std::max(1, width + height / 3));
            } else if (y < 2 * height / 3) {  // fine lines: one-pixel stripes of both directions
                const bool line = (x < width / 2) ? (x % 2 == 0) : (y % 2 == 0);
                c = line ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
            } else {  // sharp edges: blocks of pure colours and a diagonal
                static const QRgb blocks[] = {
                    qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(0, 0, 255),     qRgb(255, 255, 0),
                    qRgb(0, 255, 255), qRgb(255, 0, 255), qRgb(128, 128, 128), qRgb(30, 60, 90)};
                c = (x > (y - 2 * height / 3) * 2) ? blocks[(x * 8 / std::max(1, width)) % 8]
                                                   : qRgb(20, 20, 20);
            }
            if (withAlpha) {
                if (x >= width * 7 / 8) c &= 0x00FFFFFF;  // fully transparent band
                else if (x >= width * 6 / 8) c = (c & 0x00FFFFFF) | (128u << 24);
            }
            out[x] = c;
        }
    }
    return image;
}

double Psnr(const QImage &have, const QImage &expected) {
    double sum = 0;
    for (int y = 0; y < have.height(); ++y)
        for (int x = 0; x < have.width(); ++x)
            for (int shift : {16, 8, 0}) {
                const int d = int(have.pixel(x, y) >> shift & 0xFF) -
                              int(expected.pixel(x, y) >> shift & 0xFF);
                sum += d * d;
            }
    return 10 * std::log10(255.0 * 255.0 * 3 * have.width() * have.height() / sum);
}

int32_t SetOption(const CodecPlugin &plugin, const char16_t *key, const char16_t *value) {
    return reinterpret_cast<SetPluginOptionFn>(plugin.Symbol("SetPluginOption"))(key, value);
}

HBITMAP ImageToDib(const QImage &image, int bitCount, bool topDown) {
    DibParams p;
    p.width = image.width(), p.height = image.height(), p.bitCount = bitCount, p.topDown = topDown;
    return ImageInto(image, p);
}

HBITMAP ChartDib(int bits, bool topDown, int palette, bool alpha, int w, int h,
                 const uint32_t *masks) {
    DibParams p;
    p.width = w, p.height = h, p.bitCount = bits, p.topDown = topDown,
    p.palette = TestPalette(palette);
    if (masks) std::memcpy(p.masks, masks, sizeof p.masks);
    p.xPelsPerMeter = 3937, p.yPelsPerMeter = 2835;  // 100 and 72 dots per inch
    if (bits > 8) {
        QImage chart = TestChart(w, h, alpha);
        for (int i = 0; bits == 32 && !alpha && i < w * h; ++i)
            reinterpret_cast<QRgb *>(chart.bits())[i] &= 0x00FFFFFF;
        return ImageInto(chart, p);
    }
    uint8_t *data = nullptr;
    uint32_t stride = 0;
    HBITMAP b = MakeDib(p, &data, &stride);
    for (int y = 0; b && y < h; ++y)
        for (int x = 0; x < w; ++x)
            WriteDibIndex(DibRow(data, stride, h, topDown, y), size_t(x), bits,
                          uint32_t((x / 3 + y / 5) % p.palette.size()));
    return b;
}

const CodecPlugin &Loaded(const std::string &format, const std::string &kind) {
    static std::map<std::string, std::unique_ptr<CodecPlugin>> loaded;
    auto &p = loaded[format + "/" + kind];
    if (!p) p = std::make_unique<CodecPlugin>(format, kind);
    return *p;
}

QApplication &App() {
    static int argc = 1;
    static char name[] = "codec_test", *argv[] = {name, nullptr};
    static QApplication *app =
        new QApplication(argc, argv);  // never destroyed: plug-ins outlive it
    return *app;
}

namespace {

// Runs the plug-in's ConfigurationDlg, hands the dialog to `fill` once it shows, then confirms
// or cancels it. Gives the plug-in's answer.
int32_t InSettingsDialog(const CodecPlugin &plugin, std::function<void(QWidget *)> fill,
                         bool confirm, HWND parent) {
    App();
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        timer->stop();
        timer->deleteLater();
        fill(dialog);
        QMetaObject::invokeMethod(dialog, confirm ? "accept" : "reject");
    });
    timer->start(10);
    auto fn = reinterpret_cast<ConfigurationDlgFn>(plugin.Symbol("ConfigurationDlg"));
    return fn ? fn(parent, 0) : -1;
}

}  // namespace

int32_t AnswerSettings(const CodecPlugin &out, std::vector<std::pair<const char *, int>> values,
                       bool confirm, HWND parent) {
    return InSettingsDialog(
        out,
        [&](QWidget *dialog) {
            for (const auto &[editor, v] : values) {
                if (auto *spin = dialog->findChild<QSpinBox *>(editor)) spin->setValue(v);
                if (auto *box = dialog->findChild<QCheckBox *>(editor)) box->setChecked(v != 0);
                if (auto *combo = dialog->findChild<QComboBox *>(editor)) combo->setCurrentIndex(v);
            }
        },
        confirm, parent);
}

// The dialog shows every setting, each editor named by its label: they are read from it.
void KeepsSettings::Keep(const CodecPlugin &plugin) {
    std::vector<std::pair<std::string, int>> values;
    InSettingsDialog(
        plugin,
        [&](QWidget *dialog) {
            for (auto *spin : dialog->findChildren<QSpinBox *>())
                values.emplace_back(spin->objectName().toStdString(), spin->value());
            for (auto *box : dialog->findChildren<QCheckBox *>())
                values.emplace_back(box->objectName().toStdString(), box->isChecked());
            for (auto *combo : dialog->findChildren<QComboBox *>())
                values.emplace_back(combo->objectName().toStdString(), combo->currentIndex());
        },
        false, nullptr);
    kept_.emplace_back(&plugin, std::move(values));
}

void KeepsSettings::TearDown() {
    for (const auto &[plugin, values] : kept_) {
        std::vector<std::pair<const char *, int>> answer;
        for (const auto &[label, value] : values) answer.emplace_back(label.c_str(), value);
        EXPECT_EQ(AnswerSettings(*plugin, answer, true), 0) << "settings not put back";
    }
}

bool Have(const char *tool) { return !QStandardPaths::findExecutable(tool).isEmpty(); }

int RunQuietly(const QString &program, const QStringList &args) {
    return QProcess::execute(
        "/bin/sh", QStringList{"-c", R"(exec "$0" "$@" >/dev/null 2>&1)", program} + args);
}

bool HavePillow() { return RunQuietly(kPython, {"-c", "import PIL.ImageSequence"}) == 0; }

PeerFrames PillowFrames(const fs::path &file) {
    static const char *const kDump = R"(import sys; from PIL import Image
im = Image.open(sys.argv[1]); d = sys.argv[2]; out = [im.info.get('loop', -1)]
for k in range(getattr(im, 'n_frames', 1)):
    im.seek(k); im.convert('RGBA').save('%s/%d.png' % (d, k))
    out.append(round(im.info.get('duration') or 0))
open(d + '/info.txt', 'w').write(' '.join(map(str, out))))";
    TempDir dir;
    PeerFrames peer;
    if (RunQuietly(kPython, {"-c", kDump, Q(file), dir.path()})) return peer;
    std::ifstream info(dir / "info.txt");
    info >> peer.loop;
    for (int32_t delay; info >> delay; peer.delays.push_back(delay))
        peer.frames.emplace_back(dir.path() + QString("/%1.png").arg(peer.delays.size()));
    return peer;
}

std::vector<uint8_t> ReadFile(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path &file, const Bytes &bytes, size_t size) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               std::streamsize(std::min(size, bytes.size())));
}

void UnderFileSizeLimit(uint64_t bytes, const std::function<void()> &body) {
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old, limit;
    getrlimit(RLIMIT_FSIZE, &old);
    limit = old;
    limit.rlim_cur = rlim_t(bytes);
    setrlimit(RLIMIT_FSIZE, &limit);
    body();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
}

namespace {
// The host's memory for a frame, rows padded past their samples.
void *AllocatePadded(SamplePicture *p) {
    p->stride = int64_t(p->width) * p->channels * 2 + 6;
    p->owner = new Samples(size_t(p->stride / 2 * p->height));
    return p->data = static_cast<Samples *>(p->owner)->data();
}
// The context of KeepItem: the key looked for and its value.
using Item = std::pair<std::string_view, std::string>;
void KeepItem(void *into, const char *key, const void *bytes, int32_t size) {
    if (auto *item = static_cast<Item *>(into); item->first == key)
        item->second.assign(static_cast<const char *>(bytes), size_t(size));
}
}  // namespace

DeepPicture ReadDeep(const CodecPlugin &in, const fs::path &file) {
    FrameSequenceInfo info{sizeof info, 0, 0, 0, 0, 0, 0, {}};
    void *reader = nullptr;
    DeepPicture d;
    if (reinterpret_cast<OpenFramesFn>(in.Symbol("OpenFrames"))(U16(file).c_str(), &info, &reader))
        return d.failure = in.LastFailure(), d;
    d = {info.sampleBits, 0, info.width, info.height, {}, {}};
    for (int32_t k = 0; k < info.frameCount; ++k) {
        FrameInfo frame{sizeof frame, 0, {}};
        SamplePicture p{sizeof p, info.width, info.height, 0, 0, 0, 0, nullptr, nullptr, {}};
        const int32_t answer = reinterpret_cast<GetFrameSamplesFn>(in.Symbol("GetFrameSamples"))(
            reader, k, &frame, &p, nullptr, 0, AllocatePadded);
        const std::unique_ptr<Samples> owned(static_cast<Samples *>(p.owner));
        if (answer != 0) {
            d.failure = in.LastFailure();
            break;
        }
        EXPECT_EQ(p.significantBits, info.sampleBits);
        d.channels = p.channels;
        Samples &to = d.frames.emplace_back();
        for (int32_t y = 0; y < p.height; ++y)
            to.insert(to.end(), &(*owned)[p.stride / 2 * y],
                      &(*owned)[p.stride / 2 * y + p.width * p.channels]);
    }
    reinterpret_cast<CloseFramesFn>(in.Symbol("CloseFrames"))(reader);
    return d;
}

std::string WriteDeep(const CodecPlugin &out, const DeepPicture &d, const fs::path &file) {
    const int32_t count = int32_t(d.frames.size()), row = d.width * d.channels, stride = row + 5;
    FrameSequenceInfo info{sizeof info, d.width, d.height, count, 0, 0, d.bits, {}};
    void *writer = nullptr;
    const auto end = reinterpret_cast<EndFramesFn>(out.Symbol("EndFrames"));
    if (reinterpret_cast<BeginFramesFn>(out.Symbol("BeginFrames"))(U16(file).c_str(), &info,
                                                                   &writer))
        return out.LastFailure();
    for (const Samples &frame : d.frames) {
        Samples padded(size_t(stride * d.height));
        for (int32_t y = 0; y < d.height; ++y)
            std::copy_n(&frame[size_t(row * y)], row, &padded[size_t(stride * y)]);
        SamplePicture p{sizeof p, d.width,    d.height,      d.channels, 16,
                        d.bits,   stride * 2, padded.data(), nullptr,    {}};
        FrameInfo delay{sizeof delay, 40, {}};
        if (reinterpret_cast<AddFrameSamplesFn>(out.Symbol("AddFrameSamples"))(writer, &p, &delay,
                                                                               nullptr, 0))
            return end(writer, 0), out.LastFailure();
    }
    return end(writer, 1) == 0 ? "" : out.LastFailure();
}

std::string MetadataItem(const CodecPlugin &in, const fs::path &file, const char *key) {
    Item item{key, ""};
    EXPECT_EQ(reinterpret_cast<GetPictureMetadataFn>(in.Symbol("GetPictureMetadata"))(
                  U16(file).c_str(), KeepItem, &item),
              0);
    return item.second;
}

fs::path SharedCorpus(const std::string &name) {
    const fs::path p = SourceDir().parent_path() / "shared" / "corpus" / name;
    std::error_code ec;
    return fs::exists(p, ec) ? p : fs::path();
}

fs::path SampleFile(const std::string &name) { return SourceDir() / "samples" / name; }

fs::path DataDir() { return SourceDir() / "tests" / "data"; }

}  // namespace faltrix::testing
