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
#include "faltrix/cli/jpeg_quality.h"
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

// The output plug-in's index: the one named, else the first whose patterns match the
// output's name (or a name with the extension of --format); -1 with the reason when none.
int OutputPluginIndex(const ConvertOptions &options, const QString &output,
                      const std::vector<PluginEntry> &outputs, QString *problem) {
    if (!options.outputPlugin.isEmpty()) {
        const int index = FindPluginByName(outputs, options.outputPlugin);
        if (index < 0)
            *problem = QStringLiteral("no output plug-in is named '%1'").arg(options.outputPlugin);
        return index;
    }
    const QString name = options.format.isEmpty() ? QFileInfo(output).fileName()
                                                  : QStringLiteral("picture.") + options.format;
    const int index = FindPluginForFileName(outputs, name);
    if (index >= 0) return index;
    const QString suffix = options.format.isEmpty() ? QFileInfo(output).suffix() : options.format;
    *problem = suffix.isEmpty()
                   ? QStringLiteral(
                         "the output has no extension to choose a format by (use -f or "
                         "--output-plugin)")
                   : QStringLiteral("no output plug-in writes '.%1' files (see --list-plugins)")
                         .arg(suffix);
    return -1;
}

std::optional<QString> ChooseOutputPlugin(const ConvertOptions &options, const FileTask &task,
                                          const std::vector<PluginEntry> &outputs,
                                          CliFrontEnd *frontEnd) {
    QString problem;
    const int output = OutputPluginIndex(options, task.output, outputs, &problem);
    if (output < 0) return problem;
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
    const bool pixelsOnly = options.width && options.height && !options.widthPercent &&
                            !options.heightPercent && !options.shrinkOnly;
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
        // A side of 0 bounds nothing: the other side's fraction rules.
        const Fraction w{options.fit->first, uint64_t(info.width)},
            h{options.fit->second, uint64_t(info.height)};
        across = down = h.numerator == 0 || (w.numerator != 0 && w.numerator * h.denominator <=
                                                                     h.numerator * w.denominator)
                            ? w
                            : h;
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
    // --shrink-only: a size that would enlarge either side leaves the picture as it is.
    if (options.shrinkOnly && (*width > uint32_t(info.width) || *height > uint32_t(info.height))) {
        size->width = uint32_t(info.width);
        size->height = uint32_t(info.height);
    }
    return std::nullopt;
}

// A JPEG stored as JPEG without a quality given keeps the quality its own tables were made
// with: at the output's default (90) a quality-70 photo would grow by a quarter and gain
// nothing. Returns the quality set, 0 when none was.
int KeepSourceQuality(const ConvertOptions &options, const FileTask &task,
                      const std::vector<PluginEntry> &outputs) {
    for (const auto &[key, value] : options.outputOptions) {
        if (key.compare(QLatin1String("quality"), Qt::CaseInsensitive) == 0) return 0;
    }
    if (FindPluginForFileName(outputs, QStringLiteral("picture.jpg")) != OutputPlugins().Current())
        return 0;
    const int fd = ::open(NameBytes(task.input).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const std::optional<int> quality = EstimateJpegQuality(fd);
    ::close(fd);
    if (!quality) return 0;
    const std::u16string value = QString::number(*quality).toStdU16String();
    return OutputPlugins().SetPluginOption(u"quality", value.c_str()) == 0 ? *quality : 0;
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

bool OutputIsFolder(const ConvertOptions &options, size_t inputCount) {
    if (options.output == kStandardStream) return false;
    return inputCount > 1 || options.recursive || !options.filesFrom.isEmpty() ||
           options.output.endsWith(u'/') || IsFolder(options.output);
}

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
    if (!problem) {
        problem = ChooseInputPlugin(options, task, inputs, frontEnd);
        // Below a folder, a file no input plug-in reads is no picture: passed over.
        if (problem && task.walked) {
            FileResult passed{false, QStringLiteral("not a picture"), true};
            passed.notPicture = true;
            return passed;
        }
    }
    if (!problem) AskLenient(options, task, inputs, frontEnd);
    if (!problem) problem = WorkOutSize(options, &size);
    if (problem) return FileResult{false, *problem};
    if (auto beyond = CheckSizeWithinLimits(options, size))
        return FileResult{false, *beyond, false, true};
    const int quality = KeepSourceQuality(options, task, outputs);
    FileResult result = RunJob(options, size, *frontEnd);
    if (result.converted) result.quality = quality;
    return result;
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
    if (result.notPicture) {
        // Named only when asked: a tree may hold many such files; the summary counts them.
        if (verbosity != Verbosity::Verbose) return;
        std::fprintf(stdout, "%s: skipped, not a picture\n", Printable(task.Shown()).constData());
        std::fflush(stdout);
    } else if (result.skipped) {
        if (verbosity == Verbosity::Quiet) return;
        std::fprintf(stdout, "%s: skipped, %s exists\n", Printable(task.Shown()).constData(),
                     Printable(task.output).constData());
        std::fflush(stdout);
    } else if (!result.converted) {
        PrintError(stderr, QStringLiteral("%1: %2").arg(task.Shown(), result.reason));
    } else if (verbosity != Verbosity::Quiet && task.output != kStandardStream) {
        const QByteArray kept =
            result.quality > 0
                ? QStringLiteral(" (quality %1, the source's)").arg(result.quality).toUtf8()
                : QByteArray();
        std::fprintf(stdout, "%s -> %s%s\n", Printable(task.Shown()).constData(),
                     Printable(task.output).constData(), kept.constData());
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
    if (result.notPicture) {
        worker.ReportNotPicture();
        return kExitConverted;
    }
    if (!result.converted) worker.ReportFailure(result.reason, result.usage);
    else worker.ReportConverted(result.quality);
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
            ",\"output\":" + JsonText(task.output) +
            (result.quality > 0 ? ",\"quality\":" + QByteArray::number(result.quality) : "") +
            ",\"seconds\":" +
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
                                                const std::vector<PluginEntry> &outputs,
                                                bool outputIsFolder) {
    const QFileInfo output(options.output);
    if (options.format.isEmpty() || options.output == kStandardStream || outputIsFolder ||
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

// --list-options: the settings of the output and the input plug-in of that name, one a line:
// key, kind, the values it takes and its default, as the plug-in describes them.
int ListOptions(const QString &name, const std::vector<PluginEntry> &inputs,
                const std::vector<PluginEntry> &outputs) {
    const struct {
        const char *kind;
        PluginList &list;
        const std::vector<PluginEntry> &plugins;
    } lists[] = {{"output", OutputPlugins(), outputs}, {"input", InputPlugins(), inputs}};
    static const char *const kKinds[] = {"", "integer", "flag", "choice", "text"};
    bool found = false;
    for (const auto &one : lists) {
        const int index = FindPluginByName(one.plugins, name);
        if (index < 0) continue;
        found = true;
        const QString &plugin = one.plugins[size_t(index)].name;
        if (one.list.SelectPlugin(uint32_t(index)) != 1) {
            PrintError(stderr, QStringLiteral("the %1 plug-in %2 could not be loaded")
                                   .arg(QLatin1String(one.kind), plugin));
            return kExitFailed;
        }
        QStringList lines{QStringLiteral("%1 plug-in %2:").arg(QLatin1String(one.kind), plugin)};
        for (const PluginOptionInfo &option : one.list.DescribeOptions())
            lines << QStringLiteral("  %1 %2 %3 default %4")
                         .arg(QString::fromStdU16String(option.key), -14)
                         .arg(QLatin1String(kKinds[option.kind]), -7)
                         .arg(QString::fromStdU16String(option.values), -24)
                         .arg(QString::fromStdU16String(option.initial));
        if (!one.list.HasPluginOptionInfo())
            lines << (one.list.HasPluginOption()
                          ? QStringLiteral("  (takes settings but does not list them)")
                          : QStringLiteral("  (takes no settings)"));
        for (const QString &line : lines) std::fprintf(stdout, "%s\n", Printable(line).constData());
    }
    std::fflush(stdout);
    if (found) return kExitConverted;
    PrintError(stderr, QStringLiteral("no plug-in is named '%1' (see --list-plugins)").arg(name));
    return kExitUsage;
}

// The files to convert, in `items`, and whether the output is a folder for them; the usage
// error if they do not fit it.
std::optional<QString> GatherInputsFor(const ConvertOptions &options,
                                       const std::vector<PluginEntry> &outputs,
                                       bool *outputIsFolder, std::vector<InputItem> *items) {
    std::optional<QString> problem = GatherInputs(options, items);
    if (problem) return problem;
    *outputIsFolder = OutputIsFolder(options, items->size());
    struct stat info {};
    if (*outputIsFolder && StatName(options.output, &info) && !S_ISDIR(info.st_mode))
        return QStringLiteral(
                   "the output %1 is a file; several inputs, -r and --files-from write into a "
                   "folder")
            .arg(options.output);
    return CheckFormatMatchesOutput(options, outputs, *outputIsFolder);
}

// Below a folder of --recursive, a file whose name no input plug-in claims (the plug-in
// named with --input-plugin, if one is) is no picture: passed over without a worker. One
// whose name is claimed but whose content is not is found so by its worker.
void MarkNotPictures(const ConvertOptions &options, const std::vector<PluginEntry> &inputs,
                     std::vector<PlannedTask> *planned) {
    std::vector<PluginEntry> claiming = inputs;
    if (!options.inputPlugin.isEmpty())
        claiming = {inputs[size_t(FindPluginByName(inputs, options.inputPlugin))]};
    for (PlannedTask &one : *planned) {
        if (one.task.walked && !one.skipped &&
            FindPluginForFileName(claiming, QFileInfo(one.task.input).fileName()) < 0)
            one.notPicture = true;
    }
}

// The output plug-ins the files go to, each once. With --format, --output-plugin or a single
// output file with an extension there is one, and a missing one is a mistake on the command
// line (`*problem`); otherwise each file's name chooses, and a file without a plug-in fails
// alone.
std::vector<int> ChosenOutputPlugins(const ConvertOptions &options,
                                     const std::vector<PluginEntry> &outputs,
                                     const std::vector<PlannedTask> &planned, bool outputIsFolder,
                                     QString *problem) {
    std::vector<int> chosen;
    const bool one =
        !options.format.isEmpty() || !options.outputPlugin.isEmpty() || !outputIsFolder;
    for (const PlannedTask &task : planned) {
        if (task.skipped || task.notPicture || !task.clash.isEmpty()) continue;
        QString missing;
        const int index = OutputPluginIndex(options, task.task.output, outputs, &missing);
        if (index < 0 && one &&
            (!options.format.isEmpty() || !QFileInfo(task.task.output).suffix().isEmpty())) {
            *problem = missing;
            return {};
        }
        if (index >= 0 && std::find(chosen.begin(), chosen.end(), index) == chosen.end())
            chosen.push_back(index);
    }
    return chosen;
}

// The settings for the output plug-ins, each tried once before any file, in a worker of its
// own (a plug-in may crash on them): a refusal is the run's one error line, not one per
// file. The exit code when the run ends here.
std::optional<int> CheckOutputSettingsOnce(const ConvertOptions &options,
                                           const std::vector<PluginEntry> &outputs,
                                           const std::vector<int> &chosen) {
    if (options.outputOptions.empty()) return std::nullopt;
    for (const int index : chosen) {
        ConvertOptions forced = options;
        forced.outputPlugin = outputs[size_t(index)].name;
        const ConvertInChild check = [&](const FileTask &task, int reportFd) {
            WorkerFrontEnd worker(reportFd, SweeperFd());
            ScopedFrontEnd installed(&worker);
            std::optional<QString> problem = ChooseOutputPlugin(forced, task, outputs, &worker);
            const bool usage = !problem;
            if (!problem) problem = SetOutputOptions(options, outputs);
            if (!problem) worker.ReportConverted();
            else worker.ReportFailure(*problem, usage);
            return problem ? kExitFailed : kExitConverted;
        };
        const FileResult result = ConvertInWorker(options, {}, check, nullptr);
        if (result.converted) continue;
        PrintError(stderr, result.reason);
        return result.usage ? kExitUsage : kExitFailed;
    }
    return std::nullopt;
}

// Everything before the first file: the inputs gathered, where each goes, the files that are
// no pictures, and the output plug-ins and their settings checked once. The exit code when
// the run ends here.
std::optional<int> PlanRun(const ConvertOptions &options, const std::vector<PluginEntry> &inputs,
                           const std::vector<PluginEntry> &outputs,
                           std::vector<PlannedTask> *planned, bool *outputIsFolder) {
    std::vector<InputItem> items;
    if (const auto problem = GatherInputsFor(options, outputs, outputIsFolder, &items)) {
        PrintError(stderr, *problem);
        return kExitUsage;
    }
    *planned = PlanTasks(options, items, *outputIsFolder);
    MarkNotPictures(options, inputs, planned);
    QString problem;
    const std::vector<int> chosen =
        ChosenOutputPlugins(options, outputs, *planned, *outputIsFolder, &problem);
    if (!problem.isEmpty()) {
        PrintError(stderr, problem);
        return kExitUsage;
    }
    if (planned->size() < 2) return std::nullopt;  // its worker says it as soon
    return CheckOutputSettingsOnce(options, outputs, chosen);
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
    if (result.notPicture) PrintNotPictures(0, 1, 0, options.verbosity);
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

    if (!options.listOptions.isEmpty()) return ListOptions(options.listOptions, inputs, outputs);
    if (!CheckForcedNames(options, inputs, outputs)) return kExitUsage;
    std::vector<PlannedTask> planned;
    bool outputIsFolder = false;
    if (const auto exit = PlanRun(options, inputs, outputs, &planned, &outputIsFolder))
        return *exit;
    Report report;
    if (auto failure = report.Open(options.report)) {
        PrintError(stderr, *failure);
        return kExitFailed;
    }
    // The output folder with those above it, and below it the folders --recursive found
    // below the inputs.
    if (outputIsFolder && !MakeFolders(options.output)) {
        PrintError(stderr, QStringLiteral("cannot make the output folder %1: %2")
                               .arg(options.output, Errno(errno)));
        return kExitFailed;
    }
    for (const PlannedTask &one : planned) {
        if (outputIsFolder && !one.skipped && !one.notPicture)
            MakeFolders(QFileInfo(one.task.output).path());
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
