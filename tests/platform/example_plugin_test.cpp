// The SDK's example plug-in, loaded as the host loads plug-ins: its tag, the PPM file it
// stores for both row orders, and the cause it gives when it cannot store.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#define FALTRIX_HOST
#include "faltrix/plugin.h"
#include "gdi_test_util.h"

namespace fs = std::filesystem;

namespace faltrix::test {
namespace {

std::vector<int32_t> g_progress;  // done, total, data of every report
int32_t Report(int32_t done, int32_t total, int32_t data) {
    g_progress.insert(g_progress.end(), {done, total, data});
    return 1;
}

TEST(ExamplePlugin, AnswersAndStoresTopRowFirst) {
    void *library = dlopen(FALTRIX_EXAMPLE_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto info = reinterpret_cast<GetPluginInfoFn>(dlsym(library, "GetPluginInfo"));
    const auto save = reinterpret_cast<SaveDIBPictureFn>(dlsym(library, "SaveDIBPicture"));
    ASSERT_TRUE(info != nullptr && save != nullptr);
    // A number it does not know has no answer (the buffer stays empty); answers are cut to the
    // buffer.
    WCHAR buffer[256] = {};
    for (auto [number, length, text] :
         {std::tuple{4, 256, u""}, {0, 256, u"00OUT_EX"}, {2, 256, u"*.ppm"}, {1, 4, u"PPM"}}) {
        EXPECT_EQ(info(number, buffer, length),
                  static_cast<int32_t>(std::u16string_view(text).size()))
            << number;
        EXPECT_EQ(std::u16string(buffer), text) << number;
    }

    const fs::path dir =
        fs::temp_directory_path() / ("faltrix-example-" + std::to_string(getpid()));
    const std::u16string path = (dir / "out.ppm").u16string();
    fs::create_directories(dir);
    // The host hands over an empty temporary of its own; the plug-in writes that very file.
    std::ofstream(dir / "out.ppm").close();
    struct stat handed {};
    ASSERT_EQ(stat((dir / "out.ppm").c_str(), &handed), 0);
    const std::string want = std::string("P6\n3 2\n255\n") +
                             std::string("\x0a\x14\x1e\xc8\x64\x00\x00\x00\x00", 9) +
                             std::string("\x00\x00\x00\x00\x00\x00\xc8\x64\x00", 9);
    for (int32_t height : {2, -2}) {
        Surface s(Info(4, 3, height).Colours({Quad(0, 0, 0), Quad(10, 20, 30), Quad(200, 100, 0)}));
        s.Row(0)[0] = 0x12;  // top row: 1, 2, 0
        s.Row(1)[1] = 0x20;  // bottom row: 0, 0, 2
        g_progress.clear();
        ASSERT_EQ(save(s.dc, reinterpret_cast<const WCHAR *>(path.c_str()), 0, 0, Report, 7), 0);
        EXPECT_EQ(g_progress, (std::vector<int32_t>{1, 2, 7, 2, 2, 7}));
        std::ifstream stored(dir / "out.ppm", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), want)
            << "height " << height;
        EXPECT_EQ(GetCurrentObject(s.dc, OBJ_BITMAP), s.bitmap);  // the DC keeps the host's bitmap
        struct stat written {};
        ASSERT_EQ(stat((dir / "out.ppm").c_str(), &written), 0);
        EXPECT_EQ(written.st_ino, handed.st_ino) << "not written in place, height " << height;
    }

    // The XMP packet set before a save goes into that file's header, line by line, and no
    // further; a profile has no place in PPM.
    const auto setItem =
        reinterpret_cast<SetPictureMetadataFn>(dlsym(library, "SetPictureMetadata"));
    ASSERT_NE(setItem, nullptr);
    EXPECT_EQ(setItem(FALTRIX_METADATA_ICC, "acsp", 4), 1);
    EXPECT_EQ(setItem(nullptr, nullptr, 0), 0);
    EXPECT_EQ(setItem(FALTRIX_METADATA_XMP, "<x/>\n<y/>", 9), 0);
    for (const char *header : {"P6\n# <x/>\n# <y/>\n3 2\n", "P6\n3 2\n"}) {
        Surface s(Info(4, 3, 2).Colours({Quad(0, 0, 0)}));
        ASSERT_EQ(save(s.dc, reinterpret_cast<const WCHAR *>(path.c_str()), 0, 0, nullptr, 0), 0);
        std::ifstream stored(dir / "out.ppm", std::ios::binary);
        EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(stored), {}).starts_with(header))
            << header;
    }

    // A folder that does not exist: the system's words.
    const auto cause = reinterpret_cast<GetLastFailureTextFn>(dlsym(library, "GetLastFailureText"));
    ASSERT_NE(cause, nullptr);
    Surface s(Info(4, 3, 2).Colours({Quad(0, 0, 0)}));
    const std::u16string missing = (dir / "missing" / "out.ppm").u16string();
    EXPECT_EQ(save(s.dc, reinterpret_cast<const WCHAR *>(missing.c_str()), 0, 0, nullptr, 0), 1);
    EXPECT_EQ(cause(buffer, 256), 25);
    EXPECT_EQ(std::u16string(buffer), u"No such file or directory");

    // No temporary file is left beside the one stored.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);

    // A name that is not UTF-8 arrives with its byte 0xE9 as U+DCE9 and is stored under that
    // byte; U+DC41 stands for no byte ('A' is never escaped) and names no file.
    const std::u16string folder = dir.u16string() + u"/";
    const std::u16string latin1 = folder + u"caf" + char16_t(0xDCE9) + u".ppm";
    EXPECT_EQ(save(s.dc, reinterpret_cast<const WCHAR *>(latin1.c_str()), 0, 0, nullptr, 0), 0);
    EXPECT_TRUE(fs::is_regular_file(dir / "caf\xE9.ppm"));
    const std::u16string noByte = folder + u"caf" + char16_t(0xDC41) + u".ppm";
    EXPECT_EQ(save(s.dc, reinterpret_cast<const WCHAR *>(noByte.c_str()), 0, 0, nullptr, 0), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
    fs::remove_all(dir);
    dlclose(library);
}

}  // namespace
}  // namespace faltrix::test
