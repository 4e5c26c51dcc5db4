// Turns a layout table into widgets and fits the dialog to its texts.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMargins>
#include <QPalette>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTextEdit>

#include <algorithm>
#include <cmath>

#include "faltrix/app/dialog_builder.h"

namespace faltrix {
namespace {

// A combo box's rectangle includes its dropped-down list; the closed box is this tall.
constexpr int kClosedComboHeight = 13;

QWidget *MakeEdit(const ControlSpec &spec, QWidget *parent) {
    const bool readOnly = (spec.styles & kStyleReadOnly) != 0;
    // A multi-line edit that takes any text is the status box; the size fields are multi-line
    // in the layout tables only so that a program's own write raises no notification,
    // which a QLineEdit gives through textEdited.
    if ((spec.styles & kStyleMultiline) != 0 && (spec.styles & kStyleNumber) == 0) {
        auto *edit = new QTextEdit(parent);
        edit->setReadOnly(readOnly);
        edit->setAcceptRichText(false);
        // Long lines wrap; what does not fit below scrolls.
        edit->setLineWrapMode(QTextEdit::WidgetWidth);
        edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        QTextOption option = edit->document()->defaultTextOption();
        if ((spec.styles & kStyleAlignCenter) != 0) option.setAlignment(Qt::AlignHCenter);
        edit->document()->setDefaultTextOption(option);
        edit->document()->setDocumentMargin(1);
        edit->setPlainText(QString::fromUtf8(spec.text));
        return edit;
    }
    auto *edit = new QLineEdit(QString::fromUtf8(spec.text), parent);
    edit->setReadOnly(readOnly);
    if ((spec.styles & kStyleAlignRight) != 0)
        edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if ((spec.styles & kStyleNumber) != 0) {
        edit->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    }
    edit->setTextMargins(0, 0, 0, 0);
    return edit;
}

QWidget *MakeDefault(const ControlSpec &spec, QWidget *parent) {
    const QString text = QString::fromUtf8(spec.text);
    switch (spec.kind) {
    case ControlKind::PushButton: {
        auto *button = new QPushButton(text, parent);
        button->setAutoDefault(false);
        return button;
    }
    case ControlKind::Edit: return MakeEdit(spec, parent);
    case ControlKind::ComboBox: {
        auto *combo = new QComboBox(parent);
        combo->setEditable((spec.styles & kStyleDropDownList) == 0);
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        return combo;
    }
    case ControlKind::GroupBox: return new QGroupBox(text, parent);
    case ControlKind::Static: {
        auto *label = new QLabel(text, parent);
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case ControlKind::CheckBox: return new QCheckBox(text, parent);
    case ControlKind::ProgressBar: {
        auto *bar = new QProgressBar(parent);
        bar->setTextVisible(false);
        // Styles fill an empty bar's groove with a text field's background, and in both
        // layouts the bar stands beside fields as wide and as tall: a groove in the
        // window's own shade, a little darker, shows it as a bar before the first job.
        QPalette palette = bar->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Window).darker(112));
        bar->setPalette(palette);
        // The bar's window text from the layout table; it is never shown.
        bar->setWindowTitle(text);
        return bar;
    }
    case ControlKind::PreviewFrame: {
        auto *frame = new QFrame(parent);
        // The box has no caption in either layout; screen readers still name it.
        frame->setAccessibleName(text.isEmpty() ? QStringLiteral("Preview") : text);
        frame->setFrameShape(QFrame::Box);
        frame->setAutoFillBackground(true);
        QPalette palette = frame->palette();
        palette.setColor(QPalette::Window, Qt::white);
        frame->setPalette(palette);
        return frame;
    }
    }
    return nullptr;
}

// The room the platform style keeps between a window's edge and what the window holds.
QMargins WindowMargins(const QWidget *window) {
    const QStyle *style = window->style();
    return {style->pixelMetric(QStyle::PM_LayoutLeftMargin, nullptr, window),
            style->pixelMetric(QStyle::PM_LayoutTopMargin, nullptr, window),
            style->pixelMetric(QStyle::PM_LayoutRightMargin, nullptr, window),
            style->pixelMetric(QStyle::PM_LayoutBottomMargin, nullptr, window)};
}

// Puts every control at its rectangle, inside the window's margins (the style's, times
// `marginShare`), and sizes the dialog.
void Place(QDialog *dialog, const LayoutSpec &layout, const ControlMap &controls,
           const DialogUnits &units, double marginShare = 1.0) {
    const QMargins margins = WindowMargins(dialog) * marginShare;
    for (const ControlSpec &spec : layout.controls) {
        int height = spec.height;
        if (spec.kind == ControlKind::ComboBox) height = std::min(height, kClosedComboHeight);
        controls.Find(spec.id)->setGeometry(units.Rect(spec.x, spec.y, spec.width, height)
                                                .translated(margins.left(), margins.top()));
    }
    dialog->setFixedSize(units.X(layout.width) + margins.left() + margins.right(),
                         units.Y(layout.height) + margins.top() + margins.bottom());
}

// A list whose drop-down arrow keeps half its room and gives the other half to the text.
// On a screen too small for a layout at every font size, the lists' chrome (which a smaller
// font does not shrink) gives way rather than a text.
class NarrowArrowStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option, SubControl sub,
                         const QWidget *widget) const override {
        QRect rect = QProxyStyle::subControlRect(control, option, sub, widget);
        if (control != CC_ComboBox || (sub != SC_ComboBoxArrow && sub != SC_ComboBoxEditField))
            return rect;
        const QRect arrow = QProxyStyle::subControlRect(control, option, SC_ComboBoxArrow, widget);
        const int given = arrow.width() / 2;
        // The arrow's outer edge stays; the edge it shares with the text moves.
        const bool arrowRight = arrow.center().x() >= option->rect.center().x();
        if (sub == SC_ComboBoxArrow)
            return arrowRight ? rect.adjusted(given, 0, 0, 0) : rect.adjusted(0, 0, -given, 0);
        return arrowRight ? rect.adjusted(0, 0, given, 0) : rect.adjusted(-given, 0, 0, 0);
    }
};

// Gives the dialog's lists arrows of half their width (one such style a dialog, however often
// it is fitted).
void NarrowArrows(QDialog *dialog, const ControlMap &controls) {
    auto *style = dialog->findChild<NarrowArrowStyle *>(QString(), Qt::FindDirectChildrenOnly);
    if (style == nullptr) {
        style = new NarrowArrowStyle(QStyleFactory::create(dialog->style()->name()));
        style->setParent(dialog);
    }
    for (const auto &[id, widget] : controls.InOrder()) {
        if (qobject_cast<QComboBox *>(widget) != nullptr) widget->setStyle(style);
    }
}

}  // namespace

QFont DialogFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(9);
    return font;
}

DialogUnits::DialogUnits(const QFont &font, double scale) : scale_(scale) {
    const QFontMetrics metrics(font);
    // The platform's average character width: the advance of the 52 Latin letters / 52,
    // rounded.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = std::max(1, (metrics.horizontalAdvance(letters) + 26) / 52);
    baseY_ = std::max(1, metrics.height());
}

int DialogUnits::X(int units) const {
    return static_cast<int>(std::lround(units * baseX_ * scale_ / 4.0));
}
int DialogUnits::Y(int units) const {
    return static_cast<int>(std::lround(units * baseY_ * scale_ / 8.0));
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    // Convert both corners, so that neighbouring controls meet without gaps or overlaps.
    const int left = X(x);
    const int top = Y(y);
    return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

QWidget *ControlMap::Find(int id) const {
    for (const auto &[controlId, widget] : controls_) {
        if (controlId == id) return widget;
    }
    return nullptr;
}

ControlMap BuildLayout(QDialog *dialog, const LayoutSpec &layout, const ControlFactory &factory) {
    ControlMap map;
    const QFont font = DialogFont();
    dialog->setFont(font);
    const DialogUnits units(font);

    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (layout.captionBar)
        flags |= Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    dialog->setWindowFlags(flags);

    QWidget *previousFocusable = nullptr;
    for (const ControlSpec &spec : layout.controls) {
        QWidget *widget = factory ? factory(spec, dialog) : nullptr;
        if (widget == nullptr) widget = MakeDefault(spec, dialog);
        widget->setProperty("controlId", spec.id);
        widget->setProperty("controlKind", static_cast<int>(spec.kind));
        widget->setObjectName(QStringLiteral("control%1").arg(spec.id));
        widget->setEnabled((spec.styles & kStyleDisabled) == 0);
        map.Add(spec.id, widget);

        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previousFocusable != nullptr) QWidget::setTabOrder(previousFocusable, widget);
            previousFocusable = widget;
        }
    }
    Place(dialog, layout, map, units);
    return map;
}

QSize TextShortfall(const QWidget *control) {
    const QFontMetrics metrics(control->font());
    QStyle *style = control->style();
    QRect room;
    QString text;
    if (const auto *button = qobject_cast<const QAbstractButton *>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const bool check = qobject_cast<const QCheckBox *>(button) != nullptr;
        room = style->subElementRect(
            check ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, button);
        text = button->text();
    } else if (const auto *label = qobject_cast<const QLabel *>(control)) {
        room = label->contentsRect();
        text = label->text();
    } else if (const auto *group = qobject_cast<const QGroupBox *>(control)) {
        // The title sits on the frame with a character's room on either side.
        room =
            group->rect().adjusted(metrics.averageCharWidth(), 0, -metrics.averageCharWidth(), 0);
        text = group->title();
    } else if (const auto *combo = qobject_cast<const QComboBox *>(control)) {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.editable = combo->isEditable();
        room = style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField,
                                     combo);
        for (int i = 0; i < combo->count(); ++i) {
            if (metrics.horizontalAdvance(combo->itemText(i)) > metrics.horizontalAdvance(text))
                text = combo->itemText(i);
        }
    } else {
        return {0, 0};
    }
    if (text.isEmpty()) return {0, 0};
    // A mnemonic's '&' is not drawn.
    const int width = metrics.horizontalAdvance(
        QString(text).remove(QRegularExpression(QStringLiteral("&(?!&)"))));
    // A pixel either side: drawn at a fractional device-pixel ratio, a text may round wider.
    return {std::max(0, width + 2 - room.width()),
            std::max(0, metrics.height() - control->height())};
}

void FitLayout(QDialog *dialog, const LayoutSpec &layout, const ControlMap &controls, QSize largest,
               std::span<const int> unmeasured) {
    // Fits the texts at one point size; how far the dialog then overruns `largest` (at most 1
    // when it fits).
    const auto fitAt = [&](double pointSize, double marginShare) {
        QFont font = dialog->font();
        font.setPointSizeF(pointSize);
        dialog->setFont(font);
        double scale = 1.0;
        Place(dialog, layout, controls, DialogUnits(font, scale), marginShare);
        // A control's chrome stays as it is while its rectangle grows, so one round may
        // leave a pixel short after rounding; a few rounds settle it.
        for (int round = 0; round < 4; ++round) {
            double needed = 1.0;
            for (const auto &[id, widget] : controls.InOrder()) {
                if (std::find(unmeasured.begin(), unmeasured.end(), id) != unmeasured.end())
                    continue;
                const QSize lacking = TextShortfall(widget);
                if (lacking.width() > 0)
                    needed = std::max(needed,
                                      (widget->width() + lacking.width() + 1.0) / widget->width());
                if (lacking.height() > 0)
                    needed = std::max(
                        needed, (widget->height() + lacking.height() + 1.0) / widget->height());
            }
            if (needed <= 1.0) break;
            scale *= needed;
            Place(dialog, layout, controls, DialogUnits(font, scale), marginShare);
        }
        return std::max({1.0, double(dialog->width()) / largest.width(),
                         double(dialog->height()) / largest.height()});
    };
    // Below some size the controls' chrome, which keeps its size, outgrows what a smaller
    // font saves: when no size fits, the lists' arrows narrow and the sizes are tried again
    // (a screen of few logical pixels: 240 x 320 at 120 dpi is 192 x 256); when still none
    // fits, the one that overruns least is taken, without margins. The window's margins may
    // cost the texts up to two points: each half of them is worth a point of font size (on a
    // 240 x 320 screen at 96 dpi layout 102 keeps them at a smaller font rather than fill the
    // screen edge to edge), and where two tries are worth the same the wider margins go first.
    const double start = dialog->font().pointSizeF();
    double best = start, leastOverrun = 0;
    for (const bool narrowArrows : {false, true}) {
        if (narrowArrows) NarrowArrows(dialog, controls);
        for (double worth = start + 2.0; worth >= 5.0; worth -= 0.5) {
            for (const double marginShare : {1.0, 0.5, 0.0}) {
                const double size = worth - 2 * marginShare;
                if (size > start || size < 5.0) continue;
                const double overrun = fitAt(size, marginShare);
                if (overrun <= 1.0) return;
                if (marginShare == 0 && (leastOverrun == 0 || overrun < leastOverrun)) {
                    best = size;
                    leastOverrun = overrun;
                }
            }
        }
    }
    fitAt(best, 0);
}

QString ControlText(const QWidget *control) {
    // A mnemonic's '&' is not part of the text the user reads.
    if (const auto *button = qobject_cast<const QAbstractButton *>(control))
        return QString(button->text())
            .remove(QRegularExpression(QStringLiteral("&(?=[^&])")))
            .replace(QStringLiteral("&&"), QStringLiteral("&"));
    if (const auto *line = qobject_cast<const QLineEdit *>(control)) return line->text();
    if (const auto *text = qobject_cast<const QTextEdit *>(control)) return text->toPlainText();
    if (const auto *label = qobject_cast<const QLabel *>(control)) return label->text();
    if (const auto *group = qobject_cast<const QGroupBox *>(control)) return group->title();
    if (const auto *combo = qobject_cast<const QComboBox *>(control)) return combo->currentText();
    if (control != nullptr) return control->windowTitle();
    return {};
}

ControlKind KindOf(const QWidget *control) {
    return static_cast<ControlKind>(control->property("controlKind").toInt());
}

}  // namespace faltrix
