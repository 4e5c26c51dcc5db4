// The rules a candidate library passes to become a plug-in of a list.
#include "candidate_check.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "faltrix/text.h"

namespace faltrix {

void *ResolveOwnSymbol(void *library, const char *name) {
    if (library == nullptr) return nullptr;
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) return nullptr;
    // dlsym also searches the libraries this one depends on; only a definition inside the
    // library itself counts.
    link_map *own = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) return nullptr;
    Dl_info info{};
    void *definer = nullptr;
    if (dladdr1(symbol, &info, &definer, RTLD_DL_LINKMAP) == 0) return nullptr;
    return static_cast<link_map *>(definer) == own ? symbol : nullptr;
}

int32_t CallGetPluginInfo(GetPluginInfoFn fn, int32_t infoNumber, WCHAR *buffer,
                          int32_t bufferLength) {
    if (buffer == nullptr || bufferLength <= 0) return 0;
    int32_t answer = fn(infoNumber, buffer, bufferLength);
    buffer[bufferLength - 1] = 0;
    return std::min(answer, bufferLength - 1);
}

void *OpenCandidate(const char *path) {
    // Plug-ins linked before the graphics layer had a versioned name ask for it as
    // "libfaltrix_gdi.so". Opened once by that name (found on this program's own search
    // path, as the same file already loaded), the loader knows the library by that name too
    // and such plug-ins find it as they did. A different file of that name is not kept.
    static const bool aliased = [] {
        void *loaded = dlopen("libfaltrix_gdi.so.1", RTLD_NOW | RTLD_NOLOAD);
        void *plain =
            loaded != nullptr ? dlopen("libfaltrix_gdi.so", RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (plain != nullptr && plain != loaded) dlclose(plain);
        if (loaded != nullptr) dlclose(loaded);  // only the count the question added
        return plain == loaded;
    }();
    (void)aliased;
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

namespace {

constexpr int32_t kGuardUnits = 32;
constexpr WCHAR kGuardUnit = 0xA55A;

// One answer into a buffer of `length` units followed by the guard, read up to the first NUL
// (the buffer is terminated first); `*answer` receives what the call answered. Nothing, with
// `why`, when the guard was touched.
std::optional<std::u16string> AskOne(GetPluginInfoFn fn, int32_t number, int32_t length,
                                     int32_t *answer, std::string *why) {
    std::vector<WCHAR> buffer(static_cast<size_t>(length + kGuardUnits), kGuardUnit);
    std::fill_n(buffer.begin(), length, WCHAR{0});
    *answer = fn(number, buffer.data(), length);
    if (std::any_of(buffer.begin() + length, buffer.end(),
                    [](WCHAR unit) { return unit != kGuardUnit; })) {
        *why = "wrote past the end of its " + std::to_string(length) +
               "-unit buffer for GetPluginInfo " + std::to_string(number);
        return std::nullopt;
    }
    buffer[static_cast<size_t>(length - 1)] = 0;
    return std::u16string(buffer.data());
}

// A text as the lists read it: nothing when the answer is 0 or less, else up to the first NUL.
std::optional<std::u16string> AskText(GetPluginInfoFn fn, int32_t number, int32_t length,
                                      std::string *why) {
    int32_t answer = 0;
    std::optional<std::u16string> text = AskOne(fn, number, length, &answer, why);
    if (text && answer <= 0) text->clear();
    return text;
}

}  // namespace

bool AskPluginTexts(GetPluginInfoFn fn, PluginTexts *texts, std::string *why) {
    *texts = PluginTexts{};
    const std::optional<std::u16string> description =
        AskText(fn, FALTRIX_INFO_DESCRIPTION, kDescriptionBufferLength, why);
    if (!description) return false;
    texts->description = *description;
    for (int32_t k = 1; k <= kMaxPatterns; ++k) {
        const std::optional<std::u16string> pattern = AskText(fn, 2 * k, kPatternBufferLength, why);
        if (!pattern) return false;
        if (pattern->empty()) break;
        const std::optional<std::u16string> shown =
            AskText(fn, 2 * k + 1, kPatternBufferLength, why);
        if (!shown) return false;
        texts->patterns.push_back({*pattern, *shown});
    }
    return true;
}

std::string HexUnits(std::u16string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 4);
    for (const char16_t unit : text) {
        for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(unit >> shift) & 0xF];
    }
    return out;
}

bool UnhexUnits(std::string_view hex, std::u16string *out) {
    out->clear();
    if (hex.size() % 4 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 4) {
        char16_t unit = 0;
        for (size_t j = i; j < i + 4; ++j) {
            const char c = hex[j];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) return false;
            unit = static_cast<char16_t>(unit << 4 | digit);
        }
        *out += unit;
    }
    return true;
}

bool ExamineCandidate(const std::string &path, std::u16string_view tag, std::string *why,
                      bool *loaderFailed, bool keepLoaded, PluginTexts *texts) {
    *loaderFailed = false;
    void *library = OpenCandidate(path.c_str());
    if (library == nullptr) {
        const char *text = dlerror();
        *why = text != nullptr ? std::string(text) : std::string("the library could not be loaded");
        *loaderFailed = true;
        return false;
    }
    bool accepted = false;
    auto fn = reinterpret_cast<GetPluginInfoFn>(ResolveOwnSymbol(library, "GetPluginInfo"));
    if (fn == nullptr) {
        *why = "exports no GetPluginInfo";
    } else {
        // The tag counts up to its NUL, whatever the call answered.
        int32_t answered = 0;
        const std::optional<std::u16string> answer =
            AskOne(fn, FALTRIX_INFO_TAG, kTagBufferLength, &answered, why);
        if (answer && *answer != tag)
            *why = "answered the type tag \"" + Utf16ToUtf8(*answer) + "\", not \"" +
                   Utf16ToUtf8(tag) + "\"";
        accepted = answer == tag && AskPluginTexts(fn, texts, why);
    }
    if (!keepLoaded) dlclose(library);
    return accepted;
}

std::string EscapeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

bool UnescapeField(std::string_view text, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
        case '\\': *out += '\\'; break;
        case 't': *out += '\t'; break;
        case 'n': *out += '\n'; break;
        default: return false;
        }
    }
    return true;
}

}  // namespace faltrix
