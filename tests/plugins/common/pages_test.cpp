// Documents of pages through the plug-ins of the build tree: multi-page TIFF and HEIF files of
// several top-level pictures read page by page as the peers read them, pages of another size
// put on the first page's canvas, our TIFF pages read back by Pillow, and damaged page chains.
#include <gtest/gtest.h>

#include <QPainter>
#include <QProcess>
#include <QStandardPaths>

#include <cstring>
#include <fstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

const char *const kPython = "/usr/bin/python3";  // Debian's, which has Pillow (python3-pil)

bool HavePillow() {
    return QFile::exists(kPython) &&
           QProcess::execute(kPython, {"-c", "import PIL.ImageSequence"}) == 0;
}

// Runs a Pillow script with the folder as sys.argv[1]; its exit code.
int RunPillow(const char *script, const TempDir &dir) {
    return QProcess::execute(kPython, {"-c", script, dir.path()});
}

// Every page Pillow reads from dir/pages.<ext>, saved as dir/peer-<k>.png (RGBA).
const char *const kPillowPages = R"(
import sys
from PIL import Image, ImageSequence
d = sys.argv[1]
import glob
with Image.open(glob.glob(d + '/pages.*')[0]) as im:
    for k, page in enumerate(ImageSequence.Iterator(im)):
        page.convert('RGBA').save('%s/peer-%d.png' % (d, k))
)";

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

// The "dropped" items the input plug-in noted for its last decoding of file.
std::string Dropped(const CodecPlugin &in, const fs::path &file) {
    std::string dropped;
    const auto get = reinterpret_cast<GetPictureMetadataFn>(in.Symbol("GetPictureMetadata"));
    get(
        U16(file).c_str(),
        [](void *context, const char *key, const void *bytes, int32_t size) {
            if (std::strcmp(key, FALTRIX_METADATA_DROPPED) == 0)
                static_cast<std::string *>(context)->append(static_cast<const char *>(bytes),
                                                            size_t(size));
        },
        &dropped);
    return dropped;
}

// Pillow writes three pages of three sizes and kinds; each comes back as Pillow reads it, on
// the first page's canvas, and the first page as GetPictureDIB gives it.
TEST(TiffPages, PillowsPagesComeBackOnTheFirstPagesCanvas) {
    const CodecPlugin &in = Loaded("tiff", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    if (!HavePillow()) GTEST_SKIP() << "Pillow (python3-pil) is not installed";
    TempDir dir;
    ASSERT_EQ(RunPillow(R"(
import sys
from PIL import Image
d = sys.argv[1]
rgb = Image.radial_gradient('L').resize((40, 30)).convert('RGB')
grey = Image.linear_gradient('L').resize((56, 20))
rgba = Image.merge('RGBA', [Image.linear_gradient('L').resize((24, 36))] * 3 +
                   [Image.radial_gradient('L').resize((24, 36))])
rgb.save(d + '/pages.tif', save_all=True, append_images=[grey, rgba], compression='tiff_lzw')
)",
                        dir),
              0);
    ASSERT_EQ(RunPillow(kPillowPages, dir), 0);
    const fs::path file = dir / "pages.tif";
    const CodecPlugin::Frames frames = in.DecodeFrames(file);
    ASSERT_EQ(frames.bitmaps.size(), 3u) << in.LastFailureText().toStdString();
    EXPECT_EQ(Dropped(in, file),
              "the size of 2 pages other than the first's (put at the top-left of the first "
              "page's canvas, cut or padded with white)");
    EXPECT_EQ(frames.info.frameCount, 3);
    EXPECT_EQ(frames.info.kind, FALTRIX_FRAMES_PAGES);
    EXPECT_EQ(frames.delays, std::vector<int32_t>(3, 0));
    for (int k = 0; k < 3; ++k) {
        const QImage peer(QString::fromStdString(dir / ("peer-" + std::to_string(k) + ".png")));
        std::string where;
        EXPECT_EQ(
            MaxDifference(DibToImage(frames.bitmaps[k]), OnCanvas(peer, 40, 30, k == 2), &where), 0)
            << "page " << k + 1 << ": " << where;
    }
    HBITMAP single = in.Decode(file);
    EXPECT_EQ(ViewDib(single).rows, ViewDib(frames.bitmaps[0]).rows);
    DeleteObject(single);
}

struct PageCase {
    const char *name;
    int bits, palette;  // ChartDib's
    bool alpha;
};

// Pages of every depth go into one document and come back as they went, through our reader
// and Pillow's, with the options as for one picture.
TEST(TiffPages, EveryDepthComesBackThroughBothReaders) {
    const CodecPlugin &in = Loaded("tiff", "input"), &out = Loaded("tiff", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    const PageCase cases[] = {{"bilevel", 1, 2, false},
                              {"grey", 8, -256, false},
                              {"palette", 4, 16, false},
                              {"colour", 24, 0, false},
                              {"alpha", 32, 0, true}};
    std::vector<HBITMAP> pages;
    for (const PageCase &c : cases) pages.push_back(ChartDib(c.bits, false, c.palette, c.alpha));
    TempDir dir;
    const fs::path file = dir / "pages.tif";
    ASSERT_EQ(out.SaveFrames(pages, {100, 0, 40, 0, 0}, 0, file), 0)
        << out.LastFailureText().toStdString();
    const CodecPlugin::Frames frames = in.DecodeFrames(file);
    ASSERT_EQ(frames.bitmaps.size(), pages.size()) << in.LastFailureText().toStdString();
    EXPECT_EQ(frames.delays, std::vector<int32_t>(pages.size(), 0));
    const bool pillow = HavePillow();
    if (pillow) {
        EXPECT_EQ(RunPillow(kPillowPages, dir), 0);
    }
    for (size_t k = 0; k < pages.size(); ++k) {
        const QImage expected = DibToImage(pages[k]);
        EXPECT_EQ(ViewDib(frames.bitmaps[k]).bitCount, cases[k].bits) << cases[k].name;
        EXPECT_EQ(MaxDifference(DibToImage(frames.bitmaps[k]), expected), 0) << cases[k].name;
        if (pillow) {
            EXPECT_EQ(
                MaxDifference(
                    QImage(QString::fromStdString(dir / ("peer-" + std::to_string(k) + ".png"))),
                    expected),
                0)
                << cases[k].name << " as Pillow reads it";
        }
        DeleteObject(pages[k]);
    }
}

// libheif's encoder stores three pictures of three sizes, the second and third with alpha;
// each comes back as libheif's converter writes it, on the primary's canvas.
TEST(HeifPages, EveryTopLevelPictureComesBackPrimaryFirst) {
    const CodecPlugin &in = Loaded("heif", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const QString encoder = QStandardPaths::findExecutable("heif-enc"),
                  converter = QStandardPaths::findExecutable("heif-convert");
    if (encoder.isEmpty() || converter.isEmpty())
        GTEST_SKIP() << "heif-enc or heif-convert is not installed";
    TempDir dir;
    const QSize sizes[] = {{64, 48}, {40, 60}, {80, 30}};
    QStringList arguments{"-q", "80"};
    for (int k = 0; k < 3; ++k) {
        const QString name = QString::fromStdString(dir / ("source-" + std::to_string(k) + ".png"));
        ASSERT_TRUE(TestChart(sizes[k].width(), sizes[k].height(), k > 0).save(name));
        arguments << name;
    }
    const fs::path file = dir / "pages.heic";
    ASSERT_EQ(QProcess::execute(encoder, arguments << "-o" << QString::fromStdString(file)), 0);
    ASSERT_EQ(QProcess::execute(converter, {QString::fromStdString(file),
                                            QString::fromStdString(dir / "peer.png")}),
              0);
    const CodecPlugin::Frames frames = in.DecodeFrames(file);
    ASSERT_EQ(frames.bitmaps.size(), 3u) << in.LastFailureText().toStdString();
    EXPECT_EQ(Dropped(in, file),
              "the size of 2 pictures other than the first's (put at the top-left of the first "
              "picture's canvas, cut or padded with white)");
    EXPECT_EQ(frames.info.kind, FALTRIX_FRAMES_PAGES);
    EXPECT_EQ(frames.delays, std::vector<int32_t>(3, 0));
    for (int k = 0; k < 3; ++k) {
        const QImage peer(QString::fromStdString(dir / ("peer-" + std::to_string(k + 1) + ".png")));
        std::string where;
        EXPECT_EQ(
            MaxDifference(DibToImage(frames.bitmaps[k]), OnCanvas(peer, 64, 48, k > 0), &where), 0)
            << "picture " << k + 1 << ": " << where;
    }
    HBITMAP single = in.Decode(file);
    EXPECT_EQ(ViewDib(single).rows, ViewDib(frames.bitmaps[0]).rows);
    DeleteObject(single);
}

// ---- Damaged page chains ---------------------------------------------------------------------

// A little-endian classic TIFF as bytes, with its directories found by their chain.
struct TiffBytes {
    Bytes bytes;
    uint32_t U32(size_t at) const {
        uint32_t v;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    }
    void Put32(size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }
    uint16_t Count(size_t ifd) const { return uint16_t(bytes[ifd] | bytes[ifd + 1] << 8); }
    size_t Next(size_t ifd) const { return ifd + 2 + 12 * size_t(Count(ifd)); }  // its offset
    // Where the value of an entry of one LONG or SHORT lies.
    size_t Value(size_t ifd, uint16_t tag) const {
        for (size_t e = ifd + 2; e < Next(ifd); e += 12)
            if ((bytes[e] | bytes[e + 1] << 8) == tag) return e + 8;
        return 0;
    }
    void Save(const fs::path &file) const {
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    }
};

// A chain that leads back to a page gives each page once; a page whose strip lies
// past the end keeps the pages before it and fails with a cause; a chain of more pages than
// the host takes is refused when opened, with the count.
TEST(TiffPages, DamagedChainsKeepWhatCanBeRead) {
    const CodecPlugin &in = Loaded("tiff", "input"), &out = Loaded("tiff", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    TempDir dir;
    HBITMAP page = ChartDib(24, false);
    ASSERT_EQ(SetOption(out, u"compression", u"None"), 0);
    ASSERT_EQ(out.SaveFrames({page, page}, {}, 1, dir / "two.tif"), 0);
    ASSERT_EQ(SetOption(out, u"compression", u"LZW"), 0);
    DeleteObject(page);
    TiffBytes two{ReadFile(dir / "two.tif")};
    ASSERT_EQ(two.U32(0), 0x002A4949u);  // "II*\0"
    const size_t first = two.U32(4), second = two.U32(two.Next(first));
    ASSERT_NE(second, 0u);

    TiffBytes looped = two;
    looped.Put32(looped.Next(second), uint32_t(first));
    looped.Save(dir / "looped.tif");
    EXPECT_EQ(in.DecodeFrames(dir / "looped.tif").bitmaps.size(), 2u);

    // A first directory that names itself as the next: one page, as GetPictureDIB gives it.
    TiffBytes self = two;
    self.Put32(self.Next(first), uint32_t(first));
    self.Save(dir / "self.tif");
    const CodecPlugin::Frames once = in.DecodeFrames(dir / "self.tif");
    ASSERT_EQ(once.bitmaps.size(), 1u) << in.LastFailureText().toStdString();
    HBITMAP single = in.Decode(dir / "self.tif");
    EXPECT_EQ(ViewDib(once.bitmaps[0]).rows, ViewDib(single).rows);
    DeleteObject(single);

    TiffBytes cut = two;
    ASSERT_NE(cut.Value(second, 273), 0u);  // StripOffsets, one strip
    cut.Put32(cut.Value(second, 273), uint32_t(cut.bytes.size() + 4096));
    cut.Save(dir / "cut.tif");
    const CodecPlugin::Frames kept = in.DecodeFrames(dir / "cut.tif");
    EXPECT_EQ(kept.info.frameCount, 2);
    EXPECT_EQ(kept.bitmaps.size(), 1u);
    EXPECT_TRUE(in.LastFailureText().startsWith("TIFF: ")) << in.LastFailureText().toStdString();

    // Copies of the first directory after the second, each pointing to the next: the values
    // they point to stay where the first's are.
    TiffBytes many = two;
    const size_t ifd = two.Next(first) + 4 - first;  // bytes of one directory with its link
    size_t link = many.Next(second);
    for (int k = 2; k <= FALTRIX_MAX_FRAMES; ++k) {
        many.Put32(link, uint32_t(many.bytes.size()));
        link = many.bytes.size() + ifd - 4;
        many.bytes.insert(many.bytes.end(), two.bytes.begin() + long(first),
                          two.bytes.begin() + long(first + ifd));
    }
    many.Put32(link, 0);
    many.Save(dir / "many.tif");
    int32_t answer = 0;
    EXPECT_TRUE(in.DecodeFrames(dir / "many.tif", &answer).bitmaps.empty());
    EXPECT_NE(answer, 0);
    EXPECT_TRUE(in.LastFailureText().contains("10001 pages")) << in.LastFailureText().toStdString();
}

}  // namespace
}  // namespace faltrix
