// The items of the pictures being decoded and stored, per thread.
#include "faltrix/kit/metadata.h"

#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace faltrix::kit {
namespace {

// The protocol pairs calls by thread: what GetPictureDIB noted is handed over by the
// GetPictureMetadata that follows on the same thread, and what SetPictureMetadata set is
// stored by the SaveDIBPicture that follows there. Plug-ins built against that rule (the SDK's
// example among them) rely on it, so the host keeps it, and the kit keeps its side here, in
// one value per thread behind one lock (not thread_local: see metadata.h).
template <class T>
class PerThread {
public:
    // use(T *) under the lock, with the calling thread's value or null when it has none.
    template <class F>
    auto Use(F &&use) {
        const std::lock_guard lock(mutex_);
        const auto it = values_.find(std::this_thread::get_id());
        return use(it == values_.end() ? nullptr : &it->second);
    }
    // change(T &) under the lock, on the calling thread's value, made empty when it had none.
    template <class F>
    void Change(F &&change) {
        const std::lock_guard lock(mutex_);
        change(values_[std::this_thread::get_id()]);
    }
    void Forget() {
        const std::lock_guard lock(mutex_);
        values_.erase(std::this_thread::get_id());
    }

private:
    std::mutex mutex_;
    std::map<std::thread::id, T> values_;
};

struct Noted {
    std::u16string path;
    std::vector<std::pair<std::string, std::string>> items;
};

PerThread<Noted> g_noted;                                               // input side
PerThread<std::map<std::string, std::string, std::less<>>> g_outgoing;  // output side

std::u16string PathOf(const WCHAR *path) { return path ? std::u16string(path) : std::u16string(); }

}  // namespace

void BeginNotingMetadata(const WCHAR *path) {
    g_noted.Change([&](Noted &noted) { noted = Noted{PathOf(path), {}}; });
}

void ForgetNotedMetadata() { g_noted.Forget(); }

void NoteMetadata(const char *key, std::string_view bytes) {
    if (bytes.size() > FALTRIX_METADATA_MAX_SIZE) {
        NoteDropped(std::string("the ") + key + " block, larger than 16 MiB");
        return;
    }
    g_noted.Use([&](Noted *noted) {
        if (noted != nullptr) noted->items.emplace_back(key, std::string(bytes));
    });
}

void NoteMetadataNumber(const char *key, uint64_t value) {
    NoteMetadata(key, std::to_string(value));
}

void NoteDropped(std::string_view text) { NoteMetadata(FALTRIX_METADATA_DROPPED, text); }

int32_t AnswerPictureMetadata(const WCHAR *path, MetadataSinkFn sink, void *context) {
    Noted noted;
    const bool found = g_noted.Use([&](Noted *mine) {
        if (mine == nullptr || mine->path != PathOf(path)) return false;
        noted = std::move(*mine);
        return true;
    });
    if (!found) return 1;
    g_noted.Forget();
    if (sink == nullptr) return 1;
    for (const auto &[key, bytes] : noted.items)
        sink(context, key.c_str(), bytes.data(), static_cast<int32_t>(bytes.size()));
    return 0;
}

int32_t TakePictureMetadata(const char *key, const void *bytes, int32_t size,
                            bool (*keeps)(std::string_view key, size_t size),
                            bool (*accepts)(std::string_view key, std::string_view bytes)) {
    if (key == nullptr) {
        g_outgoing.Forget();
        return 0;
    }
    if (size < 0 || size > FALTRIX_METADATA_MAX_SIZE || (bytes == nullptr && size > 0) ||
        !keeps(key, static_cast<size_t>(size)))
        return 1;
    const std::string_view item(static_cast<const char *>(bytes), static_cast<size_t>(size));
    // The library's checks run outside the lock: they may take a while on a large profile.
    if (accepts != nullptr && !accepts(key, item)) return 1;
    g_outgoing.Change([&](auto &items) { items[key].assign(item); });
    return 0;
}

bool ReadStoredLayout(const BITMAPINFO *info, StoredLayout *out) {
    if (info == nullptr || out == nullptr) return false;
    const BITMAPINFOHEADER &h = info->bmiHeader;
    const int bits = h.biBitCount;
    if (h.biSize != sizeof(BITMAPINFOHEADER) || h.biWidth < 1 || h.biHeight == 0) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
    out->bitCount = bits;
    out->palette.clear();
    if (bits <= 8) {
        const uint32_t entries = h.biClrUsed == 0 ? uint32_t{1} << bits : h.biClrUsed;
        if (entries > (uint32_t{1} << bits)) return false;
        out->palette.assign(info->bmiColors, info->bmiColors + entries);
    }
    return true;
}

bool IsGreyPalette(const std::vector<RGBQUAD> &palette) {
    for (const RGBQUAD &q : palette)
        if (q.rgbRed != q.rgbGreen || q.rgbGreen != q.rgbBlue) return false;
    return true;
}

bool IsGreyRamp(const std::vector<RGBQUAD> &palette, int bitCount) {
    if (bitCount < 1 || bitCount > 8) return false;
    const size_t n = size_t{1} << bitCount;
    if (palette.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned v = static_cast<unsigned>(i * 255 / (n - 1));
        const RGBQUAD &q = palette[i];
        if (q.rgbRed != v || q.rgbGreen != v || q.rgbBlue != v) return false;
    }
    return true;
}

std::string OutgoingMetadata(std::string_view key) {
    return g_outgoing.Use([&](const auto *items) {
        if (items == nullptr) return std::string();
        const auto item = items->find(key);
        return item == items->end() ? std::string() : item->second;
    });
}

}  // namespace faltrix::kit
