// Helpers shared by the codec plug-in tests: loading a real plug-in from the build tree and
// answering its settings dialog, making DIB sections of every depth, reading them back, and
// comparing with Qt's decoders.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bundled_plugins.h"
#include "faltrix/plugin.h"

class QApplication;

namespace faltrix::testing {

using Bytes = std::vector<uint8_t>;

// Names the cases of a TEST_P by their `name` field.
inline constexpr auto kCaseName = [](const auto &info) { return std::string(info.param.name); };

// A plug-in library of the build tree (bin/plugins/<kind>/<format>.so), loaded with dlopen.
class CodecPlugin {
public:
    CodecPlugin(const std::string &format, const std::string &kind);  // kind: "input" or "output"
    explicit CodecPlugin(const std::filesystem::path &library);       // any other library
    ~CodecPlugin();
    CodecPlugin(const CodecPlugin &) = delete;
    CodecPlugin &operator=(const CodecPlugin &) = delete;

    bool loaded() const { return handle_ != nullptr; }
    // Why it is not loaded: the build left it out (NotBuilt), or dlopen's complaint.
    std::string NotBuilt() const { return notBuilt_; }
    std::string LoadError() const { return loadError_; }
    void *Symbol(const char *name) const;

    // GetPluginInfo into a buffer of `capacity` units; *answer gets the result.
    std::u16string Info(int32_t number, int32_t capacity = 1024, int32_t *answer = nullptr) const;
    int32_t IsSupported(const std::filesystem::path &file) const;
    // 0 and the size on success, as GetPictureInfo answers.
    int32_t PictureSize(const std::filesystem::path &file, int32_t *width, int32_t *height) const;
    // GetPictureDIB with CreateDIBSection as the allocator; progress calls are counted.
    HBITMAP Decode(const std::filesystem::path &file) const;
    // Selects the bitmap (none when null) into a fresh memory DC and calls SaveDIBPicture.
    int32_t Save(HBITMAP bitmap, const std::filesystem::path &file) const;
    // Every frame through OpenFrames, GetFrameDIB and CloseFrames: the sequence's record and
    // the frames with their delays (the caller deletes the bitmaps). Fails the open with its
    // answer in *answer (-1 when the plug-in has no frame calls); stops at the first frame
    // that gives no bitmap.
    struct Frames {
        FrameSequenceInfo info{};
        std::vector<HBITMAP> bitmaps;
        std::vector<int32_t> delays;
        ~Frames();
    };
    Frames DecodeFrames(const std::filesystem::path &file, int32_t *answer = nullptr) const;
    // BeginFrames, one AddFrame per bitmap (each selected into a fresh memory DC) and
    // EndFrames(writer, 1). The answer of the first call that failed (EndFrames(writer, 0)
    // follows a failed AddFrame), else EndFrames' answer; -1 without the frame calls.
    int32_t SaveFrames(const std::vector<HBITMAP> &bitmaps, const std::vector<int32_t> &delays,
                       int32_t loopCount, const std::filesystem::path &file) const;
    // GetLastFailureText on this thread, as Qt reads the UTF-16; empty when not exported.
    QString LastFailureText() const;
    std::string LastFailure() const { return LastFailureText().toStdString(); }

    // Progress reports of the last Decode / Save on this thread: calls, last done and total.
    struct Progress {
        int calls = 0;
        int32_t done = 0, total = 0;
        bool monotonic = true;
    };
    static Progress LastProgress();

private:
    void *handle_ = nullptr;
    std::string notBuilt_, loadError_;
};

// Skips the test when one of the plug-ins (pointers) was left out of the build for want of its
// library, and fails it when one the build made does not load.
#define FALTRIX_SKIP_UNLESS_LOADED(...)                                         \
    for (const ::faltrix::testing::CodecPlugin *plugin_ : {__VA_ARGS__})        \
        if (plugin_->loaded()) {                                                \
        } else if (plugin_->NotBuilt().empty()) FAIL() << plugin_->LoadError(); \
        else GTEST_SKIP() << plugin_->NotBuilt()

// The plug-in loaded once for the whole run, as the program keeps its chosen pair, so that
// settings hold from one test to the next.
const CodecPlugin &Loaded(const std::string &format, const std::string &kind);

// The application the settings dialogs run in (on the offscreen platform under ctest).
QApplication &App();
// Runs the plug-in's ConfigurationDlg: the named editors (spin box, check box or choice) get
// their values and the dialog is confirmed or cancelled. Gives the plug-in's answer.
int32_t AnswerSettings(const CodecPlugin &out, std::vector<std::pair<const char *, int>> values,
                       bool confirm, HWND parent = nullptr);

// SetPluginOption of the plug-in.
int32_t SetOption(const CodecPlugin &plugin, const char16_t *key, const char16_t *value);

// A test that changes plug-in settings. They hold for the whole run, as the plug-ins stay
// loaded, so those of each plug-in handed to Keep before the first change are put back when
// the test ends, also when an assertion stopped it: no failure changes the tests after it.
class KeepsSettings : public ::testing::Test {
protected:
    void Keep(const CodecPlugin &plugin);
    void TearDown() override;

private:
    std::vector<std::pair<const CodecPlugin *, std::vector<std::pair<std::string, int>>>> kept_;
};

// ---- DIB sections ------------------------------------------------------------------------

struct DibParams {
    int32_t width = 1, height = 1;
    int bitCount = 24;
    bool topDown = false;
    std::vector<RGBQUAD> palette;
    uint32_t masks[3] = {0, 0, 0};  // BI_BITFIELDS when any is set
    int32_t xPelsPerMeter = 0, yPelsPerMeter = 0;
};

// A path as the plug-ins take it, its bytes that are not UTF-8 escaped as the host escapes them.
std::u16string U16(const std::filesystem::path &file);
// A path as Qt's functions take it.
inline QString Q(const std::filesystem::path &file) {
    return QString::fromStdString(file.string());
}

// A bitmap the test owns, deleted when it goes; it stands for its handle:
// `const OwnedDib picture = in.Decode(file);`.
struct OwnedDib {
    HBITMAP bitmap;
    OwnedDib(HBITMAP b) : bitmap(b) {}
    OwnedDib(const OwnedDib &) = delete;
    ~OwnedDib() { DeleteObject(bitmap); }
    operator HBITMAP() const { return bitmap; }
};

// Creates a zeroed DIB section (owned by the caller: DeleteObject).
HBITMAP MakeDib(const DibParams &p, uint8_t **bits = nullptr, uint32_t *stride = nullptr);
// n colours of a ramp through the colour cube; n < 0: the even grey ramp of -n entries (0 to
// 255, as grey files decode to).
std::vector<RGBQUAD> TestPalette(int n);

// The layout of a DIB section as GetObjectW describes it, with its rows top to bottom.
struct DibView {
    bool ok = false;
    int32_t width = 0, height = 0;
    int bitCount = 0;
    bool topDown = false;
    uint32_t compression = 0;
    uint32_t masks[3] = {0, 0, 0};
    int32_t xPelsPerMeter = 0, yPelsPerMeter = 0;
    std::vector<RGBQUAD> palette;
    std::vector<std::vector<uint8_t>> rows;  // top first, each of the exact used bytes
};
DibView ViewDib(HBITMAP bitmap);

// The DIB as Qt's ARGB32 (palette and masks resolved; 32 bits with all alpha 0 are opaque).
QImage DibToImage(HBITMAP bitmap);

// Largest per-channel difference between two pictures of the same size, ignoring the colour
// of pixels both see as fully transparent; -1 when the sizes differ. *where gets the first
// worst pixel as "x,y: have #aarrggbb expected #aarrggbb".
int MaxDifference(const QImage &have, const QImage &expected, std::string *where = nullptr);
// The frames of an animation or the pages of a document as Qt's ARGB32, each one as
// DibToImage gives it.
std::vector<QImage> Images(const std::vector<HBITMAP> &bitmaps);
// As many frames as expected, each within maxDifference (MaxDifference) of its own; `who`
// (the reader) names them in failures.
void ExpectFrames(const std::vector<QImage> &have, const std::vector<QImage> &expected,
                  int maxDifference, const std::string &who);
// Mean per-channel difference of the colours (alpha ignored) of two same-sized pictures.
double MeanDifference(const QImage &have, const QImage &expected);

// Peak signal-to-noise ratio of the colours of two same-sized pictures, in dB; infinity when
// they are the same.
double Psnr(const QImage &have, const QImage &expected);

// A picture with gradients, fine lines and sharp edges, as ARGB32 (alpha 255 unless
// withAlpha, which adds a transparent band and a half-transparent one).
QImage TestChart(int width, int height, bool withAlpha = false);

// Puts an ARGB32 picture into a new DIB section of the given depth (16, 24 or 32).
HBITMAP ImageToDib(const QImage &image, int bitCount, bool topDown = false);
// The test chart as a DIB section at 100 x 72 dots per inch: palettised depths get indices
// that change every few pixels (palette: see TestPalette), 16 bits 5-5-5 or the 5-6-5 of
// `masks`, 32 bits without `alpha` alpha bytes all 0 (which counts as opaque).
HBITMAP ChartDib(int bits, bool topDown, int palette = 0, bool alpha = false, int w = 64,
                 int h = 48, const uint32_t *masks = nullptr);

// ---- Deep samples ------------------------------------------------------------------------

using Samples = std::vector<uint16_t>;
// Frames of 16-bit samples, rows packed; bits: the depth they hold (the sequence's sampleBits).
struct DeepPicture {
    int32_t bits = 0, channels = 0, width = 48, height = 32;
    std::vector<Samples> frames;
    std::string failure;  // the cause of the call that stopped reading
};
// Every frame through OpenFrames and GetFrameSamples (into rows padded past their samples, as a
// host may pad them), up to the first that fails; each frame must say the sequence's depth.
DeepPicture ReadDeep(const CodecPlugin &in, const std::filesystem::path &file);
// Through BeginFrames, AddFrameSamples (rows padded) and EndFrames; the cause when one fails.
std::string WriteDeep(const CodecPlugin &out, const DeepPicture &d,
                      const std::filesystem::path &file);
// GetPictureMetadata's item `key` (FALTRIX_METADATA_DROPPED, ...) as text; empty when none.
std::string MetadataItem(const CodecPlugin &in, const std::filesystem::path &file, const char *key);

// ---- Files -------------------------------------------------------------------------------

// Whether the program is on the PATH; a peer tool's exit code, its words to the terminal left
// out.
bool Have(const char *tool);
int RunQuietly(const QString &program, const QStringList &args);

// Debian's Python, which has Pillow (python3-pil).
inline constexpr const char *kPython = "/usr/bin/python3";
// Pillow (kPython with python3-pil) as a peer: whether it is there, and the frames or
// pages it reads from `file`, each as it composes it, with their durations and the loop count
// (-1: the file gives none); no frames when it cannot read the file.
struct PeerFrames {
    std::vector<QImage> frames;
    std::vector<int32_t> delays;
    int loop = -1;
};
bool HavePillow();
PeerFrames PillowFrames(const std::filesystem::path &file);

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir : public QTemporaryDir {
public:
    std::filesystem::path operator/(const std::string &name) const {
        return path().toStdString() + "/" + name;
    }
};

std::vector<uint8_t> ReadFile(const std::filesystem::path &file);
// Writes the first `size` bytes (all when not given) as the file.
void WriteFile(const std::filesystem::path &file, const Bytes &bytes, size_t size = SIZE_MAX);

// Runs body with the process's file-size limit at `bytes`: writes past it fail with EFBIG,
// as on a full disk.
void UnderFileSizeLimit(uint64_t bytes, const std::function<void()> &body);

// ../shared/corpus/<name> beside the project, or empty when it is not there.
std::filesystem::path SharedCorpus(const std::string &name);
// samples/<name> of the project.
std::filesystem::path SampleFile(const std::string &name);
// tests/data of the project: the test files of each plug-in (see its README.md).
std::filesystem::path DataDir();

}  // namespace faltrix::testing
