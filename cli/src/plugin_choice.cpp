#include "faltrix/cli/plugin_choice.h"

#include "faltrix/cli/names.h"

#include <fnmatch.h>

#include <QFileInfo>

namespace faltrix {
namespace {

QString FromUnits(const std::u16string &text) { return QString::fromStdU16String(text); }

QString LibraryName(const QString &path) {
    QString name = QFileInfo(path).fileName();
    if (name.endsWith(QLatin1String(".so"), Qt::CaseInsensitive)) name.chop(3);
    return name;
}

}  // namespace

void SetPluginFolder(const QString &folder) {
    if (folder.isEmpty()) {
        InputPlugins().SetFolderOverride({});
        OutputPlugins().SetFolderOverride({});
        return;
    }
    const QByteArray base = NameBytes(folder);
    InputPlugins().SetFolderOverride(base.toStdString() + "/input/");
    OutputPlugins().SetFolderOverride(base.toStdString() + "/output/");
}

std::vector<PluginEntry> DescribePlugins(PluginList &list) {
    std::vector<PluginEntry> entries;
    const int32_t count = list.ScanPlugins();
    // A library loaded to ask it about a file stays for the conversion; one never asked is
    // never loaded (loading all of them, with the libraries they bring, took longer than many
    // a conversion).
    list.KeepLoadedLibraries();
    // The texts come from the examination, so that a plug-in that crashes, hangs or writes past
    // its buffer when asked is refused by the examiner instead of stopping this program.
    for (int32_t i = 0; i < count; ++i) {
        const PluginTexts &texts = list.TextsAt(static_cast<uint32_t>(i));
        PluginEntry entry;
        entry.path = QString::fromStdU16String(list.PathAt(static_cast<uint32_t>(i)));
        entry.name = LibraryName(entry.path);
        entry.description = FromUnits(texts.description);
        for (const FilePattern &pattern : texts.patterns) {
            const QString description = FromUnits(pattern.description);
            entry.patterns.push_back({FromUnits(pattern.pattern), description.isEmpty()
                                                                      ? FromUnits(pattern.pattern)
                                                                      : description});
        }
        entries.push_back(std::move(entry));
    }
    // Index past the end: releases whatever the list held, as a list just described holds none.
    list.SelectPlugin(list.Count());
    return entries;
}

int FindPluginByName(const std::vector<PluginEntry> &plugins, const QString &name) {
    for (size_t i = 0; i < plugins.size(); ++i) {
        if (plugins[i].name.compare(name, Qt::CaseInsensitive) == 0) return static_cast<int>(i);
    }
    for (size_t i = 0; i < plugins.size(); ++i) {
        if (!plugins[i].description.isEmpty() &&
            plugins[i].description.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int FindPluginForFileName(const std::vector<PluginEntry> &plugins, const QString &fileName) {
    const QByteArray name = fileName.toUtf8();
    for (size_t i = 0; i < plugins.size(); ++i) {
        for (const PluginPattern &pattern : plugins[i].patterns) {
            for (const QString &one : pattern.pattern.split(u';', Qt::SkipEmptyParts)) {
                const QByteArray glob = one.trimmed().toUtf8();
                if (!glob.isEmpty() &&
                    fnmatch(glob.constData(), name.constData(), FNM_CASEFOLD) == 0)
                    return static_cast<int>(i);
            }
        }
    }
    return -1;
}

int FindInputPluginFor(InputPluginList &list, const char16_t *path,
                       const std::function<void(uint32_t)> &trying) {
    for (uint32_t i = 0; i < list.Count(); ++i) {
        if (trying) trying(i);
        if (list.Current() != static_cast<int32_t>(i) && list.SelectPlugin(i) != 1) continue;
        if (list.IsSupported(path, 0, 0) != 0) return static_cast<int>(i);
    }
    list.SelectPlugin(list.Count());
    return -1;
}

namespace {

void ListOneKind(QString *out, const char *title, const QString &folder,
                 const std::vector<PluginEntry> &plugins,
                 const std::vector<RefusedCandidate> &refused) {
    // Folders and libraries by name, escaped like every name the converter shows.
    *out += QStringLiteral("%1 plug-ins in %2\n")
                .arg(QLatin1String(title), QString::fromUtf8(Printable(folder)));
    if (plugins.empty()) *out += QStringLiteral("  (none)\n");
    for (const PluginEntry &plugin : plugins) {
        *out += QStringLiteral("  %1  %2\n").arg(plugin.name, -8).arg(plugin.description);
        for (const PluginPattern &pattern : plugin.patterns) {
            if (pattern.description == pattern.pattern)
                *out += QStringLiteral("      %1\n").arg(pattern.pattern);
            else
                *out +=
                    QStringLiteral("      %1  (%2)\n").arg(pattern.pattern, pattern.description);
        }
    }
    for (const RefusedCandidate &candidate : refused) {
        *out += QStringLiteral("  refused %1: %2\n")
                    .arg(QString::fromUtf8(
                             Printable(NameFromBytes(QByteArray::fromStdString(candidate.path)))),
                         QString::fromStdString(candidate.reason));
    }
}

}  // namespace

QString PluginListing(const QString &inputFolder, const std::vector<PluginEntry> &inputs,
                      const std::vector<RefusedCandidate> &inputRefused,
                      const QString &outputFolder, const std::vector<PluginEntry> &outputs,
                      const std::vector<RefusedCandidate> &outputRefused) {
    QString out;
    ListOneKind(&out, "Input", inputFolder, inputs, inputRefused);
    ListOneKind(&out, "Output", outputFolder, outputs, outputRefused);
    return out;
}

}  // namespace faltrix
