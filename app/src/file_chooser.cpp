// The file choosers of the "IN" and "OUT" buttons.
#include "faltrix/app/file_chooser.h"

#include <QWidget>

#include <algorithm>
#include <array>

#include "faltrix/plugin_list.h"

namespace faltrix {
namespace {

// The text GetPluginInfo wrote, by its answered length but never past the terminator the
// host guarantees.
QString AnsweredText(const std::array<WCHAR, kPluginTextLength> &buffer, int32_t answered) {
    const auto end = std::find(buffer.begin(), buffer.begin() + std::clamp(answered, 0, kPluginTextLength - 1),
                               u'\0');
    return QString::fromUtf16(buffer.data(), end - buffer.begin());
}

}  // namespace

FileChooserRequest BuildChooserRequest(PluginList &plugins, bool forInput) {
    FileChooserRequest request;
    request.title = forInput ? QStringLiteral("Open InputFile") : QStringLiteral("Open OutputFile");
    request.existingOnly = forInput;

    // The filter text holds each pair as two terminated strings and ends with the all-files
    // pair ("All Files(*.*)", "*.*") and an empty string. Qt's "*" also finds names without
    // a dot.
    const int reserved = static_cast<int>(QStringLiteral("All Files(*.*)").size()) + 1 + 4 + 1;
    const QString allFiles = QStringLiteral("All Files (*)");
    int used = 0;

    std::array<WCHAR, kPluginTextLength> pattern{};
    std::array<WCHAR, kPluginTextLength> description{};
    for (int32_t k = 1;; ++k) {
        const int32_t patternLength = plugins.GetPluginInfo(2 * k, pattern.data(), kPluginTextLength);
        if (patternLength <= 0) break;
        const int32_t descriptionLength = plugins.GetPluginInfo(2 * k + 1, description.data(), kPluginTextLength);
        const QString patternText = AnsweredText(pattern, patternLength);
        const QString displayText =
            descriptionLength > 0 ? AnsweredText(description, descriptionLength) : patternText;
        const int cost = static_cast<int>(displayText.size() + 1 + patternText.size() + 1);
        // A pair that does not fit is left out, and so are all after it: the list is cut
        // short rather than the buffer overrun.
        if (used + cost + reserved > kFilterCapacity) break;
        used += cost;
        QString qtPattern = patternText;
        qtPattern.replace(QLatin1Char(';'), QLatin1Char(' '));
        request.filters.append(displayText + QStringLiteral(" (") + qtPattern.simplified() + QLatin1Char(')'));
    }
    request.filters.append(allFiles);
    return request;
}

std::optional<QString> ChooseFile(QWidget *dialog, bool forInput, const QString &folder) {
    PluginList &plugins = forInput ? static_cast<PluginList &>(InputPlugins()) : OutputPlugins();
    FileChooserRequest request = BuildChooserRequest(plugins, forInput);
    request.folder = folder;
    return Interaction().ChooseFile(dialog, request);
}

}  // namespace faltrix
