// The builder that turns a dialog layout into widgets, and fits the dialog to its texts.
//
// It converts dialog units to pixels with the dialog font's base units (horizontal: average
// character width / 4, vertical: character height / 8), so the arrangement keeps its
// proportions whatever the font.
#pragma once

#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "faltrix/resources/layouts.h"

class QDialog;
class QFont;
class QRect;
class QSize;
class QString;
class QWidget;

namespace faltrix {

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
// stay) until every caption and list entry of the controls not in `unmeasured` fits inside
// its control as the style draws it; when the dialog then exceeds `largest`, the font
// shrinks in half points until it fits (down to 5 points), the window's margins (the
// style's) narrowing or going before it loses more than two points; when no size fits, the
// lists' drop-down arrows give half their room to the text and the sizes are tried again,
// and when still none fits, the one that overruns least is kept, without margins. The
// controls keep their order.
void FitLayout(QDialog *dialog, const LayoutSpec &layout, const ControlMap &controls, QSize largest,
               std::span<const int> unmeasured = {});

// How many pixels a control lacks to show its text in full: the text's width beyond the room
// the style gives it, and its height beyond the control's. Lists show their longest entry;
// edits and other controls lack nothing.
QSize TextShortfall(const QWidget *control);

// The text a control carries: a button's, label's, check box's or group box's caption (a
// mnemonic's '&' left out), an edit's contents, or a progress bar's window text.
QString ControlText(const QWidget *control);

// The kind the builder made a widget as (from the property "controlKind").
ControlKind KindOf(const QWidget *control);

}  // namespace faltrix
