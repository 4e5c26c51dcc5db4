// The two dialog layouts: 102 for screens up to 240 pixels wide (portrait, no caption bar)
// and 103 for wider screens (landscape, caption bar with close box). Rows are in creation
// order, which is also the order of keyboard travel.
#include "faltrix/resources/layouts.h"

#include <array>

namespace faltrix {
namespace {

using K = ControlKind;

constexpr uint32_t kPathEdit = kStyleAutoHScroll;
constexpr uint32_t kStatusEdit =
    kStyleMultiline | kStyleAlignCenter | kStyleReadOnly | kStyleAutoHScroll | kStyleAutoVScroll;
constexpr uint32_t kInputSize = kStyleReadOnly | kStyleNumber | kStyleAlignRight | kStyleMultiline | kStyleAutoHScroll;
constexpr uint32_t kOutputSize = kStyleNumber | kStyleAlignRight | kStyleMultiline | kStyleAutoHScroll;
constexpr uint32_t kUnitList = kStyleDisabled | kStyleDropDownList | kStyleNoIntegralHeight;
constexpr uint32_t kCheck = kStyleAutoCheckBox;
constexpr uint32_t kPreview = kStyleWhiteFrame | kStyleNotify;

constexpr std::array kLayout102 = {
    ControlSpec{kCodeButton, K::PushButton, "Code", 80, 126, 33, 14, 0},
    ControlSpec{kExitButton, K::PushButton, "Exit", 116, 126, 18, 14, 0},
    ControlSpec{kInputPathField, K::Edit, "", 20, 3, 114, 12, kPathEdit},
    ControlSpec{kOutputPathField, K::Edit, "", 20, 17, 114, 12, kPathEdit},
    ControlSpec{kStatusBox, K::Edit, "", 39, 155, 95, 36, kStatusEdit},
    ControlSpec{kInputChooserButton, K::PushButton, "IN", 1, 2, 19, 14, 0},
    ControlSpec{kOutputChooserButton, K::PushButton, "OUT", 1, 16, 19, 14, 0},
    ControlSpec{kProgressBar, K::ProgressBar, "Progress1", 1, 127, 77, 13, kStyleSmooth},
    ControlSpec{kInputDetailButton, K::PushButton, "Detail", 109, 31, 25, 14, 0},
    ControlSpec{kInputPluginList, K::ComboBox, "", 1, 31, 108, 50,
                kStyleDropDownList | kStyleAutoHScroll | kStyleVScroll},
    ControlSpec{kOutputPluginList, K::ComboBox, "", 1, 46, 108, 50, kStyleDropDownList | kStyleVScroll},
    ControlSpec{kOutputDetailButton, K::PushButton, "Detail", 109, 46, 25, 14, 0},
    ControlSpec{kPreviewBox, K::PreviewFrame, "", 1, 142, 37, 49, kPreview},
    ControlSpec{kCodingOptionsGroup, K::GroupBox, "Coding options", 1, 61, 133, 64, 0},
    ControlSpec{kAntiAliasCheck, K::CheckBox, "Enable anti-alias(24bits only)", 8, 112, 108, 11, kCheck},
    ControlSpec{kInputWidthField, K::Edit, "", 39, 84, 24, 12, kInputSize},
    ControlSpec{kWidthLabel, K::Static, "Width", 17, 86, 19, 8, 0},
    ControlSpec{kHeightLabel, K::Static, "Height", 17, 99, 22, 11, 0},
    ControlSpec{kSizeArrow, K::Static, ">", 66, 93, 8, 9, 0},
    ControlSpec{kKeepAspectCheck, K::CheckBox, "Keep aspect-ratio", 9, 71, 66, 11, kCheck},
    ControlSpec{kInputHeightField, K::Edit, "", 39, 98, 24, 12, kInputSize},
    ControlSpec{kOutputWidthField, K::Edit, "", 74, 84, 24, 12, kOutputSize},
    ControlSpec{kOutputHeightField, K::Edit, "", 74, 98, 24, 12, kOutputSize},
    ControlSpec{kAutoPreviewCheck, K::CheckBox, "", 41, 142, 9, 12, kCheck},
    ControlSpec{kWidthUnitList, K::ComboBox, "", 101, 82, 29, 50, kUnitList},
    ControlSpec{kHeightUnitList, K::ComboBox, "", 101, 97, 29, 50, kUnitList},
    ControlSpec{kShowPreviewButton, K::PushButton, "Show Preview", 51, 141, 53, 14, 0},
};

constexpr std::array kLayout103 = {
    ControlSpec{kCodeButton, K::PushButton, "Code Now!", 136, 110, 91, 14, 0},
    ControlSpec{kInputPathField, K::Edit, "", 20, 3, 114, 12, kPathEdit},
    ControlSpec{kOutputPathField, K::Edit, "", 20, 17, 114, 12, kPathEdit},
    ControlSpec{kStatusBox, K::Edit, "", 137, 62, 90, 35, kStatusEdit},
    ControlSpec{kInputChooserButton, K::PushButton, "IN", 1, 2, 19, 14, 0},
    ControlSpec{kOutputChooserButton, K::PushButton, "OUT", 1, 16, 19, 14, 0},
    ControlSpec{kProgressBar, K::ProgressBar, "Progress1", 137, 97, 90, 13, kStyleSmooth},
    ControlSpec{kInputDetailButton, K::PushButton, "Detail", 135, 31, 26, 14, 0},
    ControlSpec{kInputPluginList, K::ComboBox, "", 1, 31, 133, 50,
                kStyleDropDownList | kStyleAutoHScroll | kStyleVScroll},
    ControlSpec{kOutputPluginList, K::ComboBox, "", 1, 46, 133, 50, kStyleDropDownList | kStyleVScroll},
    ControlSpec{kOutputDetailButton, K::PushButton, "Detail", 135, 46, 26, 14, 0},
    ControlSpec{kPreviewBox, K::PreviewFrame, "", 162, 3, 64, 43, kPreview},
    ControlSpec{kCodingOptionsGroup, K::GroupBox, "Coding options", 1, 61, 133, 63, 0},
    ControlSpec{kAntiAliasCheck, K::CheckBox, "Enable Anti-alias(24bits only)", 8, 109, 107, 11, kCheck},
    ControlSpec{kInputWidthField, K::Edit, "", 39, 81, 24, 12, kInputSize},
    ControlSpec{kWidthLabel, K::Static, "Width", 17, 83, 19, 8, 0},
    ControlSpec{kHeightLabel, K::Static, "Height", 17, 96, 22, 11, 0},
    ControlSpec{kSizeArrow, K::Static, ">", 66, 90, 8, 9, 0},
    ControlSpec{kKeepAspectCheck, K::CheckBox, "Keep aspect-ratio", 9, 69, 66, 11, kCheck},
    ControlSpec{kInputHeightField, K::Edit, "", 39, 95, 24, 12, kInputSize},
    ControlSpec{kOutputWidthField, K::Edit, "", 74, 81, 24, 12, kOutputSize},
    ControlSpec{kOutputHeightField, K::Edit, "", 74, 95, 24, 12, kOutputSize},
    ControlSpec{kAutoPreviewCheck, K::CheckBox, "", 162, 48, 9, 12, kCheck},
    ControlSpec{kWidthUnitList, K::ComboBox, "", 101, 79, 29, 50, kUnitList},
    ControlSpec{kHeightUnitList, K::ComboBox, "", 101, 94, 29, 50, kUnitList},
    ControlSpec{kInputDisplayButton, K::PushButton, "Display", 135, 3, 26, 14, kStyleDisabled},
    ControlSpec{kOutputDisplayButton, K::PushButton, "Display", 135, 17, 26, 14, kStyleDisabled},
    ControlSpec{kShowPreviewButton, K::PushButton, "Show Preview", 172, 47, 53, 14, 0},
};

constexpr LayoutSpec kNarrow{102, 135, 193, false, kLayout102};
constexpr LayoutSpec kWide{103, 227, 125, true, kLayout103};

}  // namespace

const LayoutSpec *FindLayout(int id) {
    if (id == kNarrow.id) return &kNarrow;
    if (id == kWide.id) return &kWide;
    return nullptr;
}

}  // namespace faltrix
