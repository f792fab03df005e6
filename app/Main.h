// The main window: the log list under a menu bar, and the compression jobs,
// which hand their command lines to the archiver library (ArchiverLibrary.h).
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "About.h"
#include "ArchiverLibrary.h"
#include "Dialogs.h"
#include "Forms.h"
#include "JobSettings.h"
#include "Listboxex.h"
#include "Menus.h"
#include "Option.h"
#include "Shoperation.h"
#include "SysUtils.h"

enum TSourceKind { skUnreadable, skZipArchive, sk7zArchive, skFile, skFolder };

class TMV_MAIN : public vcl::TForm {
public:
  explicit TMV_MAIN(vcl::TComponent* AOwner);
  ~TMV_MAIN() override;

  // Components, in declaration order.
  morvik::TListBoxEx* LIST;
  vcl::TMainMenu* MainMenu;
  vcl::TMenuItem* M_File;
  vcl::TMenuItem* M_OpenFile;
  vcl::TMenuItem* M_OpenFolder;
  vcl::TMenuItem* M_N01;
  vcl::TMenuItem* M_Exit;
  vcl::TMenuItem* M_Setting;
  vcl::TMenuItem* M_Option;
  vcl::TMenuItem* M_Help;
  vcl::TMenuItem* M_About;
  vcl::TOpenDialog* OpenDialog;
  morvik::TSHOperation* SHOP;

  // The dialogs, from the first showing to the close.
  TMV_OPTION* MV_OPTION = nullptr;
  TMV_ABOUT* MV_ABOUT = nullptr;

  // Handlers.
  void FormShow(vcl::TObject* Sender);
  void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
  void M_OpenFileClick(vcl::TObject* Sender);
  void M_OpenFolderClick(vcl::TObject* Sender);
  void M_ExitClick(vcl::TObject* Sender);
  void M_OptionClick(vcl::TObject* Sender);
  void M_AboutClick(vcl::TObject* Sender);
  void WMDropFiles(vcl::TMessage& Msg);

  // Program-wide state.
  bool FirstShow = true;
  bool ArchiverUnavailable = false;
  bool LastJobSucceeded = true;
  TArchiverLibrary Archiver;

  // Loads the archiver library and logs its version line; tells the user
  // when there is none that can be used (ArchiverUnavailable).
  void LoadArchiver();
  void UnloadArchiver() { Archiver.Unload(); }

  // Compression jobs.
  void CompressSource(const std::wstring& Path);
  static TSourceKind GetSourceKind(const std::wstring& Path);
  bool CompressFile(const std::wstring& Path);
  bool CompressFolder(const std::wstring& Path);
  bool RenameArchive(const std::wstring& Path);
  void ApplyAutoClose();
  // Deletes a source after its successful job, in the given way, when its
  // archive is there and outside it (ArchiveIsOutside); true when it went.
  bool DeleteSource(const std::wstring& Path, const std::wstring& Archive, TDeleteMode Mode);

  // The settings file: the window's own section.
  std::wstring SettingsPath;
  void RestoreWindow();
  bool SaveWindow();

  // Where every job reads its settings, at the moment it starts: the options
  // dialog's controls once it exists, the first-run values before.
  std::function<TJobSettings()> ReadJobSettings = [this] {
    return MV_OPTION ? MV_OPTION->JobSettings() : TJobSettings();
  };

  // True while a batch (command line, drop or menu command) runs its sources.
  bool BatchRunning() const { return FBatchRunning; }

  void Dispatch(vcl::TMessage& Msg) override;

private:
  enum TBatchKind { bkCommandLine, bkDrop, bkMenu };
  void RunBatch(const std::vector<std::wstring>& paths, TBatchKind kind);
  void StartDropBatch(const std::vector<std::wstring>& paths);
  void RunPendingDrops();
  // Runs what waited for the last modal window to close: a close request,
  // else the drops.
  void RunDeferred();
  bool ModalWindowUp() const;
  // Both settings passes; false when either could not save.
  bool SaveSettingsFile();
  void FormCloseQuery(vcl::TObject* Sender, bool& CanClose);
  void UpdateJobCommands();
  void ReportUnreadableSettings();
  // One compression job: what CompressFile and CompressFolder each make of
  // their source.
  struct TJob {
    // The caption while it runs and the log line's start for each outcome,
    // each followed by the name.
    const wchar_t* Busy;
    const wchar_t* Ok;
    const wchar_t* Ng;
    std::wstring Source;       // compressed, and deleted after success when the settings ask
    std::wstring Name;         // shown in the caption and the log line
    std::wstring Archive;      // where the archive goes
    std::wstring Entry;        // the entry a file job adds; empty for a folder
    std::string CommandLine;   // what the library is handed
    bool Refused = false;      // never handed to the library: the job fails
  };
  // Shows the job in the caption with the window disabled, runs it, adds its
  // log line and deletes the source when asked.
  bool RunJob(const TJob& job, const TJobSettings& settings);
  bool WriteArchive(const std::wstring& archive, const std::wstring& entry, const std::string& commandLine);
  bool ReplacesBatchArchive(const std::wstring& archive, const std::wstring& entry) const;
  void RecordBatchArchive(const std::wstring& archive, const std::wstring& entry);

  bool FBatchRunning = false;
  bool FCloseRequested = false;
  bool FClosed = false;
  // The settings file was there but could not be read; the user was told.
  bool FSettingsUnreadable = false;
  // Drops that arrived while a batch, the start-up or a modal window was
  // under way; each runs as a batch of its own.
  std::deque<std::vector<std::wstring>> FPendingDrops;
  // The archives the running batch has written or renamed into place, each
  // with the entry name its file job added (upper case; empty when the
  // entries are not known here: a folder's, a renamed archive's).
  struct TBatchArchive {
    std::wstring Key;
    vcl::TFileIdentity Identity;
    std::wstring Entry;
  };
  std::vector<TBatchArchive> FBatchArchives;
};

extern TMV_MAIN* MV_MAIN;

// The application entry: creates the application and the main window, runs
// the message loop and returns 0. beforeDestroy, when given, sees the main
// window after the loop has ended and before it is destroyed.
int RunMorvik(const std::function<void(TMV_MAIN&)>& beforeDestroy = {});
