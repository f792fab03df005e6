// Menu bar and menu items. Items form a tree under the menu's root item;
// the Win32 menu and the accelerator table for the shortcuts are built from
// it when the menu is attached to a form.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Classes.h"
#include "SysUtils.h"

namespace vcl {

class TMainMenu;

class TMenuItem : public TComponent {
public:
  explicit TMenuItem(TComponent* AOwner);

  std::wstring Caption() const { return FCaption; }
  void Caption(const std::wstring& text);  // "-" makes a separator
  TShortCut ShortCut() const { return FShortCut; }
  void ShortCut(TShortCut value) { FShortCut = value; }
  bool Enabled() const { return FEnabled; }
  void Enabled(bool value);
  bool IsSeparator() const { return FCaption == L"-"; }

  void Add(TMenuItem* item);
  int Count() const { return static_cast<int>(FItems.size()); }
  TMenuItem* Items(int index) const { return FItems[index]; }
  TMenuItem* Parent() const { return FParent; }
  UINT Command() const { return FCommand; }

  // Runs OnClick, unless the item is disabled.
  void Click();
  TNotifyEvent OnClick;

private:
  friend class TMainMenu;
  std::wstring MenuText() const;

  std::wstring FCaption;
  TShortCut FShortCut = scNone;
  bool FEnabled = true;
  TMenuItem* FParent = nullptr;
  std::vector<TMenuItem*> FItems;
  UINT FCommand;
  TMainMenu* FMenu = nullptr;
  HMENU FContainer = nullptr;  // the Win32 menu this item sits in, once built
};

class TMainMenu : public TComponent {
public:
  explicit TMainMenu(TComponent* AOwner);
  ~TMainMenu() override;

  // The top-level items of the bar are the children of Items.
  TMenuItem* Items() { return FItems; }

  // Builds the Win32 menu and the shortcuts' accelerator table. A form that
  // shows the menu owns the returned menu from then on (DestroyWindow frees it).
  HMENU Handle();
  HACCEL Accelerators();
  // Finds the item of a WM_COMMAND from the menu or an accelerator.
  TMenuItem* FindCommand(UINT command) const;
  void Detach() { FAttached = false; }
  void Attached() { FAttached = true; }

private:
  void Build(TMenuItem* item, HMENU into);
  TMenuItem* FItems;
  TMenuHandle FHandle;
  bool FAttached = false;
  TAccelHandle FAccel;
};

}  // namespace vcl
