// The program's life: single instance, layout by screen width, the modal dialog.
#pragma once

#include <functional>

class QApplication;

namespace faltrix {

class MainDialog;

// The dialog layout for a screen of this width in pixels: 102 up to and including 240, 103
// above.
int LayoutForScreenWidth(int screenWidth);

// The main entry after QApplication exists: 0 when another instance runs (it was asked to
// come to the front), else the modal dialog's result. `onShown` (optional) is called once
// the dialog is first shown.
int RunFaltrix(QApplication &app, const std::function<void(MainDialog &)> &onShown = {});

}  // namespace faltrix
