// How the built dialog looks, on Qt's offscreen platform: the window's margins as the style
// keeps them, the progress bar told apart from a text field, the automatic-preview box's
// caption where the layout has room.
#include <gtest/gtest.h>

#include <QtWidgets>

#include "faltrix/app/dialog_builder.h"

namespace faltrix {
namespace {

using namespace Qt::StringLiterals;

void StartApp() {
    static int argc = 1;
    static char *argv[] = {const_cast<char *>("app_look_test"), nullptr};
    [[maybe_unused]] static QApplication *app = new QApplication(argc, argv);
}

// The colour a widget paints at its centre.
QRgb PaintedCentre(QWidget *widget) {
    const QImage image = widget->grab().toImage();
    return image.pixel(image.width() / 2, image.height() / 2);
}

// Each layout fitted to a roomy screen and to the 240 x 320 one layout 102 is made for.
struct Case {
    int layout;
    QSize screen;
};
class Look : public ::testing::TestWithParam<Case> {};
INSTANTIATE_TEST_SUITE_P(Screens, Look,
                         ::testing::Values(Case{102, {1024, 768}}, Case{103, {1024, 768}},
                                           Case{102, {240, 320}}),
                         [](const auto &info) {
                             return "Layout" + std::to_string(info.param.layout) + "On" +
                                    std::to_string(info.param.screen.width());
                         });

TEST_P(Look, MarginsTheStylesWhereTheyFitAndABarThatIsNoTextField) {
    StartApp();
    const auto [id, screen] = GetParam();
    QDialog dialog;
    const LayoutSpec &layout = *FindLayout(id);
    const ControlMap controls = BuildLayout(&dialog, layout);
    FitLayout(&dialog, layout, controls, screen);
    ASSERT_EQ(dialog.size().boundedTo(screen), dialog.size());
    // Beyond the style's margins the controls keep only the layout's own edge, a dialog unit
    // or two; on the small screen the margins may narrow or go.
    QRect bounds;
    for (const auto &[control, widget] : controls.InOrder()) bounds |= widget->geometry();
    QStyle *style = dialog.style();
    const int kept[] = {bounds.left(), bounds.top(), dialog.width() - 1 - bounds.right(),
                        dialog.height() - 1 - bounds.bottom()};
    const QStyle::PixelMetric sides[] = {QStyle::PM_LayoutLeftMargin, QStyle::PM_LayoutTopMargin,
                                         QStyle::PM_LayoutRightMargin,
                                         QStyle::PM_LayoutBottomMargin};
    for (int side = 0; side < 4; ++side) {
        const int margin = style->pixelMetric(sides[side], nullptr, &dialog);
        ASSERT_GT(margin, 2);
        if (screen.width() > 240) EXPECT_GE(kept[side], margin) << side;
        EXPECT_LE(kept[side], margin + 6) << side;
    }
    // An empty progress bar is not painted as the empty path fields beside it are.
    dialog.show();
    auto *bar = qobject_cast<QProgressBar *>(controls.Find(kProgressBar));
    ASSERT_EQ(bar->value() <= bar->minimum(), true);
    EXPECT_NE(PaintedCentre(bar), PaintedCentre(controls.Find(kOutputPathField)));
    // The automatic-preview box has a caption in layout 102, where its row has room.
    EXPECT_EQ(ControlText(controls.Find(kAutoPreviewCheck)), id == 102 ? u"Auto"_s : QString());
}

}  // namespace
}  // namespace faltrix
