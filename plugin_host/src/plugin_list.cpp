// Finding, verifying and loading the plug-in libraries of one folder, and the host-side calls
// of their entry points.
#include "faltrix/plugin_list.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "candidate_check.h"
#include "faltrix/candidate_probe.h"
#include "faltrix/feedback.h"
#include "faltrix/text.h"
#include "verdict_cache.h"

namespace faltrix {
namespace {

// True for a name ending in ".so" in any letter case.
bool HasLibraryExtension(const std::string &name) {
    if (name.size() < 3) return false;
    const char *tail = name.c_str() + name.size() - 3;
    return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 's' &&
           std::tolower(static_cast<unsigned char>(tail[2])) == 'o';
}

const char *KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

// The file names of the folder's candidates in byte order; empty when the folder cannot be
// read. Other entries with a library's name that are no files to load (a FIFO, a device) go to
// `others` with the reason; folders and dangling links are left out without a word, as names
// that merely look like libraries.
std::vector<std::string> ListCandidates(const std::string &folder,
                                        std::vector<RefusedCandidate> *others) {
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (!HasLibraryExtension(name)) continue;
        struct stat info {};
        // stat follows links: a link to a regular file counts, a link to a folder or a
        // dangling link does not.
        if (stat((folder + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
        if (S_ISREG(info.st_mode)) names.push_back(std::move(name));
        else
            others->push_back(
                {folder + name, std::string("not loaded: it is ") + KindOf(info.st_mode)});
    }
    closedir(dir);
    std::sort(names.begin(), names.end());  // std::string orders by unsigned bytes
    return names;
}

// Whether someone else than this process's user and root may change what `info` describes:
// its owner is another user, or its group or others may write it. A sticky bit keeps other
// writers of a folder to their own entries, which protects what lies below it (as /tmp does),
// but not the folder's own list of names (`sticky` false for the plug-in folder itself).
std::string OthersMayChange(const struct stat &info, bool sticky) {
    if (info.st_uid != 0 && info.st_uid != ::geteuid())
        return "belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0 ||
        (sticky && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX)))
        return std::string();
    std::array<char, 8> mode{};
    std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("may be written by other users (mode ") + mode.data() + ")";
}

// Why code at `path` cannot be trusted: after links are resolved, it or a folder above it may
// be changed by someone else than this process's user and root, so that anyone could put a
// library there or change one. `path` is the plug-in folder (whose names nobody else may add
// to) or a candidate file. "it ..." or "<folder> ..."; empty when nobody else can, or when the
// path does not exist.
std::string UntrustedReason(const std::string &path, bool folder) {
    char *real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return std::string();
    std::string at = real;
    std::free(real);
    for (bool first = true;; first = false) {
        struct stat info {};
        if (::stat(at.c_str(), &info) != 0) return std::string();
        const std::string why = OthersMayChange(info, !(first && folder));
        if (!why.empty()) return (first ? std::string("it") : at) + " " + why;
        const size_t slash = at.rfind('/');
        if (slash == std::string::npos || at.size() <= 1) return std::string();
        at.resize(slash == 0 ? 1 : slash);
    }
}

std::string LoaderError() {
    const char *text = dlerror();
    return text != nullptr ? std::string(text) : std::string("the library could not be loaded");
}

// The cause of the calling thread's last failed call; see LastPluginFailure().
thread_local std::u16string t_lastFailure;

std::atomic<PluginCallHook> g_callHook{nullptr};

}  // namespace

void SetPluginCallHook(PluginCallHook hook) { g_callHook.store(hook); }

class PluginList::CallNotice {
public:
    explicit CallNotice(const PluginList &list)
        : list_(list), hook_(g_callHook.load(std::memory_order_relaxed)) {
        if (hook_ != nullptr)
            hook_(list_.kind_, list_.paths_[static_cast<size_t>(list_.current_)], true);
    }
    ~CallNotice() {
        if (hook_ != nullptr)
            hook_(list_.kind_, list_.paths_[static_cast<size_t>(list_.current_)], false);
    }
    CallNotice(const CallNotice &) = delete;
    CallNotice &operator=(const CallNotice &) = delete;

private:
    const PluginList &list_;
    // Read once, so that a call told as started is also told as ended.
    const PluginCallHook hook_;
};

static_assert(PluginList::kInfoBufferLength == kTagBufferLength,
              "the tag is asked as the description is");

PluginList::PluginList(PluginKind kind, const char *folderKind, const char16_t *typeTag)
    : kind_(kind), folderKind_(folderKind), typeTag_(typeTag) {}

PluginList::~PluginList() {
    // The derived lists tear down in their own destructors; this only guards a list that
    // still holds a library at this point.
    getPluginInfo_ = nullptr;
    configurationDlg_ = nullptr;
    getLastFailureText_ = nullptr;
    setPluginOption_ = nullptr;
    getPluginOptionInfo_ = nullptr;
    if (library_ != nullptr) dlclose(library_);
    library_ = nullptr;
}

std::string PluginList::PluginFolder() const {
    if (!folderOverride_.empty()) {
        std::string folder = folderOverride_;
        if (folder.back() != '/') folder += '/';
        return folder;
    }
    // /proc/self/exe names the executable; a path that does not fit PATH_MAX gives no folder.
    std::array<char, PATH_MAX> exe{};
    const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
    if (n <= 0 || static_cast<size_t>(n) >= exe.size()) return std::string();
    std::string path(exe.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    path.resize(slash);
    return path + "/plugins/" + folderKind_ + "/";
}

void *PluginList::ResolveOwn(void *library, const char *name) {
    return ResolveOwnSymbol(library, name);
}

int32_t PluginList::ScanPlugins() {
    const std::string folder = PluginFolder();
    paths_.clear();
    nativePaths_.clear();
    texts_.clear();
    identities_.clear();
    refused_.clear();
    folderRefusal_.clear();

    if (!folder.empty()) {
        if (const std::string why = UntrustedReason(folder, true); !why.empty())
            folderRefusal_ = "the plug-in folder " + folder + " is not used: " + why;
    }
    if (!folderRefusal_.empty()) return -1;
    const std::vector<std::string> names =
        folder.empty() ? std::vector<std::string>() : ListCandidates(folder, &refused_);
    if (names.empty()) return -1;

    // The candidates are loaded in a helper process, so that one that crashes or hangs is
    // refused instead of taking the program down; one that someone else may change (or a link
    // to such a file) is not loaded at all.
    std::vector<std::string> examined, untrusted(std::min<size_t>(names.size(), kMaxCandidates));
    for (size_t i = 0; i < names.size() && i < kMaxCandidates; ++i) {
        untrusted[i] = UntrustedReason(folder + names[i], false);
        if (untrusted[i].empty()) examined.push_back(folder + names[i]);
    }
    const std::vector<CandidateVerdict> examinedVerdicts = ExamineCandidates(examined, typeTag_);
    std::vector<CandidateVerdict> verdicts;
    for (size_t i = 0, k = 0; i < untrusted.size(); ++i)
        verdicts.push_back(untrusted[i].empty()
                               ? examinedVerdicts[k++]
                               : CandidateVerdict{false, "not loaded: " + untrusted[i], {}, {}});

    for (size_t i = 0; i < names.size(); ++i) {
        std::string path = folder + names[i];
        if (i >= kMaxCandidates) {
            refused_.push_back({std::move(path), "not examined: the folder holds more than " +
                                                     std::to_string(kMaxCandidates) +
                                                     " candidate files"});
        } else if (!verdicts[i].accepted) {
            refused_.push_back({std::move(path), verdicts[i].reason});
        } else if (paths_.size() < kMaxPaths) {
            paths_.push_back(Utf8ToUtf16(path));
            nativePaths_.push_back(std::move(path));
            texts_.push_back(verdicts[i].texts);
            identities_.push_back(verdicts[i].identity);
        } else {
            refused_.push_back({std::move(path), "not kept: the list already holds " +
                                                     std::to_string(kMaxPaths) + " plug-ins"});
        }
    }
    // The entries that are no files to load among the examined ones, all in byte order of names.
    std::stable_sort(refused_.begin(), refused_.end(),
                     [](const auto &a, const auto &b) { return a.path < b.path; });
    return static_cast<int32_t>(paths_.size());
}

void PluginList::ReleaseLibrary() {
    // The slots go first: nothing may call into a library once it is on its way out.
    ClearEntryPoints();
    getLastFailureText_ = nullptr;
    setPluginOption_ = nullptr;
    getPluginOptionInfo_ = nullptr;
    if (library_ != nullptr) dlclose(library_);
    library_ = nullptr;
}

int32_t PluginList::SelectPlugin(uint32_t index) {
    ReleaseLibrary();
    current_ = -1;
    lastLoadError_.clear();
    if (index >= Count()) return 0;
    if (!UnchangedSinceExamined(index)) {
        lastLoadError_ = "the library has changed since it was examined";
        ShowMessage(u"Failed in loading library.", paths_[index]);
        return 0;
    }
    library_ = OpenCandidate(nativePaths_[index].c_str());
    if (library_ == nullptr) {
        lastLoadError_ = LoaderError();
        ShowMessage(u"Failed in loading library.", paths_[index]);
        return 0;
    }
    // A second handle, never closed, keeps the library in memory after its release.
    if (keepLoaded_) (void)dlopen(nativePaths_[index].c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    current_ = static_cast<int32_t>(index);
    BindEntryPoints();
    getLastFailureText_ =
        reinterpret_cast<GetLastFailureTextFn>(ResolveOwn(library_, "GetLastFailureText"));
    setPluginOption_ = reinterpret_cast<SetPluginOptionFn>(ResolveOwn(library_, "SetPluginOption"));
    getPluginOptionInfo_ =
        reinterpret_cast<GetPluginOptionInfoFn>(ResolveOwn(library_, "GetPluginOptionInfo"));
    return 1;
}

bool PluginList::UnchangedSinceExamined(uint32_t index) const {
    FileStamp now;
    return index < Count() && !identities_[index].empty() && StampOf(nativePaths_[index], &now) &&
           StampText(now) == identities_[index];
}

void PluginList::Teardown() {
    paths_.clear();
    nativePaths_.clear();
    texts_.clear();
    identities_.clear();
    refused_.clear();
    folderRefusal_.clear();
    ReleaseLibrary();
    current_ = -1;
}

int32_t PluginList::GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    if (getPluginInfo_ == nullptr) return -1;
    return CallGetPluginInfo(getPluginInfo_, infoNumber, buffer, bufferLength);
}

int32_t PluginList::ConfigurationDlg(HWND parent, int32_t reserved) {
    if (configurationDlg_ == nullptr) return -1;
    const CallNotice notice(*this);
    return configurationDlg_(parent, reserved);
}

void PluginList::NoteCallOutcome(bool failed) {
    t_lastFailure.clear();
    if (!failed || getLastFailureText_ == nullptr) return;
    std::array<WCHAR, kFailureBufferLength> buffer{};
    const int32_t n = getLastFailureText_(buffer.data(), kFailureBufferLength);
    buffer[kFailureBufferLength - 1] = 0;
    // The text ends at the answer or at the first NUL, whichever comes first.
    const std::u16string_view written(buffer.data());
    t_lastFailure =
        written.substr(0, static_cast<size_t>(std::clamp(n, 0, kFailureBufferLength - 1)));
}

std::u16string LastPluginFailure() { return t_lastFailure; }

int32_t PluginList::SetPluginOption(const WCHAR *name, const WCHAR *value) {
    NoteCallOutcome(false);
    if (setPluginOption_ == nullptr) return -1;
    const CallNotice notice(*this);  // through the question for the cause, which also calls it
    const int32_t answer = setPluginOption_(name, value);
    NoteCallOutcome(answer != 0);
    return answer;
}

std::vector<PluginOptionInfo> PluginList::DescribeOptions() {
    std::vector<PluginOptionInfo> described;
    if (getPluginOptionInfo_ == nullptr) return described;
    const CallNotice notice(*this);
    for (int32_t index = 0; index < kMaxOptions; ++index) {
        std::array<WCHAR, FALTRIX_OPTION_KEY_LENGTH> key{};
        std::array<WCHAR, FALTRIX_OPTION_VALUES_LENGTH> values{};
        std::array<WCHAR, FALTRIX_OPTION_DEFAULT_LENGTH> initial{};
        const int32_t kind =
            getPluginOptionInfo_(index, key.data(), int32_t(key.size()), values.data(),
                                 int32_t(values.size()), initial.data(), int32_t(initial.size()));
        if (kind < FALTRIX_OPTION_INTEGER || kind > FALTRIX_OPTION_TEXT) break;
        key.back() = values.back() = initial.back() = 0;
        described.push_back({kind, key.data(), values.data(), initial.data()});
    }
    return described;
}

// ---- Input list ---------------------------------------------------------------------------

InputPluginList::InputPluginList() : PluginList(PluginKind::Input, "input", FALTRIX_INPUT_TAG) {}
InputPluginList::~InputPluginList() { Teardown(); }

void InputPluginList::BindEntryPoints() {
    getPluginInfo_ = reinterpret_cast<GetPluginInfoFn>(ResolveOwn(library_, "GetPluginInfo"));
    isSupported_ = reinterpret_cast<IsSupportedFn>(ResolveOwn(library_, "IsSupported"));
    getPictureInfo_ = reinterpret_cast<GetPictureInfoFn>(ResolveOwn(library_, "GetPictureInfo"));
    getPictureDIB_ = reinterpret_cast<GetPictureDIBFn>(ResolveOwn(library_, "GetPictureDIB"));
    configurationDlg_ =
        reinterpret_cast<ConfigurationDlgFn>(ResolveOwn(library_, "ConfigurationDlg"));
    getPictureMetadata_ =
        reinterpret_cast<GetPictureMetadataFn>(ResolveOwn(library_, "GetPictureMetadata"));
    openFrames_ = reinterpret_cast<OpenFramesFn>(ResolveOwn(library_, "OpenFrames"));
    getFrameDIB_ = reinterpret_cast<GetFrameDIBFn>(ResolveOwn(library_, "GetFrameDIB"));
    closeFrames_ = reinterpret_cast<CloseFramesFn>(ResolveOwn(library_, "CloseFrames"));
    getFrameSamples_ = reinterpret_cast<GetFrameSamplesFn>(ResolveOwn(library_, "GetFrameSamples"));
    openFramesAtSize_ =
        reinterpret_cast<OpenFramesAtSizeFn>(ResolveOwn(library_, "OpenFramesAtSize"));
    if (openFrames_ == nullptr || getFrameDIB_ == nullptr || closeFrames_ == nullptr)
        openFrames_ = nullptr, getFrameDIB_ = nullptr, closeFrames_ = nullptr;
    if (openFrames_ == nullptr) getFrameSamples_ = nullptr, openFramesAtSize_ = nullptr;
}

void InputPluginList::ClearEntryPoints() {
    getPluginInfo_ = nullptr;
    isSupported_ = nullptr;
    getPictureInfo_ = nullptr;
    getPictureDIB_ = nullptr;
    configurationDlg_ = nullptr;
    getPictureMetadata_ = nullptr;
    openFrames_ = nullptr;
    getFrameDIB_ = nullptr;
    closeFrames_ = nullptr;
    getFrameSamples_ = nullptr;
    openFramesAtSize_ = nullptr;
}

int32_t InputPluginList::GetPictureMetadata(const WCHAR *path, MetadataSinkFn sink, void *context) {
    if (getPictureMetadata_ == nullptr) return -1;
    return getPictureMetadata_(path, sink, context);
}

int32_t InputPluginList::IsSupported(const WCHAR *path, int32_t reserved1, int32_t reserved2) {
    if (isSupported_ == nullptr) return -1;
    const CallNotice notice(*this);
    return isSupported_(path, reserved1, reserved2);
}

int32_t InputPluginList::GetPictureInfo(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                        PictureInfo *info) {
    NoteCallOutcome(false);  // a missing entry point fails without a cause
    if (getPictureInfo_ == nullptr) return -1;
    const CallNotice notice(*this);  // through the question for the cause, which also calls it
    const int32_t answer = getPictureInfo_(path, reserved1, reserved2, info);
    NoteCallOutcome(answer != 0);
    return answer;
}

HBITMAP InputPluginList::GetPictureDIB(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                       ProgressCallbackFn progress, int32_t data,
                                       DibAllocCallbackFn alloc) {
    NoteCallOutcome(false);
    if (getPictureDIB_ == nullptr) return nullptr;
    const CallNotice notice(*this);
    HBITMAP bitmap = getPictureDIB_(path, reserved1, reserved2, progress, data, alloc);
    NoteCallOutcome(bitmap == nullptr);
    return bitmap;
}

int32_t InputPluginList::OpenFrames(const WCHAR *path, FrameSequenceInfo *info, void **reader) {
    NoteCallOutcome(false);
    if (openFrames_ == nullptr) return -1;
    const CallNotice notice(*this);
    const int32_t answer = openFrames_(path, info, reader);
    NoteCallOutcome(answer != 0);
    return answer;
}

int32_t InputPluginList::OpenFramesAtSize(const WCHAR *path, int32_t width, int32_t height,
                                          FrameSequenceInfo *info, void **reader) {
    NoteCallOutcome(false);
    if (openFramesAtSize_ == nullptr) return -1;
    const CallNotice notice(*this);
    const int32_t answer = openFramesAtSize_(path, width, height, info, reader);
    NoteCallOutcome(answer != 0);
    return answer;
}

HBITMAP InputPluginList::GetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                                     ProgressCallbackFn progress, int32_t data,
                                     DibAllocCallbackFn alloc) {
    NoteCallOutcome(false);
    if (getFrameDIB_ == nullptr) return nullptr;
    const CallNotice notice(*this);
    HBITMAP bitmap = getFrameDIB_(reader, index, frame, progress, data, alloc);
    NoteCallOutcome(bitmap == nullptr);
    return bitmap;
}

int32_t InputPluginList::GetFrameSamples(void *reader, int32_t index, FrameInfo *frame,
                                         SamplePicture *picture, ProgressCallbackFn progress,
                                         int32_t data, SampleAllocCallbackFn alloc) {
    NoteCallOutcome(false);
    if (getFrameSamples_ == nullptr) return -1;
    const CallNotice notice(*this);
    const int32_t answer = getFrameSamples_(reader, index, frame, picture, progress, data, alloc);
    NoteCallOutcome(answer != 0);
    return answer;
}

void InputPluginList::CloseFrames(void *reader) {
    if (closeFrames_ == nullptr) return;
    const CallNotice notice(*this);
    closeFrames_(reader);
}

// ---- Output list --------------------------------------------------------------------------

OutputPluginList::OutputPluginList()
    : PluginList(PluginKind::Output, "output", FALTRIX_OUTPUT_TAG) {}
OutputPluginList::~OutputPluginList() { Teardown(); }

void OutputPluginList::BindEntryPoints() {
    getPluginInfo_ = reinterpret_cast<GetPluginInfoFn>(ResolveOwn(library_, "GetPluginInfo"));
    saveDIBPicture_ = reinterpret_cast<SaveDIBPictureFn>(ResolveOwn(library_, "SaveDIBPicture"));
    configurationDlg_ =
        reinterpret_cast<ConfigurationDlgFn>(ResolveOwn(library_, "ConfigurationDlg"));
    setPictureMetadata_ =
        reinterpret_cast<SetPictureMetadataFn>(ResolveOwn(library_, "SetPictureMetadata"));
    getStoredColourType_ =
        reinterpret_cast<GetStoredColourTypeFn>(ResolveOwn(library_, "GetStoredColourType"));
    beginFrames_ = reinterpret_cast<BeginFramesFn>(ResolveOwn(library_, "BeginFrames"));
    addFrame_ = reinterpret_cast<AddFrameFn>(ResolveOwn(library_, "AddFrame"));
    endFrames_ = reinterpret_cast<EndFramesFn>(ResolveOwn(library_, "EndFrames"));
    addFrameSamples_ = reinterpret_cast<AddFrameSamplesFn>(ResolveOwn(library_, "AddFrameSamples"));
    getFramesPerFile_ =
        reinterpret_cast<GetFramesPerFileFn>(ResolveOwn(library_, "GetFramesPerFile"));
    if (beginFrames_ == nullptr || addFrame_ == nullptr || endFrames_ == nullptr)
        beginFrames_ = nullptr, addFrame_ = nullptr, endFrames_ = nullptr;
    if (beginFrames_ == nullptr) addFrameSamples_ = nullptr, getFramesPerFile_ = nullptr;
}

void OutputPluginList::ClearEntryPoints() {
    getPluginInfo_ = nullptr;
    saveDIBPicture_ = nullptr;
    configurationDlg_ = nullptr;
    setPictureMetadata_ = nullptr;
    getStoredColourType_ = nullptr;
    beginFrames_ = nullptr;
    addFrame_ = nullptr;
    endFrames_ = nullptr;
    addFrameSamples_ = nullptr;
    getFramesPerFile_ = nullptr;
}

bool OutputPluginList::HoldsSeveralFrames() const {
    if (beginFrames_ == nullptr) return false;
    if (getFramesPerFile_ == nullptr) return true;
    const CallNotice notice(*this);
    return getFramesPerFile_() != 1;
}

int32_t OutputPluginList::SetPictureMetadata(const char *key, const void *bytes, int32_t size) {
    NoteCallOutcome(false);
    if (setPictureMetadata_ == nullptr) return -1;
    const int32_t answer = setPictureMetadata_(key, bytes, size);
    // The reason for a refused item, for the user's notice.
    if (key != nullptr) NoteCallOutcome(answer != 0);
    return answer;
}

int32_t OutputPluginList::GetStoredColourType(const BITMAPINFO *info) {
    if (getStoredColourType_ == nullptr || info == nullptr) return FALTRIX_STORED_UNKNOWN;
    const int32_t answer = getStoredColourType_(info);
    return answer == FALTRIX_STORED_GREY || answer == FALTRIX_STORED_COLOUR
               ? answer
               : FALTRIX_STORED_UNKNOWN;
}

int32_t OutputPluginList::SaveDIBPicture(HDC dc, const WCHAR *path, int32_t reserved1,
                                         int32_t reserved2, ProgressCallbackFn progress,
                                         int32_t data) {
    NoteCallOutcome(false);
    if (saveDIBPicture_ == nullptr) return -1;
    const CallNotice notice(*this);
    // The bar stands at 0 when the plug-in starts and at 100 when the call returns, also
    // after a failure.
    if (progress != nullptr) progress(0, 1, 0);
    const int32_t result = saveDIBPicture_(dc, path, reserved1, reserved2, progress, data);
    NoteCallOutcome(result != 0);
    if (progress != nullptr) progress(1, 1, 0);
    return result;
}

int32_t OutputPluginList::BeginFrames(const WCHAR *path, const FrameSequenceInfo *info,
                                      void **writer) {
    NoteCallOutcome(false);
    if (beginFrames_ == nullptr) return -1;
    const CallNotice notice(*this);
    const int32_t answer = beginFrames_(path, info, writer);
    NoteCallOutcome(answer != 0);
    return answer;
}

int32_t OutputPluginList::AddFrame(void *writer, HDC dc, const FrameInfo *frame,
                                   ProgressCallbackFn progress, int32_t data) {
    NoteCallOutcome(false);
    if (addFrame_ == nullptr) return -1;
    const CallNotice notice(*this);
    const int32_t answer = addFrame_(writer, dc, frame, progress, data);
    NoteCallOutcome(answer != 0);
    return answer;
}

int32_t OutputPluginList::AddFrameSamples(void *writer, const SamplePicture *picture,
                                          const FrameInfo *frame, ProgressCallbackFn progress,
                                          int32_t data) {
    NoteCallOutcome(false);
    if (addFrameSamples_ == nullptr) return -1;
    const CallNotice notice(*this);
    const int32_t answer = addFrameSamples_(writer, picture, frame, progress, data);
    NoteCallOutcome(answer != 0);
    return answer;
}

int32_t OutputPluginList::EndFrames(void *writer, int32_t complete) {
    NoteCallOutcome(false);
    if (endFrames_ == nullptr) return -1;
    const CallNotice notice(*this);
    const int32_t answer = endFrames_(writer, complete);
    NoteCallOutcome(complete != 0 && answer != 0);
    return answer;
}

// ---- The program's two lists ----------------------------------------------------------------

namespace {

// Both lists in one object: members are constructed in declaration order and destroyed in
// reverse, so the input list comes first and the output list is torn down first, whichever
// accessor is used first.
struct ProgramLists {
    InputPluginList input;
    OutputPluginList output;
};

ProgramLists &Lists() {
    static ProgramLists lists;
    return lists;
}

// Constructs the lists before main() runs, as static objects.
[[maybe_unused]] const bool g_listsConstructed = (Lists(), true);

}  // namespace

InputPluginList &InputPlugins() { return Lists().input; }
OutputPluginList &OutputPlugins() { return Lists().output; }
PluginList &PluginsOf(PluginKind kind) {
    return kind == PluginKind::Input ? static_cast<PluginList &>(InputPlugins()) : OutputPlugins();
}

}  // namespace faltrix
