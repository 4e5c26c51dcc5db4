// The SDK's example plug-ins, loaded as built: the input example against hostile headers, each
// named after its defect, and both examples together, frames written by one and read back by
// the other under a name that is not UTF-8.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "faltrix/plugin.h"
#include "faltrix/text.h"

namespace {

// A library's entry point by name; the test fails when it is missing.
template <class Fn>
Fn Entry(void *library, const char *name) {
    void *symbol = library != nullptr ? dlsym(library, name) : nullptr;
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<Fn>(symbol);
}

void *Input() {
    static void *library = dlopen(FALTRIX_EXAMPLE_INPUT, RTLD_NOW | RTLD_LOCAL);
    return library;
}

void *Output() {
    static void *library = dlopen(FALTRIX_EXAMPLE_OUTPUT, RTLD_NOW | RTLD_LOCAL);
    return library;
}

HBITMAP Alloc(HDC dc, const BITMAPINFO *info, uint32_t usage, void **bits, HANDLE section,
              uint32_t offset) {
    return CreateDIBSection(dc, info, usage, bits, section, offset);
}

std::string FailureText() {
    WCHAR buffer[512];
    const int32_t n = Entry<GetLastFailureTextFn>(Input(), "GetLastFailureText")(buffer, 512);
    return n > 0 ? faltrix::Utf16ToUtf8(std::u16string(buffer, static_cast<size_t>(n))) : "";
}

// A file of the test's own with the given bytes; its path as the host hands it over.
std::u16string Write(const std::string &name, const std::string &bytes) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return faltrix::PathBytesToUtf16(path);
}

// The bytes of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

struct Hostile {
    const char *name;
    std::string bytes;
    const char *cause;  // a part of GetLastFailureText's answer
};

class HostileHeader : public testing::TestWithParam<Hostile> {};

// A defect in the header fails GetPictureInfo, one in the samples GetPictureDIB; either way
// with its cause and without a picture.
TEST_P(HostileHeader, FailsWithItsCause) {
    const std::u16string path = Write(std::string(GetParam().name) + ".ppm", GetParam().bytes);
    PictureInfo info{};
    const bool headerRead =
        Entry<GetPictureInfoFn>(Input(), "GetPictureInfo")(path.c_str(), 0, 0, &info) == 0;
    if (headerRead) {
        EXPECT_EQ(
            Entry<GetPictureDIBFn>(Input(), "GetPictureDIB")(path.c_str(), 0, 0, nullptr, 0, Alloc),
            nullptr);
    }
    EXPECT_NE(FailureText().find(GetParam().cause), std::string::npos) << FailureText();
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HostileHeader,
    testing::Values(
        Hostile{"width-of-23-digits", "P6\n99999999999999999999999 1\n255\n",
                "the width is larger than 1048575"},
        Hostile{"pixels-over-the-limit", "P6\n1048575 1048575\n255\n",
                "1048575 x 1048575 pixels is more than this plug-in reads"},
        Hostile{"zero-height", "P6\n4 0\n255\n", "the picture is 4 x 0 pixels"},
        Hostile{"maximum-value-65536", "P5\n1 1\n65536\n\0\0",
                "the maximum value is larger than 65535"},
        Hostile{"16-bit-sample-above-maximum", Bytes("P5\n1 1\n1000\n\x03\xE9"),
                "a sample of 1001 above the maximum 1000 at row 1"},
        Hostile{"no-maximum-value", "P6\n2 2\n", "the header has no maximum value"},
        Hostile{"ascii-variant", "P3\n1 1\n255\n0 0 0\n", "not a binary PPM or PGM file"},
        Hostile{"second-row-missing", "P6\n2 2\n255\n123456", "the file ends at row 2 of 2"},
        Hostile{"sample-above-maximum", "P5\n2 1\n100\n\x05\xff",
                "a sample of 255 above the maximum 100 at row 1"}),
    [](const testing::TestParamInfo<Hostile> &info) {
        std::string name = info.param.name;
        for (char &c : name) c = c == '-' ? '_' : c;
        return name;
    });

// Comments and line breaks anywhere between the numbers are header, not samples.
TEST(ExampleInput, ReadsCommentsInTheHeader) {
    const std::u16string path = Write("comments.pgm", "P5\n# by hand\n2 # width\n1\n255\n\x01\x02");
    PictureInfo info{};
    ASSERT_EQ(Entry<GetPictureInfoFn>(Input(), "GetPictureInfo")(path.c_str(), 0, 0, &info), 0)
        << FailureText();
    EXPECT_EQ(info.width, 2);
    EXPECT_EQ(info.height, 1);
}

// The 24-bit top-down rows of a bitmap, without their padding.
std::string Rows(HBITMAP bitmap) {
    DIBSECTION section{};
    EXPECT_EQ(GetObjectW(bitmap, sizeof section, &section), static_cast<int>(sizeof section));
    EXPECT_EQ(section.dsBmih.biBitCount, 24);
    EXPECT_LT(section.dsBmih.biHeight, 0);
    std::string rows;
    for (int y = 0; y < section.dsBm.bmHeight; ++y)
        rows.append(static_cast<const char *>(section.dsBm.bmBits) + y * section.dsBm.bmWidthBytes,
                    static_cast<size_t>(section.dsBm.bmWidth) * 3);
    return rows;
}

// Three frames stored by the output example come back from the input example as three pages
// with the same pixels, and the file tells the host its frame count.
TEST(Examples, FramesMakeTheRoundTrip) {
    const std::u16string path = Write("three-caf\xE9.ppm", "");
    const FrameSequenceInfo sequence{sizeof(FrameSequenceInfo), 5, 3, 3, 0,
                                     FALTRIX_FRAMES_ANIMATION,  0, {}};
    void *writer = nullptr;
    ASSERT_EQ(Entry<BeginFramesFn>(Output(), "BeginFrames")(path.c_str(), &sequence, &writer), 0);
    std::vector<std::string> stored;
    for (int k = 0; k < 3; ++k) {
        BITMAPINFO info{{sizeof(BITMAPINFOHEADER), 5, -3, 1, 24, BI_RGB, 0, 0, 0, 0, 0}, {}};
        void *bits = nullptr;
        HBITMAP frame = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        for (int i = 0; i < 3 * 16; ++i)
            static_cast<uint8_t *>(bits)[i] = static_cast<uint8_t>(i * 5 + k * 80);
        stored.push_back(Rows(frame));
        HDC dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, frame);
        const FrameInfo delay{sizeof(FrameInfo), 100, {}};
        EXPECT_EQ(Entry<AddFrameFn>(Output(), "AddFrame")(writer, dc, &delay, nullptr, 0), 0);
        DeleteDC(dc);
        DeleteObject(frame);
    }
    ASSERT_EQ(Entry<EndFramesFn>(Output(), "EndFrames")(writer, 1), 0);

    FrameSequenceInfo read{};
    read.size = sizeof read;
    void *reader = nullptr;
    ASSERT_EQ(Entry<OpenFramesFn>(Input(), "OpenFrames")(path.c_str(), &read, &reader), 0)
        << FailureText();
    EXPECT_EQ(read.frameCount, 3);
    EXPECT_EQ(read.kind, FALTRIX_FRAMES_PAGES);
    for (int k = 0; k < read.frameCount; ++k) {
        FrameInfo frame{};
        frame.size = sizeof frame;
        HBITMAP bitmap =
            Entry<GetFrameDIBFn>(Input(), "GetFrameDIB")(reader, k, &frame, nullptr, 0, Alloc);
        ASSERT_NE(bitmap, nullptr) << FailureText();
        EXPECT_EQ(Rows(bitmap), stored[static_cast<size_t>(k)]) << "frame " << k + 1;
        DeleteObject(bitmap);
    }
    Entry<CloseFramesFn>(Input(), "CloseFrames")(reader);

    std::string count;
    const MetadataSinkFn sink = [](void *context, const char *key, const void *bytes,
                                   int32_t size) {
        if (std::strcmp(key, FALTRIX_METADATA_FRAMES) == 0)
            static_cast<std::string *>(context)->assign(static_cast<const char *>(bytes), size);
    };
    EXPECT_EQ(
        Entry<GetPictureMetadataFn>(Input(), "GetPictureMetadata")(path.c_str(), sink, &count), 0);
    EXPECT_EQ(count, "3");
}

// 12-bit RGB stored through AddFrameSamples comes back from GetFrameSamples sample for sample,
// and the input tells the host its depth.
TEST(Examples, DeepSamplesMakeTheRoundTrip) {
    const std::u16string path = Write("deep.ppm", "");
    const FrameSequenceInfo sequence{sizeof(FrameSequenceInfo), 4,  2, 1, 0,
                                     FALTRIX_FRAMES_PAGES,      12, {}};
    std::vector<uint16_t> samples(4 * 2 * 3);
    for (size_t i = 0; i < samples.size(); ++i)  // 12-bit values scaled to 16 bits
        samples[i] = static_cast<uint16_t>((i * 173 % 4096 * 65535 + 2047) / 4095);
    const SamplePicture stored{sizeof(SamplePicture), 4,       2, 3, 16, 12, 4 * 3 * 2,
                               samples.data(),        nullptr, {}};
    void *writer = nullptr;
    ASSERT_EQ(Entry<BeginFramesFn>(Output(), "BeginFrames")(path.c_str(), &sequence, &writer), 0);
    ASSERT_EQ(
        Entry<AddFrameSamplesFn>(Output(), "AddFrameSamples")(writer, &stored, nullptr, nullptr, 0),
        0);
    ASSERT_EQ(Entry<EndFramesFn>(Output(), "EndFrames")(writer, 1), 0);

    FrameSequenceInfo info{};
    info.size = sizeof info;
    void *reader = nullptr;
    ASSERT_EQ(Entry<OpenFramesFn>(Input(), "OpenFrames")(path.c_str(), &info, &reader), 0)
        << FailureText();
    EXPECT_EQ(info.sampleBits, 12);
    static std::vector<uint16_t> read;
    SamplePicture picture{};
    picture.size = sizeof picture;
    picture.width = info.width;
    picture.height = info.height;
    const SampleAllocCallbackFn alloc = [](SamplePicture *p) -> void * {
        read.assign(static_cast<size_t>(p->width) * p->height * p->channels, 0);
        p->stride = p->width * p->channels * 2;
        return p->data = read.data();
    };
    ASSERT_EQ(Entry<GetFrameSamplesFn>(Input(), "GetFrameSamples")(reader, 0, nullptr, &picture,
                                                                   nullptr, 0, alloc),
              0)
        << FailureText();
    Entry<CloseFramesFn>(Input(), "CloseFrames")(reader);
    EXPECT_EQ(picture.channels, 3);
    EXPECT_EQ(picture.significantBits, 12);
    EXPECT_EQ(read, samples);
}

// "grey-palette" picks between an 8-bit picture with a grey table and a 24-bit one; both show
// the same greys, scaled from the file's maximum value.
TEST(ExampleInput, GreyPaletteOptionPicksTheLayout) {
    const std::u16string path = Write("grey.pgm", Bytes("P5\n2 1\n100\n\x00\x64"));
    const auto setOption = Entry<SetPluginOptionFn>(Input(), "SetPluginOption");
    for (const char16_t *palette : {u"1", u"0"}) {
        ASSERT_EQ(setOption(u"grey-palette", palette), 0);
        HBITMAP bitmap =
            Entry<GetPictureDIBFn>(Input(), "GetPictureDIB")(path.c_str(), 0, 0, nullptr, 0, Alloc);
        ASSERT_NE(bitmap, nullptr) << FailureText();
        DIBSECTION section{};
        GetObjectW(bitmap, sizeof section, &section);
        EXPECT_EQ(section.dsBmih.biBitCount, palette[0] == u'1' ? 8 : 24);
        HDC dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, bitmap);
        EXPECT_EQ(GetPixel(dc, 0, 0), RGB(0, 0, 0));
        EXPECT_EQ(GetPixel(dc, 1, 0), RGB(255, 255, 255));
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    EXPECT_NE(setOption(u"grey-palette", u"2"), 0);
    setOption(u"grey-palette", u"1");
}

}  // namespace
