// The plug-in lists against real libraries: the fake plug-ins of tests/fakes/, laid out in a
// temporary plug-in folder per test.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "fake_call.h"
#include "faltrix/candidate_probe.h"
#include "faltrix/plugin_list.h"
#include "faltrix/recording_front_end.h"

namespace fs = std::filesystem;

namespace faltrix {
namespace {

// A fake plug-in's record of its last call as a tuple; nothing when the library is not loaded.
using Call =
    std::tuple<std::string, const void *, const void *, const void *, int32_t, int32_t, int32_t>;
std::optional<Call> LastCallOf(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return std::nullopt;
    const FakeCall c = *static_cast<const FakeCall *>(dlsym(handle, "FakeLastCall"));
    dlclose(handle);
    const std::string entry = c.entry != nullptr ? c.entry : "";
    return Call{entry, c.path, c.first, c.second, c.reserved1, c.reserved2, c.data};
}

std::string FakePath(const std::string &variant) {
    return std::string(FALTRIX_FAKE_PLUGIN_DIR) + "/fake_plugin_" + variant + ".so";
}
std::u16string U16(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }
// An ASCII text as the verdict cache keeps it: four hex digits a UTF-16 unit.
std::string HexOf(const std::string &ascii) {
    std::string hex;
    for (const char c : ascii)
        hex += "00" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    return hex;
}

// What the plug-in call hook was told, as "<list> <path> start|end" (the paths are ASCII).
std::vector<std::string> g_told;
void Tell(PluginKind kind, std::u16string_view path, bool started) {
    g_told.push_back((kind == PluginKind::Input ? "input " : "output ") +
                     std::string(path.begin(), path.end()) + (started ? " start" : " end"));
}

// A plug-in folder of its own with the verdict cache in it, both lists pointed at it, and a
// recording front end.
class HostTest : public ::testing::Test {
protected:
    HostTest() {
        std::string pattern = (fs::temp_directory_path() / "faltrix-host-XXXXXX").string();
        folder = std::string(mkdtemp(pattern.data())) + "/";
        input.SetFolderOverride(folder);
        output.SetFolderOverride(folder);
        setenv("XDG_CACHE_HOME", (folder + "cache").c_str(), 1);
    }
    ~HostTest() override {
        DeleteDC(dc);
        fs::remove_all(folder);
    }
    // Links `name` in the folder to the fake plug-in `variant`; answers the link's path.
    std::string Link(const std::string &variant, const std::string &name) {
        fs::create_symlink(FakePath(variant), folder + name);
        return folder + name;
    }
    // The input list's refusals as "<name in the folder>: <reason>".
    std::vector<std::string> Refusals() const {
        std::vector<std::string> refused;
        for (const RefusedCandidate &r : input.Refused())
            refused.push_back(r.path.substr(folder.size()) + ": " + r.reason);
        return refused;
    }
    std::vector<std::u16string> InputPaths() const {
        std::vector<std::u16string> paths;
        for (uint32_t i = 0; i < input.Count(); ++i) paths.push_back(input.PathAt(i));
        return paths;
    }
    // What the host-side calls answer on both lists: the description of the list holding a
    // library and its length (clamped to the buffer), IsSupported, GetPictureInfo, whether a
    // picture was decoded through the host's allocator, SaveDIBPicture with the progress
    // positions around it, ConfigurationDlg of the list holding a library, and the causes given
    // for the decoding and the storing, one after the other.
    using Positions = std::vector<uint32_t>;
    using Answers = std::tuple<std::u16string, int32_t, int32_t, int32_t, bool, int32_t, Positions,
                               int32_t, std::u16string>;
    Answers AnswersOf() {
        PluginList &holder = output.HasLibrary() ? static_cast<PluginList &>(output) : input;
        // The exact size, so that the sanitizer sees a write past it.
        std::array<WCHAR, 256> buffer{};
        PictureInfo info{};
        const int32_t length = holder.GetPluginInfo(1, buffer.data(), 256);
        HBITMAP bitmap = input.GetPictureDIB(u"/x", 0, 0, ProgressCallback, 0, DibAllocCallback);
        std::u16string causes = LastPluginFailure();
        DeleteObject(bitmap);
        recorder.Clear();
        const int32_t saved = output.SaveDIBPicture(dc, u"/x", 0, 0, ProgressCallback, 0);
        causes += LastPluginFailure();
        const int32_t supported = input.IsSupported(u"/x", 0, 0);
        const int32_t described = input.GetPictureInfo(u"/x", 0, 0, &info);
        const int32_t configured = holder.ConfigurationDlg(nullptr, 0);
        return Answers(buffer.data(), length, supported, described, bitmap != nullptr, saved,
                       recorder.ProgressPositions(), configured, causes);
    }

    std::string folder;
    RecordingFrontEnd recorder;
    ScopedFrontEnd installed{&recorder};
    InputPluginList input;
    OutputPluginList output;
    HDC dc = CreateCompatibleDC(nullptr);
};

// ---- Scanning -----------------------------------------------------------------------------

// No candidate gives -1, only refused ones 0: folders, dangling links and other files are no
// candidates. Candidates end in ".so" in any letter case, copies count as well as links, and
// they are taken in byte order of their names; only the first 256 are examined. A name that is
// not UTF-8 is shown with U+FFFD but loads by its own bytes. A scan replaces the one before,
// its refusals too. The default folder is beside the executable.
TEST_F(HostTest, ScanningTakesCandidatesInByteOrder) {
    for (const std::string &missing : {folder + "does/not/exist", "/" + std::string(5000, 'd')}) {
        input.SetFolderOverride(missing);
        EXPECT_EQ(input.ScanPlugins(), -1);
    }
    input.SetFolderOverride(folder);
    fs::create_directory(folder + "sub.so");
    fs::create_directory_symlink(folder + "sub.so", folder + "dirlink.so");
    fs::create_symlink(folder + "missing.so", folder + "dangling.so");
    std::ofstream(folder + "readme.txt") << "not a library";
    EXPECT_EQ(input.ScanPlugins(), -1);
    std::ofstream(folder + "garbage.so") << "not an ELF file";
    EXPECT_EQ(input.ScanPlugins(), 0);
    ASSERT_EQ(input.Refused().size(), 1u);  // in the loader's own words
    EXPECT_NE(input.Refused()[0].reason.find("garbage.so"), std::string::npos)
        << input.Refused()[0].reason;
    fs::remove(folder + "garbage.so");

    for (const char *name :
         {"b.so", "a.so", "c.So", "A.SO", "d.so.1", "e.sox", "fso", "g.dll", "caf\xE9.so"}) {
        Link("input", name);
    }
    fs::copy_file(FakePath("input"), folder + "Z.sO");
    std::vector<std::u16string> order;
    for (const char *name : {"A.SO", "Z.sO", "a.so", "b.so", "c.So"})
        order.push_back(U16(folder + name));
    order.push_back(U16(folder) + u"caf\uFFFD.so");
    ASSERT_EQ(input.ScanPlugins(), 6);
    EXPECT_EQ(InputPaths(), order);
    EXPECT_TRUE(input.Refused().empty());
    EXPECT_EQ(input.SelectPlugin(5), 1);
    fs::remove(folder + "A.SO");
    ASSERT_EQ(input.ScanPlugins(), 5);
    EXPECT_EQ(InputPaths(), std::vector(order.begin() + 1, order.end()));
    EXPECT_TRUE(recorder.Messages().empty());

    // Digits come before letters: the first 256 of these are the first 256 candidates.
    for (int i = 0; i < 300; ++i) Link("input", std::to_string(1000 + i) + ".so");
    ASSERT_EQ(input.ScanPlugins(), 256);
    EXPECT_EQ(input.PathAt(255), U16(folder + "1255.so"));
    ASSERT_EQ(Refusals().size(), 49u);
    EXPECT_EQ(Refusals()[0],
              "1256.so: not examined: the folder holds more than 256 candidate files");
    const std::string exeFolder = fs::read_symlink("/proc/self/exe").parent_path().string();
    EXPECT_EQ(InputPluginList().PluginFolder(), exeFolder + "/plugins/input/");
    EXPECT_EQ(OutputPluginList().PluginFolder(), exeFolder + "/plugins/output/");
}

// A candidate that crashes, hangs or writes past a buffer while being examined (asked for its
// tag, its description or a pattern) is refused, and the scan goes on; an entry with a
// library's name that is a FIFO is refused unopened. Each verdict is cached with the texts the
// lists show: an edited one is believed until its file changes, also when a copy over it keeps
// its size and modification time, and a damaged cache is rebuilt.
TEST_F(HostTest, CandidatesThatCrashOrHangAreRefusedAndVerdictsCached) {
#ifdef __SANITIZE_ADDRESS__
    // Under the sanitizers a crash is reported before the helper ends: without symbols, and
    // with more time than a crash takes otherwise, however loaded the machine.
    const std::string sanitizer = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (sanitizer + ":symbolize=0").c_str(), 1);
    const auto limit = std::chrono::seconds(5);
    const std::string hung = ": did not answer within 5 s while being examined";
#else
    const auto limit = std::chrono::seconds(1);
    const std::string hung = ": did not answer within 1 s while being examined";
#endif
    SetExamineTimeLimit(limit);
    for (const char *name : {"crash", "hang", "overrun"})
        Link(std::string("info_") + name, std::string(name) + ".so");
    for (const char *name : {"crash", "hang", "overrun"})
        Link(std::string("description_") + name, std::string("d_") + name + ".so");
    Link("pattern_overstep", "overstep.so");
    ASSERT_EQ(mkfifo((folder + "fifo.so").c_str(), 0600), 0);
    Link("input", "input.so");
    fs::copy_file(FakePath("wrong_tag"), folder + "wrong.so");
    const std::string cache = folder + "cache/faltrix/plugin-verdicts";
    const auto rewrite = [](const std::string &file, const std::string &from,
                            const std::string &to) {
        std::ifstream in(file);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        if (size_t at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
        std::ofstream(file) << text;
    };
    // The same bytes written over the file, its modification time put back as cp -p does.
    const auto copyOverKeepingTimes = [&](const std::string &file) {
        struct stat before {};
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        in.close();
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    };
    const std::string crashed = ": crashed while being examined (signal 11)";
    const auto refusals = [&](const std::string &wrongTag) {
        return std::vector<std::string>{
            "crash.so" + crashed,
            "d_crash.so" + crashed,
            "d_hang.so" + hung,
            "d_overrun.so" + crashed,
            "fifo.so: not loaded: it is a FIFO",
            "hang.so" + hung,
            "overrun.so" + crashed,
            "overstep.so: wrote past the end of its 1024-unit buffer for GetPluginInfo 2",
            "wrong.so: answered the type tag \"" + wrongTag + "\", not \"00IN_EX\""};
    };
    // The step, what it changes, the tag wrong.so is refused for, and input.so's description
    // (edited in the cache, and believed while input.so stays as it is).
    const std::tuple<const char *, std::function<void()>, std::string, std::u16string> steps[] = {
        {"cold", [] {}, "NOT_A_TAG", u"Fake input"},
        {"cached verdicts believed",
         [&] {
             rewrite(cache, HexOf("Fake input"), HexOf("Edited"));
             rewrite(cache, "NOT_A_TAG", "EDITED");
         },
         "EDITED", u"Edited"},
        {"copy over it keeping size and times", [&] { copyOverKeepingTimes(folder + "wrong.so"); },
         "NOT_A_TAG", u"Edited"},
        {"changed file examined again",
         [&] { std::ofstream(folder + "wrong.so", std::ios::app) << '\0'; }, "NOT_A_TAG",
         u"Edited"},
        {"damaged cache rebuilt", [&] { rewrite(cache, "faltrix", "garbage"); }, "NOT_A_TAG",
         u"Fake input"}};
    for (const auto &[step, change, wrongTag, description] : steps) {
        change();
        EXPECT_EQ(input.ScanPlugins(), 1) << step;
        std::vector<std::string> refused = Refusals();
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers catch the fakes' faults first and end the helper in their own way.
        static const std::regex caught(
            "(crashed .*\\(signal|ended the process .*\\(exit status) \\d+\\)$");
        for (std::string &r : refused) r = std::regex_replace(r, caught, crashed.substr(2));
#endif
        EXPECT_EQ(refused, refusals(wrongTag)) << step;
        EXPECT_EQ(InputPaths(), std::vector{U16(folder + "input.so")}) << step;
        EXPECT_EQ(input.TextsAt(0), (PluginTexts{description, {{u"*.fake", u"Fake pictures"}}}))
            << step;
    }
    SetExamineTimeLimit(std::chrono::seconds(5));
#ifdef __SANITIZE_ADDRESS__
    setenv("ASAN_OPTIONS", sanitizer.c_str(), 1);
#endif
}

// Without a working examiner no candidate is loaded in this process (crash.so would end it when
// asked for its tag), each is refused with what is wrong with the examiner, and nothing is
// cached: with the examiner back, the same scan takes the plug-in.
TEST_F(HostTest, WithoutAWorkingExaminerNothingIsLoaded) {
    SetExamineTimeLimit(std::chrono::seconds(1));
    Link("info_crash", "crash.so");
    Link("input", "input.so");
    const auto script = [&](const std::string &name, const std::string &body, fs::perms perms) {
        std::ofstream(folder + name) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(folder + name, perms);
        return folder + name;
    };
    const fs::perms runnable = fs::perms::owner_all;
    const std::pair<std::string, std::string> cases[] = {
        {folder + "nowhere", "is missing"},
        {script("unrunnable", "exit 0", fs::perms::owner_read), "could not be started"},
        {script("quits", "exit 0", runnable), "ended before examining anything"},
        {script("stranger", "echo hello >&3", runnable), "does not speak this program's language"},
        {script("sleeper", "exec sleep 30", runnable), "did not start within 1 s"},
    };
    for (const auto &[program, what] : cases) {
        SetExaminerProgram(program);
        EXPECT_EQ(input.ScanPlugins(), 0) << program;
        const std::string reason = ": not examined: faltrix-plugin-probe " + what;
        EXPECT_EQ(Refusals(), (std::vector<std::string>{"crash.so" + reason, "input.so" + reason}))
            << program;
    }
    SetExaminerProgram({});
    EXPECT_EQ(input.ScanPlugins(), 1);
    SetExamineTimeLimit(std::chrono::seconds(5));
}

// A folder that someone else may change, or one below such a folder, is not read: anyone could
// put code in it. A sticky bit keeps others to their own entries, which protects the folders
// below one (as /tmp protects its own), but not the plug-in folder's list of names. A
// candidate file others may change is not loaded, and neither is one the scan examined that
// has changed since.
TEST_F(HostTest, WhatOthersMayChangeIsNeverLoaded) {
    fs::create_directory(folder + "plugins");
    fs::copy_file(FakePath("input"), folder + "plugins/input.so");
    input.SetFolderOverride(folder + "plugins");
    const std::string inFolder = "the plug-in folder " + folder + "plugins/ is not used: ";
    // The parent's mode, the folder's, the folder's owner (0: the user running the test; another
    // needs root), and the refusal.
    const auto writable = [&](const std::string &who, const char *mode) {
        return inFolder + who + " may be written by other users (mode " + mode + ")";
    };
    using P = fs::perms;
    const std::tuple<P, P, uid_t, std::string> cases[] = {
        {P(0755), P(0777), 0, writable("it", "0777")},
        {P(0755), P(0775), 0, writable("it", "0775")},
        {P(0700), P(01777), 0, writable("it", "1777")},
        {P(0777), P(0755), 0, writable(folder.substr(0, folder.size() - 1), "0777")},
        {P(01777), P(0755), 0, ""},
        {P(0700), P(0755), 12345, inFolder + "it belongs to another user (uid 12345)"},
        {P(0700), P(0755), 0, ""},
    };
    for (const auto &[parent, plugins, owner, refusal] : cases) {
        if (owner != 0 && geteuid() != 0) continue;
        fs::permissions(folder, parent);
        fs::permissions(folder + "plugins", plugins);
        ASSERT_EQ(chown((folder + "plugins").c_str(), owner != 0 ? owner : geteuid(), gid_t(-1)),
                  0);
        EXPECT_EQ(input.ScanPlugins(), refusal.empty() ? 1 : -1) << refusal;
        EXPECT_EQ(input.FolderRefusal(), refusal);
    }

    fs::permissions(folder + "plugins/input.so", fs::perms(0666));
    EXPECT_EQ(input.ScanPlugins(), 0);
    EXPECT_EQ(Refusals(), std::vector<std::string>{"plugins/input.so: not loaded: it may be "
                                                   "written by other users (mode 0666)"});

    fs::permissions(folder + "plugins/input.so", fs::perms(0755));
    ASSERT_EQ(input.ScanPlugins(), 1);
    std::ofstream(folder + "plugins/input.so", std::ios::app) << '\0';
    EXPECT_EQ(input.SelectPlugin(0), 0);
    EXPECT_EQ(input.LastLoadError(), "the library has changed since it was examined");
    EXPECT_FALSE(input.HasLibrary());
}

// ---- Selecting and calling ----------------------------------------------------------------

// Which list takes each fake and why the input list refuses it, with no library loaded after
// the scans; then what the calls answer with the fake selected. borrowed_info has
// GetPluginInfo only in a library it depends on; overlong_tag and overlong_info answer with
// unterminated buffers, clamped to 255 units. Missing entry points, or a list without a
// library, give the defaults; SaveDIBPicture gets 0 before and 100 after the plug-in's own
// reports, also when it fails. A list torn down lets its library go.
TEST_F(HostTest, EachListTakesItsExactTagAndPassesTheAnswersOn) {
    const std::string tag = "answered the type tag \"", notInput = "\", not \"00IN_EX\"";
    const std::string outputTag = tag + "00OUT_EX" + notInput;
    const Answers none{u"", -1, -1, -1, false, -1, {}, -1, u""};
    const std::u16string clamped(511, u'C');  // the failing fakes' overrunning cause
    const Positions bracket{0, 50, 100};
    const std::tuple<const char *, int, int, std::string, Answers> cases[] = {
        {"input", 1, 0, "", {u"Fake input", 10, 1, 0, true, -1, {}, 0, u""}},
        {"input_failing", 1, 0, "", {u"Fake input_failing", 18, 0, 1, false, -1, {}, 1, clamped}},
        // Bound all the same.
        {"input_bare", 1, 0, "", {u"Fake input_bare", 15, -1, -1, false, -1, {}, -1, u""}},
        {"overlong_info", 1, 0, "", {std::u16string(255, u'X'), 255, 1, 0, true, -1, {}, 0, u""}},
        {"wrong_tag", 0, 0, tag + "NOT_A_TAG" + notInput, none},
        {"tag_case_input", 0, 0, tag + "00iN_EX" + notInput, none},
        {"tag_case_output", 0, 0, tag + "00OUT_eX" + notInput, none},
        {"no_info", 0, 0, "exports no GetPluginInfo", none},
        {"borrowed_info", 0, 0, "exports no GetPluginInfo", none},
        {"overlong_tag", 0, 0, tag + std::string(255, 'X') + notInput, none},
        {"output_bare", 0, 1, outputTag, {u"Fake output_bare", 16, -1, -1, false, -1, {}, -1, u""}},
        {"output_failing", 0, 1, outputTag,
         Answers{u"Fake output_failing", 19, -1, -1, false, 5, bracket, 1, clamped}},
        {"output", 0, 1, outputTag, {u"Fake output", 11, -1, -1, false, 0, bracket, 0, u""}}};
    for (const auto &[variant, inputs, outputs, reason, answers] : cases) {
        input.Teardown();
        output.Teardown();
        const std::string path = Link(variant, std::string(variant) + ".so");
        EXPECT_EQ(output.ScanPlugins(), outputs) << variant;
        EXPECT_EQ(input.ScanPlugins(), inputs) << variant;
        EXPECT_EQ(Refusals(), inputs == 1 ? std::vector<std::string>{}
                                          : std::vector<std::string>{variant + (".so: " + reason)});
        EXPECT_TRUE(!LastCallOf(path) && !input.HasLibrary() && input.Current() == -1) << variant;
        input.SelectPlugin(0);
        output.SelectPlugin(0);
        EXPECT_EQ(AnswersOf(), answers) << variant;
        EXPECT_TRUE(recorder.Messages().empty());
        fs::remove(path);
    }
    const WCHAR *path = u"/y";
    EXPECT_EQ(output.SaveDIBPicture(dc, path, 3, 4, nullptr, 5), 0);  // no progress: none reported
    EXPECT_EQ(LastCallOf(FakePath("output")), (Call{"SaveDIBPicture", path, dc, nullptr, 3, 4, 5}));
    output.Teardown();
    EXPECT_FALSE(LastCallOf(FakePath("output")));
}

// One library loaded at a time, whose calls get their arguments unchanged and are told to the
// call hook, GetPluginInfo's aside; an index out of range releases it. A library gone since
// the scan gives the message and leaves every slot empty, so that each call answers its
// default instead of jumping into unloaded code, and none is told.
TEST_F(HostTest, SelectingLoadsOneLibraryAtATime) {
    const std::string a = Link("input", "a.so"), b = Link("input_failing", "b.so");
    ASSERT_EQ(input.ScanPlugins(), 2);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    g_told.clear();
    SetPluginCallHook(Tell);
    // A call's answer with what the plug-in received.
    using Seen = std::pair<int64_t, std::optional<Call>>;
    const auto seen = [&a](int64_t answer) { return Seen(answer, LastCallOf(a)); };
    std::array<WCHAR, 8> buffer{};
    PictureInfo info{};
    const WCHAR *path = u"/pics/ä.png";
    // No buffer: the plug-in is not called.
    EXPECT_EQ(seen(input.GetPluginInfo(1, buffer.data(), 0) + input.GetPluginInfo(1, nullptr, 8)),
              Seen(0, Call{}));
    EXPECT_EQ(seen(input.IsSupported(path, 7, 9)),
              Seen(1, Call{"IsSupported", path, nullptr, nullptr, 7, 9, 0}));
    EXPECT_EQ(seen(input.GetPictureInfo(path, 3, 4, &info)),
              Seen(0, Call{"GetPictureInfo", path, &info, nullptr, 3, 4, 0}));
    EXPECT_EQ(seen(input.GetPictureDIB(path, 5, 6, ProgressCallback, 77, nullptr) !=
                   nullptr),  // no allocator
              Seen(0, Call{"GetPictureDIB", path, (void *)ProgressCallback, nullptr, 5, 6, 77}));
    EXPECT_EQ(seen(input.ConfigurationDlg(reinterpret_cast<HWND>(&info), 8)),
              Seen(0, Call{"ConfigurationDlg", nullptr, &info, nullptr, 8, 0, 0}));
    EXPECT_EQ(seen(input.GetPluginInfo(4, buffer.data(), 8)),
              Seen(0, Call{"GetPluginInfo", nullptr, buffer.data(), nullptr, 4, 8, 0}));
    EXPECT_EQ(seen(input.SetPluginOption(path, buffer.data())),
              Seen(0, Call{"SetPluginOption", path, buffer.data(), nullptr, 0, 0, 0}));
    const std::string c = Link("output", "c.so");
    ASSERT_EQ(output.ScanPlugins(), 1);
    output.SelectPlugin(0);
    output.SaveDIBPicture(dc, path, 0, 0, nullptr, 0);
    output.Teardown();
    std::vector<std::string> told;
    for (const std::string &call :
         {"input " + a, "input " + a, "input " + a, "input " + a, "input " + a, "output " + c}) {
        told.insert(told.end(), {call + " start", call + " end"});
    }
    EXPECT_EQ(g_told, told);

    ASSERT_EQ(input.SelectPlugin(1), 1);
    EXPECT_TRUE(input.Current() == 1 && !LastCallOf(a));
    EXPECT_EQ(input.SelectPlugin(2) + input.SelectPlugin(UINT32_MAX), 0);
    EXPECT_TRUE(!input.HasLibrary() && input.Current() == -1 && !LastCallOf(b));
    EXPECT_TRUE(recorder.Messages().empty());
    ASSERT_EQ(input.SelectPlugin(1), 1);
    fs::remove(b);
    ASSERT_EQ(input.SelectPlugin(1), 0);
    EXPECT_TRUE(!input.HasLibrary() && input.Current() == -1 && !input.LastLoadError().empty());
    EXPECT_EQ(recorder.Messages(),
              (std::vector<RecordingFrontEnd::Message>{{u"Failed in loading library.", U16(b)}}));
    EXPECT_EQ(AnswersOf(), (Answers{u"", -1, -1, -1, false, -1, {}, -1, u""})) << "slots emptied";
    EXPECT_EQ(input.SetPluginOption(u"lenient", u"1"), -1);
    EXPECT_EQ(g_told, told);
    SetPluginCallHook(nullptr);
}

// A list told to keep its libraries loads each only when it is selected, and keeps it in memory
// after its release; a list not told unloads it. (Copies of the fake, so that no other test's
// library stays loaded.)
TEST_F(HostTest, KeptLibrariesLoadOnSelectionAndStay) {
    const auto loaded = [](const std::string &path) {
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) dlclose(handle);
        return handle != nullptr;
    };
    for (const bool keep : {false, true}) {
        input.Teardown();
        const std::string dir = folder + (keep ? "kept/" : "released/");
        fs::create_directory(dir);
        for (const char *name : {"a.so", "b.so"}) fs::copy_file(FakePath("input"), dir + name);
        input.SetFolderOverride(dir);
        if (keep) input.KeepLoadedLibraries();
        ASSERT_EQ(input.ScanPlugins(), 2);
        ASSERT_EQ(input.SelectPlugin(0), 1);
        ASSERT_EQ(input.SelectPlugin(input.Count()), 0);
        EXPECT_EQ(std::pair(loaded(dir + "a.so"), loaded(dir + "b.so")), std::pair(keep, false))
            << keep;
        ASSERT_EQ(input.SelectPlugin(0), 1) << "selected again";
    }
}

}  // namespace
}  // namespace faltrix
