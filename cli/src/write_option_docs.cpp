// faltrix-convert-docs: writes the manual page and the shell completions of faltrix-convert
// from its option table, at build time.
//   faltrix-convert-docs man|bash|zsh TEMPLATE OUTPUT
// The template is the hand-written rest of the file; each line holding an @NAME@ mark gets the
// options' part in its place. A mark the writer does not know, or one left without options,
// fails the build rather than shipping a broken file.
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "faltrix/cli/option_table.h"

namespace faltrix {
namespace {

using Marks = std::map<std::string, std::string>;

std::string Dashed(const CommandLineOption &option) { return std::string("--") + option.name; }
std::string ShortDashed(const CommandLineOption &option) {
    return std::string("-") + option.shortName;
}

// Adds `item` to a list, after `separator` unless it is the first.
void Append(std::string *list, const char *separator, const std::string &item) {
    if (!list->empty()) list->append(separator);
    list->append(item);
}

// "-o | --output": the option's names as a case pattern, or the list of completion words.
std::string Names(const CommandLineOption &option, const char *between) {
    return option.shortName ? ShortDashed(option) + between + Dashed(option) : Dashed(option);
}

// roff's minus sign for each '-', so that the page's names can be searched and copied.
std::string Roff(const std::string &text) {
    std::string out;
    for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

// The paragraph's tag: ".BR \-o ", " \-\-output =\fIpath\fR".
std::string ManTag(const CommandLineOption &option) {
    std::string tag = option.shortName ? Roff(ShortDashed(option)) + " \", \" " : "";
    tag += Roff(Dashed(option));
    if (option.valueName) tag += std::string(" =\\fI") + option.manValue + "\\fR";
    return (option.shortName || option.valueName ? ".BR " : ".B ") + tag;
}

Marks ManMarks() {
    std::string text;
    for (const CommandLineOption &option : CommandLineOptions())
        text += ".TP\n" + ManTag(option) + "\n" + option.manText + "\n";
    text.pop_back();
    return {{"OPTIONS", text}};
}

// The options whose value the shells complete alike, as one case pattern.
std::string BashPattern(OptionValue value) {
    std::string pattern;
    for (const CommandLineOption &option : CommandLineOptions())
        if (option.value == value) Append(&pattern, " | ", Names(option, " | "));
    return pattern;
}

Marks BashMarks() {
    std::string choices, words;
    for (const CommandLineOption &option : CommandLineOptions()) {
        if (option.value == OptionValue::Choice)
            Append(&choices, "\n        ",
                   Names(option, " | ") + ") words='" + option.choices + "' ;;");
        Append(&words, " ", Names(option, " "));
    }
    return {{"FORMAT_OPTIONS", BashPattern(OptionValue::Format)},
            {"INPUT_PLUGIN_OPTIONS", BashPattern(OptionValue::InputPlugin)},
            {"OUTPUT_PLUGIN_OPTIONS", BashPattern(OptionValue::OutputPlugin)},
            {"FREE_OPTIONS", BashPattern(OptionValue::Free)},
            {"FILE_OPTIONS", BashPattern(OptionValue::File)},
            {"CHOICE_CASES", choices},
            {"OPTION_WORDS", words}};
}

// What zsh's _arguments does with the value: a function of the template, or a list.
std::string ZshAction(const CommandLineOption &option) {
    switch (option.value) {
    case OptionValue::None:
    case OptionValue::Free: return "";
    case OptionValue::File: return ":_files";
    case OptionValue::Format: return ":_faltrix_convert_formats";
    case OptionValue::InputPlugin: return ":_faltrix_convert_input_plugins";
    case OptionValue::OutputPlugin: return ":_faltrix_convert_output_plugins";
    case OptionValue::Choice: return std::string(":(") + option.choices + ")";
    }
    return "";
}

// One argument of _arguments: '(-o --output)'{-o+,--output=}'[brief]:title:_files'. The
// exclusion list names the option's own pair, so that -o and --output are not both offered.
std::string ZshSpec(const CommandLineOption &option) {
    std::string excluded = option.shortName ? Names(option, " ") : "";
    if (option.excludes) Append(&excluded, " ", option.excludes);
    std::string spec;
    if (option.repeatable || !excluded.empty()) {
        spec.append("'").append(option.repeatable ? "*" : "");
        if (!excluded.empty()) spec.append("(").append(excluded).append(")");
        spec.append("'");
    }
    const char *takes = option.valueName ? (option.shortName ? "+" : "=") : "";
    if (option.shortName)
        spec.append("{")
            .append(ShortDashed(option))
            .append(takes)
            .append(",")
            .append(Dashed(option))
            .append(option.valueName ? "=" : "")
            .append("}'");
    else spec.append("'").append(Dashed(option)).append(takes);
    spec.append("[").append(option.brief).append("]");
    if (option.valueName)
        spec.append(":")
            .append(option.valueTitle ? option.valueTitle : option.valueName)
            .append(ZshAction(option));
    return spec + "'";
}

Marks ZshMarks() {
    std::string text;
    for (const CommandLineOption &option : CommandLineOptions())
        Append(&text, " \\\n", std::string("  ").append(ZshSpec(option)));
    return {{"ARGUMENTS", text}};
}

// The template with each @NAME@ (capitals and '_') replaced; false, with the reason printed,
// for a mark that is unknown or empty. Any other '@', as in the shells' "$@", is left alone.
bool Fill(const std::string &in, const Marks &marks, std::string *out) {
    static const std::regex kMark("@([A-Z_]+)@");
    auto at = in.cbegin();
    for (std::sregex_iterator mark(in.cbegin(), in.cend(), kMark), end; mark != end; ++mark) {
        const auto found = marks.find((*mark)[1].str());
        if (found == marks.end() || found->second.empty()) {
            std::fprintf(stderr, "faltrix-convert-docs: no options for the mark %s\n",
                         mark->str().c_str());
            return false;
        }
        out->append(at, (*mark)[0].first).append(found->second);
        at = (*mark)[0].second;
    }
    out->append(at, in.cend());
    return true;
}

int Run(int argc, char **argv) {
    static const std::map<std::string, std::function<Marks()>> kKinds = {
        {"man", ManMarks}, {"bash", BashMarks}, {"zsh", ZshMarks}};
    const auto kind = argc == 4 ? kKinds.find(argv[1]) : kKinds.end();
    if (kind == kKinds.end()) {
        std::fputs("usage: faltrix-convert-docs man|bash|zsh TEMPLATE OUTPUT\n", stderr);
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string filled;
    if (!in || !Fill(text.str(), kind->second(), &filled)) {
        std::fprintf(stderr, "faltrix-convert-docs: cannot fill %s\n", argv[2]);
        return 1;
    }
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out << filled;
    out.close();
    if (!out) {
        std::fprintf(stderr, "faltrix-convert-docs: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace faltrix

int main(int argc, char **argv) { return faltrix::Run(argc, argv); }
