// The pieces of the metadata path that rewrite what the picture says about itself.
#include <gtest/gtest.h>

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "faltrix/gdi.h"

#include "faltrix/picture_metadata.h"

namespace faltrix {
namespace {

// The packets toolkits write: the orientation as an attribute or an element, in either quote,
// under the usual prefix or another one bound to the TIFF namespace. Only that property's value
// changes; a property of another namespace, or one whose name merely begins the same, stays.
TEST(XmpForOutput, SaysOneForTheTiffOrientationAndKeepsEveryOtherByte) {
    const std::string head =
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"r\"><rdf:Description ";
    const std::string tiff = "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" ";
    const std::pair<std::string, std::string> cases[] = {
        {tiff + "tiff:Orientation=\"6\"/>", tiff + "tiff:Orientation=\"1\"/>"},
        {tiff + "tiff:Orientation = '8' tiff:Make=\"6\"/>",
         tiff + "tiff:Orientation = '1' tiff:Make=\"6\"/>"},
        {tiff + "><tiff:Orientation>7</tiff:Orientation></rdf:Description>",
         tiff + "><tiff:Orientation>1</tiff:Orientation></rdf:Description>"},
        {"xmlns:t='http://ns.adobe.com/tiff/1.0/' t:Orientation=\"5\" tiff:Orientation=\"5\"/>",
         "xmlns:t='http://ns.adobe.com/tiff/1.0/' t:Orientation=\"1\" tiff:Orientation=\"5\"/>"},
        {"xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:Orientation=\"6\"/>",
         "xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:Orientation=\"6\"/>"},
        {tiff + "tiff:OrientationNote=\"6\" xtiff:Orientation=\"6\"/>",
         tiff + "tiff:OrientationNote=\"6\" xtiff:Orientation=\"6\"/>"},
        {tiff + "tiff:Orientation=\"6/>",
         tiff + "tiff:Orientation=\"6/>"},  // cut short: left alone
    };
    for (const auto &[description, expected] : cases) {
        const std::string tail = "</rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
        EXPECT_EQ(XmpForOutput(head + description + tail), head + expected + tail) << description;
    }
}

// A block that holds a tag twice (the stored size, the orientation) is rewritten with each
// once: libexif takes no second entry of a tag, and the rewrite must not keep one it refused.
TEST(ExifForOutput, RewritesTagsTheBlockHoldsTwice) {
    std::string block(160, '\0');
    const auto put16 = [&](size_t at, uint32_t v) {
        block[at] = char(v & 0xFF), block[at + 1] = char(v >> 8);
    };
    const auto put32 = [&](size_t at, uint32_t v) {
        put16(at, v & 0xFFFF), put16(at + 2, v >> 16);
    };
    const auto entry = [&](size_t at, uint32_t tag, uint32_t type, uint32_t value) {
        put16(at, tag), put16(at + 2, type), put32(at + 4, 1), put32(at + 8, value);
    };
    block.replace(0, 4, "II*\0", 4);
    put32(4, 8);
    put16(8, 3);  // IFD0: the orientation twice, and the EXIF directory
    entry(10, 0x0112, 3, 6);
    entry(22, 0x0112, 3, 8);
    entry(34, 0x8769, 4, 80);
    put16(80, 2);  // the EXIF directory: the stored height twice
    entry(82, 0xA003, 3, 16);
    entry(94, 0xA003, 3, 32);
    const std::string out = ExifForOutput(block, 40, 30);
    ASSERT_FALSE(out.empty());
    std::vector<std::string> orientations, heights;
    for (size_t at = 0; at + 12 <= out.size(); at += 2) {
        if (out.compare(at, 4, std::string("\x12\x01\x03\x00", 4)) == 0)
            orientations.push_back(out.substr(at + 8, 2));
        if (out.compare(at, 2, std::string("\x03\xa0", 2)) == 0)
            heights.push_back(out.substr(at + 8, 2));
    }
    EXPECT_EQ(orientations, std::vector<std::string>{std::string("\x01\x00", 2)});
    EXPECT_EQ(heights, std::vector<std::string>{std::string("\x1e\x00", 2)});
}

// A grey profile describes grey pixels only: a colour picture that carries one (its file's
// profile does not fit its samples) keeps its colours, and the conversion says it did nothing.
TEST(ConvertToSrgb, GreyProfileLeavesColourPixelsAlone) {
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 1.8);
    cmsHPROFILE grey = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(grey, nullptr, &size);
    std::string icc(size, '\0');
    cmsSaveProfileToMem(grey, icc.data(), &size);
    cmsCloseProfile(grey);
    cmsFreeToneCurve(gamma);
    BITMAPINFO info{{sizeof(BITMAPINFOHEADER), 2, -1, 1, 24, BI_RGB, 0, 0, 0, 0, 0}, {}};
    for (const std::array<uint8_t, 6> pixels : {std::array<uint8_t, 6>{10, 200, 30, 90, 90, 90},
                                                std::array<uint8_t, 6>{90, 90, 90, 40, 40, 40}}) {
        void *bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        ASSERT_NE(bitmap, nullptr);
        std::memcpy(bits, pixels.data(), pixels.size());
        const bool colour = pixels[0] != pixels[1];
        EXPECT_EQ(ConvertToSrgb(bitmap, icc), !colour);
        const uint8_t *after = static_cast<const uint8_t *>(bits);
        // Grey pixels become a grey level of sRGB's.
        if (colour) EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), after));
        else EXPECT_TRUE(after[0] == after[1] && after[1] == after[2] && after[0] != 90);
        DeleteObject(bitmap);
    }
}

}  // namespace
}  // namespace faltrix
