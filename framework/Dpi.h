// Screen resolution of windows. Sizes in the forms are given in pixels at
// 96 dpi (100 %) and scaled to the dpi of the monitor a window is on; the
// program declares per-monitor awareness (v2), so Windows leaves the
// scaling to it and tells a window when it moves to a monitor with another
// dpi (WM_DPICHANGED).
#pragma once

#include <windows.h>

namespace vcl {

// The dpi at 100 %.
constexpr int kDesignDpi = 96;

// The dpi of the window's monitor: GetDpiForWindow where the system has it
// (Windows 10 1607 and later), otherwise the resolution of the window's
// device context (the system dpi).
int WindowDpi(HWND hwnd);
// The system dpi: the resolution of the screen's device context.
int SystemDpi();
// A size in 96-dpi pixels at dpi, and back.
inline int ScaleToDpi(int pixels96, int dpi) { return MulDiv(pixels96, dpi, kDesignDpi); }
inline int UnscaleFromDpi(int pixels, int dpi) { return MulDiv(pixels, kDesignDpi, dpi); }
// AdjustWindowRectEx with the frame metrics of dpi where the system knows
// them per dpi, else those of the system dpi.
void AdjustWindowRectForDpi(RECT& rect, DWORD style, bool menu, DWORD exStyle, int dpi);

}  // namespace vcl
