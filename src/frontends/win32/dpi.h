// The screen's resolution for the windows' layouts. The program declares itself
// aware of the system's resolution setting (in its manifest), so the system does
// not stretch its windows: fonts are made for the setting, and every length laid
// out for 96 dots per inch is scaled here to match them.
#pragma once

#include <windows.h>

namespace ui {

// The screen's dots per inch as the system sets them; 96 when unknown.
inline int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

// A length laid out for 96 dots per inch, at `dpi`.
inline int AtDpi(int pixels, int dpi) { return MulDiv(pixels, dpi, 96); }

// A font of `points` at `dpi`.
inline HFONT MakeUiFont(int points, bool bold, int dpi) {
  return CreateFontA(-MulDiv(points, dpi, 72), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                     FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
}

}  // namespace ui
