#include "Classes.h"

#include <algorithm>

namespace vcl {

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Each owned component removes itself from FComponents in its destructor.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner) {
    auto& siblings = FOwner->FComponents;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

std::vector<std::wstring> TStrings::ToVector() const {
  std::vector<std::wstring> out;
  for (int i = 0; i < Count(); ++i) out.push_back(Get(i));
  return out;
}

std::wstring TStringList::Get(int index) const {
  if (index < 0 || index >= Count()) throw Exception(L"List index out of bounds (" + std::to_wstring(index) + L")");
  return FItems[index];
}

int TStringList::Add(const std::wstring& s) {
  FItems.push_back(s);
  return Count() - 1;
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) throw Exception(L"List index out of bounds (" + std::to_wstring(index) + L")");
  FItems.erase(FItems.begin() + index);
}

std::wstring ShortCutToText(TShortCut shortcut) {
  if (shortcut == scNone) return L"";
  std::wstring text;
  if (shortcut & scCtrl) text += L"Ctrl+";
  if (shortcut & scShift) text += L"Shift+";
  if (shortcut & scAlt) text += L"Alt+";
  wchar_t key = static_cast<wchar_t>(shortcut & 0xFF);
  if ((key >= L'A' && key <= L'Z') || (key >= L'0' && key <= L'9')) {
    text += key;
  } else if (key >= 0x70 && key <= 0x87) {  // VK_F1..VK_F24
    text += L"F" + std::to_wstring(key - 0x70 + 1);
  } else {
    text += L"#" + std::to_wstring(key);
  }
  return text;
}

}  // namespace vcl
