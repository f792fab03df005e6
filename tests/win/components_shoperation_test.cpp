// TSHOperation against the real shell under Wine: name lists, the requests it
// hands over (seen through its shell-call seam, which passes each request on
// unchanged), real deletions, moves and renames, the folder browser's early
// refusals, and the deletion of long paths past the shell.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Shoperation.h"

namespace fs = std::filesystem;
using morvik::TSHOperation;
using vcl::TStringList;

namespace {

// The names of a shell name list, read as the shell reads them: up to the
// first empty name.
std::vector<std::wstring> ShellNames(const wchar_t* block) {
  std::vector<std::wstring> names;
  if (!block) return names;
  while (*block) {
    names.emplace_back(block);
    block += names.back().size() + 1;
  }
  return names;
}

struct Request {
  UINT func;
  FILEOP_FLAGS flags;
  HWND hwnd;
  std::vector<std::wstring> from, to;
  bool toNull;
  int result;
};
std::vector<Request> g_requests;

int WINAPI Recorder(LPSHFILEOPSTRUCTW op) {
  Request r{op->wFunc, op->fFlags, op->hwnd, ShellNames(op->pFrom), ShellNames(op->pTo),
            op->pTo == nullptr, 0};
  r.result = ::SHFileOperationW(op);
  g_requests.push_back(r);
  return r.result;
}

class ShellOperation : public ::testing::Test {
protected:
  void SetUp() override {
    g_requests.clear();
    TSHOperation::ShellFileOperation = Recorder;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir = fs::path(temp) / (L"shop-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(GetTickCount()));
    fs::create_directories(dir);
  }
  void TearDown() override {
    TSHOperation::ShellFileOperation = ::SHFileOperationW;
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path File(const std::wstring& name, const std::string& content = "data") {
    fs::path p = dir / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  fs::path dir;
  TSHOperation shop{nullptr};
};

TEST(NameList, HoldsEachNameWithItsNulAndOneMore) {
  TStringList names({L"abc", L"defgh"});
  auto list = TSHOperation::CreateNameList(names);
  ASSERT_TRUE(list);
  const wchar_t expected[11] = {L'a', L'b', L'c', 0, L'd', L'e', L'f', L'g', L'h', 0, 0};
  EXPECT_EQ(0, std::wmemcmp(list.get(), expected, 11));
  EXPECT_EQ(ShellNames(list.get()), (std::vector<std::wstring>{L"abc", L"defgh"}));
}

TEST(NameList, EmptyListGivesNoBlockAndEmptyEntryEndsTheList) {
  TStringList none;
  EXPECT_FALSE(TSHOperation::CreateNameList(none));
  TStringList withGap({L"abc", L"", L"de"});
  auto list = TSHOperation::CreateNameList(withGap);
  ASSERT_TRUE(list);
  EXPECT_EQ(ShellNames(list.get()), std::vector<std::wstring>{L"abc"});
}

TEST(NameList, NamesBeyondMaxPathKeptWhole) {
  std::wstring longName(40000, L'x');
  TStringList names({longName, L"y"});
  auto list = TSHOperation::CreateNameList(names);
  EXPECT_EQ(ShellNames(list.get()), (std::vector<std::wstring>{longName, L"y"}));
}

TEST_F(ShellOperation, PropertiesAfterConstruction) {
  EXPECT_EQ(shop.Root(), L"");
  EXPECT_EQ(shop.FolderName(), L"");
  EXPECT_EQ(shop.Title(), L"");
  EXPECT_EQ(shop.Flags(), 65u);
}

TEST_F(ShellOperation, EmptyListsNeverReachTheShell) {
  TStringList empty, one({(dir / L"x").wstring()});
  EXPECT_FALSE(shop.Delete(empty));
  EXPECT_FALSE(shop.DeleteNoUndo(empty));
  EXPECT_FALSE(shop.Move(empty, one));
  EXPECT_FALSE(shop.Move(one, empty));
  EXPECT_FALSE(shop.Copy(empty, one));
  EXPECT_FALSE(shop.Rename(one, empty));
  EXPECT_TRUE(g_requests.empty());
}

TEST_F(ShellOperation, DeleteSendsToTheRecycleBin) {
  // Wine's recycle bin is the desktop trash; the tests get one of their own.
  wchar_t data[32768];
  DWORD n = GetEnvironmentVariableW(L"XDG_DATA_HOME", data, 32768);
  ASSERT_GT(n, 0u) << "the test's environment names a trash folder of its own";
  std::wstring trash = std::wstring(L"Z:") + data + L"/Trash";
  for (auto& c : trash) if (c == L'/') c = L'\\';
  fs::create_directories(fs::path(trash) / L"files");
  fs::create_directories(fs::path(trash) / L"info");
  const std::wstring name = L"ごみ箱へ-" + dir.filename().wstring() + L".txt";
  fs::path file = File(name, "recycled");
  TStringList names({file.wstring()});
  ASSERT_TRUE(shop.Delete(names));
  ASSERT_EQ(g_requests.size(), 1u);
  EXPECT_EQ(g_requests[0].func, static_cast<UINT>(FO_DELETE));
  EXPECT_EQ(g_requests[0].flags, 0x54);
  EXPECT_TRUE(g_requests[0].toNull);
  EXPECT_FALSE(fs::exists(file));
  fs::path kept = fs::path(trash) / L"files" / name;
  EXPECT_TRUE(fs::exists(kept)) << kept.wstring();
  std::error_code ec;
  fs::remove(kept, ec);
}

TEST_F(ShellOperation, DeleteNoUndoRemovesFilesAndFoldersWithContents) {
  fs::path file = File(L"gone.txt");
  File(L"tree/a/b.txt");
  File(L"tree/c.txt");
  TStringList names({file.wstring(), (dir / L"tree").wstring()});
  ASSERT_TRUE(shop.DeleteNoUndo(names));
  ASSERT_EQ(g_requests.size(), 1u);
  EXPECT_EQ(g_requests[0].flags, 0x14);
  EXPECT_EQ(g_requests[0].from.size(), 2u);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(fs::exists(dir / L"tree"));
}

TEST_F(ShellOperation, DeleteOfMissingFileFails) {
  TStringList names({(dir / L"never-there.txt").wstring()});
  EXPECT_FALSE(shop.DeleteNoUndo(names));
}

// A file whose full path has exactly LENGTH characters.
fs::path FileOfLength(const fs::path& dir, size_t length) {
  fs::path folder = dir;
  while (length - folder.wstring().size() > 200) folder /= std::wstring(150, L'd');
  fs::create_directories(folder);
  fs::path p = folder / std::wstring(length - folder.wstring().size() - 1, L'f');
  std::ofstream(p, std::ios::binary) << "long";
  return p;
}

TEST_F(ShellOperation, PathsOfMaxPathOrMoreAreNotHandedToTheShell) {
  // The shell overruns its buffers on them (under Wine the program crashed
  // deleting a source of 1,000 characters): the request fails, nothing moves.
  fs::path shortest = FileOfLength(dir / L"a", MAX_PATH), longer = FileOfLength(dir / L"b", 1000);
  ASSERT_EQ(shortest.wstring().size(), size_t(MAX_PATH));
  ASSERT_EQ(longer.wstring().size(), 1000u);
  for (const fs::path& p : {shortest, longer}) {
    TStringList names({p.wstring()});
    EXPECT_FALSE(shop.DeleteNoUndo(names));
    EXPECT_FALSE(shop.Delete(names));
    EXPECT_FALSE(shop.Move((dir / L"elsewhere.txt").wstring(), names));
    EXPECT_TRUE(fs::exists(p));
  }
  fs::path shortFile = File(L"short.txt");
  TStringList toLong({shortFile.wstring()});
  EXPECT_FALSE(shop.Copy((dir / std::wstring(MAX_PATH, L'x')).wstring(), toLong));
  EXPECT_TRUE(g_requests.empty());
  // One character less is a path the shell takes.
  fs::path fits = FileOfLength(dir / L"c", MAX_PATH - 1);
  TStringList names({fits.wstring()});
  EXPECT_TRUE(shop.DeleteNoUndo(names));
  EXPECT_FALSE(fs::exists(fits));
}

TEST_F(ShellOperation, DeleteTreeTakesWhatTheShellCannot) {
  // A folder beyond MAX_PATH with a read-only file, an empty folder and a
  // file nested deeper still; a file beyond MAX_PATH on its own.
  const std::wstring L = L"\\\\?\\";
  fs::path tree = dir / std::wstring(150, L't');
  FileOfLength(tree / std::wstring(150, L'u'), 400);
  fs::create_directories(L + (tree / L"empty").wstring());
  fs::path readOnly = FileOfLength(tree, 300);
  SetFileAttributesW((L + readOnly.wstring()).c_str(), FILE_ATTRIBUTE_READONLY);
  fs::path single = FileOfLength(dir / L"single", 500);
  EXPECT_TRUE(morvik::DeleteTree(tree.wstring() + L"\\"));
  EXPECT_FALSE(fs::exists(L + tree.wstring()));
  EXPECT_TRUE(morvik::DeleteTree(single.wstring()));
  EXPECT_FALSE(fs::exists(L + single.wstring()));
  EXPECT_FALSE(morvik::DeleteTree((dir / L"never-there").wstring()));
  EXPECT_TRUE(g_requests.empty()) << "the shell is not asked";
}

TEST_F(ShellOperation, MultipleDestinationsOnlyWithSeveralDestinations) {
  fs::path a = File(L"a.txt", "A"), b = File(L"b.txt", "B");
  fs::create_directories(dir / L"out");
  TStringList sources({a.wstring(), b.wstring()});
  ASSERT_TRUE(shop.Copy((dir / L"out").wstring(), sources));
  TStringList oneDest({(dir / L"out2").wstring()});
  fs::create_directories(dir / L"out2");
  ASSERT_TRUE(shop.Copy(oneDest, sources));
  TStringList twoDest({(dir / L"a2.txt").wstring(), (dir / L"b2.txt").wstring()});
  ASSERT_TRUE(shop.Move(twoDest, sources));
  ASSERT_EQ(g_requests.size(), 3u);
  EXPECT_EQ(g_requests[0].func, static_cast<UINT>(FO_COPY));
  EXPECT_EQ(g_requests[0].flags, FOF_ALLOWUNDO);
  EXPECT_EQ(g_requests[1].flags, FOF_ALLOWUNDO);
  EXPECT_EQ(g_requests[2].func, static_cast<UINT>(FO_MOVE));
  EXPECT_EQ(g_requests[2].flags, FOF_ALLOWUNDO | FOF_MULTIDESTFILES);
  EXPECT_TRUE(fs::exists(dir / L"out" / L"a.txt"));
  EXPECT_TRUE(fs::exists(dir / L"out2" / L"b.txt"));
  EXPECT_TRUE(fs::exists(dir / L"a2.txt"));
  EXPECT_TRUE(fs::exists(dir / L"b2.txt"));
  EXPECT_FALSE(fs::exists(a));
}

TEST_F(ShellOperation, RenameOfTwoNamesIsAMoveAndListRenameIsARename) {
  fs::path old = File(L"old.txt");
  ASSERT_TRUE(shop.Rename((dir / L"new.txt").wstring(), old.wstring()));
  fs::path other = File(L"other.txt");
  TStringList to({(dir / L"renamed.txt").wstring()}), from({other.wstring()});
  ASSERT_TRUE(shop.Rename(to, from));
  ASSERT_EQ(g_requests.size(), 2u);
  EXPECT_EQ(g_requests[0].func, static_cast<UINT>(FO_MOVE));
  EXPECT_EQ(g_requests[0].flags, FOF_ALLOWUNDO);
  EXPECT_EQ(g_requests[0].from, std::vector<std::wstring>{old.wstring()});
  EXPECT_EQ(g_requests[1].func, static_cast<UINT>(FO_RENAME));
  EXPECT_TRUE(fs::exists(dir / L"new.txt"));
  EXPECT_TRUE(fs::exists(dir / L"renamed.txt"));
}

// Cancels any folder browser that shows up, and remembers that one did.
class BrowserWatcher {
public:
  BrowserWatcher() : FThread([this] { Run(); }) {}
  ~BrowserWatcher() { FStop = true; FThread.join(); }
  bool Seen() const { return FSeen; }

private:
  void Run() {
    const DWORD pid = GetCurrentProcessId();
    while (!FStop) {
      HWND w = nullptr;
      while ((w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid && IsWindowVisible(w)) {
          FSeen = true;
          PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
        }
      }
      Sleep(50);
    }
  }
  std::atomic<bool> FStop{false}, FSeen{false};
  std::thread FThread;
};

TEST_F(ShellOperation, BrowseRefusesMissingFoldersWithoutShowingTheBrowser) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BrowserWatcher watcher;
  shop.FolderName(L"C:\\kept");
  shop.Root((dir / L"missing").wstring());
  EXPECT_FALSE(shop.BrowseFolder());
  shop.Root(L"");
  shop.FolderName((dir / L"missing-too").wstring());
  EXPECT_FALSE(shop.BrowseFolder());
  EXPECT_EQ(shop.FolderName(), (dir / L"missing-too").wstring());
  EXPECT_FALSE(watcher.Seen());
  CoUninitialize();
}

TEST_F(ShellOperation, BrowseCancelledKeepsFolderName) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BrowserWatcher watcher;
  shop.Root(dir.wstring());
  shop.FolderName(L"");
  EXPECT_FALSE(shop.BrowseFolder());
  EXPECT_EQ(shop.FolderName(), L"");
  EXPECT_TRUE(watcher.Seen());
  CoUninitialize();
}

}  // namespace
