// The converter's pure pieces: the keep-aspect arithmetic, where a batch's files go, and the
// progress line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "faltrix/cli/keep_aspect.h"

#ifdef FALTRIX_CLI_FULL
#include "faltrix/cli/batch.h"
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

// A folder as output: each input's name with the --format extension, or its own; a second
// input for the same output is refused instead of overwriting the first.
TEST(PlanTasks, FolderOutputNamesAndClashes) {
    ConvertOptions options;
    options.inputs = {"a/one.jpg", "b/two.tar.png", "three", "c/one.png"};
    options.output = "/out";
    auto plan = [&options] {
        QStringList outputs;
        for (const PlannedTask &p : PlanTasks(options, true))
            outputs << (p.clash.isEmpty() ? p.task.output : "clashes with " + p.clash);
        return outputs;
    };
    EXPECT_EQ(plan(), QStringList({"/out/one.jpg", "/out/two.tar.png", "/out/three", "/out/one.png"}));
    options.format = "webp";
    EXPECT_EQ(plan(), QStringList({"/out/one.webp", "/out/two.tar.webp", "/out/three.webp", "clashes with a/one.jpg"}));
}

TEST(ProgressLine, NeverWiderThanTheTerminal) {
    const QString name(200, u'n');
    for (int columns : {20, 40, 80, 300})
        EXPECT_LT(ProgressLine(name, 45, "Now Decoding input data...", columns).size(), columns);
    EXPECT_TRUE(ProgressLine("a.png", 250, {}, 80).contains("100%"));
}

// A batch's worker reads back every option its parent hands it, and an input that looks like
// an option as a file.
TEST(WorkerProtocol, WorkerArgumentsCarryEveryOption) {
    ConvertOptions options;
    options.width = 10;
    options.height = 2147483647;
    options.antiAlias = options.overwrite = true;
    options.format = "pic";
    options.inputPlugin = "BMP";
    options.outputPlugin = "png";
    const ParsedCommandLine parsed =
        ParseCommandLine(QStringList{"faltrix-convert"} + WorkerArguments(options, {"-x.bmp", "/out/-x.pic"}));
    ASSERT_EQ(parsed.action, ParsedCommandLine::Run) << parsed.text.toStdString();
    const ConvertOptions &o = parsed.options;
    EXPECT_TRUE(o.worker && o.workerParent > 0 && o.antiAlias && o.overwrite);
    EXPECT_EQ(std::make_pair(o.width, o.height), std::make_pair(options.width, options.height));
    EXPECT_EQ(QStringList({o.format, o.inputPlugin, o.outputPlugin, o.output}), QStringList({"pic", "BMP", "png", "/out/-x.pic"}));
    EXPECT_EQ(o.inputs, QStringList{"-x.bmp"});
}

TEST(WorkerProtocol, ReadsBackWhatTheWorkerWrites) {
    EXPECT_EQ(ParseWorkerLine("P 45").position, 45u);
    for (const char *bad : {"P x", "", "Q what"}) EXPECT_EQ(ParseWorkerLine(bad).kind, WorkerEvent::Unknown) << bad;
}

// What was written to a temporary stream so far.
std::string Contents(FILE *file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[1024];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
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

// Quiet draws no bar even on a terminal, but a message (a plug-in that no longer loads) is an
// error and is shown.
TEST(TerminalFrontEnd, QuietWritesNothingButMessages) {
    Streams s;
    TerminalFrontEnd front(Verbosity::Quiet, true, s.out, s.err);
    front.BeginFile("a.png");
    front.SetStatusText(u"Ready.");
    front.SetProgressPosition(100);
    EXPECT_EQ(Contents(s.out) + Contents(s.err), "");
    front.ShowMessage(u"Failed in loading library.", u"/p/x.so");
    EXPECT_EQ(Contents(s.err), "faltrix-convert: /p/x.so: Failed in loading library.\n");
}

#endif

}  // namespace
}  // namespace faltrix
