// faltrix-convert: the options, the conversion of one file through the program's plug-in
// lists and ConversionJob, and the batch that runs each file in a child process of its own.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "faltrix/cli/plugin_choice.h"
#include "faltrix/cli/terminal_front_end.h"
#include "faltrix/conversion_job.h"
#include "faltrix/picture_metadata.h"
#include "faltrix/resample.h"

namespace faltrix {

// Exit codes.
inline constexpr int kExitConverted = 0;  // every file converted
inline constexpr int kExitFailed = 1;     // at least one file failed
inline constexpr int kExitUsage = 2;      // the command line was wrong

struct ConvertOptions {
    QStringList inputs;
    QString output;
    QString format;  // output format (extension) when the output is a folder
    // The output size: each side in pixels or in per cent of the picture's (a side not given
    // follows the other, keeping the aspect ratio), or --fit: inside a box, keeping it.
    std::optional<uint32_t> width;
    std::optional<uint32_t> height;
    bool widthPercent = false;
    bool heightPercent = false;
    std::optional<std::pair<uint32_t, uint32_t>> fit;
    bool antiAlias = false;                        // -a: the dialog's area averaging (filter Area)
    ResizeFilter filter = ResizeFilter::Lanczos3;  // how a picture whose size changes is resized
    ConversionRequest::Frames frames;  // --frames: which frames, from 1; last 0 to the end
    QString inputPlugin;   // forced input plug-in (file name without .so, or description)
    QString outputPlugin;  // forced output plug-in
    bool overwrite = false;
    bool replaceReadOnly = false;  // --force: a read-only output is replaced too
    bool lenient = false;          // the input plug-in salvages what it can of a damaged file
    // Settings for the output plug-in, as its SetPluginOption takes them: --quality,
    // --lossless, --compression and --option KEY=VALUE, in the order given.
    std::vector<std::pair<QString, QString>> outputOptions;
    MetadataChoice metadata;  // what --strip and --strip-only leave of the picture's blocks
    Verbosity verbosity = Verbosity::Normal;
    bool listPlugins = false;
    int jobs = 1;               // children at once in a batch
    int timeoutSeconds = 120;   // per file; 0 for no limit
    bool recursive = false;     // folders among the inputs: every file below them
    bool skipExisting = false;  // an output that exists is left alone, and its file skipped
    QString filesFrom;          // a file naming the inputs, one a line ("-": standard input)
    bool nulSeparated = false;  // ... separated by NUL bytes instead
    QString report;             // a file for one JSON line per file ("-": standard output)
};

// What parsing decided.
struct ParsedCommandLine {
    enum Action { Run, Help, Version, UsageError } action = UsageError;
    ConvertOptions options;
    QString text;  // help text, version line, or the usage error
};

// Parses the arguments (arguments[0] is the program). Never exits the process.
ParsedCommandLine ParseCommandLine(const QStringList &arguments);

// "-" as input or output: standard input or output.
inline const QString kStandardStream = QStringLiteral("-");

// The most standard input may hold, 1 GiB: it is copied to a scratch file for the plug-ins,
// and without a ceiling an endless stream would fill the disk. 1 GiB is the largest file the
// JPEG XL input reads and the memory the JPEG and JPEG XL decoders may take; the plug-ins
// that read a file whole (HEIF, WebP, JPEG XL) hold it in memory. A larger picture file is
// converted by its name.
inline constexpr int64_t kMaxStandardInputBytes = int64_t{1} << 30;

// Copies everything from one descriptor to another, at most `ceiling` bytes. Failed leaves
// errno set; TooLarge means there was more than that (a regular file is refused by its size
// before anything is copied).
enum class CopyEnd { Copied, Failed, TooLarge };
CopyEnd CopyAtMost(int from, int to, int64_t ceiling);

// One file to convert and where its picture goes.
struct FileTask {
    QString input;
    QString output;
    QString label;  // the input as the user named it, when `input` is a copy of standard input
    QString Shown() const { return label.isEmpty() ? input : label; }
};

// An input as found: its path, and below a folder given with --recursive, its path relative
// to that folder (which its output keeps under the output folder).
struct InputItem {
    QString path;
    QString relative;
};

// The inputs: those given and those of --files-from, folders expanded with --recursive.
// Fails with a reason (a list that cannot be read, a folder without --recursive is left for
// the conversion to refuse).
std::optional<QString> GatherInputs(const ConvertOptions &options, std::vector<InputItem> *items);

// Where each input goes: the output as given, or with a folder as output, the input's name
// with the extension of --format (or its own) in that folder. A second input that would go
// to the same output as an earlier one keeps that output path (for the message) and `clash`
// names the earlier input; it is not converted.
// With --skip-existing, a task whose output exists is `skipped`.
struct PlannedTask {
    FileTask task;
    QString clash;
    bool skipped = false;
};
std::vector<PlannedTask> PlanTasks(const ConvertOptions &options,
                                   const std::vector<InputItem> &items, bool outputIsFolder);

// How one file ended.
struct FileResult {
    bool converted = false;
    QString reason;  // why it failed: the job's last status line (and the plug-in's cause) or the
                     // front end's own error
    bool skipped = false;  // not converted, by --skip-existing: no failure
    bool usage = false;    // failed by a setting the output plug-in does not take
    double seconds = 0;    // from its worker's start to its end
    QStringList notices =
        {};  // what the stored picture lost ("kept frame 1 of 5"), one line per kind
};

// Converts one file in this process: checks the paths, chooses the plug-ins, works out the
// size, runs ConversionJob on the calling thread. The plug-in lists must have been scanned
// (DescribePlugins) and `inputs`/`outputs` are what that gave.
FileResult ConvertFile(const ConvertOptions &options, const FileTask &task,
                       const std::vector<PluginEntry> &inputs,
                       const std::vector<PluginEntry> &outputs, CliFrontEnd *frontEnd);

// The file's last lines: unless quiet, a warning "faltrix-convert: input: warning: notice" on
// standard error for each notice, and "input -> output" on standard output (unless the
// picture itself goes there) when it was converted; else "faltrix-convert: input: reason" on
// standard error.
void PrintFileResult(const FileTask &task, const FileResult &result, Verbosity verbosity);

// The whole program after parsing: lists plug-ins, or converts the files, each in a child
// process. Returns the exit code.
int RunConvert(const ConvertOptions &options);

}  // namespace faltrix
