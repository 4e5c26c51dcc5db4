// The rules a candidate library passes to become a plug-in of a list.
#include "candidate_check.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <array>

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

int32_t CallGetPluginInfo(GetPluginInfoFn fn, int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
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
        void *plain = loaded != nullptr ? dlopen("libfaltrix_gdi.so", RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (plain != nullptr && plain != loaded) dlclose(plain);
        if (loaded != nullptr) dlclose(loaded);  // only the count the question added
        return plain == loaded;
    }();
    (void)aliased;
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

bool ExamineCandidate(const std::string &path, std::u16string_view tag, std::string *why, bool *loaderFailed,
                      bool keepLoaded) {
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
        std::array<WCHAR, kTagBufferLength> buffer{};
        CallGetPluginInfo(fn, 0, buffer.data(), kTagBufferLength);
        const std::u16string_view answer(buffer.data());
        accepted = answer == tag;
        if (!accepted) *why = "answered the type tag \"" + Utf16ToUtf8(answer) + "\", not \"" + Utf16ToUtf8(tag) + "\"";
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
