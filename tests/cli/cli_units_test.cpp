// The converter's pure pieces: the keep-aspect arithmetic, where a batch's files go, what a
// worker is handed and reports, and the terminal's progress line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "faltrix/keep_aspect.h"

#ifdef FALTRIX_CLI_FULL
#include "faltrix/cli/batch.h"
#include "faltrix/cli/convert.h"
#include "faltrix/cli/terminal_front_end.h"
#endif

namespace faltrix {
namespace {

TEST(KeepAspect, GivesTheOtherSideWithoutOverflowOrDivisionByZero) {
    const struct {
        int32_t pictureGiven, pictureOther;
        uint32_t given;
        std::optional<uint32_t> expected;
    } cases[] = {
        {640, 480, 320, 240u},
        {480, 640, 100, 133u},                     // 133.3 truncated
        {100000, 100000, 50000, 50000u},           // 100000 * 50000 would wrap 32 bits
        {1, 0x7FFFFFFF, 2, 0xFFFFFFFEu},           // the largest answer that fits
        {1, 0x7FFFFFFF, 3, std::nullopt},          // beyond 32 bits
        {1000, 1, 10, 0u},                         // a narrow picture can give 0
        {0, 480, 320, std::nullopt},               // picture sides that could not be obtained
        {-640, 480, 320, std::nullopt},
        {640, 0, 320, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(KeepAspectSide(c.pictureGiven, c.pictureOther, c.given), c.expected)
            << c.pictureGiven << " x " << c.pictureOther << " to " << c.given;
}

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
    EXPECT_EQ(QStringList({o.format, o.inputPlugin, o.outputPlugin, o.output}),
              QStringList({"pic", "BMP", "png", "/out/-x.pic"}));
    EXPECT_EQ(o.inputs, QStringList{"-x.bmp"});
}

TEST(WorkerProtocol, ReadsBackWhatTheWorkerWrites) {
    EXPECT_EQ(ParseWorkerLine("P 45").position, 45u);
    for (const char *bad : {"P x", "", "Q what"}) EXPECT_EQ(ParseWorkerLine(bad).kind, WorkerEvent::Unknown) << bad;
}

// What a front end with a bar (as on a terminal) writes to standard output and error while
// `use` drives it.
template <typename Use>
std::pair<std::string, std::string> Written(Verbosity verbosity, Use use) {
    char *text[2] = {};
    size_t size[2] = {};
    FILE *out = open_memstream(&text[0], &size[0]), *err = open_memstream(&text[1], &size[1]);
    use(TerminalFrontEnd(verbosity, true, out, err));
    std::fclose(out);
    std::fclose(err);
    std::pair<std::string, std::string> written{std::string(text[0], size[0]), std::string(text[1], size[1])};
    std::free(text[0]);
    std::free(text[1]);
    return written;
}

TEST(TerminalFrontEnd, BarStaysOnOneLineAndIsClearedForTheFinalLine) {
    const auto [out, err] = Written(Verbosity::Normal, [](TerminalFrontEnd &&front) {
        front.BeginFile("a.png");
        front.SetStatusText(u"Now Decoding input data...");
        front.SetProgressPosition(50);
        front.EndFile();
        EXPECT_EQ(front.LastStatus(), "Now Decoding input data...");
    });
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_NE(err.find("a.png [##########..........]  50%  Now Decoding input data..."), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("\r\x1b[K")) << err;
    EXPECT_EQ(out, "");
}

// Quiet draws no bar even on a terminal, but a message (a plug-in that no longer loads) is an
// error and is shown.
TEST(TerminalFrontEnd, QuietWritesNothingButMessages) {
    const auto written = Written(Verbosity::Quiet, [](TerminalFrontEnd &&front) {
        front.BeginFile("a.png");
        front.SetStatusText(u"Ready.");
        front.SetProgressPosition(100);
        front.ShowMessage(u"Failed in loading library.", u"/p/x.so");
    });
    EXPECT_EQ(written.first, "");
    EXPECT_EQ(written.second, "faltrix-convert: /p/x.so: Failed in loading library.\n");
}

#endif

}  // namespace
}  // namespace faltrix
