// The SDK's example plug-in, loaded as the host loads plug-ins: its tag, and the PPM file it
// stores for pictures of several depths and both row orders.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#define FALTRIX_HOST
#include "faltrix/plugin.h"
#include "gdi_test_util.h"

namespace faltrix::test {
namespace {

// Progress reports of the last store: how many, the last (done, total), and the data seen.
struct {
    int calls = 0;
    int32_t done = 0, total = 0, data = 0;
} progressSeen;

int32_t RecordProgress(int32_t done, int32_t total, int32_t data) {
    ++progressSeen.calls;
    progressSeen.done = done;
    progressSeen.total = total;
    progressSeen.data = data;
    return 1;
}

class ExamplePlugin : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = dlopen(FALTRIX_EXAMPLE_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        info_ = reinterpret_cast<GetPluginInfoFn>(dlsym(library_, "GetPluginInfo"));
        save_ = reinterpret_cast<SaveDIBPictureFn>(dlsym(library_, "SaveDIBPicture"));
        ASSERT_NE(info_, nullptr);
        ASSERT_NE(save_, nullptr);
        dir_ = std::filesystem::temp_directory_path() / ("faltrix-example-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::filesystem::remove_all(dir_);
        if (library_ != nullptr) dlclose(library_);
    }
    static std::string Read(const std::filesystem::path &p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    void *library_ = nullptr;
    GetPluginInfoFn info_ = nullptr;
    SaveDIBPictureFn save_ = nullptr;
    std::filesystem::path dir_;
};

TEST_F(ExamplePlugin, AnswersAsAnOutputPlugin) {
    WCHAR buffer[256];
    EXPECT_EQ(info_(0, buffer, 256), 8);
    EXPECT_EQ(std::u16string(buffer), u"00OUT_EX");
    EXPECT_EQ(info_(2, buffer, 256), 5);
    EXPECT_EQ(std::u16string(buffer), u"*.ppm");
    EXPECT_EQ(info_(4, buffer, 256), 0);
    EXPECT_EQ(info_(1, buffer, 4), 3);  // cut to the buffer
    EXPECT_EQ(buffer[3], 0);
}

TEST_F(ExamplePlugin, StoresEveryDepthTopRowFirst) {
    const std::u16string path = (dir_ / "out.ppm").u16string();
    for (int32_t height : {2, -2}) {
        Info pal(4, 3, height);
        pal.colours[1] = Quad(10, 20, 30);
        pal.colours[2] = Quad(200, 100, 0);
        Surface s(pal);
        ASSERT_TRUE(s.ok());
        s.Row(0)[0] = 0x12;  // top row: 1, 2, 0
        s.Row(1)[1] = 0x20;  // bottom row: 0, 0, 2
        progressSeen = {};
        ASSERT_EQ(save_(s.dc(), reinterpret_cast<const WCHAR *>(path.c_str()), 0, 0, RecordProgress, 7), 0);
        EXPECT_EQ(progressSeen.calls, 2);
        EXPECT_EQ(progressSeen.done, progressSeen.total);
        EXPECT_EQ(progressSeen.data, 7);
        const std::string want = std::string("P6\n3 2\n255\n") + std::string("\x0a\x14\x1e\xc8\x64\x00\x00\x00\x00", 9) +
                                 std::string("\x00\x00\x00\x00\x00\x00\xc8\x64\x00", 9);
        EXPECT_EQ(Read(dir_ / "out.ppm"), want) << "height " << height;
        // The DC keeps the host's bitmap.
        EXPECT_EQ(GetCurrentObject(s.dc(), OBJ_BITMAP), s.bitmap());
    }
}

TEST_F(ExamplePlugin, FailureLeavesTheExistingFile) {
    const std::filesystem::path file = dir_ / "keep.ppm";
    std::ofstream(file) << "old";
    const std::u16string path = file.u16string();
    // Nothing selected in the DC: nothing to store.
    HDC empty = CreateCompatibleDC(nullptr);
    EXPECT_NE(save_(empty, reinterpret_cast<const WCHAR *>(path.c_str()), 0, 0, nullptr, 0), 0);
    DeleteDC(empty);
    // An unpaired surrogate in the path.
    Surface s(Info(24, 2, 2));
    const char16_t bad[] = {u'x', 0xD800, 0};
    EXPECT_NE(save_(s.dc(), reinterpret_cast<const WCHAR *>(bad), 0, 0, nullptr, 0), 0);
    // A folder that does not exist.
    const std::u16string missing = (dir_ / "no" / "such.ppm").u16string();
    EXPECT_NE(save_(s.dc(), reinterpret_cast<const WCHAR *>(missing.c_str()), 0, 0, nullptr, 0), 0);
    EXPECT_EQ(Read(file), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

}  // namespace
}  // namespace faltrix::test
