// The converter's peak memory on input files made to take much of it: small pictures padded
// with 3 GiB of nothing (sparse files, so they take no disk) and a HEIC whose grid describes
// a canvas of gigabytes over one small tile. Each conversion is a real run of faltrix-convert
// with the bundled plug-ins, in a child process whose peak resident size wait4 reports (the
// converter's own workers included, since it waits for them).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bundled_plugins.h"

extern char **environ;

namespace faltrix {
namespace {

namespace fs = std::filesystem;

const fs::path kBuildDir = [] {
    const char *dir = std::getenv("FALTRIX_BUILD_DIR");
    return fs::path(dir && *dir ? dir : FALTRIX_TEST_BUILD_DIR);
}();
const fs::path kSourceDir = FALTRIX_TEST_SOURCE_DIR;

struct ConverterRun {
    int exitCode = -1;   // -1: killed by a signal
    long peakMiB = 0;    // the largest resident size of the converter and its workers
    std::string errors;  // standard error
};

// faltrix-convert -q <in> -o <out>, to its end.
ConverterRun Convert(const fs::path &in, const fs::path &out) {
    ConverterRun run;
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
    const std::string program = (kBuildDir / "bin" / "faltrix-convert").string();
    std::vector<std::string> args = {program, "-q", in.string(), "-o", out.string()};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        run.errors.append(buffer, size_t(n));
    ::close(pipe[0]);
    if (spawned != 0) return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peakMiB = usage.ru_maxrss / 1024;  // KiB on Linux
    return run;
}

constexpr uintmax_t kPadded = uintmax_t{3} << 30;

struct Case {
    const char *name;
    const char *file;  // in the project
    bool padded;       // made 3 GiB long with a hole
    bool converts;     // else refused, with `cause` on standard error
    long mostMiB;      // the peak the run may reach
    const char *cause;
    friend void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
};

class InputMemory : public ::testing::TestWithParam<Case> {};

// The run ends as the case says, within its memory (the converter alone takes about 40 MiB,
// and under AddressSanitizer about 180, as it loads every input plug-in before webp and heif
// to ask whether it takes the file: poppler, librsvg, LibRaw, OpenEXR, libavif and their
// codecs); a file read whole would take its 3 GiB.
TEST_P(InputMemory, StaysWithinItsBound) {
    const Case &c = GetParam();
    FALTRIX_SKIP_UNLESS_BUILT("input", c.name[0] == 'W' ? "webp" : "heif");
    char folder[] = "/tmp/faltrix-memory-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const fs::path dir = folder, source = kSourceDir / c.file, in = dir / source.filename();
    fs::copy_file(source, in);
    if (c.padded) fs::resize_file(in, kPadded);
    ASSERT_EQ(fs::file_size(in), c.padded ? kPadded : fs::file_size(source));

    const ConverterRun run = Convert(in, dir / "out.bmp");
    EXPECT_EQ(run.exitCode == 0, c.converts) << run.errors;
    EXPECT_LE(run.peakMiB, c.mostMiB) << "peak resident size in MiB";
    EXPECT_NE(run.errors.find(c.cause), std::string::npos) << run.errors;
    EXPECT_EQ(fs::exists(dir / "out.bmp"), c.converts);
    RecordProperty("peak_MiB", std::to_string(run.peakMiB));
    std::cout << c.name << ": peak " << run.peakMiB << " MiB\n";
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Files, InputMemory,
    ::testing::Values(
        Case{"WebpPadded", "fuzz/corpus/webp/rgba32.webp", true, true, 256, ""},
        Case{"WebpAnimationPadded", "fuzz/corpus/webp/animated.webp", true, true, 256, ""},
        Case{"HeicPadded", "fuzz/corpus/heif/rgb24.heic", true, true, 256, ""},
        Case{"AvifPadded", "fuzz/corpus/heif/rgba32.avif", true, true, 256, ""},
        // Items of 352 MiB each: one is within libheif's own limit, four are not
        // within the decoder's 1 GiB; the file holds them only once padded.
        Case{"HeicItemsPastTheCeiling", "tests/data/heif/padded/four-items-of-352-mib.heic", true,
             false, 256, "the items' data comes to more than the 1024 MiB"},
        Case{"HeicGridCanvasOfGigabytes",
             "tests/data/heif/hostile/bomb-grid-26859x25390-of-one-tile.heic", false, false, 300,
             "larger than the decoding limits"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faltrix
