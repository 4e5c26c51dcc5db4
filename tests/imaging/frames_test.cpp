// The conversion job over frames, through the raw test plug-ins with frame calls: every frame
// resized and handed on in order with its delay and the loop count, the frames chosen, an
// output that holds one picture, a later frame that cannot be read, an output that fails part
// way, and a file that claims more frames than the limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"
#include "faltrix/recording_front_end.h"
#include "raw_format.h"

namespace faltrix {
namespace {

using enum ConversionOutcome;
namespace fs = std::filesystem;

// What a raw frames file holds: each frame's size and delay, and the trailer's loop count.
struct Written {
    std::vector<std::array<int32_t, 3>> frames;  // width, height, delay
    int32_t loopCount = -1;
    bool operator==(const Written &) const = default;
};

Written ReadStored(const fs::path &file) {
    Written stored;
    std::vector<long> offsets;
    raw_test::RawTrailer trailer;
    if (!raw_test::ScanRawFrames(file, &offsets, &trailer)) return stored;
    std::ifstream in(file, std::ios::binary);
    for (long at : offsets) {
        raw_test::RawHead head;
        in.seekg(at);
        in.read(reinterpret_cast<char *>(&head), sizeof head);
        stored.frames.push_back(
            {head.dib.biWidth, std::abs(head.dib.biHeight), int32_t(head.dib.biClrImportant)});
    }
    stored.loopCount = trailer.loopCount;
    return stored;
}

struct FramesCase {
    const char *name;
    const char *output;  // the raw output variant
    int frames;          // written to the input
    int cutLastBy;       // bytes cut from the end of the last frame
    int claimed;         // the frame count the input's trailer claims (0: the records)
    ConversionRequest::Frames asked;
    uint32_t toWidth;  // the output's size; the input is 8 x 6
    ConversionOutcome outcome;
    Written stored;  // with output_raw: one record, no trailer
    std::vector<std::u16string> notices = {};
};
void PrintTo(const FramesCase &c, std::ostream *os) { *os << c.name; }
void PrintTo(const Written &w, std::ostream *os) {
    for (const auto &[width, height, delay] : w.frames)
        *os << width << "x" << height << " " << delay << "ms, ";
    *os << "loop " << w.loopCount;
}

class FramesTest : public ::testing::TestWithParam<FramesCase> {
protected:
    void SetUp() override { fs::create_directories(folder_); }
    void TearDown() override { fs::remove_all(folder_); }

    void Use(const std::string &input, const std::string &output) {
        const std::string dir = FALTRIX_IMAGING_PLUGIN_DIR "/";
        InputPlugins().SetFolderOverride(dir + input);
        OutputPlugins().SetFolderOverride(dir + output);
        ASSERT_EQ(InputPlugins().ScanPlugins(), 1);
        ASSERT_EQ(OutputPlugins().ScanPlugins(), 1);
        ASSERT_EQ(InputPlugins().SelectPlugin(0) + OutputPlugins().SelectPlugin(0), 2);
    }

    // frames 24-bit records of 8 x 6, delays 10, 20, 30 ..., loop count 3.
    void WriteInput(int frames, int cutLastBy, int claimed) {
        const fs::path in = folder_ / "in.raw";
        std::string bytes;
        for (int k = 0; k < frames; ++k) {
            const raw_test::Selected picture(raw_test::NoiseSection(8, 6, 24));
            const fs::path one = folder_ / "one.raw";
            ASSERT_TRUE(raw_test::WriteRaw(one, picture.dc, 8, 6));
            std::ifstream read(one, std::ios::binary);
            std::string record((std::istreambuf_iterator<char>(read)), {});
            reinterpret_cast<raw_test::RawHead *>(record.data())->dib.biClrImportant = 10 * (k + 1);
            if (k == frames - 1) record.resize(record.size() - size_t(cutLastBy));
            bytes += record;
        }
        fs::remove(folder_ / "one.raw");
        raw_test::RawTrailer trailer;
        trailer.loopCount = 3;
        trailer.claimedFrames = claimed;
        if (cutLastBy == 0) bytes.append(reinterpret_cast<const char *>(&trailer), sizeof trailer);
        std::ofstream(in, std::ios::binary) << bytes;
        ASSERT_TRUE(SetJobPath(InputPath, in.u16string()));
        ASSERT_TRUE(SetJobPath(OutputPath, (folder_ / "out.raw").u16string()));
    }

    // The recording front end, with the notices too.
    struct Recorder : RecordingFrontEnd {
        void ShowNotice(std::u16string_view text) override { notices.emplace_back(text); }
        std::vector<std::u16string> notices;
    } recorder_;
    ScopedFrontEnd installed_{&recorder_};
    fs::path folder_ = fs::temp_directory_path() / ("faltrix-frames-" + std::to_string(::getpid()));
};

TEST_P(FramesTest, FramesReachTheOutputInOrder) {
    const FramesCase &c = GetParam();
    Use("input_frames", c.output);
    WriteInput(c.frames, c.cutLastBy, c.claimed);
    FillControlSet(nullptr, &TheConversionRequest.controls);
    TheConversionRequest.outputWidth = c.toWidth;
    TheConversionRequest.outputHeight = c.toWidth * 6 / 8;
    TheConversionRequest.frames = c.asked;
    TheConversionRequest.overwrite = true;
    ConversionJob(nullptr);
    EXPECT_EQ(LastConversionOutcome(), c.outcome) << testing::PrintToString(LastConversionCause());
    const fs::path out = folder_ / "out.raw";
    if (c.outcome != Stored) {
        EXPECT_FALSE(fs::exists(out));
        EXPECT_EQ(fs::directory_iterator(folder_)->path().filename(), "in.raw")
            << "no temporary left";
        return;
    }
    EXPECT_EQ(ReadStored(out), c.stored);
    EXPECT_EQ(LastConversionFrames(), int32_t(c.stored.frames.size()));
    // The status lines of a single picture, then the notices; the bar only moves forward.
    const std::vector<std::u16string> lines = recorder_.StatusLines();
    EXPECT_EQ(lines.back(), u"Ready.");
    EXPECT_EQ(recorder_.notices, c.notices);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), u"Now Decoding input data..."), 1);
    // Over several frames the bar runs once from 0 to 100 (then back to 0 for the next job);
    // a second try starts it again.
    const std::vector<uint32_t> bar = recorder_.ProgressPositions();
    if (c.stored.frames.size() > 1 && c.notices.empty())
        EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end() - 1) && bar.end()[-2] == 100)
            << testing::PrintToString(bar);
}

const Written kThree{{{8, 6, 10}, {8, 6, 20}, {8, 6, 30}}, 3};
constexpr ConversionRequest::Frames kAll{};

// A row of the table: clang-format packs the arguments of a call, where it would set each
// member of a braced row on a line of its own.
FramesCase Row(const char *name, const char *output, int frames, int cutLastBy, int claimed,
               ConversionRequest::Frames asked, uint32_t toWidth, ConversionOutcome outcome,
               Written stored = {}, std::vector<std::u16string> notices = {}) {
    return {name, output, frames, cutLastBy, claimed, asked, toWidth, outcome, stored, notices};
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FramesTest,
    ::testing::Values(
        Row("AllFramesWithDelaysAndLoop", "output_frames", 3, 0, 0, kAll, 8, Stored, kThree),
        Row("EveryFrameResizedAlike", "output_frames", 3, 0, 0, kAll, 4, Stored,
            {{{4, 3, 10}, {4, 3, 20}, {4, 3, 30}}, 3}),
        Row("ARangeOfFrames", "output_frames", 3, 0, 0, {2, 3}, 8, Stored,
            {{{8, 6, 20}, {8, 6, 30}}, 3}),
        Row("OneFrameChosenGoesThroughSaveDIBPicture", "output_frames", 3, 0, 0, {2, 2}, 8, Stored,
            {{{8, 6, 0}}, 0}),
        Row("AnOutputOfOnePictureKeepsTheFirst", "output_raw", 3, 0, 0, kAll, 8, Stored,
            {{{8, 6, 0}}, 0}, {u"kept frame 1 of 3"}),
        Row("ALaterFrameCutShortKeepsThoseBefore", "output_frames", 3, 5, 0, kAll, 8, Stored,
            {{{8, 6, 10}, {8, 6, 20}}, 0},
            {u"kept the frames before frame 3 of 3, which cannot be read"}),
        Row("AClaimedCountThatLies", "output_frames", 3, 0, 5, kAll, 8, Stored, kThree,
            {u"kept the frames before frame 4 of 5, which cannot be read"}),
        Row("AnOutputFailingPartWayLeavesNothing", "output_frames_fail2", 3, 0, 0, kAll, 8,
            StoreFailed),
        Row("MoreFramesThanTheLimit", "output_frames", 2, 0, FALTRIX_MAX_FRAMES + 1, kAll, 8,
            InfoFailed),
        Row("AFrameAskedPastTheEnd", "output_frames", 2, 0, 0, {3, 0}, 8, InfoFailed)),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faltrix
