// A plug-in's settings as one table: each known by a key, for SetPluginOption (faltrix-convert's
// --quality, --compression, --option KEY=VALUE), and by a label, for the plug-in's settings
// dialog, so that both reach the same value. Values hold for the session, and in the dialog
// program those confirmed in the dialog are kept between runs, under their keys
// (TakeKeptOptions); the dialog's thread and a job's thread may use them at once.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "faltrix/kit/settings_dialog.h"
#include "faltrix/plugin.h"

namespace faltrix::kit {

struct OptionSpec {
    const char *key;    // "quality": lower case, as typed after --option
    const char *label;  // "Quality": the dialog's row
    Setting::Kind kind = Setting::Kind::Integer;
    int minimum = 0, maximum = 100;    // Integer
    std::vector<std::string> choices;  // Choice: the names, matched without regard to case
    int initial = 0;                   // Flag: 0 or 1; Choice: an index
};

class Options {
public:
    explicit Options(std::vector<OptionSpec> specs);

    // The value of `key` (a Choice's index); 0 for a key the table lacks.
    int Get(std::string_view key) const;
    // SetPluginOption's work: true when the key is known and the value valid (an Integer in
    // its range, a Flag as 1/0, yes/no, true/false or on/off, a Choice by name); otherwise
    // false, with the failure text saying what the table knows.
    bool Set(std::u16string_view key, std::u16string_view value);
    // GetPluginOptionInfo's work: option `index` of the table described into the host's
    // buffers (key, the values it takes, its initial value), each cut to fit and terminated;
    // its kind, or FALTRIX_OPTION_END past the last.
    int32_t Describe(int32_t index, WCHAR *key, int32_t keyLength, WCHAR *values,
                     int32_t valuesLength, WCHAR *initial, int32_t initialLength) const;
    // The table as the dialog's rows, and back from them.
    std::vector<Setting> Form() const;
    void Take(const std::vector<Setting> &form);

private:
    std::string Known() const;

    std::vector<OptionSpec> specs_;
    mutable std::mutex mutex_;
    std::vector<int> values_;
};

// Shows the settings dialog for the table, titled `title`; on OK the values are taken.
bool ConfigureOptions(HWND parent, const std::string &title, Options *options);

// Takes the values kept for the dialog `title` (KeptValue); true, so that a plug-in can call
// it in the initialiser of a namespace-scope constant right after its table.
bool TakeKeptOptions(const std::string &title, Options *options);

}  // namespace faltrix::kit
