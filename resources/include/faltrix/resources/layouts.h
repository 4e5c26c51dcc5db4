// The two dialog layouts as data, and the program's icon.
//
// Each layout is a table of controls in creation order: ID, kind, text, rectangle in dialog
// units and the styles that matter. The dialog's builder (app/) turns one into widgets.
#pragma once

#include <cstdint>
#include <span>

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

// Registers the icon resource (":/faltrix/faltrix.svg", "faltrix-16.png", "faltrix-32.png").
void InitResources();

}  // namespace faltrix
