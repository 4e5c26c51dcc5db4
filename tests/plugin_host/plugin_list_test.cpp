// The plug-in lists against real libraries: the fake plug-ins of fakes/, laid out in a
// temporary plug-in folder per test.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "faltrix/feedback.h"
#include "faltrix/plugin_list.h"
#include "faltrix/recording_front_end.h"

namespace fs = std::filesystem;

namespace faltrix {
namespace {

std::string FakePath(const std::string &variant) {
    return std::string(FALTRIX_FAKE_PLUGIN_DIR) + "/fake_plugin_" + variant + ".so";
}

std::u16string U16(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A plug-in folder of its own, removed with everything in it at the end of the test.
struct PluginFolder {
    PluginFolder() {
        std::string pattern = (fs::temp_directory_path() / "faltrix-host-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern + "/";
    }
    ~PluginFolder() { fs::remove_all(path); }
    std::string operator/(const std::string &name) const { return path + name; }
    // Links named like the second of each pair to the fake plug-in named by the first.
    void Link(std::initializer_list<std::pair<std::string, std::string>> links) const {
        for (const auto &[variant, name] : links) fs::create_symlink(FakePath(variant), path + name);
    }
    std::string path;
};

// What a scan took and what it refused, as path lists and (path, reason) pairs.
std::vector<std::u16string> Paths(const PluginList &list) {
    std::vector<std::u16string> paths;
    for (uint32_t i = 0; i < list.Count(); ++i) paths.push_back(list.PathAt(i));
    return paths;
}
using Refusals = std::vector<std::pair<std::string, std::string>>;
Refusals RefusedBy(const PluginList &list) {
    Refusals out;
    for (const auto &r : list.Refused()) out.emplace_back(r.path, r.reason);
    return out;
}

// The last call a loaded fake plug-in received, as it describes it ("" when not loaded).
std::string LastCallOf(const std::string &path) {
    std::array<char, 1024> text{};
    if (void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        reinterpret_cast<int (*)(char *, int)>(dlsym(handle, "FakeLastCall"))(text.data(), 1024);
        dlclose(handle);
        return text.data();
    }
    return "(not loaded)";
}
bool IsLoaded(const std::string &path) { return LastCallOf(path) != "(not loaded)"; }

std::string Hex(const void *p) {
    char text[32];
    return std::string(text, std::snprintf(text, sizeof text, "%p", p));
}

struct ProgressCall {
    int32_t done, total, data;
    bool operator==(const ProgressCall &) const = default;
};
std::vector<ProgressCall> g_progressCalls;
int32_t RecordProgress(int32_t done, int32_t total, int32_t data) {
    g_progressCalls.push_back({done, total, data});
    return 1;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        input.SetFolderOverride(folder.path);
        output.SetFolderOverride(folder.path);
        g_progressCalls.clear();
    }
    // Lays out one library and selects it in list.
    ::testing::AssertionResult Load(PluginList &list, const std::string &variant) {
        folder.Link({{variant, "p.so"}});
        if (list.ScanPlugins() != 1 || list.SelectPlugin(0) != 1) return ::testing::AssertionFailure() << variant;
        return ::testing::AssertionSuccess();
    }
    PluginFolder folder;
    RecordingFrontEnd recorder;
    ScopedFrontEnd installed{&recorder};
    InputPluginList input;
    OutputPluginList output;
};

// ---- Scanning -----------------------------------------------------------------------------

TEST_F(HostTest, ThreeLibrariesEachListTakesItsOwnAndSaysWhyNotTheOthers) {
    folder.Link({{"input", "a.so"}, {"no_info", "b.so"}, {"output", "c.so"}});
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(output.ScanPlugins(), 1);
    EXPECT_EQ(Paths(input), std::vector{U16(folder / "a.so")});
    EXPECT_EQ(Paths(output), std::vector{U16(folder / "c.so")});
    EXPECT_TRUE(!input.HasLibrary() && !output.HasLibrary() && input.Current() == -1);
    for (const char *name : {"a.so", "b.so", "c.so"}) EXPECT_FALSE(IsLoaded(folder / name)) << name;
    EXPECT_EQ(RefusedBy(input), (Refusals{{folder / "b.so", "exports no GetPluginInfo"},
                                          {folder / "c.so", "answered the type tag \"00OUT_EX\", not \"00IN_EX\""}}));
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(HostTest, TakenOnlyByTheListOfItsExactTag) {
    // {variant, input count, output count}; borrowed_info has GetPluginInfo only in a library it
    // depends on, overlong_tag answers with an unterminated buffer.
    const std::tuple<const char *, int, int> cases[] = {
        {"input", 1, 0},           {"output", 0, 1},          {"wrong_tag", 0, 0},     {"tag_case_input", 0, 0},
        {"tag_case_output", 0, 0}, {"no_info", 0, 0},         {"borrowed_info", 0, 0}, {"overlong_tag", 0, 0}};
    for (const auto &[variant, inputs, outputs] : cases) {
        folder.Link({{variant, "plugin.so"}});
        EXPECT_EQ(input.ScanPlugins(), inputs) << variant;
        EXPECT_EQ(output.ScanPlugins(), outputs) << variant;
        fs::remove(folder / "plugin.so");
    }
}

TEST_F(HostTest, OverlongTagIsClampedToTheBuffer) {
    folder.Link({{"overlong_tag", "long.so"}});
    ASSERT_EQ(input.ScanPlugins(), 0);
    const std::string reason = "answered the type tag \"" + std::string(255, 'X') + "\", not \"00IN_EX\"";
    EXPECT_EQ(RefusedBy(input), (Refusals{{folder / "long.so", reason}}));
}

TEST_F(HostTest, CandidatesInByteOrderWithAnyCaseOfExtension) {
    // Not candidates: other extensions, versioned names. A copy counts as well as a link.
    for (const char *name : {"b.so", "a.so", "c.So", "A.SO", "d.so.1", "e.sox", "fso", "g.dll"}) folder.Link({{"input", name}});
    fs::copy_file(FakePath("input"), folder / "Z.sO");
    std::vector<std::u16string> order;
    for (const char *name : {"A.SO", "Z.sO", "a.so", "b.so", "c.So"}) order.push_back(U16(folder / name));
    ASSERT_EQ(input.ScanPlugins(), 5);
    EXPECT_EQ(Paths(input), order);
    // A second scan replaces the first.
    fs::remove(folder / "A.SO");
    ASSERT_EQ(input.ScanPlugins(), 4);
    EXPECT_EQ(Paths(input), std::vector(order.begin() + 1, order.end()));
}

TEST_F(HostTest, NoCandidateGivesMinusOneAndOnlyRejectedOnesZero) {
    for (const std::string &missing : {folder / "does/not/exist", "/" + std::string(5000, 'd')}) {
        input.SetFolderOverride(missing);
        EXPECT_EQ(input.ScanPlugins(), -1);
    }
    input.SetFolderOverride(folder.path);
    // Folders, dangling links and other files are not candidates.
    fs::create_directory(folder / "sub.so");
    fs::create_directory_symlink(folder / "sub.so", folder / "dirlink.so");
    fs::create_symlink(folder / "missing.so", folder / "dangling.so");
    std::ofstream(folder / "readme.txt") << "not a library";
    EXPECT_EQ(input.ScanPlugins(), -1);
    EXPECT_EQ(input.Count(), 0u);
    folder.Link({{"output", "out.so"}});
    std::ofstream(folder / "garbage.so") << "not an ELF file";
    EXPECT_EQ(input.ScanPlugins(), 0);
    ASSERT_EQ(input.Refused().size(), 2u);
    EXPECT_EQ(input.Refused()[0].path, folder / "garbage.so");  // in the loader's own words
    EXPECT_NE(input.Refused()[0].reason.find("garbage.so"), std::string::npos) << input.Refused()[0].reason;
    fs::remove(folder / "garbage.so");
    fs::remove(folder / "out.so");
    folder.Link({{"input", "real.so"}});
    EXPECT_EQ(input.ScanPlugins(), 1);
    EXPECT_TRUE(input.Refused().empty());  // refusals of the scan before are forgotten
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(HostTest, OnlyTheFirst256CandidatesAreExamined) {
    for (int i = 0; i < 300; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "p%03d.so", i);
        folder.Link({{"input", name}});
    }
    ASSERT_EQ(input.ScanPlugins(), 256);
    EXPECT_EQ(input.PathAt(255), U16(folder / "p255.so"));
    const Refusals refused = RefusedBy(input);
    ASSERT_EQ(refused.size(), 44u);
    EXPECT_EQ(refused.front(), std::pair(folder / "p256.so", std::string("not examined: the folder holds more than 256 candidate files")));
    EXPECT_EQ(refused.back().first, folder / "p299.so");
}

// The name shown has U+FFFD for what is not UTF-8; the library is loaded by its real name.
TEST_F(HostTest, NameThatIsNotUtf8StillLoads) {
    folder.Link({{"input", "caf\xE9.so"}});
    ASSERT_EQ(input.ScanPlugins(), 1);
    EXPECT_EQ(input.SelectPlugin(0), 1);
    EXPECT_EQ(Paths(input), std::vector{U16(folder.path) + u"caf\uFFFD.so"});
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(HostTest, DefaultFolderIsBesideTheExecutable) {
    InputPluginList in;
    OutputPluginList out;
    const std::string exeFolder = fs::read_symlink("/proc/self/exe").parent_path().string();
    EXPECT_EQ(in.PluginFolder(), exeFolder + "/plugins/input/");
    EXPECT_EQ(out.PluginFolder(), exeFolder + "/plugins/output/");
    for (const char *override : {"/somewhere", "/somewhere/"}) {
        in.SetFolderOverride(override);
        EXPECT_EQ(in.PluginFolder(), "/somewhere/");
    }
}

// ---- Selecting ----------------------------------------------------------------------------

TEST_F(HostTest, SelectLoadsOneLibraryAtATimeAndOutOfRangeReleasesIt) {
    folder.Link({{"input", "a.so"}, {"input_failing", "b.so"}});
    ASSERT_EQ(input.ScanPlugins(), 2);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    EXPECT_TRUE(IsLoaded(folder / "a.so"));
    ASSERT_EQ(input.SelectPlugin(1), 1);
    EXPECT_EQ(input.Current(), 1);
    EXPECT_FALSE(IsLoaded(folder / "a.so"));
    for (uint32_t index : {2u, UINT32_MAX}) {
        ASSERT_EQ(input.SelectPlugin(1), 1);
        EXPECT_EQ(input.SelectPlugin(index), 0);
        EXPECT_TRUE(!input.HasLibrary() && input.Current() == -1 && !IsLoaded(folder / "b.so"));
        PictureInfo info{};
        EXPECT_EQ(input.GetPictureInfo(u"/x", 0, 0, &info), -1);
    }
    EXPECT_TRUE(recorder.Messages().empty());
}

// A library deleted between scan and select: the message, and the slots of the released
// library are empty, so every host-side call answers its default instead of jumping into
// unloaded code.
TEST_F(HostTest, CallsAfterAFailedLoadGiveTheDefaults) {
    folder.Link({{"input", "a.so"}, {"input", "b.so"}});
    ASSERT_EQ(input.ScanPlugins(), 2);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    fs::remove(folder / "b.so");
    ASSERT_EQ(input.SelectPlugin(1), 0);
    EXPECT_TRUE(!input.HasLibrary() && input.Current() == -1 && !input.LastLoadError().empty());
    using Message = RecordingFrontEnd::Message;
    EXPECT_EQ(recorder.Messages(), (std::vector<Message>{{u"Failed in loading library.", U16(folder / "b.so")}}));
    std::array<WCHAR, 256> buffer{};
    PictureInfo info{};
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 256), -1);
    EXPECT_EQ(input.IsSupported(u"/x", 0, 0), -1);
    EXPECT_EQ(input.GetPictureInfo(u"/x", 0, 0, &info), -1);
    EXPECT_EQ(input.GetPictureDIB(u"/x", 0, 0, RecordProgress, 0, nullptr), nullptr);
    EXPECT_EQ(input.ConfigurationDlg(nullptr, 0), -1);
    EXPECT_TRUE(g_progressCalls.empty());
}

TEST_F(HostTest, TeardownReleasesEverything) {
    ASSERT_TRUE(Load(output, "output"));
    output.Teardown();
    EXPECT_TRUE(output.Count() == 0 && output.Current() == -1 && !output.HasLibrary() && !IsLoaded(folder / "p.so"));
    EXPECT_EQ(output.SaveDIBPicture(nullptr, u"/x", 0, 0, RecordProgress, 0), -1);
    EXPECT_EQ(output.SelectPlugin(0), 0);
}

// ---- Host-side calls ------------------------------------------------------------------------

TEST_F(HostTest, InputCallsPassArgumentsAndAnswersUnchanged) {
    ASSERT_TRUE(Load(input, "input"));
    const std::string lib = folder / "p.so";
    std::array<WCHAR, 256> buffer{};
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 0), 0);  // no buffer: the plug-in is not called
    EXPECT_EQ(input.GetPluginInfo(1, nullptr, 256), 0);
    EXPECT_EQ(LastCallOf(lib), "");
    EXPECT_EQ(input.IsSupported(u"/pics/ä.png", 7, 9), 1);
    EXPECT_EQ(LastCallOf(lib), "IsSupported(/pics/ä.png,7,9)");
    PictureInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(input.GetPictureInfo(u"/pics/a.png", 0, 0, &info), 0);
    EXPECT_TRUE(info.width == 3 && info.height == 2);
    for (uint8_t b : info.pluginOwn0) EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(LastCallOf(lib), "GetPictureInfo(/pics/a.png,0,0," + Hex(&info) + ")");
    EXPECT_EQ(input.GetPictureDIB(u"/pics/a.png", 0, 0, RecordProgress, 77, nullptr), nullptr);  // no allocator
    EXPECT_EQ(LastCallOf(lib), "GetPictureDIB(/pics/a.png,0,0,progress,77,null)");
    HWND window = reinterpret_cast<HWND>(&info);
    EXPECT_EQ(input.ConfigurationDlg(window, 0), 0);
    EXPECT_EQ(LastCallOf(lib), "ConfigurationDlg(" + Hex(window) + ",0)");
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 256), 10);
    EXPECT_EQ(std::u16string(buffer.data()), u"Fake input");
    EXPECT_EQ(input.GetPluginInfo(4, buffer.data(), 256), 0);
}

TEST_F(HostTest, FailingAnswersArePassedOnAndMissingEntryPointsGiveTheDefaults) {
    folder.Link({{"input_failing", "a.so"}, {"input_bare", "b.so"}, {"output", "c.so"}, {"output_bare", "d.so"}});
    ASSERT_EQ(input.ScanPlugins(), 2);
    PictureInfo info;
    std::memset(&info, 0x5A, sizeof info);
    const int32_t answers[2][3] = {{0, 1, 1}, {-1, -1, -1}};  // IsSupported, GetPictureInfo, ConfigurationDlg
    for (uint32_t i = 0; i < 2; ++i) {
        ASSERT_EQ(input.SelectPlugin(i), 1);  // a bare plug-in is bound all the same
        EXPECT_EQ(input.IsSupported(u"/x", 0, 0), answers[i][0]);
        EXPECT_EQ(input.GetPictureInfo(u"/x", 0, 0, &info), answers[i][1]);
        EXPECT_EQ(input.ConfigurationDlg(nullptr, 0), answers[i][2]);
        EXPECT_EQ(input.GetPictureDIB(u"/x", 0, 0, RecordProgress, 0, DibAllocCallback), nullptr);
    }
    EXPECT_EQ(info.width, 0x5A5A5A5A);
    EXPECT_TRUE(g_progressCalls.empty());
    ASSERT_EQ(output.ScanPlugins(), 2);
    for (uint32_t i = 0; i < 2; ++i) {
        ASSERT_EQ(output.SelectPlugin(i), 1);
        EXPECT_EQ(output.ConfigurationDlg(nullptr, 0), i == 0 ? 0 : -1);
    }
}

TEST_F(HostTest, OverlongAnswerIsClampedAndTerminated) {
    ASSERT_TRUE(Load(input, "overlong_info"));
    std::array<WCHAR, 256> buffer{};  // exact sizes, so that the sanitizer sees a write past them
    std::array<WCHAR, 1024> patterns{};
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 256), 255);
    EXPECT_EQ(std::u16string(buffer.data()), std::u16string(255, u'X'));
    EXPECT_EQ(input.GetPluginInfo(2, patterns.data(), 1024), 1023);
    EXPECT_EQ(patterns[1023], 0);
}

// SaveDIBPicture gets 0 before and 100 after the plug-in's own reports, also when it fails,
// and nothing at all when the entry point is missing.
TEST_F(HostTest, SaveProgressBracketsTheCall) {
    const std::vector<ProgressCall> bracket{{0, 1, 0}, {1, 2, 33}, {1, 1, 0}};
    const std::tuple<const char *, int, std::vector<ProgressCall>> cases[] = {
        {"output", 0, bracket}, {"output_failing", 5, bracket}, {"output_bare", -1, {}}};
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 4, 3);
    SelectObject(dc, bitmap);
    for (const auto &[variant, result, calls] : cases) {
        OutputPluginList list;
        list.SetFolderOverride(folder.path);
        ASSERT_TRUE(Load(list, variant));
        g_progressCalls.clear();
        EXPECT_EQ(list.SaveDIBPicture(dc, U16(folder / "picture.out").c_str(), 0, 0, RecordProgress, 33), result);
        EXPECT_EQ(g_progressCalls, calls) << variant;
        EXPECT_EQ(fs::remove(folder / "picture.out"), result == 0) << variant;
        fs::remove(folder / "p.so");
    }
    DeleteDC(dc);
    DeleteObject(bitmap);
}

TEST_F(HostTest, DecodesThroughTheHostAllocator) {
    ASSERT_TRUE(Load(input, "input"));
    HBITMAP bitmap = input.GetPictureDIB(u"/x", 0, 0, ProgressCallback, 0, DibAllocCallback);
    ASSERT_NE(bitmap, nullptr);
    DIBSECTION ds{};
    ASSERT_EQ(GetObjectW(bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_TRUE(ds.dsBm.bmWidth == 3 && ds.dsBm.bmHeight == 2 && ds.dsBm.bmBitsPixel == 24);
    EXPECT_EQ(recorder.ProgressPositions(), (std::vector<uint32_t>{50, 100}));
    DeleteObject(bitmap);
}

// ---- The program's two lists ----------------------------------------------------------------

TEST(ProgramLists, OutputListIsTornDownFirstAtExit) {
    PluginFolder folder;
    folder.Link({{"input", "in.so"}, {"output", "out.so"}});
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("FALTRIX_FAKE_REPORT_UNLOAD", "1", 1);
            InputPlugins().SetFolderOverride(folder.path);
            OutputPlugins().SetFolderOverride(folder.path);
            std::exit(InputPlugins().ScanPlugins() == 1 && OutputPlugins().ScanPlugins() == 1 &&
                              InputPlugins().SelectPlugin(0) == 1 && OutputPlugins().SelectPlugin(0) == 1
                          ? 0
                          : 3);
        },
        ::testing::ExitedWithCode(0), "unloaded output\nunloaded input\n$");
}

}  // namespace
}  // namespace faltrix
