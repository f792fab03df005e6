// The common file-open dialog and the message-box helper.
#pragma once

#include <windows.h>

#include <string>

#include "Classes.h"

namespace vcl {

enum TOpenOption {
  ofAllowMultiSelect = 1,
  ofHideReadOnly = 2,
  ofEnableSizing = 4,
  ofFileMustExist = 8,
  ofPathMustExist = 16,
};

class TOpenDialog : public TComponent {
public:
  explicit TOpenDialog(TComponent* AOwner) : TComponent(AOwner) {}

  std::wstring Title;
  // "Description|pattern|Description|pattern".
  std::wstring Filter;
  std::wstring DefaultExt;
  std::wstring InitialDir;
  int Options = ofHideReadOnly | ofEnableSizing;

  // Shows the dialog owned by the window of the owning form; false when the
  // user cancels. The chosen files are then in Files, in the dialog's order.
  bool Execute();
  TStringList Files;
};

// A modal message box owned by owner; returns the button pressed (IDOK...).
int MessageDlg(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);

}  // namespace vcl
