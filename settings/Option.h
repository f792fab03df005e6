// The options dialog: the compression profile, the destination, deletion and
// auto-close rules. Its controls are the program's live settings: the jobs
// read them through JobSettings() at the moment they need them, and the
// settings file is loaded into them at start-up (LoadSettings) and saved
// from them at the end of the run (SaveSettings).
#pragma once

#include <string>

#include "Controls.h"
#include "Forms.h"
#include "JobSettings.h"
#include "Shoperation.h"

class TMV_OPTION : public vcl::TForm {
public:
  // Creates the dialog hidden, owned by the main window, with the controls
  // filled as on a first run.
  explicit TMV_OPTION(vcl::TComponent* AOwner);

  // Controls, in tab order.
  vcl::TGroupBox* GB1;
  vcl::TLabel* Label01;
  vcl::TLabel* Label02;
  vcl::TComboBox* CB_Ext;
  vcl::TComboBox* CB_Profile;
  vcl::TCheckBox* C_TopFolderCompress;
  vcl::TGroupBox* GB2;
  vcl::TCheckBox* C_DelFile;
  vcl::TRadioButton* RB_DeleteMode1;
  vcl::TRadioButton* RB_DeleteMode2;
  vcl::TGroupBox* GB3;
  vcl::TRadioButton* RB_DestFolderMode1;
  vcl::TRadioButton* RB_DestFolderMode2;
  vcl::TEdit* E_DestFolder;
  vcl::TButton* B_DestFolderSelect;
  vcl::TGroupBox* GB4;
  vcl::TCheckBox* C_AutoClose;
  vcl::TButton* B_OK;
  vcl::TButton* B_Cancel;
  // The destination folder browser.
  morvik::TSHOperation* SHOP;

  // Set before the showing that precedes a command-line batch; never
  // cleared. B_Cancel ("終了") is visible exactly while it is set.
  bool CommandLineMode = false;

  // True when the current settings can run a batch; otherwise it has shown
  // why, in a message box owned by this dialog's window.
  bool CheckSettings();

  // The job settings as the controls hold them now.
  TJobSettings JobSettings() const;

  // The settings file the two passes below open; SettingsFilePath() unless
  // changed (tests point it elsewhere).
  std::wstring SettingsPath;
  // Fills the controls from section Option of the settings file (defaults
  // for what is missing). False when a file is there but could not be read:
  // the controls then hold the defaults.
  bool LoadSettings();
  // Reloads the settings file, writes section Option from the controls and
  // saves it. False when the file could not be written (or was unreadable
  // when opened, so that settings never seen are not replaced).
  bool SaveSettings();

  // Handlers.
  void FormShow(vcl::TObject* Sender);
  void FormKeyDown(vcl::TObject* Sender, WORD& Key);
  void CB_ProfileChange(vcl::TObject* Sender);
  void C_DelFileClick(vcl::TObject* Sender);
  void RB_DestFolderSelectClick(vcl::TObject* Sender);
  void B_DestFolderSelectClick(vcl::TObject* Sender);
  void B_OKClick(vcl::TObject* Sender);
  void B_CancelClick(vcl::TObject* Sender);

  void Dispatch(vcl::TMessage& Msg) override;

private:
  void FillLists(const std::wstring (&profiles)[kProfileCount], const std::wstring (&exts)[kProfileCount]);
  void UpdateRadioTabStops();
};
