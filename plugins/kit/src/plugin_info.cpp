// The answers to GetPluginInfo, from the table of a plug-in's format.
#include "faltrix/kit/kit.h"

namespace faltrix::kit {

PluginInfoTable InputInfo(const FormatInfo &format) {
    return {FALTRIX_INPUT_TAG, format.description, format.readPatterns};
}

PluginInfoTable OutputInfo(const FormatInfo &format) {
    return {FALTRIX_OUTPUT_TAG, format.description,
            format.writePatterns.empty() ? format.readPatterns : format.writePatterns};
}

int32_t AnswerPluginInfo(const PluginInfoTable &table, int32_t infoNumber, WCHAR *buffer,
                         int32_t bufferLength) {
    if (!buffer || bufferLength <= 0 || infoNumber < 0) return 0;
    std::u16string_view text;
    if (infoNumber == FALTRIX_INFO_TAG) {
        text = table.tag;
    } else if (infoNumber == FALTRIX_INFO_DESCRIPTION) {
        text = table.description;
    } else {
        const size_t index = static_cast<size_t>(infoNumber / 2 - 1);
        if (index >= table.patterns.size()) return 0;
        const Pattern &p = table.patterns[index];
        text = (infoNumber % 2 == 0) ? p.pattern : p.description;
    }
    if (text.empty()) return 0;
    // The answer is the length of what was written, so a clamped answer stays consistent
    // with the buffer: the file chooser advances by it.
    const size_t n = std::min(text.size(), static_cast<size_t>(bufferLength) - 1);
    text.copy(buffer, n);
    buffer[n] = 0;
    return static_cast<int32_t>(n);
}

}  // namespace faltrix::kit
