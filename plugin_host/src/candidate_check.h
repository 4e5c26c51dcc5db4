// What makes a library a plug-in of a list, examined the same way in the host and in the
// examining helper (faltrix-plugin-probe), and the escaping of texts for the line formats
// both speak.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "faltrix/candidate_probe.h"
#include "faltrix/plugin.h"

namespace faltrix {

// The length of the buffer the type tag is asked into, in UTF-16 units.
constexpr int32_t kTagBufferLength = 256;

// An entry point defined in `library` itself (not in a library it depends on), or null.
void *ResolveOwnSymbol(void *library, const char *name);

// Calls a GetPluginInfo entry point into the caller's buffer; clamps the answer to what the
// buffer holds and terminates the buffer, whatever the plug-in wrote or answered. With no
// buffer (null or bufferLength <= 0) nothing is called and the answer is 0.
int32_t CallGetPluginInfo(GetPluginInfoFn fn, int32_t infoNumber, WCHAR *buffer,
                          int32_t bufferLength);

// dlopen of a candidate or plug-in, RTLD_NOW | RTLD_LOCAL, such that a plug-in linked against
// the graphics layer's unversioned name loads as well as one linked against its versioned one.
void *OpenCandidate(const char *path);

// Loads the library at `path` (RTLD_NOW | RTLD_LOCAL), asks its own GetPluginInfo for the type
// tag into a buffer of kTagBufferLength units and, when that is `tag` exactly, for its texts
// (AskPluginTexts), and releases it unless `keepLoaded`. True when the tag is right and the
// texts were asked without a fault; otherwise `why` receives the reason ("exports no
// GetPluginInfo", the tag it answered, a buffer it wrote past, or the loader's own words, in
// which case `loaderFailed` is set: that reason depends on other files than the candidate, the
// libraries it needs).
bool ExamineCandidate(const std::string &path, std::u16string_view tag, std::string *why,
                      bool *loaderFailed, bool keepLoaded, PluginTexts *texts);

// Asks the description and the file patterns, each into a buffer of its length followed by a
// guard that no answer may touch. False, with `why`, when the plug-in wrote past a buffer.
bool AskPluginTexts(GetPluginInfoFn fn, PluginTexts *texts, std::string *why);

// UTF-16 units as four hex digits each, and back (false for anything else): the texts cross
// the helper's pipe and the cache file exactly, whatever units a plug-in answered.
std::string HexUnits(std::u16string_view text);
bool UnhexUnits(std::string_view hex, std::u16string *out);

// A text on one line without tabs: '\\', '\t' and '\n' become "\\\\", "\\t" and "\\n".
std::string EscapeField(std::string_view text);
// The inverse; false for a lone or unknown escape.
bool UnescapeField(std::string_view text, std::string *out);

}  // namespace faltrix
