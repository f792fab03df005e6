// Base classes of the form framework: objects, ownership, string lists,
// events and the framework's exception type. Nothing here knows of windows.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vcl {

class TObject {
public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// The framework's exception type: a readable message and nothing else.
// TApplication::ShowException displays it.
class Exception {
public:
  explicit Exception(std::wstring message) : Message(std::move(message)) {}
  virtual ~Exception() = default;
  std::wstring Message;
};

// An owner destroys the components it owns, last created first. A component
// destroyed on its own leaves its owner's list.
class TComponent : public TObject {
public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  std::wstring Name;

private:
  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
};

// An ordered list of wide strings. TStringList holds them itself; controls
// that keep their items in the window (list box, combo box) implement it
// over their messages.
class TStrings {
public:
  virtual ~TStrings() = default;
  virtual int Count() const = 0;
  virtual std::wstring Get(int index) const = 0;
  virtual int Add(const std::wstring& s) = 0;
  virtual void Clear() = 0;
  virtual void Delete(int index) = 0;

  std::wstring operator[](int index) const { return Get(index); }
  std::vector<std::wstring> ToVector() const;
};

class TStringList : public TStrings {
public:
  TStringList() = default;
  explicit TStringList(std::vector<std::wstring> items) : FItems(std::move(items)) {}
  int Count() const override { return static_cast<int>(FItems.size()); }
  std::wstring Get(int index) const override;
  int Add(const std::wstring& s) override;
  void Clear() override { FItems.clear(); }
  void Delete(int index) override;

private:
  std::vector<std::wstring> FItems;
};

// Keyboard shortcuts in the usual encoding: the virtual key in the low byte,
// Shift 0x2000, Ctrl 0x4000, Alt 0x8000 (Ctrl+O, ShortCut('O', scCtrl), is
// 16463).
using TShortCut = unsigned short;
enum : TShortCut { scShift = 0x2000, scCtrl = 0x4000, scAlt = 0x8000, scNone = 0 };
constexpr TShortCut ShortCut(unsigned short key, TShortCut modifiers) {
  return static_cast<TShortCut>((key & 0xFF) | modifiers);
}
std::wstring ShortCutToText(TShortCut shortcut);

}  // namespace vcl
