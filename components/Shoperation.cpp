#include "Shoperation.h"

#include <shlobj.h>

#include <cstring>
#include <utility>

#include "Controls.h"
#include "Forms.h"
#include "SysUtils.h"

namespace morvik {

TSHOperation::TShellFileOperation TSHOperation::ShellFileOperation = ::SHFileOperationW;

TNameList& TNameList::operator=(TNameList&& other) noexcept {
  if (this != &other) {
    delete[] FBlock;
    FBlock = std::exchange(other.FBlock, nullptr);
  }
  return *this;
}

namespace {

// Owns one COM interface pointer.
template <class T>
class ComPtr {
public:
  ComPtr() = default;
  ~ComPtr() { if (p) p->Release(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T** out() { return &p; }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  T* get() const { return p; }

private:
  T* p = nullptr;
};

// Owns an item list allocated by the shell's allocator.
class ItemList {
public:
  explicit ItemList(IMalloc* allocator) : FMalloc(allocator) {}
  ~ItemList() { if (FList) FMalloc->Free(FList); }
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  LPITEMIDLIST* out() { return &FList; }
  LPITEMIDLIST get() const { return FList; }

private:
  IMalloc* FMalloc;
  LPITEMIDLIST FList = nullptr;
};

// Parses a folder's text through the desktop folder. A text that does not
// fit a MAX_PATH buffer is handed over empty.
bool ParseFolder(IShellFolder* desktop, const std::wstring& text, ItemList& list) {
  wchar_t buffer[MAX_PATH] = {};
  if (text.size() < MAX_PATH) std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  ULONG eaten = 0;
  return SUCCEEDED(desktop->ParseDisplayName(nullptr, nullptr, buffer, &eaten, list.out(), nullptr));
}

}  // namespace

TSHOperation::TSHOperation(vcl::TComponent* AOwner) : vcl::TComponent(AOwner) {}

HWND TSHOperation::OwnerWindow() const {
  auto* control = dynamic_cast<vcl::TWinControl*>(Owner());
  return control ? control->Handle() : nullptr;
}

TNameList TSHOperation::CreateNameList(const vcl::TStrings& Names) {
  const int count = Names.Count();
  if (count == 0) return TNameList();
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += Names.Get(i).size() + 1;
  wchar_t* block = new wchar_t[total + 1];
  block[0] = L'\0';
  wchar_t* at = block;
  for (int i = 0; i < count; ++i) {
    const std::wstring name = Names.Get(i);
    std::memcpy(at, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    at += name.size() + 1;
    *at = L'\0';
  }
  return TNameList(block);
}

namespace {
// The shell's file operations take paths of fewer than MAX_PATH characters;
// longer ones are not refused everywhere but overrun fixed buffers (Wine's
// shell crashes on them). Such a request is not made at all.
bool FitsShell(const vcl::TStrings* Names) {
  if (!Names) return true;
  for (int i = 0; i < Names->Count(); ++i)
    if (Names->Get(i).size() >= MAX_PATH) return false;
  return true;
}
}  // namespace

bool TSHOperation::Operate(UINT func, FILEOP_FLAGS flags, const vcl::TStrings* Dest,
                           const vcl::TStrings& Source) {
  if (!FitsShell(Dest) || !FitsShell(&Source)) return false;
  // Both lists are made before either is tested; each frees itself.
  TNameList to = Dest ? CreateNameList(*Dest) : TNameList();
  TNameList from = CreateNameList(Source);
  if (!from || (Dest && !to)) return false;
  SHFILEOPSTRUCTW op = {};
  op.hwnd = OwnerWindow();
  op.wFunc = func;
  op.pFrom = from.get();
  op.pTo = to.get();
  op.fFlags = flags;
  op.hNameMappings = nullptr;
  op.lpszProgressTitle = nullptr;
  // fAnyOperationsAborted is not consulted: only the call's own result counts.
  return ShellFileOperation(&op) == 0;
}

bool TSHOperation::Delete(const vcl::TStrings& Names) {
  return Operate(FO_DELETE, FOF_SILENT | FOF_NOCONFIRMATION | FOF_ALLOWUNDO, nullptr, Names);
}

bool TSHOperation::DeleteNoUndo(const vcl::TStrings& Names) {
  return Operate(FO_DELETE, FOF_SILENT | FOF_NOCONFIRMATION, nullptr, Names);
}

namespace {
FILEOP_FLAGS TransferFlags(const vcl::TStrings& Dest) {
  return FOF_ALLOWUNDO | (Dest.Count() > 1 ? FOF_MULTIDESTFILES : 0);
}
}  // namespace

bool TSHOperation::Move(const vcl::TStrings& Dest, const vcl::TStrings& Source) {
  return Operate(FO_MOVE, TransferFlags(Dest), &Dest, Source);
}

bool TSHOperation::Move(const std::wstring& Dest, const vcl::TStrings& Source) {
  vcl::TStringList dest({Dest});
  return Move(dest, Source);
}

bool TSHOperation::Copy(const vcl::TStrings& Dest, const vcl::TStrings& Source) {
  return Operate(FO_COPY, TransferFlags(Dest), &Dest, Source);
}

bool TSHOperation::Copy(const std::wstring& Dest, const vcl::TStrings& Source) {
  vcl::TStringList dest({Dest});
  return Copy(dest, Source);
}

bool TSHOperation::Rename(const vcl::TStrings& Dest, const vcl::TStrings& Source) {
  return Operate(FO_RENAME, TransferFlags(Dest), &Dest, Source);
}

bool TSHOperation::Rename(const std::wstring& NewName, const std::wstring& OldName) {
  vcl::TStringList dest({NewName});
  vcl::TStringList source({OldName});
  return Move(dest, source);
}

int CALLBACK TSHOperation::BrowseCallback(HWND Wnd, UINT Msg, LPARAM, LPARAM Data) {
  // The preselection is an item list, not a path: wParam FALSE.
  if (Msg == BFFM_INITIALIZED) SendMessageW(Wnd, BFFM_SETSELECTIONW, 0, Data);
  return 0;
}

bool TSHOperation::BrowseFolder() {
  ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.out())) || !allocator) return false;
  ComPtr<IShellFolder> desktop;
  if (FAILED(SHGetDesktopFolder(desktop.out())) || !desktop) return false;

  ItemList root(allocator.get());
  if (!FRoot.empty() && !ParseFolder(desktop.get(), FRoot, root)) return false;
  ItemList selection(allocator.get());
  if (!FFolderName.empty() && !ParseFolder(desktop.get(), FFolderName, selection)) return false;

  wchar_t display[MAX_PATH] = {};
  BROWSEINFOW info = {};
  info.hwndOwner = OwnerWindow();
  info.pidlRoot = root.get();
  info.pszDisplayName = display;
  info.lpszTitle = FTitle.c_str();
  info.ulFlags = FFlags;
  info.lpfn = BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(selection.get());
  info.iImage = 0;

  ItemList chosen(allocator.get());
  {
    vcl::TModalScope scope;
    *chosen.out() = SHBrowseForFolderW(&info);
  }
  if (!chosen.get()) return false;
  SHGetPathFromIDListW(chosen.get(), display);
  FFolderName = display;
  return true;
}

namespace {

// Calls visit for every name in a folder (not "." and ".."), with its
// attributes, until visit returns false; false when the folder cannot be
// listed or visit stopped.
template <class Visit>
bool ForEachName(const std::wstring& folder, Visit visit) {
  WIN32_FIND_DATAW data;
  vcl::TFindHandle find(FindFirstFileExW(vcl::LongFormPath(folder + L"\\*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, 0));
  // An empty folder may have no names at all, not even "." and "..".
  if (!find) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool all = true;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (!visit(folder + L"\\" + name, data.dwFileAttributes)) {
      all = false;
      break;
    }
  } while (FindNextFileW(find.Get(), &data));
  return all;
}

bool HoldsNoLink(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  return ForEachName(path, HoldsNoLink);
}

bool DeleteAll(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(vcl::LongFormPath(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(vcl::LongFormPath(path).c_str()) != 0;
  // Everything in the folder is tried, even after a failure.
  ForEachName(path, [](const std::wstring& name, DWORD a) {
    DeleteAll(name, a);
    return true;
  });
  return RemoveDirectoryW(vcl::LongFormPath(path).c_str()) != 0;
}

// True for the long form of a drive root or a share's root, which is never
// deleted.
bool IsRoot(const std::wstring& name) {
  size_t start = 4;  // after "\\?\"
  int parts = 1;     // "C:"
  if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    start = 8;
    parts = 2;  // "server\share"
  }
  size_t pos = start;
  for (int i = 0; i < parts && pos != std::wstring::npos; ++i) pos = name.find(L'\\', pos + 1);
  return pos == std::wstring::npos || pos + 1 >= name.size();
}

// The long form of a path without closing separators, which would double
// the one put before each name inside.
std::wstring TreeName(const std::wstring& path) {
  std::wstring name = vcl::LongFormPath(path);
  while (!name.empty() && name.back() == L'\\') name.pop_back();
  return name;
}

}  // namespace

bool HoldsLink(const std::wstring& path) {
  std::wstring name = TreeName(path);
  DWORD attributes = name.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(vcl::LongFormPath(name).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || !HoldsNoLink(name, attributes);
}

bool DeleteTree(const std::wstring& path) {
  std::wstring name = TreeName(path);
  if (name.empty() || IsRoot(name) || HoldsLink(name)) return false;
  return DeleteAll(name, GetFileAttributesW(vcl::LongFormPath(name).c_str()));
}

}  // namespace morvik
