// The file choosers of the "IN" and "OUT" buttons.
#include "faltrix/app/file_chooser.h"

#include <QWidget>

#include "faltrix/plugin_list.h"

namespace faltrix {

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
