// The options of faltrix-convert, parsed with QCommandLineParser.
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <thread>

#include "faltrix/cli/convert.h"

namespace faltrix {
namespace {

// A size of 1 to 2^31 - 1 pixels: the widest a bitmap header can describe.
std::optional<uint32_t> ParseSide(const QString &text) {
    bool ok = false;
    const qulonglong value = text.trimmed().toULongLong(&ok, 10);
    if (!ok || value < 1 || value > 0x7FFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<int> ParseCount(const QString &text, int lowest, int highest) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (!ok || value < lowest || value > highest) return std::nullopt;
    return static_cast<int>(value);
}

int DefaultJobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts pictures from one format to another through the Faltrix plug-ins, optionally\n"
        "resizing them. With several inputs, OUTPUT is an existing folder and each file is\n"
        "converted in a process of its own."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);

    const QCommandLineOption output({"o", "output"},
                                    "The output file; with several inputs, an existing folder.", "PATH");
    const QCommandLineOption format({"f", "format"},
                                    "The output format when OUTPUT is a folder (png, jpg, ...).", "EXT");
    const QCommandLineOption width({"W", "width"}, "Output width in pixels.", "N");
    const QCommandLineOption height({"H", "height"},
                                    "Output height in pixels. With only one of width and height "
                                    "given, the other keeps the picture's aspect ratio.",
                                    "N");
    const QCommandLineOption antiAlias({"a", "anti-alias"}, "Resize by area averaging.");
    const QCommandLineOption inputPlugin("input-plugin",
                                         "Use this input plug-in (file name without .so, or description).",
                                         "NAME");
    const QCommandLineOption outputPlugin("output-plugin", "Use this output plug-in.", "NAME");
    const QCommandLineOption overwrite("overwrite", "Replace existing output files (otherwise refused).");
    const QCommandLineOption force("force",
                                   "Replace existing output files, read-only ones too (implies --overwrite).");
    const QCommandLineOption lenient("lenient",
                                     "Decode a damaged input (data cut short or corrupt) as far as it goes, with a "
                                     "warning, instead of failing. Input plug-ins without such a mode say so and "
                                     "read as usual.");
    const QCommandLineOption strip("strip",
                                   "Store no EXIF and no XMP, and no colour profile: a picture with one has its "
                                   "colours converted to sRGB first. Without it, what the output format can hold "
                                   "is kept.");
    const QCommandLineOption stripOnly("strip-only",
                                       "Store none of the blocks listed (of exif, xmp and icc, separated by "
                                       "commas); the rest is kept.",
                                       "LIST");
    const QCommandLineOption verbose({"v", "verbose"}, "Print each status line of the conversion.");
    const QCommandLineOption quiet({"q", "quiet"}, "Print nothing but errors.");
    const QCommandLineOption listPlugins("list-plugins",
                                         "List the plug-ins found, and every library refused with the reason.");
    const QCommandLineOption jobs({"j", "jobs"}, "Convert N files at once (default: the number of cores).",
                                  "N");
    const QCommandLineOption timeout("timeout",
                                     "Stop a file's conversion after this many seconds (default 120; "
                                     "0: no limit).",
                                     "SECONDS");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption version("version", "Show the version.");

    parser.addOptions({output, format, width, height, antiAlias, inputPlugin, outputPlugin, overwrite, force,
                       lenient, strip, stripOnly, verbose, quiet, listPlugins, jobs, timeout, help, version});
    parser.addPositionalArgument("INPUT", "The picture file(s) to convert.", "INPUT...");

    ParsedCommandLine result;
    auto usage = [&result](const QString &message) {
        result.action = ParsedCommandLine::UsageError;
        result.text = message;
        return result;
    };

    if (!parser.parse(arguments)) return usage(parser.errorText());
    if (parser.isSet(help)) {
        result.action = ParsedCommandLine::Help;
        // Qt names the program by the path it was started with; the synopsis also needs -o.
        result.text = parser.helpText();
        const qsizetype firstLineEnd = result.text.indexOf(u'\n');
        result.text.replace(0, firstLineEnd,
                            QStringLiteral("Usage: faltrix-convert [options] INPUT... -o OUTPUT"));
        return result;
    }
    if (parser.isSet(version)) {
        result.action = ParsedCommandLine::Version;
        result.text = QStringLiteral("faltrix-convert %1\n").arg(QStringLiteral(FALTRIX_VERSION));
        return result;
    }

    ConvertOptions &o = result.options;
    o.inputs = parser.positionalArguments();
    o.output = parser.value(output);
    o.format = parser.value(format);
    while (o.format.startsWith(u'.')) o.format.remove(0, 1);
    o.antiAlias = parser.isSet(antiAlias);
    o.inputPlugin = parser.value(inputPlugin);
    o.outputPlugin = parser.value(outputPlugin);
    o.replaceReadOnly = parser.isSet(force);
    o.overwrite = parser.isSet(overwrite) || o.replaceReadOnly;
    o.lenient = parser.isSet(lenient);
    o.listPlugins = parser.isSet(listPlugins);
    o.jobs = DefaultJobs();

    if (parser.isSet(strip) && parser.isSet(stripOnly)) return usage("--strip and --strip-only exclude each other.");
    if (parser.isSet(strip)) o.metadata = MetadataChoice{false, false, false};
    if (parser.isSet(stripOnly)) {
        for (const QString &value : parser.values(stripOnly)) {
            for (const QString &block : value.split(u',')) {
                const QString name = block.trimmed().toLower();
                if (name == QLatin1String("exif")) o.metadata.exif = false;
                else if (name == QLatin1String("xmp")) o.metadata.xmp = false;
                else if (name == QLatin1String("icc")) o.metadata.icc = false;
                else return usage(QStringLiteral("Invalid block '%1' for --strip-only: give exif, xmp or icc.").arg(block));
            }
        }
    }
    if (parser.isSet(verbose) && parser.isSet(quiet)) return usage("--verbose and --quiet exclude each other.");
    if (parser.isSet(verbose)) o.verbosity = Verbosity::Verbose;
    if (parser.isSet(quiet)) o.verbosity = Verbosity::Quiet;

    if (parser.isSet(width)) {
        o.width = ParseSide(parser.value(width));
        if (!o.width) return usage(QStringLiteral("Invalid width '%1': give a whole number of pixels from 1 to 2147483647.")
                                       .arg(parser.value(width)));
    }
    if (parser.isSet(height)) {
        o.height = ParseSide(parser.value(height));
        if (!o.height) return usage(QStringLiteral("Invalid height '%1': give a whole number of pixels from 1 to 2147483647.")
                                        .arg(parser.value(height)));
    }
    if (parser.isSet(jobs)) {
        const auto n = ParseCount(parser.value(jobs), 1, 1024);
        if (!n) return usage(QStringLiteral("Invalid number of jobs '%1': give 1 to 1024.").arg(parser.value(jobs)));
        o.jobs = *n;
    }
    if (parser.isSet(timeout)) {
        const auto n = ParseCount(parser.value(timeout), 0, 7 * 24 * 3600);
        if (!n) return usage(QStringLiteral("Invalid timeout '%1': give a number of seconds, 0 for no limit.")
                                 .arg(parser.value(timeout)));
        o.timeoutSeconds = *n;
    }
    if (parser.isSet(format) && (o.format.isEmpty() || o.format.contains(u'/')))
        return usage(QStringLiteral("Invalid format '%1': give an extension such as png or jpg.").arg(parser.value(format)));

    if (o.listPlugins) {
        result.action = ParsedCommandLine::Run;
        return result;
    }
    if (o.inputs.isEmpty()) return usage("No input file given.");
    if (o.output.isEmpty()) return usage("No output given: name it with -o.");
    result.action = ParsedCommandLine::Run;
    return result;
}

std::vector<PlannedTask> PlanTasks(const ConvertOptions &options, bool outputIsFolder) {
    std::vector<PlannedTask> planned;
    QHash<QString, QString> taken;  // absolute output -> the input that goes there
    for (const QString &input : options.inputs) {
        PlannedTask one;
        one.task.input = input;
        if (outputIsFolder) {
            const QFileInfo info(input);
            const QString extension = options.format.isEmpty() ? info.suffix() : options.format;
            QString name = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
            if (!extension.isEmpty()) name += u'.' + extension;
            one.task.output = QDir(options.output).filePath(name);
        } else {
            one.task.output = options.output;
        }
        const QString key = QDir::cleanPath(QFileInfo(one.task.output).absoluteFilePath());
        const auto earlier = taken.constFind(key);
        if (earlier != taken.constEnd()) {
            one.clash = *earlier;
        } else {
            taken.insert(key, input);
        }
        planned.push_back(std::move(one));
    }
    return planned;
}

}  // namespace faltrix
