// What a picture holds besides its pixels, on the plug-in's side of GetPictureMetadata and
// SetPictureMetadata (faltrix/plugin.h): a decoder notes the items it finds while it decodes,
// and the entry point hands them over afterwards; an encoder finds the items the host set for
// the picture it stores.
//
// The items live per thread, in a table keyed by the thread rather than in thread-local
// objects: a thread-local object with a destructor would keep an unloaded plug-in's code
// registered with every thread that ever called it. Each thread's entry goes when the host
// takes the items (input) or clears them (output), and with the library otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix::kit {

// ---- Input side ----------------------------------------------------------------------------

// Forgets what the calling thread noted before and starts noting for the picture at path;
// the GetPictureDIB of FALTRIX_KIT_INPUT_PLUGIN calls it before decoding.
void BeginNotingMetadata(const WCHAR *path);
// Forgets what the calling thread noted (after a failed decoding).
void ForgetNotedMetadata();

// Notes one item of the picture being decoded on this thread. An item over
// FALTRIX_METADATA_MAX_SIZE is not kept; a "dropped" item says so instead.
void NoteMetadata(const char *key, std::string_view bytes);
void NoteMetadataNumber(const char *key, uint64_t value);
// Notes a "dropped" item: words for what the DIB does not keep.
void NoteDropped(std::string_view text);

// Answers GetPictureMetadata: hands what the last decoding of path on this thread noted to
// sink, then forgets it. Returns 0, or 1 when the thread's last decoding was of another
// picture or failed.
int32_t AnswerPictureMetadata(const WCHAR *path, MetadataSinkFn sink, void *context);

// ---- Output side ---------------------------------------------------------------------------

// Answers SetPictureMetadata: a null key forgets what the host set for this thread; a key
// that keeps(key, size) accepts, and then accepts(key, bytes) when given, is copied and 0
// returned; any other key answers 1. accepts runs the format library's own checks and records
// the reason for a refusal with kit::Fail, worded to follow "which" ("libpng rejects: ...").
int32_t TakePictureMetadata(const char *key, const void *bytes, int32_t size,
                            bool (*keeps)(std::string_view key, size_t size),
                            bool (*accepts)(std::string_view key,
                                            std::string_view bytes) = nullptr);

// The layout GetStoredColourType asks about: the depth and, for 1, 4 and 8 bits, the colour
// table, as SourcePicture reads them from the DC when the picture is stored.
struct StoredLayout {
    int bitCount = 0;
    std::vector<RGBQUAD> palette;
};
// Reads the host's BITMAPINFO. False for a header no DIB section has (another size, depth or
// an empty or oversized colour table).
bool ReadStoredLayout(const BITMAPINFO *info, StoredLayout *out);

// GetStoredColourType's answers.
enum class StoredColour : int32_t {
    kUnknown = FALTRIX_STORED_UNKNOWN,
    kGrey = FALTRIX_STORED_GREY,
    kColour = FALTRIX_STORED_COLOUR,
};

// True when every entry is grey (red, green and blue equal).
bool IsGreyPalette(const std::vector<RGBQUAD> &palette);
// True when the table is the even ramp of 2^bits greys, black to white, that a grey file of
// that depth decodes to: the picture can be stored as grey samples unchanged.
bool IsGreyRamp(const std::vector<RGBQUAD> &palette, int bitCount);

// The item the host set for the picture this thread stores next; empty when none.
std::string OutgoingMetadata(std::string_view key);

}  // namespace faltrix::kit
