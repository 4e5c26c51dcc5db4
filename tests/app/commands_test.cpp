// The commands of the dialog, driven through its controls with scripted answers to its
// questions: validation order, completion of the output path, the overwrite question, keep
// aspect, leaving the input field, switching plug-ins, the file choosers, no second job,
// closing during a job, and a whole conversion with the bundled BMP codec.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFocusEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>

#include <sys/stat.h>

#include "faltrix/app/file_chooser.h"
#include "faltrix/conversion_job.h"
#include "faltrix/preview.h"
#include "faltrix/plugin_list.h"
#include "test_support.h"

namespace faltrix {
namespace {

using test::FieldText;
using test::SetField;

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        test::App();
        folders_.AddDialogPlugin(true, QStringLiteral("a.so"), QStringLiteral("in_one"));
        folders_.AddDialogPlugin(true, QStringLiteral("b.so"), QStringLiteral("in_two"));
        folders_.AddDialogPlugin(true, QStringLiteral("c.so"), QStringLiteral("in_none"));
        folders_.AddDialogPlugin(false, QStringLiteral("a.so"), QStringLiteral("out_one"));
        folders_.AddDialogPlugin(false, QStringLiteral("b.so"), QStringLiteral("out_two"));
        dialog_ = std::make_unique<MainDialog>(103);
        dialog_->FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
        picture_ = Path(QStringLiteral("pictures/a.dp"));
        QDir().mkpath(Path(QStringLiteral("pictures")));
        test::WriteTextPicture(picture_, 640, 480);
        test::ClearPluginLog();
    }
    void TearDown() override {
        ASSERT_TRUE(test::WaitUntil([] { return !JobRunning(); }));
        dialog_.reset();
    }

    QString Path(const QString &name) const { return pictures_.filePath(name); }
    void Press(int id) { qobject_cast<QPushButton *>(dialog_->Control(id))->click(); }
    void WaitForJob() { ASSERT_TRUE(test::WaitUntil([] { return !JobRunning(); })); }
    void LeaveInputField(Qt::FocusReason reason = Qt::TabFocusReason) {
        QFocusEvent focusOut(QEvent::FocusOut, reason);
        QApplication::sendEvent(dialog_->Control(kInputPathField), &focusOut);
    }
    void Choose(int listId, int index) {
        auto *combo = qobject_cast<QComboBox *>(dialog_->Control(listId));
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
    QStringList Messages() const {
        QStringList texts;
        for (const auto &shown : answers_.messages) texts << shown.text;
        return texts;
    }

    QTemporaryDir pictures_;
    test::PluginFolders folders_;
    test::ScriptedInteraction answers_;
    std::unique_ptr<MainDialog> dialog_;
    QString picture_;
};

// ---- Code: the checks in their order --------------------------------------------------

TEST_F(Commands, EmptyOutputNameStopsFirstWithFocusOnTheOutputField) {
    SetField(*dialog_, kInputPathField, QStringLiteral("/no/such/file.dp"));
    Press(kCodeButton);
    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Enter output file name.")});
    EXPECT_EQ(answers_.messages[0].caption, QStringLiteral("ERROR"));
    EXPECT_EQ(answers_.messages[0].style, kMbOk | kMbIconHand);
    EXPECT_EQ(dialog_->focusWidget(), dialog_->Control(kOutputPathField));
    EXPECT_FALSE(JobRunning());
}

TEST_F(Commands, MissingInputFileStopsWithFocusOnTheInputField) {
    SetField(*dialog_, kInputPathField, Path(QStringLiteral("missing.dp")));
    SetField(*dialog_, kOutputPathField, QStringLiteral("b.dp"));
    SetField(*dialog_, kInputWidthField, QStringLiteral("9"));
    Press(kCodeButton);
    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Input file does not exist.")});
    EXPECT_EQ(dialog_->focusWidget(), dialog_->Control(kInputPathField));
    // The information failed, so the input size fields were emptied first.
    EXPECT_EQ(FieldText(*dialog_, kInputWidthField), QString());
    // The output name is not completed before this check.
    EXPECT_EQ(FieldText(*dialog_, kOutputPathField), QStringLiteral("b.dp"));
}

TEST_F(Commands, AFolderIsNoInputFile) {
    SetField(*dialog_, kInputPathField, Path(QStringLiteral("pictures")));
    SetField(*dialog_, kOutputPathField, QStringLiteral("b.dp"));
    Press(kCodeButton);
    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Input file does not exist.")});
}

TEST_F(Commands, UnreadablePictureEndsWithIllegalNumberAfterCompletingTheName) {
    const QString unreadable = Path(QStringLiteral("pictures/text.dp"));
    QFile file(unreadable);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    SetField(*dialog_, kInputPathField, unreadable);
    SetField(*dialog_, kOutputPathField, QStringLiteral("out.dp"));
    Press(kCodeButton);
    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Illegal number in edit box.")});
    EXPECT_EQ(FieldText(*dialog_, kOutputPathField), Path(QStringLiteral("pictures/out.dp")));
    EXPECT_FALSE(QFile::exists(Path(QStringLiteral("pictures/out.dp"))));
}

TEST_F(Commands, IllegalHeightIsCheckedAfterTheWidth) {
    // An unreadable picture leaves the output sizes as typed.
    const QString unreadable = Path(QStringLiteral("pictures/text.dp"));
    QFile file(unreadable);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a picture");
    file.close();
    SetField(*dialog_, kInputPathField, unreadable);
    SetField(*dialog_, kOutputPathField, QStringLiteral("out.dp"));
    SetField(*dialog_, kOutputWidthField, QStringLiteral("12"));
    SetField(*dialog_, kOutputHeightField, QStringLiteral("99999999999"));
    Press(kCodeButton);
    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Illegal number in edit box.")});
    EXPECT_FALSE(JobRunning());
    EXPECT_FALSE(QFile::exists(Path(QStringLiteral("pictures/out.dp"))));
}

TEST_F(Commands, OutputSizesThatAreNoNumbersTakeThePictureSize) {
    SetField(*dialog_, kInputPathField, picture_);
    SetField(*dialog_, kOutputPathField, QStringLiteral("out.dp"));
    SetField(*dialog_, kOutputWidthField, QStringLiteral("12"));
    SetField(*dialog_, kOutputHeightField, QStringLiteral("99999999999"));
    Press(kCodeButton);
    EXPECT_EQ(FieldText(*dialog_, kOutputWidthField), QStringLiteral("12"));
    EXPECT_EQ(FieldText(*dialog_, kOutputHeightField), QStringLiteral("480"));
    WaitForJob();
    EXPECT_TRUE(Messages().isEmpty());
}

TEST_F(Commands, EmptyOutputSizesTakeThePictureSizeAndConvert) {
    SetField(*dialog_, kInputPathField, picture_);
    SetField(*dialog_, kOutputPathField, QStringLiteral("out.dp"));
    Press(kCodeButton);
    EXPECT_EQ(FieldText(*dialog_, kOutputWidthField), QStringLiteral("640"));
    EXPECT_EQ(FieldText(*dialog_, kOutputHeightField), QStringLiteral("480"));
    WaitForJob();
    QFile out(Path(QStringLiteral("pictures/out.dp")));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(out.readAll(), QByteArray("640 480 24\n"));
    EXPECT_TRUE(Messages().isEmpty());
}

// ---- Completion of the output name and the overwrite question --------------------------

TEST_F(Commands, BareOutputNameIsCompletedBeforeTheOverwriteQuestion) {
    QDir().mkpath(Path(QStringLiteral("Docs")));
    const QString input = Path(QStringLiteral("Docs/a.jpg"));
    test::WriteTextPicture(input, 8, 8);
    test::WriteTextPicture(Path(QStringLiteral("Docs/b.bmp")), 1, 1);
    SetField(*dialog_, kInputPathField, input);
    SetField(*dialog_, kOutputPathField, QStringLiteral("b.bmp"));
    QString shownAtQuestion;
    answers_.onMessage = [&](const auto &) { shownAtQuestion = FieldText(*dialog_, kOutputPathField); };
    answers_.messageAnswers = {kIdNo};
    Press(kCodeButton);

    const QString completed = Path(QStringLiteral("Docs/b.bmp"));
    EXPECT_EQ(shownAtQuestion, completed);
    ASSERT_EQ(answers_.messages.size(), 1u);
    EXPECT_EQ(answers_.messages[0].text, QStringLiteral("This file already exists.\nAre you sure overwrite this file?"));
    EXPECT_EQ(answers_.messages[0].caption, completed);
    EXPECT_EQ(answers_.messages[0].style, kMbYesNo | kMbIconQuestion);
    // No starts nothing; the field keeps the completed path.
    EXPECT_FALSE(JobRunning());
    EXPECT_EQ(FieldText(*dialog_, kOutputPathField), completed);
}

TEST_F(Commands, OutputPathFromTheRootIsUsedAsTyped) {
    const QString typed = Path(QStringLiteral("b.dp"));  // absolute
    SetField(*dialog_, kInputPathField, picture_);
    SetField(*dialog_, kOutputPathField, typed);
    Press(kCodeButton);
    WaitForJob();
    EXPECT_EQ(FieldText(*dialog_, kOutputPathField), typed);
    EXPECT_TRUE(QFile::exists(typed));
}

TEST_F(Commands, InputWithoutFolderLeavesABareOutputName) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Path(QStringLiteral("pictures"))));
    SetField(*dialog_, kInputPathField, QStringLiteral("a.dp"));
    SetField(*dialog_, kOutputPathField, QStringLiteral("bare.dp"));
    Press(kCodeButton);
    WaitForJob();
    EXPECT_EQ(FieldText(*dialog_, kOutputPathField), QStringLiteral("bare.dp"));
    EXPECT_TRUE(QFile::exists(Path(QStringLiteral("pictures/bare.dp"))));
    QDir::setCurrent(previous);
}

TEST_F(Commands, CompletedPathLongerThanTheFieldIsRefused) {
    // An input deep enough that its folder and the name pass 1023 characters.
    QString folder = Path(QString());
    while (folder.size() < 900) folder += QLatin1Char('/') + QString(100, QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString input = folder + QStringLiteral("/a.dp");
    test::WriteTextPicture(input, 4, 4);
    SetField(*dialog_, kInputPathField, input);
    const QString name = QString(200, QLatin1Char('n'));
    SetField(*dialog_, kOutputPathField, name);
    Press(kCodeButton);
    ASSERT_EQ(answers_.messages.size(), 1u);
    EXPECT_EQ(answers_.messages[0].caption, QStringLiteral("ERROR"));
    EXPECT_TRUE(answers_.messages[0].text.contains(QStringLiteral("1023")));
    EXPECT_EQ(FieldText(*dialog_, kOutputPathField), name);
    EXPECT_FALSE(JobRunning());
}

struct OverwriteCase {
    const char *name;
    int answer;
    bool overwritten;
};

void PrintTo(const OverwriteCase &c, std::ostream *os) { *os << c.name; }

class Overwrite : public Commands, public ::testing::WithParamInterface<OverwriteCase> {
};

TEST_P(Overwrite, OnlyYesReplacesTheFile) {
    const QString existing = Path(QStringLiteral("pictures/old.dp"));
    {
        QFile file(existing);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("old contents");
    }
    SetField(*dialog_, kInputPathField, picture_);
    SetField(*dialog_, kOutputPathField, QStringLiteral("old.dp"));
    answers_.messageAnswers = {GetParam().answer};
    Press(kCodeButton);
    WaitForJob();
    QFile file(existing);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), GetParam().overwritten ? QByteArray("640 480 24\n") : QByteArray("old contents"));
}

INSTANTIATE_TEST_SUITE_P(Answers, Overwrite,
                         ::testing::Values(OverwriteCase{"Yes", kIdYes, true}, OverwriteCase{"No", kIdNo, false},
                                           OverwriteCase{"Cancel", kIdCancel, false}, OverwriteCase{"Ok", kIdOk, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Size fields ------------------------------------------------------------------------

TEST_F(Commands, KeepAspectFollowsTheUsersEditsOnly) {
    SetField(*dialog_, kInputPathField, picture_);
    LeaveInputField();
    test::SetChecked(*dialog_, kKeepAspectCheck, true);
    test::TypeInto(*dialog_, kOutputWidthField, QStringLiteral("320"));
    EXPECT_EQ(FieldText(*dialog_, kOutputHeightField), QStringLiteral("240"));
    test::TypeInto(*dialog_, kOutputHeightField, QStringLiteral("100"));
    EXPECT_EQ(FieldText(*dialog_, kOutputWidthField), QStringLiteral("133"));
    // Had the write of 133 set the rule off again, the height would now be 99.
    EXPECT_EQ(FieldText(*dialog_, kOutputHeightField), QStringLiteral("100"));
}

TEST_F(Commands, KeepAspectOffChangesNothingElse) {
    SetField(*dialog_, kInputPathField, picture_);
    LeaveInputField();
    test::TypeInto(*dialog_, kOutputWidthField, QStringLiteral("320"));
    EXPECT_EQ(FieldText(*dialog_, kOutputHeightField), QStringLiteral("480"));
}

TEST_F(Commands, KeepAspectDoesNotOverflow) {
    test::WriteTextPicture(picture_, 1, 2147483647);
    SetField(*dialog_, kInputPathField, picture_);
    LeaveInputField();
    test::SetChecked(*dialog_, kKeepAspectCheck, true);
    test::TypeInto(*dialog_, kOutputWidthField, QStringLiteral("3"));
    // 2147483647 x 3 does not fit 32 bits; the original wrapped to a wrong number.
    EXPECT_EQ(FieldText(*dialog_, kOutputHeightField), QString());
    test::TypeInto(*dialog_, kOutputHeightField, QStringLiteral("2147483647"));
    EXPECT_EQ(FieldText(*dialog_, kOutputWidthField), QStringLiteral("1"));
}

TEST_F(Commands, LeavingTheInputFieldRefreshesOrEmptiesAllFourSizes) {
    SetField(*dialog_, kOutputWidthField, QStringLiteral("5"));
    SetField(*dialog_, kInputPathField, picture_);
    // A window coming on top is no move of the focus within the dialog.
    LeaveInputField(Qt::ActiveWindowFocusReason);
    EXPECT_EQ(FieldText(*dialog_, kOutputWidthField), QStringLiteral("5"));
    LeaveInputField();
    for (int id : {kInputWidthField, kOutputWidthField}) EXPECT_EQ(FieldText(*dialog_, id), QStringLiteral("640"));
    for (int id : {kInputHeightField, kOutputHeightField}) EXPECT_EQ(FieldText(*dialog_, id), QStringLiteral("480"));
    SetField(*dialog_, kInputPathField, Path(QStringLiteral("missing.dp")));
    LeaveInputField();
    for (int id : {kInputWidthField, kOutputWidthField, kInputHeightField, kOutputHeightField}) {
        EXPECT_EQ(FieldText(*dialog_, id), QString()) << id;
    }
}

TEST_F(Commands, PictureOfSizeZeroIsNoInformation) {
    test::WriteTextPicture(picture_, 0, 480);
    SetField(*dialog_, kInputPathField, picture_);
    LeaveInputField();
    EXPECT_EQ(FieldText(*dialog_, kInputWidthField), QString());
    EXPECT_EQ(FieldText(*dialog_, kInputHeightField), QString());
}

// ---- Plug-in lists and file choosers ----------------------------------------------------

TEST_F(Commands, ChoosingTheCurrentEntryReloadsNothing) {
    Choose(kInputPluginList, 0);
    Choose(kOutputPluginList, 0);
    EXPECT_TRUE(test::PluginLog().isEmpty()) << test::PluginLog().join(QLatin1Char('|')).toStdString();
    Choose(kInputPluginList, 1);
    EXPECT_EQ(test::PluginLog(), QStringList{QStringLiteral("Input two load")});
    EXPECT_EQ(dialog_->CurrentInputIndex(), 1);
    EXPECT_EQ(InputPlugins().Current(), 1);
}

struct FilterCase {
    const char *name;
    int inputEntry;
    QStringList filters;
};

void PrintTo(const FilterCase &c, std::ostream *os) { *os << c.name; }

class ChooserFilters : public Commands, public ::testing::WithParamInterface<FilterCase> {
};

TEST_P(ChooserFilters, ComeFromTheCurrentPlugin) {
    Choose(kInputPluginList, GetParam().inputEntry);
    Press(kInputChooserButton);
    ASSERT_EQ(answers_.chooserRequests.size(), 1u);
    const FileChooserRequest &request = answers_.chooserRequests[0];
    EXPECT_EQ(request.title, QStringLiteral("Open InputFile"));
    EXPECT_TRUE(request.existingOnly);
    EXPECT_EQ(request.filters, GetParam().filters);
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, ChooserFilters,
    ::testing::Values(
        FilterCase{"OnePair", 0, {QStringLiteral("Dialog pictures (*.dp *.dpic)"), QStringLiteral("All Files(*.*)")}},
        // The second pattern has no description: the pattern stands in for it.
        FilterCase{"TwoPairsAfterSwitching", 1,
                   {QStringLiteral("Dialog pictures (*.dp *.dpic)"), QStringLiteral("*.two (*.two)"),
                    QStringLiteral("All Files(*.*)")}},
        FilterCase{"NoPair", 2, {QStringLiteral("All Files(*.*)")}}),
    [](const auto &info) { return std::string(info.param.name); });

#ifdef HOST_FAKE_PLUGIN_DIR
// A plug-in that answers every number with more text than the buffer holds: the filter
// keeps to its 2048 units by leaving the pairs out, and the list of numbers ends.
TEST(ChooserFilter, OverlongPluginTextsAreLeftOutRatherThanOverrun) {
    test::App();
    test::PluginFolders folders;
    QFile::link(QStringLiteral(HOST_FAKE_PLUGIN_DIR "/fake_plugin_overlong_info.so"),
                folders.Root() + QStringLiteral("/input/a.so"));
    ASSERT_EQ(InputPlugins().ScanPlugins(), 1);
    ASSERT_EQ(InputPlugins().SelectPlugin(0), 1);
    const FileChooserRequest request = BuildChooserRequest(InputPlugins(), true);
    EXPECT_EQ(request.filters, QStringList{QStringLiteral("All Files(*.*)")});
}
#endif

TEST_F(Commands, OutputChooserOffersNewNamesAndFillsOnlyTheOutputField) {
    const QString chosen = Path(QStringLiteral("new.dp"));
    answers_.chooserAnswers = {chosen};
    Press(kOutputChooserButton);
    ASSERT_EQ(answers_.chooserRequests.size(), 1u);
    EXPECT_EQ(answers_.chooserRequests[0].title, QStringLiteral("Open OutputFile"));
    EXPECT_FALSE(answers_.chooserRequests[0].existingOnly);
    EXPECT_EQ(FieldText(*dialog_, kOutputPathField), chosen);
    EXPECT_EQ(FieldText(*dialog_, kInputWidthField), QString());
}

TEST_F(Commands, RealChooserIsQtsOwnWithTheFirstFilterAndNoName) {
    FileChooserRequest request = BuildChooserRequest(InputPlugins(), true);
    const auto chooser = MakeFileDialog(dialog_.get(), request);
    EXPECT_EQ(chooser->windowTitle(), QStringLiteral("Open InputFile"));
    EXPECT_TRUE(chooser->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(chooser->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(chooser->nameFilters(), request.filters);
    EXPECT_EQ(chooser->selectedNameFilter(), request.filters.front());
    const auto output = MakeFileDialog(dialog_.get(), BuildChooserRequest(OutputPlugins(), false));
    EXPECT_EQ(output->fileMode(), QFileDialog::AnyFile);
    EXPECT_EQ(output->acceptMode(), QFileDialog::AcceptOpen);
}

TEST_F(Commands, ChooseInputFillsTheSizesOrReportsTheFailure) {
    answers_.chooserAnswers = {picture_};
    Press(kInputChooserButton);
    EXPECT_EQ(FieldText(*dialog_, kInputPathField), picture_);
    EXPECT_EQ(FieldText(*dialog_, kOutputWidthField), QStringLiteral("640"));
    EXPECT_EQ(FieldText(*dialog_, kInputHeightField), QStringLiteral("480"));
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Ready."));

    const QString text = Path(QStringLiteral("text.dp"));
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
    file.close();
    answers_.chooserAnswers = {text};
    Press(kInputChooserButton);
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Failed in Getting information."));

    // Cancelling changes nothing.
    Press(kInputChooserButton);
    EXPECT_EQ(FieldText(*dialog_, kInputPathField), text);
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Failed in Getting information."));
}

TEST_F(Commands, InputDetailRefreshesTheSizesWhenThePluginConfirms) {
    SetField(*dialog_, kInputPathField, picture_);
    Press(kInputDetailButton);
    EXPECT_TRUE(test::PluginLog().contains(QStringLiteral("Input one ConfigurationDlg")));
    EXPECT_EQ(FieldText(*dialog_, kOutputWidthField), QStringLiteral("640"));
    Press(kOutputDetailButton);
    EXPECT_TRUE(test::PluginLog().contains(QStringLiteral("Output one ConfigurationDlg")));
}

TEST_F(Commands, ShowPreviewWithoutInputSaysSo) {
    Press(kShowPreviewButton);
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Illegal input file name."));
    EXPECT_FALSE(JobRunning());
}

// ---- Preview ----------------------------------------------------------------------------

constexpr uint32_t kPictureColour = 0xC04020;  // what the dialog test plug-in paints
constexpr uint32_t kWhite = 0xFFFFFF;

uint32_t SurfacePixel(int x, int y) {
    DIBSECTION section{};
    if (GetObjectW(ThePreviewSurface.bitmap, sizeof section, &section) != static_cast<int>(sizeof section)) return 1;
    const auto *row = reinterpret_cast<const uint32_t *>(static_cast<const uint8_t *>(section.dsBm.bmBits) +
                                                         static_cast<size_t>(y) * section.dsBm.bmWidthBytes);
    return row[x] & 0xFFFFFF;
}

uint32_t BoxPixel(MainDialog &dialog, int x, int y) {
    return dialog.Control(kPreviewBox)->grab().toImage().pixel(x, y) & 0xFFFFFF;
}

TEST_F(Commands, PreviewIsDrawnCentredAndTheBoxPaintsIt) {
    test::WriteTextPicture(picture_, 20, 10);
    SetField(*dialog_, kInputPathField, picture_);
    Press(kShowPreviewButton);
    WaitForJob();
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Ready."));
    const int x = ThePreviewSurface.width / 2 - 10;
    const int y = ThePreviewSurface.height / 2 - 5;
    EXPECT_EQ(SurfacePixel(x, y), kPictureColour);
    EXPECT_EQ(SurfacePixel(x + 19, y + 9), kPictureColour);
    EXPECT_EQ(SurfacePixel(x - 1, y), kWhite);
    EXPECT_EQ(SurfacePixel(x + 20, y + 9), kWhite);
    EXPECT_EQ(SurfacePixel(x, y + 10), kWhite);
    EXPECT_EQ(BoxPixel(*dialog_, x + 10, y + 5), kPictureColour);
    EXPECT_EQ(BoxPixel(*dialog_, x - 3, y + 5), kWhite);

    // A new input picture without automatic preview clears the surface, and the box shows it.
    answers_.chooserAnswers = {picture_};
    Press(kInputChooserButton);
    EXPECT_EQ(SurfacePixel(x, y), kWhite);
    EXPECT_EQ(BoxPixel(*dialog_, x + 10, y + 5), kWhite);
}

TEST_F(Commands, WideInputPictureWithAutomaticPreviewIsFittedToTheWidth) {
    test::WriteTextPicture(picture_, 4000, 100);
    test::SetChecked(*dialog_, kAutoPreviewCheck, true);
    answers_.chooserAnswers = {picture_};
    Press(kInputChooserButton);
    WaitForJob();
    const int width = ThePreviewSurface.width;
    const int height = ThePreviewSurface.height;
    // Drawn across the whole width, a thin band in the middle.
    EXPECT_EQ(SurfacePixel(0, height / 2), kPictureColour);
    EXPECT_EQ(SurfacePixel(width - 1, height / 2), kPictureColour);
    EXPECT_EQ(SurfacePixel(width / 2, 0), kWhite);
    EXPECT_EQ(SurfacePixel(width / 2, height - 1), kWhite);
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Ready."));
}

TEST_F(Commands, BoxIsWhiteWithoutASurface) {
    DestroyPreviewSurface();
    EXPECT_EQ(BoxPixel(*dialog_, 10, 10), kWhite);
}

// ---- Jobs -------------------------------------------------------------------------------

TEST_F(Commands, NoSecondJobWhileOneRuns) {
    const QString hold = picture_ + QStringLiteral(".hold");
    test::WriteTextPicture(hold, 0, 0);
    SetField(*dialog_, kInputPathField, picture_);
    SetField(*dialog_, kOutputPathField, QStringLiteral("out.dp"));
    test::SetChecked(*dialog_, kAutoPreviewCheck, true);
    Press(kCodeButton);
    ASSERT_TRUE(JobRunning());
    // The controls were disabled before the job's thread started.
    EXPECT_FALSE(dialog_->Control(kCodeButton)->isEnabled());
    EXPECT_FALSE(dialog_->Control(kInputPluginList)->isEnabled());

    // Neither leaving the input field with automatic preview on nor a late command starts
    // another job.
    LeaveInputField();
    dialog_->Command(kShowPreviewButton, kNotifyClicked);
    dialog_->Command(kCodeButton, kNotifyClicked);
    QFile::remove(hold);
    WaitForJob();
    EXPECT_EQ(test::PluginLog().count(QStringLiteral("Input one GetPictureDIB")), 1);
    EXPECT_EQ(test::StatusText(*dialog_), QStringLiteral("Ready."));
    EXPECT_TRUE(dialog_->Control(kCodeButton)->isEnabled());
}

TEST_F(Commands, CloseDuringAJobWaitsForItsEnd) {
    const QString hold = picture_ + QStringLiteral(".hold");
    test::WriteTextPicture(hold, 0, 0);
    dialog_->show();
    SetField(*dialog_, kInputPathField, picture_);
    SetField(*dialog_, kOutputPathField, QStringLiteral("out.dp"));
    Press(kCodeButton);
    ASSERT_TRUE(JobRunning());
    dialog_->close();
    test::WaitUntil([] { return false; }, 50);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_TRUE(dialog_->ClosePending());
    EXPECT_NE(ThePreviewSurface.dc, nullptr);

    QFile::remove(hold);
    ASSERT_TRUE(test::WaitUntil([&] { return !dialog_->isVisible(); }));
    EXPECT_EQ(dialog_->result(), 0);
    EXPECT_TRUE(QFile::exists(Path(QStringLiteral("pictures/out.dp"))));
}

// ---- A whole conversion with the bundled codec ------------------------------------------

// A BMP file of the given size in one colour: 24 bits, or 8 bits with a grey palette.
void WriteBmp(const QString &path, int width, int height, int bits = 24) {
    const int stride = (width * (bits / 8) + 3) & ~3;
    const int paletteBytes = bits == 8 ? 1024 : 0;
    const int offset = 54 + paletteBytes;
    QByteArray data;
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) data.append(static_cast<char>(v >> (8 * i))); };
    auto put16 = [&](uint16_t v) { data.append(static_cast<char>(v)); data.append(static_cast<char>(v >> 8)); };
    data.append("BM");
    put32(offset + stride * height);
    put32(0);
    put32(offset);
    put32(40);
    put32(width);
    put32(height);
    put16(1);
    put16(static_cast<uint16_t>(bits));
    put32(0);
    put32(stride * height);
    put32(2835);
    put32(2835);
    put32(bits == 8 ? 256 : 0);
    put32(0);
    for (int i = 0; i < paletteBytes / 4; ++i) put32(0x010101u * static_cast<uint32_t>(i));
    for (int y = 0; y < height; ++y) {
        QByteArray row;
        for (int x = 0; x < width; ++x) {
            if (bits == 8) row.append('\x60');
            else row.append("\x30\x80\xd0", 3);
        }
        row.append(QByteArray(stride - width * (bits / 8), '\0'));
        data.append(row);
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(data);
}

struct AntiAliasCase {
    const char *name;
    int bits;
    QStringList lines;
};

void PrintTo(const AntiAliasCase &c, std::ostream *os) { *os << c.name; }

class PreviewAntiAlias : public ::testing::TestWithParam<AntiAliasCase> {};

// A picture larger than the box, previewed with anti-alias: 24 bits are resampled, 8 bits
// fall back to the stretching blit without a line of their own.
TEST_P(PreviewAntiAlias, StatusLinesOfEachPath) {
    test::App();
    if (!QFile::exists(QStringLiteral(FALTRIX_PLUGIN_DIR "/input/bmp.so"))) GTEST_SKIP() << "no BMP plug-in";
    test::PluginFolders folders;
    folders.AddCodec(true, QStringLiteral("bmp.so"), QStringLiteral("bmp"));
    folders.AddDialogPlugin(false, QStringLiteral("a.so"), QStringLiteral("out_one"));
    test::ScriptedInteraction answers;
    QTemporaryDir work;
    const QString picture = work.filePath(QStringLiteral("big.bmp"));
    WriteBmp(picture, 1200, 900, GetParam().bits);
    MainDialog dialog(103);
    dialog.FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
    QStringList lines;
    auto *status = qobject_cast<QTextEdit *>(dialog.Control(kStatusBox));
    QObject::connect(status, &QTextEdit::textChanged, [&] { lines << status->toPlainText(); });
    SetField(dialog, kInputPathField, picture);
    test::SetChecked(dialog, kAntiAliasCheck, true);
    qobject_cast<QPushButton *>(dialog.Control(kShowPreviewButton))->click();
    ASSERT_TRUE(test::WaitUntil([] { return !JobRunning(); }));
    EXPECT_EQ(lines, GetParam().lines);
    // The fitted picture is in the box: the picture's colour in the middle (area averaging
    // may come out one level low).
    const QColor expected = GetParam().bits == 8 ? QColor(0x60, 0x60, 0x60) : QColor(0xd0, 0x80, 0x30);
    const QColor shown = dialog.Control(kPreviewBox)->grab().toImage().pixelColor(ThePreviewSurface.width / 2,
                                                                                 ThePreviewSurface.height / 2);
    EXPECT_LE(std::abs(shown.red() - expected.red()), 1);
    EXPECT_LE(std::abs(shown.green() - expected.green()), 1);
    EXPECT_LE(std::abs(shown.blue() - expected.blue()), 1);
}

const QStringList kDecodeLines = {QStringLiteral("Now Getting infomation..."), QStringLiteral("Getting infomation Done."),
                                  QStringLiteral("Now Decoding input data..."),
                                  QStringLiteral("Decoding input data Done.")};

INSTANTIATE_TEST_SUITE_P(
    Depths, PreviewAntiAlias,
    ::testing::Values(AntiAliasCase{"TrueColour", 24,
                                    kDecodeLines + QStringList{QStringLiteral("Now anti-alias Resizing..."),
                                                               QStringLiteral("anti-alias Resizing Done."),
                                                               QStringLiteral("Ready.")}},
                      AntiAliasCase{"Palette", 8,
                                    kDecodeLines + QStringList{QStringLiteral("Now anti-alias Resizing..."),
                                                               QStringLiteral("Ready.")}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(EndToEnd, ChooseTypeTickCodeAndFindTheResizedPicture) {
    test::App();
    if (!QFile::exists(QStringLiteral(FALTRIX_PLUGIN_DIR "/input/bmp.so")) ||
        !QFile::exists(QStringLiteral(FALTRIX_PLUGIN_DIR "/output/bmp.so"))) {
        GTEST_SKIP() << "the BMP plug-ins are not built";
    }
    test::PluginFolders folders;
    folders.AddCodec(true, QStringLiteral("bmp.so"), QStringLiteral("bmp"));
    folders.AddCodec(false, QStringLiteral("bmp.so"), QStringLiteral("bmp"));
    test::ScriptedInteraction answers;
    QTemporaryDir work;
    // The bundled sample chart (24 bits, 160 x 120) when it is there, else one made here.
    const QString sample = work.filePath(QStringLiteral("sample.bmp"));
    const QString chart = qEnvironmentVariable("FALTRIX_SOURCE_DIR") + QStringLiteral("/samples/chart.bmp");
    if (!QFile::copy(chart, sample)) WriteBmp(sample, 160, 120);

    MainDialog dialog(102);
    dialog.FrontEnd().SetStatusPause(std::chrono::milliseconds(0));
    dialog.show();
    answers.chooserAnswers = {sample};
    qobject_cast<QPushButton *>(dialog.Control(kInputChooserButton))->click();
    ASSERT_EQ(FieldText(dialog, kInputWidthField), QStringLiteral("160"));
    ASSERT_EQ(FieldText(dialog, kInputHeightField), QStringLiteral("120"));
    test::SetChecked(dialog, kKeepAspectCheck, true);
    test::TypeInto(dialog, kOutputWidthField, QStringLiteral("80"));
    EXPECT_EQ(FieldText(dialog, kOutputHeightField), QStringLiteral("60"));
    test::SetChecked(dialog, kAntiAliasCheck, true);
    SetField(dialog, kOutputPathField, QStringLiteral("small.bmp"));
    qobject_cast<QPushButton *>(dialog.Control(kCodeButton))->click();
    ASSERT_TRUE(test::WaitUntil([] { return !JobRunning(); }));
    test::WaitUntil([] { return false; }, 20);

    QFile out(work.filePath(QStringLiteral("small.bmp")));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    const QByteArray header = out.read(26);
    ASSERT_EQ(header.size(), 26);
    auto read32 = [&](int at) {
        return static_cast<int32_t>(static_cast<uint8_t>(header[at]) | static_cast<uint8_t>(header[at + 1]) << 8 |
                                    static_cast<uint8_t>(header[at + 2]) << 16 |
                                    static_cast<uint32_t>(static_cast<uint8_t>(header[at + 3])) << 24);
    };
    EXPECT_EQ(read32(18), 80);
    EXPECT_EQ(std::abs(read32(22)), 60);
    EXPECT_EQ(test::StatusText(dialog), QStringLiteral("Ready."));
    EXPECT_EQ(qobject_cast<QProgressBar *>(dialog.Control(kProgressBar))->value(), 0);
    for (int id : {kCodeButton, kExitButton, kShowPreviewButton, kInputPluginList, kInputDetailButton,
                   kOutputPluginList, kOutputDetailButton, kInputChooserButton, kOutputChooserButton}) {
        EXPECT_TRUE(dialog.Control(id)->isEnabled()) << id;
    }
    EXPECT_TRUE(answers.messages.empty());
}

// ---- Helpers ----------------------------------------------------------------------------

TEST(SizeFields, ReadAsUnsignedDecimalNumbers) {
    EXPECT_EQ(ParseUnsigned(QStringLiteral("640")), 640u);
    EXPECT_EQ(ParseUnsigned(QStringLiteral(" 42 ")), 42u);
    EXPECT_EQ(ParseUnsigned(QStringLiteral("0")), 0u);
    EXPECT_EQ(ParseUnsigned(QStringLiteral("4294967295")), 4294967295u);
    for (const char *bad : {"", "  ", "4294967296", "12a", "-1", "+1", "1 2"}) {
        EXPECT_EQ(ParseUnsigned(QString::fromLatin1(bad)), std::nullopt) << bad;
    }
}

TEST(SizeFields, AspectArithmeticHasNoOverflowOrDivisionByZero) {
    EXPECT_EQ(AspectSize(320, 640, 480), 240u);
    EXPECT_EQ(AspectSize(100, 480, 640), 133u);
    EXPECT_EQ(AspectSize(5, 0, 480), std::nullopt);
    EXPECT_EQ(AspectSize(4294967295u, 1, 2), std::nullopt);
    EXPECT_EQ(AspectSize(4294967295u, 4294967295u, 7), 7u);
}

TEST(OutputPath, CompletionWithTheInputFolder) {
    EXPECT_EQ(CompleteOutputPath(QStringLiteral("/Docs/a.jpg"), QStringLiteral("b.bmp")), QStringLiteral("/Docs/b.bmp"));
    EXPECT_EQ(CompleteOutputPath(QStringLiteral("/Docs/a.jpg"), QStringLiteral("/Temp/b.bmp")),
              QStringLiteral("/Temp/b.bmp"));
    EXPECT_EQ(CompleteOutputPath(QStringLiteral("a.jpg"), QStringLiteral("b.bmp")), QStringLiteral("b.bmp"));
    EXPECT_EQ(CompleteOutputPath(QStringLiteral("/a.jpg"), QStringLiteral("b")), QStringLiteral("/b"));
    EXPECT_EQ(CompleteOutputPath(QStringLiteral("/Docs/a.jpg"), QStringLiteral("x/b.bmp")),
              QStringLiteral("/Docs/x/b.bmp"));
}

TEST(OutputPath, FileExistsOnlyForReadableFiles) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    test::WriteTextPicture(file, 1, 1);
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FileExists(dir.filePath(QStringLiteral("missing"))));
    EXPECT_FALSE(FileExists(dir.path()));
    EXPECT_FALSE(FileExists(QString()));
    // A named pipe with no writer must not hang the dialog.
    const QString fifo = dir.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(FileExists(fifo));
}

}  // namespace
}  // namespace faltrix
