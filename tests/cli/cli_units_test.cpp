// The converter's pure pieces: the keep-aspect arithmetic, where a batch's files go, and the
// progress line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "faltrix/cli/keep_aspect.h"

#ifdef FALTRIX_CLI_FULL
#include "faltrix/cli/convert.h"
#include "faltrix/cli/terminal_front_end.h"
#endif

namespace faltrix {
namespace {

struct AspectCase {
    const char *name;
    int32_t pictureGiven;
    int32_t pictureOther;
    uint32_t given;
    std::optional<uint32_t> expected;
};

class KeepAspect : public ::testing::TestWithParam<AspectCase> {};

TEST_P(KeepAspect, GivesTheOtherSide) {
    const AspectCase &c = GetParam();
    EXPECT_EQ(KeepAspectSide(c.pictureGiven, c.pictureOther, c.given), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, KeepAspect,
    ::testing::Values(
        AspectCase{"WidthOf640x480To320", 640, 480, 320, 240u},
        AspectCase{"HeightOf640x480To100TruncatesTo133", 480, 640, 100, 133u},
        AspectCase{"SameSize", 640, 480, 640, 480u},
        // 32-bit arithmetic would wrap: 100000 * 50000 is above 2^32.
        AspectCase{"LargeProductDoesNotWrap", 100000, 100000, 50000, 50000u},
        AspectCase{"LargestAnswerFits", 1, 0x7FFFFFFF, 2, 0xFFFFFFFEu},
        AspectCase{"AnswerBeyond32BitsIsNone", 1, 0x7FFFFFFF, 3, std::nullopt},
        AspectCase{"NarrowPictureCanGiveZero", 1000, 1, 10, 0u},
        AspectCase{"ZeroPictureSideIsUnknown", 0, 480, 320, std::nullopt},
        AspectCase{"NegativePictureSideIsUnknown", -640, 480, 320, std::nullopt},
        AspectCase{"ZeroOtherSideIsUnknown", 640, 0, 320, std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

#ifdef FALTRIX_CLI_FULL

TEST(PlanTasks, FolderOutputTakesTheFormatOrTheInputsOwnExtension) {
    ConvertOptions options;
    options.inputs = {"a/one.jpg", "b/two.tar.png", "three"};
    options.output = "/out";
    std::vector<PlannedTask> planned = PlanTasks(options, true);
    ASSERT_EQ(planned.size(), 3u);
    EXPECT_EQ(planned[0].task.output, "/out/one.jpg");
    EXPECT_EQ(planned[1].task.output, "/out/two.tar.png");
    EXPECT_EQ(planned[2].task.output, "/out/three");

    options.format = "webp";
    planned = PlanTasks(options, true);
    EXPECT_EQ(planned[0].task.output, "/out/one.webp");
    EXPECT_EQ(planned[1].task.output, "/out/two.tar.webp");
    EXPECT_EQ(planned[2].task.output, "/out/three.webp");
}

TEST(PlanTasks, SecondInputForTheSameOutputIsRefusedNotOverwritten) {
    ConvertOptions options;
    options.inputs = {"x/pic.jpg", "y/pic.png", "z/other.gif"};
    options.output = "/out";
    options.format = "bmp";
    const std::vector<PlannedTask> planned = PlanTasks(options, true);
    EXPECT_TRUE(planned[0].clash.isEmpty());
    EXPECT_EQ(planned[1].clash, "x/pic.jpg");
    EXPECT_TRUE(planned[2].clash.isEmpty());
}

TEST(ProgressLine, NeverWiderThanTheTerminal) {
    const QString name(200, u'n');
    for (int columns : {20, 40, 80, 300}) {
        EXPECT_LT(ProgressLine(name, 45, "Now Decoding input data...", columns).size(), columns);
    }
    EXPECT_TRUE(ProgressLine("a.png", 250, {}, 80).contains("100%"));
}

TEST(WorkerProtocol, ReadsBackWhatTheWorkerWrites) {
    EXPECT_EQ(ParseWorkerLine("S Now Decoding input data...").text, "Now Decoding input data...");
    EXPECT_EQ(ParseWorkerLine("P 45").position, 45u);
    EXPECT_EQ(ParseWorkerLine("P x").kind, WorkerEvent::Unknown);
    EXPECT_EQ(ParseWorkerLine("F why").kind, WorkerEvent::Failure);
    EXPECT_EQ(ParseWorkerLine("").kind, WorkerEvent::Unknown);
}

std::string Contents(FILE *file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[1024];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    return text;
}

struct Streams {
    FILE *out = std::tmpfile();
    FILE *err = std::tmpfile();
    ~Streams() {
        std::fclose(out);
        std::fclose(err);
    }
};

TEST(TerminalFrontEnd, BarStaysOnOneLineAndIsClearedForTheFinalLine) {
    Streams s;
    TerminalFrontEnd front(Verbosity::Normal, true, s.out, s.err);
    front.BeginFile("a.png");
    front.SetStatusText(u"Now Decoding input data...");
    front.SetProgressPosition(50);
    front.EndFile();
    const std::string err = Contents(s.err);
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_NE(err.find("a.png [##########..........]  50%  Now Decoding input data..."), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("\r\x1b[K")) << err;
    EXPECT_EQ(Contents(s.out), "");
    EXPECT_EQ(front.LastStatus(), "Now Decoding input data...");
}

TEST(TerminalFrontEnd, VerboseWritesEachStatusLineQuietWritesNone) {
    Streams verbose;
    TerminalFrontEnd talkative(Verbosity::Verbose, false, verbose.out, verbose.err);
    talkative.BeginFile("a.png");
    talkative.SetStatusText(u"Now Getting infomation...");
    talkative.SetProgressPosition(30);
    talkative.SetStatusText(u"Ready.");
    EXPECT_EQ(Contents(verbose.out), "Now Getting infomation...\nReady.\n");
    EXPECT_EQ(Contents(verbose.err), "");

    Streams quiet;
    TerminalFrontEnd silent(Verbosity::Quiet, true, quiet.out, quiet.err);
    silent.BeginFile("a.png");
    silent.SetStatusText(u"Ready.");
    silent.SetProgressPosition(100);
    EXPECT_EQ(Contents(quiet.out) + Contents(quiet.err), "");
    // A message (a plug-in that no longer loads) is an error: shown even when quiet.
    silent.ShowMessage(u"Failed in loading library.", u"/p/x.so");
    EXPECT_EQ(Contents(quiet.err), "faltrix-convert: /p/x.so: Failed in loading library.\n");
}

#endif

}  // namespace
}  // namespace faltrix
