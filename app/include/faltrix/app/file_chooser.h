// The file choosers of the "IN" and "OUT" buttons: the list of file types is built afresh on
// every call from the current plug-in's patterns, followed by an entry for all files.
#pragma once

#include <QString>

#include <optional>

#include "faltrix/app/user_interaction.h"

namespace faltrix {

class PluginList;
enum class PluginKind;

// Capacity of the filter text, in UTF-16 units, of a fixed filter buffer: pairs that would
// not fit, together with the all-files pair and the terminators, are left out.
inline constexpr int kFilterCapacity = 2048;
// Length of the plug-in text buffers handed to GetPluginInfo.
inline constexpr int kPluginTextLength = 1024;

// The request for the chooser: title "Open InputFile" or "Open OutputFile" by the kind of
// `plugins`, one filter per pattern pair of its current plug-in (the pattern standing in for a
// missing description, ';' in the pattern turned into a space), then "All Files (*)".
FileChooserRequest BuildChooserRequest(PluginList &plugins);

// Runs the chooser for the dialog's input or output file, as `kind` says, starting in
// `folder`; the chosen path or nothing when cancelled.
std::optional<QString> ChooseFile(QWidget *dialog, PluginKind kind, const QString &folder = {});

}  // namespace faltrix
