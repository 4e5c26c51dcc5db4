// The file choosers of the "IN" and "OUT" buttons.
#include "faltrix/app/file_chooser.h"

#include <QSet>
#include <QWidget>

#include "faltrix/plugin_list.h"

namespace faltrix {
namespace {

// "All pictures": every input plug-in's patterns, each once (compared without case), in the
// order of the list. It stands first so that a first start shows every picture the installed
// plug-ins read, whichever plug-in is current; choosing a file then makes its reader current.
// It shares the filter buffer with the current plug-in's pairs: a pattern that would pass
// `budget` units is left out.
QString AllPicturesFilter(const PluginList &plugins, int budget) {
    const QString head = QStringLiteral("All pictures ("), tail = QStringLiteral(")");
    int length = static_cast<int>(head.size() + tail.size()) + 1;
    QStringList patterns;
    QSet<QString> seen;
    for (uint32_t i = 0; i < plugins.Count(); ++i) {
        for (const FilePattern &pattern : plugins.TextsAt(i).patterns) {
            for (const QString &part : QString::fromStdU16String(pattern.pattern)
                                           .split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
                const QString trimmed = part.trimmed();
                const int cost = static_cast<int>(trimmed.size()) + 1;
                if (trimmed.isEmpty() || seen.contains(trimmed.toLower()) || length + cost > budget)
                    continue;
                seen.insert(trimmed.toLower());
                patterns.append(trimmed);
                length += cost;
            }
        }
    }
    if (patterns.isEmpty()) return {};
    return head + patterns.join(QLatin1Char(' ')) + tail;
}

}  // namespace

FileChooserRequest BuildChooserRequest(PluginList &plugins) {
    const bool input = plugins.kind() == PluginKind::Input;
    FileChooserRequest request;
    request.title = input ? QStringLiteral("Open InputFile") : QStringLiteral("Open OutputFile");
    request.existingOnly = input;

    // The filter text holds each pair as two terminated strings and ends with the all-files
    // pair ("All Files(*.*)", "*.*") and an empty string. Qt's "*" also finds names without
    // a dot.
    const int reserved = static_cast<int>(QStringLiteral("All Files(*.*)").size()) + 1 + 4 + 1;
    const QString allFiles = QStringLiteral("All Files (*)");
    int used = 0;
    if (input) {
        if (QString all = AllPicturesFilter(plugins, kFilterCapacity - reserved); !all.isEmpty()) {
            used += static_cast<int>(all.size()) + 1;
            request.filters.append(all);
        }
    }

    // The current plug-in's patterns as its examination read them; none is asked again here.
    static const PluginTexts kNone;
    const PluginTexts &texts =
        plugins.Current() >= 0 ? plugins.TextsAt(static_cast<uint32_t>(plugins.Current())) : kNone;
    for (const FilePattern &pattern : texts.patterns) {
        const QString patternText = QString::fromStdU16String(pattern.pattern);
        const QString displayText = pattern.description.empty()
                                        ? patternText
                                        : QString::fromStdU16String(pattern.description);
        const int cost = static_cast<int>(displayText.size() + 1 + patternText.size() + 1);
        // A pair that does not fit is left out, and so are all after it: the list is cut
        // short rather than the buffer overrun.
        if (used + cost + reserved > kFilterCapacity) break;
        used += cost;
        QString qtPattern = patternText;
        qtPattern.replace(QLatin1Char(';'), QLatin1Char(' '));
        request.filters.append(displayText + QStringLiteral(" (") + qtPattern.simplified() +
                               QLatin1Char(')'));
    }
    request.filters.append(allFiles);
    return request;
}

std::optional<QString> ChooseFile(QWidget *dialog, PluginKind kind, const QString &folder) {
    FileChooserRequest request = BuildChooserRequest(PluginsOf(kind));
    request.folder = folder;
    return Interaction().ChooseFile(dialog, request);
}

}  // namespace faltrix
