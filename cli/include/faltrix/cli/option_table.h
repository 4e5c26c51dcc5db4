// The options of faltrix-convert, each once: its names, its value, its line of --help, what the
// shells offer for its value, and its paragraph of the manual page. ParseCommandLine builds its
// parser from this table, and faltrix-convert-docs writes the manual page and the bash and zsh
// completions from it at build time, so that the four cannot name different options.
// Plain C++ without Qt, so that the build-time writer needs no more than this.
#pragma once

#include <span>

namespace faltrix {

// What a shell completes as the option's value.
enum class OptionValue {
    None,          // a switch: no value
    Free,          // a value with nothing to offer (a number, KEY=VALUE)
    File,          // a file or folder name
    Format,        // an extension of the output plug-ins' file patterns
    InputPlugin,   // an input plug-in's name
    OutputPlugin,  // an output plug-in's name
    Choice,        // one of `choices`
};

struct CommandLineOption {
    const char *name;                 // the long name, without "--"
    const char *shortName = nullptr;  // one character, or none
    const char *valueName = nullptr;  // in --help ("PATH"); none for a switch
    const char *help = "";            // the line of --help
    OptionValue value = OptionValue::None;
    const char *choices = nullptr;     // for Choice: the values, separated by spaces
    const char *brief = "";            // zsh's short description
    const char *valueTitle = nullptr;  // zsh's name for the value; valueName if none
    const char *excludes = nullptr;    // zsh: the options this one excludes ("- *": all)
    bool repeatable = false;           // may be given more than once
    const char *manValue = nullptr;    // the value in the page's tag, in roff
    const char *manText = "";          // the paragraph of the manual page, in roff
};

// Every option, in the order --help and the manual page list them.
std::span<const CommandLineOption> CommandLineOptions();

}  // namespace faltrix
