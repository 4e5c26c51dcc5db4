// The commands of the dialog, driven through its controls with scripted answers to its
// questions: the conversion command's checks in their order, completion of the output path,
// the overwrite question, the size fields, switching plug-ins, the file choosers, the preview box, no
// second job, closing during a job, and a whole conversion with the bundled BMP codec.
#include <QFileDialog>
#include <QImage>
#include <QProgressBar>

#include <sys/stat.h>

#include "faltrix/app/file_chooser.h"
#include "faltrix/preview.h"
#include "test_support.h"

namespace faltrix {
namespace {

using namespace Qt::StringLiterals;
using test::PluginLog;
using test::WritePicture;

using Commands = test::DialogTest;

// ---- Code -------------------------------------------------------------------------------

struct CodeCase {
    const char *input, *output, *width, *height;  // typed; '%' the work folder
    const char *message;      // the one message, or null: the job ran
    const char *outputAfter;  // the output field afterwards
    int focus;                // the control given the focus, or 0
    const char *written;      // what the job wrote to outputAfter
};

TEST_F(Commands, CodeChecksInOrderStoppingAtTheFirstFailure) {
    const CodeCase cases[] = {
        {"%/missing.dp", "", "", "", "Enter output file name.", "", kOutputPathField, nullptr},
        // The output name is not completed before the input check.
        {"%/missing.dp", "b.dp", "", "", "Input file does not exist.", "b.dp", kInputPathField, nullptr},
        {"%/folder", "b.dp", "", "", "Input file does not exist.", "b.dp", kInputPathField, nullptr},
        // The completed output path is written back before the sizes are read.
        {"%/text.dp", "out.dp", "", "", "Illegal number in edit box.", "%/out.dp", 0, nullptr},
        {"%/text.dp", "out.dp", "12", "99999999999", "Illegal number in edit box.", "%/out.dp", 0, nullptr},
        // Sizes that are no numbers take the picture's.
        {"%/a.dp", "out.dp", "12", "99999999999", nullptr, "%/out.dp", 0, "12 480 24\n"},
        {"%/a.dp", "out.dp", "", "", nullptr, "%/out.dp", 0, "640 480 24\n"},
        {"%/a.dp", "%/folder/b.dp", "", "", nullptr, "%/folder/b.dp", 0, "640 480 24\n"},
        {"%/a.dp", "folder/c.dp", "", "", nullptr, "%/folder/c.dp", 0, "640 480 24\n"},
        // An input without a folder leaves the output name as typed.
        {"a.dp", "bare.dp", "", "", nullptr, "bare.dp", 0, "640 480 24\n"},
    };
    for (const CodeCase &c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        SetField(kInputPathField, Expand(c.input));
        SetField(kOutputPathField, Expand(c.output));
        SetField(kOutputWidthField, QString::fromLatin1(c.width));
        SetField(kOutputHeightField, QString::fromLatin1(c.height));
        SetField(kInputWidthField, u"9"_s);
        Get(kCodeButton)->setFocus();
        answers_.messages.clear();
        Press(kCodeButton);
        WaitForJob();
        EXPECT_EQ(Field(kOutputPathField), Expand(c.outputAfter));
        // The input sizes come from the picture, or are emptied when it gives none.
        EXPECT_EQ(Field(kInputWidthField), c.message != nullptr ? QString() : u"640"_s);
        if (c.message != nullptr) {
            const QString message = test::Shown(u"ERROR"_s, kMbOk | kMbIconHand, QString::fromLatin1(c.message));
            EXPECT_EQ(answers_.messages, QStringList{message});
            EXPECT_FALSE(QFile::exists(Expand(c.outputAfter)));
        } else {
            EXPECT_EQ(answers_.messages, QStringList());
            const QByteArray written = test::ReadFile(Expand(c.outputAfter));
            EXPECT_EQ(written, QByteArray(c.written));
            const QString sizes = Field(kOutputWidthField) + ' ' + Field(kOutputHeightField) + ' ';
            EXPECT_TRUE(written.startsWith(sizes.toLatin1()));
        }
        if (c.focus != 0) {
            EXPECT_EQ(dialog_->focusWidget(), Get(c.focus));
        }
        QFile::remove(Expand(c.outputAfter));
    }
}

TEST_F(Commands, BareOutputNameIsCompletedBeforeTheQuestionAndOnlyYesOverwrites) {
    ASSERT_TRUE(QDir(dir_.path()).mkpath(u"Docs"_s));
    WritePicture(Path("Docs/a.jpg"), 640, 480);
    const QString completed = Path("Docs/b.bmp");
    QString shownAtQuestion;
    answers_.onMessage = [&] { shownAtQuestion = Field(kOutputPathField); };
    for (int answer : {kIdNo, kIdCancel, kIdOk, kIdYes}) {
        SCOPED_TRACE(answer);
        test::WriteFile(completed, "old contents");
        SetField(kInputPathField, Path("Docs/a.jpg"));
        SetField(kOutputPathField, u"b.bmp"_s);
        answers_.messages.clear();
        answers_.answer = answer;
        Press(kCodeButton);
        WaitForJob();
        EXPECT_EQ(shownAtQuestion, completed);
        const QString question = u"This file already exists.\nAre you sure overwrite this file?"_s;
        EXPECT_EQ(answers_.messages, QStringList{test::Shown(completed, kMbYesNo | kMbIconQuestion, question)});
        EXPECT_EQ(Field(kOutputPathField), completed);
        EXPECT_EQ(test::ReadFile(completed), QByteArray(answer == kIdYes ? "640 480 24\n" : "old contents"));
    }
}

TEST_F(Commands, CompletedPathLongerThanTheFieldIsRefused) {
    // An input deep enough that its folder and the name pass 1023 characters.
    QString folder = dir_.path();
    while (folder.size() < 900) folder += QLatin1Char('/') + QString(100, QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(folder));
    WritePicture(folder + u"/a.dp"_s, 4, 4);
    SetField(kInputPathField, folder + u"/a.dp"_s);
    const QString name(200, QLatin1Char('n'));
    SetField(kOutputPathField, name);
    Press(kCodeButton);
    EXPECT_FALSE(JobRunning());
    EXPECT_EQ(answers_.messages, QStringList{test::Shown(u"ERROR"_s, kMbOk | kMbIconHand,
                                                         u"The path is longer than 1023 characters.\n"
                                                         u"Choose a shorter file name or folder."_s)});
    EXPECT_EQ(Field(kOutputPathField), name);
}

TEST(OutputPath, FileExistsDoesNotHangOnAPipe) {
    QTemporaryDir dir;
    // A named pipe with no writer must not hang the dialog.
    const QString fifo = dir.filePath(u"pipe"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(FileExists(fifo));
}

// ---- Size fields ------------------------------------------------------------------------

TEST_F(Commands, KeepAspectFollowsTheUsersOwnEditsWithoutOverflow) {
    SetField(kInputPathField, Path("a.dp"));
    LeaveInputField();
    Type(kOutputWidthField, u"320"_s);
    EXPECT_EQ(Field(kOutputHeightField), u"480"_s);  // the rule is off
    Tick(kKeepAspectCheck);
    Type(kOutputWidthField, u"320"_s);
    EXPECT_EQ(Field(kOutputHeightField), u"240"_s);
    Type(kOutputHeightField, u"100"_s);
    EXPECT_EQ(Field(kOutputWidthField), u"133"_s);
    // Had the write of 133 set the rule off again, the height would now be 99.
    EXPECT_EQ(Field(kOutputHeightField), u"100"_s);

    // 2147483647 x 3 does not fit 32 bits: the other field is emptied, not a wrapped number.
    WritePicture(Path("a.dp"), 1, 2147483647);
    LeaveInputField();
    Type(kOutputWidthField, u"3"_s);
    EXPECT_EQ(Field(kOutputHeightField), QString());
    Type(kOutputHeightField, u"2147483647"_s);
    EXPECT_EQ(Field(kOutputWidthField), u"1"_s);
}

TEST(SizeFields, UnsignedDecimalNumbersAndAspectArithmetic) {
    for (const auto &[text, value] : {std::pair{"640", 640u}, {" 42 ", 42u}, {"0", 0u}, {"4294967295", 4294967295u}}) {
        EXPECT_EQ(ParseUnsigned(QString::fromLatin1(text)), value) << text;
    }
    for (const char *bad : {"", "  ", "4294967296", "12a", "-1", "+1", "1 2"}) {
        EXPECT_EQ(ParseUnsigned(QString::fromLatin1(bad)), std::nullopt) << bad;
    }
}

TEST_F(Commands, LeavingTheInputFieldFillsOrEmptiesTheFourSizes) {
    SetField(kOutputWidthField, u"5"_s);
    SetField(kInputPathField, Path("a.dp"));
    // A window coming on top is no move of the focus within the dialog.
    LeaveInputField(Qt::ActiveWindowFocusReason);
    EXPECT_EQ(Field(kOutputWidthField), u"5"_s);
    // No file, and a picture of size 0, which is no information either.
    WritePicture(Path("zero.dp"), 0, 480);
    for (const char *other : {"missing.dp", "zero.dp"}) {
        SetField(kInputPathField, Path("a.dp"));
        LeaveInputField();
        EXPECT_EQ(Sizes(), u"640 640 480 480"_s);
        SetField(kInputPathField, Path(other));
        LeaveInputField();
        EXPECT_EQ(Sizes(), u"   "_s) << other;
    }
}

// ---- Plug-in lists and file choosers ----------------------------------------------------

TEST_F(Commands, SwitchingReloadsOnlyForAnotherEntryAndDetailAsksTheCurrentPlugin) {
    Choose(kInputPluginList, 0);
    Choose(kOutputPluginList, 0);
    EXPECT_EQ(PluginLog(), QStringList());
    Choose(kInputPluginList, 1);
    EXPECT_EQ(PluginLog(), QStringList{u"Input two load"_s});

    test::ClearPluginLog();
    SetField(kInputPathField, Path("a.dp"));
    Press(kInputDetailButton);
    Press(kOutputDetailButton);
    // Input detail refreshes the sizes once the plug-in's own dialog confirmed.
    EXPECT_EQ(PluginLog(), (QStringList{u"Input two ConfigurationDlg"_s, u"Input two GetPictureInfo"_s,
                                        u"Output two ConfigurationDlg"_s}));
    EXPECT_EQ(Sizes(), u"640 640 480 480"_s);
}

TEST_F(Commands, ChooserFiltersAreBuiltAfreshFromTheCurrentPlugin) {
    const QString pair = u"Dialog pictures (*.dp *.dpic) | "_s, all = u"All Files(*.*)"_s;
    // The second pattern has no description: the pattern stands in for it.
    const QString second = u"*.two (*.two) | "_s;
    const struct {
        int list, entry;
        QString filters;
    } cases[] = {
        {kInputPluginList, 0, pair + all},
        {kInputPluginList, 1, pair + second + all},
        {kInputPluginList, 2, all},
        {kInputPluginList, 0, pair + all},  // nothing left over from the longer lists
        {kOutputPluginList, 0, pair + second + all},
        {kOutputPluginList, 1, pair + all},
    };
    for (const auto &c : cases) {
        Choose(c.list, c.entry);
        const bool input = c.list == kInputPluginList;
        answers_.requests.clear();
        Press(input ? kInputChooserButton : kOutputChooserButton);
        const QString title = input ? u"Open InputFile (existing): "_s : u"Open OutputFile: "_s;
        EXPECT_EQ(answers_.requests, QStringList{title + c.filters}) << c.list << " entry " << c.entry;
    }
    // The output chooser fills the output field only.
    answers_.chosen = {Path("new.dp")};
    Press(kOutputChooserButton);
    EXPECT_EQ(Field(kOutputPathField), Path("new.dp"));
    EXPECT_EQ(Sizes(), u"   "_s);

    // The real chooser: Qt's own, the first filter chosen, existing files only for the input,
    // no overwrite question for the output.
    const FileChooserRequest request = BuildChooserRequest(InputPlugins(), true);
    const auto chooser = MakeFileDialog(dialog_.get(), request);
    EXPECT_EQ(chooser->windowTitle(), u"Open InputFile"_s);
    EXPECT_TRUE(chooser->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(chooser->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(chooser->nameFilters(), request.filters);
    EXPECT_EQ(chooser->selectedNameFilter(), request.filters.front());
    const auto output = MakeFileDialog(dialog_.get(), BuildChooserRequest(OutputPlugins(), false));
    EXPECT_EQ(output->fileMode(), QFileDialog::AnyFile);
    EXPECT_EQ(output->acceptMode(), QFileDialog::AcceptOpen);
}

#ifdef HOST_FAKE_PLUGIN_DIR
// A plug-in that answers every number with more text than the buffer holds: the filter
// keeps to its 2048 units by leaving the pairs out, and the list of numbers ends.
TEST(ChooserFilter, OverlongPluginTextsAreLeftOutRatherThanOverrun) {
    test::App();
    test::PluginFolders folders;
    folders.Add(true, u"a.so"_s, QStringLiteral(HOST_FAKE_PLUGIN_DIR "/fake_plugin_overlong_info.so"));
    ASSERT_EQ(InputPlugins().ScanPlugins(), 1);
    ASSERT_EQ(InputPlugins().SelectPlugin(0), 1);
    EXPECT_EQ(BuildChooserRequest(InputPlugins(), true).filters, QStringList{u"All Files(*.*)"_s});
}
#endif

// ---- Preview ----------------------------------------------------------------------------

constexpr uint32_t kPictureColour = 0xC04020;  // what the dialog test plug-in paints
constexpr uint32_t kWhite = 0xFFFFFF;

// The preview box as painted: the pixel at (dx, dy) from where a centred 20 x 10 picture starts.
uint32_t Shown(QWidget *box, int dx, int dy) {
    const QImage image = box->grab().toImage();
    return image.pixel(image.width() / 2 - 10 + dx, image.height() / 2 - 5 + dy) & 0xFFFFFF;
}

TEST_F(Commands, PreviewIsDrawnIntoTheSurfaceAndTheBoxPaintsIt) {
    QWidget *box = Get(kPreviewBox);
    Press(kShowPreviewButton);
    EXPECT_EQ(Status(), u"Illegal input file name."_s);

    WritePicture(Path("small.dp"), 20, 10);
    SetField(kInputPathField, Path("small.dp"));
    Press(kShowPreviewButton);
    WaitForJob();
    EXPECT_EQ(Status(), u"Ready."_s);
    ASSERT_EQ(QSize(ThePreviewSurface.width, ThePreviewSurface.height), box->size());
    for (const auto &[dx, dy] : {std::pair{0, 0}, {19, 9}}) EXPECT_EQ(Shown(box, dx, dy), kPictureColour);
    for (const auto &[dx, dy] : {std::pair{-1, 0}, {20, 9}, {0, 10}}) EXPECT_EQ(Shown(box, dx, dy), kWhite);

    // A chosen input without automatic preview fills the sizes and clears the surface.
    answers_.chosen = {Path("a.dp")};
    Press(kInputChooserButton);
    EXPECT_EQ(Field(kInputPathField), Path("a.dp"));
    EXPECT_EQ(Sizes(), u"640 640 480 480"_s);
    EXPECT_EQ(Status(), u"Ready."_s);
    EXPECT_EQ(Shown(box, 10, 5), kWhite);
    // With automatic preview it is drawn.
    Tick(kAutoPreviewCheck);
    answers_.chosen = {Path("small.dp")};
    Press(kInputChooserButton);
    WaitForJob();
    EXPECT_EQ(Shown(box, 10, 5), kPictureColour);
    // A file without information is reported; cancelling changes nothing.
    answers_.chosen = {Path("text.dp")};
    Press(kInputChooserButton);
    EXPECT_EQ(Status(), u"Failed in Getting information."_s);
    Press(kInputChooserButton);
    EXPECT_EQ(Field(kInputPathField), Path("text.dp"));
    EXPECT_FALSE(JobRunning());

    DestroyPreviewSurface();
    EXPECT_EQ(Shown(box, 10, 5), kWhite);
}

// ---- Jobs -------------------------------------------------------------------------------

TEST_F(Commands, NoSecondJobWhileOneRunsAndACloseWaitsForItsEnd) {
    WritePicture(Path("a.dp.hold"), 0, 0);
    dialog_->show();
    SetField(kInputPathField, Path("a.dp"));
    SetField(kOutputPathField, u"out.dp"_s);
    Tick(kAutoPreviewCheck);
    Press(kCodeButton);
    ASSERT_TRUE(JobRunning());
    // The controls were disabled before the job's thread started.
    EXPECT_FALSE(Get(kCodeButton)->isEnabled());
    EXPECT_FALSE(Get(kInputPluginList)->isEnabled());
    // Neither leaving the input field with automatic preview on nor a late command starts
    // another job; a close request waits for the job's end, the surface kept.
    LeaveInputField();
    dialog_->Command(kShowPreviewButton, kNotifyClicked);
    dialog_->Command(kCodeButton, kNotifyClicked);
    dialog_->close();
    QTest::qWait(50);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_TRUE(dialog_->ClosePending());
    EXPECT_NE(ThePreviewSurface.dc, nullptr);

    QFile::remove(Path("a.dp.hold"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog_->isVisible(); }, 10000));
    EXPECT_EQ(dialog_->result(), 0);
    EXPECT_EQ(test::ReadFile(Path("out.dp")), QByteArray("640 480 24\n"));
    EXPECT_EQ(PluginLog().count(u"Input one GetPictureDIB"_s), 1);
    EXPECT_EQ(Status(), u"Ready."_s);
    EXPECT_TRUE(Get(kCodeButton)->isEnabled());
}

// ---- A whole conversion with the bundled codec ------------------------------------------

class EndToEnd : public Commands {
protected:
    int Layout() const override { return 102; }
    void LinkPlugins() override {
        folders_.Add(true, u"bmp.so"_s, QStringLiteral(FALTRIX_PLUGIN_DIR "/input/bmp.so"));
        folders_.Add(false, u"bmp.so"_s, QStringLiteral(FALTRIX_PLUGIN_DIR "/output/bmp.so"));
    }
};

TEST_F(EndToEnd, ChooseTypeTickCodeAndFindTheResizedPicture) {
    // The bundled sample chart: 24 bits, 160 x 120.
    QTemporaryDir work;
    const QString sample = work.filePath(u"chart.bmp"_s);
    ASSERT_TRUE(QFile::copy(QStringLiteral(FALTRIX_SAMPLES_DIR "/chart.bmp"), sample));
    dialog_->show();
    answers_.chosen = {sample};
    Press(kInputChooserButton);
    ASSERT_EQ(Sizes(), u"160 160 120 120"_s);
    Tick(kKeepAspectCheck);
    Type(kOutputWidthField, u"80"_s);
    EXPECT_EQ(Field(kOutputHeightField), u"60"_s);
    Tick(kAntiAliasCheck);
    SetField(kOutputPathField, u"small.bmp"_s);
    Press(kCodeButton);
    WaitForJob();
    QTest::qWait(20);

    EXPECT_EQ(QImage(work.filePath(u"small.bmp"_s)).size(), QSize(80, 60));
    EXPECT_EQ(Status(), u"Ready."_s);
    EXPECT_EQ(Get<QProgressBar>(kProgressBar)->value(), 0);
    for (int id : {kCodeButton, kExitButton, kShowPreviewButton, kInputPluginList, kInputDetailButton,
                   kOutputPluginList, kOutputDetailButton, kInputChooserButton, kOutputChooserButton}) {
        EXPECT_TRUE(Get(id)->isEnabled()) << id;
    }
    EXPECT_TRUE(answers_.messages.empty());
}

}  // namespace
}  // namespace faltrix
