// One file through the plug-in lists and ConversionJob, and the program's top level.
#include "faltrix/cli/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QLocale>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

#include "faltrix/cli/batch.h"
#include "faltrix/cli/names.h"
#include "faltrix/conversion_job.h"
#include "faltrix/keep_aspect.h"
#include "faltrix/temporaries.h"

namespace faltrix {
namespace {

// The environment variable that points the converter at another plug-in folder (holding
// input/ and output/), for tests and for trying plug-ins before installing them.
constexpr char kPluginDirVariable[] = "FALTRIX_PLUGIN_DIR";

// The longest path the job's buffers hold, NUL excluded.
constexpr qsizetype kMaxPathUnits = kPathBufferLength - 1;

QString Errno(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

std::u16string_view Units(const QString &text) {
    return {reinterpret_cast<const char16_t *>(text.utf16()), static_cast<size_t>(text.size())};
}

QString OutcomeText(ConversionOutcome outcome) {
    switch (outcome) {
    case ConversionOutcome::NotSupported:
        return QStringLiteral("the input plug-in does not accept this file");
    case ConversionOutcome::InfoFailed:
        return QStringLiteral("the picture's size could not be read");
    case ConversionOutcome::DecodeFailed: return QStringLiteral("the picture could not be decoded");
    case ConversionOutcome::ResizeFailed: return QStringLiteral("the picture could not be resized");
    case ConversionOutcome::StoreFailed: return QStringLiteral("the picture could not be stored");
    case ConversionOutcome::Stored: return QString();
    case ConversionOutcome::None: break;
    }
    return QStringLiteral("the conversion did not run");
}

// The path fits the job's buffers and can be handed to a plug-in; `role` is "input" or "output".
std::optional<QString> CheckPathFits(const QString &path, const char *role) {
    if (path.size() > kMaxPathUnits)
        return QStringLiteral("the %1 path is %2 UTF-16 units long; at most %3 are possible")
            .arg(QLatin1String(role))
            .arg(path.size())
            .arg(kMaxPathUnits);
    return std::nullopt;
}

std::optional<QString> CheckInput(const QString &input) {
    if (auto problem = CheckPathFits(input, "input")) return problem;
    const QByteArray name = NameBytes(input);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return QStringLiteral("cannot read the input: %1").arg(Errno(errno));
    struct stat info {};
    const bool isFolder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    ::close(fd);
    if (isFolder) return QStringLiteral("the input is a folder");
    return std::nullopt;
}

// A first look, for a clear word before any work; the job itself refuses what changes after it.
std::optional<QString> CheckOutput(const QString &output, const ConvertOptions &options) {
    if (auto problem = CheckPathFits(output, "output")) return problem;
    struct stat info {};
    if (StatName(output, &info)) {
        if (S_ISDIR(info.st_mode)) return QStringLiteral("the output is a folder");
        if (!options.overwrite)
            return QStringLiteral("the output exists (--overwrite replaces it)");
        if ((info.st_mode & S_IWUSR) == 0 && !options.replaceReadOnly)
            return QStringLiteral("the output is read-only (--force replaces it)");
    } else if (errno != ENOENT) {
        return QStringLiteral("cannot use the output: %1").arg(Errno(errno));
    }
    const QString folder = QFileInfo(AbsoluteName(output)).path();
    if (!IsFolder(folder))
        return QStringLiteral("the output's folder %1 does not exist").arg(folder);
    return std::nullopt;
}

// The paths can be read and written; then the job's path buffers hold them (the checks have
// refused what does not fit).
std::optional<QString> CheckAndSetPaths(const FileTask &task, const ConvertOptions &options) {
    if (auto problem = CheckInput(task.input)) return problem;
    if (auto problem = CheckOutput(task.output, options)) return problem;
    SetJobPath(InputPath, Units(task.input));
    SetJobPath(OutputPath, Units(task.output));
    return std::nullopt;
}

// Loads plug-in `index` of the list unless it is loaded already; the front end hears of it
// first, since loading runs the library's own code.
std::optional<QString> LoadPlugin(PluginList &list, int index,
                                  const std::vector<PluginEntry> &plugins, const char *kind,
                                  CliFrontEnd *frontEnd) {
    frontEnd->NotePlugin(list.kind(), plugins[size_t(index)].name);
    if (list.Current() == index || list.SelectPlugin(static_cast<uint32_t>(index)) == 1)
        return std::nullopt;
    return QStringLiteral("the %1 plug-in %2 could not be loaded")
        .arg(QLatin1String(kind), plugins[size_t(index)].path);
}

// The output plug-in: the one named, else the first whose patterns match the output's name
// (or a name with the extension of --format).
std::optional<QString> ChooseOutputPlugin(const ConvertOptions &options, const FileTask &task,
                                          const std::vector<PluginEntry> &outputs,
                                          CliFrontEnd *frontEnd) {
    int output = -1;
    if (!options.outputPlugin.isEmpty()) {
        output = FindPluginByName(outputs, options.outputPlugin);
        if (output < 0)
            return QStringLiteral("no output plug-in is named '%1'").arg(options.outputPlugin);
    } else {
        const QString name = options.format.isEmpty() ? QFileInfo(task.output).fileName()
                                                      : QStringLiteral("picture.") + options.format;
        output = FindPluginForFileName(outputs, name);
        if (output < 0) {
            const QString suffix =
                options.format.isEmpty() ? QFileInfo(task.output).suffix() : options.format;
            return suffix.isEmpty()
                       ? QStringLiteral(
                             "the output has no extension to choose a format by (use -f or "
                             "--output-plugin)")
                       : QStringLiteral("no output plug-in writes '.%1' files (see --list-plugins)")
                             .arg(suffix);
        }
    }
    return LoadPlugin(OutputPlugins(), output, outputs, "output", frontEnd);
}

// The input plug-in: the one named, else the first that accepts the file. When none does and
// the file's name is not UTF-8, that may be why: a third-party plug-in may refuse the escapes.
std::optional<QString> ChooseInputPlugin(const ConvertOptions &options, const FileTask &task,
                                         const std::vector<PluginEntry> &inputs,
                                         CliFrontEnd *frontEnd) {
    if (options.inputPlugin.isEmpty()) {
        const auto trying = [&](uint32_t index) {
            if (index < inputs.size()) frontEnd->NotePlugin(PluginKind::Input, inputs[index].name);
        };
        if (FindInputPluginFor(InputPlugins(), InputPath, trying) >= 0) return std::nullopt;
        return HoldsLoneSurrogate(UnitsOf(task.input))
                   ? QStringLiteral(
                         "no input plug-in can read this file (see --list-plugins; its name is not "
                         "UTF-8, which some plug-ins do not take)")
                   : QStringLiteral("no input plug-in can read this file (see --list-plugins)");
    }
    const int input = FindPluginByName(inputs, options.inputPlugin);
    if (input < 0) return QStringLiteral("no input plug-in is named '%1'").arg(options.inputPlugin);
    return LoadPlugin(InputPlugins(), input, inputs, "input", frontEnd);
}

// --lenient: the chosen input plug-in is asked for its lenient mode before the job's calls.
// One that does not know the option reads the file as usual; the user is told, and the
// conversion goes on, since an undamaged file converts the same either way.
void AskLenient(const ConvertOptions &options, const FileTask &task,
                const std::vector<PluginEntry> &inputs, CliFrontEnd *frontEnd) {
    if (!options.lenient ||
        (InputPlugins().HasPluginOption() && InputPlugins().SetPluginOption(u"lenient", u"1") == 0))
        return;
    const QString name = inputs.at(static_cast<size_t>(InputPlugins().Current())).name;
    const QString text =
        QStringLiteral(
            "warning: the input plug-in %1 has no lenient mode; the file is read as usual")
            .arg(name);
    frontEnd->ShowMessage(Units(text), Units(task.Shown()));
}

// The output plug-in takes the settings given for it, before the job; the first it refuses
// fails the file as a mistake on the command line, with the plug-in's own words.
std::optional<QString> SetOutputOptions(const ConvertOptions &options,
                                        const std::vector<PluginEntry> &outputs) {
    for (const auto &[key, value] : options.outputOptions) {
        const QString name = outputs.at(static_cast<size_t>(OutputPlugins().Current())).name;
        if (!OutputPlugins().HasPluginOption())
            return QStringLiteral("the output plug-in %1 has no settings (%2=%3)")
                .arg(name, key, value);
        const std::u16string key16 = key.toStdU16String(), value16 = value.toStdU16String();
        if (OutputPlugins().SetPluginOption(key16.c_str(), value16.c_str()) == 0) continue;
        const std::u16string cause = LastPluginFailure();
        return QStringLiteral("the output plug-in %1 does not take %2=%3%4")
            .arg(name, key, value,
                 cause.empty() ? QString()
                               : QStringLiteral(": ") + QString::fromStdU16String(cause));
    }
    return std::nullopt;
}

struct OutputSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

// A side from the picture's: `numerator` / `denominator` of it, rounded to the nearest pixel
// (halves up); nothing when that is 0 or beyond what a bitmap can be.
std::optional<uint32_t> Scaled(int32_t side, uint64_t numerator, uint64_t denominator) {
    if (denominator == 0) return std::nullopt;
    const unsigned __int128 value =
        ((unsigned __int128)side * numerator * 2 + denominator) / (2 * denominator);
    if (value == 0 || value > 0x7FFFFFFF) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// The size: as given, in pixels or per cent; a missing side from the picture, keeping its
// aspect ratio when the other side is given; with --fit the largest that fits the box. When
// the plug-in cannot tell the size, the sides not given stay 0 and the job runs all the same,
// to report the failure in its own words.
std::optional<QString> WorkOutSize(const ConvertOptions &options, OutputSize *size) {
    const bool pixelsOnly =
        options.width && options.height && !options.widthPercent && !options.heightPercent;
    size->width = pixelsOnly ? *options.width : 0;
    size->height = pixelsOnly ? *options.height : 0;
    PictureInfo info{};
    if (pixelsOnly || InputPlugins().GetPictureInfo(InputPath, 0, 0, &info) != 0)
        return std::nullopt;
    if (info.width <= 0 || info.height <= 0)
        return QStringLiteral("the input plug-in reports a picture of %1 x %2 pixels")
            .arg(info.width)
            .arg(info.height);

    // Each side as a fraction of the picture's own: given in pixels, in per cent, or (for a
    // side not given) the other side's fraction; --fit takes the smaller of the box's two.
    struct Fraction {
        uint64_t numerator = 1, denominator = 1;
    };
    auto given = [](std::optional<uint32_t> value, bool percent,
                    int32_t picture) -> std::optional<Fraction> {
        if (!value) return std::nullopt;
        return percent ? Fraction{*value, 100} : Fraction{*value, uint64_t(picture)};
    };
    std::optional<Fraction> across = given(options.width, options.widthPercent, info.width);
    std::optional<Fraction> down = given(options.height, options.heightPercent, info.height);
    if (options.fit) {
        const Fraction w{options.fit->first, uint64_t(info.width)},
            h{options.fit->second, uint64_t(info.height)};
        across = down = w.numerator * h.denominator <= h.numerator * w.denominator ? w : h;
    }
    if (!across) across = down;
    if (!down) down = across;
    const Fraction whole;
    const std::optional<uint32_t> width = options.width && !options.widthPercent
                                              ? options.width
                                              : Scaled(info.width, across.value_or(whole).numerator,
                                                       across.value_or(whole).denominator);
    const std::optional<uint32_t> height =
        options.height && !options.heightPercent
            ? options.height
            : Scaled(info.height, down.value_or(whole).numerator, down.value_or(whole).denominator);
    if (!width || !height)
        return QStringLiteral("a %1 x %2 picture would have no usable %3 at that size")
            .arg(info.width)
            .arg(info.height)
            .arg(QLatin1String(width ? "height" : "width"));
    size->width = *width;
    size->height = *height;
    return std::nullopt;
}

// The size options as given, for a message about the size they make: "-W 20000", "--fit 800x600".
QString SizeArguments(const ConvertOptions &options) {
    QStringList given;
    const auto side = [&](const char *flag, const std::optional<uint32_t> &value, bool percent) {
        if (value)
            given << QStringLiteral("%1 %2%3")
                         .arg(QLatin1String(flag))
                         .arg(*value)
                         .arg(percent ? "%" : "");
    };
    if (options.fit)
        given << QStringLiteral("--fit %1x%2").arg(options.fit->first).arg(options.fit->second);
    side("-W", options.width, options.widthPercent);
    side("-H", options.height, options.heightPercent);
    return given.join(u' ');
}

// A size that no plug-in could read back is refused before the job, with the limit named;
// the job would only say "Failed in Resizing.", or store a file that Faltrix cannot open.
std::optional<QString> CheckSizeWithinLimits(const ConvertOptions &options,
                                             const OutputSize &size) {
    const std::string beyond = OutputSizeBeyondLimits(size.width, size.height);
    if (beyond.empty()) return std::nullopt;
    return QStringLiteral("%1: %2").arg(SizeArguments(options), QString::fromStdString(beyond));
}

// Runs the job on this thread; a failure's reason is the job's last status line, or when it
// wrote none, what its outcome says, followed by the plug-in's cause in brackets when it gave
// one: "Failed in Decoding input data. (truncated JPEG data at row 12)". A batch worker
// carries the whole reason to its parent as its failure report.
FileResult RunJob(const ConvertOptions &options, const OutputSize &size,
                  const CliFrontEnd &frontEnd) {
    TheConversionRequest = ConversionRequest{};
    TheConversionRequest.outputWidth = size.width;
    TheConversionRequest.outputHeight = size.height;
    TheConversionRequest.filter = options.filter;
    TheConversionRequest.frames = options.frames;
    TheConversionRequest.overwrite = options.overwrite;
    TheConversionRequest.replaceReadOnly = options.replaceReadOnly;
    TheConversionRequest.metadata = options.metadata;
    ConversionJob(nullptr);

    const ConversionOutcome outcome = LastConversionOutcome();
    if (outcome == ConversionOutcome::Stored) return FileResult{true, {}};
    const QString status = frontEnd.LastStatus();
    QString reason = status.isEmpty() ? OutcomeText(outcome) : status;
    const std::u16string cause = LastConversionCause();
    if (!cause.empty())
        reason += QStringLiteral(" (%1)").arg(
            QString::fromUtf16(cause.data(), static_cast<qsizetype>(cause.size())).simplified());
    return FileResult{false, reason};
}

}  // namespace

FileResult ConvertFile(const ConvertOptions &options, const FileTask &task,
                       const std::vector<PluginEntry> &inputs,
                       const std::vector<PluginEntry> &outputs, CliFrontEnd *frontEnd) {
    frontEnd->BeginFile(QFileInfo(task.Shown()).fileName());
    OutputSize size;
    std::optional<QString> problem = CheckAndSetPaths(task, options);
    if (!problem) problem = ChooseOutputPlugin(options, task, outputs, frontEnd);
    if (!problem) {
        problem = SetOutputOptions(options, outputs);
        if (problem) return FileResult{false, *problem, false, true};
    }
    if (!problem) problem = ChooseInputPlugin(options, task, inputs, frontEnd);
    if (!problem) AskLenient(options, task, inputs, frontEnd);
    if (!problem) problem = WorkOutSize(options, &size);
    if (problem) return FileResult{false, *problem};
    if (auto beyond = CheckSizeWithinLimits(options, size))
        return FileResult{false, *beyond, false, true};
    return RunJob(options, size, *frontEnd);
}

CopyEnd CopyAtMost(int from, int to, int64_t ceiling) {
    // A file says its size at once: one past the ceiling is refused before a byte is copied.
    struct stat info {};
    if (::fstat(from, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > ceiling)
        return CopyEnd::TooLarge;
    char buffer[1 << 16];
    int64_t copied = 0;
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return CopyEnd::Failed;
        if (got == 0) return CopyEnd::Copied;
        if (got > ceiling - copied) return CopyEnd::TooLarge;
        copied += got;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return CopyEnd::Failed;
            done += put;
        }
    }
}

void PrintFileResult(const FileTask &task, const FileResult &result, Verbosity verbosity) {
    if (verbosity != Verbosity::Quiet) {
        for (const QString &notice : result.notices)
            PrintError(stderr, QStringLiteral("%1: warning: %2").arg(task.Shown(), notice));
    }
    if (result.skipped) {
        if (verbosity == Verbosity::Quiet) return;
        std::fprintf(stdout, "%s: skipped, %s exists\n", Printable(task.Shown()).constData(),
                     Printable(task.output).constData());
        std::fflush(stdout);
    } else if (!result.converted) {
        PrintError(stderr, QStringLiteral("%1: %2").arg(task.Shown(), result.reason));
    } else if (verbosity != Verbosity::Quiet && task.output != kStandardStream) {
        std::fprintf(stdout, "%s -> %s\n", Printable(task.Shown()).constData(),
                     Printable(task.output).constData());
        std::fflush(stdout);
    }
}

namespace {

// Forced plug-in names must name a plug-in; a wrong one is a mistake on the command line.
bool CheckForcedNames(const ConvertOptions &options, const std::vector<PluginEntry> &inputs,
                      const std::vector<PluginEntry> &outputs) {
    const struct {
        const char *kind;
        const QString &name;
        const std::vector<PluginEntry> &plugins;
    } forced[] = {{"input", options.inputPlugin, inputs},
                  {"output", options.outputPlugin, outputs}};
    for (const auto &one : forced) {
        if (one.name.isEmpty() || FindPluginByName(one.plugins, one.name) >= 0) continue;
        PrintError(stderr, QStringLiteral("no %1 plug-in is named '%2' (see --list-plugins)")
                               .arg(QLatin1String(one.kind), one.name));
        return false;
    }
    return true;
}

// The report channel of the child converting now, for the temporaries' observer.
WorkerFrontEnd *g_worker = nullptr;

// The real standard output, kept while fd 1 points at standard error because standard output
// carries the picture or the report (-1: not kept).
int g_keptStdout = -1;

// A child's side of a conversion: converts its one file and reports to the parent over
// `reportFd`, including the names of its temporaries, which the parent removes when the child
// is killed before it can. Its own signals remove them too.
int ConvertInChildProcess(const ConvertOptions &options, const FileTask &task,
                          const std::vector<PluginEntry> &inputs,
                          const std::vector<PluginEntry> &outputs, int reportFd) {
    // Only the parent writes the picture or the report; here nothing may reach them.
    if (g_keptStdout >= 0) ::close(g_keptStdout);
    WorkerFrontEnd worker(reportFd, SweeperFd());
    ScopedFrontEnd installed(&worker);
    g_worker = &worker;
    ObserveTemporaries([](const char *path) { g_worker->ReportTemporary(true, path); },
                       [](const char *path) { g_worker->ReportTemporary(false, path); });
    RemoveTemporariesOnSignals();
    const FileResult result = ConvertFile(options, task, inputs, outputs, &worker);
    if (!result.converted) worker.ReportFailure(result.reason, result.usage);
    else worker.ReportConverted();
    return result.converted ? kExitConverted : kExitFailed;
}

QString FolderOf(const PluginList &list) {
    return NameFromBytes(QByteArray::fromStdString(list.PluginFolder()));
}

// A file of the converter's own in the temporary folder, named as the host names its
// temporaries, so that the sweeper may remove it after a kill: a copy of standard input, or
// the picture on its way to standard output.
class ScratchFile {
public:
    explicit ScratchFile(const QString &extension) {
        const QByteArray folder =
            qEnvironmentVariableIsEmpty("TMPDIR") ? QByteArray("/tmp") : qgetenv("TMPDIR");
        QByteArray name = folder + "/.faltrix-XXXXXX" + NameBytes(extension);
        fd_ = ::mkostemps(name.data(), static_cast<int>(NameBytes(extension).size()), O_CLOEXEC);
        if (fd_ < 0) return;
        path_ = name;
        TrackScratchFile(path_, true);
    }
    ~ScratchFile() {
        if (fd_ >= 0) ::close(fd_);
        if (path_.isEmpty()) return;
        ::unlink(path_.constData());
        TrackScratchFile(path_, false);
    }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;

    bool Made() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    QString Path() const { return NameFromBytes(path_); }

private:
    int fd_ = -1;
    QByteArray path_;
};

// Copies everything from one descriptor to another; false with errno set on a failure.
bool CopyAll(int from, int to) { return CopyAtMost(from, to, INT64_MAX) == CopyEnd::Copied; }

// --report: one JSON object a line for each file as it ends, flushed at once, so that a run
// stopped half way leaves the lines of the files done. The names are exact: the bytes of a
// name that are not UTF-8 are written as the escapes "\udc80".."\udcff" (see JsonString).
class Report {
public:
    std::optional<QString> Open(const QString &path) {
        if (path.isEmpty()) return std::nullopt;
        file_ = path == kStandardStream ? ::fdopen(g_keptStdout, "w")
                                        : std::fopen(NameBytes(path).constData(), "we");
        if (file_ == nullptr)
            return QStringLiteral("cannot write the report %1: %2").arg(path, Errno(errno));
        return std::nullopt;
    }
    ~Report() {
        if (file_ != nullptr) std::fclose(file_);
    }
    void Add(const FileTask &task, const FileResult &result) {
        if (file_ == nullptr) return;
        struct stat info {};
        const bool sized =
            result.converted && task.output != kStandardStream && StatName(task.output, &info);
        // Written by hand, since QJsonDocument would write a name's escaped bytes as U+FFFD; the
        // keys in the order it wrote them.
        const QByteArray line =
            "{\"input\":" + JsonText(task.Shown()) + ",\"message\":" + JsonText(result.reason) +
            ",\"output\":" + JsonText(task.output) + ",\"seconds\":" +
            QByteArray::number(std::round(result.seconds * 1000) / 1000, 'g',
                               QLocale::FloatingPointShortest) +
            ",\"size\":" + QByteArray::number(sized ? static_cast<qint64>(info.st_size) : 0) +
            ",\"status\":\"" +
            (result.skipped     ? "skipped"
             : result.converted ? "converted"
                                : "failed") +
            "\"}";
        std::fprintf(file_, "%s\n", line.constData());
        std::fflush(file_);
    }

private:
    FILE *file_ = nullptr;
};

// -f with an output file: the format it names must be the one the file's own extension
// names, if it has one (-f png -o out.jpg would put PNG data in a .jpg file).
std::optional<QString> CheckFormatMatchesOutput(const ConvertOptions &options,
                                                const std::vector<PluginEntry> &outputs) {
    const QFileInfo output(options.output);
    if (options.format.isEmpty() || options.output == kStandardStream || IsFolder(options.output) ||
        output.suffix().isEmpty())
        return std::nullopt;
    if (FindPluginForFileName(outputs, QStringLiteral("picture.") + options.format) ==
        FindPluginForFileName(outputs, output.fileName()))
        return std::nullopt;
    return QStringLiteral(
               "-f %1 does not match the output %2 (-f is for folders and standard output; drop it "
               "or "
               "change the name)")
        .arg(options.format, options.output);
}

// FALTRIX_PLUGIN_DIR, if set, names the plug-in folder. Relative to wherever the program
// happens to be run, a folder of code would be whatever lies there: only an absolute one is
// taken. False, with the error printed, for a relative one.
bool TakePluginFolder() {
    const QString pluginDir = NameFromBytes(qgetenv(kPluginDirVariable));
    if (!pluginDir.isEmpty() && !pluginDir.startsWith(u'/')) {
        PrintError(stderr, QStringLiteral("%1 must be an absolute path, not %2")
                               .arg(QLatin1String(kPluginDirVariable), Shown(pluginDir)));
        return false;
    }
    SetPluginFolder(pluginDir);
    return true;
}

// Standard output carries the picture or the report: the other lines go elsewhere or not at
// all, and so does whatever a plug-in, or a library under it, prints there, here or in a
// worker: fd 1 becomes standard error, and the picture or the report goes out through a
// duplicate of the real standard output kept for it alone. False, with the error printed,
// when that cannot be done.
bool KeepStandardOutputApart(ConvertOptions *options, bool toStdout) {
    if (options->report == kStandardStream && options->verbosity == Verbosity::Normal)
        options->verbosity = Verbosity::Quiet;
    if ((!toStdout && options->report != kStandardStream) || options->listPlugins) return true;
    std::fflush(stdout);
    g_keptStdout = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (g_keptStdout >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) return true;
    PrintError(stderr, QStringLiteral("cannot keep standard output apart: %1").arg(Errno(errno)));
    return false;
}

// --list-plugins: the listing, and whether anything could be converted with what it found.
int ListPlugins(const std::vector<PluginEntry> &inputs, const std::vector<PluginEntry> &outputs) {
    std::fputs(PluginListing(FolderOf(InputPlugins()), inputs, InputPlugins().Refused(),
                             FolderOf(OutputPlugins()), outputs, OutputPlugins().Refused())
                   .toUtf8()
                   .constData(),
               stdout);
    std::fflush(stdout);
    if (!inputs.empty() && !outputs.empty()) return kExitConverted;
    PrintError(stderr, QStringLiteral("no %1 plug-ins found: nothing can be converted")
                           .arg(QLatin1String(inputs.empty() ? "input" : "output")));
    return kExitFailed;
}

// The files to convert, in `items`, and whether they fit the output; the usage error if not.
std::optional<QString> GatherInputsFor(const ConvertOptions &options,
                                       const std::vector<PluginEntry> &outputs, bool outputIsFolder,
                                       std::vector<InputItem> *items) {
    std::optional<QString> problem = GatherInputs(options, items);
    if (!problem && items->size() > 1 && !outputIsFolder)
        problem = QStringLiteral(
                      "with several inputs the output must be an existing folder; %1 is not one")
                      .arg(options.output);
    if (!problem) problem = CheckFormatMatchesOutput(options, outputs);
    return problem;
}

// Plug-ins read and write files: standard input is copied to one first, and the picture for
// standard output is stored in one. The files live as long as `streams`.
struct StandardStreamFiles {
    std::optional<ScratchFile> input;
    std::optional<ScratchFile> output;
};

// Puts the scratch files in the place of "-" in `planned`; the error, if one cannot be made.
std::optional<QString> ReplaceStandardStreams(ConvertOptions *options,
                                              std::vector<PlannedTask> *planned,
                                              StandardStreamFiles *streams) {
    for (PlannedTask &one : *planned) {
        if (one.task.input != kStandardStream) continue;
        streams->input.emplace(QString());
        const CopyEnd copied =
            streams->input->Made()
                ? CopyAtMost(STDIN_FILENO, streams->input->Fd(), kMaxStandardInputBytes)
                : CopyEnd::Failed;
        if (copied == CopyEnd::TooLarge)
            return QStringLiteral(
                       "standard input holds more than %1 MiB, the most taken from it (give the "
                       "file by its name instead)")
                .arg(kMaxStandardInputBytes >> 20);
        if (copied != CopyEnd::Copied)
            return QStringLiteral("cannot keep standard input: %1").arg(Errno(errno));
        one.task.label = kStandardStream;
        one.task.input = streams->input->Path();
    }
    if (options->output != kStandardStream) return std::nullopt;
    streams->output.emplace(QStringLiteral(".") + options->format);
    if (!streams->output->Made())
        return QStringLiteral("cannot make a file for standard output: %1").arg(Errno(errno));
    planned->front().task.output = streams->output->Path();
    options->overwrite = true;  // the file is ours, made empty just now
    return std::nullopt;
}

// One file, converted in a worker whose reports the terminal shows as they come; the picture
// for standard output is copied there once it is complete.
int ConvertSingleFile(const ConvertOptions &options, const PlannedTask &planned,
                      const ConvertInChild &convert, const StandardStreamFiles &streams,
                      TerminalFrontEnd *terminal, Report *report) {
    FileTask task = planned.task;
    terminal->BeginFile(QFileInfo(task.Shown()).fileName());
    FileResult result = ConvertInWorker(options, planned, convert, terminal);
    terminal->EndFile();
    if (result.converted && streams.output) {
        task.output = kStandardStream;
        const int picture =
            ::open(NameBytes(streams.output->Path()).constData(), O_RDONLY | O_CLOEXEC);
        if (picture < 0 || !CopyAll(picture, g_keptStdout))
            result = {false, QStringLiteral("cannot write standard output: %1").arg(Errno(errno))};
        if (picture >= 0) ::close(picture);
    }
    PrintFileResult(task, result, options.verbosity);
    report->Add(task, result);
    EndIfInterrupted();
    if (result.usage) return kExitUsage;
    return result.converted || result.skipped ? kExitConverted : kExitFailed;
}

}  // namespace

int RunConvert(const ConvertOptions &given) {
    if (!TakePluginFolder()) return kExitUsage;
    ConvertOptions options = given;
    const bool toStdout = options.output == kStandardStream;
    if (!KeepStandardOutputApart(&options, toStdout)) return kExitFailed;

    const bool onTerminal = ::isatty(STDERR_FILENO) == 1;
    TerminalFrontEnd terminal(options.verbosity, onTerminal, toStdout ? stderr : stdout, stderr);
    ScopedFrontEnd installed(&terminal);
    const std::vector<PluginEntry> inputs = DescribePlugins(InputPlugins());
    const std::vector<PluginEntry> outputs = DescribePlugins(OutputPlugins());
    for (const PluginList *list : {static_cast<const PluginList *>(&InputPlugins()),
                                   static_cast<const PluginList *>(&OutputPlugins())}) {
        if (!list->FolderRefusal().empty())
            PrintError(stderr,
                       Shown(NameFromBytes(QByteArray::fromStdString(list->FolderRefusal()))));
    }
    if (options.listPlugins) return ListPlugins(inputs, outputs);
    if (!CheckForcedNames(options, inputs, outputs)) return kExitUsage;

    std::vector<InputItem> items;
    const bool outputIsFolder = !toStdout && IsFolder(options.output);
    if (const auto problem = GatherInputsFor(options, outputs, outputIsFolder, &items)) {
        PrintError(stderr, *problem);
        return kExitUsage;
    }
    Report report;
    if (auto failure = report.Open(options.report)) {
        PrintError(stderr, *failure);
        return kExitFailed;
    }
    std::vector<PlannedTask> planned = PlanTasks(options, items, outputIsFolder);
    // Folders below the output folder, as --recursive found them below the inputs.
    for (const PlannedTask &one : planned) {
        if (outputIsFolder && !one.skipped) MakeFolders(QFileInfo(one.task.output).path());
    }
    StandardStreamFiles streams;
    if (const auto failure = ReplaceStandardStreams(&options, &planned, &streams)) {
        PrintError(stderr, *failure);
        return kExitFailed;
    }

    const ConvertInChild convert = [&](const FileTask &task, int reportFd) {
        return ConvertInChildProcess(options, task, inputs, outputs, reportFd);
    };
    if (planned.size() == 1)
        return ConvertSingleFile(options, planned.front(), convert, streams, &terminal, &report);
    return RunBatch(
        options, planned, convert, onTerminal,
        [&](const FileTask &task, const FileResult &result) { report.Add(task, result); });
}

}  // namespace faltrix
