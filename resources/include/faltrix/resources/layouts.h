// The two dialog layouts as data, and the builder that turns one into widgets.
//
// Each layout is a table of controls in creation order: ID, kind, text, rectangle in dialog
// units and the styles that matter. The builder converts dialog units to pixels with the
// dialog font's base units (horizontal: average character width / 4, vertical: character
// height / 8), so the arrangement keeps its proportions whatever the font.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

class QDialog;
class QFont;
class QRect;
class QSize;
class QString;
class QWidget;

namespace faltrix {

// Numeric identifiers of the dialog's controls.
enum ControlId : int {
    kCodeButton = 1,
    kExitButton = 2,
    kShowPreviewButton = 3,
    kInputDetailButton = 4,
    kOutputDetailButton = 5,
    kInputDisplayButton = 6,
    kOutputDisplayButton = 7,
    kInputPathField = 1000,
    kOutputPathField = 1001,
    kStatusBox = 1002,
    kInputChooserButton = 1003,
    kOutputChooserButton = 1004,
    kProgressBar = 1005,
    kInputPluginList = 1006,
    kOutputPluginList = 1007,
    kCodingOptionsGroup = 1008,
    kSizeArrow = 1009,
    kWidthLabel = 1010,
    kHeightLabel = 1011,
    kKeepAspectCheck = 1012,
    kInputHeightField = 1013,
    kInputWidthField = 1014,
    kOutputHeightField = 1015,
    kOutputWidthField = 1016,
    kAntiAliasCheck = 1017,
    kWidthUnitList = 1018,
    kHeightUnitList = 1019,
    kPreviewBox = 1020,
    kAutoPreviewCheck = 1021,
};

enum class ControlKind {
    PushButton,
    Edit,
    ComboBox,
    GroupBox,
    Static,
    CheckBox,
    ProgressBar,
    PreviewFrame
};

// Styles that change what a control does or shows.
enum ControlStyle : uint32_t {
    kStyleNone = 0,
    kStyleDisabled = 1u << 0,      // created disabled
    kStyleReadOnly = 1u << 1,      // edit: the user cannot change the text
    kStyleNumber = 1u << 2,        // edit: digits only
    kStyleAlignRight = 1u << 3,    // edit: text right-aligned
    kStyleAlignCenter = 1u << 4,   // edit: text centred
    kStyleMultiline = 1u << 5,     // edit: several lines
    kStyleAutoHScroll = 1u << 6,   // edit/combo: scrolls sideways with the text
    kStyleAutoVScroll = 1u << 7,   // edit: scrolls down with the text
    kStyleDropDownList = 1u << 8,  // combo: pick from the list only, no typing
    kStyleVScroll = 1u << 9,       // combo: the list has a vertical scroll bar
    kStyleNoIntegralHeight = 1u << 10,
    kStyleAutoCheckBox = 1u << 11,  // check box that toggles itself
    kStyleSmooth = 1u << 12,        // progress bar: a smooth bar, no blocks
    kStyleWhiteFrame = 1u << 13,    // static: a thin white-filled frame
    kStyleNotify = 1u << 14,        // static: reports clicks
};

struct ControlSpec {
    int id;
    ControlKind kind;
    const char *text;         // UTF-8
    int x, y, width, height;  // dialog units; a combo box's height includes its dropped list
    uint32_t styles;
};

struct LayoutSpec {
    int id;                                 // 102 (narrow screens) or 103 (wide screens)
    int width, height;                      // dialog units
    bool captionBar;                        // 103: caption with close box; 102: none
    std::span<const ControlSpec> controls;  // creation order, which is also the tab order
};

// The layout with this template number (102 or 103); null for any other number.
const LayoutSpec *FindLayout(int id);

// The dialog font: the system's sans-serif at 9 points.
QFont DialogFont();

// Dialog-unit to pixel conversion with a font's base units, both multiplied by `scale`.
class DialogUnits {
public:
    explicit DialogUnits(const QFont &font, double scale = 1.0);
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;
    int BaseX() const { return baseX_; }
    int BaseY() const { return baseY_; }

private:
    int baseX_;
    int baseY_;
    double scale_;
};

// Makes the widget of a control the builder does not make itself (the preview box); null
// lets the builder make its default.
using ControlFactory = std::function<QWidget *(const ControlSpec &spec, QWidget *parent)>;

// The controls of a built dialog, by ID and in creation order.
class ControlMap {
public:
    QWidget *Find(int id) const;
    const std::vector<std::pair<int, QWidget *>> &InOrder() const { return controls_; }
    void Add(int id, QWidget *widget) { controls_.emplace_back(id, widget); }

private:
    std::vector<std::pair<int, QWidget *>> controls_;
};

// Creates the controls of `layout` as children of `dialog`, sizes the dialog, sets its font
// and its window flags (caption or none) and the tab order. Each control carries its ID in
// the property "controlId".
ControlMap BuildLayout(QDialog *dialog, const LayoutSpec &layout,
                       const ControlFactory &factory = {});

// Fits a built dialog to its texts: the dialog units grow by one factor (the proportions
// stay) until every caption, and every entry of the lists not in `unmeasured`, fits inside
// its control as the style draws it; when the dialog then exceeds `largest`, the font
// shrinks in half points until it fits (down to 5 points); when no size fits, the lists'
// drop-down arrows give half their room to the text and the sizes are tried again, and when
// still none fits, the one that overruns least is kept. The controls keep their order.
void FitLayout(QDialog *dialog, const LayoutSpec &layout, const ControlMap &controls, QSize largest,
               std::span<const int> unmeasured = {});

// How many pixels a control lacks to show its text in full: the text's width beyond the room
// the style gives it, and its height beyond the control's. Lists show their longest entry;
// edits and other controls lack nothing.
QSize TextShortfall(const QWidget *control);

// Registers the icon resource (":/faltrix/faltrix.svg", "faltrix-16.png", "faltrix-32.png").
void InitResources();

// The text a control carries: a button's, label's, check box's or group box's caption (a
// mnemonic's '&' left out), an edit's contents, or a progress bar's window text.
QString ControlText(const QWidget *control);

// The kind the builder made a widget as (from the property "controlKind").
ControlKind KindOf(const QWidget *control);

}  // namespace faltrix
