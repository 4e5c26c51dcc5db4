#include "faltrix/cli/plugin_choice.h"

#include "faltrix/cli/names.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fnmatch.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include <QFileInfo>

namespace faltrix {
namespace {

// The file chooser's buffer length for pattern answers.
constexpr int32_t kPatternBufferLength = 1024;
// No plug-in offers more patterns than this; it ends a plug-in that answers every number.
constexpr int32_t kMaxPatterns = 64;

QString Info(PluginList &list, int32_t number, int32_t bufferLength) {
    std::u16string buffer(static_cast<size_t>(bufferLength), u'\0');
    const int32_t length = list.GetPluginInfo(number, buffer.data(), bufferLength);
    if (length <= 0) return {};
    // The host has terminated the buffer; read up to that NUL whatever the answer claimed.
    return QString::fromUtf16(buffer.c_str());
}

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

void KeepLibrariesResident(const PluginList &list) {
    const std::string folder = list.PluginFolder();
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        const size_t length = std::strlen(entry->d_name);
        if (length > 3 && ::strcasecmp(entry->d_name + length - 3, ".so") == 0) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    // The same candidates the scan examines: the first ones in byte order.
    std::sort(names.begin(), names.end());
    if (names.size() > PluginList::kMaxCandidates) names.resize(PluginList::kMaxCandidates);
    const std::string separator = !folder.empty() && folder.back() == '/' ? "" : "/";
    for (const std::string &name : names) {
        const std::string path = folder + separator + name;
        // A refused candidate is never loaded here: it may be one that crashes in loading.
        const auto &refused = list.Refused();
        if (std::any_of(refused.begin(), refused.end(), [&](const RefusedCandidate &r) { return r.path == path; }))
            continue;
        // Deliberately never closed: the handle is what keeps the library in memory.
        (void)::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
}

std::vector<PluginEntry> DescribePlugins(PluginList &list) {
    std::vector<PluginEntry> entries;
    const int32_t count = list.ScanPlugins();
    KeepLibrariesResident(list);
    for (int32_t i = 0; i < count; ++i) {
        PluginEntry entry;
        entry.path = QString::fromStdU16String(list.PathAt(static_cast<uint32_t>(i)));
        entry.name = LibraryName(entry.path);
        if (list.SelectPlugin(static_cast<uint32_t>(i)) == 1) {
            entry.description = Info(list, FALTRIX_INFO_DESCRIPTION, PluginList::kInfoBufferLength);
            for (int32_t n = 1; n <= kMaxPatterns; ++n) {
                const QString pattern = Info(list, 2 * n, kPatternBufferLength);
                if (pattern.isEmpty()) break;
                QString description = Info(list, 2 * n + 1, kPatternBufferLength);
                if (description.isEmpty()) description = pattern;
                entry.patterns.push_back({pattern, description});
            }
        }
        entries.push_back(std::move(entry));
    }
    // Index past the end: releases the library and leaves nothing loaded.
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
                if (!glob.isEmpty() && fnmatch(glob.constData(), name.constData(), FNM_CASEFOLD) == 0)
                    return static_cast<int>(i);
            }
        }
    }
    return -1;
}

int FindInputPluginFor(InputPluginList &list, const char16_t *path, const std::function<void(uint32_t)> &trying) {
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
                 const std::vector<PluginEntry> &plugins, const std::vector<RefusedCandidate> &refused) {
    // Folders and libraries by name, escaped like every name the converter shows.
    *out += QStringLiteral("%1 plug-ins in %2\n").arg(QLatin1String(title), QString::fromUtf8(Printable(folder)));
    if (plugins.empty()) *out += QStringLiteral("  (none)\n");
    for (const PluginEntry &plugin : plugins) {
        *out += QStringLiteral("  %1  %2\n").arg(plugin.name, -8).arg(plugin.description);
        for (const PluginPattern &pattern : plugin.patterns) {
            if (pattern.description == pattern.pattern)
                *out += QStringLiteral("      %1\n").arg(pattern.pattern);
            else
                *out += QStringLiteral("      %1  (%2)\n").arg(pattern.pattern, pattern.description);
        }
    }
    for (const RefusedCandidate &candidate : refused) {
        *out += QStringLiteral("  refused %1: %2\n")
                    .arg(QString::fromUtf8(Printable(NameFromBytes(QByteArray::fromStdString(candidate.path)))),
                         QString::fromStdString(candidate.reason));
    }
}

}  // namespace

QString PluginListing(const QString &inputFolder, const std::vector<PluginEntry> &inputs,
                      const std::vector<RefusedCandidate> &inputRefused, const QString &outputFolder,
                      const std::vector<PluginEntry> &outputs,
                      const std::vector<RefusedCandidate> &outputRefused) {
    QString out;
    ListOneKind(&out, "Input", inputFolder, inputs, inputRefused);
    ListOneKind(&out, "Output", outputFolder, outputs, outputRefused);
    return out;
}

}  // namespace faltrix
