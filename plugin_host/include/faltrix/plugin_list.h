// The two plug-in lists: finding, verifying, loading and calling the plug-in libraries of
// one folder (plugins/input or plugins/output beside the executable).
//
// A list keeps the full paths of the libraries in its folder that answered its type tag, and
// at most one of them loaded: the current plug-in, whose entry points it holds. Every
// host-side call goes to the current plug-in; when it lacks the entry point (or no plug-in is
// loaded) the call answers its default without calling anything.
//
// Threads: ScanPlugins, SelectPlugin and Teardown run on the dialog's thread only, never
// while a job runs. The host-side calls may come from the dialog's thread and a job thread
// at once; the list takes no lock for them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#define FALTRIX_HOST 1
#include "faltrix/candidate_probe.h"
#include "faltrix/plugin.h"

namespace faltrix {

// Which of the two lists a plug-in belongs to.
enum class PluginKind { Input, Output };

// Told when a host-side call enters a loaded plug-in's IsSupported, GetPictureInfo,
// GetPictureDIB, SaveDIBPicture, ConfigurationDlg or SetPluginOption (started true) and again
// once the call has returned and the host has asked for the cause of a failure (started
// false), with the plug-in's list and its path as PathAt gives it. A call the plug-in cannot take
// (no such entry point) is not told. The hook runs on the calling thread, the dialog's or a job's,
// possibly on both at once, and must not call the lists.
using PluginCallHook = void (*)(PluginKind kind, std::u16string_view path, bool started);
// Installs the hook for both lists (null removes it); install it while no job runs. Without a
// hook a call costs one load of this pointer.
void SetPluginCallHook(PluginCallHook hook);

// A candidate library the last scan did not take, and why.
struct RefusedCandidate {
    std::string path;    // UTF-8
    std::string reason;  // the loader's own error text, "exports no GetPluginInfo", the tag, or
                         // how it crashed or hung while being examined
};

// One option as a plug-in describes it through the optional GetPluginOptionInfo.
struct PluginOptionInfo {
    int32_t kind = FALTRIX_OPTION_END;  // FALTRIX_OPTION_INTEGER, _FLAG, _CHOICE or _TEXT
    std::u16string key;                 // as SetPluginOption takes it
    std::u16string values;              // "1..100", "0|1", "none|lzw"
    std::u16string initial;             // the value before anyone sets it
};

class PluginList {
public:
    static constexpr uint32_t kMaxPaths = 1024;           // accepted plug-ins kept per list
    static constexpr uint32_t kMaxCandidates = 256;       // candidate files examined per scan
    static constexpr int32_t kInfoBufferLength = 256;     // tag and description buffers
    static constexpr int32_t kFailureBufferLength = 512;  // GetLastFailureText's buffer

    virtual ~PluginList();
    PluginList(const PluginList &) = delete;
    PluginList &operator=(const PluginList &) = delete;

    // Fills the list from its folder. Returns -1 when the folder holds no candidate (or does
    // not exist, or is not trusted: see FolderRefusal()), else the number of accepted plug-ins
    // (possibly 0). No library is loaded in this process.
    //
    // Candidates are the regular files of the folder (links to regular files count) whose
    // names end in ".so" in any letter case, taken in byte order of their names. The first
    // kMaxCandidates of them are examined in a helper process (candidate_probe.h), which also
    // refuses one that crashes or hangs and reads the texts the lists show (TextsAt); any
    // further one is not loaded and is recorded in Refused() with the reason. So is an entry
    // with a library's name that is no regular file (a FIFO, a device), which is no candidate.
    // A folder that other users may write (it or a parent is group- or world-writable without
    // the sticky bit) is not read at all. Likewise an accepted plug-in beyond kMaxPaths is recorded
    // there and not kept (with 256 candidates at most this cannot happen; it is guarded all
    // the same). The paths of the previous scan are dropped first; the loaded library, if
    // any, is left as it is.
    int32_t ScanPlugins();

    // Releases the current library, then loads and binds the plug-in at index. Returns 1 on
    // success, 0 for an index not below Count() (nothing loaded, no message) or a library that
    // fails to load, or whose file is no longer the one the scan examined (message "Failed in
    // loading library." with its path as the caption; LastLoadError says which).
    int32_t SelectPlugin(uint32_t index);

    // Frees the paths and releases the current library.
    void Teardown();

    // From now on every library this list loads stays in memory until the process ends, however
    // often it is released and selected again; each is still loaded only when first selected.
    // For a short-lived process that asks plug-ins in turn, as the converter does.
    void KeepLoadedLibraries() { keepLoaded_ = true; }

    uint32_t Count() const { return static_cast<uint32_t>(paths_.size()); }
    int32_t Current() const { return current_; }
    bool HasLibrary() const { return library_ != nullptr; }
    const std::u16string &PathAt(uint32_t index) const { return paths_.at(index); }
    // The same path as on disk (any bytes): the exact file the scan accepted.
    const std::string &NativePathAt(uint32_t index) const { return nativePaths_.at(index); }
    // The description and file patterns the plug-in at index gave when it was examined (or
    // when its cached verdict was): what lists and file choosers show, without calling it.
    const PluginTexts &TextsAt(uint32_t index) const { return texts_.at(index); }
    // True when the file at index is still the one the scan examined (same device, inode,
    // size and times): a file replaced since is never loaded unexamined.
    bool UnchangedSinceExamined(uint32_t index) const;
    // Why the last scan did not read the folder at all (one line), or empty.
    const std::string &FolderRefusal() const { return folderRefusal_; }
    // The candidates the last scan did not take, in the order examined.
    const std::vector<RefusedCandidate> &Refused() const { return refused_; }
    // The loader's error text of the last SelectPlugin that failed to load; empty otherwise.
    const std::string &LastLoadError() const { return lastLoadError_; }

    PluginKind kind() const { return kind_; }
    // The folder scanned: <executable's folder>/plugins/<kind>/, or the override.
    std::string PluginFolder() const;
    // Tests and tools point a list at another folder (with or without a trailing '/');
    // an empty string returns to the folder beside the executable.
    void SetFolderOverride(std::string folder) { folderOverride_ = std::move(folder); }

    // Host-side call of GetPluginInfo on the current plug-in; -1 when missing. The answer is
    // clamped to bufferLength - 1 units and the buffer is always terminated. With no buffer
    // (null or bufferLength <= 0) nothing is called and the answer is 0.
    int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength);
    // Host-side call of ConfigurationDlg; -1 when missing.
    int32_t ConfigurationDlg(HWND parent, int32_t reserved);
    // Whether the current plug-in is loaded and exports ConfigurationDlg: it has settings to show.
    bool HasConfigurationDlg() const { return configurationDlg_ != nullptr; }

    // Host-side call of the optional SetPluginOption, for either kind of plug-in; -1 when
    // missing (or no plug-in is loaded), else the plug-in's answer: 0 when it took the value.
    // A plug-in may answer -1 itself: ask HasPluginOption() whether it has the entry point.
    int32_t SetPluginOption(const WCHAR *name, const WCHAR *value);
    bool HasPluginOption() const { return setPluginOption_ != nullptr; }

    // The options the current plug-in describes through the optional GetPluginOptionInfo,
    // in its order: asked 0, 1, 2, ... until its first FALTRIX_OPTION_END (or an answer of
    // no kind this host knows), at most kMaxOptions times, each buffer terminated after the
    // call. Empty when no plug-in is loaded or it lacks the entry point.
    static constexpr int32_t kMaxOptions = 256;
    std::vector<PluginOptionInfo> DescribeOptions();
    bool HasPluginOptionInfo() const { return getPluginOptionInfo_ != nullptr; }

protected:
    PluginList(PluginKind kind, const char *folderKind, const char16_t *typeTag);

    // Tells the hook, if one is installed, that a call into the current plug-in runs for as
    // long as the notice lives. Only for a call that is made: the plug-in is loaded.
    class CallNotice;

    // Resolves every entry point of the list in the current library.
    virtual void BindEntryPoints() = 0;
    // Empties every entry-point slot (whenever the library is released).
    virtual void ClearEntryPoints() = 0;

    // An entry point defined in `library` itself (not in a library it depends on), or null.
    static void *ResolveOwn(void *library, const char *name);

    // After a host-side call of GetPictureInfo, GetPictureDIB or SaveDIBPicture on this
    // thread: asks the plug-in for the cause when the call failed, and keeps it (or nothing,
    // after a success) for LastPluginFailure().
    void NoteCallOutcome(bool failed);

    void *library_ = nullptr;
    GetPluginInfoFn getPluginInfo_ = nullptr;
    ConfigurationDlgFn configurationDlg_ = nullptr;
    GetLastFailureTextFn getLastFailureText_ = nullptr;    // optional; bound by SelectPlugin
    SetPluginOptionFn setPluginOption_ = nullptr;          // bound and cleared here, for both kinds
    GetPluginOptionInfoFn getPluginOptionInfo_ = nullptr;  // the same

private:
    void ReleaseLibrary();

    const PluginKind kind_;
    const char *folderKind_;
    const char16_t *typeTag_;
    std::string folderOverride_;
    std::vector<std::u16string> paths_;     // as handed to the front end
    std::vector<std::string> nativePaths_;  // the same paths as on disk (any bytes)
    std::vector<PluginTexts> texts_;
    std::vector<std::string> identities_;  // of the files examined, as CandidateVerdict has them
    std::vector<RefusedCandidate> refused_;
    std::string folderRefusal_;
    std::string lastLoadError_;
    int32_t current_ = -1;
    bool keepLoaded_ = false;
};

class InputPluginList final : public PluginList {
public:
    InputPluginList();
    ~InputPluginList() override;

    // Host-side calls; each answers the default in brackets when the entry point is missing.
    // The reserved arguments are passed on as given.
    int32_t IsSupported(const WCHAR *path, int32_t reserved1, int32_t reserved2);  // -1
    int32_t GetPictureInfo(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                           PictureInfo *info);  // -1
    HBITMAP GetPictureDIB(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                          ProgressCallbackFn progress, int32_t data,
                          DibAllocCallbackFn alloc);  // null
    // The optional GetPictureMetadata; -1 when the plug-in lacks it.
    int32_t GetPictureMetadata(const WCHAR *path, MetadataSinkFn sink, void *context);
    bool HasPictureMetadata() const { return getPictureMetadata_ != nullptr; }
    // The optional frame calls, all three or none (a plug-in with only some has none). Open
    // answers -1 without them; GetFrameDIB null; the failures' causes as for GetPictureDIB.
    bool HasFrames() const { return openFrames_ != nullptr; }
    int32_t OpenFrames(const WCHAR *path, FrameSequenceInfo *info, void **reader);
    HBITMAP GetFrameDIB(void *reader, int32_t index, FrameInfo *frame, ProgressCallbackFn progress,
                        int32_t data, DibAllocCallbackFn alloc);
    void CloseFrames(void *reader);
    // The optional GetFrameSamples, with the frame calls: frames deeper than 8 bits. Answers -1
    // without it.
    bool HasFrameSamples() const { return getFrameSamples_ != nullptr; }
    int32_t GetFrameSamples(void *reader, int32_t index, FrameInfo *frame, SamplePicture *picture,
                            ProgressCallbackFn progress, int32_t data, SampleAllocCallbackFn alloc);
    // The optional OpenFramesAtSize, with the frame calls: frames rendered at a size asked.
    // Answers -1 without it.
    bool HasFramesAtSize() const { return openFramesAtSize_ != nullptr; }
    int32_t OpenFramesAtSize(const WCHAR *path, int32_t width, int32_t height,
                             FrameSequenceInfo *info, void **reader);

protected:
    void BindEntryPoints() override;
    void ClearEntryPoints() override;

private:
    OpenFramesFn openFrames_ = nullptr;  // optional, with the two below
    GetFrameDIBFn getFrameDIB_ = nullptr;
    CloseFramesFn closeFrames_ = nullptr;
    GetFrameSamplesFn getFrameSamples_ = nullptr;    // optional, with the frame calls
    OpenFramesAtSizeFn openFramesAtSize_ = nullptr;  // optional, with the frame calls
    IsSupportedFn isSupported_ = nullptr;
    GetPictureInfoFn getPictureInfo_ = nullptr;
    GetPictureDIBFn getPictureDIB_ = nullptr;
    GetPictureMetadataFn getPictureMetadata_ = nullptr;  // optional
};

class OutputPluginList final : public PluginList {
public:
    OutputPluginList();
    ~OutputPluginList() override;

    // -1 when missing (and no progress report); otherwise progress(0, 1, 0), the call,
    // progress(1, 1, 0), and the plug-in's answer.
    int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t reserved1, int32_t reserved2,
                           ProgressCallbackFn progress, int32_t data);
    // The optional SetPictureMetadata; -1 when the plug-in lacks it. After a refusal of an
    // item LastPluginFailure() holds the plug-in's reason, if it gave one.
    int32_t SetPictureMetadata(const char *key, const void *bytes, int32_t size);
    bool HasPictureMetadata() const { return setPictureMetadata_ != nullptr; }
    // The optional GetStoredColourType: FALTRIX_STORED_GREY or FALTRIX_STORED_COLOUR, and
    // FALTRIX_STORED_UNKNOWN when the plug-in lacks it or cannot tell.
    int32_t GetStoredColourType(const BITMAPINFO *info);
    bool HasStoredColourType() const { return getStoredColourType_ != nullptr; }
    // The optional sequence calls, all three or none. Begin and AddFrame answer -1 without
    // them; each failure's cause as for SaveDIBPicture.
    bool HasFrames() const { return beginFrames_ != nullptr; }
    // Whether a file of the output holds several frames: it has the sequence calls and does
    // not answer 1 from the optional GetFramesPerFile (a format of one picture that takes
    // deep samples).
    bool HoldsSeveralFrames() const;
    int32_t BeginFrames(const WCHAR *path, const FrameSequenceInfo *info, void **writer);
    int32_t AddFrame(void *writer, HDC dc, const FrameInfo *frame, ProgressCallbackFn progress,
                     int32_t data);
    int32_t EndFrames(void *writer, int32_t complete);
    // The optional AddFrameSamples, with the sequence calls: the output takes frames deeper
    // than 8 bits. Answers -1 without it.
    bool HasFrameSamples() const { return addFrameSamples_ != nullptr; }
    int32_t AddFrameSamples(void *writer, const SamplePicture *picture, const FrameInfo *frame,
                            ProgressCallbackFn progress, int32_t data);

protected:
    void BindEntryPoints() override;
    void ClearEntryPoints() override;

private:
    BeginFramesFn beginFrames_ = nullptr;  // optional, with the two below
    AddFrameFn addFrame_ = nullptr;
    EndFramesFn endFrames_ = nullptr;
    AddFrameSamplesFn addFrameSamples_ = nullptr;    // optional, with the sequence calls
    GetFramesPerFileFn getFramesPerFile_ = nullptr;  // optional, with the sequence calls
    SaveDIBPictureFn saveDIBPicture_ = nullptr;
    SetPictureMetadataFn setPictureMetadata_ = nullptr;    // optional
    GetStoredColourTypeFn getStoredColourType_ = nullptr;  // optional
};

// The program's two lists: static objects, the input list constructed first; at exit the
// output list is torn down first.
InputPluginList &InputPlugins();
OutputPluginList &OutputPlugins();
// InputPlugins() or OutputPlugins(), by kind.
PluginList &PluginsOf(PluginKind kind);

// The cause the plug-in gave for the calling thread's last host-side call of GetPictureInfo,
// GetPictureDIB or SaveDIBPicture, when that call failed: at most kFailureBufferLength - 1
// units. Empty after a success, and when the plug-in knew no cause, lacks GetLastFailureText
// or the entry point called. Thread-local, so a size query on the dialog's thread leaves a
// job's cause alone.
std::u16string LastPluginFailure();

// The allocator handed to GetPictureDIB: CreateDIBSection with the same arguments.
HBITMAP DibAllocCallback(HDC hdc, const BITMAPINFO *pbmi, uint32_t usage, void **ppvBits,
                         HANDLE hSection, uint32_t offset);

}  // namespace faltrix
