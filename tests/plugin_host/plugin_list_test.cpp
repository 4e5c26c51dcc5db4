// The plug-in lists against real libraries: the fake plug-ins of fakes/, laid out in a
// temporary plug-in folder per test.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
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
class PluginFolder {
public:
    PluginFolder() {
        std::string pattern = (fs::temp_directory_path() / "faltrix-host-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern + "/";
    }
    ~PluginFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + name; }

    // A link named `name` to the fake plug-in `variant`.
    void Link(const std::string &variant, const std::string &name) const {
        fs::create_symlink(FakePath(variant), path_ + name);
    }
    void Write(const std::string &name, const std::string &content) const {
        std::ofstream(path_ + name) << content;
    }

private:
    std::string path_;
};

// True while the library at path is loaded in this process.
bool IsLoaded(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

// The last call a loaded fake plug-in received, as it describes it.
std::string LastCallOf(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return "(not loaded)";
    auto fn = reinterpret_cast<int (*)(char *, int)>(dlsym(handle, "FakeLastCall"));
    std::array<char, 1024> text{};
    if (fn != nullptr) fn(text.data(), static_cast<int>(text.size()));
    dlclose(handle);
    return text.data();
}

std::string Hex(const void *p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// A progress function that records its arguments.
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
        input.SetFolderOverride(folder.Path());
        output.SetFolderOverride(folder.Path());
        g_progressCalls.clear();
    }
    PluginFolder folder;
    RecordingFrontEnd recorder;
    ScopedFrontEnd installed{&recorder};
    InputPluginList input;
    OutputPluginList output;
};

// ---- Scanning -----------------------------------------------------------------------------

TEST_F(HostTest, ThreeLibrariesInputListTakesTheInputPlugin) {
    folder.Link("input", "a.so");
    folder.Link("no_info", "b.so");
    folder.Link("output", "c.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    EXPECT_EQ(input.PathAt(0), U16(folder / "a.so"));
    EXPECT_FALSE(input.HasLibrary());
    EXPECT_EQ(input.Current(), -1);
    for (const char *name : {"a.so", "b.so", "c.so"}) EXPECT_FALSE(IsLoaded(folder / name)) << name;
    const auto &refused = input.Refused();
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[0].path, folder / "b.so");
    EXPECT_EQ(refused[0].reason, "exports no GetPluginInfo");
    EXPECT_EQ(refused[1].path, folder / "c.so");
    EXPECT_EQ(refused[1].reason, "answered the type tag \"00OUT_EX\", not \"00IN_EX\"");
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(HostTest, ThreeLibrariesOutputListTakesTheOutputPlugin) {
    folder.Link("input", "a.so");
    folder.Link("no_info", "b.so");
    folder.Link("output", "c.so");
    ASSERT_EQ(output.ScanPlugins(), 1);
    EXPECT_EQ(output.PathAt(0), U16(folder / "c.so"));
    EXPECT_FALSE(output.HasLibrary());
    EXPECT_FALSE(IsLoaded(folder / "c.so"));
}

struct TagCase {
    const char *variant;
    int32_t inputCount;
    int32_t outputCount;
};

class TagTest : public HostTest, public ::testing::WithParamInterface<TagCase> {};

TEST_P(TagTest, TakenOnlyByTheListOfItsExactTag) {
    folder.Link(GetParam().variant, "plugin.so");
    EXPECT_EQ(input.ScanPlugins(), GetParam().inputCount);
    EXPECT_EQ(output.ScanPlugins(), GetParam().outputCount);
}

INSTANTIATE_TEST_SUITE_P(Tags, TagTest,
                         ::testing::Values(TagCase{"input", 1, 0}, TagCase{"output", 0, 1},
                                           TagCase{"wrong_tag", 0, 0}, TagCase{"tag_case_input", 0, 0},
                                           TagCase{"tag_case_output", 0, 0}, TagCase{"no_info", 0, 0},
                                           // GetPluginInfo defined only in a library it depends on
                                           TagCase{"borrowed_info", 0, 0},
                                           // an unterminated answer filling the whole buffer
                                           TagCase{"overlong_tag", 0, 0}),
                         [](const auto &info) { return std::string(info.param.variant); });

TEST_F(HostTest, OverlongTagIsClampedToTheBuffer) {
    folder.Link("overlong_tag", "long.so");
    ASSERT_EQ(input.ScanPlugins(), 0);
    ASSERT_EQ(input.Refused().size(), 1u);
    const std::string expected = "answered the type tag \"" + std::string(255, 'X') + "\", not \"00IN_EX\"";
    EXPECT_EQ(input.Refused()[0].reason, expected);
}

TEST_F(HostTest, CandidatesInByteOrderWithAnyCaseOfExtension) {
    for (const char *name : {"b.so", "a.so", "c.So", "A.SO"}) folder.Link("input", name);
    fs::copy_file(FakePath("input"), folder / "Z.sO");  // a copy counts as well as a link
    // Not candidates: other extensions, versioned names.
    for (const char *name : {"d.so.1", "e.sox", "fso", "g.dll"}) folder.Link("input", name);
    ASSERT_EQ(input.ScanPlugins(), 5);
    const char *order[] = {"A.SO", "Z.sO", "a.so", "b.so", "c.So"};
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(input.PathAt(i), U16(folder / order[i])) << i;
    EXPECT_TRUE(input.Refused().empty());
}

TEST_F(HostTest, FoldersAndDanglingLinksAreNotCandidates) {
    fs::create_directory(folder / "sub.so");
    fs::create_directory_symlink(folder / "sub.so", folder / "dirlink.so");
    fs::create_symlink(folder / "missing.so", folder / "dangling.so");
    EXPECT_EQ(input.ScanPlugins(), -1);
    folder.Link("input", "real.so");
    EXPECT_EQ(input.ScanPlugins(), 1);
    EXPECT_TRUE(input.Refused().empty());
}

TEST_F(HostTest, NoFolderGivesMinusOne) {
    input.SetFolderOverride(folder / "does/not/exist");
    EXPECT_EQ(input.ScanPlugins(), -1);
    EXPECT_EQ(input.Count(), 0u);
}

TEST_F(HostTest, EmptyFolderGivesMinusOneAndRejectedFolderZero) {
    folder.Write("readme.txt", "not a library");
    EXPECT_EQ(input.ScanPlugins(), -1);
    folder.Link("output", "out.so");
    folder.Write("garbage.so", "not an ELF file");
    EXPECT_EQ(input.ScanPlugins(), 0);
    ASSERT_EQ(input.Refused().size(), 2u);
    // The loader's own words for a file it cannot load.
    EXPECT_EQ(input.Refused()[0].path, folder / "garbage.so");
    EXPECT_NE(input.Refused()[0].reason.find("garbage.so"), std::string::npos) << input.Refused()[0].reason;
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(HostTest, OnlyTheFirst256CandidatesAreExamined) {
    for (int i = 0; i < 300; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "p%03d.so", i);
        folder.Link("input", name);
    }
    ASSERT_EQ(input.ScanPlugins(), 256);
    EXPECT_EQ(input.PathAt(255), U16(folder / "p255.so"));
    const auto &refused = input.Refused();
    ASSERT_EQ(refused.size(), 44u);
    EXPECT_EQ(refused.front().path, folder / "p256.so");
    EXPECT_EQ(refused.back().path, folder / "p299.so");
    EXPECT_EQ(refused.front().reason, "not examined: the folder holds more than 256 candidate files");
}

TEST_F(HostTest, SecondScanReplacesTheFirst) {
    folder.Link("input", "a.so");
    folder.Link("input", "b.so");
    folder.Link("wrong_tag", "w.so");
    ASSERT_EQ(input.ScanPlugins(), 2);
    fs::remove(folder / "a.so");
    fs::remove(folder / "w.so");
    folder.Link("input", "c.so");
    ASSERT_EQ(input.ScanPlugins(), 2);
    EXPECT_EQ(input.PathAt(0), U16(folder / "b.so"));
    EXPECT_EQ(input.PathAt(1), U16(folder / "c.so"));
    EXPECT_TRUE(input.Refused().empty());
}

TEST_F(HostTest, OverlongFolderGivesMinusOne) {
    input.SetFolderOverride("/" + std::string(5000, 'd'));
    EXPECT_EQ(input.ScanPlugins(), -1);
}

// A file name is any bytes on Linux: the name shown has U+FFFD for what is not UTF-8, but the
// library is loaded by its real name.
TEST_F(HostTest, NameThatIsNotUtf8StillLoads) {
    folder.Link("input", "caf\xE9.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    EXPECT_EQ(input.PathAt(0), U16(folder.Path()) + u"caf\uFFFD.so");
    EXPECT_EQ(input.SelectPlugin(0), 1);
    EXPECT_TRUE(recorder.Messages().empty());
}

TEST_F(HostTest, DefaultFolderIsBesideTheExecutable) {
    InputPluginList in;
    OutputPluginList out;
    const std::string exeFolder = fs::read_symlink("/proc/self/exe").parent_path().string();
    EXPECT_EQ(in.PluginFolder(), exeFolder + "/plugins/input/");
    EXPECT_EQ(out.PluginFolder(), exeFolder + "/plugins/output/");
    in.SetFolderOverride("/somewhere");
    EXPECT_EQ(in.PluginFolder(), "/somewhere/");
    in.SetFolderOverride("/somewhere/");
    EXPECT_EQ(in.PluginFolder(), "/somewhere/");
}

// ---- Selecting ----------------------------------------------------------------------------

TEST_F(HostTest, SelectLoadsOneLibraryAtATime) {
    folder.Link("input", "a.so");
    folder.Link("input_failing", "b.so");
    ASSERT_EQ(input.ScanPlugins(), 2);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    EXPECT_EQ(input.Current(), 0);
    EXPECT_TRUE(IsLoaded(folder / "a.so"));
    ASSERT_EQ(input.SelectPlugin(1), 1);
    EXPECT_EQ(input.Current(), 1);
    EXPECT_FALSE(IsLoaded(folder / "a.so"));
    EXPECT_TRUE(IsLoaded(folder / "b.so"));
}

class OutOfRangeTest : public HostTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(OutOfRangeTest, FailsAndReleasesTheOldLibrary) {
    folder.Link("input", "a.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    EXPECT_EQ(input.SelectPlugin(GetParam()), 0);
    EXPECT_FALSE(input.HasLibrary());
    EXPECT_EQ(input.Current(), -1);
    EXPECT_FALSE(IsLoaded(folder / "a.so"));
    EXPECT_TRUE(recorder.Messages().empty());
    PictureInfo info{};
    EXPECT_EQ(input.GetPictureInfo(u"/x", 0, 0, &info), -1);
}

INSTANTIATE_TEST_SUITE_P(Indices, OutOfRangeTest, ::testing::Values(1u, UINT32_MAX),
                         [](const auto &info) { return info.param == 1u ? "Count" : "MinusOne"; });

TEST_F(HostTest, LibraryDeletedAfterScanGivesMessageAndNoLibrary) {
    folder.Link("input", "a.so");
    folder.Link("input", "b.so");
    ASSERT_EQ(input.ScanPlugins(), 2);
    fs::remove(folder / "b.so");
    EXPECT_EQ(input.SelectPlugin(1), 0);
    EXPECT_FALSE(input.HasLibrary());
    EXPECT_EQ(input.Current(), -1);
    EXPECT_FALSE(input.LastLoadError().empty());
    using Message = RecordingFrontEnd::Message;
    EXPECT_EQ(recorder.Messages(), (std::vector<Message>{{u"Failed in loading library.", U16(folder / "b.so")}}));
}

// After a failed load the slots of the released library must be empty: every host-side call
// answers its default instead of jumping into unloaded code.
TEST_F(HostTest, CallsAfterAFailedLoadGiveTheDefaults) {
    folder.Link("input", "a.so");
    folder.Link("input", "b.so");
    ASSERT_EQ(input.ScanPlugins(), 2);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    fs::remove(folder / "b.so");
    ASSERT_EQ(input.SelectPlugin(1), 0);
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
    folder.Link("output", "o.so");
    ASSERT_EQ(output.ScanPlugins(), 1);
    ASSERT_EQ(output.SelectPlugin(0), 1);
    output.Teardown();
    EXPECT_EQ(output.Count(), 0u);
    EXPECT_EQ(output.Current(), -1);
    EXPECT_FALSE(output.HasLibrary());
    EXPECT_FALSE(IsLoaded(folder / "o.so"));
    EXPECT_EQ(output.SaveDIBPicture(nullptr, u"/x", 0, 0, RecordProgress, 0), -1);
    EXPECT_EQ(output.SelectPlugin(0), 0);
}

// ---- Host-side calls ------------------------------------------------------------------------

TEST_F(HostTest, InputCallsPassArgumentsAndAnswersUnchanged) {
    folder.Link("input", "in.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    const std::string lib = folder / "in.so";

    EXPECT_EQ(input.IsSupported(u"/pics/ä.png", 7, 9), 1);
    EXPECT_EQ(LastCallOf(lib), "IsSupported(/pics/ä.png,7,9)");

    PictureInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(input.GetPictureInfo(u"/pics/a.png", 0, 0, &info), 0);
    EXPECT_EQ(info.width, 3);
    EXPECT_EQ(info.height, 2);
    for (uint8_t b : info.pluginOwn0) EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(LastCallOf(lib), "GetPictureInfo(/pics/a.png,0,0," + Hex(&info) + ")");

    HBITMAP bitmap = input.GetPictureDIB(u"/pics/a.png", 0, 0, RecordProgress, 77, nullptr);
    EXPECT_EQ(bitmap, nullptr);  // no allocator: the fake cannot make a bitmap
    EXPECT_EQ(LastCallOf(lib), "GetPictureDIB(/pics/a.png,0,0,progress,77,null)");

    int parent = 0;
    HWND window = reinterpret_cast<HWND>(&parent);
    EXPECT_EQ(input.ConfigurationDlg(window, 0), 0);
    EXPECT_EQ(LastCallOf(lib), "ConfigurationDlg(" + Hex(window) + ",0)");

    std::array<WCHAR, 256> buffer{};
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 256), 10);
    EXPECT_EQ(std::u16string(buffer.data()), u"Fake input");
    EXPECT_EQ(input.GetPluginInfo(4, buffer.data(), 1024 / 4), 0);
}

TEST_F(HostTest, FailingAnswersArePassedOn) {
    folder.Link("input_failing", "in.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    PictureInfo info{};
    EXPECT_EQ(input.IsSupported(u"/x", 0, 0), 0);
    EXPECT_EQ(input.GetPictureInfo(u"/x", 0, 0, &info), 1);
    EXPECT_EQ(input.GetPictureDIB(u"/x", 0, 0, RecordProgress, 0, DibAllocCallback), nullptr);
    EXPECT_EQ(input.ConfigurationDlg(nullptr, 0), 1);
}

TEST_F(HostTest, MissingInputEntryPointsGiveTheDefaults) {
    folder.Link("input_bare", "in.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(input.SelectPlugin(0), 1);  // bound all the same
    PictureInfo info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(input.IsSupported(u"/x", 0, 0), -1);
    EXPECT_EQ(input.GetPictureInfo(u"/x", 0, 0, &info), -1);
    EXPECT_EQ(info.width, 0x5A5A5A5A);
    EXPECT_EQ(input.ConfigurationDlg(nullptr, 0), -1);
    // The last error is the calling thread's own.
    int32_t before = 1, after = 1;
    HBITMAP bitmap = reinterpret_cast<HBITMAP>(1);
    std::thread job([&] {
        before = HostLastError();
        bitmap = input.GetPictureDIB(u"/x", 0, 0, RecordProgress, 0, DibAllocCallback);
        after = HostLastError();
    });
    job.join();
    EXPECT_EQ(before, 0);
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(after, -1);
    EXPECT_TRUE(g_progressCalls.empty());
    std::array<WCHAR, 256> buffer{};
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 256), 15);  // "Fake input_bare"
}

TEST_F(HostTest, OverlongAnswerIsClampedAndTerminated) {
    folder.Link("overlong_info", "in.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    std::array<WCHAR, 256> buffer{};
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 256), 255);
    EXPECT_EQ(buffer[255], 0);
    EXPECT_EQ(std::u16string(buffer.data()), std::u16string(255, u'X'));
    std::array<WCHAR, 1024> patterns{};
    EXPECT_EQ(input.GetPluginInfo(2, patterns.data(), 1024), 1023);
    EXPECT_EQ(patterns[1023], 0);
}

TEST_F(HostTest, NoBufferCallsNothing) {
    folder.Link("input", "in.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    std::array<WCHAR, 4> buffer{};
    EXPECT_EQ(input.GetPluginInfo(1, buffer.data(), 0), 0);
    EXPECT_EQ(input.GetPluginInfo(1, nullptr, 256), 0);
    EXPECT_EQ(LastCallOf(folder / "in.so"), "");
}

struct SaveCase {
    const char *name;
    const char *variant;
    int32_t result;
    std::vector<ProgressCall> calls;
};

void PrintTo(const SaveCase &c, std::ostream *os) { *os << c.name; }
void PrintTo(const TagCase &c, std::ostream *os) { *os << c.variant; }

// A memory DC holding a 4 x 3 picture, as the conversion job hands to SaveDIBPicture (null
// when the graphics layer is not built).
class StoreDc {
public:
    StoreDc() {
#ifdef FALTRIX_TEST_WITH_GDI
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateCompatibleBitmap(dc_, 4, 3);
        SelectObject(dc_, bitmap_);
#endif
    }
    ~StoreDc() {
#ifdef FALTRIX_TEST_WITH_GDI
        DeleteDC(dc_);
        DeleteObject(bitmap_);
#endif
    }
    HDC Get() const { return dc_; }

private:
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
};

class SaveTest : public HostTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(SaveTest, ProgressBracketsTheCall) {
    folder.Link(GetParam().variant, "out.so");
    ASSERT_EQ(output.ScanPlugins(), 1);
    ASSERT_EQ(output.SelectPlugin(0), 1);
    const std::u16string target = U16(folder / "picture.out");
    StoreDc dc;
    EXPECT_EQ(output.SaveDIBPicture(dc.Get(), target.c_str(), 0, 0, RecordProgress, 33), GetParam().result);
    EXPECT_EQ(g_progressCalls, GetParam().calls);
    EXPECT_EQ(fs::exists(folder / "picture.out"), GetParam().result == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Bracket, SaveTest,
    ::testing::Values(SaveCase{"Stored", "output", 0, {{0, 1, 0}, {1, 2, 33}, {1, 1, 0}}},
                      SaveCase{"Answers5", "output_failing", 5, {{0, 1, 0}, {1, 2, 33}, {1, 1, 0}}},
                      SaveCase{"Missing", "output_bare", -1, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(HostTest, SaveMovesTheBarTo0ThenTo100) {
    folder.Link("output_failing", "out.so");
    ASSERT_EQ(output.ScanPlugins(), 1);
    ASSERT_EQ(output.SelectPlugin(0), 1);
    EXPECT_EQ(output.SaveDIBPicture(nullptr, u"/nowhere/x", 0, 0, ProgressCallback, 0), 5);
    EXPECT_EQ(recorder.ProgressPositions(), (std::vector<uint32_t>{0, 50, 100}));
}

TEST_F(HostTest, OutputConfigurationDlgForwardsAndDefaults) {
    folder.Link("output", "a.so");
    folder.Link("output_bare", "b.so");
    ASSERT_EQ(output.ScanPlugins(), 2);
    ASSERT_EQ(output.SelectPlugin(0), 1);
    EXPECT_EQ(output.ConfigurationDlg(nullptr, 0), 0);
    ASSERT_EQ(output.SelectPlugin(1), 1);
    EXPECT_EQ(output.ConfigurationDlg(nullptr, 0), -1);
}

#ifdef FALTRIX_TEST_WITH_GDI
TEST_F(HostTest, DecodesThroughTheHostAllocator) {
    folder.Link("input", "in.so");
    ASSERT_EQ(input.ScanPlugins(), 1);
    ASSERT_EQ(input.SelectPlugin(0), 1);
    HBITMAP bitmap = input.GetPictureDIB(u"/x", 0, 0, ProgressCallback, 0, DibAllocCallback);
    ASSERT_NE(bitmap, nullptr);
    DIBSECTION ds{};
    ASSERT_EQ(GetObjectW(bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_EQ(ds.dsBm.bmWidth, 3);
    EXPECT_EQ(ds.dsBm.bmHeight, 2);
    EXPECT_EQ(ds.dsBm.bmBitsPixel, 24);
    EXPECT_EQ(recorder.ProgressPositions(), (std::vector<uint32_t>{50, 100}));
    DeleteObject(bitmap);
}
#endif

// ---- The program's two lists ----------------------------------------------------------------

TEST(ProgramLists, OutputListIsTornDownFirstAtExit) {
    PluginFolder folder;
    folder.Link("input", "in.so");
    folder.Link("output", "out.so");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("FALTRIX_FAKE_REPORT_UNLOAD", "1", 1);
            InputPlugins().SetFolderOverride(folder.Path());
            OutputPlugins().SetFolderOverride(folder.Path());
            if (InputPlugins().ScanPlugins() == 1 && OutputPlugins().ScanPlugins() == 1 &&
                InputPlugins().SelectPlugin(0) == 1 && OutputPlugins().SelectPlugin(0) == 1)
                std::exit(0);
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "unloaded output\nunloaded input\n$");
}

}  // namespace
}  // namespace faltrix
