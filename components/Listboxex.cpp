#include "Listboxex.h"

#include <algorithm>
#include <vector>

namespace morvik {

TListBoxEx::TListBoxEx(vcl::TComponent* AOwner, vcl::TWinControl* AParent)
    : vcl::TListBox(AOwner, AParent) {}

void TListBoxEx::SendExtent(int extent) {
  SendMessageW(Handle(), LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(extent), 0);
}

void TListBoxEx::Space(int value) {
  SendExtent(FMaxWidth + value);
  FSpace = value;
}

int TListBoxEx::GetTextWidth(int index) {
  const LRESULT length = SendMessageW(Handle(), LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == LB_ERR || length < 0) return 0;
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT got = SendMessageW(Handle(), LB_GETTEXT, static_cast<WPARAM>(index),
                                   reinterpret_cast<LPARAM>(text.data()));
  if (got == LB_ERR || got < 0) return 0;
  // Measure in the font the lines are shown in: the list box's own.
  vcl::TWindowDC dc = vcl::WindowDC(Handle());
  if (!dc) return 0;
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(Handle(), WM_GETFONT, 0, 0));
  vcl::TSelection selected;
  if (font) selected = vcl::SelectInto(dc.Get(), font);
  SIZE size = {};
  GetTextExtentPoint32W(dc.Get(), text.data(), static_cast<int>(std::min<LRESULT>(got, length)), &size);
  return size.cx;
}

void TListBoxEx::Dispatch(vcl::TMessage& message) {
  switch (message.Msg) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING:
    case LB_DIR:
    case LB_ADDFILE:
      LBAdd(message);
      break;
    case LB_DELETESTRING:
      LBDelete(message);
      break;
    case LB_RESETCONTENT:
      LBResetContent(message);
      break;
    default:
      vcl::TListBox::Dispatch(message);
  }
}

void TListBoxEx::LBAdd(vcl::TMessage& message) {
  vcl::TListBox::Dispatch(message);
  // A refused add (LB_ERR, LB_ERRSPACE) names no line: nothing to measure.
  if (message.Result < 0) return;
  const int width = GetTextWidth(static_cast<int>(message.Result));
  if (width > FMaxWidth) {
    SendExtent(width + FSpace);
    FMaxWidth = width;
  }
}

void TListBoxEx::LBDelete(vcl::TMessage& message) {
  const int index = static_cast<int>(message.WParam);
  const LRESULT count = SendMessageW(Handle(), LB_GETCOUNT, 0, 0);
  const bool names_a_line = count != LB_ERR && message.WParam < static_cast<WPARAM>(count);
  const int width = names_a_line ? GetTextWidth(index) : 0;
  vcl::TListBox::Dispatch(message);
  if (!names_a_line || width < FMaxWidth) return;
  // A widest line went: measure what is left.
  Remeasure();
}

void TListBoxEx::DpiChanged() { Remeasure(); }

void TListBoxEx::Remeasure() {
  const LRESULT count = SendMessageW(Handle(), LB_GETCOUNT, 0, 0);
  int largest = 0;
  for (LRESULT i = 0; i < count; ++i) largest = std::max(largest, GetTextWidth(static_cast<int>(i)));
  SendExtent(largest + FSpace);
  FMaxWidth = largest;
}

void TListBoxEx::LBResetContent(vcl::TMessage& message) {
  vcl::TListBox::Dispatch(message);
  SendExtent(FSpace);
  FMaxWidth = 0;
}

}  // namespace morvik
