// What the dialog keeps between runs, in $XDG_CONFIG_HOME/faltrix/faltrix.conf (~/.config
// when the variable is unset or not an absolute path): the folder each file chooser was last
// left in, the check boxes, the output size fields and the current plug-in of each list by
// its file name, so that a plug-in folder that moved or gained entries still finds it. The
// paths and the input sizes belong to one picture and are not kept; after a crash the state
// file (dialog_state.h) puts them back over what is kept here. The bundled plug-ins keep their
// own settings in a file beside it.
#pragma once

#include <QSettings>
#include <QString>

#include "faltrix/app/dialog_state.h"

namespace faltrix {

class UserSettings {
public:
    explicit UserSettings(const QString &path = DefaultPath());

    static QString DefaultPath();
    // plugins.conf beside the default file: the bundled plug-ins keep the settings confirmed
    // in their own dialogs there, once the program names it to them (NamePluginSettingsFile).
    static QString PluginSettingsPath();
    // Names that file to the plug-ins through the application's property
    // "faltrixPluginSettings", which their kit reads.
    static void NamePluginSettingsFile();

    // The folder the input (or output) chooser was last left in; empty before the first choice.
    QString Folder(PluginKind kind) const;
    void SetFolder(PluginKind kind, const QString &folder);

    // Keeps the check boxes and the output size fields of `settings`, and the file names of
    // its plug-in paths; the rest is not kept.
    void Keep(const DialogSettings &settings);
    // What Keep kept: the plug-ins as file names.
    DialogSettings Kept() const;

private:
    mutable QSettings settings_;
};

}  // namespace faltrix
