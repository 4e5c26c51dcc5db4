// The options of faltrix-convert, parsed with QCommandLineParser.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "faltrix/cli/convert.h"
#include "faltrix/cli/names.h"
#include "faltrix/keep_aspect.h"

namespace faltrix {
namespace {

// A size of 1 to 2^31 - 1 pixels: the widest a bitmap header can describe; with a trailing
// '%' (when `percent` may be set), 1 to 2^31 - 1 per cent of the picture's side.
std::optional<uint32_t> ParseSide(QString text, bool *percent = nullptr) {
    text = text.trimmed();
    if (percent) *percent = text.endsWith(u'%');
    if (percent && *percent) text.chop(1);
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

// The processors this process may run on (taskset, a container's share), not all the
// machine has.
int DefaultJobs() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

// The files below `folder` (bytes, ending in '/'), hidden ones too but not the host's own
// temporaries, as paths relative to it in `relative`. Read with readdir, not QDirIterator, so
// that names whose bytes are not UTF-8 come through as they are; folders that cannot be read
// are passed over, as a walk of the tree would. Links are followed to files, not to folders,
// so that a link back up cannot make the walk endless.
void ListFilesBelow(const QByteArray &folder, const QByteArray &relative,
                    std::vector<QByteArray> *found) {
    DIR *dir = ::opendir(folder.constData());
    if (dir == nullptr) return;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == ".." || name.startsWith(".faltrix-")) continue;
        struct stat link {
        }, target{};
        const QByteArray path = folder + name;
        if (::lstat(path.constData(), &link) != 0) continue;
        if (S_ISDIR(link.st_mode)) ListFilesBelow(path + '/', relative + name + '/', found);
        else if (::stat(path.constData(), &target) == 0 && S_ISREG(target.st_mode))
            found->push_back(relative + name);
    }
    ::closedir(dir);
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts pictures from one format to another through the Faltrix plug-ins, optionally\n"
        "resizing them. With several inputs, OUTPUT is an existing folder and each file is\n"
        "converted in a process of its own."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);

    const QCommandLineOption output(
        {"o", "output"}, "The output file; with several inputs, an existing folder.", "PATH");
    const QCommandLineOption format(
        {"f", "format"}, "The output format when OUTPUT is a folder (png, jpg, ...).", "EXT");
    const QCommandLineOption width({"W", "width"},
                                   "Output width in pixels, or N% of the picture's.", "N");
    const QCommandLineOption height(
        {"H", "height"},
        "Output height in pixels, or N% of the picture's. With only one of "
        "width and height given, the other keeps the picture's aspect ratio "
        "(rounded to the nearest pixel).",
        "N");
    const QCommandLineOption fit(
        "fit", "Resize to fit inside W x H pixels, keeping the aspect ratio.", "WxH");
    const QCommandLineOption antiAlias(
        {"a", "anti-alias"}, "Resize by the dialog's area averaging (the same as --filter area).");
    const QCommandLineOption filter(
        "filter",
        "How a picture whose size changes is resized: lanczos3 (the default), bicubic, "
        "triangle, box (the true area average), area (the dialog's averaging) or "
        "nearest.",
        "NAME");
    const QCommandLineOption inputPlugin(
        "input-plugin", "Use this input plug-in (file name without .so, or description).", "NAME");
    const QCommandLineOption outputPlugin("output-plugin", "Use this output plug-in.", "NAME");
    const QCommandLineOption overwrite("overwrite",
                                       "Replace existing output files (otherwise refused).");
    const QCommandLineOption force(
        "force", "Replace existing output files, read-only ones too (implies --overwrite).");
    const QCommandLineOption lenient(
        "lenient",
        "Decode a damaged input (data cut short or corrupt) as far as it goes, with a "
        "warning, instead of failing. Input plug-ins without such a mode say so and "
        "read as usual.");
    const QCommandLineOption strip(
        "strip",
        "Store no EXIF and no XMP, and no colour profile: a picture with one has its "
        "colours converted to sRGB first. Without it, what the output format can hold "
        "is kept.");
    const QCommandLineOption stripOnly(
        "strip-only",
        "Store none of the blocks listed (of exif, xmp and icc, separated by "
        "commas); the rest is kept.",
        "LIST");
    const QCommandLineOption verbose({"v", "verbose"}, "Print each status line of the conversion.");
    const QCommandLineOption quiet({"q", "quiet"}, "Print nothing but errors.");
    const QCommandLineOption listPlugins(
        "list-plugins", "List the plug-ins found, and every library refused with the reason.");
    const QCommandLineOption jobs({"j", "jobs"},
                                  "Convert N files at once (default: the number of cores).", "N");
    const QCommandLineOption timeout(
        "timeout",
        "Stop a file's conversion after this many seconds (default 120; "
        "0: no limit).",
        "SECONDS");
    const QCommandLineOption quality(
        "quality",
        "Quality of a lossy output (JPEG 1 to 100; WebP, HEIC, AVIF and JPEG XL 0 to 100).", "N");
    const QCommandLineOption lossless(
        "lossless",
        "Store losslessly where the output format can choose (WebP, HEIC, AVIF, JPEG XL).");
    const QCommandLineOption compression(
        "compression",
        "Compression of the output: a TIFF scheme (none, lzw, deflate, packbits) "
        "or a PNG level.",
        "NAME|LEVEL");
    const QCommandLineOption setting(
        "option",
        "Any setting of the output plug-in by its key; an unknown key is refused "
        "with the keys the plug-in knows. May be repeated.",
        "KEY=VALUE");
    const QCommandLineOption recursive(
        {"r", "recursive"},
        "Convert every file below the folders among the inputs, mirroring the "
        "folders under OUTPUT.");
    const QCommandLineOption skipExisting("skip-existing",
                                          "Leave existing outputs alone and skip their files.");
    const QCommandLineOption filesFrom(
        "files-from", "Read more inputs from FILE, one a line ('-': standard input).", "FILE");
    const QCommandLineOption nul({"0", "null"},
                                 "The names of --files-from are separated by NUL bytes.");
    const QCommandLineOption report(
        "report",
        "Write one JSON line per file to FILE ('-': standard output): input, output, "
        "status, size, seconds, message.",
        "FILE");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption version("version", "Show the version.");

    parser.addOptions({output,       format,      width,        height,    fit,     antiAlias,
                       filter,       inputPlugin, outputPlugin, overwrite, force,   lenient,
                       quality,      lossless,    compression,  setting,   strip,   stripOnly,
                       verbose,      quiet,       listPlugins,  jobs,      timeout, recursive,
                       skipExisting, filesFrom,   nul,          report,    help,    version});
    parser.addPositionalArgument("INPUT", "The picture file(s) to convert ('-': standard input).",
                                 "INPUT...");

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
        result.text.replace(
            0, firstLineEnd,
            QStringLiteral("Usage: faltrix-convert [options] INPUT... -o OUTPUT\n"
                           "OUTPUT '-' is standard output (name the format with -f)."));
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
    if (parser.isSet(filter)) {
        const std::optional<ResizeFilter> found =
            ResizeFilterNamed(parser.value(filter).trimmed().toLower().toStdString());
        if (!found)
            return usage(
                QStringLiteral(
                    "Unknown filter '%1': give lanczos3, bicubic, triangle, box, area or nearest.")
                    .arg(parser.value(filter)));
        o.filter = *found;
        if (o.antiAlias && o.filter != ResizeFilter::Area)
            return usage("-a is --filter area; give one of them.");
    }
    if (o.antiAlias) o.filter = ResizeFilter::Area;
    o.inputPlugin = parser.value(inputPlugin);
    o.outputPlugin = parser.value(outputPlugin);
    o.replaceReadOnly = parser.isSet(force);
    o.overwrite = parser.isSet(overwrite) || o.replaceReadOnly;
    o.lenient = parser.isSet(lenient);
    o.listPlugins = parser.isSet(listPlugins);
    // In the order given on the command line, so that a later one wins.
    for (const QString &name : parser.optionNames()) {
        const QString value = parser.value(name);
        if (name == QLatin1String("quality")) o.outputOptions.emplace_back(name, value);
        if (name == QLatin1String("lossless"))
            o.outputOptions.emplace_back(name, QStringLiteral("1"));
        if (name == QLatin1String("compression")) o.outputOptions.emplace_back(name, value);
    }
    for (const QString &one : parser.values(setting)) {
        const qsizetype equals = one.indexOf(u'=');
        if (equals <= 0)
            return usage(QStringLiteral("Invalid --option '%1': give KEY=VALUE.").arg(one));
        o.outputOptions.emplace_back(one.left(equals).trimmed(), one.mid(equals + 1).trimmed());
    }
    o.recursive = parser.isSet(recursive);
    o.skipExisting = parser.isSet(skipExisting);
    o.filesFrom = parser.value(filesFrom);
    o.nulSeparated = parser.isSet(nul);
    o.report = parser.value(report);
    o.jobs = DefaultJobs();

    if (parser.isSet(strip) && parser.isSet(stripOnly))
        return usage("--strip and --strip-only exclude each other.");
    if (parser.isSet(strip)) o.metadata = MetadataChoice{false, false, false};
    if (parser.isSet(stripOnly)) {
        for (const QString &value : parser.values(stripOnly)) {
            for (const QString &block : value.split(u',')) {
                const QString name = block.trimmed().toLower();
                if (name == QLatin1String("exif")) o.metadata.exif = false;
                else if (name == QLatin1String("xmp")) o.metadata.xmp = false;
                else if (name == QLatin1String("icc")) o.metadata.icc = false;
                else
                    return usage(QStringLiteral(
                                     "Invalid block '%1' for --strip-only: give exif, xmp or icc.")
                                     .arg(block));
            }
        }
    }
    if (parser.isSet(verbose) && parser.isSet(quiet))
        return usage("--verbose and --quiet exclude each other.");
    if (parser.isSet(verbose)) o.verbosity = Verbosity::Verbose;
    if (parser.isSet(quiet)) o.verbosity = Verbosity::Quiet;

    if (parser.isSet(width)) {
        o.width = ParseSide(parser.value(width), &o.widthPercent);
        if (!o.width)
            return usage(
                QStringLiteral(
                    "Invalid width '%1': give a whole number of pixels from 1 to 2147483647, "
                    "or of per cent followed by %.")
                    .arg(parser.value(width)));
    }
    if (parser.isSet(height)) {
        o.height = ParseSide(parser.value(height), &o.heightPercent);
        if (!o.height)
            return usage(
                QStringLiteral(
                    "Invalid height '%1': give a whole number of pixels from 1 to 2147483647, "
                    "or of per cent followed by %.")
                    .arg(parser.value(height)));
    }
    // A side in pixels that no plug-in reads is refused before any file is looked at.
    if (o.width && !o.widthPercent) {
        if (const std::string beyond = OutputSizeBeyondLimits(*o.width, 1); !beyond.empty())
            return usage(
                QStringLiteral("-W %1: %2").arg(*o.width).arg(QString::fromStdString(beyond)));
    }
    if (o.height && !o.heightPercent) {
        if (const std::string beyond = OutputSizeBeyondLimits(1, *o.height); !beyond.empty())
            return usage(
                QStringLiteral("-H %1: %2").arg(*o.height).arg(QString::fromStdString(beyond)));
    }
    if (parser.isSet(fit)) {
        const QStringList sides = parser.value(fit).split(u'x');
        const auto w = sides.size() == 2 ? ParseSide(sides[0]) : std::nullopt;
        const auto h = sides.size() == 2 ? ParseSide(sides[1]) : std::nullopt;
        if (!w || !h)
            return usage(QStringLiteral("Invalid --fit '%1': give WxH in pixels, such as 800x600.")
                             .arg(parser.value(fit)));
        if (o.width || o.height) return usage("--fit takes the place of -W and -H.");
        o.fit = std::pair(*w, *h);
    }
    if (parser.isSet(jobs)) {
        const auto n = ParseCount(parser.value(jobs), 1, 1024);
        if (!n)
            return usage(QStringLiteral("Invalid number of jobs '%1': give 1 to 1024.")
                             .arg(parser.value(jobs)));
        o.jobs = *n;
    }
    if (parser.isSet(timeout)) {
        const auto n = ParseCount(parser.value(timeout), 0, 7 * 24 * 3600);
        if (!n)
            return usage(
                QStringLiteral("Invalid timeout '%1': give a number of seconds, 0 for no limit.")
                    .arg(parser.value(timeout)));
        o.timeoutSeconds = *n;
    }
    if (parser.isSet(format) && (o.format.isEmpty() || o.format.contains(u'/')))
        return usage(QStringLiteral("Invalid format '%1': give an extension such as png or jpg.")
                         .arg(parser.value(format)));

    if (o.listPlugins) {
        result.action = ParsedCommandLine::Run;
        return result;
    }
    if (o.inputs.isEmpty() && o.filesFrom.isEmpty()) return usage("No input file given.");
    if (o.output.isEmpty()) return usage("No output given: name it with -o.");
    const qsizetype fromStdin =
        o.inputs.count(kStandardStream) + (o.filesFrom == kStandardStream ? 1 : 0);
    if (fromStdin > 1) return usage("Standard input can be read once only.");
    if (o.output == kStandardStream) {
        if (o.inputs.size() != 1 || !o.filesFrom.isEmpty() || o.recursive)
            return usage("Standard output takes the picture of one input.");
        if (o.format.isEmpty())
            return usage("Writing to standard output needs -f to name the format.");
        if (o.report == kStandardStream)
            return usage("The picture and the report cannot both go to standard output.");
    }
    if (o.nulSeparated && o.filesFrom.isEmpty()) return usage("-0 applies to --files-from.");
    result.action = ParsedCommandLine::Run;
    return result;
}

std::optional<QString> GatherInputs(const ConvertOptions &options, std::vector<InputItem> *items) {
    QStringList given = options.inputs;
    if (!options.filesFrom.isEmpty()) {
        QFile list;
        const bool fromStdin = options.filesFrom == kStandardStream;
        const int fd = fromStdin
                           ? STDIN_FILENO
                           : ::open(NameBytes(options.filesFrom).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return QStringLiteral("cannot read the list %1: %2")
                .arg(options.filesFrom, QString::fromLocal8Bit(std::strerror(errno)));
        if (!list.open(fd, QIODevice::ReadOnly,
                       fromStdin ? QFileDevice::DontCloseHandle : QFileDevice::AutoCloseHandle)) {
            if (!fromStdin) ::close(fd);
            return QStringLiteral("cannot read the list %1: %2")
                .arg(options.filesFrom, list.errorString());
        }
        const QByteArray bytes = list.readAll();
        for (const QByteArray &name : bytes.split(options.nulSeparated ? '\0' : '\n')) {
            const QByteArray trimmed =
                options.nulSeparated ? name : QByteArray(name).replace('\r', "");
            if (!trimmed.isEmpty()) given << NameFromBytes(trimmed);
        }
    }
    for (const QString &path : given) {
        if (!options.recursive || path == kStandardStream || !IsFolder(path)) {
            items->push_back({path, {}});
            continue;
        }
        // In byte order of the relative paths, so that runs and reports are repeatable.
        QByteArray folder = NameBytes(path);
        if (!folder.endsWith('/')) folder += '/';
        std::vector<QByteArray> found;
        ListFilesBelow(folder, {}, &found);
        std::sort(found.begin(), found.end());
        for (const QByteArray &relative : found)
            items->push_back({NameFromBytes(folder + relative), NameFromBytes(relative)});
    }
    if (items->empty()) return QStringLiteral("no input file given");
    return std::nullopt;
}

std::vector<PlannedTask> PlanTasks(const ConvertOptions &options,
                                   const std::vector<InputItem> &items, bool outputIsFolder) {
    std::vector<PlannedTask> planned;
    QHash<QString, QString> taken;  // absolute output -> the input that goes there
    for (const InputItem &item : items) {
        PlannedTask one;
        one.task.input = item.path;
        if (outputIsFolder) {
            const QFileInfo info(item.path);
            const QString extension = options.format.isEmpty() ? info.suffix() : options.format;
            QString name = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
            if (!extension.isEmpty()) name += u'.' + extension;
            const QString folder = QFileInfo(item.relative).path();
            one.task.output = QDir(options.output)
                                  .filePath(item.relative.isEmpty() || folder == QLatin1String(".")
                                                ? name
                                                : folder + u'/' + name);
        } else {
            one.task.output = options.output;
        }
        const QString key = AbsoluteName(one.task.output);
        const auto earlier = taken.constFind(key);
        if (earlier != taken.constEnd()) {
            one.clash = *earlier;
        } else {
            taken.insert(key, item.path);
        }
        struct stat info {};
        one.skipped = options.skipExisting && one.clash.isEmpty() &&
                      one.task.output != kStandardStream && StatName(one.task.output, &info);
        planned.push_back(std::move(one));
    }
    return planned;
}

}  // namespace faltrix
