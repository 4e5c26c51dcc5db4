// The program's only window: built from one of the two layouts, initialised with both
// plug-in lists, and answering every command by control ID and notification.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QImage>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "faltrix/app/dialog_builder.h"
#include "faltrix/app/qt_front_end.h"
#include "faltrix/feedback.h"
#include "faltrix/plugin_list.h"
#include "faltrix/resources/layouts.h"

class QTimer;
class QUrl;

namespace faltrix {

class DialogState;
class UserSettings;
struct DialogSettings;
struct RunningPlugin;

// Notification codes of the commands: which event of a control a command reports.
enum Notification : int {
    kNotifyClicked = 0,        // a button
    kNotifySelChange = 1,      // a plug-in list: the user chose an entry
    kNotifyKillFocus = 0x200,  // an edit lost the keyboard focus
    kNotifyChange = 0x300,     // an edit's text was changed by the user
};

// The title, also the name by which a running instance is known.
inline constexpr char16_t kDialogTitle[] = u"Faltrix v1.01";
// Longest text a path field holds, in UTF-16 units: a 1024-unit buffer less its terminator.
inline constexpr int kPathFieldLength = 1023;

// The preview box: paints itself from the preview surface, or white while there is none.
class PreviewBox final : public QFrame {
public:
    explicit PreviewBox(QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage lastFrame_;  // the surface as last read, shown while a job holds the surface
};

class MainDialog final : public QDialog {
    Q_OBJECT
public:
    // Builds layout 102 or 103, installs the dialog's front end and runs the initialisation
    // (lists, unit lists, preview surface). An empty plug-in folder shows its message and
    // posts a close request. When the run before did not end cleanly (crashed or killed), the
    // fields, check boxes and plug-in choices it left in the state file (dialog_state.h) are
    // put back, and for a plug-in that was running then the user is asked whether to leave it
    // unselected. Before that, what the settings kept (user_settings.h) is put back.
    explicit MainDialog(int layoutId, QWidget *parent = nullptr);
    ~MainDialog() override;

    int LayoutId() const { return layout_->id; }
    QWidget *Control(int id) const { return controls_.Find(id); }
    const ControlMap &Controls() const { return controls_; }
    HWND Handle() { return reinterpret_cast<HWND>(static_cast<QWidget *>(this)); }
    QtFrontEnd &FrontEnd() { return *frontEnd_; }
    int32_t CurrentInputIndex() const { return currentInputIndex_; }
    int32_t CurrentOutputIndex() const { return currentOutputIndex_; }
    // True between an Exit request during a job and the dialog's end.
    bool ClosePending() const { return closePending_; }

    // Runs the command of control `id` for the event `notification`; events a control's
    // command does not answer are ignored.
    void Command(int id, int notification);

    // Brings the dialog to the front (a second start asked for it).
    void BringToFront();
    // Takes `path` as the input file as Choose input takes a chosen one (a dropped file, the
    // program's argument, a second start's file); nothing while a job runs.
    void OpenInput(const QString &path);
    // Escape and close requests: the Exit command.
    void reject() override;

    // Enables or disables a control for a job. The keyboard focus stays with the control the
    // user gave it to: disabling a focused control leaves the dialog without a focus widget
    // (Qt would hand it to the next control, and a later click would count as leaving the
    // input field), and enabling it again gives it back unless the user has put the focus
    // elsewhere meanwhile.
    void EnableForJob(QWidget *control, bool enable);

signals:
    void FirstShown();

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    // A drop on the input or output path field: one local file, taken as if chosen; anything
    // else is refused with a status line.
    void DropOnPathField(PluginKind kind, const QList<QUrl> &urls);

private:
    void Initialise();
    int32_t FillPluginList(PluginKind kind);
    // Read-only fields and the status box out of the Tab order, the rest in the order of
    // their positions on screen.
    void OrderTabStops();
    void ConnectControls();

    // The state file.
    void RememberSettings();
    void RestoreAfterUncleanEnd();
    // Puts back what the settings kept from the run before: check boxes, output sizes, plug-ins.
    void RestoreKeptSettings();
    void PutBackFieldsAndChecks(const DialogSettings &settings);
    void OfferToLeaveOut(const RunningPlugin &running);
    // The entry of the plug-in at `path` in its list, or -1.
    int32_t EntryOf(PluginKind kind, const QString &path) const;
    // Makes entry `index` of a list the current plug-in.
    void SelectEntry(PluginKind kind, int32_t index);
    // currentInputIndex_ or currentOutputIndex_.
    int32_t &CurrentIndex(PluginKind kind) {
        return kind == PluginKind::Input ? currentInputIndex_ : currentOutputIndex_;
    }
    // False for a Detail button whose plug-in has no settings dialog (or is not loaded);
    // true for every other control.
    bool DetailAvailable(const QWidget *control) const;
    // Enables the list's Detail button when its plug-in has a settings dialog; otherwise
    // disables it, with a tooltip saying why.
    void ShowDetailAvailability(PluginKind kind);

    // Commands.
    void StartConversionCommand();
    void Exit();
    void ShowPreview();
    void InputDetail();
    void OutputDetail();
    void ChooseInput();
    void ChooseOutput();
    void SwitchPlugin(int listId);
    void LeaveInputField();
    void KeepAspect(int editedId);

    // Plug-in matching. When the current input plug-in answers no to IsSupported for `path`
    // and another answers yes, that one becomes current; the line saying so (or that none
    // reads the file) is returned, empty when the current plug-in did not say no.
    QString MatchInputPlugin(const QString &path);
    // The output plug-in whose patterns alone name the extension of `path`, or -1.
    int32_t OutputPluginForName(const QString &path) const;
    // Makes the output plug-in for the output field's name current, saying so; while a job
    // runs, once it has ended.
    void FollowOutputName();
    // Shows a line below the status box's text; kept below the running job's lines until it ends.
    void NoteUntilJobEnds(const QString &line);

    // Adds a line of rich text (links) below the status box's text.
    void AppendStatusLink(const QString &html);
    // Fills an empty output field with the input's name, the output plug-in's first
    // extension and the input's folder (another name when that would be the input itself).
    void SuggestOutputName(const QString &inputPath);
    // Helpers of the commands.
    // Code's questions and checks; each false when Code must stop (commands.cpp).
    bool ConfirmOutputPlugin(const QString &completed);
    bool ConfirmReplace(const QString &completed);
    bool OutputSizeAccepted(uint32_t width, uint32_t height);
    void StartPreview(const QString &inputPath, const ControlSet &controls);
    // Empties the preview box (no job may be running).
    void ClearPreview();
    // True while a job runs: a Code during a preview is then kept for the preview's end.
    bool CodeWaitsForPreview();
    // The picture's size as the current input plug-in gives it; nothing when it gives none,
    // and then in `cause`, when asked, why: the system's words for a file that cannot be
    // opened, the plug-in's own, or empty when neither says.
    std::optional<PictureInfo> PictureSize(const QString &path, QString *cause = nullptr);
    void WriteAllSizes(const PictureInfo &info);
    void EmptyAllSizes();
    std::optional<uint32_t> ReadNumber(int id) const;
    void WriteNumber(int id, uint64_t value);
    QString FieldText(int id) const;
    void SetFieldText(int id, const QString &text);
    bool Checked(int id) const;
    // A message box; `informative`, when given, goes below the text.
    int Message(const QString &text, const QString &caption, int style,
                const QString &informative = {});
    // An error message box: caption "ERROR", stop icon, OK.
    void ShowError(std::u16string_view text);
    // Runs the input or output chooser; a path longer than a path field holds is refused with
    // a message and counts as no choice.
    std::optional<QString> ChoosePath(PluginKind kind);
    void ControlSetOf(ControlSet *set);
    // Runs on the job-end timer: a close or a Code waiting for the running job.
    void AfterJobEnd();
    // The sizes were refreshed for this input path (empty: for none).
    bool SizesBelongTo(const QString &inputPath) const {
        return sizesFor_ && *sizesFor_ == inputPath;
    }

    const LayoutSpec *layout_;
    ControlMap controls_;
    std::unique_ptr<QtFrontEnd> frontEnd_;
    FeedbackFrontEnd *previousFrontEnd_ = nullptr;
    int32_t currentInputIndex_ = -1;
    int32_t currentOutputIndex_ = -1;
    bool closePending_ = false;
    // A Code that came while a preview ran; it runs when the preview ends.
    bool codePending_ = false;
    // An output name left while a job ran; it is matched to a plug-in when the job ends.
    bool followPending_ = false;
    // Whether the job started last is a preview (a Code during a conversion is not kept).
    bool previewStarted_ = false;
    // The output path of the conversion under way, for the line after its end.
    QString writing_;
    bool shownOnce_ = false;
    QTimer *jobEndTimer_ = nullptr;
    // The input path the size fields were last refreshed for; nothing before the first
    // refresh and after the input plug-in changed.
    std::optional<QString> sizesFor_;
    // Each output plug-in's file name extensions from its patterns ("*.png" gives "png"),
    // lower case, by list entry.
    QList<QStringList> outputExtensions_;
    // The control whose focus a job's disabling took, and whether a job is moving the focus now.
    QPointer<QWidget> heldFocus_;
    bool jobMovesFocus_ = false;
    std::unique_ptr<DialogState> state_;
    std::unique_ptr<UserSettings> settings_;
};

// True when the file can be opened for reading (a folder does not count).
bool FileExists(const QString &path);

// The number an unsigned size field holds: decimal digits, optionally surrounded by spaces,
// not above 4294967295; nothing for an empty field or any other text.
std::optional<uint32_t> ParseUnsigned(const QString &text);

// The output path a conversion writes to: an output starting with '/' as typed; otherwise the
// input path up to and including its last '/', followed by the output as typed; an input
// path without '/' leaves the output as typed.
QString CompleteOutputPath(const QString &inputPath, const QString &outputPath);

}  // namespace faltrix
