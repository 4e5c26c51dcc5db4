// One file through the plug-in lists and ConversionJob, and the program's top level.
#include "faltrix/cli/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "faltrix/cli/batch.h"
#include "faltrix/keep_aspect.h"
#include "faltrix/conversion_job.h"
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
    case ConversionOutcome::NotSupported: return QStringLiteral("the input plug-in does not accept this file");
    case ConversionOutcome::InfoFailed: return QStringLiteral("the picture's size could not be read");
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
    if (path.contains(QChar::ReplacementCharacter))
        return QStringLiteral("the %1's name is not valid UTF-8, so no plug-in can be given it").arg(QLatin1String(role));
    return std::nullopt;
}

std::optional<QString> CheckInput(const QString &input) {
    if (auto problem = CheckPathFits(input, "input")) return problem;
    const QByteArray name = QFile::encodeName(input);
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
    const QByteArray name = QFile::encodeName(output);
    struct stat info {};
    if (::stat(name.constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return QStringLiteral("the output is a folder");
        if (!options.overwrite) return QStringLiteral("the output exists (--overwrite replaces it)");
        if ((info.st_mode & S_IWUSR) == 0 && !options.replaceReadOnly)
            return QStringLiteral("the output is read-only (--force replaces it)");
    } else if (errno != ENOENT) {
        return QStringLiteral("cannot use the output: %1").arg(Errno(errno));
    }
    const QString folder = QFileInfo(output).absolutePath();
    if (!QFileInfo(folder).isDir()) return QStringLiteral("the output's folder %1 does not exist").arg(folder);
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
std::optional<QString> LoadPlugin(PluginList &list, int index, const std::vector<PluginEntry> &plugins,
                                  const char *kind, CliFrontEnd *frontEnd) {
    frontEnd->NotePlugin(kind[0] == 'i', plugins[size_t(index)].name);
    if (list.Current() == index || list.SelectPlugin(static_cast<uint32_t>(index)) == 1) return std::nullopt;
    return QStringLiteral("the %1 plug-in %2 could not be loaded").arg(QLatin1String(kind), plugins[size_t(index)].path);
}

// The output plug-in: the one named, else the first whose patterns match the output's name
// (or a name with the extension of --format).
std::optional<QString> ChooseOutputPlugin(const ConvertOptions &options, const FileTask &task,
                                          const std::vector<PluginEntry> &outputs, CliFrontEnd *frontEnd) {
    int output = -1;
    if (!options.outputPlugin.isEmpty()) {
        output = FindPluginByName(outputs, options.outputPlugin);
        if (output < 0) return QStringLiteral("no output plug-in is named '%1'").arg(options.outputPlugin);
    } else {
        const QString name = options.format.isEmpty() ? QFileInfo(task.output).fileName()
                                                      : QStringLiteral("picture.") + options.format;
        output = FindPluginForFileName(outputs, name);
        if (output < 0) {
            const QString suffix = options.format.isEmpty() ? QFileInfo(task.output).suffix() : options.format;
            return suffix.isEmpty()
                       ? QStringLiteral("the output has no extension to choose a format by (use -f or --output-plugin)")
                       : QStringLiteral("no output plug-in writes '.%1' files (see --list-plugins)").arg(suffix);
        }
    }
    return LoadPlugin(OutputPlugins(), output, outputs, "output", frontEnd);
}

// The input plug-in: the one named, else the first that accepts the file.
std::optional<QString> ChooseInputPlugin(const ConvertOptions &options, const std::vector<PluginEntry> &inputs,
                                         CliFrontEnd *frontEnd) {
    if (options.inputPlugin.isEmpty()) {
        const auto trying = [&](uint32_t index) {
            if (index < inputs.size()) frontEnd->NotePlugin(true, inputs[index].name);
        };
        if (FindInputPluginFor(InputPlugins(), InputPath, trying) >= 0) return std::nullopt;
        return QStringLiteral("no input plug-in can read this file (see --list-plugins)");
    }
    const int input = FindPluginByName(inputs, options.inputPlugin);
    if (input < 0) return QStringLiteral("no input plug-in is named '%1'").arg(options.inputPlugin);
    return LoadPlugin(InputPlugins(), input, inputs, "input", frontEnd);
}

// --lenient: the chosen input plug-in is asked for its lenient mode before the job's calls.
// One that does not know the option reads the file as usual; the user is told, and the
// conversion goes on, since an undamaged file converts the same either way.
void AskLenient(const ConvertOptions &options, const FileTask &task, const std::vector<PluginEntry> &inputs,
                CliFrontEnd *frontEnd) {
    if (!options.lenient || InputPlugins().SetPluginOption(u"lenient", u"1") == 0) return;
    const QString name = inputs.at(static_cast<size_t>(InputPlugins().Current())).name;
    const QString text = QStringLiteral("warning: the input plug-in %1 has no lenient mode; the file is read as usual")
                             .arg(name);
    frontEnd->ShowMessage(Units(text), Units(task.input));
}

struct OutputSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

// The size: as given; a missing side from the picture, keeping its aspect ratio when the other
// side is given. When the plug-in cannot tell the size, the sides not given stay 0 and the job
// runs all the same, to report the failure in its own words.
std::optional<QString> WorkOutSize(const ConvertOptions &options, OutputSize *size) {
    size->width = options.width.value_or(0);
    size->height = options.height.value_or(0);
    PictureInfo info{};
    if ((options.width && options.height) || InputPlugins().GetPictureInfo(InputPath, 0, 0, &info) != 0)
        return std::nullopt;
    if (info.width <= 0 || info.height <= 0)
        return QStringLiteral("the input plug-in reports a picture of %1 x %2 pixels").arg(info.width).arg(info.height);
    if (!options.width && !options.height) {
        size->width = static_cast<uint32_t>(info.width);
        size->height = static_cast<uint32_t>(info.height);
        return std::nullopt;
    }
    // One side given: the other follows from the picture's sides in the same order.
    const bool widthGiven = options.width.has_value();
    const uint32_t given = widthGiven ? size->width : size->height;
    const auto side = widthGiven ? KeepAspectSide(info.width, info.height, given)
                                 : KeepAspectSide(info.height, info.width, given);
    if (!side || *side == 0 || *side > 0x7FFFFFFFu)
        return QStringLiteral("a %1 x %2 picture %3 pixels %4 would have no usable %5")
            .arg(info.width)
            .arg(info.height)
            .arg(given)
            .arg(QLatin1String(widthGiven ? "wide" : "high"), QLatin1String(widthGiven ? "height" : "width"));
    (widthGiven ? size->height : size->width) = *side;
    return std::nullopt;
}

// Runs the job on this thread; a failure's reason is the job's last status line, or when it
// wrote none, what its outcome says, followed by the plug-in's cause in brackets when it gave
// one: "Failed in Decoding input data. (truncated JPEG data at row 12)". A batch worker
// carries the whole reason to its parent as its failure report.
FileResult RunJob(const ConvertOptions &options, const OutputSize &size, const CliFrontEnd &frontEnd) {
    TheConversionRequest = ConversionRequest{};
    TheConversionRequest.outputWidth = size.width;
    TheConversionRequest.outputHeight = size.height;
    TheConversionRequest.antiAlias = options.antiAlias;
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
        reason += QStringLiteral(" (%1)").arg(QString::fromUtf16(cause.data(), static_cast<qsizetype>(cause.size())).simplified());
    return FileResult{false, reason};
}

}  // namespace

FileResult ConvertFile(const ConvertOptions &options, const FileTask &task,
                       const std::vector<PluginEntry> &inputs, const std::vector<PluginEntry> &outputs,
                       CliFrontEnd *frontEnd) {
    frontEnd->BeginFile(QFileInfo(task.input).fileName());
    OutputSize size;
    std::optional<QString> problem = CheckAndSetPaths(task, options);
    if (!problem) problem = ChooseOutputPlugin(options, task, outputs, frontEnd);
    if (!problem) problem = ChooseInputPlugin(options, inputs, frontEnd);
    if (!problem) AskLenient(options, task, inputs, frontEnd);
    if (!problem) problem = WorkOutSize(options, &size);
    if (problem) return FileResult{false, *problem};
    return RunJob(options, size, *frontEnd);
}

void PrintFileResult(const FileTask &task, const FileResult &result, Verbosity verbosity) {
    if (verbosity != Verbosity::Quiet) {
        for (const QString &notice : result.notices)
            PrintError(stderr, QStringLiteral("%1: warning: %2").arg(task.input, notice));
    }
    if (!result.converted) {
        PrintError(stderr, QStringLiteral("%1: %2").arg(task.input, result.reason));
    } else if (verbosity != Verbosity::Quiet) {
        std::fprintf(stdout, "%s -> %s\n", task.input.toUtf8().constData(), task.output.toUtf8().constData());
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
    } forced[] = {{"input", options.inputPlugin, inputs}, {"output", options.outputPlugin, outputs}};
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

// A child's side of a conversion: converts its one file and reports to the parent over
// `reportFd`, including the names of its temporaries, which the parent removes when the child
// is killed before it can. Its own signals remove them too.
int ConvertInChildProcess(const ConvertOptions &options, const FileTask &task, const std::vector<PluginEntry> &inputs,
                          const std::vector<PluginEntry> &outputs, int reportFd) {
    WorkerFrontEnd worker(reportFd, SweeperFd());
    ScopedFrontEnd installed(&worker);
    g_worker = &worker;
    ObserveTemporaries([](const char *path) { g_worker->ReportTemporary(true, path); },
                       [](const char *path) { g_worker->ReportTemporary(false, path); });
    RemoveTemporariesOnSignals();
    const FileResult result = ConvertFile(options, task, inputs, outputs, &worker);
    if (!result.converted) worker.ReportFailure(result.reason);
    return result.converted ? kExitConverted : kExitFailed;
}

QString FolderOf(const PluginList &list) { return QFile::decodeName(QByteArray::fromStdString(list.PluginFolder())); }

}  // namespace

int RunConvert(const ConvertOptions &options) {
    SetPluginFolder(qEnvironmentVariable(kPluginDirVariable));

    const bool onTerminal = ::isatty(STDERR_FILENO) == 1;
    TerminalFrontEnd terminal(options.verbosity, onTerminal, stdout, stderr);
    ScopedFrontEnd installed(&terminal);
    const std::vector<PluginEntry> inputs = DescribePlugins(InputPlugins());
    const std::vector<PluginEntry> outputs = DescribePlugins(OutputPlugins());

    if (options.listPlugins) {
        std::fputs(PluginListing(FolderOf(InputPlugins()), inputs, InputPlugins().Refused(),
                                 FolderOf(OutputPlugins()), outputs, OutputPlugins().Refused())
                       .toUtf8()
                       .constData(),
                   stdout);
        std::fflush(stdout);
        return kExitConverted;
    }
    if (!CheckForcedNames(options, inputs, outputs)) return kExitUsage;

    const bool outputIsFolder = QFileInfo(options.output).isDir();
    if (options.inputs.size() > 1 && !outputIsFolder) {
        PrintError(stderr, QStringLiteral("with several inputs the output must be an existing folder; %1 is not one")
                               .arg(options.output));
        return kExitUsage;
    }
    const std::vector<PlannedTask> planned = PlanTasks(options, outputIsFolder);
    const ConvertInChild convert = [&](const FileTask &task, int reportFd) {
        return ConvertInChildProcess(options, task, inputs, outputs, reportFd);
    };
    if (planned.size() > 1) return RunBatch(options, planned, convert, onTerminal);

    const FileTask &task = planned.front().task;
    terminal.BeginFile(QFileInfo(task.input).fileName());
    const FileResult result = ConvertInWorker(options, task, convert, &terminal);
    terminal.EndFile();
    PrintFileResult(task, result, options.verbosity);
    EndIfInterrupted();
    return result.converted ? kExitConverted : kExitFailed;
}

}  // namespace faltrix
