// The pieces of the metadata path that rewrite what the picture says about itself.
#include <gtest/gtest.h>

#include <string>

#include "faltrix/picture_metadata.h"

namespace faltrix {
namespace {

// The packets toolkits write: the orientation as an attribute or an element, in either quote,
// under the usual prefix or another one bound to the TIFF namespace. Only that property's value
// changes; a property of another namespace, or one whose name merely begins the same, stays.
TEST(XmpForOutput, SaysOneForTheTiffOrientationAndKeepsEveryOtherByte) {
    const std::string head = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"r\"><rdf:Description ";
    const std::string tiff = "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" ";
    const std::pair<std::string, std::string> cases[] = {
        {tiff + "tiff:Orientation=\"6\"/>", tiff + "tiff:Orientation=\"1\"/>"},
        {tiff + "tiff:Orientation = '8' tiff:Make=\"6\"/>", tiff + "tiff:Orientation = '1' tiff:Make=\"6\"/>"},
        {tiff + "><tiff:Orientation>7</tiff:Orientation></rdf:Description>",
         tiff + "><tiff:Orientation>1</tiff:Orientation></rdf:Description>"},
        {"xmlns:t='http://ns.adobe.com/tiff/1.0/' t:Orientation=\"5\" tiff:Orientation=\"5\"/>",
         "xmlns:t='http://ns.adobe.com/tiff/1.0/' t:Orientation=\"1\" tiff:Orientation=\"5\"/>"},
        {"xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:Orientation=\"6\"/>",
         "xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" exif:Orientation=\"6\"/>"},
        {tiff + "tiff:OrientationNote=\"6\" xtiff:Orientation=\"6\"/>", tiff + "tiff:OrientationNote=\"6\" xtiff:Orientation=\"6\"/>"},
        {tiff + "tiff:Orientation=\"6/>", tiff + "tiff:Orientation=\"6/>"},  // cut short: left alone
    };
    for (const auto &[description, expected] : cases) {
        const std::string tail = "</rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
        EXPECT_EQ(XmpForOutput(head + description + tail), head + expected + tail) << description;
    }
}

}  // namespace
}  // namespace faltrix
