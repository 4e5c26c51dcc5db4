// The conversion job: decode with the current input plug-in, resize, store with the current
// output plug-in, on a thread of its own, reporting each stage as a status line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "faltrix/feedback.h"
#include "faltrix/picture_metadata.h"
#include "faltrix/resample.h"

namespace faltrix {

inline constexpr uint32_t kPathBufferLength = 2048;  // UTF-16 units, NUL included

// The global path buffers the commands fill before a job starts (NUL-terminated UTF-16).
// Both jobs read InputPath; the conversion job reads OutputPath.
extern char16_t InputPath[kPathBufferLength];
extern char16_t OutputPath[kPathBufferLength];

// Copies path and its NUL into one of the buffers above. False, with the buffer unchanged,
// when the path has more than kPathBufferLength - 1 units: a path is never cut short.
bool SetJobPath(char16_t (&buffer)[kPathBufferLength], std::u16string_view path);

struct ConversionRequest {
    ControlSet controls;
    uint32_t outputWidth = 0;
    uint32_t outputHeight = 0;
    bool antiAlias = false;
    // Whether an existing output may be replaced; without it the store fails rather than
    // replace a file, even one that appears while the job runs. A read-only output (its
    // owner may not write it) needs replaceReadOnly as well.
    bool overwrite = false;
    bool replaceReadOnly = false;
    // Which of the picture's colour profile, EXIF and XMP go to the output.
    MetadataChoice metadata = {};
    // How the picture is resized when its size changes. Nearest leaves the choice to antiAlias
    // (the dialog's check box); Area is antiAlias; the libswscale filters (faltrix-convert's
    // --filter) go through FilteredResize and are reported with the anti-aliased resize's lines.
    ResizeFilter filter = ResizeFilter::Nearest;
    // Which frames of an animation or pages of a document are stored, counted from 1; last 0
    // means to the end. All of them unless the output holds one picture only: it then gets
    // the first frame chosen, with a notice.
    struct Frames {
        int32_t first = 1;
        int32_t last = 0;
    } frames = {};
};
extern ConversionRequest TheConversionRequest;

// How the last conversion job ended, for front ends that need more than the status line.
enum class ConversionOutcome {
    None,          // no job has ended yet
    NotSupported,  // IsSupported answered 0
    InfoFailed,    // GetPictureInfo failed
    DecodeFailed,  // GetPictureDIB gave no bitmap (or none that is a readable DIB section)
    ResizeFailed,  // no bitmap came out of the resize
    StoreFailed,   // SaveDIBPicture answered non-zero (or is missing), or its file could not be put
                   // in place
    Stored,        // the picture was stored
};

// Writes the request and starts ConversionJob on a new thread; the controls are disabled on
// the calling thread before the thread starts. Returns false, and does nothing, while a job
// (conversion or preview) runs; returns false when no thread could be made (the controls are
// then enabled again).
bool StartConversionJob(const ControlSet &controls, uint32_t outputWidth, uint32_t outputHeight,
                        bool antiAlias, bool overwrite);

// The job itself, with TheConversionRequest, InputPath and OutputPath; runs on whatever
// thread calls it (the command-line converter calls it directly, after filling the request
// and the paths). Called directly while another job runs, it first waits for that job to
// end. Always returns 0; LastConversionOutcome() tells how it ended.
int ConversionJob(void *unused);

// The outcome of the last job that ended, and whether a job (conversion or preview) is
// running now.
ConversionOutcome LastConversionOutcome();
bool JobRunning();

// How many frames the last job that stored a picture stored (1 for a single picture).
int32_t LastConversionFrames();

// Whether the last job that ended was asked to anti-alias and resized by point sampling
// instead, the resampler taking 24-bit pictures only; its status lines said so as it ran.
bool LastConversionPointSampled();

// The cause of the last job's failure ("No space left on device", "the output file appeared
// during the conversion and was not replaced"), from the plug-in or from the host's storing,
// which the job also hands to the front end with ShowFailureCause after its last status line;
// empty when the job stored its picture, failed elsewhere outside a plug-in, or the plug-in
// gave none.
std::u16string LastConversionCause();

// Blocks until no job runs. Not from the dialog's thread while its front end carries the
// job's calls over to that thread (the job would wait for the dialog, the dialog for the job).
void WaitForJobEnd();

}  // namespace faltrix
