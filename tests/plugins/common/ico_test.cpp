// Icons and cursors through the plug-ins of the build tree: every entry of an icon another
// encoder wrote read as a frame, largest first, against Pillow's decoding of each size; our
// icons of several sizes read back by Pillow and ImageMagick; the box filter's colours and
// alpha; frames written back as the entries they came from; a cursor's hotspot at each size,
// set by option or by the Detail dialog.
#include <gtest/gtest.h>

#include <QProcess>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

// Every size Pillow reads from sys.argv[1], saved as sys.argv[2]/peer-<width>.png (RGBA).
const char *const kPillowSizes = R"(
import sys
from PIL import Image
with Image.open(sys.argv[1]) as im:
    for size in sorted(im.info['sizes']):
        im.size = size
        im.load()
        im.convert('RGBA').save('%s/peer-%d.png' % (sys.argv[2], size[0]))
)";

// The sizes Pillow finds, the largest first; empty when it cannot read the file.
std::vector<QImage> PillowSizes(const fs::path &file) {
    TempDir dir;
    std::vector<QImage> sizes;
    if (QProcess::execute(kPython, {"-c", kPillowSizes, Q(file), dir.path()})) return sizes;
    for (int side = 256; side > 0; --side)
        if (QImage peer(dir.path() + "/peer-" + QString::number(side) + ".png"); !peer.isNull())
            sizes.push_back(peer.convertToFormat(QImage::Format_ARGB32));
    return sizes;
}

// The frames of file, each cut to its own size from the top-left of the canvas.
std::vector<QImage> Entries(const CodecPlugin &in, const fs::path &file,
                            const std::vector<int> &sides) {
    CodecPlugin::Frames frames = in.DecodeFrames(file);
    std::vector<QImage> images = Images(frames.bitmaps);
    for (size_t k = 0; k < images.size() && k < sides.size(); ++k)
        images[k] = images[k].copy(0, 0, sides[k], sides[k]);
    return images;
}

// One of the directory's records: its width and its hotspot (planes and bit count).
struct Record {
    int width, hotX, hotY;
};
std::vector<Record> Directory(const fs::path &file) {
    const std::vector<uint8_t> b = ReadFile(file);
    std::vector<Record> records;
    for (size_t k = 0; b.size() >= 6 && k < size_t(b[4] | b[5] << 8); ++k) {
        const uint8_t *e = b.data() + 6 + 16 * k;
        records.push_back({e[0] ? e[0] : 256, e[4] | e[5] << 8, e[6] | e[7] << 8});
    }
    return records;
}

class Icons : public ::testing::Test {
protected:
    void TearDown() override {  // the options hold for the session: put back for the next
        EXPECT_EQ(SetOption(out, u"sizes", u""), 0);
        EXPECT_EQ(SetOption(cur, u"hotspot", u"0,0"), 0);
    }
    const CodecPlugin &in = Loaded("ico", "input");
    const CodecPlugin &out = Loaded("ico", "output");
    const CodecPlugin &cur = Loaded("cur", "output");
    TempDir dir;
};

TEST_F(Icons, EveryEntryIsAFrameLargestFirstAsPillowReadsIt) {
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    if (!fs::exists(kPython)) GTEST_SKIP() << "no " << kPython;
    for (const char *name : {"imagemagick-48-32-16.ico", "pillow-png-256-and-32.ico"}) {
        const fs::path file = DataDir() / "ico" / "layouts" / name;
        const std::vector<QImage> peer = PillowSizes(file);
        ASSERT_FALSE(peer.empty()) << name;
        std::vector<int> sides;
        for (const QImage &p : peer) sides.push_back(p.width());
        ExpectFrames(Entries(in, file, sides), peer, 0, std::string("Pillow, ") + name);
    }
}

// A picture whose transparent half is green: premultiplied, no green reaches a size, and a
// flat colour stays flat. The sizes asked come in this order, each as BMP but 256 as PNG.
TEST_F(Icons, SizesAskedAreBoxFilteredWithoutBleedingAndReadByPeers) {
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    QImage picture(299, 200, QImage::Format_ARGB32);  // 150 / 299: mixed pixels at each size
    picture.fill(qRgba(200, 30, 40, 255));
    for (int y = 0; y < 200; ++y)
        for (int x = 150; x < 299; ++x) picture.setPixel(x, y, qRgba(0, 255, 0, 0));
    ASSERT_EQ(SetOption(out, u"sizes", u"256, 48,16,32"), 0);
    ASSERT_EQ(out.Save(OwnedDib(ImageToDib(picture, 32)), dir / "a.ico"), 0);
    std::vector<int> sides;
    for (const Record &r : Directory(dir / "a.ico")) sides.push_back(r.width);
    EXPECT_EQ(sides, (std::vector<int>{16, 32, 48, 256}));
    const std::vector<QImage> ours = Entries(in, dir / "a.ico", {256, 48, 32, 16});
    ASSERT_EQ(ours.size(), 4u);
    for (const QImage &entry : ours) {
        const int side = entry.width();
        // Centred: 2/3 of the height in the middle rows, the rest transparent.
        EXPECT_EQ(qAlpha(entry.pixel(side / 8, 0)), 0) << side;
        EXPECT_EQ(entry.pixel(side / 8, side / 2), qRgba(200, 30, 40, 255)) << side;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                ASSERT_EQ(qAlpha(entry.pixel(x, y)) ? qGreen(entry.pixel(x, y)) : 30, 30)
                    << side << ": " << x << "," << y;
    }
    if (fs::exists(kPython)) ExpectFrames(ours, PillowSizes(dir / "a.ico"), 0, "Pillow");
    if (Have("convert")) {
        ASSERT_EQ(RunQuietly("convert", {Q(dir / "a.ico") + "[3]", Q(dir / "im.png")}), 0);
        EXPECT_EQ(MaxDifference(QImage(Q(dir / "im.png")), ours[0]), 0);
    }
    for (const char16_t *bad : {u"0", u"257", u"16,,32", u"16x16"})
        EXPECT_NE(SetOption(out, u"sizes", bad), 0) << std::u16string(bad).size();
}

// An icon read as frames and written back keeps its entries: the smaller ones, padded on the
// largest's canvas by the reader, get their own sizes again.
TEST_F(Icons, FramesWrittenBackKeepTheirSizes) {
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    const fs::path file = DataDir() / "ico" / "layouts" / "imagemagick-48-32-16.ico";
    CodecPlugin::Frames frames = in.DecodeFrames(file);
    ASSERT_EQ(out.SaveFrames(frames.bitmaps, frames.delays, 1, dir / "again.ico"), 0);
    std::vector<int> sides;
    for (const Record &r : Directory(dir / "again.ico")) sides.push_back(r.width);
    EXPECT_EQ(sides, (std::vector<int>{48, 32, 16}));
    ExpectFrames(Entries(in, dir / "again.ico", sides), Entries(in, file, sides), 0, "ours");
}

// The hotspot scales with each size, set by option or by the Detail dialog's check boxes and
// numbers; one outside the picture is refused. Pillow reads the cursor.
TEST_F(Icons, CursorHotspotScalesWithEachSize) {
    FALTRIX_SKIP_UNLESS_LOADED(&cur);
    ASSERT_EQ(SetOption(cur, u"hotspot", u"70,3"), 0);
    EXPECT_NE(cur.Save(OwnedDib(ImageToDib(TestChart(64, 64, true), 32)), dir / "outside.cur"), 0);
    EXPECT_TRUE(cur.LastFailureText().contains("outside the picture"));
    // The side, the settings, and the first and last records: width, hotspot x and y.
    const std::tuple<int, bool, std::vector<int>> cases[] = {{64, false, {32, 5, 10, 64, 10, 21}},
                                                             {96, true, {16, 6, 1, 48, 20, 4}}};
    for (const auto &[side, byDialog, expected] : cases) {
        ASSERT_EQ(SetOption(cur, u"sizes", u"") + SetOption(cur, u"hotspot", u"0,0"), 0);
        if (byDialog) {
            App();
            ASSERT_EQ(
                AnswerSettings(cur, {{"Sizes", 3}, {"Hotspot x", 40}, {"Hotspot y", 8}}, true), 0);
        } else {
            ASSERT_EQ(SetOption(cur, u"hotspot", u"10,21") + SetOption(cur, u"sizes", u"32,64"), 0);
        }
        ASSERT_EQ(cur.Save(OwnedDib(ImageToDib(TestChart(side, side, true), 32)), dir / "a.cur"),
                  0);
        const std::vector<Record> records = Directory(dir / "a.cur");
        ASSERT_EQ(records.size(), byDialog ? 3u : 2u);  // the dialog's: 16, 32, 48
        const Record &first = records.front(), &last = records.back();
        EXPECT_EQ((std::vector<int>{first.width, first.hotX, first.hotY, last.width, last.hotX,
                                    last.hotY}),
                  expected)
            << side;
    }
    if (fs::exists(kPython)) {
        EXPECT_EQ(QProcess::execute(kPython, {"-c",
                                              "import sys; from PIL import Image; "
                                              "assert Image.open(sys.argv[1]).size == (48, 48)",
                                              Q(dir / "a.cur")}),
                  0);
    }
}

}  // namespace
}  // namespace faltrix
