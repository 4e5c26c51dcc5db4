// One file through the plug-in lists and ConversionJob, and the program's top level.
#include "faltrix/cli/convert.h"

#include <fcntl.h>
#include <sys/prctl.h>
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

std::optional<QString> CheckInput(const QString &input) {
    if (input.size() > kMaxPathUnits)
        return QStringLiteral("the input path is %1 UTF-16 units long; at most %2 are possible")
            .arg(input.size())
            .arg(kMaxPathUnits);
    if (input.contains(QChar::ReplacementCharacter))
        return QStringLiteral("the input's name is not valid UTF-8, so no plug-in can be given it");
    const QByteArray name = QFile::encodeName(input);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return QStringLiteral("cannot read the input: %1").arg(Errno(errno));
    struct stat info {};
    const bool isFolder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    ::close(fd);
    if (isFolder) return QStringLiteral("the input is a folder");
    return std::nullopt;
}

std::optional<QString> CheckOutput(const QString &output, bool overwrite) {
    if (output.size() > kMaxPathUnits)
        return QStringLiteral("the output path is %1 UTF-16 units long; at most %2 are possible")
            .arg(output.size())
            .arg(kMaxPathUnits);
    if (output.contains(QChar::ReplacementCharacter))
        return QStringLiteral("the output's name is not valid UTF-8, so no plug-in can be given it");
    const QByteArray name = QFile::encodeName(output);
    struct stat info {};
    if (::stat(name.constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return QStringLiteral("the output is a folder");
        if (!overwrite) return QStringLiteral("the output exists (--overwrite replaces it)");
    } else if (errno != ENOENT) {
        return QStringLiteral("cannot use the output: %1").arg(Errno(errno));
    }
    const QString folder = QFileInfo(output).absolutePath();
    if (!QFileInfo(folder).isDir()) return QStringLiteral("the output's folder %1 does not exist").arg(folder);
    return std::nullopt;
}

}  // namespace

FileResult ConvertFile(const ConvertOptions &options, const FileTask &task,
                       const std::vector<PluginEntry> &inputs, const std::vector<PluginEntry> &outputs,
                       CliFrontEnd *frontEnd) {
    FileResult result;
    auto fail = [&result](const QString &reason) {
        result.reason = reason;
        return result;
    };
    frontEnd->BeginFile(QFileInfo(task.input).fileName());

    if (auto problem = CheckInput(task.input)) return fail(*problem);
    if (auto problem = CheckOutput(task.output, options.overwrite)) return fail(*problem);
    // CheckInput and CheckOutput refused what does not fit.
    SetJobPath(InputPath, Units(task.input));
    SetJobPath(OutputPath, Units(task.output));

    // The output plug-in: the one named, else the first whose patterns match the output's name
    // (or a name with the extension of --format).
    int output = -1;
    if (!options.outputPlugin.isEmpty()) {
        output = FindPluginByName(outputs, options.outputPlugin);
        if (output < 0) return fail(QStringLiteral("no output plug-in is named '%1'").arg(options.outputPlugin));
    } else {
        const QString name = options.format.isEmpty() ? QFileInfo(task.output).fileName()
                                                      : QStringLiteral("picture.") + options.format;
        output = FindPluginForFileName(outputs, name);
        if (output < 0) {
            const QString suffix = options.format.isEmpty() ? QFileInfo(task.output).suffix() : options.format;
            return fail(suffix.isEmpty()
                            ? QStringLiteral("the output has no extension to choose a format by (use -f or --output-plugin)")
                            : QStringLiteral("no output plug-in writes '.%1' files (see --list-plugins)").arg(suffix));
        }
    }
    OutputPluginList &outputList = OutputPlugins();
    if (outputList.Current() != output && outputList.SelectPlugin(static_cast<uint32_t>(output)) != 1)
        return fail(QStringLiteral("the output plug-in %1 could not be loaded").arg(outputs[size_t(output)].path));

    // The input plug-in: the one named, else the first that accepts the file.
    InputPluginList &inputList = InputPlugins();
    if (!options.inputPlugin.isEmpty()) {
        const int input = FindPluginByName(inputs, options.inputPlugin);
        if (input < 0) return fail(QStringLiteral("no input plug-in is named '%1'").arg(options.inputPlugin));
        if (inputList.Current() != input && inputList.SelectPlugin(static_cast<uint32_t>(input)) != 1)
            return fail(QStringLiteral("the input plug-in %1 could not be loaded").arg(inputs[size_t(input)].path));
    } else if (FindInputPluginFor(inputList, InputPath) < 0) {
        return fail(QStringLiteral("no input plug-in can read this file (see --list-plugins)"));
    }

    // The size: as given; a missing side from the picture, keeping its aspect ratio when the
    // other side is given. When the plug-in cannot tell the size, the job runs all the same
    // and reports the failure in its own words.
    uint32_t width = options.width.value_or(0);
    uint32_t height = options.height.value_or(0);
    if (!options.width || !options.height) {
        PictureInfo info{};
        if (inputList.GetPictureInfo(InputPath, 0, 0, &info) == 0) {
            if (info.width <= 0 || info.height <= 0)
                return fail(QStringLiteral("the input plug-in reports a picture of %1 x %2 pixels")
                                .arg(info.width)
                                .arg(info.height));
            if (!options.width && !options.height) {
                width = static_cast<uint32_t>(info.width);
                height = static_cast<uint32_t>(info.height);
            } else if (options.width) {
                const auto side = KeepAspectSide(info.width, info.height, width);
                if (!side || *side == 0 || *side > 0x7FFFFFFFu)
                    return fail(QStringLiteral("a %1 x %2 picture %3 pixels wide would have no usable height")
                                    .arg(info.width).arg(info.height).arg(width));
                height = *side;
            } else {
                const auto side = KeepAspectSide(info.height, info.width, height);
                if (!side || *side == 0 || *side > 0x7FFFFFFFu)
                    return fail(QStringLiteral("a %1 x %2 picture %3 pixels high would have no usable width")
                                    .arg(info.width).arg(info.height).arg(height));
                width = *side;
            }
        }
    }

    TheConversionRequest = ConversionRequest{};
    TheConversionRequest.outputWidth = width;
    TheConversionRequest.outputHeight = height;
    TheConversionRequest.antiAlias = options.antiAlias ? 1 : 0;
    ConversionJob(nullptr);

    const ConversionOutcome outcome = LastConversionOutcome();
    if (outcome == ConversionOutcome::Stored) {
        result.converted = true;
        return result;
    }
    const QString status = frontEnd->LastStatus();
    return fail(status.isEmpty() ? OutcomeText(outcome) : status);
}

namespace {

void Print(FILE *stream, const QString &text) {
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

void PrintError(const QString &text) { Print(stderr, QStringLiteral("faltrix-convert: %1\n").arg(text)); }

// Forced plug-in names must name a plug-in; a wrong one is a mistake on the command line.
bool CheckForcedNames(const ConvertOptions &options, const std::vector<PluginEntry> &inputs,
                      const std::vector<PluginEntry> &outputs) {
    if (!options.inputPlugin.isEmpty() && FindPluginByName(inputs, options.inputPlugin) < 0) {
        PrintError(QStringLiteral("no input plug-in is named '%1' (see --list-plugins)").arg(options.inputPlugin));
        return false;
    }
    if (!options.outputPlugin.isEmpty() && FindPluginByName(outputs, options.outputPlugin) < 0) {
        PrintError(QStringLiteral("no output plug-in is named '%1' (see --list-plugins)").arg(options.outputPlugin));
        return false;
    }
    return true;
}

}  // namespace

int RunConvert(const ConvertOptions &options, const QString &executable) {
    SetPluginFolder(qEnvironmentVariable(kPluginDirVariable));
    KeepLibrariesResident(InputPlugins());
    KeepLibrariesResident(OutputPlugins());

    if (options.worker) {
        // A worker must not outlive its batch: when the parent is stopped (say by a timeout
        // of its own), a worker stuck in a plug-in would otherwise run on for ever.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != options.workerParent) return kExitFailed;  // the parent is gone already
        WorkerFrontEnd worker(kWorkerReportFd);
        ScopedFrontEnd installed(&worker);
        const std::vector<PluginEntry> inputs = DescribePlugins(InputPlugins());
        const std::vector<PluginEntry> outputs = DescribePlugins(OutputPlugins());
        const FileResult result =
            ConvertFile(options, FileTask{options.inputs.front(), options.output}, inputs, outputs, &worker);
        if (!result.converted) worker.ReportFailure(result.reason);
        return result.converted ? kExitConverted : kExitFailed;
    }

    const bool onTerminal = ::isatty(STDERR_FILENO) == 1;
    TerminalFrontEnd terminal(options.verbosity, onTerminal, stdout, stderr);
    ScopedFrontEnd installed(&terminal);
    const std::vector<PluginEntry> inputs = DescribePlugins(InputPlugins());
    const std::vector<PluginEntry> outputs = DescribePlugins(OutputPlugins());

    if (options.listPlugins) {
        Print(stdout, PluginListing(QFile::decodeName(QByteArray::fromStdString(InputPlugins().PluginFolder())),
                                    inputs, InputPlugins().Refused(),
                                    QFile::decodeName(QByteArray::fromStdString(OutputPlugins().PluginFolder())),
                                    outputs, OutputPlugins().Refused()));
        return kExitConverted;
    }
    if (!CheckForcedNames(options, inputs, outputs)) return kExitUsage;

    const bool outputIsFolder = QFileInfo(options.output).isDir();
    if (options.inputs.size() > 1 && !outputIsFolder) {
        PrintError(QStringLiteral("with several inputs the output must be an existing folder; %1 is not one")
                       .arg(options.output));
        return kExitUsage;
    }
    const std::vector<PlannedTask> planned = PlanTasks(options, outputIsFolder);
    if (planned.size() > 1) return RunBatch(options, planned, executable, onTerminal);

    const FileTask &task = planned.front().task;
    const FileResult result = ConvertFile(options, task, inputs, outputs, &terminal);
    terminal.EndFile();
    if (!result.converted) {
        PrintError(QStringLiteral("%1: %2").arg(task.input, result.reason));
        return kExitFailed;
    }
    if (options.verbosity != Verbosity::Quiet) Print(stdout, QStringLiteral("%1 -> %2\n").arg(task.input, task.output));
    return kExitConverted;
}

}  // namespace faltrix
