// The main dialog: building, initialisation, the preview box and the dispatch of commands.
#include "faltrix/app/main_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QIcon>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <array>
#include <iterator>
#include <mutex>
#include <vector>

#include "faltrix/app/dialog_state.h"
#include "faltrix/app/user_interaction.h"
#include "faltrix/app/user_settings.h"
#include "faltrix/conversion_job.h"
#include "faltrix/plugin_list.h"
#include "faltrix/preview.h"

namespace faltrix {
namespace {

// The status box's text until the first status line.
constexpr char16_t kAboutText[] = u"Faltrix v1.01\r\nPicture converter by the Faltrix authors";

constexpr char16_t kNoInputPlugins[] =
    u"No input Plug-ins.\r\nYou've got to install plug-ins first.";
constexpr char16_t kNoOutputPlugins[] =
    u"No output Plug-ins.\r\nYou've got to install plug-ins first.";

QString Text(std::u16string_view text) { return DisplayText(text); }

constexpr PluginKind kKinds[] = {PluginKind::Input, PluginKind::Output};
int ListId(PluginKind kind) {
    return kind == PluginKind::Input ? kInputPluginList : kOutputPluginList;
}
int DetailId(PluginKind kind) {
    return kind == PluginKind::Input ? kInputDetailButton : kOutputDetailButton;
}

// The extensions a plug-in's patterns name: "*.png;*.PNG" gives "png"; a pattern with more
// wildcards than its leading "*." names none.
QStringList PatternExtensions(const PluginTexts &texts) {
    QStringList extensions;
    for (const FilePattern &pattern : texts.patterns) {
        for (const QString &one : QString::fromStdU16String(pattern.pattern)
                                      .split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString trimmed = one.trimmed().toLower();
            if (!trimmed.startsWith(QLatin1String("*.")) || trimmed.size() < 3) continue;
            const QString extension = trimmed.mid(2);
            if (extension.contains(QLatin1Char('*')) || extension.contains(QLatin1Char('?')))
                continue;
            if (!extensions.contains(extension)) extensions.append(extension);
        }
    }
    return extensions;
}

// The fields and check boxes the state file keeps, under these names.
struct Remembered {
    int id;
    const char *name;
};
constexpr Remembered kRememberedFields[] = {
    {kInputPathField, "inputPath"},     {kOutputPathField, "outputPath"},
    {kInputWidthField, "inputWidth"},   {kInputHeightField, "inputHeight"},
    {kOutputWidthField, "outputWidth"}, {kOutputHeightField, "outputHeight"}};
// What assistive tools call each control, and where a caption takes its mnemonic ('&'
// inserted before that character; -1: none).
struct Named {
    int id;
    const char *name;
    int mnemonic;
};
constexpr Named kNamed[] = {
    {kCodeButton, "Convert", 0},
    {kExitButton, "Exit", 1},
    {kShowPreviewButton, "Show preview", 5},
    {kInputDetailButton, "Input plug-in settings", 0},
    {kOutputDetailButton, "Output plug-in settings", 1},
    {kInputDisplayButton, "Display input", -1},
    {kOutputDisplayButton, "Display output", -1},
    {kInputPathField, "Input file", -1},
    {kOutputPathField, "Output file", -1},
    {kStatusBox, "Status", -1},
    {kInputChooserButton, "Choose input file", 0},
    {kOutputChooserButton, "Choose output file", 0},
    {kProgressBar, "Progress", -1},
    {kInputPluginList, "Input plug-in", -1},
    {kOutputPluginList, "Output plug-in", -1},
    {kCodingOptionsGroup, "Coding options", -1},
    {kSizeArrow, "to", -1},
    {kWidthLabel, "Width", -1},
    {kHeightLabel, "Height", -1},
    {kKeepAspectCheck, "Keep aspect ratio", 0},
    {kInputHeightField, "Input height", -1},
    {kInputWidthField, "Input width", -1},
    {kOutputHeightField, "Output height", -1},
    {kOutputWidthField, "Output width", -1},
    {kAntiAliasCheck, "Anti-alias", 7},
    {kWidthUnitList, "Width unit", -1},
    {kHeightUnitList, "Height unit", -1},
    {kPreviewBox, "Preview", -1},
    {kAutoPreviewCheck, "Automatic preview", -1},
};

constexpr Remembered kRememberedChecks[] = {{kKeepAspectCheck, "keepAspect"},
                                            {kAntiAliasCheck, "antiAlias"},
                                            {kAutoPreviewCheck, "autoPreview"}};

}  // namespace

// ---- Preview box ------------------------------------------------------------------------

PreviewBox::PreviewBox(QWidget *parent) : QFrame(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void PreviewBox::paintEvent(QPaintEvent *) {
    // A preview job holds the surface while it draws. Rather than wait for it on the dialog's
    // thread, the box shows the frame it read last and looks again shortly.
    std::unique_lock<std::mutex> lock(PreviewSurfaceMutex(), std::try_to_lock);
    if (lock.owns_lock()) {
        lastFrame_ = QImage();
        const PreviewSurface &surface = ThePreviewSurface;
        DIBSECTION section{};
        if (surface.dc != nullptr && surface.bitmap != nullptr &&
            GetObjectW(surface.bitmap, sizeof section, &section) ==
                static_cast<int>(sizeof section) &&
            section.dsBm.bmBits != nullptr && section.dsBm.bmBitsPixel == 32) {
            lastFrame_ =
                QImage(static_cast<const uchar *>(section.dsBm.bmBits), section.dsBm.bmWidth,
                       section.dsBm.bmHeight, section.dsBm.bmWidthBytes, QImage::Format_RGB32)
                    .copy();
            // The surface has the box's size in device pixels.
            lastFrame_.setDevicePixelRatio(devicePixelRatioF());
        }
        lock.unlock();
    } else {
        QTimer::singleShot(15, this, qOverload<>(&QWidget::update));
    }

    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (!lastFrame_.isNull()) painter.drawImage(0, 0, lastFrame_);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

// ---- Dialog -----------------------------------------------------------------------------

MainDialog::MainDialog(int layoutId, QWidget *parent) : QDialog(parent) {
    InitResources();
    layout_ = FindLayout(layoutId);
    if (layout_ == nullptr) layout_ = FindLayout(103);
    controls_ =
        BuildLayout(this, *layout_, [](const ControlSpec &spec, QWidget *owner) -> QWidget * {
            if (spec.kind == ControlKind::PreviewFrame) return new PreviewBox(owner);
            return nullptr;
        });
    for (int id : {kInputPathField, kOutputPathField}) {
        if (auto *field = qobject_cast<QLineEdit *>(Control(id)))
            field->setMaxLength(kPathFieldLength);
    }
    if (auto *code = qobject_cast<QPushButton *>(Control(kCodeButton))) code->setDefault(true);
    // A file dropped anywhere on the window is taken as the input.
    setAcceptDrops(true);
    for (const Named &named : kNamed) {
        QWidget *control = Control(named.id);
        if (control == nullptr) continue;
        control->setAccessibleName(QString::fromUtf8(named.name));
        auto *button = qobject_cast<QAbstractButton *>(control);
        if (button != nullptr && named.mnemonic >= 0 && named.mnemonic < button->text().size()) {
            button->setText(button->text().insert(named.mnemonic, QLatin1Char('&')));
        }
    }
    // The automatic-preview box's full name shows on hovering, with a caption or without.
    Control(kAutoPreviewCheck)->setToolTip(QStringLiteral("Automatic preview"));
    // The wide layout's caption bar can minimise the window as well.
    if (layout_->captionBar) setWindowFlag(Qt::WindowMinimizeButtonHint);

    frontEnd_ = std::make_unique<QtFrontEnd>(this);
    previousFrontEnd_ = InstalledFrontEnd();
    InstallFrontEnd(frontEnd_.get());

    jobEndTimer_ = new QTimer(this);
    jobEndTimer_->setInterval(20);
    connect(jobEndTimer_, &QTimer::timeout, this, &MainDialog::AfterJobEnd);

    state_ = std::make_unique<DialogState>();
    settings_ = std::make_unique<UserSettings>();
    // Before any plug-in loads: the bundled ones read what they kept as they load.
    UserSettings::NamePluginSettingsFile();
    ConnectControls();
    Initialise();
    RestoreKeptSettings();
    RestoreAfterUncleanEnd();
    state_->WatchPluginCalls();
    state_->WatchTemporaries();
    state_->EndCleanlyWhenStoppedIdle();
}

MainDialog::~MainDialog() {
    // A job still running reports through this dialog's front end; let it finish while
    // serving its requests (never blocking on it).
    while (JobRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    DestroyPreviewSurface();
    if (InstalledFrontEnd() == frontEnd_.get()) InstallFrontEnd(previousFrontEnd_);
}

void MainDialog::Initialise() {
    // The progress bar counts in percent; the status box needs no set-up, it is found by ID.
    if (auto *bar = qobject_cast<QProgressBar *>(Control(kProgressBar))) {
        bar->setRange(0, 100);
        bar->setValue(0);
    }
    // The title is also the name by which a second start knows the running instance.
    setWindowTitle(Text(kDialogTitle));
    QIcon icon;
    icon.addFile(QStringLiteral(":/faltrix/faltrix-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/faltrix/faltrix-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/faltrix/faltrix.svg"));
    setWindowIcon(icon);
    // The about text is set directly: a status line would pause after it.
    if (auto *status = qobject_cast<QTextEdit *>(Control(kStatusBox)))
        status->setPlainText(Text(kAboutText));
    // The "Coding options" group and its controls are created before some of their
    // neighbours; raising them in ID order keeps the group under its controls and the unit
    // lists, the highest IDs, on top.
    for (int id = kCodingOptionsGroup; id <= kHeightUnitList; ++id) {
        if (QWidget *control = Control(id)) control->raise();
    }
    // The user starts by typing or choosing the input path.
    Control(kInputPathField)->setFocus();
    // Input list first: an empty input folder is reported before an empty output folder.
    currentInputIndex_ = FillPluginList(PluginKind::Input);
    currentOutputIndex_ = FillPluginList(PluginKind::Output);
    // The unit lists are created disabled and nothing reads them; they show the units only.
    for (int id : {kWidthUnitList, kHeightUnitList}) {
        auto *units = qobject_cast<QComboBox *>(Control(id));
        units->addItems({QStringLiteral("Pixel"), QStringLiteral("%")});
        units->setCurrentIndex(0);
    }
    // Every caption and unit readable, on the screen; the narrow layout keeps to 240 x 320.
    // Plug-in descriptions are the plug-ins' own and may be of any length.
    const QScreen *screen = this->screen();
    QSize largest = screen != nullptr ? screen->availableGeometry().size() : QSize(4096, 4096);
    if (layout_->id == 102) largest = largest.boundedTo(QSize(240, 320));
    // The automatic-preview box's caption is shown where the fitted layout has room for it
    // (its name is on its tooltip and for screen readers in any case); it never makes the
    // layout grow, which on the smallest screens would cost every other text some size.
    const int unmeasured[] = {kInputPluginList, kOutputPluginList, kAutoPreviewCheck};
    FitLayout(this, *layout_, controls_, largest, unmeasured);
    if (auto *autoPreview = qobject_cast<QCheckBox *>(Control(kAutoPreviewCheck));
        TextShortfall(autoPreview).width() > 0)
        autoPreview->setText({});
    OrderTabStops();
    // The preview jobs draw into a surface the size of the box.
    CreatePreviewSurface(reinterpret_cast<HWND>(Control(kPreviewBox)));
}

void MainDialog::OrderTabStops() {
    // Fields the user cannot type into are read with the eye, or selected with the mouse to
    // copy from; the keyboard passes them by.
    for (const auto &[id, widget] : controls_.InOrder()) {
        const auto *field = qobject_cast<QLineEdit *>(widget);
        const auto *box = qobject_cast<QTextEdit *>(widget);
        if ((field != nullptr && field->isReadOnly()) || (box != nullptr && box->isReadOnly())) {
            widget->setFocusPolicy(Qt::ClickFocus);
        }
    }
    if (auto *status = qobject_cast<QTextEdit *>(Control(kStatusBox))) {
        status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    }
    // The layout table is in creation order, not the order the eye reads the window: Tab goes
    // row by row, top to bottom, and left to right within a row. A row is the first control
    // not yet placed (the topmost) and every control whose middle lies within its height.
    std::vector<QWidget *> stops;
    for (const auto &[id, widget] : controls_.InOrder()) {
        if ((widget->focusPolicy() & Qt::TabFocus) == Qt::TabFocus) stops.push_back(widget);
    }
    std::stable_sort(stops.begin(), stops.end(), [](const QWidget *a, const QWidget *b) {
        return a->geometry().top() < b->geometry().top();
    });
    std::vector<QWidget *> ordered;
    while (!stops.empty()) {
        const QRect anchor = stops.front()->geometry();
        const auto inRow = [&anchor](const QWidget *w) {
            const int middle = w->geometry().center().y();
            return middle >= anchor.top() && middle <= anchor.bottom();
        };
        std::vector<QWidget *> row;
        std::copy_if(stops.begin(), stops.end(), std::back_inserter(row), inRow);
        // The anchor's own middle is always within it, so every pass places at least one.
        stops.erase(std::remove_if(stops.begin(), stops.end(), inRow), stops.end());
        std::stable_sort(row.begin(), row.end(), [](const QWidget *a, const QWidget *b) {
            return a->geometry().left() < b->geometry().left();
        });
        ordered.insert(ordered.end(), row.begin(), row.end());
    }
    for (size_t i = 1; i < ordered.size(); ++i) QWidget::setTabOrder(ordered[i - 1], ordered[i]);
}

int32_t MainDialog::FillPluginList(PluginKind kind) {
    const bool input = kind == PluginKind::Input;
    PluginList &plugins = PluginsOf(kind);
    auto *combo = qobject_cast<QComboBox *>(Control(ListId(kind)));
    const int32_t count = plugins.ScanPlugins();
    if (count < 1) {
        // A folder not read for want of trust says why, before the usual word.
        if (!plugins.FolderRefusal().empty())
            Message(QString::fromStdString(plugins.FolderRefusal()), QStringLiteral("ERROR"),
                    kMbOk | kMbIconHand);
        Message(Text(input ? kNoInputPlugins : kNoOutputPlugins), QStringLiteral("ERROR"),
                kMbOk | kMbIconHand);
        // The close request is handled once the dialog runs, as the Exit command.
        QMetaObject::invokeMethod(
            this, [this] { Command(kExitButton, kNotifyClicked); }, Qt::QueuedConnection);
        return -1;
    }
    // The texts come from the plug-ins' examination: none is loaded in this process to ask.
    for (int32_t i = 0; i < count; ++i) {
        const PluginTexts &texts = plugins.TextsAt(static_cast<uint32_t>(i));
        QString text = QString::fromStdU16String(texts.description);
        // Every plug-in gets one entry, so that entry i stands for plug-in i; one without a
        // description shows its file name.
        if (text.isEmpty()) {
            const std::u16string &path = plugins.PathAt(static_cast<uint32_t>(i));
            text = QFileInfo(QString::fromStdU16String(path)).fileName();
        }
        combo->addItem(text);
        if (!input) outputExtensions_.append(PatternExtensions(texts));
    }
    combo->setCurrentIndex(0);
    plugins.SelectPlugin(0);
    ShowDetailAvailability(kind);
    return 0;
}

void MainDialog::ConnectControls() {
    for (const auto &[id, widget] : controls_.InOrder()) {
        const int controlId = id;
        if (auto *button = qobject_cast<QPushButton *>(widget)) {
            connect(button, &QPushButton::clicked, this,
                    [this, controlId] { Command(controlId, kNotifyClicked); });
        }
    }
    for (int id : {kInputPluginList, kOutputPluginList}) {
        auto *combo = qobject_cast<QComboBox *>(Control(id));
        // activated comes from the user's choice only, also of the entry already current.
        connect(combo, &QComboBox::activated, this, [this, id] { Command(id, kNotifySelChange); });
    }
    Control(kInputPathField)->installEventFilter(this);
    // A drop on a path field is the dialog's, not the field's own (which pastes the URL).
    Control(kOutputPathField)->installEventFilter(this);
    // A link in the status box (the written file, its folder) opens on a click.
    if (auto *status = qobject_cast<QTextEdit *>(Control(kStatusBox))) {
        status->viewport()->installEventFilter(this);
        status->viewport()->setMouseTracking(true);
    }
    // The picture in the box belongs to the path it was drawn for; another path, typed or
    // put there, empties the box. While a job runs the field is disabled and takes no path.
    connect(qobject_cast<QLineEdit *>(Control(kInputPathField)), &QLineEdit::textChanged, this,
            [this] {
                if (!JobRunning()) ClearPreview();
            });
    // Left or confirmed with Enter (before Enter presses Code).
    connect(qobject_cast<QLineEdit *>(Control(kOutputPathField)), &QLineEdit::editingFinished, this,
            &MainDialog::FollowOutputName);
    for (int id : {kOutputWidthField, kOutputHeightField}) {
        // textEdited, not textChanged: the program's own writes must not set off keep aspect.
        connect(qobject_cast<QLineEdit *>(Control(id)), &QLineEdit::textEdited, this,
                [this, id] { Command(id, kNotifyChange); });
    }
    // After keep aspect, so that the height it writes is kept with the width typed.
    for (const Remembered &field : kRememberedFields) {
        if (auto *edit = qobject_cast<QLineEdit *>(Control(field.id))) {
            connect(edit, &QLineEdit::textEdited, this, &MainDialog::RememberSettings);
        }
    }
    for (const Remembered &check : kRememberedChecks) {
        if (auto *box = qobject_cast<QCheckBox *>(Control(check.id))) {
            connect(box, &QCheckBox::toggled, this, &MainDialog::RememberSettings);
        }
    }
}

bool MainDialog::eventFilter(QObject *watched, QEvent *event) {
    const bool pathField =
        watched == Control(kInputPathField) || watched == Control(kOutputPathField);
    if (pathField && (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove)) {
        auto *drag = static_cast<QDropEvent *>(event);
        if (drag->mimeData()->hasUrls()) {
            drag->acceptProposedAction();
            return true;
        }
    }
    if (pathField && event->type() == QEvent::Drop &&
        static_cast<QDropEvent *>(event)->mimeData()->hasUrls()) {
        auto *drop = static_cast<QDropEvent *>(event);
        drop->acceptProposedAction();
        DropOnPathField(
            watched == Control(kInputPathField) ? PluginKind::Input : PluginKind::Output,
            drop->mimeData()->urls());
        return true;
    }
    auto *status = qobject_cast<QTextEdit *>(Control(kStatusBox));
    if (status != nullptr && watched == status->viewport() &&
        (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseMove)) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const QString anchor = status->anchorAt(mouse->position().toPoint());
        if (event->type() == QEvent::MouseMove) {
            status->viewport()->setCursor(anchor.isEmpty() ? Qt::IBeamCursor
                                                           : Qt::PointingHandCursor);
        } else if (!anchor.isEmpty() && mouse->button() == Qt::LeftButton) {
            Interaction().OpenUrl(QUrl(anchor));
        }
    }
    if (watched == Control(kInputPathField) && event->type() == QEvent::FocusOut &&
        !jobMovesFocus_) {
        // Only a move of the focus inside the dialog counts: a window that comes on top (a
        // message box, another program) or a pop-up menu leaves the field's focus in place.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            // A press on Code that takes the focus: a preview started by leaving the field
            // disables Code before the click ends, so the click is kept for the preview's end.
            const bool pressingCode = reason == Qt::MouseFocusReason &&
                                      QApplication::focusWidget() == Control(kCodeButton);
            Command(kInputPathField, kNotifyKillFocus);
            if (pressingCode) CodeWaitsForPreview();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::Command(int id, int notification) {
    switch (id) {
    case kCodeButton: StartConversionCommand(); break;
    case kExitButton: Exit(); break;
    case kShowPreviewButton: ShowPreview(); break;
    case kInputDetailButton: InputDetail(); break;
    case kOutputDetailButton: OutputDetail(); break;
    case kInputChooserButton: ChooseInput(); break;
    case kOutputChooserButton: ChooseOutput(); break;
    case kInputPluginList:
    case kOutputPluginList:
        if (notification == kNotifySelChange) SwitchPlugin(id);
        break;
    case kInputPathField:
        if (notification == kNotifyKillFocus) LeaveInputField();
        break;
    case kOutputWidthField:
    case kOutputHeightField:
        if (notification == kNotifyChange) KeepAspect(id);
        break;
    default: break;  // the "Display" buttons and every other control do nothing
    }
}

void MainDialog::EnableForJob(QWidget *control, bool enable) {
    // A Detail button stays disabled after a job while its plug-in has no settings.
    if (enable && !DetailAvailable(control)) return;
    if (!enable && control == focusWidget()) {
        heldFocus_ = control;
        jobMovesFocus_ = true;
        control->setEnabled(false);
        if (QWidget *moved = focusWidget(); moved != nullptr && moved != control)
            moved->clearFocus();
        jobMovesFocus_ = false;
        return;
    }
    control->setEnabled(enable);
    if (enable && control == heldFocus_) {
        heldFocus_.clear();
        if (focusWidget() == nullptr) control->setFocus(Qt::OtherFocusReason);
    }
}

void MainDialog::reject() {
    // Escape and close requests are the Exit command, which waits for a running job.
    Command(kExitButton, kNotifyClicked);
}

void MainDialog::closeEvent(QCloseEvent *event) {
    event->ignore();
    Command(kExitButton, kNotifyClicked);
}

void MainDialog::dragEnterEvent(QDragEnterEvent *event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void MainDialog::dropEvent(QDropEvent *event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return;
    event->acceptProposedAction();
    OpenInput(urls.front().toLocalFile());
}

void MainDialog::DropOnPathField(PluginKind kind, const QList<QUrl> &urls) {
    if (urls.size() != 1 || !urls.front().isLocalFile()) {
        frontEnd_->AppendStatusLine(u"Only one local file can be dropped on a path field.");
        return;
    }
    // The whole field is replaced, then the file is taken as a chosen one is.
    const QString path = urls.front().toLocalFile();
    if (JobRunning() || path.size() > kPathFieldLength) return;
    if (kind == PluginKind::Input) {
        OpenInput(path);
        return;
    }
    SetFieldText(kOutputPathField, path);
    RememberSettings();
    FollowOutputName();
}

void MainDialog::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        emit FirstShown();
    }
}

// ---- State file -------------------------------------------------------------------------

void MainDialog::RememberSettings() {
    DialogSettings settings;
    for (const Remembered &field : kRememberedFields) {
        if (Control(field.id) != nullptr)
            settings.fields.insert(QLatin1String(field.name), FieldText(field.id));
    }
    for (const Remembered &check : kRememberedChecks) {
        if (Control(check.id) != nullptr)
            settings.checks.insert(QLatin1String(check.name), Checked(check.id));
    }
    // Plug-ins by path: the entries of a list shift when plug-ins are added or removed.
    const auto chosen = [](const PluginList &plugins, int32_t index) {
        return index >= 0 && static_cast<uint32_t>(index) < plugins.Count()
                   ? QString::fromStdU16String(plugins.PathAt(static_cast<uint32_t>(index)))
                   : QString();
    };
    settings.inputPlugin = chosen(InputPlugins(), currentInputIndex_);
    settings.outputPlugin = chosen(OutputPlugins(), currentOutputIndex_);
    settings_->Keep(settings);
    state_->Remember(std::move(settings));
}

void MainDialog::PutBackFieldsAndChecks(const DialogSettings &settings) {
    // Put back as the program writes fields: keep aspect hears nothing of it.
    for (const Remembered &field : kRememberedFields) {
        const auto it = settings.fields.constFind(QLatin1String(field.name));
        if (it != settings.fields.cend()) SetFieldText(field.id, *it);
    }
    for (const Remembered &check : kRememberedChecks) {
        auto *box = qobject_cast<QCheckBox *>(Control(check.id));
        const auto it = settings.checks.constFind(QLatin1String(check.name));
        if (box == nullptr || it == settings.checks.cend()) continue;
        const QSignalBlocker blocker(box);
        box->setChecked(*it);
    }
}

void MainDialog::RestoreKeptSettings() {
    const DialogSettings kept = settings_->Kept();
    PutBackFieldsAndChecks(kept);
    // By file name: the folder may have moved, and other plug-ins may have come or gone.
    for (const PluginKind kind : kKinds) {
        const QString name = kind == PluginKind::Input ? kept.inputPlugin : kept.outputPlugin;
        const PluginList &plugins = PluginsOf(kind);
        for (uint32_t i = 0; !name.isEmpty() && i < plugins.Count(); ++i) {
            if (QFileInfo(QString::fromStdU16String(plugins.PathAt(i))).fileName() != name)
                continue;
            const int32_t entry = EntryOf(kind, QString::fromStdU16String(plugins.PathAt(i)));
            if (entry >= 0 && entry != CurrentIndex(kind)) SelectEntry(kind, entry);
            break;
        }
    }
}

void MainDialog::RestoreAfterUncleanEnd() {
    const std::optional<DialogRecord> &left = state_->LeftByUncleanEnd();
    if (!left) return;
    PutBackFieldsAndChecks(left->settings);
    // Input sizes that were kept belong to the input path kept with them.
    if (!FieldText(kInputWidthField).isEmpty()) sizesFor_ = FieldText(kInputPathField);
    for (const PluginKind kind : kKinds) {
        const int32_t entry =
            EntryOf(kind, kind == PluginKind::Input ? left->settings.inputPlugin
                                                    : left->settings.outputPlugin);
        if (entry >= 0 && entry != CurrentIndex(kind)) SelectEntry(kind, entry);
    }
    QList<RunningPlugin> asked;
    for (const RunningPlugin &running : left->running) {
        if (asked.contains(running)) continue;  // called on two threads at once
        asked.append(running);
        OfferToLeaveOut(running);
    }
    // What is shown now replaces the record, the calls that were running with it.
    RememberSettings();
}

void MainDialog::OfferToLeaveOut(const RunningPlugin &running) {
    const bool input = running.kind == PluginKind::Input;
    const int32_t entry = EntryOf(running.kind, running.path);
    auto *combo = qobject_cast<QComboBox *>(Control(ListId(running.kind)));
    // A plug-in no longer in its list, or the only one, leaves nothing to choose.
    if (entry < 0 || combo->count() < 2) return;
    const QString text = QStringLiteral(
                             "Faltrix ended unexpectedly while the %1 plug-in \"%2\" (%3) was "
                             "running.\nLeave it unselected?")
                             .arg(input ? QStringLiteral("input") : QStringLiteral("output"),
                                  combo->itemText(entry), running.path);
    if (Message(text, Text(kDialogTitle), kMbYesNo | kMbIconQuestion) != kIdYes) return;
    // The first other entry; the plug-in keeps its place in the list.
    if (entry == CurrentIndex(running.kind)) SelectEntry(running.kind, entry == 0 ? 1 : 0);
}

int32_t MainDialog::EntryOf(PluginKind kind, const QString &path) const {
    const PluginList &plugins = PluginsOf(kind);
    const auto *combo = qobject_cast<const QComboBox *>(Control(ListId(kind)));
    // The list's entries stand for its plug-ins one to one while it holds any.
    for (uint32_t i = 0;
         !path.isEmpty() && i < plugins.Count() && i < static_cast<uint32_t>(combo->count()); ++i) {
        if (QString::fromStdU16String(plugins.PathAt(i)) == path) return static_cast<int32_t>(i);
    }
    return -1;
}

void MainDialog::SelectEntry(PluginKind kind, int32_t index) {
    auto *combo = qobject_cast<QComboBox *>(Control(ListId(kind)));
    combo->setCurrentIndex(index);
    PluginsOf(kind).SelectPlugin(static_cast<uint32_t>(index));
    CurrentIndex(kind) = index;
    ShowDetailAvailability(kind);
}

bool MainDialog::DetailAvailable(const QWidget *control) const {
    if (control == nullptr) return true;
    for (const PluginKind kind : kKinds) {
        if (control == Control(DetailId(kind))) return PluginsOf(kind).HasConfigurationDlg();
    }
    return true;
}

void MainDialog::ShowDetailAvailability(PluginKind kind) {
    // What the plug-in exports is known only once it is loaded: the current one always is,
    // unless it failed to load.
    QWidget *detail = Control(DetailId(kind));
    if (detail == nullptr) return;
    const PluginList &plugins = PluginsOf(kind);
    const bool available = DetailAvailable(detail);
    // While a job runs the button is the job's to enable again.
    if (!JobRunning()) detail->setEnabled(available);
    detail->setToolTip(available               ? QString()
                       : !plugins.HasLibrary() ? QStringLiteral("This plug-in could not be loaded.")
                                               : QStringLiteral("This plug-in has no settings."));
}

void MainDialog::BringToFront() {
    if (!isVisible()) return;
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
}

}  // namespace faltrix
