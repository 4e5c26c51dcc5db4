// PNM and PAM output plug-in. The picture chooses the form: a 1-bit picture of black and
// white becomes a bitmap (P4), a grey palette a grey map (P5), other pictures a pixmap (P6),
// and a picture with alpha PAM (P7, RGB_ALPHA; GRAYSCALE_ALPHA for deep grey with alpha),
// since only PAM holds alpha. Deep samples are stored with the maxval of their own depth
// (1023 for 10 bits, 65535 for 16), two bytes a sample. The "format" setting writes the plain
// (ASCII) forms P1 to P3 instead; PAM has no plain form and stays binary. The "pam" setting,
// or an output name ending in ".pam", writes PAM for every picture (BLACKANDWHITE, GRAYSCALE,
// RGB and their _ALPHA forms). Other names do not change what is written: the picture does.
// Several frames are written one after another, as netpbm reads pages.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/metadata.h"
#include "faltrix/kit/options.h"
#include "pnm_format.h"

namespace faltrix::pnm {
namespace {

constexpr char kTitle[] = "PNM settings";

// Binary by default: a quarter of the size of the plain form, and read by every reader.
kit::Options options(
    {{"format", "Format", kit::Setting::Kind::Choice, 0, 0, {"Binary", "ASCII"}, 0},
     {"pam", "Always PAM", kit::Setting::Kind::Flag, 0, 1, {}, 0}});
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

// What one picture is written as: samples are 0 .. maxval, channels a pixel; for bitmaps
// 0 is black and 1 white, turned to the bitmap's own sense when written.
struct Form {
    int kind = 6;  // 1 .. 7
    int channels = 3;
    uint32_t maxval = 255;
};

constexpr const char *kTupleTypes[][5] = {
    {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"},
    {"", "BLACKANDWHITE", "BLACKANDWHITE_ALPHA", "", ""},
};

bool KeepsMetadata(std::string_view key, size_t) { return key == FALTRIX_METADATA_TRANSPARENCY; }

kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyPalette(layout.palette) ? kit::StoredColour::kGrey
                                                                      : kit::StoredColour::kColour;
}

// The form for `channels` samples of maxval, from the settings and the output's name.
Form Choose(int channels, uint32_t maxval, bool pam) {
    const bool plain = options.Get("format") == 1;
    Form form{0, channels, maxval};
    if (pam || channels == 2 || channels == 4) form.kind = 7;
    else if (maxval == 1) form.kind = plain ? 1 : 4;
    else form.kind = (channels == 1 ? 2 : 3) + (plain ? 0 : 3);
    return form;
}

std::string Header(const Form &f, int32_t width, int32_t height) {
    char text[160];
    if (f.kind == 1 || f.kind == 4)
        std::snprintf(text, sizeof text, "P%d\n%d %d\n", f.kind, width, height);
    else if (f.kind != 7)
        std::snprintf(text, sizeof text, "P%d\n%d %d\n%u\n", f.kind, width, height, f.maxval);
    else
        std::snprintf(text, sizeof text,
                      "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %u\nTUPLTYPE %s\nENDHDR\n", width,
                      height, f.channels, f.maxval, kTupleTypes[f.maxval == 1][f.channels]);
    return text;
}

// One row of samples in the form's encoding, appended to out.
void EncodeRow(const Form &f, const uint16_t *s, int32_t width, std::string &out) {
    const size_t n = size_t(width) * size_t(f.channels);
    if (f.kind == 4) {
        const size_t at = out.size();
        out.resize(at + (size_t(width) + 7) / 8, '\0');
        for (size_t x = 0; x < n; ++x)
            if (s[x] == 0) out[at + x / 8] = char(out[at + x / 8] | (0x80 >> (x % 8)));
    } else if (f.kind <= 3) {  // plain: lines of at most 70 characters
        size_t line = 0;
        for (size_t i = 0; i < n; ++i) {
            const std::string v = std::to_string(f.kind == 1 ? 1 - s[i] : s[i]);
            if (line > 0 && line + v.size() + 1 > 70) {
                out += '\n';
                line = 0;
            } else if (line > 0 && f.kind != 1) {
                out += ' ';
                ++line;
            }
            out += v;
            line += v.size();
        }
        out += '\n';
    } else if (f.maxval > 255) {
        for (size_t i = 0; i < n; ++i) {
            out += char(s[i] >> 8);
            out += char(s[i] & 0xFF);
        }
    } else {
        for (size_t i = 0; i < n; ++i) out += char(s[i]);
    }
}

// Writes header and rows; row(y, samples) gives row y as the form's samples.
template <class RowFn>
bool WritePicture(kit::OutputFile &out, const Form &f, int32_t width, int32_t height, RowFn row,
                  ProgressCallbackFn progress, int32_t data) {
    std::string bytes = Header(f, width, height);
    std::vector<uint16_t> samples(size_t(width) * size_t(f.channels));
    for (int32_t y = 0; y < height; ++y) {
        row(y, samples.data());
        EncodeRow(f, samples.data(), width, bytes);
        if (bytes.size() >= (1u << 16) || y + 1 == height) {
            if (!out.Write(bytes.data(), bytes.size())) return false;
            bytes.clear();
        }
        kit::ReportProgress(progress, y + 1, height, data);
    }
    return true;
}

// A 1-bit picture whose two entries are black and white.
bool IsBlackAndWhite(const kit::SourcePicture &src) {
    if (src.bitCount() != 1) return false;
    for (const RGBQUAD &q : src.palette()) {
        const bool black = q.rgbRed == 0 && q.rgbGreen == 0 && q.rgbBlue == 0;
        const bool white = q.rgbRed == 255 && q.rgbGreen == 255 && q.rgbBlue == 255;
        if (!black && !white) return false;
    }
    return true;
}

bool AddPicture(kit::OutputFile &out, HDC dc, bool pam, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    const bool grey = src.bitCount() <= 8 && src.IsGreyPalette();
    const bool alpha = src.HasAlpha();
    const Form f = Choose(alpha ? 4 : grey ? 1 : 3, IsBlackAndWhite(src) ? 1 : 255, pam);
    std::vector<uint8_t> bytes(4 * size_t(src.width()));
    auto row = [&](int32_t y, uint16_t *s) {
        const int32_t w = src.width();
        if (f.channels == 1) {
            src.RowToIndices(y, bytes.data());
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t level = src.palette()[bytes[size_t(x)]].rgbRed;
                s[x] = f.maxval == 1 ? level >= 128 : level;
            }
            return;
        }
        src.RowToBGRA(y, bytes.data());
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t *p = &bytes[4 * size_t(x)];
            uint16_t *d = s + size_t(x) * size_t(f.channels);
            d[0] = p[2];
            d[1] = p[1];
            d[2] = p[0];
            if (f.channels == 4) d[3] = p[3];
        }
    };
    return WritePicture(out, f, src.width(), src.height(), row, progress, data);
}

bool AddSamplePicture(kit::OutputFile &out, const kit::SampleView &s, int bits, bool pam,
                      ProgressCallbackFn progress, int32_t data) {
    const Form f = Choose(s.channels, (1u << bits) - 1, pam);
    auto row = [&](int32_t y, uint16_t *d) {
        const uint16_t *in = s.Row(y);
        for (size_t i = 0; i < size_t(s.width) * size_t(s.channels); ++i)
            d[i] = uint16_t(kit::NarrowSample(in[i], bits));
    };
    return WritePicture(out, f, s.width, s.height, row, progress, data);
}

// PAM when the setting says so or the output's name ends in ".pam".
bool WantsPam(const std::string &name) {
    const std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : "";
    return options.Get("pam") != 0 ||
           (tail.size() == 4 && tail[0] == '.' && std::tolower(tail[1]) == 'p' &&
            std::tolower(tail[2]) == 'a' && std::tolower(tail[3]) == 'm');
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string name;
    if (!kit::PathToBytes(path, &name)) return false;
    kit::OutputFile out(name);
    return out.ok() && AddPicture(out, dc, WantsPam(name), progress, data) && out.Close();
}

// Frames one after another, each a picture of its own.
class PageWriter final : public kit::FrameWriter {
public:
    PageWriter(const std::string &name, const kit::Sequence &sequence)
        : out_(name),
          pam_(WantsPam(name)),
          bits_(sequence.sampleBits),
          pages_(sequence.frameCount) {}
    bool ok() const { return out_.ok(); }
    bool Add(HDC dc, int32_t, ProgressCallbackFn progress, int32_t data) override {
        if (added_ >= pages_) return kit::Fail("PNM: more pages than announced");
        ++added_;
        return AddPicture(out_, dc, pam_, progress, data);
    }
    bool AddSamples(const kit::SampleView &samples, int32_t, ProgressCallbackFn progress,
                    int32_t data) override {
        if (bits_ < 9 || bits_ > 16) return kit::Fail("PNM: the pages begun take 8-bit pictures");
        if (added_ >= pages_) return kit::Fail("PNM: more pages than announced");
        ++added_;
        return AddSamplePicture(out_, samples, bits_, pam_, progress, data);
    }
    bool Finish() override {
        if (added_ != pages_) return kit::Fail("PNM: fewer pages than announced");
        return out_.Close();
    }

private:
    kit::OutputFile out_;
    bool pam_;
    int bits_;
    int32_t pages_, added_ = 0;
};

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    auto writer = kit::MakeWriter<PageWriter>(path, sequence);
    if (!writer || !writer->ok()) return nullptr;
    return writer;
}

}  // namespace
}  // namespace faltrix::pnm

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::pnm)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::pnm)
FALTRIX_KIT_DEEP_OUTPUT()
FALTRIX_KIT_SETTINGS(faltrix::pnm, faltrix::pnm::kTitle)
