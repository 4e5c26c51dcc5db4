// The exported entry points of a bundled plug-in, defined over the functions of its format's
// namespace, so that every plug-in answers alike: the names and C signatures of
// faltrix/plugin.h, nothing thrown across them (kit::Guarded) and the same answer for each
// failure. Use each macro once, at file scope, after the namespace.
//
// FALTRIX_KIT_INPUT_PLUGIN(ns) needs
//   kit::FormatInfo ns::Format();                              shared with the output plug-in
//   bool ns::Recognize(const WCHAR *path);                     judged by content, not by name
//   bool ns::ReadSize(const WCHAR *path, PictureInfo *info);   false when it cannot be read
//   HBITMAP ns::Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
//                      DibAllocCallbackFn alloc);              null on failure
// FALTRIX_KIT_OUTPUT_PLUGIN(ns) needs ns::Format() and
//   bool ns::Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data);
//                                      true when stored; a failure is told by its cause alone
// FALTRIX_KIT_SETTINGS(ns, title) adds ConfigurationDlg, a dialog titled `title`,
// SetPluginOption, by key, and GetPluginOptionInfo, listing the keys, over the plug-in's
// table of settings
//   kit::Options ns::options;          values for the session, which both reach
// FALTRIX_KIT_METADATA_OUTPUT(ns) adds SetPictureMetadata over
//   bool ns::KeepsMetadata(std::string_view key, size_t size);
//                                      true when the format stores an item of that key and size;
//                                      ns::Save finds the items with kit::OutgoingMetadata
// FALTRIX_KIT_METADATA_OUTPUT_CHECKED(ns) is the same and also needs
//   bool ns::AcceptsMetadata(std::string_view key, std::string_view bytes);
//                                      the format library's own checks of an item it keeps,
//                                      run at SetPictureMetadata rather than while storing
// FALTRIX_KIT_STORED_COLOUR(ns) adds GetStoredColourType over
//   kit::StoredColour ns::StoredColour(const kit::StoredLayout &layout);
//                                      the colour type ns::Save writes for that layout: Save
//                                      decides by the same function
// FALTRIX_KIT_BUNDLED_OUTPUT(ns) is FALTRIX_KIT_OUTPUT_PLUGIN, FALTRIX_KIT_METADATA_OUTPUT and
// FALTRIX_KIT_STORED_COLOUR at once, the entry points every bundled output plug-in has;
// FALTRIX_KIT_BUNDLED_OUTPUT_CHECKED(ns) the same with FALTRIX_KIT_METADATA_OUTPUT_CHECKED.
// The input plug-in's GetPictureMetadata hands over what ns::Decode noted with
// kit::NoteMetadata (metadata.h).
// Each failure records its cause (kit::LastFailure) on the calling thread, which both
// plug-in macros hand to the host through GetLastFailureText.
#pragma once

#include "faltrix/kit/frames.h"
#include "faltrix/kit/kit.h"
#include "faltrix/kit/metadata.h"
#include "faltrix/kit/options.h"

#define FALTRIX_KIT_PLUGIN_INFO_(ns, describe)                                                \
    FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,            \
                                                int32_t bufferLength) {                       \
        return ::faltrix::kit::Guarded(0, [&] {                                               \
            static const ::faltrix::kit::PluginInfoTable table = describe(ns::Format());      \
            return ::faltrix::kit::AnswerPluginInfo(table, infoNumber, buffer, bufferLength); \
        });                                                                                   \
    }

// Not Guarded: answering must leave the cause it answers with in place.
#define FALTRIX_KIT_LAST_FAILURE_TEXT_                                                      \
    FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t bufferLength) { \
        return ::faltrix::kit::AnswerLastFailure(buffer, bufferLength);                     \
    }

// The input entry points with `decode` as GetPictureDIB's ns::Decode.
#define FALTRIX_KIT_INPUT_PLUGIN_(ns, decode)                                                \
    FALTRIX_KIT_PLUGIN_INFO_(ns, ::faltrix::kit::InputInfo)                                  \
    FALTRIX_KIT_LAST_FAILURE_TEXT_                                                           \
    FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {         \
        return ::faltrix::kit::Guarded(0, [&] { return ns::Recognize(path) ? 1 : 0; });      \
    }                                                                                        \
    FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t,        \
                                                 PictureInfo *info) {                        \
        return ::faltrix::kit::Guarded(1, [&] {                                              \
            if (!info) return ::faltrix::kit::Fail("no PictureInfo to fill", 1);             \
            return ns::ReadSize(path, info) ? 0 : 1;                                         \
        });                                                                                  \
    }                                                                                        \
    FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t,         \
                                                ProgressCallbackFn progress, int32_t data,   \
                                                DibAllocCallbackFn alloc) {                  \
        HBITMAP bitmap = ::faltrix::kit::Guarded(static_cast<HBITMAP>(nullptr), [&] {        \
            ::faltrix::kit::BeginNotingMetadata(path);                                       \
            return decode(path, progress, data, alloc);                                      \
        });                                                                                  \
        if (!bitmap) ::faltrix::kit::ForgetNotedMetadata();                                  \
        return bitmap;                                                                       \
    }                                                                                        \
    FALTRIX_PLUGIN_EXPORT int32_t GetPictureMetadata(const WCHAR *path, MetadataSinkFn sink, \
                                                     void *context) {                        \
        return ::faltrix::kit::Guarded(                                                      \
            1, [&] { return ::faltrix::kit::AnswerPictureMetadata(path, sink, context); });  \
    }

#define FALTRIX_KIT_INPUT_PLUGIN(ns) FALTRIX_KIT_INPUT_PLUGIN_(ns, ns::Decode)

#define FALTRIX_KIT_OUTPUT_PLUGIN(ns)                                                             \
    FALTRIX_KIT_PLUGIN_INFO_(ns, ::faltrix::kit::OutputInfo)                                      \
    FALTRIX_KIT_LAST_FAILURE_TEXT_                                                                \
    FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t, int32_t,     \
                                                 ProgressCallbackFn progress, int32_t data) {     \
        return ::faltrix::kit::Guarded(false, [&] { return ns::Save(dc, path, progress, data); }) \
                   ? 0                                                                            \
                   : 1;                                                                           \
    }

#define FALTRIX_KIT_SETTINGS(ns, title)                                                       \
    FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t) {                    \
        return ::faltrix::kit::Guarded(1, [&] {                                               \
            return ::faltrix::kit::ConfigureOptions(parent, title, &ns::options) ? 0 : 1;     \
        });                                                                                   \
    }                                                                                         \
    FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *value) {    \
        return ::faltrix::kit::Guarded(1, [&] {                                               \
            if (!name || !value) return ::faltrix::kit::Fail("no option name or value", 1);   \
            return ns::options.Set(name, value) ? 0 : 1;                                      \
        });                                                                                   \
    }                                                                                         \
    FALTRIX_PLUGIN_EXPORT int32_t GetPluginOptionInfo(                                        \
        int32_t index, WCHAR *key, int32_t keyLength, WCHAR *values, int32_t valuesLength,    \
        WCHAR *initial, int32_t initialLength) {                                              \
        return ::faltrix::kit::Guarded(FALTRIX_OPTION_END, [&] {                              \
            return ns::options.Describe(index, key, keyLength, values, valuesLength, initial, \
                                        initialLength);                                       \
        });                                                                                   \
    }

#define FALTRIX_KIT_METADATA_OUTPUT(ns)                                                      \
    FALTRIX_PLUGIN_EXPORT int32_t SetPictureMetadata(const char *key, const void *bytes,     \
                                                     int32_t size) {                         \
        return ::faltrix::kit::Guarded(1, [&] {                                              \
            return ::faltrix::kit::TakePictureMetadata(key, bytes, size, ns::KeepsMetadata); \
        });                                                                                  \
    }

#define FALTRIX_KIT_METADATA_OUTPUT_CHECKED(ns)                                             \
    FALTRIX_PLUGIN_EXPORT int32_t SetPictureMetadata(const char *key, const void *bytes,    \
                                                     int32_t size) {                        \
        return ::faltrix::kit::Guarded(1, [&] {                                             \
            return ::faltrix::kit::TakePictureMetadata(key, bytes, size, ns::KeepsMetadata, \
                                                       ns::AcceptsMetadata);                \
        });                                                                                 \
    }

#define FALTRIX_KIT_STORED_COLOUR(ns)                                           \
    FALTRIX_PLUGIN_EXPORT int32_t GetStoredColourType(const BITMAPINFO *info) { \
        return ::faltrix::kit::Guarded(0, [&] {                                 \
            ::faltrix::kit::StoredLayout layout;                                \
            return ::faltrix::kit::ReadStoredLayout(info, &layout)              \
                       ? static_cast<int32_t>(ns::StoredColour(layout))         \
                       : 0;                                                     \
        });                                                                     \
    }

#define FALTRIX_KIT_BUNDLED_OUTPUT(ns) \
    FALTRIX_KIT_OUTPUT_PLUGIN(ns)      \
    FALTRIX_KIT_METADATA_OUTPUT(ns)    \
    FALTRIX_KIT_STORED_COLOUR(ns)

#define FALTRIX_KIT_BUNDLED_OUTPUT_CHECKED(ns) \
    FALTRIX_KIT_OUTPUT_PLUGIN(ns)              \
    FALTRIX_KIT_METADATA_OUTPUT_CHECKED(ns)    \
    FALTRIX_KIT_STORED_COLOUR(ns)

// FALTRIX_KIT_FRAMES_INPUT(ns) adds OpenFrames, GetFrameDIB and CloseFrames (frames.h) over
//   std::unique_ptr<kit::FrameReader> ns::OpenFrames(const WCHAR *path, kit::Sequence *out);
//                                      null, with the cause recorded, when it cannot be read;
//                                      what it notes with kit::NoteMetadata goes with frame 1
// FALTRIX_KIT_FRAMES_OUTPUT(ns) adds BeginFrames, AddFrame and EndFrames over
//   std::unique_ptr<kit::FrameWriter> ns::BeginFrames(const WCHAR *path,
//                                                     const kit::Sequence &sequence);
//                                      the items the host set are found with
//                                      kit::OutgoingMetadata, as in ns::Save

// The frame-reading entry points with `open` as ns::OpenFrames.
#define FALTRIX_KIT_FRAMES_INPUT_(open)                                                        \
    FALTRIX_PLUGIN_EXPORT int32_t OpenFrames(const WCHAR *path, FrameSequenceInfo *info,       \
                                             void **reader) {                                  \
        return ::faltrix::kit::AnswerOpenFrames(path, info, reader, open);                     \
    }                                                                                          \
    FALTRIX_PLUGIN_EXPORT HBITMAP GetFrameDIB(void *reader, int32_t index, FrameInfo *frame,   \
                                              ProgressCallbackFn progress, int32_t data,       \
                                              DibAllocCallbackFn alloc) {                      \
        return ::faltrix::kit::AnswerGetFrameDIB(reader, index, frame, progress, data, alloc); \
    }                                                                                          \
    FALTRIX_PLUGIN_EXPORT void CloseFrames(void *reader) {                                     \
        ::faltrix::kit::AnswerCloseFrames(reader);                                             \
    }

#define FALTRIX_KIT_FRAMES_INPUT(ns) FALTRIX_KIT_FRAMES_INPUT_(ns::OpenFrames)

#define FALTRIX_KIT_FRAMES_OUTPUT(ns)                                                           \
    FALTRIX_PLUGIN_EXPORT int32_t BeginFrames(const WCHAR *path, const FrameSequenceInfo *info, \
                                              void **writer) {                                  \
        return ::faltrix::kit::AnswerBeginFrames(path, info, writer, ns::BeginFrames);          \
    }                                                                                           \
    FALTRIX_PLUGIN_EXPORT int32_t AddFrame(void *writer, HDC dc, const FrameInfo *frame,        \
                                           ProgressCallbackFn progress, int32_t data) {         \
        return ::faltrix::kit::AnswerAddFrame(writer, dc, frame, progress, data);               \
    }                                                                                           \
    FALTRIX_PLUGIN_EXPORT int32_t EndFrames(void *writer, int32_t complete) {                   \
        return ::faltrix::kit::AnswerEndFrames(writer, complete);                               \
    }

// FALTRIX_KIT_FRAMES_AT_SIZE_INPUT(ns) adds OpenFramesAtSize, for a format drawn from vectors
// (FALTRIX_KIT_FRAMES_INPUT too), over
//   std::unique_ptr<kit::FrameReader> ns::OpenFramesAtSize(const WCHAR *path, int32_t width,
//                                                         int32_t height, kit::Sequence *out);
//                                      frames rendered to fill width x height (within the
//                                      limits, checked before), which *out must answer
#define FALTRIX_KIT_FRAMES_AT_SIZE_INPUT(ns)                                                \
    FALTRIX_PLUGIN_EXPORT int32_t OpenFramesAtSize(const WCHAR *path, int32_t width,        \
                                                   int32_t height, FrameSequenceInfo *info, \
                                                   void **reader) {                         \
        return ::faltrix::kit::AnswerOpenFramesAtSize(path, width, height, info, reader,    \
                                                      ns::OpenFramesAtSize);                \
    }

// FALTRIX_KIT_DRAWN_INPUT(ns) is FALTRIX_KIT_INPUT_PLUGIN, FALTRIX_KIT_FRAMES_INPUT and
// FALTRIX_KIT_FRAMES_AT_SIZE_INPUT at once, for a format drawn from vectors whose frames at
// their natural size are ns::OpenFramesAtSize(path, 0, 0, out) and whose picture is the first
// of them (kit::OpenAtNaturalSize, kit::DecodeAtNaturalSize): it needs ns::Format,
// ns::Recognize, ns::ReadSize and ns::OpenFramesAtSize, no ns::Decode nor ns::OpenFrames.
#define FALTRIX_KIT_DRAWN_INPUT(ns)                                                          \
    FALTRIX_KIT_INPUT_PLUGIN_(ns, ::faltrix::kit::DecodeAtNaturalSize<ns::OpenFramesAtSize>) \
    FALTRIX_KIT_FRAMES_INPUT_(::faltrix::kit::OpenAtNaturalSize<ns::OpenFramesAtSize>)       \
    FALTRIX_KIT_FRAMES_AT_SIZE_INPUT(ns)

// FALTRIX_KIT_ONE_PICTURE_OUTPUT() adds GetFramesPerFile answering 1, for a format of one
// picture whose output has the sequence calls only to take deep samples: the host then hands
// it one frame and tells the user what was left out.
#define FALTRIX_KIT_ONE_PICTURE_OUTPUT() \
    FALTRIX_PLUGIN_EXPORT int32_t GetFramesPerFile(void) { return 1; }

// FALTRIX_KIT_DEEP_INPUT() adds GetFrameSamples over kit::FrameReader::ReadSamples, for a
// format whose readers give frames deeper than 8 bits (Sequence::sampleBits);
// FALTRIX_KIT_DEEP_OUTPUT() adds AddFrameSamples over kit::FrameWriter::AddSamples, for a
// format that stores them: exported, it tells the host the output takes them.
#define FALTRIX_KIT_DEEP_INPUT()                                                              \
    FALTRIX_PLUGIN_EXPORT int32_t GetFrameSamples(                                            \
        void *reader, int32_t index, FrameInfo *frame, SamplePicture *picture,                \
        ProgressCallbackFn progress, int32_t data, SampleAllocCallbackFn alloc) {             \
        return ::faltrix::kit::AnswerGetFrameSamples(reader, index, frame, picture, progress, \
                                                     data, alloc);                            \
    }

#define FALTRIX_KIT_DEEP_OUTPUT()                                                              \
    FALTRIX_PLUGIN_EXPORT int32_t AddFrameSamples(void *writer, const SamplePicture *picture,  \
                                                  const FrameInfo *frame,                      \
                                                  ProgressCallbackFn progress, int32_t data) { \
        return ::faltrix::kit::AnswerAddFrameSamples(writer, picture, frame, progress, data);  \
    }
