#include "Dialogs.h"

#include <commdlg.h>
#include <cderr.h>

#include <algorithm>
#include <vector>

#include "Controls.h"
#include "Forms.h"

namespace vcl {

bool TOpenDialog::Execute() {
  HWND owner = nullptr;
  for (TComponent* c = Owner(); c && !owner; c = c->Owner())
    if (auto* w = dynamic_cast<TWinControl*>(c)) owner = w->Handle();

  std::wstring filter = Filter;
  for (auto& ch : filter)
    if (ch == L'|') ch = L'\0';
  filter.append(2, L'\0');

  // Many files with long names fit; a selection that does not is asked for
  // again with the size the dialog reports.
  std::vector<wchar_t> buffer(32768, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrInitialDir = InitialDir.empty() ? nullptr : InitialDir.c_str();
    ofn.lpstrTitle = Title.empty() ? nullptr : Title.c_str();
    ofn.lpstrDefExt = DefaultExt.empty() ? nullptr : DefaultExt.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (Options & ofAllowMultiSelect) ofn.Flags |= OFN_ALLOWMULTISELECT;
    if (Options & ofHideReadOnly) ofn.Flags |= OFN_HIDEREADONLY;
    if (Options & ofEnableSizing) ofn.Flags |= OFN_ENABLESIZING;
    if (Options & ofFileMustExist) ofn.Flags |= OFN_FILEMUSTEXIST;
    if (Options & ofPathMustExist) ofn.Flags |= OFN_PATHMUSTEXIST;

    Files.Clear();
    BOOL picked;
    {
      TModalScope scope;
      picked = GetOpenFileNameW(&ofn);
    }
    if (picked) {
      // One file: its full path. Several: the folder, then each name, each
      // ending with a null, the list ending with an empty name.
      std::wstring first(buffer.data());
      const wchar_t* p = buffer.data() + first.size() + 1;
      if (!(ofn.Flags & OFN_ALLOWMULTISELECT) || *p == L'\0') {
        Files.Add(first);
      } else {
        std::wstring folder = first;
        if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
        while (*p) {
          std::wstring name(p);
          Files.Add(folder + name);
          p += name.size() + 1;
        }
      }
      return true;
    }
    if (CommDlgExtendedError() != FNERR_BUFFERTOOSMALL) return false;
    DWORD needed = *reinterpret_cast<WORD*>(buffer.data());
    buffer.assign(std::max<size_t>(needed + 2, buffer.size() * 4), L'\0');
  }
  return false;
}

int MessageDlg(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
  TModalScope scope;
  return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

}  // namespace vcl
