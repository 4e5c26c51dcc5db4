// The SDK's example plug-ins, loaded as built: the input example against hostile headers, each
// named after its defect, the output example's file and names, and both examples together,
// frames written by one and read back by the other under a name that is not UTF-8.
#include <gtest/gtest.h>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

const CodecPlugin &Input() {
    static const CodecPlugin library{fs::path(FALTRIX_EXAMPLE_INPUT)};
    return library;
}
const CodecPlugin &Output() {
    static const CodecPlugin library{fs::path(FALTRIX_EXAMPLE_OUTPUT)};
    return library;
}
std::string Failure() { return Input().LastFailure(); }

// A file of the test's own with the given bytes.
fs::path Write(const std::string &name, const std::string &bytes) {
    const fs::path file = fs::path(::testing::TempDir()) / name;
    WriteFile(file, Bytes(bytes.begin(), bytes.end()));
    return file;
}

// The bytes of a literal, NULs included.
template <size_t N>
std::string Literal(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

struct Hostile {
    const char *name;
    std::string bytes;
    const char *cause;  // a part of GetLastFailureText's answer
};

class HostileHeader : public ::testing::TestWithParam<Hostile> {};

// A defect in the header fails GetPictureInfo, one in the samples GetPictureDIB; either way
// with its cause and without a picture.
TEST_P(HostileHeader, FailsWithItsCause) {
    const fs::path file = Write(std::string(GetParam().name) + ".ppm", GetParam().bytes);
    int32_t width = 0, height = 0;
    EXPECT_TRUE(Input().PictureSize(file, &width, &height) != 0 || Input().Decode(file) == nullptr);
    EXPECT_NE(Failure().find(GetParam().cause), std::string::npos) << Failure();
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HostileHeader,
    ::testing::Values(
        Hostile{"width-of-23-digits", "P6\n99999999999999999999999 1\n255\n",
                "the width is larger than 1048575"},
        Hostile{"pixels-over-the-limit", "P6\n1048575 1048575\n255\n",
                "1048575 x 1048575 pixels is more than this plug-in reads"},
        Hostile{"zero-height", "P6\n4 0\n255\n", "the picture is 4 x 0 pixels"},
        Hostile{"maximum-value-65536", "P5\n1 1\n65536\n\0\0",
                "the maximum value is larger than 65535"},
        Hostile{"16-bit-sample-above-maximum", Literal("P5\n1 1\n1000\n\x03\xE9"),
                "a sample of 1001 above the maximum 1000 at row 1"},
        Hostile{"no-maximum-value", "P6\n2 2\n", "the header has no maximum value"},
        Hostile{"ascii-variant", "P3\n1 1\n255\n0 0 0\n", "not a binary PPM or PGM file"},
        Hostile{"second-row-missing", "P6\n2 2\n255\n123456", "the file ends at row 2 of 2"},
        Hostile{"sample-above-maximum", "P5\n2 1\n100\n\x05\xff",
                "a sample of 255 above the maximum 100 at row 1"}),
    [](const ::testing::TestParamInfo<Hostile> &info) {
        std::string name = info.param.name;
        for (char &c : name) c = c == '-' ? '_' : c;
        return name;
    });

// Comments and line breaks anywhere between the numbers are header, not samples.
TEST(ExampleInput, ReadsCommentsInTheHeader) {
    int32_t width = 0, height = 0;
    ASSERT_EQ(
        Input().PictureSize(Write("comments.pgm", "P5\n# by hand\n2 # width\n1\n255\n\x01\x02"),
                            &width, &height),
        0)
        << Failure();
    EXPECT_EQ(std::pair(width, height), std::pair(2, 1));
}

// Three frames stored by the output example come back from the input example as three pages
// of 24-bit top-down rows with the same pixels, and the file tells the host its frame count.
TEST(Examples, FramesMakeTheRoundTrip) {
    const fs::path file = Write("three-caf\xE9.ppm", "");
    std::vector<HBITMAP> stored;
    for (int k = 0; k < 3; ++k) {
        uint8_t *bits = nullptr;
        stored.push_back(MakeDib({5, 3, 24, true, {}, {}, 0, 0}, &bits));
        for (int i = 0; i < 3 * 16; ++i) bits[i] = uint8_t(i * 5 + k * 80);
    }
    ASSERT_EQ(Output().SaveFrames(stored, {100, 100, 100}, 0, file), 0);
    const CodecPlugin::Frames read = Input().DecodeFrames(file);
    EXPECT_EQ(std::pair(read.info.frameCount, read.info.kind), std::pair(3, FALTRIX_FRAMES_PAGES));
    ASSERT_EQ(read.bitmaps.size(), 3u) << Failure();
    for (size_t k = 0; k < 3; ++k) {
        const DibView have = ViewDib(read.bitmaps[k]), want = ViewDib(stored[k]);
        EXPECT_EQ(std::tie(have.bitCount, have.topDown, have.rows),
                  std::tie(want.bitCount, want.topDown, want.rows))
            << "frame " << k + 1;
        DeleteObject(stored[k]);
    }
    EXPECT_EQ(MetadataItem(Input(), file, FALTRIX_METADATA_FRAMES), "3");
}

// The output example's own answers (faltrix-plugin-check judges the contract of every output
// plug-in of it: plugin_check.Bundled.sdk_example.output): the top row first for both row
// orders; the XMP packet set before a save in that file's header, line by line, and no further
// (a profile has no place in PPM); a name by its bytes, and one with U+DC41, which stands for
// no byte ('A' is never escaped), refused.
TEST(ExampleOutput, StoresTopRowFirstTheXmpAndNamesByTheirBytes) {
    TempDir dir;
    const auto stored = [&](const char *name) {
        const Bytes bytes = ReadFile(dir / name);
        return std::string(bytes.begin(), bytes.end());
    };
    const std::vector<RGBQUAD> palette = {{0, 0, 0, 0}, {30, 20, 10, 0}, {0, 100, 200, 0}};
    for (const bool topDown : {false, true}) {
        uint8_t *bits = nullptr;
        const OwnedDib dib = MakeDib({3, 2, 4, topDown, palette, {}, 0, 0}, &bits);
        bits[topDown ? 0 : 4] = 0x12;  // top row: 1, 2, 0
        bits[topDown ? 5 : 1] = 0x20;  // bottom row: 0, 0, 2
        ASSERT_EQ(Output().Save(dib, dir / "out.ppm"), 0);
        EXPECT_EQ(stored("out.ppm"), std::string("P6\n3 2\n255\n") +
                                         Literal("\x0a\x14\x1e\xc8\x64\0\0\0\0") +
                                         Literal("\0\0\0\0\0\0\xc8\x64\0"))
            << topDown;
    }
    const auto set = reinterpret_cast<SetPictureMetadataFn>(Output().Symbol("SetPictureMetadata"));
    EXPECT_EQ(set(FALTRIX_METADATA_ICC, "acsp", 4), 1);
    EXPECT_EQ(set(nullptr, nullptr, 0), 0);
    EXPECT_EQ(set(FALTRIX_METADATA_XMP, "<x/>\n<y/>", 9), 0);
    const OwnedDib dib = MakeDib({3, 2, 4, false, {{0, 0, 0, 0}}, {}, 0, 0});
    for (const char *header : {"P6\n# <x/>\n# <y/>\n3 2\n", "P6\n3 2\n"}) {
        ASSERT_EQ(Output().Save(dib, dir / "out.ppm"), 0);
        EXPECT_TRUE(stored("out.ppm").starts_with(header)) << header;
    }
    EXPECT_EQ(Output().Save(dib, dir / "caf\xE9.ppm"), 0);
    EXPECT_EQ(stored("caf\xE9.ppm").substr(0, 7), "P6\n3 2\n");
    const std::u16string noByte = U16(dir / "caf") + char16_t(0xDC41) + u".ppm";
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, dib);
    EXPECT_EQ(reinterpret_cast<SaveDIBPictureFn>(Output().Symbol("SaveDIBPicture"))(
                  dc, noByte.c_str(), 0, 0, nullptr, 0),
              1);
    DeleteDC(dc);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path().toStdString()), {}), 2);
}

// 12-bit RGB stored through AddFrameSamples comes back from GetFrameSamples sample for sample,
// and the input tells the host its depth.
TEST(Examples, DeepSamplesMakeTheRoundTrip) {
    DeepPicture stored{12, 3, 4, 2, {Samples(4 * 2 * 3)}, {}};
    for (size_t i = 0; i < stored.frames[0].size(); ++i)  // 12-bit values scaled to 16 bits
        stored.frames[0][i] = uint16_t((i * 173 % 4096 * 65535 + 2047) / 4095);
    const fs::path file = Write("deep.ppm", "");
    ASSERT_EQ(WriteDeep(Output(), stored, file), "");
    const DeepPicture read = ReadDeep(Input(), file);
    EXPECT_EQ(std::tie(read.bits, read.channels, read.frames),
              std::tie(stored.bits, stored.channels, stored.frames))
        << read.failure;
}

// "grey-palette" picks between an 8-bit picture with a grey table and a 24-bit one; both show
// the same greys, scaled from the file's maximum value.
TEST(ExampleInput, GreyPaletteOptionPicksTheLayout) {
    const fs::path file = Write("grey.pgm", Literal("P5\n2 1\n100\n\x00\x64"));
    for (const char16_t *palette : {u"1", u"0"}) {
        ASSERT_EQ(SetOption(Input(), u"grey-palette", palette), 0);
        const OwnedDib bitmap = Input().Decode(file);
        ASSERT_NE(bitmap, nullptr) << Failure();
        const QImage image = DibToImage(bitmap);
        EXPECT_EQ(std::tuple(ViewDib(bitmap).bitCount, image.pixel(0, 0), image.pixel(1, 0)),
                  std::tuple(palette[0] == u'1' ? 8 : 24, qRgb(0, 0, 0), qRgb(255, 255, 255)));
    }
    EXPECT_NE(SetOption(Input(), u"grey-palette", u"2"), 0);
    SetOption(Input(), u"grey-palette", u"1");
}

}  // namespace
}  // namespace faltrix
