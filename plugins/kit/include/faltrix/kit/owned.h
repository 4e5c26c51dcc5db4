// A library's handle that is released when it goes out of scope, by the library's own release
// function: std::unique_ptr with that function as the deleter. Plug-ins hold libgif's, libwebp's,
// libheif's, libtiff's and Little CMS's handles this way instead of writing a clean-up struct
// for each, so that none can be copied and released twice.
//   kit::Owned<heif_context, heif_context_free> context{heif_context_alloc()};
// A null handle is never passed to the release function.
#pragma once

#include <memory>

namespace faltrix::kit {

template <auto Release>
struct ReleaseWith {
    template <typename T>
    void operator()(T *handle) const {
        Release(handle);
    }
};

template <typename T, auto Release>
using Owned = std::unique_ptr<T, ReleaseWith<Release>>;

}  // namespace faltrix::kit
