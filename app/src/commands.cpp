// The commands of the main dialog: what each button, list and field does.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "faltrix/app/dialog_state.h"
#include "faltrix/app/file_chooser.h"
#include "faltrix/app/main_dialog.h"
#include "faltrix/app/user_interaction.h"
#include "faltrix/app/user_settings.h"
#include "faltrix/conversion_job.h"
#include "faltrix/keep_aspect.h"
#include "faltrix/plugin_list.h"
#include "faltrix/preview.h"
#include "faltrix/text_qt.h"

namespace faltrix {
namespace {

const QString kError = QStringLiteral("ERROR");

constexpr char16_t kEnterOutputName[] = u"Enter output file name.";
constexpr char16_t kInputMissing[] = u"Input file does not exist.";
constexpr char16_t kOverwrite[] = u"This file already exists.\rAre you sure overwrite this file?";
constexpr char16_t kIllegalNumber[] = u"Illegal number in edit box.";
constexpr char16_t kCodeWaits[] = u"Code waits for the preview to end.";
const QString kNoReader = QStringLiteral("No input plug-in reads this file.");
constexpr char16_t kPathTooLong[] =
    u"The path is longer than 1023 characters.\r\nChoose a shorter file name or folder.";

std::u16string_view Units(const QString &text) {
    return {reinterpret_cast<const char16_t *>(text.utf16()), static_cast<size_t>(text.size())};
}

}  // namespace

// ---- Helpers usable without a dialog ------------------------------------------------------

bool FileExists(const QString &path) {
    if (path.isEmpty()) return false;
    const QByteArray native = NameBytes(path);
    // Non-blocking, so that a named pipe does not hang the dialog.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status {};
    const bool exists = ::fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode);
    ::close(fd);
    return exists;
}

std::optional<uint32_t> ParseUnsigned(const QString &text) {
    const QString digits = text.trimmed();
    if (digits.isEmpty()) return std::nullopt;
    uint64_t value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c.unicode() - u'0');
        if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

QString CompleteOutputPath(const QString &inputPath, const QString &outputPath) {
    if (outputPath.startsWith(QLatin1Char('/'))) return outputPath;
    const qsizetype lastSlash = inputPath.lastIndexOf(QLatin1Char('/'));
    // An input path without a folder gives nothing to complete with.
    if (lastSlash < 0) return outputPath;
    return inputPath.left(lastSlash + 1) + outputPath;
}

// ---- Field access -----------------------------------------------------------------------

QString MainDialog::FieldText(int id) const {
    if (const auto *field = qobject_cast<const QLineEdit *>(Control(id))) return field->text();
    return {};
}

void MainDialog::SetFieldText(int id, const QString &text) {
    // setText raises no textEdited, so keep aspect does not hear of it.
    if (auto *field = qobject_cast<QLineEdit *>(Control(id))) field->setText(text);
}

std::optional<uint32_t> MainDialog::ReadNumber(int id) const {
    return ParseUnsigned(FieldText(id));
}

void MainDialog::WriteNumber(int id, uint64_t value) { SetFieldText(id, QString::number(value)); }

bool MainDialog::Checked(int id) const {
    const auto *box = qobject_cast<const QCheckBox *>(Control(id));
    return box != nullptr && box->isChecked();
}

int MainDialog::Message(const QString &text, const QString &caption, int style,
                        const QString &informative) {
    return Interaction().MessageBox(this, text, caption, style, informative);
}

void MainDialog::ShowError(std::u16string_view text) {
    Message(DisplayText(text), kError, kMbOk | kMbIconHand);
}

std::optional<QString> MainDialog::ChoosePath(PluginKind kind) {
    // The folder this chooser was last left in, else the one of the field's path.
    QString folder = settings_->Folder(kind);
    const QString field = FieldText(kind == PluginKind::Input ? kInputPathField : kOutputPathField);
    if (folder.isEmpty() && field.contains(QLatin1Char('/')))
        folder = QFileInfo(field).absolutePath();
    std::optional<QString> chosen = ChooseFile(this, kind, folder);
    if (chosen && chosen->size() > kPathFieldLength) {
        ShowError(kPathTooLong);
        return std::nullopt;
    }
    if (chosen) settings_->SetFolder(kind, QFileInfo(*chosen).absolutePath());
    return chosen;
}

void MainDialog::ControlSetOf(ControlSet *set) { FillControlSet(Handle(), set); }

std::optional<PictureInfo> MainDialog::PictureSize(const QString &path, QString *cause) {
    const std::u16string nativePath = path.toStdU16String();
    PictureInfo info{};
    const bool answered = InputPlugins().GetPictureInfo(nativePath.c_str(), 0, 0, &info) == 0;
    // A size of 0 or less is no size at all.
    if (answered && info.width > 0 && info.height > 0) return info;
    if (cause != nullptr) {
        *cause = QString::fromStdU16String(LastPluginFailure());
        if (answered) {
            *cause = QStringLiteral("the input plug-in gives the picture no size (%1 x %2)")
                         .arg(info.width)
                         .arg(info.height);
        } else if (const int fd =
                       ::open(NameBytes(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                   fd < 0) {
            // The system's words come first: no plug-in can read a file nobody can open.
            *cause = QString::fromLocal8Bit(std::strerror(errno));
        } else {
            struct stat status {};
            if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode))
                *cause = QString::fromLocal8Bit(std::strerror(EISDIR));
            ::close(fd);
        }
    }
    return std::nullopt;
}

void MainDialog::WriteAllSizes(const PictureInfo &info) {
    WriteNumber(kInputWidthField, static_cast<uint32_t>(info.width));
    WriteNumber(kOutputWidthField, static_cast<uint32_t>(info.width));
    WriteNumber(kInputHeightField, static_cast<uint32_t>(info.height));
    WriteNumber(kOutputHeightField, static_cast<uint32_t>(info.height));
}

void MainDialog::EmptyAllSizes() {
    for (int id : {kInputWidthField, kOutputWidthField, kInputHeightField, kOutputHeightField})
        SetFieldText(id, {});
}

void MainDialog::ClearPreview() {
    if (ThePreviewSurface.dc == nullptr) return;
    ClearPreviewSurface();
    Control(kPreviewBox)->update();
}

void MainDialog::StartPreview(const QString &inputPath, const ControlSet &controls) {
    // The jobs' buffers and the surface belong to a running job until it ends.
    // A path too long for the job's buffer gets no preview; the conversion command refuses it
    // with a message.
    if (JobRunning() || !SetJobPath(InputPath, Units(inputPath))) return;
    // Set before the start: the controls are disabled before the job's thread runs.
    previewStarted_ = true;
    StartPreviewJob(reinterpret_cast<HWND>(Control(kPreviewBox)), ThePreviewSurface.dc, controls,
                    Checked(kAntiAliasCheck));
}

bool MainDialog::CodeWaitsForPreview() {
    if (!JobRunning()) return false;
    // A Code during a conversion has nothing to wait for: the user sees that job's result.
    if (previewStarted_ && !codePending_) {
        codePending_ = true;
        frontEnd_->SetStatusNote(DisplayText(kCodeWaits));
        jobEndTimer_->start();
    }
    return true;
}

// ---- Plug-in matching ---------------------------------------------------------------------

QString MainDialog::MatchInputPlugin(const QString &path) {
    InputPluginList &plugins = InputPlugins();
    const int32_t current = currentInputIndex_;
    // Another plug-in's answer means nothing while a job calls the current one.
    if (current < 0 || JobRunning() || !FileExists(path)) return {};
    const std::u16string nativePath = path.toStdU16String();
    // Only a plain no counts: a plug-in without IsSupported answers -1.
    if (plugins.IsSupported(nativePath.c_str(), 0, 0) != 0) return {};
    const auto *combo = qobject_cast<QComboBox *>(Control(kInputPluginList));
    for (int32_t i = 0; i < combo->count() && static_cast<uint32_t>(i) < plugins.Count(); ++i) {
        if (i == current) continue;
        plugins.SelectPlugin(static_cast<uint32_t>(i));
        if (plugins.IsSupported(nativePath.c_str(), 0, 0) > 0) {
            SelectEntry(PluginKind::Input, i);
            sizesFor_.reset();
            RememberSettings();
            return QStringLiteral("Input plug-in \"%1\" reads this file.").arg(combo->itemText(i));
        }
    }
    plugins.SelectPlugin(static_cast<uint32_t>(current));
    return kNoReader;
}

int32_t MainDialog::OutputPluginForName(const QString &path) const {
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) return -1;
    const QString extension = name.mid(dot + 1).toLower();
    int32_t found = -1;
    for (int32_t i = 0; i < outputExtensions_.size(); ++i) {
        if (!outputExtensions_[i].contains(extension)) continue;
        if (found >= 0) return -1;  // named by two: the user's choice stands
        found = i;
    }
    return found;
}

void MainDialog::FollowOutputName() {
    if (JobRunning()) {
        // The running job calls the current plug-in: the name is matched once it has ended.
        followPending_ = true;
        jobEndTimer_->start();
        return;
    }
    const int32_t plugin = OutputPluginForName(FieldText(kOutputPathField));
    if (plugin < 0 || plugin == currentOutputIndex_) return;
    SelectEntry(PluginKind::Output, plugin);
    RememberSettings();
    const auto *combo = qobject_cast<QComboBox *>(Control(kOutputPluginList));
    NoteUntilJobEnds(
        QStringLiteral("Output plug-in \"%1\" writes this file.").arg(combo->itemText(plugin)));
}

void MainDialog::NoteUntilJobEnds(const QString &line) {
    if (line.isEmpty()) return;
    frontEnd_->SetStatusNote(line);
    if (JobRunning()) {
        jobEndTimer_->start();
    } else {
        frontEnd_->SetStatusNote({});
    }
}

// ---- Commands ---------------------------------------------------------------------------

// An extension that only another output plug-in's patterns name: the user chose this
// plug-in after typing the name, or the name after choosing it. Yes takes the plug-in the
// name calls for, No keeps the current one; Cancel (or Escape) writes nothing, so that a
// slip of the key never stores one format under another's extension. False on Cancel.
bool MainDialog::ConfirmOutputPlugin(const QString &completed) {
    const int32_t named = OutputPluginForName(completed);
    const auto *outputList = qobject_cast<QComboBox *>(Control(kOutputPluginList));
    if (named >= 0 && named != currentOutputIndex_) {
        const int answer =
            Message(QStringLiteral("The extension of \"%1\" is that of the output plug-in \"%2\", "
                                   "not of \"%3\".\nUse \"%2\"?")
                        .arg(Shown(QFileInfo(completed).fileName()), outputList->itemText(named),
                             outputList->itemText(currentOutputIndex_)),
                    DisplayText(kDialogTitle), kMbYesNoCancel | kMbIconQuestion);
        if (answer != kIdYes && answer != kIdNo) return false;
        if (answer == kIdYes) {
            SelectEntry(PluginKind::Output, named);
            RememberSettings();
        }
    }
    return true;
}

// Asks before an existing file is replaced; true on Yes.
bool MainDialog::ConfirmReplace(const QString &completed) {
    // The caption names the file too, but a window manager may cut it short or not show it.
    const QFileInfo replaced(completed);
    return Message(DisplayText(kOverwrite), Shown(completed), kMbYesNo | kMbIconQuestion,
                   QStringLiteral("%1\nin %2")
                       .arg(Shown(replaced.fileName()), Shown(replaced.path()))) == kIdYes;
}

// A size the job could only fail on is refused here, before any file is opened, with the
// limit named; the job would say no more than "Failed in Resizing.". False when refused.
bool MainDialog::OutputSizeAccepted(uint32_t width, uint32_t height) {
    std::string beyond = OutputSizeBeyondLimits(width, height);
    if (width == 0 || height == 0)
        beyond = std::string(width == 0 ? "0 pixels wide" : "0 pixels high") +
                 ": a picture has at least 1 pixel a side";
    if (!beyond.empty()) {
        Message(QString::fromStdString(beyond), kError, kMbOk | kMbIconHand);
        // The height only when it alone is at fault; too many pixels is the width's.
        const bool widthFits = width != 0 && width <= FALTRIX_MAX_PICTURE_SIDE;
        const bool heightAtFault = widthFits && (height == 0 || height > FALTRIX_MAX_PICTURE_SIDE);
        Control(heightAtFault ? kOutputHeightField : kOutputWidthField)->setFocus();
        return false;
    }
    return true;
}

void MainDialog::StartConversionCommand() {
    if (CodeWaitsForPreview()) return;
    // Sizes refreshed for another picture would store this one distorted: Code first does
    // what leaving the field does, which may start a preview to wait for.
    if (!SizesBelongTo(FieldText(kInputPathField))) {
        LeaveInputField();
        if (CodeWaitsForPreview()) return;
    }
    const QString inputPath = FieldText(kInputPathField);
    const QString outputPath = FieldText(kOutputPathField);

    if (const std::optional<PictureInfo> info = PictureSize(inputPath)) {
        WriteNumber(kInputWidthField, static_cast<uint32_t>(info->width));
        WriteNumber(kInputHeightField, static_cast<uint32_t>(info->height));
        if (!ReadNumber(kOutputWidthField))
            WriteNumber(kOutputWidthField, static_cast<uint32_t>(info->width));
        if (!ReadNumber(kOutputHeightField))
            WriteNumber(kOutputHeightField, static_cast<uint32_t>(info->height));
    } else {
        SetFieldText(kInputWidthField, {});
        SetFieldText(kInputHeightField, {});
    }

    if (outputPath.isEmpty()) {
        ShowError(kEnterOutputName);
        Control(kOutputPathField)->setFocus();
        return;
    }
    if (!FileExists(inputPath)) {
        ShowError(kInputMissing);
        Control(kInputPathField)->setFocus();
        return;
    }
    ControlSet controls;
    ControlSetOf(&controls);

    const QString completed = CompleteOutputPath(inputPath, outputPath);
    if (completed.size() > kPathFieldLength) {
        ShowError(kPathTooLong);
        return;
    }
    SetFieldText(kOutputPathField, completed);

    if (!ConfirmOutputPlugin(completed)) return;
    // Only the user's "Yes" lets the job replace a file; one that appears after this check
    // is kept and the job fails.
    const bool overwrite = FileExists(completed);
    if (overwrite && !ConfirmReplace(completed)) return;
    const std::optional<uint32_t> width = ReadNumber(kOutputWidthField);
    if (!width) {
        ShowError(kIllegalNumber);
        return;
    }
    const std::optional<uint32_t> height = ReadNumber(kOutputHeightField);
    if (!height) {
        ShowError(kIllegalNumber);
        return;
    }
    if (!OutputSizeAccepted(*width, *height)) return;
    // A preview may have started while a message box was open.
    if (JobRunning() || !SetJobPath(InputPath, Units(inputPath)) ||
        !SetJobPath(OutputPath, Units(completed)))
        return;
    previewStarted_ = false;
    if (StartConversionJob(controls, *width, *height, Checked(kAntiAliasCheck), overwrite)) {
        writing_ = completed;
        jobEndTimer_->start();
    }
}

void MainDialog::Exit() {
    if (JobRunning()) {
        // The surface and the plug-ins stay until the job has ended; then the dialog closes.
        closePending_ = true;
        jobEndTimer_->start();
        return;
    }
    closePending_ = false;
    codePending_ = false;
    jobEndTimer_->stop();
    DestroyPreviewSurface();
    // The next start puts back what the settings keep, not the state file's fields.
    state_->EndCleanly();
    done(0);
}

void MainDialog::AfterJobEnd() {
    if (JobRunning()) return;
    jobEndTimer_->stop();
    frontEnd_->SetStatusNote({});
    if (!writing_.isEmpty()) {
        // The job's last line says "Ready." as before it started; this one says what it did.
        if (LastConversionOutcome() == ConversionOutcome::Stored) {
            // By the name's bytes: QFileInfo would look for another file when they are not UTF-8.
            struct stat written {};
            const qint64 size =
                ::stat(NameBytes(writing_).constData(), &written) == 0 ? written.st_size : 0;
            // The name opens the file, the folder's name the folder (a click on the status box).
            const QFileInfo file(writing_);
            const QString folderName =
                file.dir().dirName().isEmpty() ? file.path() : file.dir().dirName();
            const auto link = [](const QString &path, const QString &text) {
                return QStringLiteral("<a href=\"%1\">%2</a>")
                    .arg(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toHtmlEscaped(),
                         Shown(text).toHtmlEscaped());
            };
            const int32_t frames = LastConversionFrames();
            const QString amount = frames > 1
                                       ? QStringLiteral("%1 bytes, %2 frames").arg(size).arg(frames)
                                       : QStringLiteral("%1 bytes").arg(size);
            QString line = QStringLiteral("Wrote %1 (%2) in %3")
                               .arg(link(file.absoluteFilePath(), file.fileName()))
                               .arg(amount)
                               .arg(link(file.absolutePath(), folderName));
            // The fallback's own lines are gone by now; the last line keeps it in view.
            if (LastConversionPointSampled())
                line +=
                    QStringLiteral(", resized by point sampling: anti-alias needs 24-bit colour");
            AppendStatusLink(line + u'.');
        }
        writing_.clear();
    }
    if (followPending_ && !closePending_) {
        followPending_ = false;
        FollowOutputName();
    }
    if (closePending_) {
        Exit();
    } else if (codePending_) {
        codePending_ = false;
        StartConversionCommand();
    }
}

void MainDialog::ShowPreview() {
    if (JobRunning()) return;
    ControlSet controls;
    ControlSetOf(&controls);
    StartPreview(FieldText(kInputPathField), controls);
}

void MainDialog::InputDetail() {
    if (JobRunning()) return;
    if (InputPlugins().ConfigurationDlg(Handle(), 0) != 0) return;
    const QString inputPath = FieldText(kInputPathField);
    const std::optional<PictureInfo> info = PictureSize(inputPath);
    if (!info || inputPath.isEmpty()) return;
    WriteAllSizes(*info);
    sizesFor_ = inputPath;
    if (Checked(kAutoPreviewCheck)) {
        ControlSet controls;
        ControlSetOf(&controls);
        StartPreview(inputPath, controls);
    }
}

void MainDialog::OutputDetail() {
    if (JobRunning()) return;
    OutputPlugins().ConfigurationDlg(Handle(), 0);
}

void MainDialog::AppendStatusLink(const QString &html) {
    auto *status = qobject_cast<QTextEdit *>(Control(kStatusBox));
    if (status == nullptr) return;
    // The next status line rewrites the box as plain text, which drops the links with it.
    QTextCursor end(status->document());
    end.movePosition(QTextCursor::End);
    end.insertBlock(QTextBlockFormat(), QTextCharFormat());
    end.insertHtml(html);
    status->moveCursor(QTextCursor::End);
    status->ensureCursorVisible();
}

void MainDialog::SuggestOutputName(const QString &inputPath) {
    if (!FieldText(kOutputPathField).isEmpty() || currentOutputIndex_ < 0 ||
        currentOutputIndex_ >= outputExtensions_.size() ||
        outputExtensions_[currentOutputIndex_].isEmpty()) {
        return;
    }
    const QFileInfo input(inputPath);
    const QString extension = outputExtensions_[currentOutputIndex_].front();
    QString suggested = input.dir().filePath(input.completeBaseName() + u'.' + extension);
    // Never the input itself: the same extension gets a name of its own.
    if (suggested == inputPath)
        suggested = input.dir().filePath(input.completeBaseName() + QStringLiteral("-converted.") +
                                         extension);
    if (suggested.size() > kPathFieldLength) return;
    SetFieldText(kOutputPathField, suggested);
    RememberSettings();
}

void MainDialog::ChooseInput() {
    if (JobRunning()) return;
    if (const std::optional<QString> chosen = ChoosePath(PluginKind::Input)) OpenInput(*chosen);
}

void MainDialog::OpenInput(const QString &path) {
    if (JobRunning() || path.size() > kPathFieldLength) return;
    ControlSet controls;
    ControlSetOf(&controls);
    SetFieldText(kInputPathField, path);
    SuggestOutputName(path);
    RememberSettings();
    QString matched = MatchInputPlugin(path);
    QString cause;
    const std::optional<PictureInfo> info = PictureSize(path, &cause);
    if (!info) {
        // Sizes and a picture left in place would belong to the file before (or to what this
        // file held before).
        EmptyAllSizes();
        ClearPreview();
        sizesFor_ = path;
        ShowStatus(u"Failed in Getting information.");
        if (cause.isEmpty()) {
            cause =
                matched == kNoReader
                    ? QStringLiteral("not a picture any input plug-in reads")
                    : QStringLiteral("not a picture the input plug-in \"%1\" reads")
                          .arg(qobject_cast<QComboBox *>(Control(kInputPluginList))->currentText());
            // The cause says it already.
            if (matched == kNoReader) matched.clear();
        }
        frontEnd_->AppendStatusLine(cause.toStdU16String());
        NoteUntilJobEnds(matched);
        return;
    }
    WriteAllSizes(*info);
    sizesFor_ = path;
    if (Checked(kAutoPreviewCheck)) {
        StartPreview(path, controls);
    } else {
        ProgressCallback(0, 1, 0);
        ClearPreview();
    }
    ShowStatus(u"Ready.");
    NoteUntilJobEnds(matched);
}

void MainDialog::ChooseOutput() {
    const std::optional<QString> chosen = ChoosePath(PluginKind::Output);
    if (!chosen) return;
    SetFieldText(kOutputPathField, *chosen);
    RememberSettings();
    FollowOutputName();
}

void MainDialog::SwitchPlugin(int listId) {
    auto *combo = qobject_cast<QComboBox *>(Control(listId));
    const PluginKind kind = listId == kInputPluginList ? PluginKind::Input : PluginKind::Output;
    int32_t &current = CurrentIndex(kind);
    const int chosen = combo->currentIndex();
    if (chosen < 0 || chosen == current) return;
    if (JobRunning()) {
        // A running job calls the current plug-in: the choice is undone.
        const QSignalBlocker blocker(combo);
        combo->setCurrentIndex(current);
        return;
    }
    SelectEntry(kind, chosen);
    // Another plug-in may read the same file differently, or at all.
    if (kind == PluginKind::Input) sizesFor_.reset();
    RememberSettings();
}

void MainDialog::LeaveInputField() {
    const QString inputPath = FieldText(kInputPathField);
    // The sizes already belong to this path: they may hold what the user typed since.
    if (SizesBelongTo(inputPath)) return;
    const QString matched = MatchInputPlugin(inputPath);
    sizesFor_ = inputPath;
    const std::optional<PictureInfo> info = PictureSize(inputPath);
    if (!info) {
        EmptyAllSizes();
        NoteUntilJobEnds(matched);
        return;
    }
    WriteAllSizes(*info);
    // While a job runs no preview starts; the sizes are still refreshed.
    if (Checked(kAutoPreviewCheck) && !JobRunning()) {
        ControlSet controls;
        ControlSetOf(&controls);
        StartPreview(inputPath, controls);
    }
    NoteUntilJobEnds(matched);
}

void MainDialog::KeepAspect(int editedId) {
    if (!Checked(kKeepAspectCheck)) return;
    const std::optional<uint32_t> inputWidth = ReadNumber(kInputWidthField);
    const std::optional<uint32_t> inputHeight = ReadNumber(kInputHeightField);
    const std::optional<uint32_t> edited = ReadNumber(editedId);
    if (!inputWidth || !inputHeight || !edited) return;
    const bool widthEdited = editedId == kOutputWidthField;
    const int otherId = widthEdited ? kOutputHeightField : kOutputWidthField;
    // The input size fields hold a picture's size, which is below 2^31; anything else counts as
    // a size that could not be obtained.
    const auto side = [](uint32_t v) {
        return v > uint32_t{INT32_MAX} ? 0 : static_cast<int32_t>(v);
    };
    const std::optional<uint32_t> other =
        widthEdited ? KeepAspectSide(side(*inputWidth), side(*inputHeight), *edited)
                    : KeepAspectSide(side(*inputHeight), side(*inputWidth), *edited);
    // A size that cannot be had leaves the other field empty, so the conversion command stops
    // on it.
    if (other) {
        WriteNumber(otherId, *other);
    } else {
        SetFieldText(otherId, {});
    }
}

}  // namespace faltrix
