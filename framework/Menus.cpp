#include "Menus.h"

#include <functional>

namespace vcl {

namespace {
UINT gNextCommand = 100;  // clear of IDOK, IDCANCEL and the other dialog ids
}

TMenuItem::TMenuItem(TComponent* AOwner) : TComponent(AOwner), FCommand(gNextCommand++) {}

void TMenuItem::Caption(const std::wstring& text) {
  FCaption = text;
  if (FContainer && !IsSeparator() && FItems.empty())
    ModifyMenuW(FContainer, FCommand, MF_BYCOMMAND | MF_STRING, FCommand, MenuText().c_str());
}

std::wstring TMenuItem::MenuText() const {
  std::wstring text = FCaption;
  if (FShortCut != scNone) text += L"\t" + ShortCutToText(FShortCut);
  return text;
}

void TMenuItem::Enabled(bool value) {
  FEnabled = value;
  if (FContainer) {
    // Top-level items are addressed by position: a popup has no command id.
    if (!FItems.empty() && FParent) {
      for (int i = 0; i < FParent->Count(); ++i)
        if (FParent->Items(i) == this)
          EnableMenuItem(FContainer, static_cast<UINT>(i), MF_BYPOSITION | (value ? MF_ENABLED : MF_GRAYED));
    } else {
      EnableMenuItem(FContainer, FCommand, MF_BYCOMMAND | (value ? MF_ENABLED : MF_GRAYED));
    }
  }
}

void TMenuItem::Add(TMenuItem* item) {
  item->FParent = this;
  FItems.push_back(item);
}

void TMenuItem::Click() {
  if (FEnabled && OnClick) OnClick(this);
}

TMainMenu::TMainMenu(TComponent* AOwner) : TComponent(AOwner), FItems(new TMenuItem(this)) {}

TMainMenu::~TMainMenu() {
  // An attached menu goes with its window.
  if (FAttached) FHandle.Release();
}

void TMainMenu::Build(TMenuItem* item, HMENU into) {
  for (TMenuItem* child : item->FItems) {
    child->FMenu = this;
    child->FContainer = into;
    UINT enabled = child->FEnabled ? MF_ENABLED : MF_GRAYED;
    if (child->IsSeparator()) {
      AppendMenuW(into, MF_SEPARATOR, 0, nullptr);
    } else if (!child->FItems.empty()) {
      HMENU popup = CreatePopupMenu();
      Build(child, popup);
      AppendMenuW(into, MF_POPUP | MF_STRING | enabled, reinterpret_cast<UINT_PTR>(popup), child->MenuText().c_str());
    } else {
      AppendMenuW(into, MF_STRING | enabled, child->FCommand, child->MenuText().c_str());
    }
  }
}

HMENU TMainMenu::Handle() {
  if (!FHandle) {
    FHandle.Reset(CreateMenu());
    Build(FItems, FHandle.Get());
  }
  return FHandle.Get();
}

HACCEL TMainMenu::Accelerators() {
  if (!FAccel) {
    std::vector<ACCEL> table;
    std::function<void(TMenuItem*)> collect = [&](TMenuItem* item) {
      for (int i = 0; i < item->Count(); ++i) {
        TMenuItem* child = item->Items(i);
        if (TShortCut sc = child->ShortCut()) {
          ACCEL a = {};
          a.fVirt = FVIRTKEY;
          if (sc & scCtrl) a.fVirt |= FCONTROL;
          if (sc & scShift) a.fVirt |= FSHIFT;
          if (sc & scAlt) a.fVirt |= FALT;
          a.key = static_cast<WORD>(sc & 0xFF);
          a.cmd = static_cast<WORD>(child->Command());
          table.push_back(a);
        }
        collect(child);
      }
    };
    collect(FItems);
    if (!table.empty()) FAccel.Reset(CreateAcceleratorTableW(table.data(), static_cast<int>(table.size())));
  }
  return FAccel.Get();
}

TMenuItem* TMainMenu::FindCommand(UINT command) const {
  std::function<TMenuItem*(TMenuItem*)> find = [&](TMenuItem* item) -> TMenuItem* {
    for (int i = 0; i < item->Count(); ++i) {
      TMenuItem* child = item->Items(i);
      if (child->Command() == command && child->Count() == 0) return child;
      if (TMenuItem* found = find(child)) return found;
    }
    return nullptr;
  };
  return find(FItems);
}

}  // namespace vcl
