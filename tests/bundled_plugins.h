// Which bundled plug-ins this build made. Configure writes bundled-plugins.txt into the build
// folder from the table in plugins/CMakeLists.txt, a line each: "<kind>/<name> built" or
// "<kind>/<name> missing: <why>". A test that needs a plug-in the build left out skips by name
// with that reason; one the build made must be there and load, or the test fails.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace faltrix::testing {

// Why <kind>/<name> was not built; empty when it was.
inline std::string NotBuilt(const std::string &kind, const std::string &name) {
    const char *build = std::getenv("FALTRIX_BUILD_DIR");
    std::ifstream list(std::string(build ? build : "") + "/bundled-plugins.txt");
    const std::string key = kind + "/" + name + " missing: ";
    for (std::string line; std::getline(list, line);)
        if (line.starts_with(key))
            return "the " + kind + " plug-in " + name + " is not built: " + line.substr(key.size());
    return {};
}

}  // namespace faltrix::testing

// Skips the test, giving the reason, when one of the named plug-ins of `kind` was not built.
#define FALTRIX_SKIP_UNLESS_BUILT(kind, ...)                                              \
    for (const std::string skip_name_ : {__VA_ARGS__})                                    \
        if (const std::string skip_why_ = ::faltrix::testing::NotBuilt(kind, skip_name_); \
            !skip_why_.empty())                                                           \
    GTEST_SKIP() << skip_why_
