// The helpers the checks share, all run in the child.
#include "subject.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "candidate_check.h"
#include "child.h"
#include "faltrix/text.h"

namespace faltrix::check {

const std::vector<std::string> &EntryPointNames() {
    static const std::vector<std::string> names{
        "GetPluginInfo",       "ConfigurationDlg",   "IsSupported",
        "GetPictureInfo",      "GetPicture",         "GetPictureDIB",
        "SaveDIBPicture",      "GetLastFailureText", "SetPluginOption",
        "GetPluginOptionInfo", "GetPictureMetadata", "SetPictureMetadata",
        "GetStoredColourType", "OpenFrames",         "GetFrameDIB",
        "CloseFrames",         "BeginFrames",        "AddFrame",
        "EndFrames",           "GetFrameSamples",    "AddFrameSamples",
        "OpenFramesAtSize"};
    return names;
}

namespace {
void *g_library = nullptr;
}  // namespace

const EntryPoints &Load(const Subject &subject) {
    static EntryPoints entries;
    void *&library = g_library;
    if (library != nullptr) return entries;
    library = Traced("loading the library", [&] { return OpenCandidate(subject.plugin.c_str()); });
    if (library == nullptr) {
        const char *why = dlerror();
        Fail(std::string("the library could not be loaded: ") + (why ? why : "no reason given"));
    }
    auto bind = [](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
            ResolveOwnSymbol(library, name));
    };
    bind(entries.getPluginInfo, "GetPluginInfo");
    bind(entries.isSupported, "IsSupported");
    bind(entries.getPictureInfo, "GetPictureInfo");
    bind(entries.getPictureDIB, "GetPictureDIB");
    bind(entries.saveDIBPicture, "SaveDIBPicture");
    bind(entries.getLastFailureText, "GetLastFailureText");
    bind(entries.setPluginOption, "SetPluginOption");
    bind(entries.getPluginOptionInfo, "GetPluginOptionInfo");
    bind(entries.getPictureMetadata, "GetPictureMetadata");
    bind(entries.setPictureMetadata, "SetPictureMetadata");
    bind(entries.openFrames, "OpenFrames");
    bind(entries.getFrameDIB, "GetFrameDIB");
    bind(entries.closeFrames, "CloseFrames");
    bind(entries.beginFrames, "BeginFrames");
    bind(entries.addFrame, "AddFrame");
    bind(entries.endFrames, "EndFrames");
    bind(entries.getFrameSamples, "GetFrameSamples");
    bind(entries.addFrameSamples, "AddFrameSamples");
    bind(entries.openFramesAtSize, "OpenFramesAtSize");
    return entries;
}

bool DefinesItself(const Subject &subject, const std::string &name) {
    Load(subject);
    return ResolveOwnSymbol(g_library, name.c_str()) != nullptr;
}

HBITMAP HostAlloc(HDC hdc, const BITMAPINFO *info, uint32_t usage, void **bits, HANDLE section,
                  uint32_t offset) {
    return CreateDIBSection(hdc, info, usage, bits, section, offset);
}

// ---- Progress ------------------------------------------------------------------------------

namespace {

thread_local ProgressLog *t_log = nullptr;
thread_local bool t_met = false;

struct Meeting {
    std::mutex lock;
    std::condition_variable arrived;
    int expected = 0;
    int present = 0;
} g_meeting;

// Holds the calling thread until every expected thread reported once. A plug-in that lets only
// one thread decode at a time keeps the others from arriving: the wait then ends after a while,
// and that plug-in is not at fault.
void Meet() {
    std::unique_lock<std::mutex> hold(g_meeting.lock);
    if (g_meeting.expected == 0 || t_met) return;
    t_met = true;
    ++g_meeting.present;
    g_meeting.arrived.notify_all();
    g_meeting.arrived.wait_for(hold, std::chrono::seconds(2),
                               [] { return g_meeting.present >= g_meeting.expected; });
}

}  // namespace

void RecordOn(ProgressLog *log) {
    t_log = log;
    t_met = false;
}

void MeetInProgress(int threads) {
    std::lock_guard<std::mutex> hold(g_meeting.lock);
    g_meeting.expected = threads;
    g_meeting.present = 0;
}

int32_t RecordProgress(int32_t done, int32_t total, int32_t data) {
    if (t_log != nullptr) {
        t_log->reports.emplace_back(done, total);
        t_log->dataChanged = t_log->dataChanged || data != t_log->data;
    }
    Meet();
    return 1;
}

std::string ProgressProblem(const ProgressLog &log) {
    if (log.dataChanged) return "progress got another data value than the call was handed";
    int32_t last = 0;
    for (const auto &[done, total] : log.reports) {
        const std::string report =
            "progress(" + std::to_string(done) + ", " + std::to_string(total) + ")";
        if (done < 0 || total < 0) return report + " is negative";
        if (done > total) return report + ": done is above total";
        if (done < last) return report + " after done " + std::to_string(last) + ": done went back";
        last = done;
    }
    return {};
}

// ---- Pictures ------------------------------------------------------------------------------

std::string DibProblem(HBITMAP bitmap, int32_t width, int32_t height) {
    DIBSECTION section{};
    if (GetObjectW(bitmap, sizeof section, &section) != static_cast<int>(sizeof section))
        return "the bitmap is not a DIB section of the graphics layer";
    const BITMAPINFOHEADER &header = section.dsBmih;
    const int bits = header.biBitCount;
    if (header.biSize != sizeof(BITMAPINFOHEADER) || header.biPlanes != 1)
        return "the bitmap's header is not a 40-byte BITMAPINFOHEADER of one plane";
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return "the bitmap has " + std::to_string(bits) + " bits per pixel";
    if (section.dsBm.bmBits == nullptr) return "the bitmap has no pixel memory";
    if (section.dsBm.bmWidth != width || section.dsBm.bmHeight != height)
        return "the bitmap is " + std::to_string(section.dsBm.bmWidth) + " x " +
               std::to_string(section.dsBm.bmHeight) + " pixels, GetPictureInfo said " +
               std::to_string(width) + " x " + std::to_string(height);
    return {};
}

namespace {

// A memory DC holding bitmap, released with the object.
struct Selected {
    HDC dc;
    explicit Selected(HBITMAP bitmap) : dc(CreateCompatibleDC(nullptr)) {
        if (dc != nullptr && bitmap != nullptr) SelectObject(dc, bitmap);
    }
    ~Selected() {
        if (dc != nullptr) DeleteDC(dc);
    }
};

}  // namespace

// Copies the picture through a blit from `holding` (or a DC of its own) into 32-bit rows.
std::vector<uint8_t> Copy32(HBITMAP bitmap, HDC holding) {
    BITMAP picture{};
    if (GetObjectW(bitmap, sizeof picture, &picture) != static_cast<int>(sizeof picture)) return {};
    BITMAPINFO info{};
    info.bmiHeader = {
        sizeof(BITMAPINFOHEADER), picture.bmWidth, -picture.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HBITMAP copy = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (copy == nullptr) return {};
    std::vector<uint8_t> bytes;
    {
        Selected from(holding == nullptr ? bitmap : nullptr), to(copy);
        if (BitBlt(to.dc, 0, 0, picture.bmWidth, picture.bmHeight,
                   holding == nullptr ? from.dc : holding, 0, 0, SRCCOPY)) {
            const auto *start = static_cast<const uint8_t *>(bits);
            bytes.assign(start,
                         start + static_cast<size_t>(picture.bmWidth) * picture.bmHeight * 4);
        }
    }
    DeleteObject(copy);
    return bytes;
}

std::vector<uint8_t> Rgb32(HBITMAP bitmap) { return Copy32(bitmap, nullptr); }

uint64_t Fingerprint(HBITMAP bitmap, HDC holding) {
    const std::vector<uint8_t> bytes = Copy32(bitmap, holding);
    if (bytes.empty()) return 0;
    uint64_t hash = 1469598103934665603u;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 4 == 3) continue;  // the unused byte
        hash = (hash ^ bytes[i]) * 1099511628211u;
    }
    return hash;
}

HBITMAP MakeTestPicture(int bits, bool topDown, int32_t width, int32_t height) {
    std::vector<uint8_t> block(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
    auto *info = reinterpret_cast<BITMAPINFO *>(block.data());
    const uint32_t colours = bits <= 8 ? 1u << bits : 0;
    info->bmiHeader = {sizeof(BITMAPINFOHEADER),
                       width,
                       topDown ? -height : height,
                       1,
                       static_cast<WORD>(bits),
                       BI_RGB,
                       0,
                       0,
                       0,
                       colours,
                       0};
    auto *table = reinterpret_cast<RGBQUAD *>(block.data() + sizeof(BITMAPINFOHEADER));
    for (uint32_t i = 0; i < colours; ++i) {
        const auto level = static_cast<BYTE>(i * 255 / (colours - 1));
        table[i] = {level, static_cast<BYTE>(i * 91), static_cast<BYTE>(255 - level), 0};
    }
    void *pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (bitmap == nullptr) Fail("the checker could not make a test picture");
    const size_t stride = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
    auto *bytes = static_cast<uint8_t *>(pixels);
    for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
        for (size_t x = 0; x < stride; ++x) {
            const bool unused = bits == 32 && x % 4 == 3;  // opaque, so nothing is flattened
            bytes[y * stride + x] = unused ? 255 : static_cast<uint8_t>(x * 7 + y * 13 + x * y);
        }
    }
    return bitmap;
}

// ---- Files ---------------------------------------------------------------------------------

std::string MakeFolder(const Subject &subject, const std::string &name) {
    const std::string folder = subject.work + "/" + name;
    if (::mkdir(folder.c_str(), 0700) != 0) Fail("the checker could not make " + folder);
    return folder;
}

void WriteFile(const std::string &path, const std::string &bytes) {
    FILE *file = std::fopen(path.c_str(), "wbe");
    const bool written =
        file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file == nullptr || std::fclose(file) != 0 || !written)
        Fail("the checker could not write " + path);
}

std::string ReadFile(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) Fail("the checker could not read " + path);
    std::string bytes;
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
    std::fclose(file);
    return bytes;
}

std::vector<std::string> Listing(const std::string &folder) {
    std::vector<std::string> names;
    DIR *dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

Target MakeTarget(const Subject &subject, const EntryPoints &plugin, const std::string &check) {
    std::array<WCHAR, 1024> pattern{};
    Traced("GetPluginInfo(2)", [&] {
        return CallGetPluginInfo(plugin.getPluginInfo, 2, pattern.data(), pattern.size());
    });
    std::u16string first(pattern.data());
    first = first.substr(0, first.find(u';'));
    const size_t star = first.rfind(u'*');
    std::string extension = ".out";
    if (star != std::u16string::npos && star + 1 < first.size() && first[star + 1] == u'.')
        extension = std::string(first.begin() + star + 1, first.end());  // ASCII in practice
    Target target;
    target.folder = MakeFolder(subject, check);
    target.name = ".faltrix-check0" + extension;
    target.path = target.folder + "/" + target.name;
    WriteFile(target.path, "");
    target.units = Units(target.path);
    return target;
}

std::u16string Units(const std::string &path) { return PathBytesToUtf16(path); }

std::string FailureText(const EntryPoints &plugin) {
    if (plugin.getLastFailureText == nullptr) return {};
    constexpr int32_t kLength = 512, kGuard = 32;
    constexpr WCHAR kGuardUnit = 0xA55A;
    std::vector<WCHAR> buffer(kLength + kGuard, kGuardUnit);
    std::fill_n(buffer.begin(), kLength, WCHAR{0});
    const int32_t answer = Traced(
        "GetLastFailureText", [&] { return plugin.getLastFailureText(buffer.data(), kLength); });
    if (std::any_of(buffer.begin() + kLength, buffer.end(),
                    [](WCHAR u) { return u != kGuardUnit; }))
        Fail("GetLastFailureText wrote past the end of its 512-unit buffer");
    buffer[kLength - 1] = 0;
    return answer > 0 ? ShownText(std::u16string(buffer.data())) : std::string();
}

}  // namespace faltrix::check
