// TSHOperation: a non-visual component through which a window asks the
// Windows shell to delete, move, copy and rename files, and to show its
// folder browser. Every request is synchronous, parented to the owner's
// window, and reports only success or failure; the component shows no
// message of its own (the shell may show its own).
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "Classes.h"

namespace morvik {

// The folder browser's flags that both of the program's browsers use: file
// system folders only, in the resizable browser (65).
constexpr DWORD kBrowseFileSystemFolders = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;

// A heap block of NUL-terminated UTF-16 names followed by one more NUL, as
// SHFileOperationW takes them in pFrom and pTo. Freed when it goes out of
// scope.
class TNameList {
public:
  TNameList() = default;
  explicit TNameList(wchar_t* block) : FBlock(block) {}
  ~TNameList() { delete[] FBlock; }
  TNameList(TNameList&& other) noexcept : FBlock(other.FBlock) { other.FBlock = nullptr; }
  TNameList& operator=(TNameList&& other) noexcept;
  TNameList(const TNameList&) = delete;
  TNameList& operator=(const TNameList&) = delete;

  wchar_t* get() const { return FBlock; }
  explicit operator bool() const { return FBlock != nullptr; }

private:
  wchar_t* FBlock = nullptr;
};

class TSHOperation : public vcl::TComponent {
public:
  // The owner should be a form: its window parents every shell request.
  explicit TSHOperation(vcl::TComponent* AOwner);

  // Published properties.
  const std::wstring& Root() const { return FRoot; }
  void Root(const std::wstring& value) { FRoot = value; }
  const std::wstring& FolderName() const { return FFolderName; }
  void FolderName(const std::wstring& value) { FFolderName = value; }
  const std::wstring& Title() const { return FTitle; }
  void Title(const std::wstring& value) { FTitle = value; }
  DWORD Flags() const { return FFlags; }
  void Flags(DWORD value) { FFlags = value; }

  bool Delete(const vcl::TStrings& Names);        // to the recycle bin
  bool DeleteNoUndo(const vcl::TStrings& Names);  // directly
  bool Move(const vcl::TStrings& Dest, const vcl::TStrings& Source);
  bool Move(const std::wstring& Dest, const vcl::TStrings& Source);
  bool Copy(const vcl::TStrings& Dest, const vcl::TStrings& Source);
  bool Copy(const std::wstring& Dest, const vcl::TStrings& Source);
  bool Rename(const vcl::TStrings& Dest, const vcl::TStrings& Source);
  // Renames one file or folder; the shell is asked to move it.
  bool Rename(const std::wstring& NewName, const std::wstring& OldName);

  // The shell's form of a list of names; empty (null) for an empty list.
  static TNameList CreateNameList(const vcl::TStrings& Names);

  // Shows the shell's folder browser rooted at Root with FolderName
  // preselected; on true FolderName holds the folder the user chose.
  bool BrowseFolder();

  // The shell call every file operation goes through. Tests may point it at
  // a recorder that looks at the request and passes it on unchanged.
  using TShellFileOperation = int(WINAPI*)(LPSHFILEOPSTRUCTW);
  static TShellFileOperation ShellFileOperation;

private:
  HWND OwnerWindow() const;
  bool Operate(UINT func, FILEOP_FLAGS flags, const vcl::TStrings* Dest, const vcl::TStrings& Source);
  static int CALLBACK BrowseCallback(HWND Wnd, UINT Msg, LPARAM lParam, LPARAM Data);

  std::wstring FRoot;
  std::wstring FFolderName;
  std::wstring FTitle;
  DWORD FFlags = kBrowseFileSystemFolders;
};

// True when the path is a link (a symbolic link, a junction), or a folder
// that holds one at any depth or cannot be listed whole. Such a path is not
// deleted: a link cannot everywhere be removed without touching what it points
// to (Wine's shell, and its removal of a link, delete the target's contents).
bool HoldsLink(const std::wstring& path);

// Deletes a file, or a folder with everything in it, through the long form of
// its path (vcl::LongFormPath), for paths the shell cannot take: those of
// MAX_PATH characters or more. Read-only files go too. A path that HoldsLink,
// and a drive or share root, is left whole. True when nothing is left.
bool DeleteTree(const std::wstring& path);

}  // namespace morvik
