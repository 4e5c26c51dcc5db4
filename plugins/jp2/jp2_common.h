// What the JPEG 2000 plug-ins share: their information answers, with the OpenJPEG found at
// run time in the description, and OpenJPEG's messages gathered for the failure text.
#pragma once

#include <openjpeg.h>

#include <string>

#include "faltrix/kit/kit.h"

namespace faltrix::jp2 {

// "JPEG 2000 (OpenJPEG 2.5.0)", patterns *.jp2 and the codestreams' *.j2k, *.j2c, *.jpc.
kit::FormatInfo Format();

// OpenJPEG's errors for one codec, the first kept as the cause of a failure; its warnings and
// notes are dropped, so that nothing reaches the host's standard error.
class Messages {
public:
    // Installs the handlers on codec; the object must outlive it.
    void Listen(opj_codec_t *codec);
    // Records "JPEG 2000: <OpenJPEG's first error>", or `fallback` when it said none; false.
    bool Fail(const std::string &fallback) const;

private:
    static void Error(const char *text, void *self);
    static void Ignore(const char *, void *) {}
    std::string first_;
};

// The codec and the stream of one file, destroyed with the guard.
struct CodecGuard {
    opj_codec_t *codec = nullptr;
    opj_stream_t *stream = nullptr;
    CodecGuard() = default;
    ~CodecGuard() {
        if (stream) opj_stream_destroy(stream);
        if (codec) opj_destroy_codec(codec);
    }
    CodecGuard(const CodecGuard &) = delete;
    CodecGuard &operator=(const CodecGuard &) = delete;
};

// OpenJPEG's picture, destroyed with the guard.
struct ImageGuard {
    opj_image_t *image = nullptr;
    ImageGuard() = default;
    ~ImageGuard() {
        if (image) opj_image_destroy(image);
    }
    ImageGuard(const ImageGuard &) = delete;
    ImageGuard &operator=(const ImageGuard &) = delete;
};

}  // namespace faltrix::jp2
