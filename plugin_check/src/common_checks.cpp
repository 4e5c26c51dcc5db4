// The checks of every plug-in: its texts, its failure text, its options.
#include <algorithm>
#include <cstdlib>
#include <optional>

#include "candidate_check.h"
#include "child.h"
#include "faltrix/text.h"
#include "subject.h"

namespace faltrix::check {
namespace {

constexpr int32_t kGuardUnits = 32;
constexpr WCHAR kGuardUnit = 0xA55A;

// A buffer of `length` units followed by a guard that no answer may touch.
struct Guarded {
    std::vector<WCHAR> units;
    int32_t length;
    explicit Guarded(int32_t n)
        : units(static_cast<size_t>(n + kGuardUnits), kGuardUnit), length(n) {
        std::fill_n(units.begin(), n, WCHAR{0});
    }
    WCHAR *data() { return units.data(); }
    bool Overrun() const {
        return std::any_of(units.begin() + length, units.end(),
                           [](WCHAR u) { return u != kGuardUnit; });
    }
    // The text up to its NUL, or nothing when the buffer holds no NUL.
    std::optional<std::u16string> Text() const {
        const auto end = std::find(units.begin(), units.begin() + length, WCHAR{0});
        if (end == units.begin() + length) return std::nullopt;
        return std::u16string(units.begin(), end);
    }
};

// AskPluginTexts calls a plain function; in the child the plug-in's own is kept here.
GetPluginInfoFn g_getPluginInfo = nullptr;

int32_t TracedPluginInfo(int32_t number, WCHAR *buffer, int32_t length) {
    return Traced("GetPluginInfo(" + std::to_string(number) + ")",
                  [&] { return g_getPluginInfo(number, buffer, length); });
}

void TypeTag(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    if (plugin.getPluginInfo == nullptr) Fail("it exports no GetPluginInfo");
    g_getPluginInfo = plugin.getPluginInfo;
    Guarded buffer(kTagBufferLength);
    TracedPluginInfo(FALTRIX_INFO_TAG, buffer.data(), buffer.length);
    if (buffer.Overrun()) Fail("it wrote past the end of its 256-unit buffer for GetPluginInfo 0");
    const std::u16string tag = buffer.Text().value_or(u"");
    if (tag != FALTRIX_INPUT_TAG && tag != FALTRIX_OUTPUT_TAG)
        Fail("it answered the type tag \"" + ShownText(tag) +
             "\", neither \"00IN_EX\" nor \"00OUT_EX\"");
    Tell("kind", tag == FALTRIX_OUTPUT_TAG ? "output" : "input");
    std::string exported;
    for (const std::string &name : EntryPointNames()) {
        if (DefinesItself(subject, name)) exported += name + ",";
    }
    Tell("exports", exported);
}

void KindComplete(const Subject &subject) {
    const std::vector<std::string> needed =
        subject.output ? std::vector<std::string>{"SaveDIBPicture"}
                       : std::vector<std::string>{"IsSupported", "GetPictureInfo", "GetPictureDIB"};
    for (const std::string &name : needed)
        if (!DefinesItself(subject, name)) Fail("it exports no " + name);
    // The frame calls come as a set of three.
    for (const auto &set : {std::vector<std::string>{"OpenFrames", "GetFrameDIB", "CloseFrames"},
                            std::vector<std::string>{"BeginFrames", "AddFrame", "EndFrames"}}) {
        std::string missing;
        for (const std::string &name : set)
            if (!DefinesItself(subject, name)) missing += (missing.empty() ? "" : ", ") + name;
        if (!missing.empty() && missing.size() < set[0].size() + set[1].size() + set[2].size() + 4)
            Fail("it exports some of " + set[0] + ", " + set[1] + " and " + set[2] + " but not " +
                 missing);
    }
}

void TextsFit(const Subject &subject) {
    g_getPluginInfo = Load(subject).getPluginInfo;
    PluginTexts texts;
    std::string why;
    if (!AskPluginTexts(TracedPluginInfo, &texts, &why)) Fail("it " + why);
}

// Every answer, into buffers of the host's lengths and into a short one, must be the number of
// units written before the NUL: the file chooser advances by it.
void AnswersMatchText(const Subject &subject) {
    g_getPluginInfo = Load(subject).getPluginInfo;
    for (const bool shortBuffer : {false, true}) {
        for (int32_t number = 0; number <= 2 * kMaxPatterns + 1; ++number) {
            const int32_t length = shortBuffer                          ? 6
                                   : number <= FALTRIX_INFO_DESCRIPTION ? kDescriptionBufferLength
                                                                        : kPatternBufferLength;
            Guarded buffer(length);
            const int32_t answer = TracedPluginInfo(number, buffer.data(), length);
            const std::string where = "GetPluginInfo " + std::to_string(number) + " into a " +
                                      std::to_string(length) + "-unit buffer";
            if (buffer.Overrun()) Fail("it wrote past the end of the buffer for " + where);
            if (answer == 0 && number >= 2 && number % 2 == 0) break;  // the patterns ended
            if (answer <= 0) continue;
            const std::optional<std::u16string> text = buffer.Text();
            if (!text) Fail("it left no NUL in the buffer for " + where);
            if (static_cast<size_t>(answer) != text->size())
                Fail("it answered " + std::to_string(answer) + " for " + where + " but wrote " +
                     std::to_string(text->size()) + " units");
        }
    }
}

// A call that must fail, then the cause.
void FailureExplained(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    if (subject.output ? !plugin.saveDIBPicture : !plugin.getPictureInfo)
        Skip("no call to fail is exported");
    std::string failed;
    if (subject.output) {
        const std::u16string path = Units(subject.work + "/no-such-folder/out.x");
        HBITMAP picture = MakeTestPicture(24, false, 8, 8);
        HDC dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, picture);
        const int32_t answer = Traced("SaveDIBPicture(into a missing folder)", [&] {
            return plugin.saveDIBPicture(dc, path.c_str(), 0, 0, RecordProgress, 0);
        });
        if (answer == 0) Fail("SaveDIBPicture answered 0 for a path in a missing folder");
        failed = "SaveDIBPicture failed on a path in a missing folder";
    } else {
        const std::string empty = MakeFolder(subject, "failure") + "/empty";
        WriteFile(empty, "");
        const std::u16string path = Units(empty);
        PictureInfo info{};
        const int32_t answer = Traced("GetPictureInfo(empty file)", [&] {
            return plugin.getPictureInfo(path.c_str(), 0, 0, &info);
        });
        if (answer == 0) Fail("GetPictureInfo answered 0 for an empty file");
        failed = "GetPictureInfo failed on an empty file";
    }
    if (FailureText(plugin).empty()) Fail("GetLastFailureText gave no cause after " + failed);
}

void UnknownOptionsRefused(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const std::u16string longKey(3000, u'k');
    const std::u16string loneSurrogate{u'q', char16_t(0xD800), u'x'};
    for (const std::u16string &key : {std::u16string(u"faltrix-check-no-such-option"),
                                      std::u16string(), longKey, loneSurrogate}) {
        std::string shown = "a " + std::to_string(key.size()) + "-unit key";
        if (key.size() <= 40) shown = std::string(1, '"').append(ShownText(key)).append(1, '"');
        const int32_t answer = Traced("SetPluginOption(" + shown + ")",
                                      [&] { return plugin.setPluginOption(key.c_str(), u"1"); });
        if (answer == 0) Fail("SetPluginOption took the unknown option " + shown);
    }
}

struct OptionEntry {
    int32_t kind;
    std::u16string key, values, defaultValue;
    bool operator==(const OptionEntry &) const = default;
};

std::vector<OptionEntry> ListOptions(const EntryPoints &plugin) {
    std::vector<OptionEntry> entries;
    for (int32_t index = 0;; ++index) {
        if (index == 256) Fail("GetPluginOptionInfo lists more than 256 options");
        Guarded key(FALTRIX_OPTION_KEY_LENGTH), values(FALTRIX_OPTION_VALUES_LENGTH),
            defaultValue(FALTRIX_OPTION_DEFAULT_LENGTH);
        const int32_t kind = Traced("GetPluginOptionInfo(" + std::to_string(index) + ")", [&] {
            return plugin.getPluginOptionInfo(index, key.data(), key.length, values.data(),
                                              values.length, defaultValue.data(),
                                              defaultValue.length);
        });
        if (key.Overrun() || values.Overrun() || defaultValue.Overrun())
            Fail("GetPluginOptionInfo(" + std::to_string(index) + ") wrote past a buffer");
        if (kind == FALTRIX_OPTION_END) return entries;
        if (kind < FALTRIX_OPTION_INTEGER || kind > FALTRIX_OPTION_TEXT)
            Fail("GetPluginOptionInfo(" + std::to_string(index) + ") answered the kind " +
                 std::to_string(kind));
        if (!key.Text() || !values.Text() || !defaultValue.Text())
            Fail("GetPluginOptionInfo(" + std::to_string(index) + ") left a buffer without a NUL");
        entries.push_back({kind, *key.Text(), *values.Text(), *defaultValue.Text()});
    }
}

// Why an option's range or names do not hold its default; empty when they do.
std::string DefaultProblem(const OptionEntry &option) {
    const std::string values = Utf16ToUtf8(option.values), value = Utf16ToUtf8(option.defaultValue);
    if (option.kind == FALTRIX_OPTION_INTEGER) {
        long low = 0, high = 0, number = 0;
        char end = 0;
        if (std::sscanf(values.c_str(), "%ld..%ld%c", &low, &high, &end) != 2 || low > high)
            return "its range \"" + values + "\" is not MIN..MAX";
        if (std::sscanf(value.c_str(), "%ld%c", &number, &end) != 1 || number < low ||
            number > high)
            return "its default \"" + value + "\" is not in " + values;
    } else if (option.kind == FALTRIX_OPTION_FLAG) {
        if (values != "0|1") return "a flag's values are \"" + values + "\", not \"0|1\"";
        if (value != "0" && value != "1") return "a flag's default is \"" + value + "\"";
    } else if (option.kind == FALTRIX_OPTION_CHOICE) {
        if (("|" + values + "|").find("|" + value + "|") == std::string::npos || value.empty())
            return "its default \"" + value + "\" is not one of \"" + values + "\"";
    }
    return {};
}

void OptionsListed(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const std::vector<OptionEntry> options = ListOptions(plugin);
    for (size_t i = 0; i < options.size(); ++i) {
        const std::string key = Utf16ToUtf8(options[i].key);
        if (key.empty()) Fail("option " + std::to_string(i) + " has no key");
        for (size_t j = 0; j < i; ++j)
            if (options[j].key == options[i].key) Fail("the key \"" + key + "\" is listed twice");
        if (const std::string why = DefaultProblem(options[i]); !why.empty())
            Fail("option \"" + key + "\": " + why);
        if (plugin.setPluginOption == nullptr)
            Fail("it lists options but exports no SetPluginOption");
        const int32_t answer = Traced("SetPluginOption(" + key + ")", [&] {
            return plugin.setPluginOption(options[i].key.c_str(), options[i].defaultValue.c_str());
        });
        if (answer != 0)
            Fail("SetPluginOption refused \"" + key + "\" = its own default \"" +
                 Utf16ToUtf8(options[i].defaultValue) + "\"");
    }
    if (ListOptions(plugin) != options)
        Fail("GetPluginOptionInfo answered differently when asked again");
}

}  // namespace

Check TypeTagCheck() { return {"GetPluginInfo(0) answers a type tag", {}, false, TypeTag}; }

std::vector<Check> CommonChecks() {
    return {
        {"exports the entry points of its kind", {}, false, KindComplete},
        {"GetPluginInfo answers fit their buffers", {}, false, TextsFit},
        {"GetPluginInfo answers the length it wrote, also into a short buffer",
         {},
         false,
         AnswersMatchText},
        {"GetLastFailureText gives the cause of a failure",
         {"GetLastFailureText"},
         false,
         FailureExplained},
        {"SetPluginOption refuses unknown keys", {"SetPluginOption"}, false, UnknownOptionsRefused},
        {"GetPluginOptionInfo lists options SetPluginOption takes",
         {"GetPluginOptionInfo"},
         false,
         OptionsListed},
    };
}

}  // namespace faltrix::check
