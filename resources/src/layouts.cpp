// The two dialog layouts: 102 for screens up to 240 pixels wide (portrait, no caption bar)
// and 103 for wider screens (landscape, caption bar with close box). Both hold the same
// controls with the same styles, bar the Exit button (102 only) and the two Display buttons
// (103 only), so one table holds them side by side and each layout is picked from it at
// compile time. Rows are in creation order; the dialog orders keyboard travel by position.
#include "faltrix/resources/layouts.h"

#include <array>
#include <cstddef>

namespace faltrix {
namespace {

using K = ControlKind;

constexpr uint32_t kPathEdit = kStyleAutoHScroll;
constexpr uint32_t kStatusEdit =
    kStyleMultiline | kStyleAlignCenter | kStyleReadOnly | kStyleAutoHScroll | kStyleAutoVScroll;
constexpr uint32_t kInputSize =
    kStyleReadOnly | kStyleNumber | kStyleAlignRight | kStyleMultiline | kStyleAutoHScroll;
constexpr uint32_t kOutputSize =
    kStyleNumber | kStyleAlignRight | kStyleMultiline | kStyleAutoHScroll;
constexpr uint32_t kInputList = kStyleDropDownList | kStyleAutoHScroll | kStyleVScroll;
constexpr uint32_t kOutputList = kStyleDropDownList | kStyleVScroll;
constexpr uint32_t kUnitList = kStyleDisabled | kStyleDropDownList | kStyleNoIntegralHeight;
constexpr uint32_t kCheck = kStyleAutoCheckBox;
constexpr uint32_t kPreview = kStyleWhiteFrame | kStyleNotify;

// A control's text and rectangle (dialog units) in one layout; no text: not in that layout.
struct Place {
    const char *text;
    int x, y, width, height;
};
constexpr Place kAbsent{nullptr, 0, 0, 0, 0};

struct Row {
    int id;
    ControlKind kind;
    uint32_t styles;
    Place narrow, wide;  // in layout 102, in layout 103
};

constexpr Row kRows[] = {
    {kCodeButton, K::PushButton, 0, {"Code", 80, 126, 33, 14}, {"Code Now!", 136, 110, 91, 14}},
    {kExitButton, K::PushButton, 0, {"Exit", 116, 126, 18, 14}, kAbsent},
    {kInputPathField, K::Edit, kPathEdit, {"", 20, 3, 114, 12}, {"", 20, 3, 114, 12}},
    {kOutputPathField, K::Edit, kPathEdit, {"", 20, 17, 114, 12}, {"", 20, 17, 114, 12}},
    {kStatusBox, K::Edit, kStatusEdit, {"", 39, 155, 95, 36}, {"", 137, 62, 90, 35}},
    {kInputChooserButton, K::PushButton, 0, {"IN", 1, 2, 19, 14}, {"IN", 1, 2, 19, 14}},
    {kOutputChooserButton, K::PushButton, 0, {"OUT", 1, 16, 19, 14}, {"OUT", 1, 16, 19, 14}},
    {kProgressBar,
     K::ProgressBar,
     kStyleSmooth,
     {"Progress1", 1, 127, 77, 13},
     {"Progress1", 137, 97, 90, 13}},
    {kInputDetailButton,
     K::PushButton,
     0,
     {"Detail", 109, 31, 25, 14},
     {"Detail", 135, 31, 26, 14}},
    {kInputPluginList, K::ComboBox, kInputList, {"", 1, 31, 108, 50}, {"", 1, 31, 133, 50}},
    {kOutputPluginList, K::ComboBox, kOutputList, {"", 1, 46, 108, 50}, {"", 1, 46, 133, 50}},
    {kOutputDetailButton,
     K::PushButton,
     0,
     {"Detail", 109, 46, 25, 14},
     {"Detail", 135, 46, 26, 14}},
    {kPreviewBox, K::PreviewFrame, kPreview, {"", 1, 142, 37, 49}, {"", 162, 3, 64, 43}},
    {kCodingOptionsGroup,
     K::GroupBox,
     0,
     {"Coding options", 1, 61, 133, 64},
     {"Coding options", 1, 61, 133, 63}},
    {kAntiAliasCheck,
     K::CheckBox,
     kCheck,
     {"Enable anti-alias(24bits only)", 8, 112, 108, 11},
     {"Enable Anti-alias(24bits only)", 8, 109, 107, 11}},
    {kInputWidthField, K::Edit, kInputSize, {"", 39, 84, 24, 12}, {"", 39, 81, 24, 12}},
    {kWidthLabel, K::Static, 0, {"Width", 17, 86, 19, 8}, {"Width", 17, 83, 19, 8}},
    {kHeightLabel, K::Static, 0, {"Height", 17, 99, 22, 11}, {"Height", 17, 96, 22, 11}},
    {kSizeArrow, K::Static, 0, {">", 66, 93, 8, 9}, {">", 66, 90, 8, 9}},
    {kKeepAspectCheck,
     K::CheckBox,
     kCheck,
     {"Keep aspect-ratio", 9, 71, 66, 11},
     {"Keep aspect-ratio", 9, 69, 66, 11}},
    {kInputHeightField, K::Edit, kInputSize, {"", 39, 98, 24, 12}, {"", 39, 95, 24, 12}},
    {kOutputWidthField, K::Edit, kOutputSize, {"", 74, 84, 24, 12}, {"", 74, 81, 24, 12}},
    {kOutputHeightField, K::Edit, kOutputSize, {"", 74, 98, 24, 12}, {"", 74, 95, 24, 12}},
    // Layout 102 has room on the preview row for the box's caption (the button moves
    // right into it); layout 103 has none, and names the box only to screen readers.
    {kAutoPreviewCheck, K::CheckBox, kCheck, {"Auto", 41, 142, 28, 12}, {"", 162, 48, 9, 12}},
    {kWidthUnitList, K::ComboBox, kUnitList, {"", 101, 82, 29, 50}, {"", 101, 79, 29, 50}},
    {kHeightUnitList, K::ComboBox, kUnitList, {"", 101, 97, 29, 50}, {"", 101, 94, 29, 50}},
    {kInputDisplayButton, K::PushButton, kStyleDisabled, kAbsent, {"Display", 135, 3, 26, 14}},
    {kOutputDisplayButton, K::PushButton, kStyleDisabled, kAbsent, {"Display", 135, 17, 26, 14}},
    {kShowPreviewButton,
     K::PushButton,
     0,
     {"Show Preview", 70, 141, 53, 14},
     {"Show Preview", 172, 47, 53, 14}},
};

constexpr std::size_t CountIn(Place Row::*layout) {
    std::size_t count = 0;
    for (const Row &row : kRows) count += (row.*layout).text != nullptr ? 1 : 0;
    return count;
}

// The controls of one layout, in the table's order.
template <Place Row::*layout>
constexpr auto ControlsOf() {
    std::array<ControlSpec, CountIn(layout)> controls{};
    std::size_t next = 0;
    for (const Row &row : kRows) {
        const Place &place = row.*layout;
        if (place.text == nullptr) continue;
        controls[next++] = {row.id,  row.kind,    place.text,   place.x,
                            place.y, place.width, place.height, row.styles};
    }
    return controls;
}

constexpr auto kLayout102 = ControlsOf<&Row::narrow>();
constexpr auto kLayout103 = ControlsOf<&Row::wide>();

constexpr LayoutSpec kNarrow{102, 135, 193, false, kLayout102};
constexpr LayoutSpec kWide{103, 227, 125, true, kLayout103};

}  // namespace

const LayoutSpec *FindLayout(int id) {
    if (id == kNarrow.id) return &kNarrow;
    if (id == kWide.id) return &kWide;
    return nullptr;
}

}  // namespace faltrix
