#include "faltrix/kit/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "faltrix/kit/kit.h"

namespace faltrix::kit {
namespace {

// Options are plain ASCII; anything else matches nothing.
std::string Ascii(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '\x7f';
    return out;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

Options::Options(std::vector<OptionSpec> specs) : specs_(std::move(specs)) {
    for (const OptionSpec &spec : specs_) values_.push_back(spec.initial);
}

int Options::Get(std::string_view key) const {
    const std::lock_guard lock(mutex_);
    for (size_t i = 0; i < specs_.size(); ++i) {
        if (key == specs_[i].key) return values_[i];
    }
    return 0;
}

std::string Options::Known() const {
    std::string known;
    for (const OptionSpec &spec : specs_) {
        if (!known.empty()) known += ", ";
        known += spec.key;
        if (spec.kind == Setting::Kind::Integer)
            known +=
                " (" + std::to_string(spec.minimum) + " to " + std::to_string(spec.maximum) + ")";
        if (spec.kind == Setting::Kind::Flag) known += " (1 or 0)";
        if (spec.kind == Setting::Kind::Choice) {
            known += " (";
            for (size_t c = 0; c < spec.choices.size(); ++c) {
                if (c > 0) known += '/';
                known += Lower(spec.choices[c]);
            }
            known += ')';
        }
    }
    return known.empty() ? "none" : known;
}

bool Options::Set(std::u16string_view key16, std::u16string_view value16) {
    const std::string key = Lower(Ascii(key16));
    const std::string value = Lower(Ascii(value16));
    for (size_t i = 0; i < specs_.size(); ++i) {
        const OptionSpec &spec = specs_[i];
        if (key != spec.key) continue;
        int parsed = -1;
        switch (spec.kind) {
        case Setting::Kind::Integer: {
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), parsed);
            if (error != std::errc() || end != value.data() + value.size() ||
                parsed < spec.minimum || parsed > spec.maximum)
                return Fail(key + " takes a whole number from " + std::to_string(spec.minimum) +
                            " to " + std::to_string(spec.maximum) + ", not '" + value + "'");
            break;
        }
        case Setting::Kind::Flag:
            if (value == "1" || value == "yes" || value == "true" || value == "on") parsed = 1;
            if (value == "0" || value == "no" || value == "false" || value == "off") parsed = 0;
            if (parsed < 0) return Fail(key + " takes 1 or 0, not '" + value + "'");
            break;
        case Setting::Kind::Choice:
            for (size_t c = 0; c < spec.choices.size(); ++c) {
                if (Lower(spec.choices[c]) == value) parsed = static_cast<int>(c);
            }
            if (parsed < 0) {
                std::string names;
                for (const std::string &choice : spec.choices) {
                    if (!names.empty()) names += ", ";
                    names += Lower(choice);
                }
                return Fail(key + " takes one of " + names + ", not '" + value + "'");
            }
            break;
        }
        const std::lock_guard lock(mutex_);
        values_[i] = parsed;
        return true;
    }
    return Fail("unknown option '" + key + "'; known: " + Known());
}

namespace {

// Copies ASCII text into a host buffer of `length` units, cut to fit and terminated.
void Answer(const std::string &text, WCHAR *buffer, int32_t length) {
    if (!buffer || length <= 0) return;
    const size_t n = std::min(text.size(), static_cast<size_t>(length) - 1);
    for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
    buffer[n] = 0;
}

}  // namespace

int32_t Options::Describe(int32_t index, WCHAR *key, int32_t keyLength, WCHAR *values,
                          int32_t valuesLength, WCHAR *initial, int32_t initialLength) const {
    if (index < 0 || static_cast<size_t>(index) >= specs_.size()) return FALTRIX_OPTION_END;
    const OptionSpec &spec = specs_[static_cast<size_t>(index)];
    std::string taken, first = std::to_string(spec.initial);
    int32_t kind = FALTRIX_OPTION_INTEGER;
    switch (spec.kind) {
    case Setting::Kind::Integer:
        taken = std::to_string(spec.minimum) + ".." + std::to_string(spec.maximum);
        break;
    case Setting::Kind::Flag:
        kind = FALTRIX_OPTION_FLAG;
        taken = "0|1";
        break;
    case Setting::Kind::Choice:
        kind = FALTRIX_OPTION_CHOICE;
        for (const std::string &choice : spec.choices) {
            if (!taken.empty()) taken += '|';
            taken += Lower(choice);
        }
        first = static_cast<size_t>(spec.initial) < spec.choices.size()
                    ? Lower(spec.choices[static_cast<size_t>(spec.initial)])
                    : std::string();
        break;
    }
    Answer(spec.key, key, keyLength);
    Answer(taken, values, valuesLength);
    Answer(first, initial, initialLength);
    return kind;
}

std::vector<Setting> Options::Form() const {
    const std::lock_guard lock(mutex_);
    std::vector<Setting> form;
    for (size_t i = 0; i < specs_.size(); ++i) {
        Setting row;
        row.kind = specs_[i].kind;
        row.key = specs_[i].key;
        row.label = specs_[i].label;
        row.minimum = specs_[i].minimum;
        row.maximum = specs_[i].maximum;
        row.choices = specs_[i].choices;
        row.value = values_[i];
        form.push_back(std::move(row));
    }
    return form;
}

void Options::Take(const std::vector<Setting> &form) {
    const std::lock_guard lock(mutex_);
    for (size_t i = 0; i < specs_.size() && i < form.size(); ++i) {
        const OptionSpec &spec = specs_[i];
        const int value = form[i].value;
        const int highest = spec.kind == Setting::Kind::Integer ? spec.maximum
                            : spec.kind == Setting::Kind::Flag
                                ? 1
                                : static_cast<int>(spec.choices.size()) - 1;
        const int lowest = spec.kind == Setting::Kind::Integer ? spec.minimum : 0;
        if (value >= lowest && value <= highest) values_[i] = value;
    }
}

}  // namespace faltrix::kit
