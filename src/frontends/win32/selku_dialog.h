// The Win32 window of the update-variant dialog: a modal dialog over the main
// window with the three panels and the controls of TFrm_SelKU. What tests need to
// find it and its controls.
#pragma once

#include "installer/selku.h"

namespace ui {

// Control ids: the base plus the control's place in TSelKUControl. Controls are
// children of their panel, panels children of the dialog.
inline constexpr int kSelKUIdBase = 300;
inline int SelKUControlId(TSelKUControl control) {
  return kSelKUIdBase + static_cast<int>(control);
}

// The window class of the dialog's three panels.
extern const char* const kSelKUPanelClassName;

// The dialog's client area.
inline constexpr int kSelKUClientWidth = 752;
inline constexpr int kSelKUClientHeight = 338;

}  // namespace ui
