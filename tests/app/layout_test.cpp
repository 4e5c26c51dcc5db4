// Both layouts: every control with its ID, kind, text and enabled state, the creation and
// tab order, the caption bar, and the choice of layout by screen width.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>

#include "faltrix/app/application.h"
#include "faltrix/app/main_dialog.h"
#include "test_support.h"

namespace faltrix {
namespace {

struct Expected {
    int id;
    const char *className;  // the Qt class the control is made as
    const char *text102;    // null: not in layout 102
    const char *text103;    // null: not in layout 103
    bool enabled;
};

const Expected kControls[] = {
    {1, "QPushButton", "Code", "Code Now!", true},
    {2, "QPushButton", "Exit", nullptr, true},
    {3, "QPushButton", "Show Preview", "Show Preview", true},
    {4, "QPushButton", "Detail", "Detail", true},
    {5, "QPushButton", "Detail", "Detail", true},
    {6, "QPushButton", nullptr, "Display", false},
    {7, "QPushButton", nullptr, "Display", false},
    {1000, "QLineEdit", "", "", true},
    {1001, "QLineEdit", "", "", true},
    {1002, "QTextEdit", "Faltrix v1.01\nPicture converter by the Faltrix authors",
     "Faltrix v1.01\nPicture converter by the Faltrix authors", true},
    {1003, "QPushButton", "IN", "IN", true},
    {1004, "QPushButton", "OUT", "OUT", true},
    {1005, "QProgressBar", "Progress1", "Progress1", true},
    {1006, "QComboBox", "Input one", "Input one", true},
    {1007, "QComboBox", "Output one", "Output one", true},
    {1008, "QGroupBox", "Coding options", "Coding options", true},
    {1009, "QLabel", ">", ">", true},
    {1010, "QLabel", "Width", "Width", true},
    {1011, "QLabel", "Height", "Height", true},
    {1012, "QCheckBox", "Keep aspect-ratio", "Keep aspect-ratio", true},
    {1013, "QLineEdit", "", "", true},
    {1014, "QLineEdit", "", "", true},
    {1015, "QLineEdit", "", "", true},
    {1016, "QLineEdit", "", "", true},
    {1017, "QCheckBox", "Enable anti-alias(24bits only)", "Enable Anti-alias(24bits only)", true},
    {1018, "QComboBox", "Pixel", "Pixel", false},
    {1019, "QComboBox", "Pixel", "Pixel", false},
    {1020, "QFrame", "", "", true},
    {1021, "QCheckBox", "", "", true},
};

const std::vector<int> kOrder102 = {1,    2,    1000, 1001, 1002, 1003, 1004, 1005, 4,    1006, 1007, 5,    1020, 1008,
                                    1017, 1014, 1010, 1011, 1009, 1012, 1013, 1016, 1015, 1021, 1018, 1019, 3};
const std::vector<int> kOrder103 = {1,    1000, 1001, 1002, 1003, 1004, 1005, 4,    1006, 1007, 5,    1020, 1008, 1017,
                                    1014, 1010, 1011, 1009, 1012, 1013, 1016, 1015, 1021, 1018, 1019, 6,    7,    3};

class LayoutTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        test::App();
        folders_.AddDialogPlugin(true, QStringLiteral("a.so"), QStringLiteral("in_one"));
        folders_.AddDialogPlugin(false, QStringLiteral("a.so"), QStringLiteral("out_one"));
        dialog_ = std::make_unique<MainDialog>(GetParam());
    }
    test::PluginFolders folders_;
    test::ScriptedInteraction answers_;
    std::unique_ptr<MainDialog> dialog_;
};

TEST_P(LayoutTest, EveryControlHasItsKindTextAndEnabledState) {
    const bool narrow = GetParam() == 102;
    for (const Expected &expected : kControls) {
        SCOPED_TRACE(expected.id);
        const char *text = narrow ? expected.text102 : expected.text103;
        QWidget *control = dialog_->Control(expected.id);
        if (text == nullptr) {
            EXPECT_EQ(control, nullptr);
            continue;
        }
        ASSERT_NE(control, nullptr);
        EXPECT_STREQ(control->metaObject()->className(), expected.className);
        EXPECT_EQ(ControlText(control), QString::fromUtf8(text));
        EXPECT_EQ(control->isEnabled(), expected.enabled);
        EXPECT_EQ(control->property("controlId").toInt(), expected.id);
        if (expected.id == kPreviewBox) {
            EXPECT_NE(dynamic_cast<PreviewBox *>(control), nullptr);
        }
    }
}

TEST_P(LayoutTest, StylesThatMatterHold) {
    for (int id : {1002, 1013, 1014}) {
        SCOPED_TRACE(id);
        const QWidget *control = dialog_->Control(id);
        if (const auto *edit = qobject_cast<const QLineEdit *>(control)) {
            EXPECT_TRUE(edit->isReadOnly());
        }
        if (const auto *edit = qobject_cast<const QTextEdit *>(control)) {
            EXPECT_TRUE(edit->isReadOnly());
        }
    }
    for (int id : {1000, 1001, 1015, 1016}) EXPECT_FALSE(qobject_cast<QLineEdit *>(dialog_->Control(id))->isReadOnly());
    for (int id : {1006, 1007, 1018, 1019}) EXPECT_FALSE(qobject_cast<QComboBox *>(dialog_->Control(id))->isEditable());
    // The output size fields take digits only.
    auto *width = qobject_cast<QLineEdit *>(dialog_->Control(1016));
    int position = 0;
    QString typed = QStringLiteral("12a");
    EXPECT_EQ(width->validator()->validate(typed, position), QValidator::Invalid);
    EXPECT_EQ(qobject_cast<QLineEdit *>(dialog_->Control(1016))->alignment() & Qt::AlignRight, Qt::AlignRight);
    // Both unit lists offer "Pixel" and "%", "Pixel" shown.
    auto *units = qobject_cast<QComboBox *>(dialog_->Control(1018));
    ASSERT_EQ(units->count(), 2);
    EXPECT_EQ(units->itemText(1), QStringLiteral("%"));
}

TEST_P(LayoutTest, CreationOrderIsTheTabOrder) {
    const std::vector<int> &expected = GetParam() == 102 ? kOrder102 : kOrder103;
    std::vector<int> created;
    for (const auto &[id, widget] : dialog_->Controls().InOrder()) created.push_back(id);
    EXPECT_EQ(created, expected);

    // Follow the focus chain from the first control that takes the focus by Tab.
    std::vector<QWidget *> focusable;
    for (const auto &[id, widget] : dialog_->Controls().InOrder()) {
        if ((widget->focusPolicy() & Qt::TabFocus) != 0) focusable.push_back(widget);
    }
    ASSERT_FALSE(focusable.empty());
    QWidget *current = focusable.front();
    for (size_t i = 1; i < focusable.size(); ++i) {
        QWidget *next = current->nextInFocusChain();
        while (next != nullptr && (next->focusPolicy() & Qt::TabFocus) == 0) next = next->nextInFocusChain();
        ASSERT_EQ(next, focusable[i]) << "after control " << current->property("controlId").toInt();
        current = next;
    }
}

TEST_P(LayoutTest, TitleCaptionAndSize) {
    EXPECT_EQ(dialog_->windowTitle(), QStringLiteral("Faltrix v1.01"));
    EXPECT_FALSE(dialog_->windowIcon().isNull());
    const Qt::WindowFlags flags = dialog_->windowFlags();
    // The narrow layout has no caption bar; the wide one has one with a close box.
    EXPECT_EQ((flags & Qt::WindowTitleHint) != 0, GetParam() == 103);
    EXPECT_EQ((flags & Qt::WindowCloseButtonHint) != 0, GetParam() == 103);
    const DialogUnits units(DialogFont());
    const QSize expected = GetParam() == 102 ? QSize(units.X(135), units.Y(193)) : QSize(units.X(227), units.Y(125));
    EXPECT_EQ(dialog_->size(), expected);
    // Every control lies inside the dialog.
    for (const auto &[id, widget] : dialog_->Controls().InOrder()) {
        EXPECT_TRUE(dialog_->rect().contains(widget->geometry())) << id;
    }
}

TEST_P(LayoutTest, CodingOptionsGroupLiesAboveTheOtherControls) {
    // The children's stacking order runs from bottom to top.
    const QObjectList children = dialog_->children();
    auto position = [&](int id) { return children.indexOf(dialog_->Control(id)); };
    for (int id = 1008; id < 1019; ++id) EXPECT_LT(position(id), position(id + 1)) << id;
    EXPECT_GT(position(1008), position(kPreviewBox));
    EXPECT_GT(position(1008), position(kCodeButton));
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutTest, ::testing::Values(102, 103),
                         [](const ::testing::TestParamInfo<int> &info) { return "Layout" + std::to_string(info.param); });

TEST(LayoutChoice, ScreensUpTo240PixelsGetTheNarrowLayout) {
    EXPECT_EQ(LayoutForScreenWidth(240), 102);
    EXPECT_EQ(LayoutForScreenWidth(241), 103);
    EXPECT_EQ(LayoutForScreenWidth(1), 102);
    EXPECT_EQ(LayoutForScreenWidth(1920), 103);
}

TEST(DialogUnitsTest, FollowTheFontsBaseUnits) {
    test::App();
    const DialogUnits units(DialogFont());
    EXPECT_EQ(units.X(4), units.BaseX());
    EXPECT_EQ(units.Y(8), units.BaseY());
    // Neighbouring rectangles meet exactly: 1003 (y 2, h 14) and 1004 (y 16).
    EXPECT_EQ(units.Rect(1, 2, 19, 14).bottom() + 1, units.Rect(1, 16, 19, 14).top());
}

}  // namespace
}  // namespace faltrix
