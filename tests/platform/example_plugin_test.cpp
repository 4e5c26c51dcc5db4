// The SDK's example output plug-in, loaded as the host loads plug-ins: the PPM file it stores
// for both row orders, the XMP packet in its header, and names that are not UTF-8.
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#define FALTRIX_HOST
#include "faltrix/plugin.h"
#include "gdi_test_util.h"

namespace fs = std::filesystem;

namespace faltrix::test {
namespace {

// The output example's own answers; the contract of every output plug-in (texts, the progress
// reports, storing into the host's temporary in place, the picture left in its DC, a cause for
// a missing folder) faltrix-plugin-check judges of it (plugin_check.Bundled.sdk_example.output).
TEST(ExamplePlugin, StoresTopRowFirstTheXmpAndNamesByTheirBytes) {
    void *library = dlopen(FALTRIX_EXAMPLE_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto save = reinterpret_cast<SaveDIBPictureFn>(dlsym(library, "SaveDIBPicture"));
    const auto setItem =
        reinterpret_cast<SetPictureMetadataFn>(dlsym(library, "SetPictureMetadata"));
    ASSERT_TRUE(save != nullptr && setItem != nullptr);
    const fs::path dir =
        fs::temp_directory_path() / ("faltrix-example-" + std::to_string(getpid()));
    const std::u16string path = (dir / "out.ppm").u16string();
    fs::create_directories(dir);
    const auto stored = [&] {
        std::ifstream file(dir / "out.ppm", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const std::string want = std::string("P6\n3 2\n255\n") +
                             std::string("\x0a\x14\x1e\xc8\x64\x00\x00\x00\x00", 9) +
                             std::string("\x00\x00\x00\x00\x00\x00\xc8\x64\x00", 9);
    for (int32_t height : {2, -2}) {
        Surface s(Info(4, 3, height).Colours({Quad(0, 0, 0), Quad(10, 20, 30), Quad(200, 100, 0)}));
        s.Row(0)[0] = 0x12;  // top row: 1, 2, 0
        s.Row(1)[1] = 0x20;  // bottom row: 0, 0, 2
        ASSERT_EQ(save(s.dc, reinterpret_cast<const WCHAR *>(path.c_str()), 0, 0, nullptr, 0), 0);
        EXPECT_EQ(stored(), want) << "height " << height;
    }

    // The XMP packet set before a save goes into that file's header, line by line, and no
    // further; a profile has no place in PPM.
    EXPECT_EQ(setItem(FALTRIX_METADATA_ICC, "acsp", 4), 1);
    EXPECT_EQ(setItem(nullptr, nullptr, 0), 0);
    EXPECT_EQ(setItem(FALTRIX_METADATA_XMP, "<x/>\n<y/>", 9), 0);
    Surface s(Info(4, 3, 2).Colours({Quad(0, 0, 0)}));
    for (const char *header : {"P6\n# <x/>\n# <y/>\n3 2\n", "P6\n3 2\n"}) {
        ASSERT_EQ(save(s.dc, reinterpret_cast<const WCHAR *>(path.c_str()), 0, 0, nullptr, 0), 0);
        EXPECT_TRUE(stored().starts_with(header)) << header;
    }

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
