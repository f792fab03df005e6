#include "Main.h"

#include <shellapi.h>
#include <ole2.h>
#include <shlobj.h>


#include "IniDocument.h"
#include "SettingsFile.h"
#include "JobPaths.h"
#include "SysUtils.h"

using namespace vcl;

TMV_MAIN* MV_MAIN = nullptr;

namespace {

const wchar_t kErrorCaption[] = L"エラー";
const wchar_t kMainSection[] = L"Main";

// The menu as the form describes it: item, name, parent, caption, shortcut,
// handler.
struct TMenuDescription {
  TMenuItem* TMV_MAIN::*Item;
  const wchar_t* Name;
  TMenuItem* TMV_MAIN::*Parent;
  const wchar_t* Caption;
  TShortCut ShortCut;
  void (TMV_MAIN::*Handler)(TObject*);
};

const TMenuDescription kMenu[] = {
    {&TMV_MAIN::M_File, L"M_File", nullptr, L"ファイル(&F)", scNone, nullptr},
    {&TMV_MAIN::M_OpenFile, L"M_OpenFile", &TMV_MAIN::M_File, L"ファイルを開く(&O)", ShortCut('O', scCtrl), &TMV_MAIN::M_OpenFileClick},
    {&TMV_MAIN::M_OpenFolder, L"M_OpenFolder", &TMV_MAIN::M_File, L"フォルダを開く(&F)", ShortCut('F', scCtrl), &TMV_MAIN::M_OpenFolderClick},
    {&TMV_MAIN::M_N01, L"M_N01", &TMV_MAIN::M_File, L"-", scNone, nullptr},
    {&TMV_MAIN::M_Exit, L"M_Exit", &TMV_MAIN::M_File, L"終了(&X)", scNone, &TMV_MAIN::M_ExitClick},
    {&TMV_MAIN::M_Setting, L"M_Setting", nullptr, L"設定(&S)", scNone, nullptr},
    {&TMV_MAIN::M_Option, L"M_Option", &TMV_MAIN::M_Setting, L"動作設定(&O)", scNone, &TMV_MAIN::M_OptionClick},
    {&TMV_MAIN::M_Help, L"M_Help", nullptr, L"ヘルプ(&H)", scNone, nullptr},
    {&TMV_MAIN::M_About, L"M_About", &TMV_MAIN::M_Help, L"バージョン情報(&A)", scNone, &TMV_MAIN::M_AboutClick},
};

// An entry name as archives compare it: without regard to case.
std::wstring EntryKey(std::wstring name) {
  if (!name.empty()) CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

// The window as designed: client area 300 x 300, Tahoma 8 pt, button face.
const int kClientWidth = 300;
const int kClientHeight = 300;

}  // namespace

TMV_MAIN::TMV_MAIN(TComponent* AOwner) : TForm(AOwner, L"TMV_MAIN") {
  Name = L"MV_MAIN";
  TFont& font = Font();
  font.Name = L"Tahoma";
  font.Height = -11;
  FontChanged();
  Color(clBtnFace);
  ScreenSnap = true;

  LIST = new morvik::TListBoxEx(this, this);
  LIST->Name = L"LIST";
  LIST->Align(alClient);

  MainMenu = new TMainMenu(this);
  MainMenu->Name = L"MainMenu";
  for (const TMenuDescription& d : kMenu) {
    auto* item = new TMenuItem(MainMenu);
    item->Name = d.Name;
    item->Caption(d.Caption);
    item->ShortCut(d.ShortCut);
    if (d.Handler) item->OnClick = [this, h = d.Handler](TObject* sender) { (this->*h)(sender); };
    (d.Parent ? this->*d.Parent : MainMenu->Items())->Add(item);
    this->*d.Item = item;
  }

  OpenDialog = new TOpenDialog(this);
  OpenDialog->Name = L"OpenDialog";
  OpenDialog->Title = L"圧縮するファイルを開く";
  OpenDialog->Filter = L"全てのファイル (*.*)|*.*";
  OpenDialog->DefaultExt = L"*";
  OpenDialog->Options = ofAllowMultiSelect | ofHideReadOnly | ofEnableSizing;

  SHOP = new morvik::TSHOperation(this);
  SHOP->Name = L"SHOP";
  SHOP->Title(L"圧縮先のフォルダを選択してください");
  SHOP->Flags(morvik::kBrowseFileSystemFolders);

  SettingsPath = morvik::SettingsFilePath();

  SetMenu(MainMenu);
  ClientSize(kClientWidth, kClientHeight);

  OnShow = [this](TObject* sender) { FormShow(sender); };
  OnClose = [this](TObject* sender, TCloseAction& action) { FormClose(sender, action); };
  OnCloseQuery = [this](TObject* sender, bool& canClose) { FormCloseQuery(sender, canClose); };

  Caption(Application ? Application->Title : std::wstring());
  DragAcceptFiles(Handle(), TRUE);
}

TMV_MAIN::~TMV_MAIN() {
  if (MV_MAIN == this) MV_MAIN = nullptr;
}

void TMV_MAIN::Dispatch(TMessage& Msg) {
  switch (Msg.Msg) {
    case WM_DROPFILES:
      WMDropFiles(Msg);
      return;
    case CM_MODALENDED:
      TForm::Dispatch(Msg);
      RunDeferred();
      return;
    case WM_ENDSESSION:
      // The process ends when this returns, without a close: save now. A
      // dialog that is open stays as it is; nothing is destroyed.
      if (Msg.WParam && MV_OPTION && !FClosed && !ArchiverUnavailable) SaveSettingsFile();
      Msg.Result = 0;
      return;
    default:
      TForm::Dispatch(Msg);
  }
}

// ---------------------------------------------------------------------------
// Start-up, close and the three roads by which sources arrive.

void TMV_MAIN::FormShow(TObject*) {
  if (!FirstShow) return;
  LoadArchiver();
  if (ArchiverUnavailable) {
    Close();
    return;
  }
  RestoreWindow();
  MV_OPTION = new TMV_OPTION(this);
  MV_OPTION->SettingsPath = SettingsPath;
  if (!MV_OPTION->LoadSettings() && !FSettingsUnreadable) ReportUnreadableSettings();
  MV_ABOUT = new TMV_ABOUT(this);

  if (ParamCount() >= 1) {
    int first = 1;
    if (AnsiLowerCase(ParamStr(1)) == L"/n") {
      first = 2;
    } else {
      // The last chance to pick another profile, or to quit without a job.
      MV_OPTION->CommandLineMode = true;
      MV_OPTION->MoveTo(FormLeft(), FormTop());
      if (MV_OPTION->ShowModal() == mrCancel) {
        FirstShow = false;
        Close();
        return;
      }
    }
    std::vector<std::wstring> paths;
    for (int i = first; i <= ParamCount(); ++i) paths.push_back(ParamStr(i));
    RunBatch(paths, bkCommandLine);
  }
  FirstShow = false;
  RunDeferred();
}

void TMV_MAIN::FormCloseQuery(TObject*, bool& CanClose) {
  // A close request that arrives between two sources ends the batch after the
  // current source; the batch then closes the window. One that arrives while
  // a modal window is up waits for it to close: closing now would destroy
  // the dialogs under their own message loops.
  if (FBatchRunning || ModalWindowUp()) {
    FCloseRequested = true;
    CanClose = false;
  }
}

void TMV_MAIN::FormClose(TObject*, TCloseAction&) {
  if (FClosed) return;
  FClosed = true;
  FPendingDrops.clear();
  if (ArchiverUnavailable) return;
  UnloadArchiver();
  bool saved = SaveSettingsFile();
  if (!saved && !FSettingsUnreadable) {
    MessageDlg(Handle(), L"設定ファイルを保存できません\n" + SettingsPath, kErrorCaption, MB_OK | MB_ICONERROR);
  }
  delete MV_ABOUT;
  MV_ABOUT = nullptr;
  delete MV_OPTION;
  MV_OPTION = nullptr;
}

bool TMV_MAIN::SaveSettingsFile() {
  // Each pass reloads the file, so the second sees what the first saved.
  bool saved = SaveWindow();
  if (MV_OPTION) saved = MV_OPTION->SaveSettings() && saved;
  return saved;
}

void TMV_MAIN::ReportUnreadableSettings() {
  // Start with defaults all the same; the file is left as it is at the close.
  FSettingsUnreadable = true;
  MessageDlg(Handle(), L"設定ファイルを読み込めません\n" + SettingsPath, kErrorCaption, MB_OK | MB_ICONERROR);
}

void TMV_MAIN::RestoreWindow() {
  morvik::IniDocument ini;
  if (ini.Open(SettingsPath) == morvik::IniOpenStatus::kUnreadable) ReportUnreadableSettings();
  int left = ini.ReadInteger(kMainSection, L"X", 100);
  int top = ini.ReadInteger(kMainSection, L"Y", 100);
  // The saved size is in screen pixels; the first run's is 300 x 300 at 96 dpi.
  int width = ini.ReadInteger(kMainSection, L"W", Scaled(300));
  int height = ini.ReadInteger(kMainSection, L"H", Scaled(300));
  SetWindowPos(Handle(), nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  std::wstring dir = ini.ReadString(kMainSection, L"Dir", L"");
  OpenDialog->InitialDir = dir;
  SHOP->Root(dir);
}

bool TMV_MAIN::SaveWindow() {
  // A minimised or maximised window keeps the place it will return to.
  RECT r = {};
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  if ((IsIconic(Handle()) || IsZoomed(Handle())) && GetWindowPlacement(Handle(), &placement)) {
    r = placement.rcNormalPosition;
  } else {
    GetWindowRect(Handle(), &r);
  }
  morvik::IniDocument ini;
  ini.Open(SettingsPath);
  ini.WriteInteger(kMainSection, L"X", r.left);
  ini.WriteInteger(kMainSection, L"Y", r.top);
  ini.WriteInteger(kMainSection, L"W", r.right - r.left);
  ini.WriteInteger(kMainSection, L"H", r.bottom - r.top);
  ini.WriteString(kMainSection, L"Dir", SHOP->Root());
  return ini.Save();
}

void TMV_MAIN::WMDropFiles(TMessage& Msg) {
  auto drop = reinterpret_cast<HDROP>(Msg.WParam);
  UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  // Every path is read whole, whatever its length, and the handle released
  // before any job runs: messages are pumped between sources.
  std::vector<std::wstring> paths;
  for (UINT i = 0; i < count; ++i) {
    UINT length = DragQueryFileW(drop, i, nullptr, 0);
    std::wstring path(static_cast<size_t>(length) + 1, L'\0');
    length = DragQueryFileW(drop, i, path.data(), length + 1);
    path.resize(length);
    paths.push_back(path);
  }
  DragFinish(drop);
  Msg.Result = 0;

  if (ArchiverUnavailable || FClosed) return;
  // Drops run in the order they arrived, each when no batch, start-up or
  // modal window is under way (see RunPendingDrops).
  FPendingDrops.push_back(std::move(paths));
  RunPendingDrops();
}

void TMV_MAIN::StartDropBatch(const std::vector<std::wstring>& paths) {
  // A drop the settings cannot run leaves the log as it was.
  if (MV_OPTION && !MV_OPTION->CheckSettings()) return;
  RunBatch(paths, bkDrop);
}

bool TMV_MAIN::ModalWindowUp() const { return Application && Application->ModalLevel() > 0; }

void TMV_MAIN::RunPendingDrops() {
  // A drop never runs inside a batch, before the start-up has finished, or
  // inside the message loop of a modal window (a dialog's settings are not
  // confirmed until it closes); it waits, and the end of each of these runs
  // it.
  while (!FPendingDrops.empty() && !FClosed && !FBatchRunning && !FirstShow && !ModalWindowUp()) {
    std::vector<std::wstring> paths = std::move(FPendingDrops.front());
    FPendingDrops.pop_front();
    StartDropBatch(paths);
  }
}

void TMV_MAIN::RunDeferred() {
  if (FBatchRunning || FirstShow || ModalWindowUp()) return;
  if (FCloseRequested) {
    FCloseRequested = false;
    Close();
    return;
  }
  RunPendingDrops();
}

void TMV_MAIN::M_OpenFileClick(TObject*) {
  if (FBatchRunning) return;
  if (!OpenDialog->Execute()) return;
  OpenDialog->InitialDir = FolderPart(OpenDialog->Files[0]);
  SHOP->Root(OpenDialog->InitialDir);
  RunBatch(OpenDialog->Files.ToVector(), bkMenu);
  RunPendingDrops();
}

void TMV_MAIN::M_OpenFolderClick(TObject*) {
  if (FBatchRunning) return;
  if (!SHOP->BrowseFolder()) return;
  SHOP->Root(SHOP->FolderName());
  OpenDialog->InitialDir = SHOP->FolderName();
  RunBatch({SHOP->FolderName()}, bkMenu);
  RunPendingDrops();
}

void TMV_MAIN::M_OptionClick(TObject*) {
  if (!MV_OPTION) return;
  MV_OPTION->MoveTo(FormLeft(), FormTop());
  MV_OPTION->ShowModal();
}

void TMV_MAIN::M_AboutClick(TObject*) {
  if (!MV_ABOUT) return;
  MV_ABOUT->MoveTo(FormLeft(), FormTop());
  MV_ABOUT->ShowModal();
}

void TMV_MAIN::M_ExitClick(TObject*) { Close(); }

void TMV_MAIN::RunBatch(const std::vector<std::wstring>& paths, TBatchKind kind) {
  FBatchRunning = true;
  UpdateJobCommands();
  // Command-line and drop batches start with an empty log; menu commands
  // append to it.
  if (kind != bkMenu) LIST->Items().Clear();
  FBatchArchives.clear();
  for (const std::wstring& path : paths) {
    if (FCloseRequested) break;
    CompressSource(path);
  }
  FBatchRunning = false;
  FBatchArchives.clear();
  UpdateJobCommands();
  if (FCloseRequested) {
    FCloseRequested = false;
    Close();
    return;
  }
  if (kind != bkMenu) ApplyAutoClose();
}

void TMV_MAIN::UpdateJobCommands() {
  // Commands that start jobs are unavailable while a batch runs.
  M_OpenFile->Enabled(!FBatchRunning);
  M_OpenFolder->Enabled(!FBatchRunning);
}

// ---------------------------------------------------------------------------
// The archiver library.

void TMV_MAIN::LoadArchiver() {
  switch (Archiver.Load()) {
    case TArchiverLibrary::lrLoaded:
      LIST->Items().Add(L"7-ZIP32.DLL " + Archiver.VersionText());
      return;
    case TArchiverLibrary::lrMissing:
      MessageDlg(Handle(), L"7-ZIP32.DLLをロードできません", kErrorCaption, MB_OK | MB_ICONERROR);
      break;
    case TArchiverLibrary::lrNoUnicode:
      MessageDlg(Handle(), L"UNICODE対応前の7-ZIP32.DLLは使用できません", kErrorCaption, MB_OK | MB_ICONERROR);
      break;
  }
  ArchiverUnavailable = true;
}

// ---------------------------------------------------------------------------
// Compression jobs.

void TMV_MAIN::CompressSource(const std::wstring& Path) {
  // Let the log and the caption repaint, and let drops and close requests in.
  if (Application) Application->ProcessMessages();
  if (FCloseRequested) return;

  // Jobs work on the full path: neither the current folder nor the way the
  // path is written changes what an archive holds or where it goes.
  const std::wstring source = SourcePath(Path);
  std::wstring notified = source.empty() ? Path : source;
  switch (source.empty() ? skUnreadable : GetSourceKind(source)) {
    case skZipArchive:
    case sk7zArchive:
      LastJobSucceeded = RenameArchive(source);
      break;
    case skFile:
      LastJobSucceeded = CompressFile(source);
      break;
    case skFolder:
      notified = StripTrailingSeparators(source);
      LastJobSucceeded = CompressFolder(source);
      break;
    case skUnreadable:
      break;
  }
  std::wstring folder = FolderPart(notified);
  SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW, folder.c_str(), nullptr);
}

TSourceKind TMV_MAIN::GetSourceKind(const std::wstring& Path) {
  // Only folders and files on a disk are looked into: a device or a pipe is
  // never opened (a serial port's read waits for good), and a name the system
  // reads as a device has no long form.
  if (LongFormPath(Path).empty()) return skUnreadable;
  DWORD attributes = GetFileAttributesW(LongFormPath(Path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DEVICE)) return skUnreadable;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return skFolder;
  TFileHandle file(CreateFileW(LongFormPath(Path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || GetFileType(file.Get()) != FILE_TYPE_DISK) return skUnreadable;
  char signature[2] = {};
  DWORD got = 0;
  if (!ReadFile(file.Get(), signature, 2, &got, nullptr)) got = 0;
  if (got == 2 && signature[0] == 'P' && signature[1] == 'K') return skZipArchive;
  if (got == 2 && signature[0] == '7' && signature[1] == 'z') return sk7zArchive;
  return skFile;
}

bool TMV_MAIN::CompressFile(const std::wstring& Path) {
  TJobSettings settings = ReadJobSettings();
  std::string archive = FileArchivePath(Path, settings);
  const std::wstring name = NamePart(Path);
  TJob job{L"[圧縮中/File] ", L"[FileOK] ", L"[FileNG] ", Path, name, Utf8Decode(archive), name, FileCommandLine(settings, archive, Path)};
  // A file whose archive path is the file itself (a ".zip" that does not
  // start with "PK") would be written over while it is read.
  job.Refused = IsSameFile(job.Archive, Path);
  return RunJob(job, settings);
}

bool TMV_MAIN::CompressFolder(const std::wstring& Path) {
  TJobSettings settings = ReadJobSettings();
  // "C:\data\photos\" names the folder "photos", like "C:\data\photos".
  std::wstring folder = StripTrailingSeparators(Path);
  std::string archive = FolderArchivePath(folder, settings);
  // A folder that holds its own new archive (a destination inside it, by
  // whatever path) is kept after the job: deleting it would take the archive
  // along (DeleteSource).
  return RunJob({L"[圧縮中/Directory] ", L"[DirectoryOK] ", L"[DirectoryNG] ", folder, SourceName(folder), Utf8Decode(archive), L"",
                 FolderCommandLine(settings, archive, folder)},
                settings);
}

bool TMV_MAIN::RunJob(const TJob& job, const TJobSettings& settings) {
  Caption(job.Busy + job.Name);
  Enabled(false);
  bool result = !job.Refused && WriteArchive(job.Archive, job.Entry, job.CommandLine);
  LIST->Items().Add((result ? job.Ok : job.Ng) + job.Name);
  if (result && settings.DelFile) DeleteSource(job.Source, job.Archive, settings.DeleteMode);
  Enabled(true);
  Caption(L"完了.");
  return result;
}

bool TMV_MAIN::WriteArchive(const std::wstring& archive, const std::wstring& entry, const std::string& commandLine) {
  // An archive path the system reads as a device is never handed over, nor
  // one that would replace what this batch wrote for another source.
  if (LongFormPath(archive).empty() || ReplacesBatchArchive(archive, entry)) return false;
  if (Archiver.Call(Handle(), commandLine) != 0) return false;
  RecordBatchArchive(archive, entry);
  return true;
}

bool TMV_MAIN::ReplacesBatchArchive(const std::wstring& archive, const std::wstring& entry) const {
  if (FBatchArchives.empty()) return false;
  const std::wstring key = PathKey(archive);
  const TFileIdentity identity = FileIdentity(archive);
  const std::wstring entryKey = EntryKey(entry);
  for (const TBatchArchive& written : FBatchArchives) {
    if (written.Key != key && !written.Identity.Same(identity)) continue;
    // Two files of other names add two entries to one archive.
    if (!entryKey.empty() && !written.Entry.empty() && written.Entry != entryKey) continue;
    return true;
  }
  return false;
}

void TMV_MAIN::RecordBatchArchive(const std::wstring& archive, const std::wstring& entry) {
  // Jobs outside a batch (one source from a test or a caller) stand alone.
  if (!FBatchRunning) return;
  FBatchArchives.push_back({PathKey(archive), FileIdentity(archive), EntryKey(entry)});
}

bool TMV_MAIN::RenameArchive(const std::wstring& Path) {
  // Already an archive: it only gets the selected extension, in its own folder.
  std::wstring target = morvik::ChangeFileExt(Path, ReadJobSettings().Extension);
  std::wstring name = NamePart(Path);
  // MoveFileW never replaces a file that is there.
  if (MoveFileW(LongFormPath(Path).c_str(), LongFormPath(target).c_str())) {
    RecordBatchArchive(target, L"");
    LIST->Items().Add(L"[RenameOK] " + name);
    return true;
  }
  LIST->Items().Add(L"[RenameNG] " + name);
  return false;
}

bool TMV_MAIN::DeleteSource(const std::wstring& Path, const std::wstring& Archive, TDeleteMode Mode) {
  // Only a source whose archive provably holds it goes: the archive must be
  // at its path, and deleting the source must not take the archive along.
  if (IsRootPath(Path) || !ArchiveIsOutside(Archive, Path)) return false;
  // Nor one that holds a link: the archive holds no more than the link, and
  // removing it can take what it points to along.
  if (morvik::HoldsLink(Path)) return false;
  // The shell takes usual paths of fewer than MAX_PATH characters. Longer ones
  // are deleted directly through their long form; the recycle bin cannot take
  // them, and such a source stays where it is.
  const bool shellTakes = !IsLongFormPath(Path) && Path.size() < MAX_PATH;
  TStringList names({Path});
  if (Mode == dmRecycleBin) return shellTakes && SHOP->Delete(names);
  return shellTakes ? SHOP->DeleteNoUndo(names) : morvik::DeleteTree(Path);
}

void TMV_MAIN::ApplyAutoClose() {
  if (LastJobSucceeded && ReadJobSettings().AutoClose) Close();
}

// ---------------------------------------------------------------------------

int RunMorvik(const std::function<void(TMV_MAIN&)>& beforeDestroy) {
  // The shell's new-style folder browser needs COM on this thread.
  HRESULT com = OleInitialize(nullptr);
  TApplication application;
  try {
    Application->Title = kApplicationTitle;
    MV_MAIN = new TMV_MAIN(Application);
    Application->CreateForm(MV_MAIN);
    Application->Run();
    if (beforeDestroy && MV_MAIN) beforeDestroy(*MV_MAIN);
  } catch (const Exception& e) {
    Application->ShowException(e);
  } catch (...) {
    // Anything else shows as an exception with an empty message.
    Application->ShowException(Exception(L""));
  }
  if (SUCCEEDED(com)) OleUninitialize();
  return 0;
}
