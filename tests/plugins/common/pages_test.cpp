// Documents of pages through the plug-ins of the build tree: multi-page TIFF and HEIF files of
// several top-level pictures read page by page as the peers read them, pages of another size
// put on the first page's canvas, our TIFF pages read back by Pillow, a chain of more pages than
// the host takes, and the settings PDF pages are rendered by.
#include <gtest/gtest.h>

#include <QPainter>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

// The picture a page gives on a canvas of w x h: at the top-left, cut or padded with white
// (transparent white when the page has alpha).
QImage OnCanvas(const QImage &page, int w, int h, bool alpha) {
    QImage canvas(w, h, QImage::Format_ARGB32);
    canvas.fill(alpha ? QColor(255, 255, 255, 0) : QColor(Qt::white));
    QPainter painter(&canvas);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, page.convertToFormat(QImage::Format_ARGB32));
    return canvas;
}

// Documents of three pictures of three sizes as the peers wrote them (tests/data/*/layouts):
// Pillow's TIFF, the third page with alpha, and heif-enc's HEIF of the test chart, the second
// and third with alpha. Each picture comes back as the peer reads it (Pillow, heif-convert:
// <document>.page-<k>.png) on the first one's canvas, the first also as GetPictureDIB gives it,
// and the change of size is noted.
TEST(Pages, ThePeersPagesComeBackOnTheFirstPagesCanvas) {
    for (const auto &[format, name, noun, w, h, alpha] :
         {std::tuple{"tiff", "pages-of-three-sizes", "page", 40, 30, 0b100},
          {"heif", "pictures-of-three-sizes", "picture", 64, 48, 0b110}}) {
        const CodecPlugin &in = Loaded(format, "input");
        FALTRIX_SKIP_UNLESS_LOADED(&in);
        const fs::path file =
            DataDir() / format / "layouts" /
            (std::string(name) + (format == std::string("tiff") ? ".tif" : ".heic"));
        const CodecPlugin::Frames frames = in.DecodeFrames(file);
        ASSERT_EQ(frames.bitmaps.size(), 3u) << in.LastFailure();
        EXPECT_EQ(MetadataItem(in, file, FALTRIX_METADATA_DROPPED),
                  "the size of 2 " + std::string(noun) + "s other than the first's (put at the " +
                      "top-left of the first " + noun +
                      "'s canvas, cut or padded: with white, or transparent where it has alpha)");
        EXPECT_EQ(frames.info.kind, FALTRIX_FRAMES_PAGES);
        EXPECT_EQ(frames.delays, std::vector<int32_t>(3, 0));
        for (int k = 0; k < 3; ++k) {
            std::string where;
            const QImage peer(
                Q(file.parent_path() / (name + (".page-" + std::to_string(k + 1)) + ".png")));
            EXPECT_EQ(MaxDifference(DibToImage(frames.bitmaps[k]),
                                    OnCanvas(peer, w, h, alpha >> k & 1), &where),
                      0)
                << noun << " " << k + 1 << ": " << where;
        }
        EXPECT_EQ(ViewDib(OwnedDib(in.Decode(file))).rows, ViewDib(frames.bitmaps[0]).rows);
    }
}

// Pages of every depth go into one document and come back as they went, through our reader
// and Pillow's (which the program-level animation test does not write).
TEST(TiffPages, EveryDepthComesBackThroughBothReaders) {
    const CodecPlugin &in = Loaded("tiff", "input"), &out = Loaded("tiff", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    const int cases[][2] = {
        {1, 2}, {8, -256}, {4, 16}, {24, 0}, {32, 0}};  // ChartDib's bits, palette
    std::vector<HBITMAP> pages;
    for (const auto &c : cases) pages.push_back(ChartDib(c[0], false, c[1], c[0] == 32));
    TempDir dir;
    ASSERT_EQ(out.SaveFrames(pages, {100, 0, 40, 0, 0}, 0, dir / "pages.tif"), 0)
        << out.LastFailure();
    const CodecPlugin::Frames frames = in.DecodeFrames(dir / "pages.tif");
    ASSERT_EQ(frames.bitmaps.size(), pages.size()) << in.LastFailure();
    EXPECT_EQ(frames.delays, std::vector<int32_t>(pages.size(), 0));
    const PeerFrames pillow = PillowFrames(dir / "pages.tif");
    for (size_t k = 0; k < pages.size(); ++k) {
        SCOPED_TRACE(cases[k][0]);
        const QImage expected = DibToImage(pages[k]);
        EXPECT_EQ(ViewDib(frames.bitmaps[k]).bitCount, cases[k][0]);
        EXPECT_EQ(MaxDifference(DibToImage(frames.bitmaps[k]), expected), 0);
        EXPECT_TRUE(pillow.frames.empty() || MaxDifference(pillow.frames[k], expected) == 0)
            << "Pillow's";
        DeleteObject(pages[k]);
    }
}

// ---- More pages than the host takes --------------------------------------------------------

// A little-endian classic TIFF of two pages as bytes.
struct Tiff {
    Bytes b;
    size_t first = U32(4), second = U32(Next(first));
    uint32_t U32(size_t at) const {
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
    }
    void Put32(size_t at, size_t v) {
        for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> 8 * i);
    }
    size_t Next(size_t ifd) const { return ifd + 2 + 12 * size_t(b[ifd] | b[ifd + 1] << 8); }
};

// More pages than the host takes (copies of the first directory, its values where the first's
// are) are refused when opened, with the count. (Chains damaged otherwise are files of
// tests/data/tiff/hostile: frames.txt.)
TEST(TiffPages, MorePagesThanTheLimitAreRefused) {
    const CodecPlugin &in = Loaded("tiff", "input"), &out = Loaded("tiff", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    TempDir dir;
    const OwnedDib page = ChartDib(24, false);
    ASSERT_EQ(out.SaveFrames({page, page}, {}, 1, dir / "two.tif"), 0);
    Tiff t{ReadFile(dir / "two.tif")};
    ASSERT_EQ(t.U32(0), 0x002A4949u);  // "II*\0"
    const Bytes one(t.b.begin() + long(t.first), t.b.begin() + long(t.Next(t.first) + 4));
    size_t link = t.Next(t.second);
    for (int k = 2; k <= FALTRIX_MAX_FRAMES; ++k) {
        t.Put32(link, t.b.size());
        link = t.b.size() + one.size() - 4;
        t.b.insert(t.b.end(), one.begin(), one.end());
    }
    t.Put32(link, 0);
    WriteFile(dir / "many.tif", t.b);
    int32_t answer = -1;
    EXPECT_TRUE(in.DecodeFrames(dir / "many.tif", &answer).bitmaps.empty());
    EXPECT_NE(answer, 0);
    EXPECT_TRUE(in.LastFailureText().contains("10001 pages")) << in.LastFailure();
}

// PDF pages: the Detail dialog's dpi sets the size pages are rendered at, and transparent paper
// leaves what a page does not draw transparent; SetPluginOption reaches the same settings.
class PdfSettings : public KeepsSettings {};

TEST_F(PdfSettings, DpiSetsTheSizeAndTransparentPaperKeepsWhatThePageLeaves) {
    const CodecPlugin &in = Loaded("pdf", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    Keep(in);
    const fs::path file = DataDir() / "pdf" / "layouts" / "two-pages-of-two-sizes.pdf";
    ASSERT_EQ(AnswerSettings(in, {{"Dots per inch", 36}, {"Transparent paper", 1}}, true), 0);
    int32_t w = 0, h = 0;
    ASSERT_EQ(in.PictureSize(file, &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(60, 45));
    // (59, 0) is paper; (10, 10) lies in the red rectangle the page draws.
    for (const char16_t *transparent : {u"1", u"0"}) {
        ASSERT_EQ(SetOption(in, u"transparent", transparent), 0);
        const QImage picture = DibToImage(OwnedDib(in.Decode(file)));
        ASSERT_EQ(picture.size(), QSize(60, 45));
        EXPECT_EQ(picture.pixel(59, 0), transparent[0] == u'1' ? 0u : 0xFFFFFFFFu);
        EXPECT_EQ(qAlpha(picture.pixel(10, 10)), 255);
    }
    EXPECT_NE(SetOption(in, u"dpi", u"0"), 0);
}

}  // namespace
}  // namespace faltrix
