// Which plug-in converts which file: the command line's view of the program's two plug-in
// lists (InputPlugins(), OutputPlugins()).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "faltrix/plugin_list.h"

namespace faltrix {

struct PluginPattern {
    QString pattern;      // "*.jpg;*.jpeg" as the plug-in answers it
    QString description;  // the pattern itself when the plug-in gives no description
};

// What one accepted plug-in says about itself, read once after the scan.
struct PluginEntry {
    QString path;                         // full path of the library
    QString name;                         // its file name without ".so"
    QString description;                  // GetPluginInfo 1
    std::vector<PluginPattern> patterns;  // GetPluginInfo 2, 3, 4, 5 ...
};

// Points both lists at <folder>/input/ and <folder>/output/ instead of the folders beside
// the executable; an empty folder restores those.
void SetPluginFolder(const QString &folder);

// Scans the list, tells it to keep each library it loads from then on, and describes each
// accepted plug-in by the description and patterns its examination gave. Leaves no plug-in of
// the list selected.
std::vector<PluginEntry> DescribePlugins(PluginList &list);

// The index of the plug-in named by its file name without ".so" or by its description, both
// compared without regard to case; -1 when none is.
int FindPluginByName(const std::vector<PluginEntry> &plugins, const QString &name);

// The index of the first plug-in with a pattern matching fileName (letter case ignored);
// -1 when none has.
int FindPluginForFileName(const std::vector<PluginEntry> &plugins, const QString &fileName);

// Loads the input plug-ins in turn and asks each IsSupported(path, 0, 0), telling `trying`
// (when set) each index first; the first that accepts stays loaded and its index is returned.
// -1, with nothing loaded, when none accepts.
int FindInputPluginFor(InputPluginList &list, const char16_t *path,
                       const std::function<void(uint32_t)> &trying = {});

// The text of --list-plugins: every accepted plug-in (file, description, patterns) and every
// refused candidate with the reason, for both lists.
QString PluginListing(const QString &inputFolder, const std::vector<PluginEntry> &inputs,
                      const std::vector<RefusedCandidate> &inputRefused,
                      const QString &outputFolder, const std::vector<PluginEntry> &outputs,
                      const std::vector<RefusedCandidate> &outputRefused);

}  // namespace faltrix
