// What the HEIF plug-ins share: their information answers, with the libheif found at run
// time in the description, and libheif's errors as failure causes.
#pragma once

#include <libheif/heif.h>

#include "faltrix/kit/kit.h"

namespace faltrix::heif {

// "HEIF/HEIC and AVIF (libheif 1.15.1)" and the input's patterns; an output plug-in gives
// its own name and patterns.
kit::FormatInfo Format(std::u16string_view name = u"HEIF/HEIC and AVIF",
                       std::vector<kit::Pattern> write = {});

// Records libheif's message as the cause ("HEIF: Invalid input: No 'ftyp' box") and answers
// false; true, recording nothing, when error says all went well.
bool Succeeded(const heif_error &error);

// Releases what libheif handed out, on every path.
struct ContextGuard {
    heif_context *context = heif_context_alloc();
    ContextGuard() = default;
    ~ContextGuard() { heif_context_free(context); }
    ContextGuard(const ContextGuard &) = delete;
    ContextGuard &operator=(const ContextGuard &) = delete;
};
struct HandleGuard {
    heif_image_handle *handle = nullptr;
    HandleGuard() = default;
    ~HandleGuard() {
        if (handle) heif_image_handle_release(handle);
    }
    HandleGuard(const HandleGuard &) = delete;
    HandleGuard &operator=(const HandleGuard &) = delete;
};
struct ImageGuard {
    heif_image *image = nullptr;
    ImageGuard() = default;
    ~ImageGuard() {
        if (image) heif_image_release(image);
    }
    ImageGuard(const ImageGuard &) = delete;
    ImageGuard &operator=(const ImageGuard &) = delete;
};

}  // namespace faltrix::heif
