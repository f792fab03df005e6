// The size a text takes in the font a control shows it in, for tests that
// check that texts fit their controls.
#pragma once

#include <windows.h>

#include <string>

#include "SysUtils.h"

namespace testutil {

inline SIZE TextExtent(HWND control, const std::wstring& text) {
  vcl::TWindowDC dc = vcl::WindowDC(control);
  vcl::TSelection font = vcl::SelectInto(dc.Get(), reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size = {};
  GetTextExtentPoint32W(dc.Get(), text.c_str(), static_cast<int>(text.size()), &size);
  return size;
}

}  // namespace testutil
