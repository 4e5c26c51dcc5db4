// The ICO and CUR output plug-ins, one library each from this file (FALTRIX_ICO_OUTPUT_CUR
// 0 or 1): a cursor is an icon whose entries name a hotspot, and it is chosen as a format of
// its own. Options:
//   sizes    the square sizes to store, 1 to 256, e.g. "16,32,48,256". Unset (empty): for a
//            square picture of 16 pixels or more, the sizes 16, 24, 32, 48, 64, 128 and 256
//            up to its own, and its own size too when below 256; for any other picture its
//            own size alone, not made square (fitted to a square of 256 when a side is larger).
//   hotspot  (cursors) "x,y" in the picture's pixels, 0,0 by default; scaled with each size.
// The Detail dialog offers a few sets of sizes and the hotspot as two numbers.
// Each size is scaled from the picture by a box filter over premultiplied alpha, aspect kept
// by centring on a transparent square. Entries of 256 pixels are PNG, as Windows stores them;
// the rest 32-bit BMP with an AND mask (1 where alpha is 0). Written as frames (an icon of
// several sizes read as pages), each frame is an entry of its own: frames larger than 256 are
// fitted to 256, and a frame after the first whose pixels beyond a smaller standard icon size
// at its top-left are all transparent is stored at that size, which undoes the padding the
// reader gave it on the largest entry's canvas.
#include <algorithm>
#include <mutex>
#include <string>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/settings_dialog.h"
#include "ico_format.h"
#include "ico_scale.h"

#ifndef FALTRIX_ICO_OUTPUT_CUR
#error "FALTRIX_ICO_OUTPUT_CUR is 1 for the CUR plug-in, 0 for the ICO one"
#endif

namespace faltrix::ico::writer {
namespace {

constexpr bool kCursor = FALTRIX_ICO_OUTPUT_CUR != 0;
constexpr const char *kName = kCursor ? "CUR" : "ICO";
constexpr int32_t kStandardSizes[] = {16, 24, 32, 48, 64, 128, 256};
// The sizes a smaller frame may have been padded from (see the head of the file).
constexpr int32_t kPaddedSizes[] = {16, 20, 24, 32, 40, 48, 64, 72, 96, 128};

kit::FormatInfo Format() {
    kit::FormatInfo format = ico::Format();
    if (kCursor) format.writePatterns = {{u"*.cur", u"Windows cursors"}};
    return format;
}

// ---- Options ------------------------------------------------------------------------------

struct Settings {
    std::vector<int32_t> sizes;  // ascending; empty: the default set
    int32_t hotX = 0, hotY = 0;
};
std::mutex g_mutex;
Settings g_settings;

Settings Current() {
    std::lock_guard lock(g_mutex);
    return g_settings;
}

// Whole numbers separated by commas, each within 0..most (none in an empty text); false for
// anything else.
bool ParseNumbers(std::u16string_view text, int32_t most, std::vector<int32_t> *out) {
    if (text.empty()) return true;
    int64_t value = -1;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char16_t c = i < text.size() ? text[i] : u',';
        if (c == u' ') continue;
        if (c >= u'0' && c <= u'9') {
            value = std::max<int64_t>(value, 0) * 10 + (c - u'0');
            if (value > most) return false;
        } else if (c == u',' && value >= 0) {
            out->push_back(int32_t(value));
            value = -1;
        } else {
            return false;
        }
    }
    return true;
}

bool SetOption(std::u16string_view key, std::u16string_view value) {
    std::vector<int32_t> numbers;
    if (key == u"sizes") {
        if (!ParseNumbers(value, 100000, &numbers) ||
            std::any_of(numbers.begin(), numbers.end(),
                        [](int32_t s) { return s < 1 || s > kMaxStoredSide; }))
            return kit::Fail(std::string(kName) +
                             ": sizes are whole numbers from 1 to 256 separated by commas");
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        std::lock_guard lock(g_mutex);
        g_settings.sizes = numbers;
        return true;
    }
    if (kCursor && key == u"hotspot") {
        if (!ParseNumbers(value, 65535, &numbers) || numbers.size() != 2)
            return kit::Fail("CUR: the hotspot is two whole numbers, x,y");
        std::lock_guard lock(g_mutex);
        g_settings.hotX = numbers[0];
        g_settings.hotY = numbers[1];
        return true;
    }
    return kit::Fail(std::string(kName) + ": the options are sizes" +
                     (kCursor ? " and hotspot" : ""));
}

// The Detail dialog's choices of sizes; the first is the default set.
const std::vector<int32_t> kPresets[] = {
    {}, {16, 32, 48, 256}, {16, 24, 32, 48, 64, 128, 256}, {16, 32, 48}, {256}};
// Short, for narrow screens: "Default" is the set the option's head describes, "16 to 256"
// every usual size.
const char *const kPresetNames[] = {"Default", "16, 32, 48, 256", "16 to 256", "16, 32, 48", "256"};

// The Detail dialog's rows: the sizes and, for a cursor, the hotspot's x and y, with the
// values of `now`. Sizes the option set that no choice has are offered as they are.
std::vector<kit::Setting> Form(const Settings &now) {
    kit::Setting sizes{kit::Setting::Kind::Choice, "sizes", "Sizes", 0, 0, {}, 0};
    sizes.choices.assign(std::begin(kPresetNames), std::end(kPresetNames));
    const auto preset = std::find(std::begin(kPresets), std::end(kPresets), now.sizes);
    sizes.value = int(preset - std::begin(kPresets));
    if (preset == std::end(kPresets)) {
        std::string asked;
        for (int32_t side : now.sizes) asked += (asked.empty() ? "" : ", ") + std::to_string(side);
        sizes.choices.push_back(asked);
    }
    sizes.maximum = int(sizes.choices.size()) - 1;
    std::vector<kit::Setting> form{sizes};
    if (kCursor) {
        form.push_back(
            {kit::Setting::Kind::Integer, "hotspot-x", "Hotspot x", 0, 65535, {}, now.hotX});
        form.push_back(
            {kit::Setting::Kind::Integer, "hotspot-y", "Hotspot y", 0, 65535, {}, now.hotY});
    }
    return form;
}

// The settings the rows give; the choice past the presets keeps the option's sizes.
void Take(const std::vector<kit::Setting> &form) {
    std::lock_guard lock(g_mutex);
    if (size_t(form[0].value) < std::size(kPresets)) g_settings.sizes = kPresets[form[0].value];
    if (kCursor) {
        g_settings.hotX = form[1].value;
        g_settings.hotY = form[2].value;
    }
}

const std::string kTitle = std::string(kName) + " output";

// The values the dialog program kept from its last run, taken when the plug-in is loaded.
[[maybe_unused]] const bool g_kept = [] {
    std::vector<kit::Setting> form = Form(Settings{});
    for (kit::Setting &row : form)
        row.value = kit::KeptValue(
            kTitle, row.key, row.label, row.value, row.minimum,
            row.kind == kit::Setting::Kind::Choice ? int(std::size(kPresets)) - 1 : row.maximum);
    Take(form);
    return true;
}();

bool Configure(HWND parent) {
    std::vector<kit::Setting> form = Form(Current());
    if (!kit::ShowSettingsDialog(parent, kTitle, &form)) return false;
    Take(form);
    return true;
}

void Answer(std::string_view text, WCHAR *buffer, int32_t length) {
    if (!buffer || length < 1) return;
    const size_t n = std::min(text.size(), size_t(length - 1));
    for (size_t i = 0; i < n; ++i) buffer[i] = WCHAR(text[i]);
    buffer[n] = 0;
}

// ---- Entries ------------------------------------------------------------------------------

struct Stored {
    Pixels pixels;
    int32_t hotX = 0, hotY = 0;
};

// The entry as a BMP without its file header: 32-bit colour rows, then the AND mask.
std::vector<uint8_t> EncodeBmp(const Pixels &p) {
    const size_t maskStride = size_t((p.width + 31) / 32 * 4);
    const size_t xorBytes = size_t(p.width) * size_t(p.height) * 4;
    std::vector<uint8_t> out(kInfoHeaderSize + xorBytes + maskStride * size_t(p.height), 0);
    Put32(&out[0], kInfoHeaderSize);
    Put32(&out[4], uint32_t(p.width));
    Put32(&out[8], uint32_t(p.height) * 2);  // the colour rows and the mask's
    Put16(&out[12], 1);
    Put16(&out[14], 32);
    Put32(&out[20], uint32_t(out.size() - kInfoHeaderSize));
    for (int32_t y = 0; y < p.height; ++y) {  // bottom-up
        const uint8_t *in = p.bgra.data() + size_t(p.height - 1 - y) * size_t(p.width) * 4;
        std::copy_n(in, size_t(p.width) * 4, &out[kInfoHeaderSize + size_t(y) * p.width * 4]);
        uint8_t *mask = &out[kInfoHeaderSize + xorBytes + size_t(y) * maskStride];
        for (int32_t x = 0; x < p.width; ++x)
            if (in[4 * x + 3] == 0) mask[x / 8] |= uint8_t(0x80 >> (x % 8));
    }
    return out;
}

// The whole file in memory: the directory, then the entries; false, with the cause.
bool BuildIcon(const std::vector<Stored> &entries, std::vector<uint8_t> *file) {
    std::vector<std::vector<uint8_t>> data(entries.size());
    std::vector<uint8_t> head(kDirSize + kEntrySize * entries.size(), 0);
    Put16(&head[2], kCursor ? kTypeCursor : kTypeIcon);
    Put16(&head[4], uint32_t(entries.size()));
    uint64_t offset = head.size();
    for (size_t k = 0; k < entries.size(); ++k) {
        const Pixels &p = entries[k].pixels;
        if (p.width == kMaxStoredSide || p.height == kMaxStoredSide) {
            if (!EncodePng(p, &data[k])) return false;
        } else {
            data[k] = EncodeBmp(p);
        }
        uint8_t *e = &head[kDirSize + kEntrySize * k];
        e[0] = uint8_t(p.width);  // 256 is written 0
        e[1] = uint8_t(p.height);
        Put16(e + 4, kCursor ? uint32_t(entries[k].hotX) : 1);
        Put16(e + 6, kCursor ? uint32_t(entries[k].hotY) : 32);
        Put32(e + 8, uint32_t(data[k].size()));
        Put32(e + 12, uint32_t(offset));
        offset += data[k].size();
    }
    *file = std::move(head);
    for (const auto &bytes : data) file->insert(file->end(), bytes.begin(), bytes.end());
    return true;
}

// Writes the file into the host's temporary; false, with the cause.
bool WriteIcon(const std::string &path, const std::vector<Stored> &entries,
               ProgressCallbackFn progress, int32_t data) {
    std::vector<uint8_t> file;
    return BuildIcon(entries, &file) &&
           kit::StoreBytes(path, progress, data, file.data(), file.size());
}

// The picture selected in dc as B, G, R, A pixels; false, with the cause.
bool ReadPicture(HDC dc, Pixels *out) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    out->width = src.width();
    out->height = src.height();
    out->bgra.resize(size_t(src.width()) * size_t(src.height()) * 4);
    for (int32_t y = 0; y < src.height(); ++y)
        src.RowToBGRA(y, out->bgra.data() + size_t(y) * size_t(src.width()) * 4);
    return true;
}

// The sizes stored for a picture of w x h when none were asked (see the head of the file);
// 0 stands for the picture's own size.
std::vector<int32_t> DefaultSizes(int32_t w, int32_t h) {
    if (w != h || w < kStandardSizes[0])
        return {w <= kMaxStoredSide && h <= kMaxStoredSide ? 0 : 256};
    std::vector<int32_t> sizes;
    for (int32_t s : kStandardSizes)
        if (s <= w) sizes.push_back(s);
    if (w < kMaxStoredSide && sizes.back() != w) sizes.push_back(w);
    return sizes;
}

// The picture at one size, with the hotspot carried over.
Stored AtSize(const Pixels &picture, int32_t side, const Settings &settings) {
    Stored stored;
    int32_t left = 0, top = 0;
    stored.pixels = side == 0 ? picture : FitSquare(picture, side, &left, &top);
    const int32_t longer = std::max(picture.width, picture.height);
    const auto place = [&](int32_t at, int32_t start, int32_t most) {
        const int64_t scaled = side == 0 ? at : int64_t(at) * side / longer;
        return int32_t(std::clamp<int64_t>(start + scaled, 0, most - 1));
    };
    stored.hotX = place(settings.hotX, left, stored.pixels.width);
    stored.hotY = place(settings.hotY, top, stored.pixels.height);
    return stored;
}

bool HotspotInside(const Settings &settings, int32_t width, int32_t height) {
    if (settings.hotX < width && settings.hotY < height) return true;
    return kit::Fail("CUR: the hotspot " + std::to_string(settings.hotX) + "," +
                     std::to_string(settings.hotY) + " lies outside the picture");
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string name;
    Pixels picture;
    if (!kit::PathToBytes(path, &name) || !ReadPicture(dc, &picture)) return false;
    const Settings settings = Current();
    if (kCursor && !HotspotInside(settings, picture.width, picture.height)) return false;
    const std::vector<int32_t> sizes =
        settings.sizes.empty() ? DefaultSizes(picture.width, picture.height) : settings.sizes;
    std::vector<Stored> entries;
    for (size_t k = 0; k < sizes.size(); ++k) {
        entries.push_back(AtSize(picture, sizes[k], settings));
        kit::ReportProgress(progress, int32_t(80 * (k + 1) / sizes.size()), 100, data);
    }
    return WriteIcon(name, entries, progress, data);
}

// The square size a padded frame came from: the smallest of kPaddedSizes below the frame's
// side whose square at the top-left holds every pixel that is not transparent; 0 for none.
int32_t PaddedFrom(const Pixels &p) {
    if (p.width != p.height) return 0;
    int32_t extent = 0;  // the pixels not transparent lie within extent x extent
    for (int32_t y = 0; y < p.height; ++y)
        for (int32_t x = 0; x < p.width; ++x)
            if (p.bgra[(size_t(y) * size_t(p.width) + size_t(x)) * 4 + 3] != 0)
                extent = std::max({extent, x + 1, y + 1});
    for (int32_t s : kPaddedSizes)
        if (s >= extent && s < p.width) return s;
    return 0;
}

// Frames, each an entry of its own, written when the last has come.
class EntryWriter final : public kit::FrameWriter {
public:
    EntryWriter(std::string name, Settings settings)
        : name_(std::move(name)), settings_(settings) {}

    bool Add(HDC dc, int32_t, ProgressCallbackFn progress, int32_t data) override {
        Pixels frame;
        if (!ReadPicture(dc, &frame)) return false;
        if (entries_.empty() && kCursor && !HotspotInside(settings_, frame.width, frame.height))
            return false;
        const int32_t padded = entries_.empty() ? 0 : PaddedFrom(frame);
        if (padded) {
            Pixels cut{padded, padded, std::vector<uint8_t>(size_t(padded) * padded * 4)};
            for (int32_t y = 0; y < padded; ++y)
                std::copy_n(frame.bgra.data() + size_t(y) * size_t(frame.width) * 4,
                            size_t(padded) * 4, cut.bgra.data() + size_t(y) * size_t(padded) * 4);
            Settings scaled = settings_;  // the hotspot as on the first frame's scale
            scaled.hotX = int32_t(int64_t(settings_.hotX) * padded / frame.width);
            scaled.hotY = int32_t(int64_t(settings_.hotY) * padded / frame.height);
            entries_.push_back(AtSize(cut, 0, scaled));
        } else {
            const bool fits = frame.width <= kMaxStoredSide && frame.height <= kMaxStoredSide;
            entries_.push_back(AtSize(frame, fits ? 0 : kMaxStoredSide, settings_));
        }
        kit::ReportProgress(progress, 1, 1, data);
        return true;
    }

    bool Finish() override { return WriteIcon(name_, entries_, nullptr, 0); }

private:
    std::string name_;
    Settings settings_;
    std::vector<Stored> entries_;
};

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    std::string name;
    if (!kit::PathToBytes(path, &name)) return nullptr;
    if (sequence.frameCount > int32_t(kMaxEntries))
        return kit::Fail<std::unique_ptr<kit::FrameWriter>>(
            std::string(kName) + ": at most " + std::to_string(kMaxEntries) + " entries");
    return std::make_unique<EntryWriter>(std::move(name), Current());
}

// Alpha is kept (32-bit entries and PNG); nothing else has a place in the file.
bool KeepsMetadata(std::string_view key, size_t) { return key == FALTRIX_METADATA_TRANSPARENCY; }

kit::StoredColour StoredColour(const kit::StoredLayout &) { return kit::StoredColour::kColour; }

}  // namespace
}  // namespace faltrix::ico::writer

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::ico::writer)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::ico::writer)

FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t) {
    return faltrix::kit::Guarded(1,
                                 [&] { return faltrix::ico::writer::Configure(parent) ? 0 : 1; });
}

FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *value) {
    return faltrix::kit::Guarded(1, [&] {
        if (!name || !value) return faltrix::kit::Fail("no option name or value", 1);
        return faltrix::ico::writer::SetOption(name, value) ? 0 : 1;
    });
}

FALTRIX_PLUGIN_EXPORT int32_t GetPluginOptionInfo(int32_t index, WCHAR *key, int32_t keyLength,
                                                  WCHAR *values, int32_t valuesLength,
                                                  WCHAR *initial, int32_t initialLength) {
    using faltrix::ico::writer::Answer;
    if (index == 0) {
        Answer("sizes", key, keyLength);
        Answer(
            "sizes from 1 to 256 separated by commas, e.g. 16,32,48,256; empty: 16 to 256 "
            "up to a square picture's own size, else the picture's own size",
            values, valuesLength);
        Answer("", initial, initialLength);
        return FALTRIX_OPTION_TEXT;
    }
    if (index == 1 && faltrix::ico::writer::kCursor) {
        Answer("hotspot", key, keyLength);
        Answer("x,y in the picture's pixels", values, valuesLength);
        Answer("0,0", initial, initialLength);
        return FALTRIX_OPTION_TEXT;
    }
    return FALTRIX_OPTION_END;
}
