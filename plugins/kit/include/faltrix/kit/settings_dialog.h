// The small settings dialog of the plug-ins (quality, compression level, lenient reading), shared
// so that every plug-in's ConfigurationDlg looks and behaves the same. Lives in the separate
// target faltrix_plugin_kit_qt: only plug-ins with a dialog link Qt.
#pragma once

#include <string>
#include <vector>

#include "faltrix/gdi.h"

namespace faltrix::kit {

struct Setting {
    enum class Kind { Integer, Choice, Flag };
    Kind kind = Kind::Integer;
    std::string key;                   // the option's key, e.g. "quality": kept under it
    std::string label;                 // UTF-8, e.g. "Quality"
    int minimum = 0, maximum = 100;    // Integer
    std::vector<std::string> choices;  // Choice: value is the index
    int value = 0;                     // Flag: 0 or 1
};

// Shows a modal dialog titled `title` with one row per setting and OK / Cancel, parented to
// `parent` (a QWidget*, may be null). On OK the values in *settings are updated and the
// result is true, and they are kept between runs (KeptValue). False, with *settings
// unchanged, when the user cancels, when there is no Qt application, or when called from a
// thread other than the application's.
bool ShowSettingsDialog(HWND parent, const std::string &title, std::vector<Setting> *settings);

// The application property in which the dialog program names the file (an INI file) that
// keeps confirmed settings between its runs. A program that names none (faltrix-convert, the
// plug-ins' tests) keeps nothing, and every setting starts at its default there.
inline constexpr char kKeptSettingsProperty[] = "faltrixPluginSettings";

// The value last confirmed for the option `key` of the dialog `title` and kept in that file;
// `initial` when none is kept, the file is not named, or the kept value lies outside
// minimum..maximum. Values were once kept under the row's label, which a new wording would
// lose: a value found only under `label` is moved to `key` in the file, once.
int KeptValue(const std::string &title, const std::string &key, const std::string &label,
              int initial, int minimum, int maximum);

}  // namespace faltrix::kit
