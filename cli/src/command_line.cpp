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
#include "faltrix/cli/option_table.h"
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

// What a step of the parse found wrong with the command line, or nothing.
using Problem = std::optional<QString>;

// Qt's help text, but with the program named as users type it, and a synopsis that has -o.
QString HelpText(const QCommandLineParser &parser) {
    QString text = parser.helpText();
    text.replace(0, text.indexOf(u'\n'),
                 QStringLiteral("Usage: faltrix-convert [options] INPUT... -o OUTPUT\n"
                                "OUTPUT '-' is standard output (name the format with -f)."));
    return text;
}

// The options that are taken as they are given and cannot be wrong.
void ReadPlainOptions(const QCommandLineParser &parser, ConvertOptions *o) {
    o->inputs = parser.positionalArguments();
    o->output = parser.value("output");
    o->format = parser.value("format");
    while (o->format.startsWith(u'.')) o->format.remove(0, 1);
    o->antiAlias = parser.isSet("anti-alias");
    o->inputPlugin = parser.value("input-plugin");
    o->outputPlugin = parser.value("output-plugin");
    o->replaceReadOnly = parser.isSet("force");
    o->overwrite = parser.isSet("overwrite") || o->replaceReadOnly;
    o->lenient = parser.isSet("lenient");
    o->listPlugins = parser.isSet("list-plugins");
    o->recursive = parser.isSet("recursive");
    o->skipExisting = parser.isSet("skip-existing");
    o->filesFrom = parser.value("files-from");
    o->nulSeparated = parser.isSet("null");
    o->report = parser.value("report");
    o->jobs = DefaultJobs();
}

// --filter, and -a as its other name for "area".
Problem ReadFilter(const QCommandLineParser &parser, ConvertOptions *o) {
    if (parser.isSet("filter")) {
        const std::optional<ResizeFilter> found =
            ResizeFilterNamed(parser.value("filter").trimmed().toLower().toStdString());
        if (!found)
            return QStringLiteral(
                       "Unknown filter '%1': give lanczos3, bicubic, triangle, box, area or "
                       "nearest.")
                .arg(parser.value("filter"));
        o->filter = *found;
        if (o->antiAlias && o->filter != ResizeFilter::Area)
            return QStringLiteral("-a is --filter area; give one of them.");
    }
    if (o->antiAlias) o->filter = ResizeFilter::Area;
    return std::nullopt;
}

// The output plug-in's settings: --quality, --lossless and --compression are keys of their
// own, --option names any; all in the order given on the command line, so that a later one
// wins.
Problem ReadOutputSettings(const QCommandLineParser &parser, ConvertOptions *o) {
    for (const QString &name : parser.optionNames()) {
        if (name == QLatin1String("quality") || name == QLatin1String("compression"))
            o->outputOptions.emplace_back(name, parser.value(name));
        if (name == QLatin1String("lossless"))
            o->outputOptions.emplace_back(name, QStringLiteral("1"));
    }
    for (const QString &one : parser.values("option")) {
        const qsizetype equals = one.indexOf(u'=');
        if (equals <= 0) return QStringLiteral("Invalid --option '%1': give KEY=VALUE.").arg(one);
        o->outputOptions.emplace_back(one.left(equals).trimmed(), one.mid(equals + 1).trimmed());
    }
    return std::nullopt;
}

// --strip and --strip-only: which of the picture's blocks are kept.
Problem ReadMetadataChoice(const QCommandLineParser &parser, ConvertOptions *o) {
    if (parser.isSet("strip") && parser.isSet("strip-only"))
        return QStringLiteral("--strip and --strip-only exclude each other.");
    if (parser.isSet("strip")) o->metadata = MetadataChoice{false, false, false};
    for (const QString &value : parser.values("strip-only")) {
        for (const QString &block : value.split(u',')) {
            const QString name = block.trimmed().toLower();
            if (name == QLatin1String("exif")) o->metadata.exif = false;
            else if (name == QLatin1String("xmp")) o->metadata.xmp = false;
            else if (name == QLatin1String("icc")) o->metadata.icc = false;
            else
                return QStringLiteral("Invalid block '%1' for --strip-only: give exif, xmp or icc.")
                    .arg(block);
        }
    }
    return std::nullopt;
}

Problem ReadVerbosity(const QCommandLineParser &parser, ConvertOptions *o) {
    if (parser.isSet("verbose") && parser.isSet("quiet"))
        return QStringLiteral("--verbose and --quiet exclude each other.");
    if (parser.isSet("verbose")) o->verbosity = Verbosity::Verbose;
    if (parser.isSet("quiet")) o->verbosity = Verbosity::Quiet;
    return std::nullopt;
}

// -W and -H, each in pixels or per cent; a side in pixels that no plug-in reads is refused
// before any file is looked at.
Problem ReadSides(const QCommandLineParser &parser, ConvertOptions *o) {
    const struct {
        const char *name, *flag;
        std::optional<uint32_t> *side;
        bool *percent;
    } kSides[] = {{"width", "-W", &o->width, &o->widthPercent},
                  {"height", "-H", &o->height, &o->heightPercent}};
    for (const auto &one : kSides) {
        if (!parser.isSet(one.name)) continue;
        *one.side = ParseSide(parser.value(one.name), one.percent);
        if (!*one.side)
            return QStringLiteral(
                       "Invalid %1 '%2': give a whole number of pixels from 1 to 2147483647, "
                       "or of per cent followed by %.")
                .arg(QLatin1String(one.name), parser.value(one.name));
    }
    for (const auto &one : kSides) {
        if (!*one.side || *one.percent) continue;
        const bool wide = one.side == &o->width;
        const std::string beyond =
            OutputSizeBeyondLimits(wide ? **one.side : 1, wide ? 1 : **one.side);
        if (!beyond.empty())
            return QStringLiteral("%1 %2: %3")
                .arg(QLatin1String(one.flag))
                .arg(**one.side)
                .arg(QString::fromStdString(beyond));
    }
    return std::nullopt;
}

// --fit WxH, in the place of -W and -H.
Problem ReadFit(const QCommandLineParser &parser, ConvertOptions *o) {
    if (!parser.isSet("fit")) return std::nullopt;
    const QStringList sides = parser.value("fit").split(u'x');
    const auto w = sides.size() == 2 ? ParseSide(sides[0]) : std::nullopt;
    const auto h = sides.size() == 2 ? ParseSide(sides[1]) : std::nullopt;
    if (!w || !h)
        return QStringLiteral("Invalid --fit '%1': give WxH in pixels, such as 800x600.")
            .arg(parser.value("fit"));
    if (o->width || o->height) return QStringLiteral("--fit takes the place of -W and -H.");
    o->fit = std::pair(*w, *h);
    return std::nullopt;
}

// --frames all, first, N or N-M.
Problem ReadFrames(const QCommandLineParser &parser, ConvertOptions *o) {
    if (!parser.isSet("frames")) return std::nullopt;
    const QString value = parser.value("frames").trimmed().toLower();
    if (value == u"all") return std::nullopt;
    if (value == u"first") {
        o->frames = {1, 1};
        return std::nullopt;
    }
    const QStringList ends = value.split(u'-');
    const auto first = ends.size() <= 2 ? ParseCount(ends[0], 1, FALTRIX_MAX_FRAMES) : std::nullopt;
    const auto last = ends.size() == 2 ? ParseCount(ends[1], 1, FALTRIX_MAX_FRAMES) : first;
    if (!first || !last || *last < *first)
        return QStringLiteral("Invalid --frames '%1': give all, first, N or N-M, counted from 1.")
            .arg(parser.value("frames"));
    o->frames = {*first, *last};
    return std::nullopt;
}

// --jobs and --timeout, and that -f names an extension.
Problem ReadCountsAndFormat(const QCommandLineParser &parser, ConvertOptions *o) {
    if (parser.isSet("jobs")) {
        const auto n = ParseCount(parser.value("jobs"), 1, 1024);
        if (!n)
            return QStringLiteral("Invalid number of jobs '%1': give 1 to 1024.")
                .arg(parser.value("jobs"));
        o->jobs = *n;
    }
    if (parser.isSet("timeout")) {
        const auto n = ParseCount(parser.value("timeout"), 0, 7 * 24 * 3600);
        if (!n)
            return QStringLiteral("Invalid timeout '%1': give a number of seconds, 0 for no limit.")
                .arg(parser.value("timeout"));
        o->timeoutSeconds = *n;
    }
    if (parser.isSet("format") && (o->format.isEmpty() || o->format.contains(u'/')))
        return QStringLiteral("Invalid format '%1': give an extension such as png or jpg.")
            .arg(parser.value("format"));
    return std::nullopt;
}

// That there is something to convert and somewhere to put it, and that standard input and
// output are each used once. Not asked of --list-plugins, which converts nothing.
Problem CheckInputsAndOutput(const ConvertOptions &o) {
    if (o.listPlugins) return std::nullopt;
    if (o.inputs.isEmpty() && o.filesFrom.isEmpty()) return QStringLiteral("No input file given.");
    if (o.output.isEmpty()) return QStringLiteral("No output given: name it with -o.");
    const qsizetype fromStdin =
        o.inputs.count(kStandardStream) + (o.filesFrom == kStandardStream ? 1 : 0);
    if (fromStdin > 1) return QStringLiteral("Standard input can be read once only.");
    if (o.output == kStandardStream) {
        if (o.inputs.size() != 1 || !o.filesFrom.isEmpty() || o.recursive)
            return QStringLiteral("Standard output takes the picture of one input.");
        if (o.format.isEmpty())
            return QStringLiteral("Writing to standard output needs -f to name the format.");
        if (o.report == kStandardStream)
            return QStringLiteral("The picture and the report cannot both go to standard output.");
    }
    if (o.nulSeparated && o.filesFrom.isEmpty())
        return QStringLiteral("-0 applies to --files-from.");
    return std::nullopt;
}

// Every option after --help and --version, in steps; the first problem found is the answer.
Problem ReadOptions(const QCommandLineParser &parser, ConvertOptions *o) {
    ReadPlainOptions(parser, o);
    using Step = Problem (*)(const QCommandLineParser &, ConvertOptions *);
    for (const Step step : {ReadFilter, ReadOutputSettings, ReadMetadataChoice, ReadVerbosity,
                            ReadSides, ReadFit, ReadFrames, ReadCountsAndFormat}) {
        if (Problem problem = step(parser, o)) return problem;
    }
    return CheckInputsAndOutput(*o);
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts pictures from one format to another through the Faltrix plug-ins, optionally\n"
        "resizing them. With several inputs, OUTPUT is an existing folder and each file is\n"
        "converted in a process of its own."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const CommandLineOption &option : CommandLineOptions()) {
        QStringList names{QString::fromLatin1(option.name)};
        if (option.shortName) names.prepend(QString::fromLatin1(option.shortName));
        parser.addOption(QCommandLineOption(names, QString::fromUtf8(option.help),
                                            QString::fromLatin1(option.valueName)));
    }
    parser.addPositionalArgument("INPUT", "The picture file(s) to convert ('-': standard input).",
                                 "INPUT...");

    ParsedCommandLine result;
    if (!parser.parse(arguments)) result.text = parser.errorText();
    else if (parser.isSet(QStringLiteral("help")))
        result = {ParsedCommandLine::Help, {}, HelpText(parser)};
    else if (parser.isSet(QStringLiteral("version")))
        result = {ParsedCommandLine::Version,
                  {},
                  QStringLiteral("faltrix-convert %1\n").arg(QStringLiteral(FALTRIX_VERSION))};
    else if (const auto problem = ReadOptions(parser, &result.options)) result.text = *problem;
    else result.action = ParsedCommandLine::Run;
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
