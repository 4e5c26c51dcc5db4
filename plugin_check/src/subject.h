// The plug-in under examination, as every check sees it, and the helpers the checks share:
// loading it in the child, the host's bitmap allocator, progress recording, test pictures,
// the folder a check writes in.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix::check {

struct Subject {
    std::string plugin;             // the library's path
    std::string sample;             // a picture an input plug-in reads; empty when none
    std::string work;               // a folder of the run's own, removed at the end
    bool output = false;            // the type tag is "00OUT_EX"
    std::set<std::string> exports;  // the entry points the library defines itself
};

// One check: its line, what it needs, and what the child runs.
struct Check {
    std::string name;                // "SaveDIBPicture stores a 1-bit picture"
    std::vector<std::string> needs;  // entry points that must be exported, else skipped
    bool needsSample = false;
    std::function<void(const Subject &)> body;
};

// The first check, whose values (the kind, the entry points exported) the others need.
Check TypeTagCheck();
std::vector<Check> CommonChecks();
std::vector<Check> InputChecks();
std::vector<Check> OutputChecks();
std::vector<Check> DeepInputChecks();
std::vector<Check> DeepOutputChecks();

// Every entry point plugin.h names, required and optional.
const std::vector<std::string> &EntryPointNames();

struct EntryPoints {
    GetPluginInfoFn getPluginInfo = nullptr;
    IsSupportedFn isSupported = nullptr;
    GetPictureInfoFn getPictureInfo = nullptr;
    GetPictureDIBFn getPictureDIB = nullptr;
    SaveDIBPictureFn saveDIBPicture = nullptr;
    GetLastFailureTextFn getLastFailureText = nullptr;
    SetPluginOptionFn setPluginOption = nullptr;
    GetPluginOptionInfoFn getPluginOptionInfo = nullptr;
    GetPictureMetadataFn getPictureMetadata = nullptr;
    SetPictureMetadataFn setPictureMetadata = nullptr;
    OpenFramesFn openFrames = nullptr;
    GetFrameDIBFn getFrameDIB = nullptr;
    CloseFramesFn closeFrames = nullptr;
    BeginFramesFn beginFrames = nullptr;
    AddFrameFn addFrame = nullptr;
    EndFramesFn endFrames = nullptr;
    GetFrameSamplesFn getFrameSamples = nullptr;
    AddFrameSamplesFn addFrameSamples = nullptr;
    OpenFramesAtSizeFn openFramesAtSize = nullptr;
};

// Loads the plug-in in the child as the host does (failing the check when it cannot) and binds
// the entry points it defines itself.
const EntryPoints &Load(const Subject &subject);

// Whether the loaded plug-in defines the entry point `name` itself, as the host binds it.
bool DefinesItself(const Subject &subject, const std::string &name);

// The host's allocator: CreateDIBSection of the graphics layer.
HBITMAP HostAlloc(HDC hdc, const BITMAPINFO *info, uint32_t usage, void **bits, HANDLE section,
                  uint32_t offset);

// Progress reports of one call, recorded by RecordProgress on the calling thread.
struct ProgressLog {
    int32_t data = 0;                                  // what the call was handed to pass back
    std::vector<std::pair<int32_t, int32_t>> reports;  // done, total
    bool dataChanged = false;
};
// The log RecordProgress fills on this thread; null for none.
void RecordOn(ProgressLog *log);
int32_t RecordProgress(int32_t done, int32_t total, int32_t data);
// Why the reports are not sane (done above total, done going back, data not passed back);
// empty when they are.
std::string ProgressProblem(const ProgressLog &log);
// Makes RecordProgress hold each of `threads` threads at its first report until all have
// reported once (or a while has passed), so that their calls run at the same time.
void MeetInProgress(int threads);

// Why bitmap is not a DIB section of width x height the host can use; empty when it is.
std::string DibProblem(HBITMAP bitmap, int32_t width, int32_t height);
// A hash of the picture's colours (through a 32-bit copy), whatever its layout. A bitmap that
// is selected in a DC can be selected in no other: give that DC as `holding`.
uint64_t Fingerprint(HBITMAP bitmap, HDC holding = nullptr);
// The picture as 32-bit B, G, R, X top-down rows, whatever its layout; empty when it cannot be
// copied.
std::vector<uint8_t> Rgb32(HBITMAP bitmap);
// A width x height picture of `bits` bits per pixel (1, 4, 8, 16, 24, 32), bottom-up rows
// unless topDown, with a colour table for 8 bits and less and a pattern in every pixel.
HBITMAP MakeTestPicture(int bits, bool topDown, int32_t width, int32_t height);

// The host's temporary for one output: an empty file ".faltrix-check0.ext" in an empty folder
// of its own, named `check`, with the extension of the plug-in's first pattern (".out" without
// one).
struct Target {
    std::string folder, name, path;
    std::u16string units;
};
Target MakeTarget(const Subject &subject, const EntryPoints &plugin, const std::string &check);

// A new folder of the run's named `name`; fails the check when it cannot be made.
std::string MakeFolder(const Subject &subject, const std::string &name);
// Writes bytes to path; fails the check when it cannot.
void WriteFile(const std::string &path, const std::string &bytes);
// The file's bytes; fails the check when it cannot be read.
std::string ReadFile(const std::string &path);
// The names in folder, sorted, without "." and "..".
std::vector<std::string> Listing(const std::string &folder);
// A path in the units the plug-in receives (bytes outside UTF-8 as U+DC80..U+DCFF).
std::u16string Units(const std::string &path);
// GetLastFailureText's answer after a failure, read with a guard; "" when not exported or
// nothing is known. Fails the check when it writes past its buffer.
std::string FailureText(const EntryPoints &plugin);

}  // namespace faltrix::check
